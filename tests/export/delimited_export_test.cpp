// The delimited text export: the worked example of the export dialog's documentation, the mends
// (quotes doubled, 64-bit integers, NULLs empty, failures counted, no half-written file, one
// value under every heading), delimiters, locales, and the command-line front.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <algorithm>
#include <functional>

#include <QDir>
#include <random>

#include <QDate>
#include <QLocale>
#include <QTime>

#include "date_time_text.h"
#include "delimited_export.h"
#include "export_pipeline.h"
#include "export_value_text.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "process.h"
#include "table.h"
#include "table_writer.h"
#include "tdexport.h"
#include "test_files.h"
#include "test_paths.h"

namespace tavrinth {
namespace {

using test::readFile;
using test::TempDir;

// The regional settings of the worked example: ".", dd-mm-yyyy, hh:nn:ss.
UserLocale exampleLocale() {
    UserLocale l = UserLocale::fromLocale(QLocale::c());
    l.shortDateFormat = QStringLiteral("dd-MM-yyyy");
    l.longTimeFormat = QStringLiteral("HH:mm:ss");
    l.decimalSeparator = QStringLiteral(".");
    return l;
}

ColumnSpec col(const std::string& name, char type, int size = 0) { return ColumnSpec{name, type, size, 0}; }

std::string writeTable(const TempDir& dir, const std::string& name, std::vector<ColumnSpec> fields,
                       std::vector<std::vector<FieldValue>> records, TableFormat format = TableFormat::Paradox) {
    TableSpec spec;
    spec.format = format;
    spec.level = format == TableFormat::Paradox ? 7 : 3;
    spec.fields = std::move(fields);
    spec.records = std::move(records);
    const std::string path = dir.file(name);
    createTable(path, spec);
    return path;
}

// Runs the export of the table at `path` and returns the file's text.
struct ExportRun {
    bool result = false;
    int failures = 0;
    std::string text;
};
ExportRun exportTable(const std::string& path, const std::string& out, TDelimiter delimiter = TDelimiter::Semi,
                bool fieldNames = true, bool memo = false, const UserLocale& locale = exampleLocale(),
                const std::function<void(TTable&)>& prepare = {}) {
    TTable table;
    table.SetTableName(path);
    table.Open();
    if (prepare) prepare(table);
    TDelimitedExport e;
    e.SetDelimiter(delimiter);
    e.SetIncludeFieldNames(fieldNames);
    e.SetIncludeMemo(memo);
    e.SetFilename(out);
    ExportRun r;
    r.result = e.Execute(table, locale);
    r.failures = e.ConversionFailures();
    EXPECT_TRUE(table.Eof());
    r.text = readFile(out);
    return r;
}

std::string partsTable(const TempDir& dir) {
    return writeTable(dir, "Parts.db",
                      {col("PartNo", '+'), col("Name", 'A', 20), col("Price", '$'), col("InStock", 'L'), col("Added", 'D'),
                       col("Notes", 'M', 20), col("Photo", 'G', 10)},
                      {{integerValue(1), textValue("Bolt"), floatValue(0.25), booleanValue(true), dateValue(2001, 2, 3),
                        textValue("zinc plated"), binaryValue(std::string("\x89PNG\r\n\x1a\n", 8))},
                       {integerValue(2), textValue("Washer"), floatValue(12), booleanValue(false), FieldValue(), FieldValue(),
                        FieldValue()},
                       {integerValue(3), FieldValue(), floatValue(1234.5), FieldValue(), dateValue(2002, 7, 15),
                        textValue("spare"), FieldValue()}});
}

TEST(DelimitedExport, WorkedExampleWithTheMends) {
    TempDir dir;
    const std::string parts = partsTable(dir);
    const ExportRun r = exportTable(parts, dir.file("out.txt"));
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.text,
              "PartNo;Name;Price;InStock;Added;Notes;Photo\r\n"
              "1;\"Bolt\";0.25;True;03-02-2001;;\r\n"
              "2;\"Washer\";12;False;;;\r\n"
              "3;\"\";1234.5;;15-07-2002;;\r\n");

