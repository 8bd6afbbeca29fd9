// The table object and the session: closed tables, the cursor, fields, how a table is found
// (folders, aliases, names without extension, companions in any case), the alias file, and
// passwords of encrypted tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "csv.h"
#include "dump.h"
#include "engine_error.h"
#include "field_types.h"
#include "scoped_env.h"
#include "session.h"
#include "table.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

const std::string kParadoxDb = "leonhad__paradoxdriver/src/test/resources/db";
const std::string kEncrypt = "leonhad__paradoxdriver/src/test/resources/encrypt";
const std::string kPcl = "teverett__paradoxReader/src/test/resources/examples/PCLDATA/PCL.DB";
const std::string kZipcodes = "leonhad__paradoxdriver/src/test/resources/areas/ZIPCODES.DB";
const std::string kInvalidValue = "olemb__dbfread/examples/files/invalid_value.dbf";
const std::string kStationsDeleted = "tmontaigu__dbase-rs/tests/data/stations_with_deleted.dbf";
const std::string kWspmst = "yortus__DBFFile/test/fixtures/WSPMST.DBF";
const std::string kDisco = "lynxnake__tDBF/demo/data/disco.DBF";
const std::string kStartUpText =
    "An error occurred while attempting to initialize the Borland Database Engine (error $2108)";

std::vector<CsvRecord> oracleRecords(const std::string& oraclePath) {
    const CsvResult r = parseCsv(readFile(oraclePath));
    EXPECT_TRUE(r.ok()) << oraclePath << ": " << r.error;
    return r.records;
}

// The current record of an open table in the dump form, one text per field.
std::vector<std::string> currentRecord(TTable& t) {
    std::vector<std::string> cells;
    for (int i = 0; i < t.FieldCount(); ++i) cells.push_back(dumpValueText(t.Fields(i).Value()));
    return cells;
}

void expectSameRecord(const std::vector<std::string>& ours, const CsvRecord& oracle, std::size_t skip,
                      const std::string& where) {
    ASSERT_EQ(ours.size() + skip, oracle.size()) << where;
    for (std::size_t i = 0; i < ours.size(); ++i)
        EXPECT_TRUE(sameCellValue(ours[i], oracle[i + skip])) << where << " field " << i << ": ours \"" << ours[i]
                                                                << "\", oracle \"" << oracle[i + skip] << "\"";
}

// Runs f and returns the message of the EDatabaseError it raises (or a note that it raised none).
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDatabaseError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<other exception> ") + e.what();
    }
    return "<no error>";
}

EDBEngineError::Code engineCodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDBEngineError& e) {
        return e.code();
    } catch (...) {
    }
    return EDBEngineError::Code::General;
}

void openPath(TTable& t, const std::string& path) {
    t.SetDatabaseName("");
    t.SetTableName(path);
    t.Open();
}

// --- Closed tables ------------------------------------------------------------------------------

void expectEveryOperationRefused(TTable& t) {
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"RecordCount", [&] { t.RecordCount(); }},
        {"RecordSize", [&] { t.RecordSize(); }},
        {"FieldCount", [&] { t.FieldCount(); }},
        {"Fields", [&] { t.Fields(0); }},
        {"FieldByName", [&] { t.FieldByName("Id"); }},
        {"FindField", [&] { t.FindField("Id"); }},
        {"First", [&] { t.First(); }},
        {"Next", [&] { t.Next(); }},
        {"Prior", [&] { t.Prior(); }},
        {"Last", [&] { t.Last(); }},
        {"Eof", [&] { t.Eof(); }},
        {"Bof", [&] { t.Bof(); }},
        {"MoveToPosition", [&] { t.MoveToPosition(0); }},
        {"Position", [&] { t.Position(); }},
        {"RecNo", [&] { t.RecNo(); }},
        {"FilePath", [&] { t.FilePath(); }},
        {"Warnings", [&] { t.Warnings(); }},
        {"File", [&] { t.File(); }},
    };
    for (const auto& [name, op] : operations) {
        EXPECT_EQ(errorOf(op), "Cannot perform this operation on a closed dataset") << name;
        // The layer's error, not the engine's.
        EXPECT_EQ(engineCodeOf(op), EDBEngineError::Code::General) << name;
    }
}

TEST(TTableClosed, EveryOperationRaisesTheClosedDatasetError) {
    TSession session;
    TTable t(&session);
    EXPECT_FALSE(t.Active());
    expectEveryOperationRefused(t);
    t.SetTableName(paradoxCorpus(kEncrypt + "/encrypted.db"));
    expectEveryOperationRefused(t);
}

