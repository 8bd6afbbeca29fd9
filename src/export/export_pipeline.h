#pragma once
// The record lines of the delimited export, written by two threads.

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
};

// Appends to `out` one line (ended by CR LF) per record of `dataSet`, from its first record to its
// last, with one value per visible field. Returns the number of values that could not be
// converted (written empty). Throws the file writer's EFileWriteError and the table's errors.
int writeExportRecords(TTable& dataSet, const ExportRecordsOptions& options, const ExportValueText& text,
                       ExportOutput& out);

}  // namespace tavrinth
