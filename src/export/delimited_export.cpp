#include "delimited_export.h"

#include <cerrno>

#include <QDir>

#include "export_output.h"
#include "export_pipeline.h"
#include "export_value_text.h"
#include "path_names.h"
#include "table.h"

namespace tavrinth {

std::string inOutErrorMessage(int errorNumber) {
    switch (errorNumber) {
        case ENOENT: return "File not found";
        case ENOTDIR: case ENAMETOOLONG: case EINVAL: case ELOOP: return "Invalid filename";
        case EMFILE: case ENFILE: return "Too many open files";
        case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: case EBUSY: return "File access denied";
        case ENOSPC: case EDQUOT: case EFBIG: return "Disk full";
        default: return "I/O error " + std::to_string(errorNumber);
    }
}

// --- the export ---------------------------------------------------------------------------------

TDelimitedExport::TDelimitedExport() {
    SetDelimiter(TDelimiter::None);
    SetIncludeFieldNames(true);
    SetIncludeMemo(false);
}

void TDelimitedExport::SetDelimiter(TDelimiter value) {
    switch (value) {
        case TDelimiter::None: FDelimiterText.clear(); break;
        case TDelimiter::Komma: FDelimiterText = ","; break;
        case TDelimiter::Semi: FDelimiterText = ";"; break;
        case TDelimiter::Tab: FDelimiterText = "\t"; break;
        default:
            value = TDelimiter::Komma;
            FDelimiterText = ",";
            break;
    }
    FDelimiter = value;
}

bool TDelimitedExport::Execute(TTable& dataSet, const UserLocale& locale) {
    FConversionFailures = 0;
    if (FFilename.empty()) return false;
    const ExportValueText text(locale);
    try {
        ExportOutput out(FFilename);
        dataSet.First();
        FFieldCount = dataSet.FieldCount();
        WriteFieldNames(dataSet, out);
        const bool result = WriteRecords(dataSet, out, text);
        out.commit();
        return result;
    } catch (const EFileWriteError& e) {
        // A folder that does not exist (the only way to ENOENT): the name is wrong, not the file.
        const int error = e.errorNumber() == ENOENT ? ENOTDIR : e.errorNumber();
        throw EInOutError(error, inOutErrorMessage(error));
    }
}

bool TDelimitedExport::WriteFieldNames(TTable& dataSet, ExportOutput& out) {
    if (!FIncludeFieldNames) return true;
    std::string& line = out.buffer();
    bool first = true;
    for (int i = 0; i < FFieldCount; ++i) {
        TField& field = dataSet.Fields(i);
        if (!field.Visible()) continue;
        if (!first) line += FDelimiterText;
        line += field.FieldName();
        first = false;
    }
    line += "\r\n";
    return true;
}

bool TDelimitedExport::WriteRecords(TTable& dataSet, ExportOutput& out, const ExportValueText& text) {
    ExportRecordsOptions options;
    options.fieldCount = FFieldCount;
    options.delimiter = FDelimiterText;
    options.includeMemo = FIncludeMemo;
    options.storedText = FStoredText;
    options.progress = FProgress;
    const int failures = writeExportRecords(dataSet, options, text, out);
    // Running through the table leaves it on its last record.
    dataSet.Last();
    FConversionFailures += failures;
    return failures == 0;
}

std::string conversionFailureMessage(int failures, const std::string& filename) {
    if (failures == 1)
        return "1 value could not be converted; it is written as an empty value in \"" + filename + "\".";
    return std::to_string(failures) + " values could not be converted; they are written as empty values in \"" +
           filename + "\".";
}

// --- the export dialog --------------------------------------------------------------------------

ExportDialogSetup exportDialogSetup(const std::string& databaseName, const std::string& tableName,
                                    const QString& folder) {
    ExportDialogSetup s;
    s.title = QStringLiteral("Export table: \"") + QString::fromStdString(databaseName) + QStringLiteral(" - ") +
              QString::fromStdString(tableName) + QStringLiteral("\" to textfile");
    s.proposedName = QString::fromStdString(tableName) + QStringLiteral(".txt");
    s.nameFilter = QStringLiteral("Textfile (*.txt *.TXT);;CSV-file (*.csv *.CSV)");
    s.defaultSuffix = QStringLiteral("TXT");
    s.folder = folder.isEmpty() ? QDir::homePath() : folder;
    s.confirmOverwrite = false;
    return s;
}

QString exportFolderAfter(const QString& chosenFile) {
    return QString::fromStdString(PathWithoutLastPart(chosenFile.toStdString()));
}

}  // namespace tavrinth