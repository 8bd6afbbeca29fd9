// tavrinth-cli: the command-line front of the table engine.
//
//   tavrinth-cli aliases
//   tavrinth-cli tables ALIAS-OR-FOLDER
//   tavrinth-cli fields TABLE-FILE
//   tavrinth-cli dump [--password P] [--codepage NAME] TABLE-FILE
//   tavrinth-cli set [--password P] TABLE-FILE RECNO FIELD VALUE
//   tavrinth-cli set [--password P] --from-file PATH TABLE-FILE RECNO FIELD
//   tavrinth-cli insert [--password P] TABLE-FILE FIELD=VALUE...
//   tavrinth-cli delete [--password P] TABLE-FILE RECNO
//   tavrinth-cli pack [--password P] TABLE-FILE
//   tavrinth-cli import [--password P] TABLE-FILE CSV-FILE
//   tavrinth-cli rebuild-indexes [--password P] TABLE-FILE
//   tavrinth-cli check [--password P] TABLE-FILE
//   tavrinth-cli migrate --to sqlite:PATH|postgresql:CONNINFO [--schema-only|--data-only] [--replace]
//                        [--include-deleted] [--codepage NAME] [--password P] [--lower-case-names]
//                        [--verify] TABLE-FILE-OR-FOLDER...
//   tavrinth-cli make-samples FOLDER
//   tavrinth-cli report --kind definition|interbase|mssql|delphi [--date TEXT] [--short-name NAME]
//                       [--password P] TABLE-FILE...
//   tavrinth-cli export [--delimiter none|comma|semi|tab] [--no-field-names] [--include-memo]
//                       [--password P] TABLE-FILE OUT
//   tavrinth-cli --help | --version
//
// Errors go to standard error with exit status 1.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli_common.h"
#include "dump.h"
#include "engine_error.h"
#include "sample_database.h"
#include "field_types.h"
#include "session.h"
#include "table.h"
#include "table_file.h"
#include "validity_checks.h"

using namespace tavrinth;

