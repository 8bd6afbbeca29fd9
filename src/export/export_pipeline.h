#pragma once
// The record lines of the delimited export, written by two threads.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace tavrinth {

class TTable;
class ExportOutput;
class ExportValueText;

struct ExportRecordsOptions {
    int fieldCount = 0;         // the fields of the table (the visible ones are written)
    std::string delimiter;      // between two values of a line
    bool includeMemo = false;   // memo text, or empty values
    // dBase character, number, date and logical fields written straight from their stored text
    // (stored_text.h) where that gives the decoded value's text; false decodes every value.
    bool storedText = true;
    // Told, in the calling thread, of the records read so far (after each chunk of records);
    // returning false stops the export with EExportCancelled. Null: nothing is told.
    std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
};

// The user stopped the export; the file was not written (an existing one stays as it was).
struct EExportCancelled : std::runtime_error {
    EExportCancelled() : std::runtime_error("The export was cancelled; the file was not written") {}
};

// Appends to `out` one line (ended by CR LF) per record of `dataSet`, from its first record to its
// last, with one value per visible field. Returns the number of values that could not be
// converted (written empty). Throws the file writer's EFileWriteError and the table's errors.
int writeExportRecords(TTable& dataSet, const ExportRecordsOptions& options, const ExportValueText& text,
                       ExportOutput& out);

}  // namespace tavrinth
