// The structure reports, line by line, from tables written with the engine's writer and from real
// tables, through the report run the window and the command line use.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "manifest.h"
#include "orders_tables.h"
#include "process.h"
#include "structure_report.h"
#include "table.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

using Lines = std::vector<std::string>;

ReportOptions optionsFor(const std::string& kind, const std::string& db = "data", const std::string& date = "12/7/2026") {
    ReportOptions o;
    o.sqlScript = kind != "Data definition";
    o.dialect = o.sqlScript ? kind : "InterBase";
    o.databaseShortName = db;
    o.dateText = date;
    return o;
}

// The report text of a run over `tables` of `folder`.
Lines report(const std::string& kind, const std::string& folder, const Lines& tables, const std::string& db = "data") {
    ReportText lines;
    StructureReportRun run(lines, optionsFor(kind, db));
    TTable table;
    table.SetDatabaseName(folder + "/");
    run.Run(table, tables);
    return lines;
}

// Compares line by line, so that a failure names the line.
void expectLines(const Lines& actual, const Lines& expected) {
    for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i)
        EXPECT_EQ(actual[i], expected[i]) << "line " << i;
    EXPECT_EQ(actual.size(), expected.size());
}

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines kDefinitionHeader = {" ", "\tDatabase   : \tdata\t\t\tDate: 12/7/2026"};

Lines sqlHeader(const std::string& dialect) {
    return {" ", "/*\tDatabase       : \tdata\t\t\tDate: 12/7/2026\t*/", "/*\tSQL Version: \t" + dialect + "\t\t\t\t\t\t*/"};
}

CheckSpec defaultCheck(const std::string& field, const FieldValue& value, bool required = false) {
    CheckSpec c;
    c.field = field;
    c.required = required;
    c.defaultKind = BoundKind::Value;
    c.defaultValue = value;
    return c;
}

// A Paradox level 7 table with the given fields, first `keyFields` of them keyed.
void writeParadox(const std::string& path, std::vector<ColumnSpec> fields, int keyFields,
                  std::vector<IndexSpec> indexes = {}, std::vector<CheckSpec> checks = {},
                  const std::string& codePage = "CP1252") {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = 7;
    spec.codePage = codePage;
    spec.fields = std::move(fields);
    spec.keyFields = keyFields;
    spec.indexes = std::move(indexes);
    spec.checks = std::move(checks);
    createTable(path, spec);
}

}  // namespace

TEST(StructureReports, DataDefinitionOfTheOrdersTable) {
    TempDir dir;
    writeOrdersTable(dir.path(), OrdersTable::Shipping);
    expectLines(report("Data definition", dir.path(), {"Orders.DB"}),
                concat(kDefinitionHeader, {
                                              " ",
                                              "\tOrders.DB\tRecord Size: 38",
                                              " ",
                                              "\tOrderNo              \tAutoInc",
                                              "\tCustomer             \tString(30) Required",
                                              "\tShipped              \tDate Default:TODAY Min:1/1/1990",
                                              " ",
                                              "\tIndex\t\t   OrderNo",
                                              "\t\t\tByCustomer   Customer;Shipped",
                                              " ",
                                          }));
}

TEST(StructureReports, InterBaseAndMSSQLScriptsOfTheOrdersTable) {
    TempDir dir;
    writeOrdersTable(dir.path(), OrdersTable::Amounts);
    expectLines(report("InterBase", dir.path(), {"Orders.DB"}),
                concat(sqlHeader("InterBase"), {
                                                   " ",
                                                   "\tCREATE TABLE Orders(",
                                                   " ",
                                                   "\tOrderNo              \tINTEGER,",
                                                   "\tCustomer             \tCHAR(30) NOT NULL,",
                                                   "\tAmount               \tNUMERIC [15,2] /* Currency */ DEFAULT 0,",
                                                   "\tShipped              \tDATE,",
                                                   "\tCONSTRAINT ixOrdersOrderNo PRIMARY KEY (OrderNo)",
                                                   ");",
                                                   "/*\tIndex */",
                                                   "\tCREATE INDEX ByCustomer ON Orders(Customer,Shipped);",
                                                   " ",
                                                   "\tCREATE GENERATOR Orders_Gen;",
                                                   "\tSET GENERATOR Orders_Gen TO 0;",
                                                   " ",
                                                   "\tSET TERM !! ;",
                                                   "\tCREATE TRIGGER Set_OrderNo FOR Orders BEFORE INSERT",
                                                   "\tAS",
                                                   "\tBEGIN",
                                                   "\t\tNEW.OrderNo = GEN_ID(Orders_Gen, 1);",
                                                   "\tEND",
                                                   "\tSET TERM ; !!",
                                               }));
    expectLines(report("MS SQL", dir.path(), {"Orders.DB"}),
                concat(sqlHeader("MS SQL"), {
                                                " ",
                                                "\tCREATE TABLE Orders(",
                                                " ",
                                                "\tOrderNo              \tINTEGER IDENTITY(1,1),",
                                                "\tCustomer             \tCHAR(30) NOT NULL,",
                                                "\tAmount               \tMONEY DEFAULT 0,",
                                                "\tShipped              \tDATETIME,",
                                                "\tCONSTRAINT ixOrdersOrderNo PRIMARY KEY (OrderNo)",
                                                ")",
                                                "/*\tIndex */",
                                                "\tCREATE INDEX ByCustomer ON Orders(Customer,Shipped)",
                                                " ",
                                            }));
}

