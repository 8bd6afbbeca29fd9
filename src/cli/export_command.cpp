// tavrinth-cli export [--delimiter none|comma|semi|tab] [--no-field-names] [--include-memo]
//                     [--password P] TABLE-FILE OUT
//
// Writes the table to the delimited text file OUT the way the window's export does, with the
// user's locale (dates, times, decimal separator): delimiter ";" and a line of field names unless
// told otherwise. Values that could not be converted are written empty and reported as a warning.

#include <cstdio>
#include <stdexcept>

#include "cli_common.h"
#include "delimited_export.h"
#include "export_locale.h"
#include "session.h"
#include "table.h"

namespace tavrinth::cli {

int cmdExport(const std::vector<std::string>& args) {
    TDelimitedExport exporter;
    exporter.SetDelimiter(TDelimiter::Semi);
    exporter.SetIncludeFieldNames(true);
    exporter.SetIncludeMemo(false);
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--delimiter" || a == "--password") {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--password") {
                TSession::Default().AddPassword(v);
            } else if (v == "none") {
                exporter.SetDelimiter(TDelimiter::None);
            } else if (v == "comma") {
                exporter.SetDelimiter(TDelimiter::Komma);
            } else if (v == "semi") {
                exporter.SetDelimiter(TDelimiter::Semi);
            } else if (v == "tab") {
                exporter.SetDelimiter(TDelimiter::Tab);
            } else {
                throw UsageError("--delimiter is one of none, comma, semi, tab");
            }
        } else if (a == "--no-field-names") {
            exporter.SetIncludeFieldNames(false);
        } else if (a == "--include-memo") {
            exporter.SetIncludeMemo(true);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) throw UsageError("export needs TABLE-FILE OUT");
    if (positional[1].empty()) throw UsageError("export needs a file name to write");

    TTable table;
    table.SetTableName(positional[0]);
    table.Open();
    printWarnings(table.Warnings());
    exporter.SetFilename(positional[1]);
    bool converted;
    try {
        converted = exporter.Execute(table, UserLocale::system());
    } catch (const EInOutError& e) {
        throw std::runtime_error("cannot write " + positional[1] + ": " + e.what());
    }
    if (!converted)
        std::fprintf(stderr, "tavrinth-cli: warning: %s\n",
                     conversionFailureMessage(exporter.ConversionFailures(), positional[1]).c_str());
    return 0;
}

}  // namespace tavrinth::cli
