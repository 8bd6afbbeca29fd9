// Values as text: shortest doubles, scaled integers, SHA-1 names of binary values, day numbers
// and the dump form of every kind of value.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "dbase/dbf_table.h"
#include "csv.h"
#include "dump.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "number_text.h"
#include "sha1.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"

using namespace tavrinth;

namespace {

double fromBits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

TEST(ShortestDoubleText, ReadsLikePythonRepr) {
    const std::pair<double, const char*> cases[] = {
        {40.0, "40.0"},
        {1.34, "1.34"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {-1.5, "-1.5"},
        {100.0, "100.0"},
        {1e16, "1e+16"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {0.001, "0.001"},
        {1.23456789012345e+18, "1.23456789012345e+18"},
        {1.2345678901234568e+17, "1.2345678901234568e+17"},
        {123456789012345678.0, "1.2345678901234568e+17"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e22, "1e+22"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {12345.678, "12345.678"},
        {25710.59, "25710.59"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(shortestDoubleText(value), text) << text;
}

TEST(ShortestDoubleText, AgreesWithPythonOnSampledDoubles) {
    // Pairs of IEEE bits and Python's repr() of that double.
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0x4057b2569b58ade8ull, "94.78653606090631"},
        {0x019f0be39d075509ull, "7.243628666754276e-301"},
        {0x4121c9080305c3baull, "582788.0059033551"},
        {0x3f03a8950395aad1ull, "3.749565844198488e-05"},
        {0x81d6264445046e79ull, "-8.268521246720381e-300"},
        {0x3f79d4978d73d44aull, "0.006306259157317371"},
        {0x3f3e8746e5ec075cull, "0.00046582680617756277"},
        {0x7e526cde93c060acull, "3.0848182410193436e+300"},
        {0x3ee59cc2ed3fdf2full, "1.0305571244359136e-05"},
        {0x3f3867cb4461d4abull, "0.0003723975427257313"},
        {0x43a2e28857655f0eull, "6.803999731817859e+17"},
        {0x41124bdbfcc9d549ull, "299766.99686368235"},
        {0xc0185bbd87e69fb1ull, "-6.089590190364036"},
        {0x4436aa9eab1aa06eull, "4.181228217852272e+20"},
        {0x3ee39274d00c410aull, "9.332702121806375e-06"},
        {0x40d608bb65434472ull, "22562.92805558857"},
        {0xbf492c67c7d5548aull, "-0.0007682329884725208"},
        {0x4371e48443992b18ull, "8.058130120013862e+16"},
        {0xd4c967c3b2ab0928ull, "-2.7783913078445065e+100"},
        {0xc33eb1e49a140e40ull, "-8639844696985152.0"},
        {0x434185eed3ba7c6aull, "9864670810011860.0"},
        {0xc30b3869619ee2b9ull, "-957731203963991.1"},
        {0x0000000000002658ull, "4.8497e-320"},
    };
    for (const auto& [bits, text] : cases) EXPECT_EQ(shortestDoubleText(fromBits(bits)), text);
}

// The significant digits of a number's text: leading and trailing zeros and the point removed.
std::string significantDigits(const std::string& mantissa) {
    std::string digits;
    for (char c : mantissa)
        if (c >= '0' && c <= '9') digits.push_back(c);
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return std::string();
    digits.erase(0, first);
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    return digits;
}

TEST(ShortestDoubleText, ReadsBackAsTheSameDoubleWithTheShortestDigits) {
    std::mt19937_64 random(20240607);
    static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12};
    for (int i = 0; i < 60000; ++i) {
        // Any bits; short decimals (money and measures, the usual values), also near the limits
        // of their quick writing (1e-4, 2^50, 1e15).
        double v = fromBits(random());
        if (i % 3 == 1) {
            const auto digits = static_cast<double>(random() % 10000000000000000ull >> (random() % 50));
            v = (random() % 2 ? -digits : digits) / kPow10[random() % 13];
        } else if (i % 3 == 2) {
            static const double kEdges[] = {1e-4, 1125899906842624.0, 1e15, 0.1, 1.0};
            v = std::nextafter(kEdges[random() % 5] * (1 + static_cast<double>(random() % 3) - 1.0),
                               random() % 2 ? 0.0 : 1e300);
            for (int k = static_cast<int>(random() % 4); k > 0; --k) v = std::nextafter(v, 1e300);
        }
        if (std::isnan(v) || std::isinf(v)) continue;
        const std::string text = shortestDoubleText(v);
        double back = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_TRUE(r.ec == std::errc() && r.ptr == text.data() + text.size()) << text;
        ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
        // The digits of the shortest round trip, and the exponent that decides the notation:
        // positional from 1e-4 up to below 1e16, scientific outside.
        char buf[64];
        const auto s = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
        const std::string sci(buf, s.ptr);
        const int exponent = std::atoi(sci.c_str() + sci.find('e') + 1);
        ASSERT_EQ(significantDigits(text.substr(0, text.find('e'))), significantDigits(sci.substr(0, sci.find('e'))))
            << text << " vs " << sci;
        const bool positional = exponent >= -4 && exponent < 16;
        ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
        if (positional) {
            ASSERT_NE(text.find('.'), std::string::npos) << text;
        }
    }
}

TEST(ScaledIntegerText, ExactDecimalsWithoutTrailingZeros) {
    EXPECT_EQ(scaledIntegerText(123456, 4), "12.3456");
    EXPECT_EQ(scaledIntegerText(200000, 4), "20");
    EXPECT_EQ(scaledIntegerText(-10000, 4), "-1");
    EXPECT_EQ(scaledIntegerText(0, 4), "0");
    EXPECT_EQ(scaledIntegerText(5, 4), "0.0005");
    EXPECT_EQ(scaledIntegerText(-5, 4), "-0.0005");
    EXPECT_EQ(scaledIntegerText(-12500, 4), "-1.25");
    EXPECT_EQ(scaledIntegerText(1234, 0), "1234");
    EXPECT_EQ(scaledIntegerText(std::numeric_limits<std::int64_t>::max(), 4), "922337203685477.5807");
    EXPECT_EQ(scaledIntegerText(std::numeric_limits<std::int64_t>::min(), 4), "-922337203685477.5808");
    EXPECT_EQ(scaledIntegerText(std::numeric_limits<std::int64_t>::min(), 0), "-9223372036854775808");
}

TEST(Sha1, KnownDigests) {
    EXPECT_EQ(sha1Hex(std::string()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex(std::string("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex(std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    // Lengths around the 64-byte block and the 56-byte padding limit.
    const std::pair<std::size_t, const char*> as[] = {
        {1, "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8"},   {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},  {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},  {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"}, {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
        {1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& [n, digest] : as) EXPECT_EQ(sha1Hex(std::string(n, 'a')), digest) << n << " x 'a'";
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(sha1Hex(all.data(), all.size()), "4916d6bdb7f78e6803698cab32d1586ea457dfc8");
}

TEST(DayNumbers, KnownDays) {
    struct Case {
        std::int64_t day;
        std::int64_t year;
        int month, dayOfMonth;
    };
    const Case cases[] = {
        {1, 1, 1, 1},         {719163, 1970, 1, 1},  {728783, 1996, 5, 4},   {36160, 100, 1, 1},
        {-366, -1, 12, 31},   {0, 0, 12, 31},        {-365, 0, 1, 1},        {60, 1, 3, 1},
        {730179, 2000, 2, 29}, {693596, 1900, 1, 1}, {3652059, 9999, 12, 31},
    };
    for (const Case& c : cases) {
        const CivilDate d = civilFromDayNumber(c.day);
        EXPECT_EQ(d.year, c.year) << "day " << c.day;
        EXPECT_EQ(d.month, c.month) << "day " << c.day;
        EXPECT_EQ(d.day, c.dayOfMonth) << "day " << c.day;
        EXPECT_EQ(dayNumberFromCivil(c.year, c.month, c.dayOfMonth), c.day);
    }
}

TEST(DayNumbers, RoundTripAndConsecutive) {
    // Around year 0, around today, and up to the year 9999.
    const std::pair<std::int64_t, std::int64_t> ranges[] = {{-150000, 3000}, {690000, 740000}, {3640000, 3660000}};
    for (const auto& [from, to] : ranges) {
        CivilDate previous = civilFromDayNumber(from);
        for (std::int64_t day = from + 1; day <= to; ++day) {
            const CivilDate d = civilFromDayNumber(day);
            ASSERT_TRUE(isValidCivilDate(d.year, d.month, d.day)) << day;
            ASSERT_EQ(dayNumberFromCivil(d.year, d.month, d.day), day);
            const bool nextDay = d.year == previous.year && d.month == previous.month && d.day == previous.day + 1;
            const bool nextMonth = d.year == previous.year && d.month == previous.month + 1 && d.day == 1;
            const bool nextYear = d.year == previous.year + 1 && d.month == 1 && d.day == 1 && previous.month == 12;
            ASSERT_TRUE(nextDay || nextMonth || nextYear) << day;
            previous = d;
        }
    }
}

TEST(DayNumbers, InvalidDates) {
    EXPECT_FALSE(isValidCivilDate(2023, 2, 29));
    EXPECT_TRUE(isValidCivilDate(2024, 2, 29));
    EXPECT_FALSE(isValidCivilDate(1900, 2, 29));
    EXPECT_TRUE(isValidCivilDate(2000, 2, 29));
    EXPECT_TRUE(isValidCivilDate(0, 2, 29)) << "1 BC is a leap year";
    EXPECT_FALSE(isValidCivilDate(2023, 4, 31));
    EXPECT_FALSE(isValidCivilDate(2023, 13, 1));
    EXPECT_FALSE(isValidCivilDate(2023, 0, 1));
    EXPECT_FALSE(isValidCivilDate(2023, 1, 0));
    EXPECT_FALSE(isValidCivilDate(2023, 1, 32));
    EXPECT_TRUE(isValidCivilDate(2023, 12, 31));
}

FieldValue integerValue(std::int64_t v, ValueKind k) {
    FieldValue f;
    f.setInteger(v, k);
    return f;
}

FieldValue realValue(double v, ValueKind k) {
    FieldValue f;
    f.setReal(v, k);
    return f;
}

FieldValue textValue(const std::string& s, ValueKind k) {
    FieldValue f;
    f.setText(k);
    f.text = s;
    return f;
}

TEST(DumpValueText, EveryKind) {
    EXPECT_EQ(dumpValueText(FieldValue()), "\\N");
    EXPECT_EQ(dumpValueText(textValue("", ValueKind::String)), "");
    EXPECT_EQ(dumpValueText(textValue("Zürich, \"CH\"", ValueKind::String)), "Zürich, \"CH\"");
    EXPECT_EQ(dumpValueText(integerValue(-40, ValueKind::Integer)), "-40");
    EXPECT_EQ(dumpValueText(realValue(40, ValueKind::Float)), "40.0");
    EXPECT_EQ(dumpValueText(realValue(-0.0, ValueKind::Float)), "-0.0");
    EXPECT_EQ(dumpValueText(integerValue(123456, ValueKind::Currency)), "12.3456");
    EXPECT_EQ(dumpValueText(integerValue(1, ValueKind::Boolean)), "T");
    EXPECT_EQ(dumpValueText(integerValue(0, ValueKind::Boolean)), "F");
    EXPECT_EQ(dumpValueText(integerValue(728783, ValueKind::Date)), "1996-05-04");
    EXPECT_EQ(dumpValueText(integerValue(1, ValueKind::Date)), "0001-01-01");
    EXPECT_EQ(dumpValueText(integerValue(0, ValueKind::Date)), "0000-12-31");
    EXPECT_EQ(dumpValueText(integerValue(-366, ValueKind::Date)), "-0001-12-31");
    EXPECT_EQ(dumpValueText(integerValue(0, ValueKind::Time)), "00:00:00.000");
    EXPECT_EQ(dumpValueText(integerValue(40271000, ValueKind::Time)), "11:11:11.000");
    EXPECT_EQ(dumpValueText(integerValue(86399999, ValueKind::Time)), "23:59:59.999");
    EXPECT_EQ(dumpValueText(integerValue(-1, ValueKind::Time)).rfind("<invalid", 0), 0u);
    EXPECT_EQ(dumpValueText(integerValue(86400000, ValueKind::Time)).rfind("<invalid", 0), 0u);
    EXPECT_EQ(dumpValueText(realValue(719163.0 * 86400000 + 39600000, ValueKind::DateTime)), "1970-01-01T11:00:00.000");
    EXPECT_EQ(dumpValueText(realValue(719163.0 * 86400000 + 1.4, ValueKind::DateTime)), "1970-01-01T00:00:00.001");
    EXPECT_EQ(dumpValueText(realValue(-366.0 * 86400000 + 3600000, ValueKind::DateTime)), "-0001-12-31T01:00:00.000");
    EXPECT_EQ(dumpValueText(realValue(-1, ValueKind::DateTime)), "0000-12-30T23:59:59.999");
    EXPECT_EQ(dumpValueText(realValue(std::numeric_limits<double>::quiet_NaN(), ValueKind::DateTime)).rfind("<invalid", 0), 0u);
    EXPECT_EQ(dumpValueText(realValue(1e300, ValueKind::DateTime)).rfind("<invalid", 0), 0u);
    EXPECT_EQ(dumpValueText(textValue("-40.000000", ValueKind::Bcd)), "-40.000000");
    EXPECT_EQ(dumpValueText(textValue("abc", ValueKind::Binary)), "<binary 3 bytes sha1=a9993e364706816aba3e25717850c26c9cd0d89d>");
    EXPECT_EQ(dumpValueText(textValue("", ValueKind::Binary)), "<binary 0 bytes sha1=da39a3ee5e6b4b0d3255bfef95601890afd80709>");
    EXPECT_EQ(dumpValueText(textValue(std::string("\x00\xAB\xff", 3), ValueKind::Invalid)), "<invalid 00abff>");
    EXPECT_EQ(dumpValueText(textValue("", ValueKind::MissingBlob)), "<missing blob>");
}

TEST(DumpValueText, CsvQuotingOnlyWhereNeeded) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},         {"", ""},
        {"a,b", "\"a,b\""},         {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""}, {"lf\nonly", "\"lf\nonly\""},
        {"cr\ronly", "\"cr\ronly\""}, {" spaced ", " spaced "},
        {"\\N", "\\N"},
    };
    for (const auto& [field, written] : cases) {
        std::string line = "x,";
        appendCsvField(line, field);
        EXPECT_EQ(line, std::string("x,") + written) << field;
    }
}

// A dBase III table built byte by byte: one C(5) field, records with every kind of flag byte,
// then a record whose flag is the end-of-file mark.
TEST(DumpOfATable, DBaseFlagsAndTheEndOfFileMark) {
    std::vector<std::uint8_t> b(32, 0);
    b[0] = 0x03;
    b[1] = 124;  // 2024
    b[2] = 5;
    b[3] = 17;
    b[4] = 5;  // records in the header
    b[8] = 65;  // header length: 32 + one descriptor + 0x0D
    b[10] = 6;  // record length: flag + 5
    b[29] = 0x03;  // cp1252
    std::uint8_t field[32] = {'N', 'A', 'M', 'E'};
    field[11] = 'C';
    field[16] = 5;
    b.insert(b.end(), field, field + 32);
    b.push_back(0x0D);
    const std::string records[] = {" abc  ", "*del  ", "\xABodd  ", std::string("\0nul\xE9 ", 6), "\x1A" "eof  "};
    for (const std::string& r : records) b.insert(b.end(), r.begin(), r.end());
    auto t = openTableFile(std::make_unique<MemorySource>("flags.dbf", b), std::make_unique<MemoryFamily>(), TableFormat::DBase);
    EXPECT_EQ(test::dumpToString(*t), "_deleted,NAME\r\n,abc\r\n*,del\r\nflag=AB,odd\r\nflag=00,nulé\r\n");
    EXPECT_EQ(t->recordCount(), 3u) << "the deleted record is no record of the table";
    ASSERT_FALSE(t->warnings().empty());
    EXPECT_NE(t->warnings().back().find("end-of-file"), std::string::npos) << t->warnings().back();
}

// The dump of a table of many chunks (read in one thread, written in another; of a dBase table
// every third chunk decoded by the writing thread) is record for record the dump of each record
// decoded on its own: in order, deleted records and memos included.
TEST(DumpOfATable, ManyChunksGiveTheRecordsInOrder) {
    test::TempDir dir;
    std::mt19937 random(7);
    for (const TableFormat format : {TableFormat::DBase, TableFormat::Paradox}) {
        TableSpec spec;
        spec.format = format;
        spec.level = format == TableFormat::DBase ? 3 : 7;
        spec.fields = {ColumnSpec{"N", format == TableFormat::DBase ? 'N' : 'I', format == TableFormat::DBase ? 9 : 0, 0},
                       ColumnSpec{"T", format == TableFormat::DBase ? 'C' : 'A', 12, 0}, ColumnSpec{"D", 'D', 0, 0},
                       ColumnSpec{"M", 'M', format == TableFormat::DBase ? 0 : 11, 0}};
        for (int r = 0; r < 5000; ++r) {
            spec.records.push_back({tavrinth::integerValue(r), tavrinth::textValue(r % 7 ? "text, " + std::to_string(r) : std::string()),
                                    r % 5 ? dateValue(1990 + r % 30, 1 + r % 12, 1 + r % 28) : FieldValue(),
                                    r % 3 ? tavrinth::textValue("memo \"" + std::to_string(random()) + "\"") : FieldValue()});
            if (format == TableFormat::DBase) spec.deleted.push_back(r % 11 == 0);
        }
        const std::string path = dir.file(format == TableFormat::DBase ? "MANY.DBF" : "MANY.DB");
        createTable(path, spec);
        auto table = openTableFile(path, OpenOptions());
        auto* dbf = dynamic_cast<dbase::DBaseTable*>(table.get());
        std::string expected = dbf ? "_deleted,N,T,D,M\r\n" : "N,T,D,M\r\n";
        FieldValue value;
        const std::uint32_t records = dbf ? dbf->physicalCount() : table->recordCount();
        for (std::uint32_t r = 0; r < records; ++r) {
            const std::uint8_t* rec = dbf ? dbf->physicalRecord(r) : table->record(r);
            if (dbf && rec[0] == '*') expected += '*';
            for (std::size_t f = 0; f < 4; ++f) {
                if (dbf || f > 0) expected += ',';
                table->decode(rec, f, value);
                appendCsvField(expected, dumpValueText(value));
            }
            expected += "\r\n";
        }
        EXPECT_EQ(records, 5000u);
        EXPECT_EQ(test::dumpToString(*table), expected);
    }
}

// A table file whose reads fail from some moment on at and past an offset (a failing disk).
class FailingSource final : public ByteSource {
public:
    explicit FailingSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override {
        if (failFrom_ && offset + n > *failFrom_)
            throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read failing.tbl: Input/output error");
        const std::size_t k = offset < bytes_.size() ? std::min<std::size_t>(n, bytes_.size() - offset) : 0;
        std::memcpy(buf, bytes_.data() + offset, k);
        return k;
    }
    const std::string& name() const override { return name_; }
    void failFrom(std::uint64_t offset) { failFrom_ = offset; }

private:
    std::vector<std::uint8_t> bytes_;
    std::string name_ = "failing.tbl";
    std::optional<std::uint64_t> failFrom_;
};

// A read error in the middle of a table ends the dump with that error, after every record read
// before it, in order.
TEST(DumpOfATable, AReadErrorComesAfterTheRecordsReadBeforeIt) {
    test::TempDir dir;
    for (const TableFormat format : {TableFormat::DBase, TableFormat::Paradox}) {
        TableSpec spec;
        spec.format = format;
        spec.level = format == TableFormat::DBase ? 3 : 7;
        spec.fields = {ColumnSpec{"T", format == TableFormat::DBase ? 'C' : 'A', 20, 0}};
        for (int r = 0; r < 20000; ++r) spec.records.push_back({tavrinth::textValue("record " + std::to_string(r))});
        const std::string path = dir.file(format == TableFormat::DBase ? "FAIL.DBF" : "FAIL.DB");
        createTable(path, spec);
        const std::string bytes = test::readFile(path);
        auto source = std::make_unique<FailingSource>(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        FailingSource* failing = source.get();
        auto table = openTableFile(std::move(source), std::make_unique<MemoryFamily>(), format);
        failing->failFrom(bytes.size() * 2 / 3);
        std::string out;
        try {
            writeDump(*table, [&out](const std::string& piece) { out += piece; });
            ADD_FAILURE() << "the read error was not reported";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find("Input/output error"), std::string::npos);
        }
        // The header, then records 0, 1, 2 ... up to the last one the reader could read: all those
        // that lie before the failing offset but for one read (64 KB of dBase records, a block).
        const test::CsvResult csv = test::parseCsv(out);
        ASSERT_TRUE(csv.ok()) << csv.error;
        const std::size_t readable = (bytes.size() * 2 / 3 - 70000) / table->recordSize();
        ASSERT_GE(csv.records.size(), 1 + readable);
        ASSERT_LT(csv.records.size(), 20001u);
        for (std::size_t r = 1; r < csv.records.size(); ++r)
            ASSERT_EQ(csv.records[r].back(), "record " + std::to_string(r - 1)) << r;
    }
}

}  // namespace