TEST(TTableClosed, AfterCloseAndAfterAFailedOpen) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kParadoxDb + "/CUSTOMER.DB"));
    ASSERT_TRUE(t.Active());
    EXPECT_EQ(t.RecordCount(), 20);
    t.Close();
    EXPECT_FALSE(t.Active());
    expectEveryOperationRefused(t);
    t.SetActive(true);
    EXPECT_TRUE(t.Active());
    t.SetActive(false);
    expectEveryOperationRefused(t);

    // A table that needs a password nobody gives stays closed.
    t.SetTableName(paradoxCorpus(kEncrypt + "/encrypted.db"));
    EXPECT_EQ(engineCodeOf([&] { t.Open(); }), EDBEngineError::Code::Password);
    EXPECT_FALSE(t.Active());
    expectEveryOperationRefused(t);
}

TEST(TTableClosed, NamesCannotChangeWhileOpen) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kParadoxDb + "/CUSTOMER.DB"));
    const std::string open = "Cannot perform this operation on an open dataset";
    EXPECT_EQ(errorOf([&] { t.SetTableName("ORDERS.DB"); }), open);
    EXPECT_EQ(errorOf([&] { t.SetDatabaseName("/tmp"); }), open);
    EXPECT_EQ(errorOf([&] { t.SetCodePageOverride("CP1251"); }), open);
    EXPECT_EQ(t.RecordCount(), 20) << "the open table is untouched";
}

// --- The cursor ---------------------------------------------------------------------------------

TEST(TTableCursor, ParadoxRecordsInChainOrderWithSequenceNumbers) {
    // PCL.DB's block chain runs 1, 2, 3, 4, 34, 5 ...: table order is not file order.
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kPcl));
    const auto oracle = oracleRecords(paradoxCorpus("oracle/" + kPcl + ".csv"));
    ASSERT_EQ(t.RecordCount(), 161);
    ASSERT_EQ(oracle.size(), 162u);
    EXPECT_EQ(t.RecordSize(), 201);
    EXPECT_TRUE(t.Bof());
    EXPECT_FALSE(t.Eof());
    int n = 0;
    for (t.First(); !t.Eof(); t.Next()) {
        ASSERT_LT(n, 161);
        EXPECT_EQ(t.Position(), n);
        EXPECT_EQ(t.RecNo(), n + 1);
        expectSameRecord(currentRecord(t), oracle[static_cast<std::size_t>(n) + 1], 0, "record " + std::to_string(n));
        ++n;
    }
    EXPECT_EQ(n, 161);
    EXPECT_EQ(t.RecNo(), 161) << "Next at the end stays on the last record";
    t.Last();
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.RecNo(), 161);
    t.Prior();
    EXPECT_EQ(t.RecNo(), 160);
    EXPECT_FALSE(t.Bof());
    t.First();
    EXPECT_TRUE(t.Bof());
    t.Prior();
    EXPECT_TRUE(t.Bof());
    EXPECT_EQ(t.RecNo(), 1);
}

// dBase: the live records in file order, RecNo = physical record number; the deleted ones (the
// oracle's "*" rows) are not records of the table.
void checkDBaseCursor(const std::string& table, int expectedDeleted) {
    SCOPED_TRACE(table);
    TSession session;
    TTable t(&session);
    openPath(t, dbaseCorpus(table));
    const auto oracle = oracleRecords(dbaseCorpus("oracle/" + table + ".csv"));
    ASSERT_GT(oracle.size(), 1u);
    std::vector<std::size_t> live;  // physical numbers (from 1) of the live records
    for (std::size_t r = 1; r < oracle.size(); ++r)
        if (oracle[r][0] != "*") live.push_back(r);
    EXPECT_EQ(static_cast<int>(oracle.size() - 1 - live.size()), expectedDeleted);
    ASSERT_EQ(t.RecordCount(), static_cast<int>(live.size()));
    std::size_t n = 0;
    for (t.First(); !t.Eof(); t.Next()) {
        ASSERT_LT(n, live.size());
        EXPECT_EQ(t.RecNo(), static_cast<int>(live[n])) << "position " << n;
        expectSameRecord(currentRecord(t), oracle[live[n]], 1, "position " + std::to_string(n));
        ++n;
    }
    EXPECT_EQ(n, live.size());
}

TEST(TTableCursor, DBaseHidesDeletedRecordsAndNumbersPhysically) {
    checkDBaseCursor(kInvalidValue, 1);
    checkDBaseCursor(kStationsDeleted, 1);
    checkDBaseCursor(kDisco, 1);
    checkDBaseCursor(kWspmst, 5);
    // Two live records, the third is deleted.
    TSession session;
    TTable t(&session);
    openPath(t, dbaseCorpus(kInvalidValue));
    EXPECT_EQ(t.RecordCount(), 2);
    t.Last();
    EXPECT_EQ(t.FieldByName("NAME").AsString(), "Bob");
    EXPECT_EQ(t.RecNo(), 2);
}