TEST(StructureReports, DelphiUnitOfTheOrdersTable) {
    TempDir dir;
    writeOrdersTable(dir.path(), OrdersTable::Quantity);
    Lines expected = {
        " ",
        "unit CrShop;",
        " ",
        "{\tDatabase       : \tShop\t\t\tDate: 12/7/2026\t}",
        "{\tParadox Version: \tDelphi\t\t\t\t\t\t}",
        "{\tCall: CreateShop(<Alias>);\t\t\t\t\t}",
        "{\tIf <Alias> isn't specified, \"Shop\" will be used.\t\t}",
        " ",
        "interface",
        " ",
        "uses    BDE,DB, DBTables, SysUtils, Forms, Controls;",
        " ",
        "procedure CreateShop(AliasName:String);",
        " ",
        "procedure AddVal(Tbl:TTable; Felt:string; DefVal:string; Required:Boolean);",
        " ",
        "implementation",
        " ",
        "procedure CreateShop(AliasName:String);",
        " ",
        "procedure CreateOrders();",
        "var",
        "  taOrders:TTable;",
        "begin",
        "  taOrders:=TTable.Create(Application);",
        "  with taOrders do",
        "  begin",
        "    Active:=False;",
        "    DatabaseName:=AliasName;",
        "    TableType:=ttParadox;",
        "    TableName:='Orders';",
        " ",
        "{\tFields\t }",
        "    with FieldDefs do",
        "    begin",
        "      Clear;",
        "      Add('OrderNo', ftAutoInc,0,  False);",
        "      Add('Customer', ftString,30,  True);",
        "      Add('Qty', ftSmallint,0,  False);",
        "    end;",
        " ",
        "{\tIndex\t }",
        "    with IndexDefs do",
        "    begin",
        "      Clear;",
        "      Add('','OrderNo',[ixPrimary, ixUnique]);",
        "      Add('ByCustomer','Customer',[ixCaseInsensitive]);",
        "    end;",
        " ",
        "    CreateTable;",
        "    Active:=True;",
        "    AddVal(taOrders,'Qty','1', False);",
        "    Active:=False;",
        "    Free;",
        "  end;",
        "end;",
        " ",
        "begin",
        "  Screen.Cursor:=crHourGlass;",
        "  If AliasName='' then",
        "    AliasName:='Shop';",
        "  CreateOrders;",
        "  Screen.Cursor:=crDefault;",
        "end;",
        " ",
    };
    const Lines& addVal = AddValProcedureText();
    ASSERT_EQ(addVal.size(), 71u);
    EXPECT_EQ(addVal[25], "");
    EXPECT_EQ(addVal[36], "    Check(DbiOpenDatabase(nil, nil, dbiReadWrite, dbiOpenExcl, nil, 0, nil, nil,       hDb));");
    expected = concat(expected, addVal);
    expected.push_back("");
    expected.push_back("end.");
    ASSERT_EQ(expected.size(), 138u);
    expectLines(report("Delphi", dir.path(), {"Orders.DB"}, "Shop"), expected);
}