    // No delimiter: values run together, nothing else changes.
    EXPECT_EQ(exportTable(parts, dir.file("none.txt"), TDelimiter::None).text.substr(0, 66),
              "PartNoNamePriceInStockAddedNotesPhoto\r\n1\"Bolt\"0.25True03-02-2001\r\n");
    // Tab, comma; memos quoted like strings when asked for; no header line.
    EXPECT_EQ(exportTable(parts, dir.file("tab.txt"), TDelimiter::Tab, false, true).text,
              "1\t\"Bolt\"\t0.25\tTrue\t03-02-2001\t\"zinc plated\"\t\r\n"
              "2\t\"Washer\"\t12\tFalse\t\t\"\"\t\r\n"
              "3\t\"\"\t1234.5\t\t15-07-2002\t\"spare\"\t\r\n");
    EXPECT_EQ(exportTable(parts, dir.file("comma.txt"), TDelimiter::Komma).text.substr(0, 44),
              "PartNo,Name,Price,InStock,Added,Notes,Photo\r");
}

TEST(DelimitedExport, EveryVisibleFieldHasOneColumnUnderItsHeading) {
    TempDir dir;
    // A BLOB in the middle, a memo last, and an invisible field.
    const std::string path = writeTable(dir, "Mixed.db",
                                        {col("A", 'A', 5), col("Data", 'B', 10), col("Hidden", 'I'), col("C", 'A', 5), col("Memo", 'M', 20)},
                                        {{textValue("x"), binaryValue("\x01\x02"), integerValue(7), textValue("y"), textValue("m")}});
    const ExportRun r = exportTable(path, dir.file("out.txt"), TDelimiter::Semi, true, false, exampleLocale(),
                              [](TTable& t) { t.FieldByName("Hidden").SetVisible(false); });
    EXPECT_EQ(r.text, "A;Data;C;Memo\r\n\"x\";;\"y\";\r\n");

    // No records: the header alone, or nothing; an existing file is replaced.
    const std::string empty = writeTable(dir, "Empty.db", {col("A", 'A', 5), col("B", 'I')}, {});
    test::writeFile(dir.file("e.txt"), "old contents\r\n");
    EXPECT_EQ(exportTable(empty, dir.file("e.txt")).text, "A;B\r\n");
    EXPECT_EQ(exportTable(empty, dir.file("e.txt"), TDelimiter::Semi, false).text, "");
}

TEST(DelimitedExport, StringsReadBackAsTheyWere) {
    TempDir dir;
    const std::string path =
        writeTable(dir, "Quotes.db", {col("S", 'A', 40)},
                   {{textValue("Say \"hi\"")}, {textValue("a;b")}, {textValue("\"")}, {textValue("two\r\nlines")}, {textValue("Grüße")}});
    EXPECT_EQ(exportTable(path, dir.file("q.txt")).text,
              "S\r\n\"Say \"\"hi\"\"\"\r\n\"a;b\"\r\n\"\"\"\"\r\n\"two\r\nlines\"\r\n\"Grüße\"\r\n");
}

TEST(DelimitedExport, NullsAreEmptyAndTimesFollowTheDateTimeRule) {
    TempDir dir;
    const std::string path = writeTable(
        dir, "Values.db", {col("S", 'S'), col("I", 'I'), col("N", 'N'), col("L", 'L'), col("T", 'T'), col("TS", '@'), col("D", 'D')},
        {{integerValue(-32000), integerValue(-2147483647), floatValue(-1.5e-7), booleanValue(true), timeValue(13, 4, 5),
          dateTimeValue(1999, 12, 31, 23, 59, 59), dateValue(1, 1, 1)},
         {FieldValue(), FieldValue(), FieldValue(), FieldValue(), FieldValue(), FieldValue(), FieldValue()},
         {integerValue(0), integerValue(0), floatValue(1e20), booleanValue(false), timeValue(0, 0, 0, 500),
          dateTimeValue(2024, 2, 29, 0, 0, 0), dateValue(9999, 12, 31)}});
    EXPECT_EQ(exportTable(path, dir.file("v.txt")).text,
              "S;I;N;L;T;TS;D\r\n"
              "-32000;-2147483647;-1.5e-07;True;30-12-1899 13:04:05;31-12-1999 23:59:59;01-01-0001\r\n"
              ";;;;;;\r\n"
              "0;0;1e+20;False;30-12-1899;29-02-2024;31-12-9999\r\n");
}

TEST(DelimitedExport, ValueTextOfTypesNoTableHereHolds) {
    const ExportValueText text(exampleLocale());
    auto of = [&](TFieldType type, const FieldValue& v, bool memo = false) {
        std::string out;
        return text.append(out, type, v, memo) ? out : "<failed>";
    };
    // 64-bit whole numbers in full.
    EXPECT_EQ(of(ftLargeint, integerValue(1099511627776 + 5)), "1099511627781");
    EXPECT_EQ(of(ftLargeint, integerValue(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(of(ftLargeint, FieldValue()), "");
    // FoxPro currency, bytes, values without a text form.
    FieldValue currency;
    currency.setInteger(-123456789, ValueKind::Currency);
    EXPECT_EQ(of(ftCurrency, currency), "-12345.6789");
    EXPECT_EQ(of(ftBytes, binaryValue(std::string("\x00\xff\x10", 3))), "00FF10");
    EXPECT_EQ(of(ftBytes, FieldValue()), "<failed>");
    FieldValue invalid;
    invalid.setText(ValueKind::Invalid);
    EXPECT_EQ(of(ftInteger, invalid), "<failed>");
    FieldValue missing;
    missing.setText(ValueKind::MissingBlob);
    EXPECT_EQ(of(ftMemo, missing, true), "<failed>");
    EXPECT_EQ(of(ftMemo, missing, false), "");
    EXPECT_EQ(of(ftBCD, bcdValue("12.50")), "");
}

TEST(DelimitedExport, FloatsAreFifteenSignificantDigits) {
    const ExportValueText text(exampleLocale());
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::int64_t> cents(-1'000'000'000'000, 1'000'000'000'000);
    std::uniform_real_distribution<double> any(-1e6, 1e6);
    std::vector<double> values = {0.1, 1.0 / 3, 2.5e-5, 1e-4, 9.99999999999999e14, 1e15, 123456789012345678.0,
                                  -0.0, 5e-324, 1.7976931348623157e308};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(static_cast<double>(cents(random)) / 100.0);
        values.push_back(any(random));
        values.push_back(std::ldexp(any(random), static_cast<int>(random() % 200) - 100));
    }
    for (const double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.15g", v);
        std::string out;
        ASSERT_TRUE(text.append(out, ftFloat, floatValue(v), false));
        ASSERT_EQ(out, expected) << v;
    }
    UserLocale german = UserLocale::fromLocale(QLocale(QStringLiteral("de_DE")));
    std::string out;
    ExportValueText(german).append(out, ftFloat, floatValue(1234.5), false);
    EXPECT_EQ(out, "1234,5");
}

TEST(DelimitedExport, DatesAndTimesAreWrittenAsQtWritesThemInEveryLocale) {
    int checked = 0, viaQt = 0;
    for (const QLocale& locale : QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        const UserLocale l = UserLocale::fromLocale(locale);
        // No time zone left, and nothing of its brackets or separators.
        const QString time = l.longTimeFormat;
        EXPECT_FALSE(time.endsWith(QLatin1Char(',')) || time.contains(QStringLiteral("()")) || time.contains(QStringLiteral("[]")) ||
                     time.isEmpty())
            << time.toStdString();
        const DateTimeText date(locale, l.shortDateFormat, DateTimeText::Kind::Date);
        const DateTimeText clock(locale, time, DateTimeText::Kind::Time);
        viaQt += (date.usesQt() ? 1 : 0) + (clock.usesQt() ? 1 : 0);
        for (std::int64_t day = dayNumberFromCivil(1850, 1, 1); day < dayNumberFromCivil(2100, 1, 1); day += 997) {
            std::string mine;
            date.appendDate(mine, day);
            ASSERT_EQ(mine, locale.toString(QDate::fromJulianDay(day + 1721425), l.shortDateFormat).toStdString())
                << locale.name().toStdString();
            if (date.writeDateBound() == 0) continue;  // (dBase dates are then written through appendDate)
            const CivilDate c = civilFromDayNumber(day);
            std::string written(date.writeDateBound(), '\0');
            written.resize(static_cast<std::size_t>(date.writeDate(written.data(), static_cast<int>(c.year), c.month, c.day) -
                                                    written.data()));
            ASSERT_EQ(written, mine) << locale.name().toStdString();
        }
        for (std::int64_t ms = 0; ms < kMillisecondsPerDay; ms += 997 * 1009) {
            std::string mine;
            clock.appendTime(mine, ms);
            ASSERT_EQ(mine, locale.toString(QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)), time).toStdString())
                << locale.name().toStdString();
        }
        ++checked;
    }
    EXPECT_GT(checked, 300);
    EXPECT_EQ(viaQt, 0);  // every locale's formats are written without Qt
    EXPECT_EQ(timeFormatWithoutZone(QStringLiteral("HH:mm:ss (t)")), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(timeFormatWithoutZone(QStringLiteral("h:mm:ss AP, t")), QStringLiteral("h:mm:ss AP"));
    EXPECT_EQ(timeFormatWithoutZone(QStringLiteral("t HH:mm:ss")), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(timeFormatWithoutZone(QStringLiteral("'at' HH:mm 'o''clock' t")), QStringLiteral("'at' HH:mm 'o''clock'"));
}

TEST(DelimitedExport, ValuesThatCannotBeConvertedAreCountedAndLeftEmpty) {
    TempDir dir;
    const std::string path = writeTable(dir, "NUMS.DBF", {col("N", 'N', 6), col("C", 'C', 4)},
                                        {{integerValue(12), textValue("ab")}, {integerValue(34), textValue("cd")},
                                         {integerValue(56), textValue("ef")}},
                                        TableFormat::DBase);
    // Damage two of the stored numbers (records after the header, one deletion flag byte each).
    std::string bytes = readFile(path);
    const std::size_t headerSize = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
    const std::size_t recordSize = static_cast<unsigned char>(bytes[10]) | static_cast<unsigned char>(bytes[11]) << 8;
    bytes.replace(headerSize + 1, 6, "  1x2 ");
    bytes.replace(headerSize + 2 * recordSize + 1, 6, "abcdef");
    test::writeFile(path, bytes);
    const ExportRun r = exportTable(path, dir.file("n.txt"));
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.failures, 2);
    EXPECT_EQ(r.text, "N;C\r\n;\"ab\"\r\n34;\"cd\"\r\n;\"ef\"\r\n");
    EXPECT_EQ(conversionFailureMessage(2, "/data/n.txt"),
              "2 values could not be converted; they are written as empty values in \"/data/n.txt\".");
}

// A dBase table's character, number, date and logical fields are written from their stored text;
// every odd form of that text must still give what its decoded value gives.
TEST(DelimitedExport, DBaseStoredTextGivesTheDecodedValuesText) {
    TempDir dir;
    const std::vector<std::string> numbers = {
        "0000012.5000", "-0000.0100", "-0", "-0.00", "0.00001", "0.0001", "1234567890123456", "999999999999999",
        "12345678.123456789", "*******************", "", "12*", "+5", "1e3", "1,5", "9007199254740993"};
    const std::vector<std::string> texts = {std::string("Say \"hi\"\0\0 ", 11), "caf\xe9"};
    const std::vector<std::string> dates = {"20240229", "20230229", "00000000", "00010101"};
    const std::string logicals = "yx?F";
    std::vector<std::vector<FieldValue>> records(numbers.size(),
                                                 {integerValue(0), textValue(""), FieldValue(), FieldValue()});
    const std::string path = writeTable(dir, "ODD.DBF", {ColumnSpec{"N", 'N', 19, 4}, col("C", 'C', 12), col("D", 'D'), col("L", 'L')},
                                        records, TableFormat::DBase);
    std::string bytes = readFile(path);
    const std::size_t headerSize = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::size_t at = headerSize + i * 41 + 1;  // the deletion flag, then N 19, C 12, D 8, L 1
        bytes.replace(at, 19, std::string(19 - numbers[i].size(), ' ') + numbers[i]);
        if (i < texts.size()) bytes.replace(at + 19, 12, texts[i] + std::string(12 - texts[i].size(), ' '));
        if (i < dates.size()) bytes.replace(at + 31, 8, dates[i]);
        if (i < logicals.size()) bytes[at + 39] = logicals[i];
    }
    test::writeFile(path, bytes);
    UserLocale locale = exampleLocale();
    locale.decimalSeparator = QStringLiteral(",");
    const ExportRun r = exportTable(path, dir.file("odd.txt"), TDelimiter::Semi, false, false, locale);
    EXPECT_EQ(r.failures, 2);  // 29 February 2023, the logical 'x'
    EXPECT_EQ(r.text,
              "12,5;\"Say \"\"hi\"\"\";29-02-2024;True\r\n"
              "-0,01;\"caf\xc3\xa9\";;\r\n"
              "0;\"\";;\r\n"
              "-0;\"\";01-01-0001;False\r\n"
              "1e-05;\"\";;\r\n"
              "0,0001;\"\";;\r\n"
              "1,23456789012346e+15;\"\";;\r\n"
              "999999999999999;\"\";;\r\n"
              "12345678,1234568;\"\";;\r\n"
              ";\"\";;\r\n"
              ";\"\";;\r\n"
              "12;\"\";;\r\n"
              "5;\"\";;\r\n"
              "1000;\"\";;\r\n"
              "1,5;\"\";;\r\n"
              "9,00719925474099e+15;\"\";;\r\n");
}

// The two ways of writing a dBase table's values must give the same file, byte for byte, with the
// same count of values that could not be converted: from the stored text (the default) and from
// the decoded values. Over every dBase table of the corpus, and over generated tables whose
// fields hold random text of every odd form, with every delimiter, the memo and field-name
// options, and locales with other decimal separators, date formats and digits.
struct BothWays {
    std::string stored, decoded;
    int storedFailures = 0, decodedFailures = 0;
};
BothWays exportBothWays(const std::string& path, const std::string& out, TDelimiter delimiter, bool memo,
                        bool fieldNames, const UserLocale& locale) {
    BothWays r;
    for (const bool fromStoredText : {true, false}) {
        TTable table;
        table.SetTableName(path);
        table.Open();
        TDelimitedExport e;
        e.SetDelimiter(delimiter);
        e.SetIncludeMemo(memo);
        e.SetIncludeFieldNames(fieldNames);
        e.SetStoredText(fromStoredText);
        e.SetFilename(out);
        e.Execute(table, locale);
        (fromStoredText ? r.stored : r.decoded) = readFile(out);
        (fromStoredText ? r.storedFailures : r.decodedFailures) = e.ConversionFailures();
    }
    return r;
}

std::vector<UserLocale> differentLocales() {
    std::vector<UserLocale> locales = {exampleLocale()};
    for (const char* name : {"de_DE", "en_US", "ar_EG", "fr_CH"})
        locales.push_back(UserLocale::fromLocale(QLocale(QString::fromLatin1(name))));
    UserLocale names = exampleLocale();  // month and day names, a long separator
    names.shortDateFormat = QStringLiteral("dddd d. MMMM yyyy");
    names.decimalSeparator = QStringLiteral("\u066B");
    locales.push_back(names);
    return locales;
}

TEST(DelimitedExport, TheStoredTextPathWritesWhatTheDecodedValuesGive) {
    TempDir dir;
    const std::vector<UserLocale> locales = differentLocales();
    const TDelimiter delimiters[] = {TDelimiter::None, TDelimiter::Komma, TDelimiter::Semi, TDelimiter::Tab};
    int compared = 0;

    // Every dBase table of the corpus the engine opens.
    std::vector<std::string> corpus;
    std::vector<std::string> pending{test::corpusDir() + "/dbase"};
    while (!pending.empty()) {
        const std::string folder = pending.back();
        pending.pop_back();
        DIR* d = opendir(folder.c_str());
        if (!d) continue;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name, path = folder + "/" + name;
            if (name == "." || name == "..") continue;
            if (isDirectory(path)) pending.push_back(path);
            else if (toLowerAscii(extensionPart(name)) == ".dbf") corpus.push_back(path);
        }
        closedir(d);
    }
    std::sort(corpus.begin(), corpus.end());
    ASSERT_GT(corpus.size(), 80u) << "the corpus is missing";
    for (std::size_t t = 0; t < corpus.size(); ++t) {
        TTable probe;
        probe.SetTableName(corpus[t]);
        try {
            probe.Open();
        } catch (const EDatabaseError&) {
            continue;  // refused with a clear error, both ways alike
        }
        probe.Close();
        for (int option = 0; option < 8; ++option) {
            const UserLocale& locale = locales[(t + static_cast<std::size_t>(option)) % locales.size()];
            const BothWays r = exportBothWays(corpus[t], dir.file("corpus.txt"), delimiters[option % 4], option >= 4,
                                              (option + static_cast<int>(t)) % 3 != 0, locale);
            ASSERT_EQ(r.stored, r.decoded) << corpus[t] << " option " << option;
            ASSERT_EQ(r.storedFailures, r.decodedFailures) << corpus[t] << " option " << option;
            ++compared;
        }
    }