TEST(TTableCursor, EmptyTable) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus("leonhad__paradoxdriver/src/test/resources/joins/fk1.db"));
    EXPECT_EQ(t.RecordCount(), 0);
    EXPECT_TRUE(t.Eof());
    EXPECT_TRUE(t.Bof());
    EXPECT_EQ(t.Position(), -1);
    EXPECT_EQ(t.RecNo(), 0);
    EXPECT_TRUE(t.FieldByName("ID").IsNull());
    t.Next();
    t.Last();
    t.MoveToPosition(3);
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.Position(), -1);
}

// Reads every record in order, then visits them again in random order, backwards and at the
// ends, and expects the same values and record numbers each time.
void checkRandomAccess(const std::string& path, int visits) {
    SCOPED_TRACE(path);
    TSession session;
    TTable t(&session);
    openPath(t, path);
    std::vector<std::vector<std::string>> records;
    std::vector<int> recNos;
    for (t.First(); !t.Eof(); t.Next()) {
        records.push_back(currentRecord(t));
        recNos.push_back(t.RecNo());
    }
    const int count = t.RecordCount();
    ASSERT_EQ(static_cast<int>(records.size()), count);
    ASSERT_GT(count, 1);
    std::mt19937 random(count);
    std::vector<int> order;
    for (int i = 0; i < visits; ++i) order.push_back(static_cast<int>(random() % static_cast<unsigned>(count)));
    for (int i = count - 1; i >= std::max(0, count - visits); --i) order.push_back(i);  // backwards from the end
    order.insert(order.end(), {0, count - 1, 0, count / 2, count / 2 + 1, count / 2 - 1});
    for (int p : order) {
        t.MoveToPosition(p);
        ASSERT_EQ(t.Position(), p);
        ASSERT_EQ(t.RecNo(), recNos[static_cast<std::size_t>(p)]) << "position " << p;
        ASSERT_EQ(currentRecord(t), records[static_cast<std::size_t>(p)]) << "position " << p;
    }
    // Prior walks the same records backwards.
    t.Last();
    for (int p = count - 1; p >= std::max(0, count - visits); --p) {
        ASSERT_EQ(t.RecNo(), recNos[static_cast<std::size_t>(p)]);
        ASSERT_EQ(currentRecord(t), records[static_cast<std::size_t>(p)]);
        t.Prior();
    }
}

TEST(TTableCursor, RandomAccessEqualsSequentialReading) {
    checkRandomAccess(paradoxCorpus(kZipcodes), 3000);
    checkRandomAccess(paradoxCorpus(kPcl), 400);
    checkRandomAccess(dbaseCorpus(kWspmst), 3000);  // 5 deleted records among 6 802, past 1 024 records
    checkRandomAccess(dbaseCorpus(kDisco), 1000);
    checkRandomAccess(dbaseCorpus(kStationsDeleted), 50);
}

TEST(TTableCursor, MoveToPositionStaysInsideTheTable) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kPcl));
    t.MoveToPosition(-5);
    EXPECT_EQ(t.Position(), 0);
    EXPECT_EQ(t.RecNo(), 1);
    t.MoveToPosition(100000);
    EXPECT_EQ(t.Position(), 160);
    EXPECT_EQ(t.RecNo(), 161);
}

TEST(TTableCursor, ValuesOfKnownRecords) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kZipcodes));
    ASSERT_EQ(t.RecordCount(), 43185);
    const auto oracle = oracleRecords(paradoxCorpus("oracle/" + kZipcodes + ".csv"));
    for (int p : {0, 1, 20000, 43184}) {
        t.MoveToPosition(p);
        EXPECT_EQ(t.FieldByName("Zip").AsString(), oracle[static_cast<std::size_t>(p) + 1][0]);
        EXPECT_EQ(t.FieldByName("city").AsString(), oracle[static_cast<std::size_t>(p) + 1][2]);
    }
}

// --- Fields -------------------------------------------------------------------------------------

