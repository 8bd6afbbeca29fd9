// The validity check of a field, read through the engine's validity-check list of real tables.

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "byte_order.h"
#include "engine_api.h"
#include "engine_error.h"
#include "file_io.h"
#include "paradox/px_values.h"
#include "table.h"
#include "orders_tables.h"
#include "test_files.h"
#include "test_paths.h"
#include "validity_checks.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

const std::string kFields = "leonhad__paradoxdriver/src/test/resources/";

// A check with every text set to a marker, to see which texts a call leaves alone.
TValCheck marked() {
    TValCheck c;
    c.DefaultValue = "untouched default";
    c.MinValue = "untouched min";
    c.MaxValue = "untouched max";
    return c;
}

struct Opened {
    TTable table;
    explicit Opened(const std::string& path) {
        table.SetTableName(path);
        table.Open();
    }
    bool check(const std::string& field, TValCheck& c) {
        return GetFieldValCheck(table, table.FieldByName(field), c, ".");
    }
};

}  // namespace

TEST(GetFieldValCheck, ReadsMinimumAndMaximumAndLeavesOtherTextsAlone) {
    Opened films(paradoxCorpus(kFields + "mtdemo/FILMS.DB"));
    TValCheck year = marked();
    ASSERT_TRUE(films.check("Year", year));
    EXPECT_FALSE(year.Required);
    EXPECT_FALSE(year.HasDefault);
    ASSERT_TRUE(year.HasMin);
    ASSERT_TRUE(year.HasMax);
    EXPECT_EQ(year.MinValue, "1900");
    EXPECT_EQ(year.MaxValue, "1999");
    EXPECT_EQ(year.DefaultValue, "untouched default");

    TValCheck fee = marked();
    ASSERT_TRUE(films.check("Rental Fee", fee));
    EXPECT_TRUE(fee.HasMin);
    EXPECT_FALSE(fee.HasMax);
    EXPECT_EQ(fee.MinValue, "0");
    EXPECT_EQ(fee.MaxValue, "untouched max");
    EXPECT_EQ(fee.DefaultValue, "untouched default");

    // A field without an entry: false, and the record as it was.
    TValCheck category = marked();
    category.Required = true;
    category.HasMax = true;
    EXPECT_FALSE(films.check("Category", category));
    EXPECT_TRUE(category.Required);
    EXPECT_TRUE(category.HasMax);
    EXPECT_EQ(category.MinValue, "untouched min");
}

TEST(GetFieldValCheck, TheFirstFieldIsMatchedByFieldNumberOne) {
    // logical.val: the first field (BOOL) is required and defaults to true.
    Opened logical(paradoxCorpus(kFields + "fields/logical.db"));
    TValCheck c = marked();
    ASSERT_TRUE(GetFieldValCheck(logical.table, logical.table.Fields(0), c, "."));
    EXPECT_TRUE(c.Required);
    EXPECT_TRUE(c.HasDefault);
    EXPECT_EQ(c.DefaultValue, "True");
    EXPECT_FALSE(c.HasMin);
    EXPECT_EQ(c.MinValue, "untouched min");
    // Required with a default: the field itself is not required.
    EXPECT_FALSE(logical.table.Fields(0).Required());

    // C.VAL: both fields required, no defaults.
    Opened joins(paradoxCorpus(kFields + "joins/C.DB"));
    for (int i = 0; i < 2; ++i) {
        TValCheck r;
        ASSERT_TRUE(GetFieldValCheck(joins.table, joins.table.Fields(i), r, "."));
        EXPECT_TRUE(r.Required);
        EXPECT_TRUE(joins.table.Fields(i).Required());
    }
}

TEST(GetFieldValCheck, TablesWithoutChecksGiveFalseForEveryField) {
    Opened plain(dbaseCorpus("infused__dbf/spec/fixtures/dbase_03.dbf"));
    CURProps props;
    Check(DbiGetCursorProps(plain.table.Handle(), props));
    EXPECT_EQ(+props.iValChecks, 0);
    EXPECT_STREQ(props.szTableType, "DBASE");
    for (int i = 0; i < plain.table.FieldCount(); ++i) {
        TValCheck c = marked();
        EXPECT_FALSE(GetFieldValCheck(plain.table, plain.table.Fields(i), c, "."));
        EXPECT_EQ(c.MinValue, "untouched min");
    }
}