    // Generated tables: records of the usual forms, then their fields' bytes replaced by random
    // text of every odd form.
    std::mt19937 random(20261209);
    auto pick = [&](const std::vector<std::string>& choices) { return choices[random() % choices.size()]; };
    auto digits = [&](int n) {
        std::string d;
        for (int i = 0; i < n; ++i) d += static_cast<char>('0' + random() % 10);
        return d;
    };
    auto number = [&]() {
        std::string s = pick({"", "", " ", "  ", std::string(1, '\0')}) + pick({"", "", "-", "+", "--", "*"});
        s += digits(static_cast<int>(random() % 20));
        if (random() % 2) s += pick({".", ".", ",", ".."}) + digits(static_cast<int>(random() % 12));
        if (random() % 8 == 0) s += pick({"e3", "E-2", "e+400", "*", "x", std::string(1, '\0')});
        return s + pick({"", "", " ", std::string(2, '\0')});
    };
    auto date = [&]() {
        return pick({digits(8), digits(8), "2024" + pick({"02", "13", "00", "12"}) + pick({"29", "30", "31", "00"}),
                     "        ", "00000000", std::string(8, '\0'), " 2024 1 1", "0000" + digits(4), digits(4) + "    ",
                     "99991231", "00010101", "1999-1-1"});
    };
    for (int table = 0; table < 12; ++table) {
        const std::vector<ColumnSpec> fields = {ColumnSpec{"N", 'N', 19, 4}, ColumnSpec{"W", 'N', 8, 0},
                                                ColumnSpec{"F", 'F', 12, 3}, col("C", 'C', 12),
                                                col("D", 'D'), col("L", 'L'), col("M", 'M')};
        std::vector<std::vector<FieldValue>> records(300, {floatValue(1.5), integerValue(7), floatValue(2.25),
                                                           textValue("x"), dateValue(2001, 2, 3), booleanValue(true),
                                                           textValue("memo \"text\"")});
        TableSpec spec;
        spec.format = TableFormat::DBase;
        spec.level = 4;
        spec.codePage = pick({"CP1252", "CP437", "CP866", "CP850"});
        spec.fields = fields;
        spec.records = records;
        const std::string path = dir.file("GEN" + std::to_string(table) + ".DBF");
        createTable(path, spec);
        std::string bytes = readFile(path);
        const std::size_t headerSize = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
        const std::size_t recordSize = static_cast<unsigned char>(bytes[10]) | static_cast<unsigned char>(bytes[11]) << 8;
        for (std::size_t r = 0; r < records.size(); ++r) {
            std::size_t at = headerSize + r * recordSize + 1;
            auto put = [&](std::string text, std::size_t length, bool right) {
                if (text.size() > length) text.resize(length);
                const std::string pad(length - text.size(), random() % 4 ? ' ' : '\0');
                bytes.replace(at, length, right ? pad + text : text + pad);
                at += length;
            };
            put(number(), 19, random() % 4 != 0);
            put(number(), 8, random() % 4 != 0);
            put(number(), 12, random() % 4 != 0);
            std::string text;
            for (int i = static_cast<int>(random() % 13); i > 0; --i)
                text += static_cast<char>(pick({"a", "Z", " ", "\"", "\xE9", "\x80", "\xFF", ";", "\t"})[0]);
            put(text, 12, false);
            put(date(), 8, false);
            put(pick({"T", "t", "Y", "y", "F", "f", "N", "n", "?", " ", std::string(1, '\0'), "x", "1"}), 1, false);
        }
        test::writeFile(path, bytes);
        for (int option = 0; option < 8; ++option) {
            const UserLocale& locale = locales[(static_cast<std::size_t>(table) + static_cast<std::size_t>(option)) % locales.size()];
            const BothWays r = exportBothWays(path, dir.file("gen.txt"), delimiters[option % 4], option >= 4, option % 3 != 0, locale);
            ASSERT_EQ(r.stored, r.decoded) << "table " << table << " option " << option;
            ASSERT_EQ(r.storedFailures, r.decodedFailures) << "table " << table << " option " << option;
            ++compared;
        }
    }
    EXPECT_GT(compared, 700);
}