TEST(TTableFields, FieldByNameFindFieldAndFields) {
    TSession session;
    TTable t(&session);
    openPath(t, paradoxCorpus(kParadoxDb + "/CUSTOMER.DB"));
    ASSERT_EQ(t.FieldCount(), 10);
    EXPECT_EQ(t.FieldByName("custno").FieldName(), "CustNo") << "names compare ignoring case";
    EXPECT_EQ(&t.FieldByName("City"), &t.Fields(5));
    EXPECT_EQ(t.FieldByName("City").FieldNo(), 6);
    EXPECT_EQ(t.FieldByName("City").Index(), 5);
    EXPECT_EQ(t.FindField("NoSuchField"), nullptr);
    const std::string message = errorOf([&] { t.FieldByName("NoSuchField"); });
    EXPECT_NE(message.find("NoSuchField"), std::string::npos) << message;
    EXPECT_NE(errorOf([&] { t.Fields(-1); }), "<no error>");
    EXPECT_NE(errorOf([&] { t.Fields(10); }), "<no error>");
    // Values follow the cursor.
    t.First();
    const std::string first = t.FieldByName("CustNo").AsString();
    t.Next();
    EXPECT_NE(t.FieldByName("CustNo").AsString(), first);
    t.First();
    EXPECT_EQ(t.FieldByName("CustNo").AsString(), first);
}

struct ExpectedField {
    const char* name;
    TFieldType type;
    int size;
};

void expectFields(const std::string& path, const std::vector<ExpectedField>& expected) {
    SCOPED_TRACE(path);
    TSession session;
    TTable t(&session);
    openPath(t, path);
    ASSERT_EQ(t.FieldCount(), static_cast<int>(expected.size()));
    for (int i = 0; i < t.FieldCount(); ++i) {
        const TField& f = t.Fields(i);
        const ExpectedField& e = expected[static_cast<std::size_t>(i)];
        EXPECT_EQ(f.FieldName(), e.name) << i;
        EXPECT_STREQ(fieldTypeName(f.DataType()), fieldTypeName(e.type)) << e.name;
        EXPECT_EQ(f.Size(), e.size) << e.name;
    }
}

TEST(TTableFields, ParadoxTypesAndSizes) {
    const std::string fields = "leonhad__paradoxdriver/src/test/resources/fields/";
    // F240:F250 F:F10 0240:O250 O:O10 G240:G250 G:G10 B:#32dec Y:Y255 -- BLOB sizes drop the 10-byte pointer.
    expectFields(paradoxCorpus("leonhad__paradoxdriver/_history/5535a29d/src/test/resources/db/fields.db"),
                 {{"F240", ftFmtMemo, 240}, {"F", ftFmtMemo, 0}, {"0240", ftParadoxOle, 240}, {"O", ftParadoxOle, 0},
                  {"G240", ftGraphic, 240}, {"G", ftGraphic, 0}, {"B", ftBCD, 32}, {"Y", ftBytes, 255}});
    expectFields(paradoxCorpus(fields + "bcd.db"), {{"A", ftBCD, 2}, {"B", ftBCD, 0}, {"C", ftBCD, 32}});
    expectFields(paradoxCorpus(fields + "long.db"), {{"Id", ftAutoInc, 0}, {"LONG", ftInteger, 0}});
    expectFields(paradoxCorpus(fields + "date7.db"), {{"DATE", ftDate, 0}, {"TIME", ftTime, 0}});
    expectFields(paradoxCorpus(fields + "timestamp.db"), {{"Timestamp", ftDateTime, 0}});
    expectFields(paradoxCorpus(fields + "logical.db"), {{"BOOL", ftBoolean, 0}});
    expectFields(paradoxCorpus(fields + "memo.db"), {{"Id", ftAutoInc, 0}, {"MEMO", ftMemo, 240}});
    expectFields(paradoxCorpus(kParadoxDb + "/GENERAL.DB"), {{"ID", ftInteger, 0}, {"NAME", ftString, 25}, {"MONEYS", ftCurrency, 0}});
    expectFields(paradoxCorpus(kParadoxDb + "/DECIMAL.DB"), {{"DECIMAL", ftFloat, 0}});
    expectFields(paradoxCorpus("leonhad__paradoxdriver/src/test/resources/mtdemo/EMPLOYEE.DB"),
                 {{"Store #", ftString, 2}, {"Employee #", ftSmallint, 0}, {"Employee Name", ftString, 20}});
}

