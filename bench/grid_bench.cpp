// tavrinth-grid-bench: a large table in the window's grid (the grid on its data source TdExport,
// offscreen), once the table is open.
//
//   tavrinth-grid-bench [--records=N] [--table-dir=DIR] [benchmark flags]
//
// Writes (or reuses, when they read back right) the dBase and Paradox tables of the other
// benchmarks, N records each (default 1 000 000), opens each once, then times:
//   Grid/FirstScreen/*   the data source starts afresh on the open table and the grid paints its
//                        first screen
//   Grid/LastScreen/*    the same, then the grid scrolls to the last row and paints that screen
//   Rows/SortText/*      a click's worth of sorting by the name column (a text), through the
//                        window's event loop as the window runs it, until the grid paints the
//                        first screen of the sorted rows
//   Rows/SortNumber/*    the same by the amount column (a number)
//   Rows/FilterAscii/*   the filter "berg" (plain ASCII) over every column, the same way
//   Rows/FilterAccented/* the filter "köln" (beyond ASCII)
// records_read is what one pass read from the file (a screen's pages, never the table);
// peak_rss_MB the process's peak resident memory (getrusage ru_maxrss) when the benchmark ends
// (run one Rows benchmark a process, --benchmark_filter, for the memory of that one);
// longest_step_ms the longest the window's event loop waited on one step of a sort or filter
// (a slice of reading, or the sort and the new rows at the end). A pass that reads more than a
// few pages fails the benchmark.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db_grid.h"
#include "table.h"
#include "table_generator.h"
#include "tdexport.h"

namespace {

std::uint32_t gRecords = 1'000'000;
bool gFailed = false;
// Two screens' worth of pages is the most a pass may read.
constexpr std::uint64_t kMaxRecordsPerPass = 4 * tavrinth::TdExport::kPageRows;

double peakRssMB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// One open table in a grid of the window's size.
struct GridOnTable {
    tavrinth::TTable table;
    tavrinth::TdExport source;
    tavrinth::TDBGrid grid;

    explicit GridOnTable(const std::string& path) {
        table.SetTableName(path);
        table.Open();
        grid.SetDataSource(&source);
        grid.resize(1200, 800);
        grid.show();
        QApplication::processEvents();
    }
};

void screen(benchmark::State& state, const std::string& path, bool last) {
    GridOnTable g(path);
    std::uint64_t read = 0;
    for (auto _ : state) {
        const std::uint64_t before = g.source.RecordsRead();
        g.source.SetDataSet(&g.table);  // afresh: count, fields, an empty cache
        if (last) g.grid.scrollToBottom();
        g.grid.viewport()->repaint();
        read = g.source.RecordsRead() - before;
        if (read == 0 || read > kMaxRecordsPerPass) {
            gFailed = true;
            state.SkipWithError(("one pass read " + std::to_string(read) + " records").c_str());
            break;
        }
    }
    state.counters["records"] = static_cast<double>(g.source.rowCount());
    state.counters["records_read"] = static_cast<double>(read);
    state.counters["peak_rss_MB"] = peakRssMB();
}

// Sorts by `column` (-1: none) and filters by `filter` as the window does: the first slice in the
// call, the rest from the event loop; then the grid paints the first screen of the new rows.
void rows(benchmark::State& state, const std::string& path, int column, const QString& filter) {
    GridOnTable g(path);
    double longest = 0;
    int shown = 0;
    auto step = [&longest](auto&& work) {
        QElapsedTimer t;
        t.start();
        work();
        longest = std::max(longest, static_cast<double>(t.nsecsElapsed()) / 1e6);
    };
    for (auto _ : state) {
        state.PauseTiming();
        g.source.SetDataSet(&g.table);  // the table's own rows
        QApplication::processEvents();
        state.ResumeTiming();
        if (column >= 0) step([&] { g.source.SortByColumn(column, Qt::AscendingOrder); });
        if (!filter.isEmpty()) step([&] { g.source.SetFilterText(filter); });
        while (g.source.RowsPending()) step([] { QApplication::processEvents(QEventLoop::WaitForMoreEvents); });
        g.grid.viewport()->repaint();
        shown = g.source.rowCount();
    }
    state.counters["records"] = static_cast<double>(g.table.RecordCount());
    state.counters["rows_shown"] = static_cast<double>(shown);
    state.counters["longest_step_ms"] = longest;
    state.counters["peak_rss_MB"] = peakRssMB();
}

bool startsWith(const char* arg, const char* prefix, const char*& value) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(arg, prefix, n) != 0) return false;
    value = arg + n;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string dir;
    bool ownDir = false;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const char* v;
        if (startsWith(argv[i], "--records=", v))
            gRecords = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        else if (startsWith(argv[i], "--table-dir=", v))
            dir = v;
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrinth-grid-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("tavrinth-grid-bench: cannot make a temporary folder");
            return 1;
        }
        dir = pattern;
        ownDir = true;
    }
    const std::string dbf = dir + "/bench.dbf", db = dir + "/bench.db";
    int status = 0;
    try {
        using namespace tavrinth::bench;
        if (ownDir || !verifyDBaseTable(dbf, gRecords, 50).empty()) writeDBaseTable(dbf, gRecords);
        if (ownDir || !verifyParadoxTable(db, gRecords, 50).empty()) writeParadoxTable(db, gRecords, 7);
        std::fprintf(stderr, "tables: %s and %s, %u records each; peak RSS %.1f MB\n", dbf.c_str(), db.c_str(),
                     gRecords, peakRssMB());
        benchmark::AddCustomContext("records", std::to_string(gRecords));
        struct Entry {
            const char* name;
            const std::string* path;
            bool last;
        };
        const Entry entries[] = {{"Grid/FirstScreen/dBase", &dbf, false}, {"Grid/FirstScreen/Paradox", &db, false},
                                 {"Grid/LastScreen/dBase", &dbf, true},   {"Grid/LastScreen/Paradox", &db, true}};
        for (const Entry& e : entries)
            benchmark::RegisterBenchmark(e.name, [e](benchmark::State& s) { screen(s, *e.path, e.last); })
                ->Unit(benchmark::kMillisecond);
        // Both tables: the name in column 1, the amount in column 3.
        struct RowsEntry {
            const char* name;
            const std::string* path;
            int column;
            const char* filter;
        };
        const RowsEntry rowsEntries[] = {
            {"Rows/SortText/dBase", &dbf, 1, ""},          {"Rows/SortText/Paradox", &db, 1, ""},
            {"Rows/SortNumber/dBase", &dbf, 3, ""},        {"Rows/SortNumber/Paradox", &db, 3, ""},
            {"Rows/FilterAscii/dBase", &dbf, -1, "berg"},  {"Rows/FilterAscii/Paradox", &db, -1, "berg"},
            {"Rows/FilterAccented/dBase", &dbf, -1, "k\u00f6ln"}, {"Rows/FilterAccented/Paradox", &db, -1, "k\u00f6ln"}};
        for (const RowsEntry& e : rowsEntries)
            benchmark::RegisterBenchmark(e.name, [e](benchmark::State& s) {
                rows(s, *e.path, e.column, QString::fromUtf8(e.filter));
            })->Unit(benchmark::kMillisecond);
        benchmark::RunSpecifiedBenchmarks();
        if (gFailed) status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrinth-grid-bench: %s\n", e.what());
        status = 1;
    }
    benchmark::Shutdown();
    if (ownDir) {
        std::remove(dbf.c_str());
        std::remove(db.c_str());
        rmdir(dir.c_str());
    }
    return status;
}
