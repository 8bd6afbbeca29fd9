// Dates and timestamps of damaged tables (numbers no calendar holds) through every text form: the
// dump, TField::AsString, the grid's cells and the export all see the same values as damaged.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "byte_order.h"
#include "delimited_export.h"
#include "dump.h"
#include "table.h"
#include "table_writer.h"
#include "tdexport.h"
#include "test_files.h"
#include "value_text.h"

namespace tavrinth {
namespace {

using test::TempDir;

struct Case {
    FieldValue value;
    bool damaged;
    const char* dump;  // the dump's text
};

FieldValue stamp(double ms) {
    FieldValue v;
    v.setReal(ms, ValueKind::DateTime);
    return v;
}
FieldValue day(std::int64_t dayNumber) {
    FieldValue v;
    v.setInteger(dayNumber, ValueKind::Date);
    return v;
}

// Checks every record's single value (field 0) in every text form against its case.
void expectEveryForm(const std::string& path, const std::vector<Case>& cases, const TempDir& dir) {
    TTable t;
    t.SetTableName(path);
    t.Open();
    ASSERT_EQ(t.RecordCount(), static_cast<int>(cases.size()));
    TdExport grid;
    grid.SetDataSet(&t);
    int damaged = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        t.MoveToPosition(static_cast<int>(i));
        const TField& f = t.Fields(0);
        EXPECT_EQ(dumpValueText(f.Value()), cases[i].dump) << path << " record " << i;
        const std::string shown = f.AsString();
        EXPECT_EQ(grid.data(grid.index(static_cast<int>(i), 0)).toString().toStdString(), shown) << i;
        if (cases[i].damaged) {
            ++damaged;
            EXPECT_EQ(shown, "(invalid value)") << i;
        } else {
            EXPECT_NE(shown, "(invalid value)") << i;
        }
    }
    TDelimitedExport e;
    e.SetIncludeFieldNames(false);
    e.SetFilename(dir.file("damaged.txt"));
    EXPECT_EQ(e.Execute(t, UserLocale::fromLocale(QLocale::c())), damaged == 0);
    EXPECT_EQ(e.ConversionFailures(), damaged);
    const std::string text = test::readFile(dir.file("damaged.txt"));
    std::size_t line = 0, from = 0;
    for (std::size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2, ++line) {
        if (line < cases.size() && cases[line].damaged) {
            EXPECT_EQ(end, from) << "line " << line << " is not empty";
        }
    }
    EXPECT_EQ(line, cases.size());
}

TEST(DamagedDatesAndTimestamps, AreInvalidInTheDumpTheGridAsStringAndTheExport) {
    TempDir dir;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double ms1970 = 719163.0 * 86400000;

    // Paradox: the writer stores any whole day number and any finite timestamp.
    const std::vector<Case> dates = {
        {day(719163), false, "1970-01-01"},
        {day(-366), false, "-0001-12-31"},
        {day(dayNumberFromCivil(999999, 12, 31)), false, "999999-12-31"},
        {day(dayNumberFromCivil(999999, 12, 31) + 1), true, "<invalid date 365242135>"},
        {day(dayNumberFromCivil(-999999, 1, 1)), false, "-999999-01-01"},
        {day(dayNumberFromCivil(-999999, 1, 1) - 1), true, "<invalid date -365242500>"},
        {day(2147483647), true, "<invalid date 2147483647>"},
        {day(-2147483647), true, "<invalid date -2147483647>"},
    };
    const std::vector<Case> stamps = {
        {stamp(ms1970 + 39600000), false, "1970-01-01T11:00:00.000"},
        {stamp(-1), false, "0000-12-30T23:59:59.999"},
        {stamp(1e300), true, "<invalid timestamp>"},
        {stamp(-1e300), true, "<invalid timestamp>"},
        {stamp(1e17), true, "<invalid timestamp>"},
        {stamp(-9.3e18), true, "<invalid timestamp>"},
    };
    for (const auto& [name, type, cases] : {std::tuple{"DATES.DB", 'D', dates}, std::tuple{"STAMPS.DB", '@', stamps}}) {
        TableSpec spec;
        spec.fields = {ColumnSpec{"V", type, 0, 0}};
        for (const Case& c : cases) spec.records.push_back({c.value});
        createTable(dir.file(name), spec);
        expectEveryForm(dir.file(name), cases, dir);
    }

    // dBase 7: a timestamp is a double in the record; damage writes any bits there, NaN and the
    // infinities too.
    const std::vector<Case> dbase = {
        {stamp(ms1970), false, "1970-01-01T00:00:00.000"},
        {stamp(1e300), true, "<invalid timestamp>"},
        {stamp(nan), true, "<invalid timestamp>"},
        {stamp(inf), true, "<invalid timestamp>"},
        {stamp(-inf), true, "<invalid timestamp>"},
    };
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 7;
    spec.fields = {ColumnSpec{"V", '@', 0, 0}};
    for (std::size_t i = 0; i < dbase.size(); ++i) spec.records.push_back({stamp(ms1970)});
    const std::string path = dir.file("STAMPS.DBF");
    createTable(path, spec);
    std::string bytes = test::readFile(path);
    const std::size_t headerSize = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
    for (std::size_t i = 0; i < dbase.size(); ++i) {
        std::uint8_t stored[8];
        storeBE64(stored, doubleToBits(dbase[i].value.real));
        bytes.replace(headerSize + i * 9 + 1, 8, reinterpret_cast<const char*>(stored), 8);
    }
    test::writeFile(path, bytes);
    expectEveryForm(path, dbase, dir);
}

}  // namespace
}  // namespace tavrinth