TEST(TTableFields, DBaseTypesAndSizes) {
    // N(w,0) with w <= 4 is a small integer, wider or with decimals a float.
    expectFields(dbaseCorpus("Aorid__Group-336.2/master.dbf"),
                 {{"SYMBOL", ftString, 7},   {"CO_NAME", ftString, 20},  {"EXCHANGE", ftString, 8},
                  {"CUR_PRICE", ftFloat, 0}, {"YRL_HIGH", ftFloat, 0},   {"YRL_LOW", ftFloat, 0},
                  {"P_E_RATIO", ftFloat, 0}, {"BETA", ftFloat, 0},       {"PROJ_GRTH", ftFloat, 0},
                  {"INDUSTRY", ftSmallint, 0}, {"PRICE_CHG", ftSmallint, 0}, {"SAFETY", ftSmallint, 0},
                  {"RATING", ftString, 4},   {"RANK", ftFloat, 0},       {"OUTLOOK", ftSmallint, 0},
                  {"RCMNDATION", ftString, 5}, {"RISK", ftString, 4}});
    expectFields(dbaseCorpus("albfernandez__javadbf/src/test/resources/inventory.dbf"),
                 {{"Item ID", ftAutoInc, 0}, {"Supplier ID", ftInteger, 0}, {"Description", ftString, 40},
                  {"Qty", ftInteger, 0}, {"Picture", ftBlob, 0}, {"CacheID", ftString, 35}});
    expectFields(dbaseCorpus("Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF"),
                 {{"PRODUCTID", ftInteger, 0}, {"PRODNAME", ftString, 20}, {"PRICE", ftCurrency, 0},
                  {"DOUBLE", ftFloat, 0},      {"DATE", ftDate, 0},       {"DATETIME", ftDateTime, 0},
                  {"INTEGER", ftFloat, 0},     {"FLOAT", ftInteger, 0},   {"ACTIVE", ftBoolean, 0},
                  {"DESC", ftMemo, 0},         {"TAX", ftFloat, 0},       {"INSTOCK", ftFloat, 0},
                  {"BLOB", ftBlob, 0},         {"VARBIN_NIL", ftVarBytes, 10}, {"VAR_NIL", ftString, 254},
                  {"VAR", ftString, 10},       {"_NullFlags", ftBytes, 1}});
    TSession session;
    TTable t(&session);
    openPath(t, dbaseCorpus("Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF"));
    EXPECT_FALSE(t.FieldByName("_NullFlags").Visible()) << "a system column";
    EXPECT_TRUE(t.FieldByName("VAR").Visible());
}

// --- Finding tables -----------------------------------------------------------------------------

TEST(TTableOpen, DatabaseNameAsFolder) {
    for (const std::string& folder : {paradoxCorpus(kParadoxDb), paradoxCorpus(kParadoxDb) + "/"}) {
        TSession session;
        TTable t(&session);
        t.SetDatabaseName(folder);
        t.SetTableName("ORDERS.DB");
        t.Open();
        EXPECT_EQ(t.RecordCount(), 224);
        EXPECT_EQ(t.FilePath(), paradoxCorpus(kParadoxDb + "/ORDERS.DB"));
    }
    TSession session;
    TTable t(&session);
    t.SetDatabaseName("/no/such/folder");
    t.SetTableName("ORDERS.DB");
    EXPECT_EQ(engineCodeOf([&] { t.Open(); }), EDBEngineError::Code::NotFound);
    t.SetDatabaseName(paradoxCorpus(kParadoxDb));
    t.SetTableName("NOSUCHTABLE");
    EXPECT_EQ(engineCodeOf([&] { t.Open(); }), EDBEngineError::Code::NotFound);
    const std::string message = errorOf([&] { t.Open(); });
    EXPECT_NE(message.find("NOSUCHTABLE"), std::string::npos) << message;
}

TEST(TTableOpen, NameWithoutExtensionTriesParadoxFirstThenDBase) {
    TempDir dir;
    copyFile(paradoxCorpus(kParadoxDb + "/ORDERS.DB"), dir.file("Both.DB"));
    copyFile(dbaseCorpus(kInvalidValue), dir.file("both.dbf"));
    copyFile(dbaseCorpus(kStationsDeleted), dir.file("Only.DBF"));
    TSession session;
    auto openIn = [&](const std::string& name) {
        auto t = std::make_unique<TTable>(&session);
        t->SetDatabaseName(dir.path());
        t->SetTableName(name);
        t->Open();
        return t;
    };
    EXPECT_EQ(openIn("Both")->File().format(), TableFormat::Paradox);
    EXPECT_EQ(openIn("BOTH")->File().format(), TableFormat::Paradox);
    EXPECT_EQ(openIn("both.dbf")->File().format(), TableFormat::DBase);
    EXPECT_EQ(openIn("BOTH.DB")->RecordCount(), 224);
    EXPECT_EQ(openIn("only")->File().format(), TableFormat::DBase);
    EXPECT_EQ(openIn("only")->FilePath(), dir.file("Only.DBF"));
    removeTree(dir.file("Both.DB"));
    EXPECT_EQ(openIn("Both")->File().format(), TableFormat::DBase);
}

