// tavrinth-bench: how fast the engine reads every value of a large table, and with how much memory.
//
//   tavrinth-bench [--records=N] [--table-dir=DIR] [--level=5|7] [--iterations=K] [benchmark flags]
//
// Writes a dBase and a Paradox table of N records (default 1 000 000) into DIR (default: a new
// folder under $TMPDIR, removed at the end; tables already in DIR that read back right are
// reused), checks them, then times (K passes each when --iterations is given, e.g. 1 under
// valgrind --tool=callgrind):
//   Engine/*   TableFile::record + decode of every field of every record (the open included)
//   TTable/*   the table object: First, then Fields(i).Value() of every field, Next to the end
//   Dump/*     writeDump of the whole table into a sink that drops the text
// items_per_second is records per second. peak_rss_MB is the process's peak resident memory
// (getrusage ru_maxrss) when the benchmark ends; run one size per process to compare sizes.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dump.h"
#include "table.h"
#include "table_file.h"
#include "table_generator.h"

namespace {

std::uint32_t gRecords = 1'000'000;
std::string gDbf, gDb;

double peakRssMB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // ru_maxrss is in KB on Linux
}

void finish(benchmark::State& state, std::uint64_t recordsPerPass) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * recordsPerPass));
    state.counters["records"] = static_cast<double>(recordsPerPass);
    state.counters["peak_rss_MB"] = peakRssMB();
}

void engineDecode(benchmark::State& state, const std::string& path) {
    tavrinth::FieldValue value;
    std::uint64_t records = 0;
    for (auto _ : state) {
        auto table = tavrinth::openTableFile(path);
        const std::size_t fields = table->fields().size();
        records = table->recordCount();
        for (std::uint32_t r = 0; r < records; ++r) {
            const std::uint8_t* rec = table->record(r);
            for (std::size_t f = 0; f < fields; ++f) {
                table->decode(rec, f, value);
                benchmark::DoNotOptimize(value);
            }
        }
    }
    finish(state, records);
}

void tableObject(benchmark::State& state, const std::string& path) {
    std::uint64_t records = 0;
    for (auto _ : state) {
        tavrinth::TTable table;
        table.SetTableName(path);
        table.Open();
        const int fields = table.FieldCount();
        records = 0;
        for (table.First(); !table.Eof(); table.Next()) {
            for (int f = 0; f < fields; ++f) benchmark::DoNotOptimize(&table.Fields(f).Value());
            ++records;
        }
    }
    finish(state, records);
}

void dump(benchmark::State& state, const std::string& path) {
    std::uint64_t records = 0, bytes = 0;
    for (auto _ : state) {
        auto table = tavrinth::openTableFile(path);
        records = table->recordCount();
        bytes = 0;
        tavrinth::writeDump(*table, [&bytes](const std::string& piece) { bytes += piece.size(); });
    }
    finish(state, records);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Registered in main, once the table paths are known; `iterations` > 0 fixes the number of passes
// (one pass under callgrind), otherwise the library decides (see --benchmark_min_time).
void registerBenchmarks(int iterations) {
    struct Entry {
        const char* name;
        void (*run)(benchmark::State&, const std::string&);
        const std::string* path;
    };
    const Entry entries[] = {
        {"Engine/dBase", engineDecode, &gDbf}, {"Engine/Paradox", engineDecode, &gDb},
        {"TTable/dBase", tableObject, &gDbf},  {"TTable/Paradox", tableObject, &gDb},
        {"Dump/dBase", dump, &gDbf},           {"Dump/Paradox", dump, &gDb},
    };
    for (const Entry& e : entries) {
        auto* b = benchmark::RegisterBenchmark(e.name, [e](benchmark::State& s) { e.run(s, *e.path); });
        b->Unit(benchmark::kMillisecond);
        if (iterations > 0) b->Iterations(iterations);
    }
}

bool startsWith(const char* arg, const char* prefix, const char*& value) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(arg, prefix, n) != 0) return false;
    value = arg + n;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    int level = 7;
    int iterations = 0;
    bool ownDir = false;
    // Our flags first; the rest goes to the benchmark library.
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const char* v;
        if (startsWith(argv[i], "--records=", v))
            gRecords = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        else if (startsWith(argv[i], "--table-dir=", v))
            dir = v;
        else if (startsWith(argv[i], "--level=", v))
            level = std::atoi(v);
        else if (startsWith(argv[i], "--iterations=", v))
            iterations = std::atoi(v);
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;

    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrinth-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("tavrinth-bench: cannot make a temporary folder");
            return 1;
        }
        dir = pattern;
        ownDir = true;
    }
    gDbf = dir + "/bench.dbf";
    gDb = dir + "/bench.db";
    int status = 0;
    try {
        using namespace tavrinth::bench;
        if (ownDir || !verifyDBaseTable(gDbf, gRecords, 50).empty()) writeDBaseTable(gDbf, gRecords);
        if (ownDir || !verifyParadoxTable(gDb, gRecords, 50).empty()) writeParadoxTable(gDb, gRecords, level);
        const std::string d = verifyDBaseTable(gDbf, gRecords), p = verifyParadoxTable(gDb, gRecords);
        if (!d.empty() || !p.empty()) {
            std::fprintf(stderr, "tavrinth-bench: the tables do not read back right:\n  %s\n  %s\n", d.c_str(), p.c_str());
            status = 1;
        } else {
            std::fprintf(stderr, "tables: %s and %s, %u records each (%u live in the dBase table); peak RSS %.1f MB\n",
                         gDbf.c_str(), gDb.c_str(), gRecords, dbaseLiveRecords(gRecords), peakRssMB());
            benchmark::AddCustomContext("records", std::to_string(gRecords));
            registerBenchmarks(iterations);
            benchmark::RunSpecifiedBenchmarks();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrinth-bench: %s\n", e.what());
        status = 1;
    }
    benchmark::Shutdown();
    if (ownDir) {
        std::remove(gDbf.c_str());
        std::remove(gDb.c_str());
        rmdir(dir.c_str());
    }
    return status;
}
