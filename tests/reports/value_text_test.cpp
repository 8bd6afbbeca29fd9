// The text of validity-check values as the structure reports show them.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "byte_order.h"
#include "engine_api.h"
#include "engine_error.h"
#include "field_types.h"
#include "field_value.h"
#include "validity_checks.h"

using namespace tavrinth;

namespace {

struct Area {
    std::uint8_t bytes[256] = {};
};

Area int16Area(std::int16_t v) {
    Area a;
    storeLE16(a.bytes, static_cast<std::uint16_t>(v));
    return a;
}
Area int32Area(std::int32_t v) {
    Area a;
    storeLE32(a.bytes, static_cast<std::uint32_t>(v));
    return a;
}
Area doubleArea(double v) {
    Area a;
    storeLE64(a.bytes, doubleToBits(v));
    return a;
}
Area textArea(const char* text, std::size_t n) {
    Area a;
    std::memcpy(a.bytes, text, n);
    return a;
}

std::string text(const Area& a, std::uint16_t code, const std::string& sep = ".") {
    return NativeValueText(a.bytes, code, sep);
}

DBIDATE date(int y, int m, int d) { return static_cast<DBIDATE>(dayNumberFromCivil(y, m, d)); }
DBITIME time(int h, int m, int s, int ms = 0) { return ((h * 60 + m) * 60 + s) * 1000 + ms; }

}  // namespace

TEST(NativeValueText, StringsEndAtTheFirstZeroByte) {
    EXPECT_EQ(text(textArea("NONE", 5), fld::ZSTRING), "NONE");
    EXPECT_EQ(text(textArea("AB\0CD", 6), fld::ZSTRING), "AB");
    EXPECT_EQ(text(textArea("", 1), fld::ZSTRING), "");
    // A full area without a terminator gives all 256 bytes.
    Area full;
    std::memset(full.bytes, 'x', sizeof full.bytes);
    EXPECT_EQ(text(full, fld::ZSTRING), std::string(256, 'x'));
}

TEST(NativeValueText, DatesAreMonthDayYearAndNegativeIsToday) {
    EXPECT_EQ(text(int32Area(date(1999, 12, 31)), fld::DATE), "12/31/1999");
    EXPECT_EQ(text(int32Area(date(2001, 3, 5)), fld::DATE), "3/5/2001");
    EXPECT_EQ(text(int32Area(date(1990, 1, 1)), fld::DATE), "1/1/1990");
    EXPECT_EQ(text(int32Area(1), fld::DATE), "1/1/1");
    EXPECT_EQ(text(int32Area(-1), fld::DATE), "TODAY");
    EXPECT_EQ(text(int32Area(std::numeric_limits<std::int32_t>::min()), fld::DATE), "TODAY");
}

TEST(NativeValueText, BooleansAndIntegers) {
    Area t;
    t.bytes[0] = 1;
    EXPECT_EQ(text(t, fld::BOOL), "True");
    t.bytes[0] = 0x80;
    EXPECT_EQ(text(t, fld::BOOL), "True");
    EXPECT_EQ(text(Area(), fld::BOOL), "False");
    EXPECT_EQ(text(int16Area(-5), fld::INT16), "-5");
    EXPECT_EQ(text(int16Area(-100), fld::INT16), "-100");
    EXPECT_EQ(text(int16Area(-1), fld::UINT16), "65535");
    EXPECT_EQ(text(int32Area(-2147483647 - 1), fld::INT32), "-2147483648");
    EXPECT_EQ(text(int32Area(40), fld::INT32), "40");
    // 32-bit unsigned values above 2^31 stay positive.
    EXPECT_EQ(text(int32Area(-1), fld::UINT32), "4294967295");
    EXPECT_EQ(text(int32Area(static_cast<std::int32_t>(0x80000000u)), fld::UINT32), "2147483648");
}

