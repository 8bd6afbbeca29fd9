// Structure reports over many tables: each kind of report over a folder of Paradox tables of 20
// fields with validity checks and a secondary index, one table open at a time as in the window.
//
//   tavrinth-bench-reports [--tables=N] [google benchmark flags]     (default 1000 tables)

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "field_value.h"
#include "structure_report.h"
#include "table.h"
#include "table_writer.h"

using namespace tavrinth;

namespace {

int gTables = 1000;
std::string gFolder;
std::vector<std::string> gNames;

TableSpec tableWithChecks() {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = 7;
    spec.keyFields = 1;
    const char types[] = {'+', 'A', 'A', 'N', '$', 'S', 'I', 'D', 'T', '@', 'L', 'A', 'N', 'S', 'I', 'D', '$', 'A', 'M', 'L'};
    for (int i = 0; i < 20; ++i) {
        ColumnSpec c;
        c.name = "Field" + std::to_string(i + 1);
        c.type = types[i];
        if (c.type == 'A') c.size = 20;
        if (c.type == 'M') c.size = 16;
        spec.fields.push_back(c);
    }
    auto check = [](const std::string& field) {
        CheckSpec c;
        c.field = field;
        return c;
    };
    CheckSpec name = check("Field2");
    name.required = true;
    CheckSpec city = check("Field3");
    city.defaultKind = BoundKind::Value;
    city.defaultValue = textValue("Copenhagen");
    CheckSpec price = check("Field4");
    price.minKind = price.maxKind = BoundKind::Value;
    price.minValue = floatValue(0.5);
    price.maxValue = floatValue(99999.75);
    CheckSpec qty = check("Field6");
    qty.defaultKind = qty.minKind = BoundKind::Value;
    qty.defaultValue = integerValue(1);
    qty.minValue = integerValue(0);
    CheckSpec since = check("Field8");
    since.defaultKind = BoundKind::Today;
    since.minKind = BoundKind::Value;
    since.minValue = dateValue(1990, 1, 1);
    CheckSpec paid = check("Field11");
    paid.defaultKind = BoundKind::Value;
    paid.defaultValue = booleanValue(false);
    spec.checks = {name, city, price, qty, since, paid};
    IndexSpec byName;
    byName.name = "ByName";
    byName.fields = {"Field2", "Field3"};
    spec.indexes = {byName};
    return spec;
}

void writeTables() {
    gFolder = (std::filesystem::temp_directory_path() / ("tavrinth-bench-reports-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(gFolder);
    const TableSpec spec = tableWithChecks();
    for (int i = 0; i < gTables; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "T%04d.DB", i);
        createTable(gFolder + "/" + name, spec);
        gNames.push_back(name);
    }
    // The engine reuses a folder's listing only once the folder has not changed for a second (as
    // with tables people keep); wait for that, so the runs measure the reports, not the settling.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
}

void BM_Report(benchmark::State& state, bool sqlScript, const char* dialect) {
    ReportOptions options;
    options.sqlScript = sqlScript;
    options.dialect = dialect;
    options.databaseShortName = "bench";
    options.dateText = "12/7/2026";
    std::size_t lineCount = 0;
    for (auto _ : state) {
        ReportText lines;
        StructureReportRun run(lines, options);
        TTable table;
        table.SetDatabaseName(gFolder + "/");
        run.Run(table, gNames);
        lineCount = lines.size();
        benchmark::DoNotOptimize(lines.data());
    }
    state.counters["tables"] = static_cast<double>(gNames.size());
    state.counters["lines"] = static_cast<double>(lineCount);
    state.counters["tables/s"] = benchmark::Counter(static_cast<double>(gNames.size()), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Report, DataDefinition, false, "InterBase")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Report, InterBase, true, "InterBase")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Report, MSSQL, true, "MS SQL")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Report, Delphi, true, "Delphi")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--tables=", 0) == 0) {
            gTables = std::atoi(a.c_str() + 9);
            if (gTables < 1) {
                std::fprintf(stderr, "--tables needs a number from 1\n");
                return 2;
            }
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    try {
        writeTables();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot write the tables: %s\n", e.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(gFolder, ignored);
    return 0;
}
