// What a table's keys, indexes and validity checks become in SQLite and PostgreSQL, read back from
// the targets' own catalogs; data that breaks its table's rules; the run's options and refusals;
// the command's output.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>

#include "migrate.h"
#include "pg_server.h"
#include "process.h"
#include "table_writer.h"
#include "target.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::migrate;
using namespace tavrinth::test;

namespace {

FieldValue Null() { return FieldValue{}; }

CheckSpec check(const std::string& field) {
    CheckSpec c;
    c.field = field;
    return c;
}
CheckSpec range(CheckSpec c, FieldValue min, FieldValue max) {
    if (!min.isNull()) c.minKind = BoundKind::Value, c.minValue = min;
    if (!max.isNull()) c.maxKind = BoundKind::Value, c.maxValue = max;
    return c;
}
CheckSpec withDefault(CheckSpec c, FieldValue v) {
    c.defaultKind = BoundKind::Value;
    c.defaultValue = v;
    return c;
}

// A keyed Paradox table with validity checks and secondary indexes.
TableSpec accounts(std::vector<std::vector<FieldValue>> records) {
    TableSpec s;
    s.format = TableFormat::Paradox;
    s.fields = {columnSpec("Id", 'I'), columnSpec("Code", 'A', 8), columnSpec("Name", 'A', 30), columnSpec("Amount", '$'),
                columnSpec("Opened", 'D'), columnSpec("Notes", 'M', 20)};
    s.keyFields = 1;
    s.indexes = {indexSpec("Code", {"Code"}), indexSpec("ByNameCode", {"Name", "Code"}, true),
                 indexSpec("Latest", {"Opened", "Amount"}, false, true)};
    CheckSpec name = check("Name");
    name.required = true;
    CheckSpec opened = check("Opened");
    opened.defaultKind = BoundKind::Today;
    s.checks = {name, withDefault(range(check("Amount"), floatValue(0), floatValue(1000000)), floatValue(100)), opened};
    s.records = std::move(records);
    return s;
}

// A dBase IV table with production .MDX tags, plain and over expressions.
TableSpec stock() {
    TableSpec s;
    s.format = TableFormat::DBase;
    s.level = 4;
    s.fields = {columnSpec("PARTNO", 'C', 8), columnSpec("CITY", 'C', 20), columnSpec("QTY", 'N', 6), columnSpec("COUNTED", 'D', 8)};
    s.indexes = {indexSpec("PARTNO", {"PARTNO"}, false, false, true), indexSpec("RECENT", {"COUNTED"}, false, true),
                 indexSpec("PLACE", {}, false, false, false, "CITY+PARTNO")};
    s.records = {{textValue("A-1"), textValue("Lyon"), integerValue(4), dateValue(2024, 1, 2)},
                 {textValue("B-2"), textValue("lyon"), integerValue(7), dateValue(2024, 3, 9)}};
    return s;
}

// A dBase 7 table with field properties.
TableSpec events() {
    TableSpec s;
    s.format = TableFormat::DBase;
    s.level = 7;
    s.fields = {columnSpec("ID", '+'), columnSpec("TITLE", 'C', 30), columnSpec("SEATS", 'I')};
    CheckSpec title = check("TITLE");
    title.required = true;
    s.checks = {title, withDefault(range(check("SEATS"), integerValue(1), integerValue(500)), integerValue(10))};
    s.records = {{Null(), textValue("Opening"), integerValue(120)}, {Null(), textValue("Close"), integerValue(80)}};
    return s;
}

// --- The targets' catalogs, as sorted lines ---------------------------------------------------

struct Catalog {
    std::set<std::string> lines;
    bool has(const std::string& line) const { return lines.count(line) != 0; }
    std::string all() const {
        std::string s;
        for (const std::string& l : lines) s += "  " + l + "\n";
        return s;
    }
};

// SQLite: PRAGMA table_info (NOT NULL, default, key), index_list and index_xinfo (unique,
// descending, collation), and the CHECK clauses of the table's SQL.
Catalog sqliteCatalog(const std::string& file, const std::string& table) {
    Catalog c;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto rows = [&](const std::string& sql, auto&& each) {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            auto text = [&](int i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                return std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
            };
            each(text);
        }
        sqlite3_finalize(st);
    };
    rows("PRAGMA table_info(" + Target::quote(table) + ")", [&](auto text) {
        if (text(3) == "1") c.lines.insert("NOT NULL " + text(1));
        if (text(4) != "NULL") c.lines.insert("DEFAULT " + text(1) + " " + text(4));
        if (text(5) != "0") c.lines.insert("PRIMARY KEY " + text(5) + " " + text(1));
    });
    std::vector<std::pair<std::string, std::string>> indexes;
    rows("PRAGMA index_list(" + Target::quote(table) + ")", [&](auto text) { indexes.push_back({text(1), text(2)}); });
    for (const auto& [name, unique] : indexes) {
        if (name.rfind("sqlite_autoindex", 0) == 0) continue;
        std::string key;
        rows("PRAGMA index_xinfo(" + Target::quote(name) + ")", [&](auto text) {
            if (text(5) != "1") return;  // the key columns, not the rowid
            key += (key.empty() ? "" : ", ") + text(2) + (text(3) == "1" ? " DESC" : "") + (text(4) == "BINARY" ? "" : " " + text(4));
        });
        c.lines.insert(std::string(unique == "1" ? "UNIQUE INDEX " : "INDEX ") + name + " (" + key + ")");
    }
    rows("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = '" + table + "'", [&](auto text) {
        std::string sql = text(0);
        for (std::size_t p = sql.find("CHECK ("); p != std::string::npos; p = sql.find("CHECK (", p + 1))
            c.lines.insert(sql.substr(p, sql.find(')', p) + 1 - p));
        for (std::size_t p = sql.find("FOREIGN KEY"); p != std::string::npos; p = sql.find("FOREIGN KEY", p + 1))
            c.lines.insert(sql.substr(p, sql.find(')', sql.find("REFERENCES", p)) + 1 - p));
    });
    sqlite3_close(db);
    return c;
}

