#pragma once
// The delimited text export: every record of the open table written to a text file, one line a
// record, the values separated by a delimiter and optionally preceded by a line of field names.
//
// TDelimitedExport holds the export's properties and runs it over a TTable; the grid's data
// source (TdExport) is one with it, and the command-line `export` runs the same Execute.
//
// The file: UTF-8, every line (the last included) ended by CR LF. The header line is the visible
// fields' names joined by the delimiter, written bare. A record line holds one value for every
// visible field, joined by the delimiter, as export_value_text.h describes. A value that cannot
// be converted is written empty and counted.
//
// The records are written by writeExportRecords (export_pipeline.h); dBase fields that keep their
// value as text are written from those bytes where that gives the same text (stored_text.h).
//
// The file is written under a temporary name in the target's folder, flushed to the disk and moved
// over the target only when it is complete (AtomicFile): a failure never leaves a half-written
// file, and an existing file of that name stays as it was.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <QString>

#include "export_locale.h"
#include "field_types.h"
#include "field_value.h"

namespace tavrinth {

class TTable;
class ExportOutput;
class ExportValueText;

enum class TDelimiter : std::uint8_t {
    None = 0,   // values written next to each other
    Komma = 1,  // ","
    Semi = 2,   // ";"
    Tab = 3,    // the tab character
};

// The input/output error of the file layer; the message is the text the error box shows
// ("File not found", "Invalid filename", "Too many open files", "File access denied",
// "Disk full", otherwise "I/O error N").
class EInOutError : public std::runtime_error {
public:
    EInOutError(int errorCode, const std::string& message) : std::runtime_error(message), errorCode_(errorCode) {}
    // The system error number (errno) behind it.
    int ErrorCode() const noexcept { return errorCode_; }

private:
    int errorCode_;
};

// The message of the input/output error for a system error number.
std::string inOutErrorMessage(int errorNumber);

class TDelimitedExport {
public:
    // Delimiter None, IncludeFieldNames True, IncludeMemo False, Filename empty.
    TDelimitedExport();
    virtual ~TDelimitedExport() = default;

    TDelimiter Delimiter() const { return FDelimiter; }
    // Sets the delimiter and its text; a value outside None..Tab gives Komma (",").
    void SetDelimiter(TDelimiter value);
    // "", ",", ";" or "\t".
    const std::string& DelimiterText() const { return FDelimiterText; }

    // The file to write (a path; UTF-8).
    const std::string& Filename() const { return FFilename; }
    void SetFilename(const std::string& value) { FFilename = value; }

    bool GetIncludeFieldNames() const { return FIncludeFieldNames; }
    void SetIncludeFieldNames(bool value) { FIncludeFieldNames = value; }
    // Told of the records written so far while Execute runs; returning false stops it
    // (EExportCancelled, the file not written).
    void SetProgress(std::function<bool(std::uint64_t done, std::uint64_t total)> progress) { FProgress = std::move(progress); }
    bool GetIncludeMemo() const { return FIncludeMemo; }
    void SetIncludeMemo(bool value) { FIncludeMemo = value; }

    // Writes the file named by Filename from the records of `dataSet` (open), from its first
    // record to its end; afterwards the table stands on its last record. Returns false when
    // Filename is empty (nothing is touched) or when some values could not be converted
    // (ConversionFailures tells how many; the file is written all the same). Throws EInOutError
    // when the file cannot be written, and the table's errors as they come; then the target file
    // is left as it was.
    bool Execute(TTable& dataSet, const UserLocale& locale);

    // The number of values the last Execute could not convert.
    int ConversionFailures() const { return FConversionFailures; }

    // dBase character, number, date and logical fields written straight from their stored text
    // (the default), or every value decoded first; the file is the same either way.
    bool GetStoredText() const { return FStoredText; }
    void SetStoredText(bool value) { FStoredText = value; }

private:
    bool WriteFieldNames(TTable& dataSet, ExportOutput& out);
    bool WriteRecords(TTable& dataSet, ExportOutput& out, const ExportValueText& text);

    TDelimiter FDelimiter = TDelimiter::None;
    std::string FDelimiterText;
    std::string FFilename;
    bool FIncludeFieldNames = true;
    bool FIncludeMemo = false;
    bool FStoredText = true;
    std::function<bool(std::uint64_t, std::uint64_t)> FProgress;
    int FFieldCount = 0;
    int FConversionFailures = 0;
};

// What the window says when Execute returned false because values could not be converted.
std::string conversionFailureMessage(int failures, const std::string& filename);

// The export dialog of the window: how it is set up before every showing.
struct ExportDialogSetup {
    QString title;          // "Export table: \"" + DatabaseName + " - " + TableName + "\" to textfile"
    QString proposedName;   // TableName + ".txt" (a name with an extension keeps it)
    QString nameFilter;     // text files, CSV files (the choice does not change the delimiter)
    QString defaultSuffix;  // "TXT"
    QString folder;         // where the dialog opens
    bool confirmOverwrite = false;  // an existing file is replaced without a question
};

// The title the dialog is created with (replaced before every showing).
inline constexpr const char* kExportDialogStoredTitle = "Export table to textfile";

// `folder` is the folder kept from the last export in this run (exportFolderAfter), empty before
// the first one: the dialog then opens in the user's home folder.
ExportDialogSetup exportDialogSetup(const std::string& databaseName, const std::string& tableName,
                                    const QString& folder);

// The folder the next export's dialog opens in: the chosen file's folder (with its final "/").
QString exportFolderAfter(const QString& chosenFile);

}  // namespace tavrinth
