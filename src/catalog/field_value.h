#pragma once
// One decoded field value, in the engine's logical form.

#include <cstdint>
#include <string>

namespace tavrinth {

enum class ValueKind : std::uint8_t {
    Null,         // blank / NULL
    String,       // text: UTF-8 in `text`
    Integer,      // `integer`
    Float,        // `real`
    Currency,     // `integer` = value x 10 000 (FoxPro currency)
    Boolean,      // `integer` 0 or 1
    Date,         // `integer` = day number, 1 January 0001 = day 1 (proleptic Gregorian)
    Time,         // `integer` = milliseconds since midnight
    DateTime,     // `real` = milliseconds since 31 December 0000 00:00 (day number x 86 400 000 + ms)
    Bcd,          // `text` = the decimal number ("-40.000000"), digits as stored
    Binary,       // `text` = the bytes
    Invalid,      // `text` = the stored bytes, which are no valid value of the field's type
    MissingBlob,  // a value kept in a companion file that is not there
};

struct FieldValue {
    ValueKind kind = ValueKind::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;

    bool isNull() const { return kind == ValueKind::Null; }
    void setNull() { kind = ValueKind::Null; text.clear(); }
    void setInteger(std::int64_t v, ValueKind k = ValueKind::Integer) {
        kind = k;
        integer = v;
    }
    void setReal(double v, ValueKind k = ValueKind::Float) {
        kind = k;
        real = v;
    }
    // For Binary, Invalid and String: `text` is filled by the caller after this.
    void setText(ValueKind k) {
        kind = k;
        text.clear();
    }
};

// Calendar helpers for day numbers (1 January 0001 = 1).
struct CivilDate {
    std::int64_t year;  // astronomical: 0 is 1 BC
    int month;          // 1..12
    int day;            // 1..31
};
CivilDate civilFromDayNumber(std::int64_t dayNumber);
std::int64_t dayNumberFromCivil(std::int64_t year, int month, int day);
bool isValidCivilDate(std::int64_t year, int month, int day);

inline constexpr std::int64_t kMillisecondsPerDay = 86400000;

// Values built from their parts (for the writer's records and the checks it writes).
FieldValue textValue(const std::string& utf8);
FieldValue binaryValue(const std::string& bytes);
FieldValue bcdValue(const std::string& decimal);
FieldValue integerValue(std::int64_t value);
FieldValue floatValue(double value);
FieldValue booleanValue(bool value);
FieldValue dateValue(std::int64_t year, int month, int day);
FieldValue timeValue(int hour, int minute, int second, int millisecond = 0);
FieldValue dateTimeValue(std::int64_t year, int month, int day, int hour, int minute, int second, int millisecond = 0);

}  // namespace tavrinth
