// tavrinth-cli import: records appended to a table from a CSV file, in one change.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_common.h"
#include "csv_reader.h"
#include "dump.h"
#include "engine_error.h"
#include "table_file.h"

namespace tavrinth::cli {

namespace {

// "[--password P] TABLE-FILE REST..." into the options and the positional arguments.
std::vector<std::string> parseChangeArgs(const std::vector<std::string>& args, OpenOptions& options) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) throw UsageError("--password needs a value");
            options.knownPasswords.push_back(args[++i]);
        } else if (args[i].size() > 1 && args[i][0] == '-' && args[i] != "-") {
            throw UsageError("unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    return positional;
}

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int cmdImport(const std::vector<std::string>& args) {
    OpenOptions options;
    const std::vector<std::string> positional = parseChangeArgs(args, options);
    if (positional.size() != 2) throw UsageError("import needs TABLE-FILE CSV-FILE");
    const std::string& csvPath = positional[1];
    auto table = openTableFile(positional[0], options);
    printWarnings(table->warnings());

    std::unique_ptr<std::FILE, CloseFile> in(csvPath == "-" ? nullptr : std::fopen(csvPath.c_str(), "rb"));
    if (csvPath != "-" && !in)
        throw EDBEngineError(errno == ENOENT ? EDBEngineError::Code::NotFound : EDBEngineError::Code::Io,
                             "Cannot read " + csvPath + ": " + std::strerror(errno));
    CsvReader csv(in ? in.get() : stdin, csvPath == "-" ? std::string("standard input") : csvPath);

    // A table that cannot take records is refused before the rows are read.
    std::unique_ptr<TableAppend> change = table->beginAppend();

    // The first record names the fields the columns hold.
    const std::vector<FieldDef>& fields = table->fields();
    std::vector<std::string> row;
    if (!csv.next(row)) throw EDBEngineError(EDBEngineError::Code::InvalidValue, csvPath + " is empty: it names no fields");
    std::vector<int> columnField(row.size(), -1);
    std::vector<bool> given(fields.size(), false);
    for (std::size_t c = 0; c < row.size(); ++c) {
        const std::string& name = row[c];
        int found = -1;
        // A name the table gives to several fields names the first of them not named yet.
        for (std::size_t i = 0; i < fields.size() && found < 0; ++i)
            if (fields[i].visible && fields[i].name == name && !given[i]) found = static_cast<int>(i);
        if (found < 0) {
            for (std::size_t i = 0; i < fields.size(); ++i)
                if (fields[i].visible && fields[i].name == name)
                    throw EDBEngineError(EDBEngineError::Code::InvalidValue, csvPath + ": field '" + name + "' is named twice");
            // The dump's deletion column: only live records can be imported.
            if (name == "_deleted" && table->format() == TableFormat::DBase) continue;
            throw EDBEngineError(EDBEngineError::Code::NotFound,
                                 csvPath + ": column " + std::to_string(c + 1) + " names no field of " +
                                     table->fileName() + " ('" + name + "')");
        }
        given[static_cast<std::size_t>(found)] = true;
        columnField[c] = found;
    }

    std::vector<FieldValue> values(fields.size());
    while (csv.next(row)) {
        const std::string where = csvPath + ", line " + std::to_string(csv.line());
        if (row.size() != columnField.size())
            throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                 where + ": " + std::to_string(row.size()) + " values for " +
                                     std::to_string(columnField.size()) + " columns; nothing was imported");
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (columnField[c] < 0) {
                if (!row[c].empty())
                    throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                         where + ": records marked deleted cannot be imported; nothing was imported");
                continue;
            }
            const auto field = static_cast<std::size_t>(columnField[c]);
            std::string error;
            if (!parseDumpValue(fields[field], row[c], values[field], error))
                throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                     where + ", field " + fields[field].name + ": " + error + "; nothing was imported");
        }
        try {
            change->append(values, given);
        } catch (const EDBEngineError& e) {
            throw EDBEngineError(e.code(), where + ": " + e.what() + "; nothing was imported");
        }
    }
    change->commit();
    return 0;
}

}  // namespace tavrinth::cli