// The header lines, tables in the order given, and a dialect change while the Data definition
// report is chosen writing the same report.
TEST(StructureReports, ReportRunWritesHeaderAndTablesInOrder) {
    TempDir dir;
    writeParadox(dir.file("a.db"), {{"A", 'S'}}, 0);
    writeParadox(dir.file("b.db"), {{"B", 'S'}}, 0);
    const Lines aPart = {" ", "\ta.db\tRecord Size: 2", " ", "\tA                    \tSmallint", " ", " "};
    const Lines bPart = {" ", "\tb.db\tRecord Size: 2", " ", "\tB                    \tSmallint", " ", " "};
    expectLines(report("Data definition", dir.path(), {"a.db", "b.db"}), concat(concat(kDefinitionHeader, aPart), bPart));

    ReportText lines;
    ReportOptions ddWithOtherDialect = optionsFor("Data definition");
    ddWithOtherDialect.dialect = "MS SQL";
    StructureReportRun run(lines, ddWithOtherDialect);
    TTable table;
    table.SetDatabaseName(dir.path() + "/");
    run.Run(table, {"a.db", "b.db"});
    expectLines(lines, concat(concat(kDefinitionHeader, aPart), bPart));
    EXPECT_TRUE(table.Active());
    EXPECT_EQ(table.TableName(), "b.db");

    const Lines mssql = report("MS SQL", dir.path(), {"a.db", "b.db"});
    ASSERT_GE(mssql.size(), 5u);
    expectLines(Lines(mssql.begin(), mssql.begin() + 3), sqlHeader("MS SQL"));
    EXPECT_EQ(mssql[4], "\tCREATE TABLE a.db(");

    // No table: the header alone; for the Delphi unit its head and a tail without calls.
    expectLines(report("InterBase", dir.path(), {}), sqlHeader("InterBase"));
    const Lines unit = report("Delphi", dir.path(), {});
    ASSERT_EQ(unit.size(), 17u + 9u);
    expectLines(Lines(unit.begin() + 17, unit.end()),
                {" ", "begin", "  Screen.Cursor:=crHourGlass;", "  If AliasName='' then", "    AliasName:='data';",
                 "  Screen.Cursor:=crDefault;", "end;", " ", "end."});
}

TEST(StructureReports, AnEngineErrorEndsTheRunWhereItHappened) {
    TempDir dir;
    writeParadox(dir.file("a.db"), {{"A", 'S'}}, 0, {}, {defaultCheck("A", integerValue(5))});
    writeParadox(dir.file("c.db"), {{"C", 'S'}}, 0);
    for (const std::string kind : {"Delphi", "Data definition"}) {
        ReportText lines;
        StructureReportRun run(lines, optionsFor(kind));
        TTable table;
        table.SetDatabaseName(dir.path() + "/");
        EXPECT_THROW(run.Run(table, {"a.db", "missing.db", "c.db"}), EDatabaseError) << kind;
        ASSERT_FALSE(lines.empty());
        const std::string& last = lines.back();
        if (kind == std::string("Delphi")) {
            // The first table's procedure is the end: no tail, no AddVal text, no declaration.
            EXPECT_EQ(last, "end;");
            EXPECT_EQ(lines[14], "implementation");
            for (const std::string& l : lines) EXPECT_EQ(l.find("procedure AddVal"), std::string::npos);
        } else {
            EXPECT_EQ(lines[lines.size() - 3], "\tA                    \tSmallint Default:5");
        }
        for (const std::string& l : lines) EXPECT_EQ(l.find("c.db"), std::string::npos) << kind;
    }
}