TEST(NativeValueText, FloatsInTheGeneralFormat) {
    EXPECT_EQ(text(doubleArea(2.5), fld::FLOAT), "2.5");
    EXPECT_EQ(text(doubleArea(2.5), fld::FLOAT, ","), "2,5");
    EXPECT_EQ(text(doubleArea(1234.5), fld::FLOAT), "1234.5");
    EXPECT_EQ(text(doubleArea(1e20), fld::FLOAT), "1E20");
    EXPECT_EQ(text(doubleArea(0.000001), fld::FLOAT), "1E-6");
    EXPECT_EQ(text(doubleArea(2.5e-7), fld::FLOAT), "2.5E-7");
    EXPECT_EQ(text(doubleArea(0.00001), fld::FLOAT), "0.00001");
    EXPECT_EQ(text(doubleArea(0), fld::FLOAT), "0");
    EXPECT_EQ(text(doubleArea(-40), fld::FLOAT), "-40");
    EXPECT_EQ(text(doubleArea(0.1), fld::FLOAT), "0.1");
    EXPECT_EQ(text(doubleArea(1.0 / 3), fld::FLOAT), "0.333333333333333");
    EXPECT_EQ(text(doubleArea(123456789012345.0), fld::FLOAT), "123456789012345");
    EXPECT_EQ(text(doubleArea(1234567890123456.0), fld::FLOAT), "1.23456789012346E15");
    EXPECT_EQ(text(doubleArea(-1.5e300), fld::FLOAT), "-1.5E300");
}

TEST(NativeValueText, TimesOnTheTwelveHourClock) {
    EXPECT_EQ(text(int32Area(time(13, 5, 9)), fld::TIME), "1:5:9 PM");
    EXPECT_EQ(text(int32Area(time(12, 0, 0)), fld::TIME), "0:0:0 PM");
    EXPECT_EQ(text(int32Area(time(0, 30, 0)), fld::TIME), "0:30:0 AM");
    EXPECT_EQ(text(int32Area(time(11, 59, 59)), fld::TIME), "11:59:59 AM");
    EXPECT_EQ(text(int32Area(time(23, 0, 0)), fld::TIME), "11:0:0 PM");
    EXPECT_EQ(text(int32Area(time(9, 5, 3, 999)), fld::TIME), "9:5:3 AM");
    EXPECT_EQ(text(int32Area(-1), fld::TIME), "NOW");
}

TEST(NativeValueText, TimestampsJoinDateAndTime) {
    const double ts = static_cast<double>(date(1999, 12, 31)) * 86400000.0 + time(23, 59, 59);
    EXPECT_EQ(text(doubleArea(ts), fld::TIMESTAMP), "12/31/1999 @ 11:59:59 PM");
    const double morning = static_cast<double>(date(2001, 3, 5)) * 86400000.0 + time(0, 0, 1);
    EXPECT_EQ(text(doubleArea(morning), fld::TIMESTAMP), "3/5/2001 @ 0:0:1 AM");
    EXPECT_EQ(text(doubleArea(0), fld::TIMESTAMP), "NOW");
}

TEST(NativeValueText, TypesWithoutTextGiveNothing) {
    for (std::uint16_t code : {0, 3, 8, 9, 14, 15, 24, 0xFFFF})
        EXPECT_EQ(text(int32Area(12345), code), "") << "code " << code;
}

TEST(NativeValueText, UndecodableValuesRaiseEngineErrors) {
    EXPECT_THROW(text(int32Area(86400000), fld::TIME), EDBEngineError);
    EXPECT_THROW(text(doubleArea(std::numeric_limits<double>::infinity()), fld::TIMESTAMP), EDBEngineError);
}

TEST(EngineDecoders, DateTimeAndTimestampDecoding) {
    std::uint16_t m = 0, d = 0, h = 0, mi = 0, ms = 0;
    std::int16_t y = 0;
    ASSERT_EQ(DbiDateDecode(1, m, d, y), DBIERR_NONE);
    EXPECT_EQ(y, 1);
    EXPECT_EQ(m, 1);
    EXPECT_EQ(d, 1);
    ASSERT_EQ(DbiDateDecode(728783, m, d, y), DBIERR_NONE);  // 4 May 1996
    EXPECT_EQ(y, 1996);
    EXPECT_EQ(m, 5);
    EXPECT_EQ(d, 4);
    ASSERT_EQ(DbiTimeDecode(time(13, 5, 9, 250), h, mi, ms), DBIERR_NONE);
    EXPECT_EQ(h, 13);
    EXPECT_EQ(mi, 5);
    EXPECT_EQ(ms, 9250);
    EXPECT_NE(DbiTimeDecode(-1, h, mi, ms), DBIERR_NONE);
    DBIDATE dd = 0;
    DBITIME tt = 0;
    ASSERT_EQ(DbiTimeStampDecode(728783.0 * 86400000.0 + 3723004, dd, tt), DBIERR_NONE);
    EXPECT_EQ(dd, 728783);
    EXPECT_EQ(tt, 3723004);
    // Before 1 January 0001 the day still comes out whole and the time of day positive.
    ASSERT_EQ(DbiTimeStampDecode(-1000.0, dd, tt), DBIERR_NONE);
    EXPECT_EQ(dd, -1);
    EXPECT_EQ(tt, 86399000);
}