// The names in a folder, to see that no temporary file is left behind.
std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DelimitedExport, AFailedExportLeavesTheTargetAsItWas) {
    TempDir dir;
    std::vector<std::vector<FieldValue>> records;
    for (int i = 0; i < 20000; ++i) records.push_back({integerValue(i), textValue("record number " + std::to_string(i))});
    const std::string path = writeTable(dir, "Big.db", {col("N", 'I'), col("S", 'A', 30)}, records);
    const std::string target = dir.file("out.txt");
    test::writeFile(target, "the good old export\r\n");

    // A file size limit stands in for a full disk: every write past it fails.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    TTable table;
    table.SetTableName(path);
    table.Open();
    TDelimitedExport e;
    e.SetFilename(target);
    try {
        e.Execute(table, exampleLocale());
        ADD_FAILURE() << "the export did not fail";
    } catch (const EInOutError& error) {
        EXPECT_STREQ(error.what(), "Disk full");
    }
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(readFile(target), "the good old export\r\n");
    EXPECT_EQ(folderNames(dir.path()), (std::vector<std::string>{"Big.db", "out.txt"}));

    // Cancelled part way (the user's Cancel in the window): the same, and the progress was told.
    std::vector<std::uint64_t> told;
    e.SetProgress([&](std::uint64_t done, std::uint64_t total) {
        told.push_back(done);
        return total == 20000 && done < 10000;
    });
    EXPECT_THROW(e.Execute(table, exampleLocale()), EExportCancelled);
    e.SetProgress(nullptr);
    EXPECT_GE(told.size(), 2u);
    EXPECT_EQ(told.front(), 0u);
    EXPECT_EQ(readFile(target), "the good old export\r\n");
    EXPECT_EQ(folderNames(dir.path()), (std::vector<std::string>{"Big.db", "out.txt"}));

    // Without the limit, the same export goes through in full (more records than one chunk).
    e.SetDelimiter(TDelimiter::Tab);
    EXPECT_TRUE(e.Execute(table, exampleLocale()));
    const std::string text = readFile(target);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20001);
    EXPECT_NE(text.find("\r\n12345\t\"record number 12345\"\r\n12346\t"), std::string::npos);

    // A target that cannot be written, a folder that does not exist, no name at all.
    EXPECT_THROW(
        {
            try {
                e.SetFilename(dir.path());
                e.Execute(table, exampleLocale());
            } catch (const EInOutError& error) {
                EXPECT_STREQ(error.what(), "File access denied");
                throw;
            }
        },
        EInOutError);
    e.SetFilename(dir.file("missing/out.txt"));
    EXPECT_THROW(e.Execute(table, exampleLocale()), EInOutError);
    e.SetFilename("");
    EXPECT_FALSE(e.Execute(table, exampleLocale()));
    EXPECT_EQ(folderNames(dir.path()), (std::vector<std::string>{"Big.db", "out.txt"}));
}