std::vector<std::vector<std::string>> pgRows(PGconn* conn, const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << sql << ": " << PQresultErrorMessage(r);
    std::vector<std::vector<std::string>> out;
    for (int i = 0; i < PQntuples(r); ++i) {
        out.emplace_back();
        for (int j = 0; j < PQnfields(r); ++j) out.back().push_back(PQgetisnull(r, i, j) ? "NULL" : PQgetvalue(r, i, j));
    }
    PQclear(r);
    return out;
}

// PostgreSQL: information_schema for NOT NULL and defaults, pg_get_indexdef for every index,
// pg_get_constraintdef for the checks and keys.
Catalog postgresCatalog(const std::string& conninfo, const std::string& table) {
    Catalog c;
    PGconn* conn = PQconnectdb(conninfo.c_str());
    EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    const std::string lit = "'" + table + "'";
    for (const auto& row : pgRows(conn, "SELECT column_name, is_nullable, column_default, is_identity FROM information_schema.columns "
                                        "WHERE table_name = " + lit)) {
        if (row[1] == "NO") c.lines.insert("NOT NULL " + row[0]);
        if (row[2] != "NULL") c.lines.insert("DEFAULT " + row[0] + " " + row[2]);
        if (row[3] == "YES") c.lines.insert("IDENTITY " + row[0]);
    }
    const std::string rel = "'" + Target::quote(table) + "'::regclass";
    for (const auto& row : pgRows(conn, "SELECT pg_get_indexdef(indexrelid) FROM pg_index WHERE indrelid = " + rel))
        c.lines.insert(row[0]);
    for (const auto& row : pgRows(conn, "SELECT pg_get_constraintdef(oid) FROM pg_constraint WHERE conrelid = " + rel))
        c.lines.insert(row[0]);
    PQfinish(conn);
    return c;
}

struct Targets {
    TempDir dir;
    std::string sqliteFile = dir.file("schema.sqlite");
    std::string pgConninfo;
    Targets(const std::string& database) {
        PostgresServer::shared().createDatabase(database);
        pgConninfo = PostgresServer::shared().conninfo(database);
    }
    std::string sqlite() const { return "sqlite:" + sqliteFile; }
    std::string postgres() const { return "postgresql:" + pgConninfo; }
};

MigrateSummary run(const std::string& spec, const std::vector<std::string>& files, const MigrateOptions& o = {}) {
    auto target = openTarget(spec);
    return migrate::migrate(files, *target, o);
}

