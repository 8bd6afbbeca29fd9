// tavrinth-cli report: the structure report of some tables, as the Structure view shows it with
// those tables checked.

#include <QDate>
#include <QLocale>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_common.h"
#include "engine_error.h"
#include "export_locale.h"
#include "path_names.h"
#include "session.h"
#include "structure_report.h"
#include "table.h"

namespace tavrinth::cli {

namespace {

void writeLines(const ReportText& lines) {
    for (const std::string& line : lines) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0)
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write the report: output error");
}

// The folder of a table file as a folder database name: absolute, ending in "/".
std::string folderOf(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    return PathWithoutLastPart(absolute.lexically_normal().string());
}

}  // namespace

int cmdReport(const std::vector<std::string>& args) {
    ReportOptions options;
    bool haveKind = false, haveDate = false, haveShortName = false;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--kind" || a == "--date" || a == "--short-name" || a == "--password") {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--kind") {
                haveKind = true;
                options.sqlScript = v != "definition";
                if (v == "definition" || v == "interbase") options.dialect = "InterBase";
                else if (v == "mssql") options.dialect = "MS SQL";
                else if (v == "delphi") options.dialect = "Delphi";
                else throw UsageError("--kind must be definition, interbase, mssql or delphi");
            } else if (a == "--date") {
                haveDate = true;
                options.dateText = v;
            } else if (a == "--short-name") {
                haveShortName = true;
                options.databaseShortName = v;
            } else {
                TSession::Default().AddPassword(v);
            }
        } else if (a.size() > 1 && a[0] == '-' && files.empty()) {
            throw UsageError("unknown option " + a);
        } else {
            files.push_back(a);
        }
    }
    if (!haveKind) throw UsageError("report needs --kind");
    if (files.empty()) throw UsageError("report needs at least one table file");

    const UserLocale locale = UserLocale::system();
    options.decimalSeparator = locale.decimalSeparator.toStdString();
    if (!haveDate) options.dateText = locale.locale.toString(QDate::currentDate(), locale.shortDateFormat).toStdString();
    if (!haveShortName) options.databaseShortName = ApplyShortNameRule(folderOf(files.front()), "");

    ReportText lines;
    StructureReportRun run(lines, options);
    TTable table;
    try {
        run.Begin();
        for (const std::string& file : files) {
            if (table.Active()) table.Close();
            table.SetDatabaseName(folderOf(file));
            table.SetTableName(LastPathPart(file));
            table.Open();
            printWarnings(table.Warnings());
            run.ReportTable(table);
        }
        run.Finish();
    } catch (...) {
        // The lines written before the error stay, as in the window.
        writeLines(lines);
        throw;
    }
    writeLines(lines);
    return 0;
}

}  // namespace tavrinth::cli