TEST(GetFieldValCheck, ALaterEntryOfTheSameFieldWins) {
    // FILMS.VAL (Paradox 3 layout) with one more entry for Year: minimum 1950.
    TempDir dir;
    const std::string from = paradoxCorpus(kFields + "mtdemo/");
    for (const char* name : {"FILMS.DB", "FILMS.PX", "FILMS.VAL"}) copyFile(from + name, dir.file(name));
    std::string val = readFile(dir.file("FILMS.VAL"));
    ASSERT_EQ(static_cast<unsigned char>(val[1]), 0x01);
    std::string entry(0x1C, '\0');
    entry[0] = 5;      // field index of Year
    entry[0x0C] = 1;   // a minimum follows
    std::uint8_t min[8];
    paradox::encodeFlippedDouble(1950, min);
    entry.append(reinterpret_cast<const char*>(min), 8);
    val[2] = static_cast<char>(val[2] + 1);
    val += entry;
    writeFile(dir.file("FILMS.VAL"), val);

    Opened films(dir.file("FILMS.DB"));
    TValCheck year;
    ASSERT_TRUE(films.check("Year", year));
    EXPECT_EQ(year.MinValue, "1950");
    EXPECT_EQ(year.MaxValue, "1999");  // the earlier entry's maximum stays
}

TEST(GetFieldValCheck, TheListIsReadFromTheOpenTableNotFromTheDisk) {
    TempDir dir;
    const std::string from = paradoxCorpus(kFields + "mtdemo/");
    for (const char* name : {"FILMS.DB", "FILMS.PX", "FILMS.VAL"}) copyFile(from + name, dir.file(name));
    Opened films(dir.file("FILMS.DB"));
    // Once open, the table answers without its .VAL: removing it changes nothing.
    removeTree(dir.file("FILMS.VAL"));
    TValCheck year;
    ASSERT_TRUE(films.check("Year", year));
    EXPECT_EQ(year.MaxValue, "1999");
}

TEST(GetFieldValCheck, TheDecimalSeparatorIsTheCallers) {
    TempDir dir;
    const std::string from = paradoxCorpus(kFields + "mtdemo/");
    for (const char* name : {"FILMS.DB", "FILMS.PX", "FILMS.VAL"}) copyFile(from + name, dir.file(name));
    std::string val = readFile(dir.file("FILMS.VAL"));
    std::string entry(0x1C, '\0');
    entry[0] = 7;      // Rental Fee
    entry[0x14] = 1;   // a default follows
    std::uint8_t def[8];
    paradox::encodeFlippedDouble(2.5, def);
    entry.append(reinterpret_cast<const char*>(def), 8);
    val[2] = static_cast<char>(val[2] + 1);
    val += entry;
    writeFile(dir.file("FILMS.VAL"), val);

    Opened films(dir.file("FILMS.DB"));
    TValCheck fee;
    ASSERT_TRUE(GetFieldValCheck(films.table, films.table.FieldByName("Rental Fee"), fee, ","));
    EXPECT_EQ(fee.DefaultValue, "2,5");
    EXPECT_EQ(fee.MinValue, "0");
}

TEST(EngineRecords, CursorPropertiesAndFieldDescriptorsOfAnOpenTable) {
    Opened films(paradoxCorpus(kFields + "mtdemo/FILMS.DB"));
    CURProps props;
    ASSERT_EQ(DbiGetCursorProps(films.table.Handle(), props), DBIERR_NONE);
    EXPECT_STREQ(props.szTableType, "PARADOX");
    EXPECT_EQ(+props.iFields, films.table.FieldCount());
    EXPECT_EQ(+props.iValChecks, 6);  // FILMS.VAL: pictures on 0, 1, 3, 6; bounds on 5, 7; 2 and 8 empty
    std::vector<FLDDesc> descs(props.iFields);
    ASSERT_EQ(DbiGetFieldDescs(films.table.Handle(), descs.data()), DBIERR_NONE);
    EXPECT_EQ(+descs[0].iFldType, fld::ZSTRING);
    EXPECT_EQ(+descs[2].iFldType, fld::INT16);
    EXPECT_EQ(+descs[5].iFldType, fld::FLOAT);
    EXPECT_EQ(+descs[7].iFldType, fld::FLOAT);
    EXPECT_EQ(+descs[7].iSubType, fld::stMONEY);

    // The list: one record per field with a check, fetched until the end.
    hDBICur list = nullptr;
    ASSERT_EQ(DbiOpenVchkList(films.table.DBHandle(), "FILMS", props.szTableType, list), DBIERR_NONE);
    VCHKDesc rec;
    int count = 0;
    while (DbiGetNextRecord(list, dbiNOLOCK, &rec, nullptr) == DBIERR_NONE) ++count;
    EXPECT_EQ(count, +props.iValChecks);
    EXPECT_EQ(DbiGetNextRecord(list, dbiNOLOCK, &rec, nullptr), DBIERR_EOF);
    EXPECT_EQ(DbiCloseCursor(list), DBIERR_NONE);
    EXPECT_EQ(list, nullptr);

    // Errors of the engine come up as EDBEngineError through the layer's check.
    hDBICur none = nullptr;
    EXPECT_THROW(Check(DbiOpenVchkList(films.table.DBHandle(), "NOSUCHTABLE", "PARADOX", none)), EDBEngineError);
    EXPECT_THROW(Check(DbiCloseCursor(none)), EDBEngineError);
    EXPECT_THROW(Check(DbiGetCursorProps(nullptr, props)), EDBEngineError);
}