TEST(MigrateSchema, KeysIndexesAndChecksReachBothCatalogs) {
    Targets t("schema");
    const std::string acc = t.dir.file("ACCOUNTS.DB"), stk = t.dir.file("STOCK.DBF"), ev = t.dir.file("EVENTS.DBF");
    createTable(acc, accounts({{integerValue(1), textValue("K1"), textValue("Kay"), floatValue(10), dateValue(2020, 1, 1), textValue("x")},
                               {integerValue(2), textValue("k2"), textValue("Lee"), floatValue(20), Null(), Null()}}));
    createTable(stk, stock());
    createTable(ev, events());
    // A dBase IV table of another program with its .MDX: a unique tag, a tag and a descending one.
    const std::string master = dbaseCorpus("Aorid__Group-336.2/master.dbf");
    // Visual FoxPro tags over a long field name from the database container: no plain form.
    const std::string contacts = dbaseCorpus("infused__dbf/spec/fixtures/foxprodb/contacts.dbf");
    MigrateOptions o;
    o.verify = true;
    for (const std::string& spec : {t.sqlite(), t.postgres()}) {
        SCOPED_TRACE(spec);
        const MigrateSummary s = run(spec, {acc, stk, ev, master, contacts}, o);
        EXPECT_EQ(s.exitStatus(), 0) << s.text();
        EXPECT_NE(s.text().find("  index TYPE_ID (contact_type_id) left out: the expression has no plain form in SQL\n"),
                  std::string::npos)
            << s.text();
    }

    const std::vector<std::pair<std::string, std::vector<std::string>>> sqliteExpected = {
        {"ACCOUNTS",
         {"PRIMARY KEY 1 Id", "NOT NULL Name", "DEFAULT Amount 100.0", "DEFAULT Opened date('now', 'localtime')",
          "CHECK (\"Amount\" >= 0.0)", "CHECK (\"Amount\" <= 1000000.0)", "INDEX ACCOUNTS_Code (Code)",
          "INDEX ACCOUNTS_ByNameCode (Name NOCASE, Code NOCASE)", "INDEX ACCOUNTS_Latest (Opened DESC, Amount DESC)"}},
        {"STOCK", {"UNIQUE INDEX STOCK_PARTNO (PARTNO)", "INDEX STOCK_RECENT (COUNTED DESC)", "INDEX STOCK_PLACE (CITY, PARTNO)"}},
        {"master",
         {"UNIQUE INDEX master_SYMBOL (SYMBOL)", "INDEX master_GROWTHASC (PROJ_GRTH)", "INDEX master_GROWTHDESC (PROJ_GRTH DESC)"}},
        {"EVENTS", {"NOT NULL TITLE", "DEFAULT SEATS 10", "CHECK (\"SEATS\" >= 1)", "CHECK (\"SEATS\" <= 500)"}},
    };
    for (const auto& [table, lines] : sqliteExpected) {
        const Catalog c = sqliteCatalog(t.sqliteFile, table);
        EXPECT_EQ(c.lines, std::set<std::string>(lines.begin(), lines.end())) << table << ":\n" << c.all();
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> pgExpected = {
        {"ACCOUNTS",
         {"NOT NULL Id", "NOT NULL Name", "DEFAULT Amount '100'::double precision", "DEFAULT Opened CURRENT_DATE",
          "CREATE UNIQUE INDEX \"ACCOUNTS_pkey\" ON public.\"ACCOUNTS\" USING btree (\"Id\")", "PRIMARY KEY (\"Id\")",
          "CHECK ((\"Amount\" >= '0'::double precision))", "CHECK ((\"Amount\" <= '1000000'::double precision))",
          "CREATE INDEX \"ACCOUNTS_Code\" ON public.\"ACCOUNTS\" USING btree (\"Code\")",
          "CREATE INDEX \"ACCOUNTS_ByNameCode\" ON public.\"ACCOUNTS\" USING btree (lower((\"Name\")::text), lower((\"Code\")::text))",
          "CREATE INDEX \"ACCOUNTS_Latest\" ON public.\"ACCOUNTS\" USING btree (\"Opened\" DESC, \"Amount\" DESC)"}},
        {"STOCK",
         {"CREATE UNIQUE INDEX \"STOCK_PARTNO\" ON public.\"STOCK\" USING btree (\"PARTNO\")",
          "CREATE INDEX \"STOCK_RECENT\" ON public.\"STOCK\" USING btree (\"COUNTED\" DESC)",
          "CREATE INDEX \"STOCK_PLACE\" ON public.\"STOCK\" USING btree (\"CITY\", \"PARTNO\")"}},
        {"master",
         {"CREATE UNIQUE INDEX \"master_SYMBOL\" ON public.master USING btree (\"SYMBOL\")",
          "CREATE INDEX \"master_GROWTHASC\" ON public.master USING btree (\"PROJ_GRTH\")",
          "CREATE INDEX \"master_GROWTHDESC\" ON public.master USING btree (\"PROJ_GRTH\" DESC)"}},
        {"EVENTS",
         {"NOT NULL ID", "IDENTITY ID", "NOT NULL TITLE", "DEFAULT SEATS 10", "CHECK ((\"SEATS\" >= 1))",
          "CHECK ((\"SEATS\" <= 500))"}},
    };
    for (const auto& [table, lines] : pgExpected) {
        const Catalog c = postgresCatalog(t.pgConninfo, table);
        EXPECT_EQ(c.lines, std::set<std::string>(lines.begin(), lines.end())) << table << ":\n" << c.all();
    }
    // The identity goes on after the highest value loaded.
    PGconn* conn = PQconnectdb(t.pgConninfo.c_str());
    EXPECT_EQ(pgRows(conn, "INSERT INTO \"EVENTS\" (\"TITLE\") VALUES ('Next') RETURNING \"ID\", \"SEATS\""),
              (std::vector<std::vector<std::string>>{{"3", "10"}}));
    PQfinish(conn);
}

TEST(MigrateSchema, DataThatBreaksItsOwnRulesLoadsInFull) {
    Targets t("broken");
    const std::string acc = t.dir.file("ACCOUNTS.DB");
    // Two amounts below the minimum, a name missing.
    createTable(acc, accounts({{integerValue(1), textValue("K1"), textValue("Kay"), floatValue(-5), Null(), Null()},
                               {integerValue(2), textValue("K1"), Null(), floatValue(-7), Null(), Null()},
                               {integerValue(3), textValue("K3"), textValue("Mo"), floatValue(9), Null(), Null()}}));
    // A unique .MDX tag over codes that repeat.
    const std::string industry = dbaseCorpus("Aorid__Group-336.2/industry.dbf");
    MigrateOptions o;
    o.verify = true;
    for (const std::string& spec : {t.sqlite(), t.postgres()}) {
        SCOPED_TRACE(spec);
        const MigrateSummary r = run(spec, {acc, industry}, o);
        ASSERT_EQ(r.tables.size(), 2u);
        EXPECT_EQ(r.tables[0].rows, 3u);
        EXPECT_EQ(r.tables[0].differences, 0u);
        EXPECT_EQ(r.exitStatus(), 0) << "every value went in: " << r.text();
        for (const auto& [table, line] : {std::pair{0, "NOT NULL on Name left out: 1 row breaks it"},
                                          std::pair{0, "CHECK (Amount >= 0.0) left out: 2 rows break it"},
                                          std::pair{1, "UNIQUE of index IND_CODE (IND_CODE) left out: 6 rows break it"}}) {
            const auto& notes = r.tables[static_cast<std::size_t>(table)].notes;
            EXPECT_NE(std::find(notes.begin(), notes.end(), line), notes.end()) << line << " in\n" << r.text();
        }
    }
    const Catalog lite = sqliteCatalog(t.sqliteFile, "ACCOUNTS");
    EXPECT_FALSE(lite.has("NOT NULL Name")) << lite.all();
    EXPECT_FALSE(lite.has("CHECK (\"Amount\" >= 0.0)")) << lite.all();
    EXPECT_TRUE(lite.has("CHECK (\"Amount\" <= 1000000.0)")) << lite.all();
    EXPECT_TRUE(sqliteCatalog(t.sqliteFile, "industry").has("INDEX industry_IND_CODE (IND_CODE)")) << "kept as a plain index";
    const Catalog pg = postgresCatalog(t.pgConninfo, "ACCOUNTS");
    EXPECT_FALSE(pg.has("NOT NULL Name")) << pg.all();
    EXPECT_FALSE(pg.has("CHECK ((\"Amount\" >= '0'::double precision))")) << pg.all();
    EXPECT_TRUE(pg.has("CHECK ((\"Amount\" <= '1000000'::double precision))")) << pg.all();
    EXPECT_TRUE(postgresCatalog(t.pgConninfo, "industry").has("CREATE INDEX \"industry_IND_CODE\" ON public.industry USING btree (\"IND_CODE\")"))
        << "kept as a plain index";
}

TEST(MigrateRun, ForeignKeysFromLookupsAndReferentialIntegrity) {
    // The corpus's joins: C refers to A and B, fk4 to two by two fields; masters go first
    // whatever the order given.
    Targets t("joins");
    const std::string joins = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/joins/");
    const std::vector<std::string> files = {joins + "C.DB", joins + "fk4.db", joins + "A.db", joins + "B.db", joins + "two.db"};
    for (const std::string& spec : {t.sqlite(), t.postgres()}) {
        SCOPED_TRACE(spec);
        const MigrateSummary r = run(spec, files);
        EXPECT_EQ(r.exitStatus(), 0) << r.text();
    }
    EXPECT_TRUE(sqliteCatalog(t.sqliteFile, "C").has("FOREIGN KEY (\"A\") REFERENCES \"A\" (\"A\")"))
        << sqliteCatalog(t.sqliteFile, "C").all();
    const Catalog c = postgresCatalog(t.pgConninfo, "C"), fk4 = postgresCatalog(t.pgConninfo, "fk4");
    EXPECT_TRUE(c.has("FOREIGN KEY (\"A\") REFERENCES \"A\"(\"A\")")) << c.all();
    EXPECT_TRUE(c.has("FOREIGN KEY (\"B\") REFERENCES \"B\"(\"B\")")) << c.all();
    EXPECT_TRUE(fk4.has("FOREIGN KEY (\"FK1\", \"FK\") REFERENCES two(\"ID1\", \"ID2\")")) << fk4.all();
}

}  // namespace

