// tavrinth-bench-tables: writes the benchmark tables to a folder and checks them with the engine.
//
//   tavrinth-bench-tables FOLDER RECORDS [--level 5|7]
//   tavrinth-bench-tables --indexed FOLDER
//
// Writes FOLDER/bench.dbf (dBase III) and FOLDER/bench.db (Paradox), RECORDS records each, then
// opens both with the engine and compares their record counts and a sample of their values with
// what was written. Exit status 0 when both are right.
//
// --indexed writes two empty tables with indexes, for the editing benchmark: FOLDER/keyed.db
// (Paradox 7 keyed on Id, with a secondary index on Name and a composite one on City and Name)
// and FOLDER/tagged.dbf (dBase IV with the .MDX tags ID, NAME and PLACE = CITY+NAME).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "table_generator.h"
#include "table_writer.h"

namespace {

void writeIndexedTables(const std::string& folder) {
    using namespace tavrinth;
    TableSpec px;
    px.format = TableFormat::Paradox;
    px.level = 7;
    px.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 20), columnSpec("City", 'A', 16), columnSpec("Amount", '$'),
                 columnSpec("Day", 'D')};
    px.keyFields = 1;
    px.indexes = {indexSpec("Name", {"Name"}), indexSpec("ByCityName", {"City", "Name"})};
    createTable(folder + "/keyed.db", px);
    TableSpec db;
    db.format = TableFormat::DBase;
    db.level = 4;
    db.fields = {columnSpec("ID", 'N', 10), columnSpec("NAME", 'C', 20), columnSpec("CITY", 'C', 16), columnSpec("AMOUNT", 'N', 12, 2),
                 columnSpec("DAY", 'D', 8)};
    db.indexes = {indexSpec("ID", {"ID"}), indexSpec("NAME", {"NAME"}), indexSpec("PLACE", {}, false, false, false, "CITY+NAME")};
    createTable(folder + "/tagged.dbf", db);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--indexed") {
        try {
            writeIndexedTables(argv[2]);
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tavrinth-bench-tables: %s\n", e.what());
            return 1;
        }
    }
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