namespace {

const char* const kUsage =
    "usage: tavrinth-cli aliases\n"
    "       tavrinth-cli tables ALIAS-OR-FOLDER\n"
    "       tavrinth-cli fields TABLE-FILE\n"
    "       tavrinth-cli dump [--password P] [--codepage NAME] TABLE-FILE\n"
    "       tavrinth-cli set [--password P] TABLE-FILE RECNO FIELD VALUE\n"
    "       tavrinth-cli set [--password P] --from-file PATH TABLE-FILE RECNO FIELD\n"
    "       tavrinth-cli insert [--password P] TABLE-FILE FIELD=VALUE...\n"
    "       tavrinth-cli delete [--password P] TABLE-FILE RECNO\n"
    "       tavrinth-cli pack [--password P] TABLE-FILE\n"
    "       tavrinth-cli import [--password P] TABLE-FILE CSV-FILE\n"
    "       tavrinth-cli rebuild-indexes [--password P] TABLE-FILE\n"
    "       tavrinth-cli check [--password P] TABLE-FILE\n"
    "       tavrinth-cli migrate --to sqlite:PATH|postgresql:CONNINFO [--schema-only|--data-only] [--replace]\n"
    "                            [--include-deleted] [--codepage NAME] [--password P] [--lower-case-names]\n"
    "                            [--verify] TABLE-FILE-OR-FOLDER...\n"
    "       tavrinth-cli make-samples FOLDER\n"
    "       tavrinth-cli report --kind definition|interbase|mssql|delphi [--date TEXT] [--short-name NAME]\n"
    "                           [--password P] TABLE-FILE...\n"
    "       tavrinth-cli export [--delimiter none|comma|semi|tab] [--no-field-names] [--include-memo]\n"
    "                           [--password P] TABLE-FILE OUT\n";

using cli::UsageError;
using cli::printWarnings;

int cmdAliases(const std::vector<std::string>& args) {
    if (!args.empty()) throw UsageError("aliases takes no arguments");
    std::vector<std::string> names;
    TSession::Default().GetAliasNames(names);
    for (const std::string& n : names) std::printf("%s\n", n.c_str());
    return 0;
}

int cmdTables(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("tables needs one alias or folder");
    std::vector<std::string> names;
    TSession::Default().GetTableNames(args[0], "*.*", false, false, names);
    for (const std::string& n : names) std::printf("%s\n", n.c_str());
    return 0;
}

// Texts in the tab-separated output: tabs, line breaks and backslashes escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

const char* boolText(bool b) { return b ? "True" : "False"; }

std::string optionsText(TIndexOptions o) {
    static const std::pair<TIndexOption, const char*> names[] = {
        {ixPrimary, "ixPrimary"},       {ixUnique, "ixUnique"},         {ixDescending, "ixDescending"},
        {ixCaseInsensitive, "ixCaseInsensitive"}, {ixExpression, "ixExpression"}, {ixNonMaintained, "ixNonMaintained"},
    };
    std::string out;
    for (const auto& n : names)
        if (o & n.first) out += (out.empty() ? "" : ",") + std::string(n.second);
    return out;
}

int cmdFields(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("fields needs one table file");
    TTable table;
    table.SetTableName(args[0]);
    table.Open();
    for (int i = 0; i < table.FieldCount(); ++i) {
        TField& f = table.Fields(i);
        TValCheck check;
        const bool hasCheck = GetFieldValCheck(table, f, check, ".");
        std::printf("%d\t%s\t%s\t%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", i, escaped(f.FieldName()).c_str(),
                    fieldTypeName(f.DataType()), f.Size(), boolText(f.Required()), boolText(hasCheck),
                    boolText(check.Required), boolText(check.HasDefault),
                    check.HasDefault ? escaped(check.DefaultValue).c_str() : "", boolText(check.HasMin),
                    check.HasMin ? escaped(check.MinValue).c_str() : "", boolText(check.HasMax),
                    check.HasMax ? escaped(check.MaxValue).c_str() : "");
    }
    table.IndexDefs().Update();
    std::printf("\nIndexes: %d\n", table.IndexDefs().Count());
    for (int i = 0; i < table.IndexDefs().Count(); ++i) {
        const TIndexDef& d = table.IndexDefs()[i];
        std::printf("%d\t%s\t%s\t%s\t%s\n", i, escaped(d.Name).c_str(), escaped(d.Fields).c_str(),
                    optionsText(d.Options).c_str(), escaped(d.Expression).c_str());
    }
    printWarnings(table.Warnings());
    return 0;
}

int cmdDump(const std::vector<std::string>& args) {
    OpenOptions options;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--password" || a == "--codepage") {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--password") {
                options.knownPasswords.push_back(v);
            } else {
                const CodePageChoice c = userCodePage(v);
                if (c.name.empty()) throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Unknown code page: " + v);
                options.codePage = c.name;
            }
        } else if (a.size() > 1 && a[0] == '-' && path.empty() && a != "-") {
            throw UsageError("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            throw UsageError("dump takes one table file");
        }
    }
    if (path.empty()) throw UsageError("dump needs a table file");
    auto table = openTableFile(path, options);
    printWarnings(table->warnings());
    writeDump(*table, stdout);
    if (std::fflush(stdout) != 0) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write the dump: output error");
    return 0;
}