namespace {

std::int64_t sqliteCount(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

std::int64_t count(const Targets& t, const std::string& spec, const std::string& sql) {
    if (spec == t.sqlite()) return sqliteCount(t.sqliteFile, sql);
    PGconn* conn = PQconnectdb(t.pgConninfo.c_str());
    const auto rows = pgRows(conn, sql);
    PQfinish(conn);
    return rows.size() == 1 ? std::stoll(rows[0][0]) : -1;
}

class CancelWhileLoading : public MigrateObserver {
public:
    void progress(const MigrateProgress& p) override {
        seen = seen || (p.rows > 0 && p.rows < p.totalRows && std::string(p.phase) == "loading");
    }
    bool cancelled() override { return seen; }
    bool seen = false;
};

TEST(MigrateRun, OptionsRefusalsLostValuesAndCancel) {
    Targets t("options");
    const std::string samples = t.dir.file("samples");
    ASSERT_EQ(runProcess({cliPath(), "make-samples", samples}).exitStatus, 0);
    const std::string customer = samples + "/CUSTOMER.DB", orders = samples + "/ORDERS.DB";
    // A dBase table with a date no target keeps as a date.
    const std::string old = t.dir.file("OLD.DBF");
    TableSpec s;
    s.format = TableFormat::DBase;
    s.level = 3;
    s.fields = {columnSpec("NAME", 'C', 10), columnSpec("BORN", 'D', 8)};
    s.records = {{textValue("a"), dateValue(1999, 12, 31)}, {textValue("b"), dateValue(1111, 11, 11)}};
    createTable(old, s);
    {
        std::string bytes = readFile(old);  // the year 0, which the writer refuses
        const std::size_t at = bytes.find("11111111");
        ASSERT_NE(at, std::string::npos);
        bytes.replace(at, 8, "00000501");
        writeFile(old, bytes);
    }
    const std::string zipcodes = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/areas/ZIPCODES.DB");

    for (const std::string& spec : {t.sqlite(), t.postgres()}) {
        SCOPED_TRACE(spec);
        MigrateOptions schemaOnly, dataOnly, plain;
        schemaOnly.schemaOnly = true;
        dataOnly.dataOnly = dataOnly.verify = true;
        EXPECT_EQ(run(spec, {customer}, schemaOnly).exitStatus(), 0);
        EXPECT_EQ(count(t, spec, "SELECT count(*) FROM \"CUSTOMER\""), 0);
        // A table that exists stops the run before anything is written: ORDERS is not made.
        try {
            run(spec, {orders, customer}, plain);
            ADD_FAILURE() << "an existing table was not refused";
        } catch (const MigrateError& e) {
            EXPECT_NE(std::string(e.what()).find("CUSTOMER (from " + customer + ") exists; --replace drops and creates it again"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(openTarget(spec)->tableExists("ORDERS"));
        // --data-only loads into the table there; loading the same keys again fails and rolls the
        // table back, and the run goes on to the next table.
        MigrateSummary r = run(spec, {customer}, dataOnly);
        EXPECT_EQ(r.exitStatus(), 0) << r.text();
        EXPECT_NE(r.text().find("\nverified: 8 rows, 0 differences\n"), std::string::npos) << r.text();
        dataOnly.verify = false;
        r = run(spec, {customer}, dataOnly);
        EXPECT_FALSE(r.tables[0].done);
        EXPECT_NE(r.tables[0].error.find("the table was rolled back"), std::string::npos) << r.tables[0].error;
        EXPECT_EQ(count(t, spec, "SELECT count(*) FROM \"CUSTOMER\""), 8);
        // Lower-case names, and a value the target cannot take: stored as NULL, reported, exit 1.
        MigrateOptions lower;
        lower.lowerCaseNames = lower.verify = true;
        r = run(spec, {old, orders}, lower);
        EXPECT_EQ(r.exitStatus(), 1);
        ASSERT_EQ(r.tables[0].problems.size(), 1u) << r.text();
        EXPECT_EQ(r.tables[0].problems[0], "record 2, field BORN: the date 0000-05-01 lies outside the years 1 to 9999; stored as NULL");
        EXPECT_EQ(r.tables[0].differences, 0u);
        EXPECT_EQ(count(t, spec, "SELECT count(*) FROM old WHERE born IS NULL AND name = 'b'"), 1);
        EXPECT_EQ(count(t, spec, "SELECT count(*) FROM orders WHERE \"order date\" IS NOT NULL"), 8);
        // A cancel rolls the table in progress back and keeps the ones done.
        CancelWhileLoading cancel;
        auto target = openTarget(spec);
        r = migrate::migrate({customer, zipcodes}, *target, [] {
            MigrateOptions o;
            o.replace = true;
            return o;
        }(), &cancel);
        EXPECT_TRUE(r.cancelled);
        EXPECT_EQ(r.exitStatus(), 1);
        EXPECT_TRUE(r.tables[0].done);
        EXPECT_FALSE(r.tables[1].done);
        EXPECT_FALSE(target->tableExists("ZIPCODES"));
        EXPECT_EQ(count(t, spec, "SELECT count(*) FROM \"CUSTOMER\""), 8);
    }
}

TEST(MigrateRun, TheCommandPrintsEachTableAndItsVerification) {
    TempDir dir;
    const std::string samples = dir.file("samples"), file = dir.file("out.sqlite");
    ASSERT_EQ(runProcess({cliPath(), "make-samples", samples}).exitStatus, 0);
    ProcessResult r = runProcess({cliPath(), "migrate", "--to", "sqlite:" + file, "--verify", "--password", "tavrinth", samples});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "") << "no progress line when standard error is no terminal";
    for (const char* line : {"/CUSTOMER.DB -> CUSTOMER: 8 rows\nverified: 8 rows, 0 differences\n",
                             "/SALARIES.DB -> SALARIES: ", "9 of 9 tables migrated"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
    // Again: every table exists, nothing is written, exit status 1.
    r = runProcess({cliPath(), "migrate", "--to", "sqlite:" + file, samples + "/ITEMS.DB"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("nothing was written: ITEMS (from " + samples + "/ITEMS.DB) exists"), std::string::npos) << r.err;
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"migrate", samples}, {"migrate", "--to", "mysql:x", samples},
          {"migrate", "--to", "sqlite:" + file, "--schema-only", "--data-only", samples},
          {"migrate", "--to", "sqlite:" + file, dir.file("missing.db")},
          {"migrate", "--to", "postgresql:host=" + dir.path() + " port=1", samples}}) {
        r = runProcess([&] {
            std::vector<std::string> argv{cliPath()};
            argv.insert(argv.end(), bad.begin(), bad.end());
            return argv;
        }());
        EXPECT_EQ(r.exitStatus, 1) << bad[1] << " " << bad.back();
        EXPECT_NE(r.err.find("tavrinth-cli: "), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
