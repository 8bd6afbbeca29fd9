// tavrinth-cli check [--password P] TABLE-FILE
//
// Verifies the table and every file of its family without changing a byte (table_check.h says
// what is verified): prints "ok" and exits 0 when all is sound, otherwise one line per problem on
// standard output and exit status 1. A table that cannot be opened at all is an error as for the
// other commands.

#include <cstdio>

#include "cli_common.h"
#include "engine_error.h"
#include "table_check.h"

namespace tavrinth::cli {

int cmdCheck(const std::vector<std::string>& args) {
    OpenOptions options;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--password") {
            if (i + 1 >= args.size()) throw UsageError("--password needs a value");
            options.knownPasswords.push_back(args[++i]);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            throw UsageError("check takes one table file");
        }
    }
    if (path.empty()) throw UsageError("check needs a table file");

    const std::vector<std::string> problems = checkTableFamily(path, options);
    if (problems.empty()) std::printf("ok\n");
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    if (std::fflush(stdout) != 0)
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write the result: output error");
    return problems.empty() ? 0 : 1;
}

}  // namespace tavrinth::cli
