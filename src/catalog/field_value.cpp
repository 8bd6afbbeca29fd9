#include "field_value.h"

namespace tavrinth {

namespace {
// Days from 1970-01-01 to a civil date and back (H. Hinnant's algorithms), valid for all years.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilDate civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {y + (m <= 2), m, d};
}

// Day number of 1970-01-01.
constexpr std::int64_t kUnixEpochDay = 719163;
}  // namespace

CivilDate civilFromDayNumber(std::int64_t dayNumber) { return civilFromDays(dayNumber - kUnixEpochDay); }

std::int64_t dayNumberFromCivil(std::int64_t year, int month, int day) {
    return daysFromCivil(year, month, day) + kUnixEpochDay;
}

bool isValidCivilDate(std::int64_t year, int month, int day) {
    if (month < 1 || month > 12 || day < 1) return false;
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

namespace {
FieldValue withText(ValueKind kind, const std::string& text) {
    FieldValue v;
    v.setText(kind);
    v.text = text;
    return v;
}
std::int64_t millisecondsOfDay(int hour, int minute, int second, int millisecond) {
    return ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
}
}  // namespace

FieldValue textValue(const std::string& utf8) { return withText(ValueKind::String, utf8); }
FieldValue binaryValue(const std::string& bytes) { return withText(ValueKind::Binary, bytes); }
FieldValue bcdValue(const std::string& decimal) { return withText(ValueKind::Bcd, decimal); }

FieldValue integerValue(std::int64_t value) {
    FieldValue v;
    v.setInteger(value);
    return v;
}

FieldValue floatValue(double value) {
    FieldValue v;
    v.setReal(value);
    return v;
}

FieldValue booleanValue(bool value) {
    FieldValue v;
    v.setInteger(value ? 1 : 0, ValueKind::Boolean);
    return v;
}

FieldValue dateValue(std::int64_t year, int month, int day) {
    FieldValue v;
    v.setInteger(dayNumberFromCivil(year, month, day), ValueKind::Date);
    return v;
}

FieldValue timeValue(int hour, int minute, int second, int millisecond) {
    FieldValue v;
    v.setInteger(millisecondsOfDay(hour, minute, second, millisecond), ValueKind::Time);
    return v;
}

FieldValue dateTimeValue(std::int64_t year, int month, int day, int hour, int minute, int second, int millisecond) {
    FieldValue v;
    v.setReal(static_cast<double>(dayNumberFromCivil(year, month, day) * kMillisecondsPerDay +
                                  millisecondsOfDay(hour, minute, second, millisecond)),
              ValueKind::DateTime);
    return v;
}

}  // namespace tavrinth