// The orders tables the structure reports are checked on, read back through the table object and
// GetFieldValCheck: what the reports take from them.
TEST(OrdersTables, FieldsChecksAndIndexesReadBack) {
    struct Expected {
        OrdersTable which;
        std::vector<std::string> names;
        std::vector<TFieldType> types;
        int recordSize;
        std::string byCustomer;
        // per field: has a check, default text, minimum text ("" when absent)
        std::vector<std::tuple<bool, std::string, std::string>> checks;
    };
    const Expected cases[] = {
        {OrdersTable::Shipping, {"OrderNo", "Customer", "Shipped"}, {ftAutoInc, ftString, ftDate}, 38,
         "Customer;Shipped", {{false, "", ""}, {true, "", ""}, {true, "TODAY", "1/1/1990"}}},
        {OrdersTable::Amounts, {"OrderNo", "Customer", "Amount", "Shipped"}, {ftAutoInc, ftString, ftCurrency, ftDate},
         46, "Customer;Shipped", {{false, "", ""}, {true, "", ""}, {true, "0", ""}, {false, "", ""}}},
        {OrdersTable::Quantity, {"OrderNo", "Customer", "Qty"}, {ftAutoInc, ftString, ftSmallint}, 36, "Customer",
         {{false, "", ""}, {true, "", ""}, {true, "1", ""}}},
    };
    for (const Expected& e : cases) {
        SCOPED_TRACE(e.names.back());
        TempDir dir;
        writeOrdersTable(dir.path(), e.which);
        TTable table;
        table.SetDatabaseName(dir.path());
        table.SetTableName("Orders.DB");
        table.Open();
        EXPECT_EQ(table.TableName(), "Orders.DB");
        EXPECT_EQ(table.RecordSize(), e.recordSize);
        ASSERT_EQ(table.FieldCount(), static_cast<int>(e.names.size()));
        for (int i = 0; i < table.FieldCount(); ++i) {
            SCOPED_TRACE(e.names[i]);
            TField& f = table.Fields(i);
            EXPECT_EQ(f.FieldName(), e.names[i]);
            EXPECT_EQ(f.DataType(), e.types[i]);
            // Only the customer is required: its check marks it so and gives no default.
            EXPECT_EQ(f.Required(), i == 1);
            if (i == 1) {
                EXPECT_EQ(f.Size(), 30);
            }

            TValCheck c = marked();
            const auto& [hasCheck, defaultText, minText] = e.checks[static_cast<std::size_t>(i)];
            ASSERT_EQ(GetFieldValCheck(table, f, c, "."), hasCheck);
            EXPECT_EQ(c.Required, i == 1);
            EXPECT_EQ(c.HasDefault, !defaultText.empty());
            EXPECT_EQ(c.DefaultValue, defaultText.empty() ? "untouched default" : defaultText);
            EXPECT_EQ(c.HasMin, !minText.empty());
            EXPECT_EQ(c.MinValue, minText.empty() ? "untouched min" : minText);
            EXPECT_FALSE(c.HasMax);
            EXPECT_EQ(c.MaxValue, "untouched max");
        }
        table.IndexDefs().Update();
        ASSERT_EQ(table.IndexDefs().Count(), 2);
        EXPECT_EQ(table.IndexDefs()[0].Name, "");
        EXPECT_EQ(table.IndexDefs()[0].Fields, "OrderNo");
        EXPECT_TRUE(table.IndexDefs()[0].has(ixPrimary));
        EXPECT_EQ(table.IndexDefs()[1].Name, "ByCustomer");
        EXPECT_EQ(table.IndexDefs()[1].Fields, e.byCustomer);
        EXPECT_FALSE(table.IndexDefs()[1].has(ixPrimary));
    }
}

// A required field whose check also gives a default (here NONE) is not required for the table
// object; the check itself still says required.
TEST(OrdersTables, ARequiredFieldWithADefaultIsNotRequiredForTheTable) {
    TempDir dir;
    writeOrdersTable(dir.path(), OrdersTable::Shipping, "NONE");
    TTable table;
    table.SetTableName(dir.file("Orders.DB"));
    table.Open();
    EXPECT_FALSE(table.FieldByName("Customer").Required());
    CURProps props;
    Check(DbiGetCursorProps(table.Handle(), props));
    EXPECT_EQ(+props.iValChecks, 2);
    TValCheck c = marked();
    ASSERT_TRUE(GetFieldValCheck(table, table.FieldByName("Customer"), c, "."));
    EXPECT_TRUE(c.Required);
    EXPECT_TRUE(c.HasDefault);
    EXPECT_FALSE(c.HasMin || c.HasMax);
    EXPECT_EQ(c.DefaultValue, "NONE");
    EXPECT_EQ(c.MinValue, "untouched min");
}