TEST(StructureReports, TablesWithoutIndexesAndWithOneIndex) {
    TempDir dir;
    writeParadox(dir.file("Loose.DB"), {{"Name", 'A', 10}, {"Flag", 'L'}, {"Raw", 'Y', 4}}, 0);
    writeParadox(dir.file("One.DB"), {{"Id", 'I'}, {"Name", 'A', 10}}, 1);

    const Lines dd = report("Data definition", dir.path(), {"Loose.DB", "One.DB"});
    expectLines(dd, concat(kDefinitionHeader, {" ", "\tLoose.DB\tRecord Size: 15", " ",
                                               "\tName                 \tString(10)",
                                               "\tFlag                 \tBoolean", "\tRaw                  \tBytes", " ", " ",
                                               " ", "\tOne.DB\tRecord Size: 14", " ", "\tId                   \tInteger",
                                               "\tName                 \tString(10)", " ", "\tIndex\t\t   Id", " "}));

    const Lines ib = report("InterBase", dir.path(), {"Loose.DB", "One.DB"});
    expectLines(Lines(ib.begin() + 3, ib.end()),
                {" ", "\tCREATE TABLE Loose(", " ", "\tName                 \tCHAR(10),",
                 "\tFlag                 \tCHAR(1)/* Boolean */,", "\tRaw                  \tCHAR(1) /* Bytes */,", ");",
                 "/*\tIndex */", " ", " ", "\tCREATE TABLE One(", " ", "\tId                   \tINTEGER,",
                 "\tName                 \tCHAR(10),", "\tCONSTRAINT ixOneId PRIMARY KEY (Id)", ");", "/*\tIndex */", " "});

    const Lines ms = report("MS SQL", dir.path(), {"Loose.DB"});
    expectLines(Lines(ms.begin() + 3, ms.end()),
                {" ", "\tCREATE TABLE Loose(", " ", "\tName                 \tCHAR(10),", "\tFlag                 \tBIT,",
                 "\tRaw                  \tCHAR(1) /* Bytes */,", ")", "/*\tIndex */", " "});

    const Lines unit = report("Delphi", dir.path(), {"Loose.DB", "One.DB"});
    const Lines looseEnd = {"      Add('Raw', ftBytes,0,  False);", "    end;", " ", "    CreateTable;", "    Free;"};
    const Lines oneIndex = {"      Clear;", "      Add('','Id',[ixPrimary, ixUnique]);", "    end;", " ", "    CreateTable;"};
    auto contains = [&](const Lines& run) {
        return std::search(unit.begin(), unit.end(), run.begin(), run.end()) != unit.end();
    };
    EXPECT_TRUE(contains(looseEnd));
    EXPECT_TRUE(contains(oneIndex));
    EXPECT_EQ(unit.back(), "end.");
    EXPECT_EQ(unit[14], "implementation");  // no default anywhere: no AddVal declaration
}

// Names of 1, 20, 21 and 25 characters, non-ASCII names padded by characters, and a required
// field that also has a default.
TEST(StructureReports, NamePaddingAndRequiredDefaults) {
    TempDir dir;
    writeParadox(dir.file("dbo.Names.DB"),
                 {{"K", '+'}, {"ABCDEFGHIJKLMNOPQRST", 'I'}, {"ABCDEFGHIJKLMNOPQRSTU", 'A', 5},
                  {"ABCDEFGHIJKLMNOPQRSTUVWXY", 'N'}, {"Größe", 'S'}, {"City", 'A', 20}},
                 1, {}, {defaultCheck("City", textValue("Copenhagen"), true)});

    const Lines dd = report("Data definition", dir.path(), {"dbo.Names.DB"});
    expectLines(Lines(dd.begin() + 5, dd.begin() + 11),
                {"\tK                    \tAutoInc", "\tABCDEFGHIJKLMNOPQRST \tInteger",
                 "\tABCDEFGHIJKLMNOPQRSTU\tString(5)", "\tABCDEFGHIJKLMNOPQRSTUVWXY\tFloat",
                 "\tGröße                \tSmallint", "\tCity                 \tString(20) Default:Copenhagen"});

    const Lines ib = report("InterBase", dir.path(), {"dbo.Names.DB"});
    expectLines(Lines(ib.begin() + 3, ib.begin() + 14),
                {" ", "\tCREATE TABLE Names(", " ", "\tK                    \tINTEGER,",
                 "\tABCDEFGHIJKLMNOPQRST \tINTEGER,", "\tABCDEFGHIJKLMNOPQRSTU\tCHAR(5),",
                 "\tABCDEFGHIJKLMNOPQRSTUVWXY\tFLOAT,", "\tGröße                \tSMALLINT,",
                 "\tCity                 \tCHAR(20) DEFAULT Copenhagen,", "\tCONSTRAINT ixNamesK PRIMARY KEY (K)", ");"});

    const Lines unit = report("Delphi", dir.path(), {"dbo.Names.DB"}, "");
    EXPECT_EQ(unit[1], "unit Cr;");
    EXPECT_EQ(unit[12], "procedure Create(AliasName:String);");
    EXPECT_EQ(unit[18], "procedure Create(AliasName:String);");
    EXPECT_EQ(unit[20], "procedure CreateNames();");
    auto has = [&](const std::string& line) { return std::find(unit.begin(), unit.end(), line) != unit.end(); };
    EXPECT_TRUE(has("      Add('City', ftString,20,  False);"));
    EXPECT_TRUE(has("    AddVal(taNames,'City','Copenhagen', False);"));
    EXPECT_TRUE(has("    AliasName:='';"));
    EXPECT_TRUE(has("  CreateNames;"));
}