TEST(DelimitedExport, PropertiesAndTheExportDialog) {
    TDelimitedExport e;
    EXPECT_EQ(e.Delimiter(), TDelimiter::None);
    EXPECT_EQ(e.DelimiterText(), "");
    EXPECT_TRUE(e.GetIncludeFieldNames());
    EXPECT_FALSE(e.GetIncludeMemo());
    e.SetDelimiter(TDelimiter::Tab);
    EXPECT_EQ(e.DelimiterText(), "\t");
    e.SetDelimiter(static_cast<TDelimiter>(7));
    EXPECT_EQ(e.Delimiter(), TDelimiter::Komma);
    EXPECT_EQ(e.DelimiterText(), ",");

    const ExportDialogSetup s = exportDialogSetup("/data/shop/", "CUSTOMER.DB", QString());
    EXPECT_EQ(s.title, QStringLiteral("Export table: \"/data/shop/ - CUSTOMER.DB\" to textfile"));
    EXPECT_EQ(s.proposedName, QStringLiteral("CUSTOMER.DB.txt"));
    EXPECT_EQ(s.folder, QDir::homePath());
    EXPECT_FALSE(s.confirmOverwrite);
    EXPECT_EQ(exportDialogSetup("Shop", "Orders", QStringLiteral("/tmp/x/")).folder, QStringLiteral("/tmp/x/"));
    EXPECT_EQ(exportFolderAfter(QStringLiteral("/home/me/out/Orders.txt")), QStringLiteral("/home/me/out/"));
}