// Copies a table and its companion under other names and expects the same dump as the original.
void checkCompanionFound(const std::string& table, const std::string& companion, const std::string& newTableName,
                         const std::string& newCompanionName) {
    SCOPED_TRACE(table + " as " + newTableName + " + " + newCompanionName);
    const std::string original = dumpToString(*openTableFile(table));
    ASSERT_EQ(original.find("<missing blob>"), std::string::npos);
    TempDir dir;
    copyFile(table, dir.file(newTableName));
    {
        // Without the companion the values kept there are missing: the check below can tell.
        TSession session;
        TTable t(&session);
        t.SetDatabaseName(dir.path());
        t.SetTableName(newTableName);
        t.Open();
        EXPECT_NE(dumpToString(t.File()).find("<missing blob>"), std::string::npos);
    }
    copyFile(companion, dir.file(newCompanionName));
    TSession session;
    TTable t(&session);
    t.SetDatabaseName(dir.path());
    t.SetTableName(stemPart(newTableName));
    t.Open();
    EXPECT_EQ(dumpToString(t.File()), original);
    EXPECT_EQ(dumpToString(*openTableFile(dir.file(newTableName))), original);
}

TEST(TTableOpen, CompanionsAreFoundWhateverTheirCase) {
    checkCompanionFound(paradoxCorpus(kParadoxDb + "/CUSTOMER.DB"), paradoxCorpus(kParadoxDb + "/CUSTOMER.MB"),
                        "Cust.db", "CUST.mb");
    checkCompanionFound(paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/memo.db"),
                        paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/memo.mb"), "MEMO.DB", "Memo.Mb");
    checkCompanionFound(dbaseCorpus("infused__dbf/spec/fixtures/dbase_83.dbf"),
                        dbaseCorpus("infused__dbf/spec/fixtures/dbase_83.dbt"), "Memo83.DBF", "memo83.DBT");
    checkCompanionFound(dbaseCorpus("infused__dbf/spec/fixtures/dbase_8b.dbf"),
                        dbaseCorpus("infused__dbf/spec/fixtures/dbase_8b.dbt"), "four.dbf", "FOUR.dbt");
    checkCompanionFound(dbaseCorpus("infused__dbf/spec/fixtures/dbase_30.dbf"),
                        dbaseCorpus("infused__dbf/spec/fixtures/dbase_30.fpt"), "fox.dbf", "FOX.FpT");
}

TEST(TTableOpen, CodePageOverride) {
    const std::string note = paradoxCorpus("leonhad__paradoxdriver/_history/ea01cc0e/src/test/resources/db/NOTE1251.DB");
    TSession session;
    TTable t(&session);
    openPath(t, note);
    EXPECT_EQ(t.File().codePageChoice().name, "CP936") << "what the header says";
    EXPECT_EQ(t.FieldByName("Note").AsString().find("разработке"), std::string::npos);
    t.Close();
    t.SetCodePageOverride("CP1251");
    t.Open();
    EXPECT_EQ(t.File().codePageChoice().name, "CP1251");
    EXPECT_EQ(t.File().ownCodePageChoice().name, "CP936") << "the header's choice stays known";
    EXPECT_EQ(t.FieldByName("Note").AsString().rfind("При разработке электронных сервисов", 0), 0u)
        << t.FieldByName("Note").AsString().substr(0, 80);
}

// --- Aliases ------------------------------------------------------------------------------------

TEST(TSessionAliases, AliasFileLocation) {
    {
        ScopedEnv aliases("TAVRINTH_ALIASES", std::string("/some/where/aliases.ini"));
        EXPECT_EQ(TSession::AliasFilePath(), "/some/where/aliases.ini");
    }
    ScopedEnv aliases("TAVRINTH_ALIASES", std::nullopt);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::string("/cfg"));
        EXPECT_EQ(TSession::AliasFilePath(), "/cfg/Kelvora/aliases.conf");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", std::string("/home/someone"));
    EXPECT_EQ(TSession::AliasFilePath(), "/home/someone/.config/Kelvora/aliases.conf");
}

