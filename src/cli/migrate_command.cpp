// tavrinth-cli migrate --to sqlite:PATH|postgresql:CONNINFO [options] TABLE-FILE-OR-FOLDER...
//
// Moves tables into a live database (see migrate.h). Standard output gets a line per table, the
// problems under it, "verified: N rows, M differences" after it with --verify, and a summary;
// standard error a progress line while it runs, when it is a terminal.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_common.h"
#include "migrate.h"
#include "target.h"

namespace tavrinth::cli {

namespace {

class TerminalProgress : public migrate::MigrateObserver {
public:
    TerminalProgress() : terminal_(::isatty(2) != 0) {}
    ~TerminalProgress() override { clear(); }
    void progress(const migrate::MigrateProgress& p) override {
        if (!terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (p.rows != 0 && p.rows != p.totalRows && now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        const double rate = p.seconds > 0 ? static_cast<double>(p.rows) / p.seconds : 0;
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %s: %s %llu of %llu rows, %.0f rows/s", p.table + 1, p.tables, p.tableName.c_str(),
                     p.phase, static_cast<unsigned long long>(p.rows), static_cast<unsigned long long>(p.totalRows), rate);
        std::fflush(stderr);
        shown_ = true;
    }

private:
    void clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace

int cmdMigrate(const std::vector<std::string>& args) {
    migrate::MigrateOptions o;
    std::string to;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--to") to = value();
        else if (a == "--schema-only") o.schemaOnly = true;
        else if (a == "--data-only") o.dataOnly = true;
        else if (a == "--replace") o.replace = true;
        else if (a == "--include-deleted") o.includeDeleted = true;
        else if (a == "--codepage") o.codePage = value();
        else if (a == "--password") o.passwords.push_back(value());
        else if (a == "--lower-case-names") o.lowerCaseNames = true;
        else if (a == "--verify") o.verify = true;
        else if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a);
        else paths.push_back(a);
    }
    if (to.empty()) throw UsageError("migrate needs --to sqlite:PATH or --to postgresql:CONNINFO");
    if (paths.empty()) throw UsageError("migrate needs table files or folders");
    if (o.schemaOnly && o.dataOnly) throw UsageError("--schema-only and --data-only exclude each other");
    const std::vector<std::string> tables = migrate::expandSources(paths);
    if (tables.empty()) throw migrate::MigrateError("no tables in " + paths[0]);
    auto target = migrate::openTarget(to);
    migrate::MigrateSummary summary;
    {
        TerminalProgress progress;
        summary = migrate::migrate(tables, *target, o, &progress);
    }
    std::fputs(summary.text().c_str(), stdout);
    return summary.exitStatus();
}

}  // namespace tavrinth::cli