TEST(DelimitedExport, TheGridsDataSourceIsTheExporter) {
    TempDir dir;
    TdExport dExport;
    EXPECT_EQ(dExport.Delimiter(), TDelimiter::None);
    EXPECT_TRUE(dExport.GetIncludeFieldNames());
    dExport.SetFilename(dir.file("grid.txt"));
    EXPECT_THROW(dExport.Execute(), EDatabaseError);
    TTable table;
    table.SetTableName(partsTable(dir));
    table.Open();
    dExport.SetDataSet(&table);
    dExport.DataSetChanged();
    dExport.SetDelimiter(TDelimiter::Semi);
    EXPECT_TRUE(dExport.Execute(table, exampleLocale()));
    EXPECT_EQ(readFile(dir.file("grid.txt")).substr(0, 45), "PartNo;Name;Price;InStock;Added;Notes;Photo\r\n");
    EXPECT_TRUE(dExport.Execute());
}

TEST(DelimitedExport, CommandLineUsesTheUsersLocale) {
    TempDir dir;
    const std::string parts = partsTable(dir);
    const std::string out = dir.file("cli.csv");
    const auto r = test::runProcess({test::cliPath(), "export", "--delimiter", "comma", "--include-memo", parts, out},
                                    {{"LC_ALL", std::string("de_DE.UTF-8")}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(out),
              "PartNo,Name,Price,InStock,Added,Notes,Photo\r\n"
              "1,\"Bolt\",0,25,True,03.02.01,\"zinc plated\",\r\n"
              "2,\"Washer\",12,False,,\"\",\r\n"
              "3,\"\",1234,5,,15.07.02,\"spare\",\r\n");

    const auto bad = test::runProcess({test::cliPath(), "export", "--delimiter", "pipe", parts, out});
    EXPECT_EQ(bad.exitStatus, 1);
    const auto missing = test::runProcess({test::cliPath(), "export", dir.file("nothing.db"), dir.file("x.txt")});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("nothing.db"), std::string::npos);
    EXPECT_FALSE(test::fileExists(dir.file("x.txt")));
}

}  // namespace
}  // namespace tavrinth