// Two auto-increment fields: both INTEGER, one generator and trigger for the later one; both
// identity columns in the MS SQL script.
TEST(StructureReports, TwoAutoIncrementFields) {
    TempDir dir;
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 7;
    spec.fields = {{"ID", '+'}, {"SEQ", '+'}};
    createTable(dir.file("Two.dbf"), spec);

    const Lines ib = report("InterBase", dir.path(), {"Two.dbf"});
    expectLines(Lines(ib.begin() + 3, ib.end()),
                {" ", "\tCREATE TABLE Two.dbf(", " ", "\tID                   \tINTEGER,",
                 "\tSEQ                  \tINTEGER,", ");", "/*\tIndex */", " ", "\tCREATE GENERATOR Two.dbf_Gen;",
                 "\tSET GENERATOR Two.dbf_Gen TO 0;", " ", "\tSET TERM !! ;",
                 "\tCREATE TRIGGER Set_SEQ FOR Two.dbf BEFORE INSERT", "\tAS", "\tBEGIN",
                 "\t\tNEW.SEQ = GEN_ID(Two.dbf_Gen, 1);", "\tEND", "\tSET TERM ; !!"});
    const Lines ms = report("MS SQL", dir.path(), {"Two.dbf"});
    expectLines(Lines(ms.begin() + 6, ms.end()),
                {"\tID                   \tINTEGER IDENTITY(1,1),", "\tSEQ                  \tINTEGER IDENTITY(1,1),", ")",
                 "/*\tIndex */", " "});
}

// A dBase table whose first index tag is an expression, under a "dbo." name with its extension
// kept, and Delphi defaults only in the second of two tables.
TEST(StructureReports, DBaseExpressionTagFirstAndDefaultsInTheSecondTableOnly) {
    TempDir dir;
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 4;
    spec.fields = {{"PARTNO", 'C', 8}, {"STORE", 'C', 4}, {"QTY", 'N', 6}};
    IndexSpec place;
    place.name = "PLACE";
    place.expression = "STORE+PARTNO";
    IndexSpec partNo;
    partNo.name = "PARTNO";
    partNo.fields = {"PARTNO"};
    spec.indexes = {place, partNo};
    createTable(dir.file("dbo.Stock.DBF"), spec);
    writeOrdersTable(dir.path(), OrdersTable::Quantity);

    const Lines ib = report("InterBase", dir.path(), {"dbo.Stock.DBF"});
    expectLines(Lines(ib.begin() + 3, ib.end()),
                {" ", "\tCREATE TABLE Stock.DBF(", " ", "\tPARTNO               \tCHAR(8),",
                 "\tSTORE                \tCHAR(4),", "\tQTY                  \tFLOAT,",
                 "\tCONSTRAINT ixStock.DBF PRIMARY KEY ()", ");", "/*\tIndex */",
                 "\tCREATE INDEX PARTNO ON Stock.DBF(PARTNO);", " "});
    const Lines dd = report("Data definition", dir.path(), {"dbo.Stock.DBF"});
    EXPECT_EQ(dd[dd.size() - 3], "\tIndex\t\tPLACE   ");
    EXPECT_EQ(dd[dd.size() - 2], "\t\t\tPARTNO   PARTNO");

    const Lines unit = report("Delphi", dir.path(), {"dbo.Stock.DBF", "Orders.DB"});
    auto at = [&](const std::string& line) { return std::find(unit.begin(), unit.end(), line) - unit.begin(); };
    const auto stockFree = at("    Free;");
    EXPECT_LT(at("procedure CreateStock.DBF();"), stockFree);
    EXPECT_LT(stockFree, at("procedure CreateOrders();"));
    EXPECT_EQ(unit[stockFree - 1], "    CreateTable;");  // no AddVal lines for the first table
    EXPECT_LT(at("      Add('','',[ixPrimary, ixUnique]);"), stockFree);
    EXPECT_LT(at("      Add('PARTNO','PARTNO',[ixCaseInsensitive]);"), stockFree);
    EXPECT_EQ(unit[14], "procedure AddVal(Tbl:TTable; Felt:string; DefVal:string; Required:Boolean);");
    EXPECT_EQ(std::count(unit.begin(), unit.end(), AddValProcedureText().front()), 2);  // declaration + body
    EXPECT_LT(at("  CreateStock.DBF;"), at("  CreateOrders;"));
}