int cmdSet(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string fromFile;
    bool hasFile = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) throw UsageError("--password needs a value");
            TSession::Default().AddPassword(args[++i]);
        } else if (args[i] == "--from-file") {
            if (i + 1 >= args.size()) throw UsageError("--from-file needs a path");
            fromFile = args[++i];
            hasFile = true;
        } else {
            positional.push_back(args[i]);
        }
    }
    if (hasFile ? positional.size() != 3 : positional.size() != 4)
        throw UsageError(hasFile ? "set --from-file PATH needs TABLE-FILE RECNO FIELD" : "set needs TABLE-FILE RECNO FIELD VALUE");
    const std::string& recNoText = positional[1];
    if (recNoText.empty() || recNoText.find_first_not_of("0123456789") != std::string::npos || recNoText.size() > 10)
        throw UsageError("RECNO must be a record number from 1");
    const long long recNo = std::stoll(recNoText);

    TTable table;
    table.SetTableName(positional[0]);
    table.Open();
    const std::int64_t position = table.File().positionOfRecNo(recNo);
    if (position < 0)
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Record " + recNoText + " does not exist in " + positional[0] +
                                 (table.File().format() == TableFormat::DBase ? " (or is marked deleted)" : ""));
    TField* field = table.FindField(positional[2]);
    if (!field) throw EDBEngineError(EDBEngineError::Code::NotFound, "Field '" + positional[2] + "' not found");
    FieldValue value;
    std::string error;
    if (hasFile) {
        // The file's bytes: text for a memo (UTF-8), bytes for a BLOB, graphic or binary memo.
        std::FILE* in = std::fopen(fromFile.c_str(), "rb");
        if (!in) throw EDBEngineError(EDBEngineError::Code::NotFound, "Cannot read " + fromFile + ": " + std::strerror(errno));
        std::string bytes;
        char buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) bytes.append(buf, n);
        const bool failed = std::ferror(in) != 0;
        std::fclose(in);
        if (failed) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read " + fromFile);
        const TFieldType type = field->Def().dataType;
        if (type == ftMemo) value = textValue(bytes);
        else if (type == ftBlob || type == ftGraphic || type == ftFmtMemo || type == ftParadoxOle || type == ftDBaseOle ||
                 type == ftTypedBinary || type == ftBytes)
            value = binaryValue(bytes);
        else throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot change " + field->FieldName() + ": --from-file fills memo and BLOB fields");
    } else if (!parseDumpValue(field->Def(), positional[3], value, error)) {
        throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot change " + field->FieldName() + ": " + error);
    }
    table.MoveToPosition(static_cast<int>(position));
    table.Edit();
    try {
        field->SetValue(value);
        table.Post();
    } catch (...) {
        table.Cancel();
        throw;
    }
    return 0;
}

int cmdMakeSamples(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("make-samples needs one folder");
    writeSampleDatabase(args[0]);
    return 0;
}

}  // namespace

void tavrinth::cli::printWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& w : warnings) std::fprintf(stderr, "tavrinth-cli: warning: %s\n", w.c_str());
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "aliases") return cmdAliases(args);
        if (command == "tables") return cmdTables(args);
        if (command == "fields") return cmdFields(args);
        if (command == "dump") return cmdDump(args);
        if (command == "set") return cmdSet(args);
        if (command == "import") return cli::cmdImport(args);
        if (command == "insert") return cli::cmdInsert(args);
        if (command == "delete") return cli::cmdDelete(args);
        if (command == "pack") return cli::cmdPack(args);
        if (command == "rebuild-indexes") return cli::cmdRebuildIndexes(args);
        if (command == "check") return cli::cmdCheck(args);
        if (command == "migrate") return cli::cmdMigrate(args);
        if (command == "make-samples") return cmdMakeSamples(args);
        if (command == "report") return cli::cmdReport(args);
        if (command == "export") return cli::cmdExport(args);
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (command == "--version") {
            std::printf("tavrinth-cli %s\n", TAVRINTH_VERSION);
            return 0;
        }
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tavrinth-cli: %s\n%s", e.what(), kUsage);
    } catch (const EDBEngineError& e) {
        std::fprintf(stderr, "tavrinth-cli: %s\n", e.what());
        if (!e.detail().empty()) std::fprintf(stderr, "tavrinth-cli: %s\n", e.detail().c_str());
    } catch (const EDatabaseError& e) {
        std::fprintf(stderr, "tavrinth-cli: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tavrinth-cli: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrinth-cli: %s\n", e.what());
    }
    return 1;
}