TEST(TSessionAliases, NamesSortedIgnoringCaseWithSamples) {
    TempDir dir;
    writeFile(dir.file("aliases.conf"),
              "; comment\n[Other]\nNotAnAlias=/x\n\n[Aliases]\nzeta=/z\nAccounts=" + paradoxCorpus(kParadoxDb) +
                  "\r\n  beta = /b  \n# another comment\nALPHA=/a\n");
    ScopedEnv env("TAVRINTH_ALIASES", dir.file("aliases.conf"));
    TSession session;
    std::vector<std::string> names{"stale"};
    session.GetAliasNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Accounts", "ALPHA", "beta", "Samples", "zeta"}));
    EXPECT_TRUE(session.IsAlias("accounts"));
    EXPECT_FALSE(session.IsAlias("NotAnAlias"));
    EXPECT_EQ(session.DatabaseFolder("Accounts"), paradoxCorpus(kParadoxDb));

    for (const char* alias : {"Accounts", "ACCOUNTS"}) {
        TTable t(&session);
        t.SetDatabaseName(alias);
        t.SetTableName("orders");
        t.Open();
        EXPECT_EQ(t.RecordCount(), 224) << alias;
    }
    // An alias whose folder is gone.
    TTable t(&session);
    t.SetDatabaseName("zeta");
    t.SetTableName("orders");
    EXPECT_EQ(engineCodeOf([&] { t.Open(); }), EDBEngineError::Code::NotFound);
}

TEST(TSessionAliases, NoAliasFileGivesOnlySamples) {
    TempDir dir;
    ScopedEnv env("TAVRINTH_ALIASES", dir.file("absent.conf"));
    TSession session;
    std::vector<std::string> names;
    session.GetAliasNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Samples"}));
}

TEST(TSessionAliases, AnAliasFileThatCannotBeParsedIsTheStartUpError) {
    const char* broken[] = {
        "[Aliases\nA=/a\n",               // unterminated section
        "[Aliases]\nA=/a\njust some words\n",  // no "="
        "[Aliases]\n=/nameless\n",         // empty name
        "[Aliases]\nAnAliasNameThatIsFarTooLongToBeAccepted=/a\n",  // over 31 characters
    };
    for (const char* text : broken) {
        SCOPED_TRACE(text);
        TempDir dir;
        writeFile(dir.file("aliases.conf"), text);
        ScopedEnv env("TAVRINTH_ALIASES", dir.file("aliases.conf"));
        TSession session;
        std::vector<std::string> names;
        try {
            session.GetAliasNames(names);
            ADD_FAILURE() << "no error";
        } catch (const EDBEngineError& e) {
            EXPECT_STREQ(e.what(), kStartUpText.c_str());
            EXPECT_EQ(e.code(), EDBEngineError::Code::StartUp);
            EXPECT_NE(e.detail().find("aliases.conf"), std::string::npos) << e.detail();
        }
        TSession other;
        TTable t(&other);
        t.SetDatabaseName("A");
        t.SetTableName("x");
        EXPECT_EQ(errorOf([&] { t.Open(); }), kStartUpText);
    }
    // A 31-character name is still fine.
    TempDir dir;
    writeFile(dir.file("aliases.conf"), "[Aliases]\nAnAliasNameOfThirtyOneCharacter=/a\n");
    ScopedEnv env("TAVRINTH_ALIASES", dir.file("aliases.conf"));
    TSession session;
    std::vector<std::string> names;
    session.GetAliasNames(names);
    EXPECT_EQ(names.size(), 2u);
}

// Aliases added, renamed and removed: the file keeps its other lines; every refusal leaves it
// byte for byte as it was.
TEST(TSessionAliases, ChangedInTheFileKeepingItsOtherLines) {
    TempDir dir;
    ::mkdir(dir.file("one").c_str(), 0755);
    ::mkdir(dir.file("two").c_str(), 0755);
    const std::string file = dir.file("cfg/Kelvora/aliases.conf");
    ScopedEnv env("TAVRINTH_ALIASES", file);
    TSession session;
    session.SetAlias("Sales", dir.file("one"));  // no file yet: made with its folders
    EXPECT_EQ(readFile(file), "[Aliases]\nSales=" + dir.file("one") + "\n");
    writeFile(file, "; my aliases\n[Other]\nx=1\n\n[Aliases]\n# old\nSales=" + dir.file("one") + "\n\n[More]\ny=2\n");
    session.SetAlias("Stock", dir.file("two"));
    session.RenameAlias("Sales", "Orders");
    session.SetAlias("Orders", dir.file("two"));
    EXPECT_EQ(readFile(file), "; my aliases\n[Other]\nx=1\n\n[Aliases]\n# old\nOrders=" + dir.file("two") + "\nStock=" +
                                  dir.file("two") + "\n\n[More]\ny=2\n");
    session.RemoveAlias("Orders");
    std::vector<std::string> names;
    session.GetAliasNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Samples", "Stock"}));
    EXPECT_EQ(session.DatabaseFolder("Stock"), dir.file("two"));

    const std::string before = readFile(file);
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { session.SetAlias("", dir.file("one")); },
             [&] { session.SetAlias("A=B", dir.file("one")); },
             [&] { session.SetAlias(" Lead", dir.file("one")); },
             [&] { session.SetAlias(std::string(32, 'x'), dir.file("one")); },
             [&] { session.SetAlias("Samples", dir.file("one")); },
             [&] { session.SetAlias("STOCK", dir.file("one")); },
             [&] { session.SetAlias("New", dir.file("absent")); },
             [&] { session.RenameAlias("Absent", "New"); },
             [&] { session.RenameAlias("Stock", "samples"); },
             [&] { session.RemoveAlias("Samples"); },
         }) {
        EXPECT_THROW(change(), EDBEngineError);
        EXPECT_EQ(readFile(file), before);
    }
}

