// tavrinth-cli import, insert, delete and pack: records added to a table (from a CSV file, or one
// from FIELD=VALUE arguments), deleted, and the deleted ones removed, each in one change.

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

namespace tavrinth::cli {

namespace {

// A RECNO argument: a record number from 1.
std::int64_t parseRecNo(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
        throw UsageError("RECNO must be a record number from 1");
    return std::stoll(text);
}

}  // namespace

int cmdInsert(const std::vector<std::string>& args) {
    OpenOptions options;
    const std::vector<std::string> positional = parseChangeArgs(args, options);
    if (positional.empty()) throw UsageError("insert needs TABLE-FILE FIELD=VALUE...");
    auto table = openTableFile(positional[0], options);
    printWarnings(table->warnings());
    const std::vector<FieldDef>& fields = table->fields();
    std::vector<FieldValue> values(fields.size());
    std::vector<bool> given(fields.size(), false);
    for (std::size_t a = 1; a < positional.size(); ++a) {
        const std::string& arg = positional[a];
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos) throw UsageError("'" + arg + "' is no FIELD=VALUE");
        const std::string name = arg.substr(0, eq);
        int found = -1;
        for (std::size_t i = 0; i < fields.size() && found < 0; ++i)
            if (fields[i].visible && fields[i].name == name) found = static_cast<int>(i);
        if (found < 0)
            throw EDBEngineError(EDBEngineError::Code::NotFound, "Field '" + name + "' not found in " + table->fileName());
        const auto f = static_cast<std::size_t>(found);
        if (given[f]) throw UsageError("field '" + name + "' is given twice");
        std::string error;
        if (!parseDumpValue(fields[f], arg.substr(eq + 1), values[f], error))
            throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot insert into " + table->fileName() + ": field " + name + ": " + error);
        given[f] = true;
    }
    const std::int64_t recNo = table->insertRecord(values, given);
    std::printf("%lld\n", static_cast<long long>(recNo));
    return 0;
}

int cmdDelete(const std::vector<std::string>& args) {
    OpenOptions options;
    const std::vector<std::string> positional = parseChangeArgs(args, options);
    if (positional.size() != 2) throw UsageError("delete needs TABLE-FILE RECNO");
    const std::int64_t recNo = parseRecNo(positional[1]);
    auto table = openTableFile(positional[0], options);
    printWarnings(table->warnings());
    const std::int64_t position = table->positionOfRecNo(recNo);
    if (position < 0)
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Record " + positional[1] + " does not exist in " + positional[0] +
                                 (table->format() == TableFormat::DBase ? " (or is marked deleted)" : ""));
    table->deleteRecord(static_cast<std::uint32_t>(position));
    return 0;
}

int cmdPack(const std::vector<std::string>& args) {
    OpenOptions options;
    const std::vector<std::string> positional = parseChangeArgs(args, options);
    if (positional.size() != 1) throw UsageError("pack needs TABLE-FILE");
    auto table = openTableFile(positional[0], options);
    printWarnings(table->warnings());
    table->pack();
    return 0;
}

}  // namespace tavrinth::cli