TEST(StructureReports, ScriptTableNamesAndTypeTextsOutsideTheTables) {
    EXPECT_EQ(ScriptTableName("Orders.DB"), "Orders");
    EXPECT_EQ(ScriptTableName("dbo.Orders"), "Orders");
    EXPECT_EQ(ScriptTableName("orders.db"), "orders.db");
    EXPECT_EQ(ScriptTableName("Kunde.DBF"), "Kunde.DBF");
    EXPECT_EQ(ScriptTableName("x.DB.DB"), "x.DB");
    EXPECT_EQ(ScriptTableName("dbo.dbo.T.DB"), "T");
    EXPECT_EQ(ScriptTableName("sales.dbo.Orders"), "sales.Orders");
    EXPECT_EQ(ScriptTableName("bo.x"), "bo.x");  // a "." at position 3 has no four characters before it
    EXPECT_EQ(ScriptTableName(".DB"), "");

    EXPECT_EQ(FieldTypeText(ftLargeint), "LargeInt");
    EXPECT_EQ(DelphiTypeText(ftLargeint), "ftLargeInt");
    EXPECT_EQ(DelphiTypeText(ftUnknown), "Unknown");
    EXPECT_EQ(FieldTypeText(ftGuid), "Guid");
    EXPECT_EQ(InterBaseTypeText(ftOraBlob), "ftOraBlob");
    EXPECT_EQ(MSSQLTypeText(ftVariant), "ftVariant");
    EXPECT_EQ(DelphiTypeText(ftIDispatch), "ftIDispatch");
}

// Every readable table of the corpus in each report kind through tavrinth-cli, and two of them
// line by line as their manifests describe them.
TEST(StructureReports, CorpusTablesThroughTheCommandLine) {
    std::vector<std::string> files;
    for (const ManifestRow& row : readManifest(paradoxCorpus("MANIFEST.tsv")))
        if (row["px_filetype"] == "0" || row["px_filetype"] == "2") files.push_back(paradoxCorpus(row["path"]));
    for (const ManifestRow& row : readManifest(dbaseCorpus("MANIFEST.tsv")))
        if (row["path"].find("dbase_02.dbf") == std::string::npos)  // dBase II: refused when opened
            files.push_back(dbaseCorpus(row["path"]));
    ASSERT_GT(files.size(), 180u);
    for (const std::string kind : {"definition", "interbase", "mssql", "delphi"}) {
        std::vector<std::string> args = {TAVRINTH_CLI, "report", "--kind", kind, "--date", "D", "--password", "123"};
        args.insert(args.end(), files.begin(), files.end());
        const ProcessResult r = runProcess(args);
        EXPECT_EQ(r.exitStatus, 0) << kind << ": " << r.err;
        std::size_t tables = 0;
        for (std::size_t at = 0; (at = r.out.find(kind == std::string("definition") ? "\tRecord Size: " : kind == std::string("delphi") ? "\n  Create" : "\tCREATE TABLE ", at)) != std::string::npos; ++at)
            ++tables;
        EXPECT_EQ(tables, files.size()) << kind;
    }

    const std::string films = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/mtdemo/FILMS.DB");
    const ProcessResult dd = runProcess({TAVRINTH_CLI, "report", "--kind", "definition", "--date", "1.2.2026", films});
    EXPECT_EQ(dd.out,
              " \n\tDatabase   : \tmtdemo\t\t\tDate: 1.2.2026\n \n\tFILMS.DB\tRecord Size: 86\n \n"
              "\tFilm #               \tString(5)\n\tFilm Title           \tString(30)\n"
              "\t# in Stock           \tSmallint\n\tActors               \tString(20)\n"
              "\tCategory             \tString(9)\n\tYear                 \tFloat Min:1900 Max:1999\n"
              "\tRating               \tString(2)\n\tRental Fee           \tCurrency Min:0\n"
              "\t# of Copies          \tSmallint\n \n\tIndex\t\t   Film #\n \n");

    const std::string industry = dbaseCorpus("Aorid__Group-336.2/industry.dbf");
    const ProcessResult ms =
        runProcess({TAVRINTH_CLI, "report", "--kind", "mssql", "--date", "D", "--short-name", "Stocks", industry});
    EXPECT_EQ(ms.out,
              " \n/*\tDatabase       : \tStocks\t\t\tDate: D\t*/\n/*\tSQL Version: \tMS SQL\t\t\t\t\t\t*/\n \n"
              "\tCREATE TABLE industry.dbf(\n \n\tIND_CODE             \tSMALLINT,\n"
              "\tIND_NAME             \tCHAR(5),\n\tLONG_NAME            \tCHAR(20),\n"
              "\tCONSTRAINT ixindustry.dbfIND_CODE PRIMARY KEY (IND_CODE)\n)\n/*\tIndex */\n \n");
}