TEST(TSessionTables, TableNamesOfAFolder) {
    TempDir dir;
    for (const char* name : {"b.DB", "a.dbf", "A.db", "C.DBF", "notes.txt", "b.PX", "b.MB", "d.Db", "e.dbf.bak"})
        writeFile(dir.file(name), "x");
    ::mkdir(dir.file("folder.db").c_str(), 0755);
    TSession session;
    std::vector<std::string> names{"stale"};
    session.GetTableNames(dir.path(), "*.*", false, false, names);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "C", "d"}));
    session.GetTableNames(dir.path() + "/", "*", true, false, names);
    EXPECT_EQ(names, (std::vector<std::string>{"A.db", "a.dbf", "b.DB", "C.DBF", "d.Db"}));
}

// --- Passwords ----------------------------------------------------------------------------------

struct PromptLog {
    std::vector<std::string> tables;
};

TEST(TTablePassword, AskedOnceThenRemembered) {
    TSession session;
    PromptLog log;
    session.SetPasswordPrompt([&](const std::string& table, std::string& password) {
        log.tables.push_back(table);
        password = "123";
        return true;
    });
    TTable t(&session);
    openPath(t, paradoxCorpus(kEncrypt + "/encrypted.db"));
    EXPECT_EQ(t.RecordCount(), 4);
    EXPECT_EQ(t.FieldByName("Text").AsString(), "Value 1");
    ASSERT_EQ(log.tables.size(), 1u);
    EXPECT_NE(log.tables[0].find("encrypted.db"), std::string::npos) << log.tables[0];
    EXPECT_EQ(session.Passwords(), (std::vector<std::string>{"123"}));
    t.Close();
    for (const char* other : {"encrypted35.db", "encryptedmemo.db", "encrypted.db"}) {
        TTable u(&session);
        openPath(u, paradoxCorpus(kEncrypt + "/" + other));
        EXPECT_GT(u.RecordCount(), 0) << other;
    }
    EXPECT_EQ(log.tables.size(), 1u) << "the remembered password is tried first";
    // Tables that are not encrypted never ask.
    openPath(t, paradoxCorpus(kParadoxDb + "/ORDERS.DB"));
    EXPECT_EQ(log.tables.size(), 1u);
}

TEST(TTablePassword, CancelFails) {
    TSession session;
    int asked = 0;
    session.SetPasswordPrompt([&](const std::string&, std::string&) {
        ++asked;
        return false;
    });
    TTable t(&session);
    t.SetTableName(paradoxCorpus(kEncrypt + "/encrypted.db"));
    try {
        t.Open();
        ADD_FAILURE() << "opened without a password";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), EDBEngineError::Code::Password);
        EXPECT_NE(std::string(e.what()).find("encrypted.db"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("password"), std::string::npos) << e.what();
    }
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(t.Active());
    EXPECT_TRUE(session.Passwords().empty());
}

TEST(TTablePassword, WrongPasswordFailsAndIsNotRemembered) {
    TSession session;
    int asked = 0;
    session.AddPassword("not it");
    session.SetPasswordPrompt([&](const std::string&, std::string& password) {
        ++asked;
        password = "124";
        return true;
    });
    TTable t(&session);
    t.SetTableName(paradoxCorpus(kEncrypt + "/encrypted35.db"));
    try {
        t.Open();
        ADD_FAILURE() << "opened with a wrong password";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), EDBEngineError::Code::Password);
        EXPECT_NE(std::string(e.what()).find("Invalid password"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("encrypted35.db"), std::string::npos) << e.what();
    }
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(session.Passwords(), (std::vector<std::string>{"not it"}));
}

TEST(TTablePassword, NoPromptAndNoPasswordFails) {
    TSession session;
    TTable t(&session);
    t.SetTableName(paradoxCorpus(kEncrypt + "/encryptedmemo.db"));
    EXPECT_EQ(engineCodeOf([&] { t.Open(); }), EDBEngineError::Code::Password);
    session.AddPassword("123");
    t.Open();
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(t.FieldByName("TEXT").AsString().rfind(" The PARADOX File Structure", 0), 0u);
}

}  // namespace
