// Every table of the corpus moved into SQLite and into a PostgreSQL server of the test's own,
// with --verify, then read back from the target and compared cell by cell with the corpus
// oracle: the values the target holds are the ones an independent reader found in the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

#include "csv.h"
#include "dbase/dbf_table.h"
#include "manifest.h"
#include "migrate.h"
#include "oracle_exceptions.h"
#include "pg_server.h"
#include "table_file.h"
#include "target.h"
#include "target_values.h"
#include "test_files.h"
#include "test_paths.h"
#include "value_text.h"

using namespace tavrinth;
using namespace tavrinth::migrate;
using namespace tavrinth::test;

namespace {

struct CorpusTable {
    std::string relative, path, oracle;
    bool encrypted;
    const std::vector<OracleException>* exceptions;
};

std::vector<CorpusTable> corpusTables() {
    std::vector<CorpusTable> out;
    for (const ManifestRow& m : readManifest(paradoxCorpus("MANIFEST.tsv")))
        if (m["oracle_csv"] != "-")
            out.push_back({m["path"], paradoxCorpus(m["path"]), paradoxCorpus(m["oracle_csv"]),
                           m["encryption"] != "0x00000000", &kParadoxExceptions});
    for (const ManifestRow& m : readManifest(dbaseCorpus("MANIFEST.tsv")))
        if (m["oracle_csv"] != "-") out.push_back({m["path"], dbaseCorpus(m["path"]), dbaseCorpus(m["oracle_csv"]), false, &kDBaseExceptions});
    return out;
}

bool oracleIsWrongThere(const CorpusTable& t, const std::string& column) {
    for (const OracleException& e : *t.exceptions)
        if (t.relative == e.table && column == e.column) return true;
    return false;
}

// Moves one table (deleted dBase records too, so the rows are the oracle's) and compares what the
// target holds with the oracle. Returns the number of cells compared.
std::size_t migrateAndCompare(Target& target, const CorpusTable& c) {
    SCOPED_TRACE(c.relative);
    MigrateOptions o;
    o.includeDeleted = true;
    o.replace = true;
    o.verify = true;
    if (c.encrypted) o.passwords = {"123"};  // the corpus's encrypted tables
    const MigrateSummary summary = migrate::migrate({c.path}, target, o);
    EXPECT_EQ(summary.tables.size(), 1u);
    if (summary.tables.size() != 1) return 0;
    const TableOutcome& out = summary.tables[0];
    EXPECT_TRUE(out.done) << out.error;
    if (!out.done) return 0;
    EXPECT_TRUE(out.verified);
    EXPECT_EQ(out.differences, 0u) << summary.text();

    OpenOptions open;
    open.knownPasswords = o.passwords;
    auto table = openTableFile(c.path, open);
    TablePlan plan;
    plan.name = out.target;
    plan.columns = columnsOf(*table, o);
    auto* dbf = dynamic_cast<dbase::DBaseTable*>(table.get());
    const std::uint64_t records = dbf ? dbf->physicalCount() : table->recordCount();

    const CsvResult oracle = parseCsv(readFile(c.oracle));
    EXPECT_TRUE(oracle.ok()) << oracle.error;
    if (!oracle.ok() || oracle.records.empty()) return 0;
    // The column names are the field names, as they are (a name the table repeats with a number).
    EXPECT_EQ(plan.columns.size(), oracle.records[0].size());
    for (std::size_t i = 0; i < plan.columns.size() && i < oracle.records[0].size(); ++i) {
        const std::string& name = plan.columns[i].name;
        const std::string& field = oracle.records[0][i];
        const bool repeated = std::find(oracle.records[0].begin(), oracle.records[0].begin() + static_cast<long>(i), field) !=
                              oracle.records[0].begin() + static_cast<long>(i);
        if (repeated) EXPECT_EQ(name.compare(0, field.size() + 1, field + "_"), 0) << name;
        else EXPECT_EQ(name, field);
    }
    EXPECT_EQ(oracle.records.size() - 1, records);

    auto rows = target.readBack(plan, "");
    std::vector<Cell> cells;
    FieldValue ours;
    OutValue sent;
    std::string why;
    std::size_t compared = 0, reported = 0;
    for (std::uint64_t r = 0; r < records && r + 1 < oracle.records.size(); ++r) {
        if (!rows->next(cells)) {
            ADD_FAILURE() << "the target ends after " << r << " rows of " << records;
            return compared;
        }
        const CsvRecord& expected = oracle.records[r + 1];
        const std::uint8_t* rec = dbf ? dbf->physicalRecord(static_cast<std::uint32_t>(r))
                                      : table->record(static_cast<std::uint32_t>(r));
        for (std::size_t i = 0; i < plan.columns.size() && i < expected.size(); ++i) {
            const ColumnPlan& col = plan.columns[i];
            if (col.field < 0) {
                // The oracle marks a deleted record "*" (and shows any other flag byte as flag=XX).
                const bool deleted = !cells[i].null && cells[i].text == "1";
                EXPECT_EQ(deleted, expected[i] == "*") << "row " << r + 1;
                continue;
            }
            table->decode(rec, static_cast<std::size_t>(col.field), ours);
            const std::string got = dumpValueText(fromCell(col, cells[i], ours.kind));
            ++compared;
            if (sameCellValue(got, expected[i])) continue;
            // A value the target cannot take went in as NULL, reported.
            const bool refused = !toOutValue(col, ours, sent, why) || !target.refusal(col, sent).empty();
            if (refused && cells[i].null) {
                ++reported;
                continue;
            }
            // Where the oracle is known to be wrong, the target holds our reading.
            if (oracleIsWrongThere(c, col.name) && got == dumpValueText(ours)) continue;
            ADD_FAILURE() << "row " << r + 1 << ", " << col.name << ": the target holds " << got.substr(0, 200)
                          << ", the oracle " << expected[i].substr(0, 200);
        }
    }
    EXPECT_FALSE(rows->next(cells)) << "the target has more rows than the table";
    // A value left out was reported.
    if (reported > 0) {
        EXPECT_FALSE(out.problems.empty()) << reported << " values left out unreported";
    }
    return compared;
}

void migrateTheCorpus(Target& target) {
    std::size_t tables = 0, cells = 0;
    for (const CorpusTable& c : corpusTables()) {
        cells += migrateAndCompare(target, c);
        ++tables;
    }
    EXPECT_EQ(tables, 88u + 98u) << "tables with an oracle in the corpus";
    EXPECT_GT(cells, 100000u);
}

TEST(MigrateCorpus, EveryTableIntoSqliteHoldsTheOraclesValues) {
    TempDir dir;
    auto target = openTarget("sqlite:" + dir.path() + "/corpus.sqlite");
    migrateTheCorpus(*target);
}

TEST(MigrateCorpus, EveryTableIntoPostgresHoldsTheOraclesValues) {
    PostgresServer& server = PostgresServer::shared();
    server.createDatabase("corpus");
    auto target = openTarget("postgresql:" + server.conninfo("corpus"));
    migrateTheCorpus(*target);
}

}  // namespace
