// tavrinth-bench-tables: writes the benchmark tables to a folder and checks them with the engine.
//
//   tavrinth-bench-tables FOLDER RECORDS [--level 5|7]
//
// Writes FOLDER/bench.dbf (dBase III) and FOLDER/bench.db (Paradox), RECORDS records each, then
// opens both with the engine and compares their record counts and a sample of their values with
// what was written. Exit status 0 when both are right.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "table_generator.h"

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "--level")) {
        std::fprintf(stderr, "usage: tavrinth-bench-tables FOLDER RECORDS [--level 5|7]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const auto records = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int level = argc == 5 ? std::atoi(argv[4]) : 7;
    try {
        const std::string dbf = folder + "/bench.dbf", db = folder + "/bench.db";
        tavrinth::bench::writeDBaseTable(dbf, records);
        tavrinth::bench::writeParadoxTable(db, records, level);
        int status = 0;
        for (const auto& [path, problem] : {std::pair{dbf, tavrinth::bench::verifyDBaseTable(dbf, records)},
                                            std::pair{db, tavrinth::bench::verifyParadoxTable(db, records)}}) {
            if (problem.empty()) {
                std::printf("%s: %u records, sample read back right\n", path.c_str(), records);
            } else {
                std::fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
                status = 1;
            }
        }
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrinth-bench-tables: %s\n", e.what());
        return 1;
    }
}
