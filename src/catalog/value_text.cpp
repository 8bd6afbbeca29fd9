#include "value_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "number_text.h"
#include "sha1.h"

namespace tavrinth {

namespace {

// The last day of the year 999 999 (the days of the years 1 to 999 999), and the first day of the
// year -999 999: a million years, 2 500 Gregorian cycles of 146 097 days, before 1 January 0001.
constexpr std::int64_t kLastDay = 365 * 999999LL + 999999 / 4 - 999999 / 100 + 999999 / 400;
constexpr std::int64_t kFirstDay = 1 - 2500 * 146097LL;

}  // namespace

bool dayNumberInRange(std::int64_t dayNumber) { return dayNumber >= kFirstDay && dayNumber <= kLastDay; }

bool timeOfDayInRange(std::int64_t ms) { return ms >= 0 && ms < kMillisecondsPerDay; }

bool splitTimestamp(double timestamp, std::int64_t& dayNumber, std::int64_t& msOfDay) {
    // Checked as a double first: out of range, the conversion to an integer is undefined.
    const double rounded = std::round(timestamp);
    if (!(rounded >= static_cast<double>(kFirstDay) * kMillisecondsPerDay &&
          rounded < static_cast<double>(kLastDay + 1) * kMillisecondsPerDay))
        return false;  // also NaN
    const auto ms = static_cast<std::int64_t>(rounded);
    std::int64_t days = ms / kMillisecondsPerDay, rest = ms % kMillisecondsPerDay;
    if (rest < 0) {
        rest += kMillisecondsPerDay;
        --days;
    }
    dayNumber = days;
    msOfDay = rest;
    return true;
}

namespace {

char* writeTwo(char* out, std::int64_t v) {
    out[0] = static_cast<char>('0' + v / 10);
    out[1] = static_cast<char>('0' + v % 10);
    return out + 2;
}

char* copyText(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}
template <std::size_t N>
char* copyText(char* out, const char (&text)[N]) {
    return copyText(out, text, N - 1);
}

// YYYY-MM-DD: at most 1 + 20 + 6 bytes.
char* writeIsoDate(char* out, std::int64_t dayNumber) {
    const CivilDate c = civilFromDayNumber(dayNumber);
    std::int64_t year = c.year;
    if (year < 0) {
        *out++ = '-';
        year = -year;
    }
    if (year < 10000) {
        out = writeTwo(out, year / 100);
        out = writeTwo(out, year % 100);
    } else {
        out = std::to_chars(out, out + 20, year).ptr;
    }
    *out++ = '-';
    out = writeTwo(out, c.month);
    *out++ = '-';
    return writeTwo(out, c.day);
}

// Whether the milliseconds of a time are written: always (.000 too), or only when not 0.
enum class Millis : std::uint8_t { Always, WhenNotZero };

// HH:MM:SS[.mmm]: at most 12 bytes.
char* writeIsoTime(char* out, std::int64_t ms, Millis millis) {
    out = writeTwo(out, ms / 3600000);
    *out++ = ':';
    out = writeTwo(out, ms / 60000 % 60);
    *out++ = ':';
    out = writeTwo(out, ms / 1000 % 60);
    const std::int64_t frac = ms % 1000;
    if (millis == Millis::Always || frac != 0) {
        *out++ = '.';
        *out++ = static_cast<char>('0' + frac / 100);
        out = writeTwo(out, frac % 100);
    }
    return out;
}

char* writeInteger(char* out, std::int64_t value) { return std::to_chars(out, out + 20, value).ptr; }

bool needsCsvQuotes(const std::string& text) {
    for (const char c : text)
        if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
    return false;
}

constexpr std::size_t kMarkerRoom = 64;  // the markers, a number, a date, a time, a double

}  // namespace

// --- the dump's form ------------------------------------------------------------------------------

std::size_t dumpValueTextBound(const FieldValue& v) {
    switch (v.kind) {
        case ValueKind::String: case ValueKind::Bcd: return 2 * v.text.size() + 2;
        case ValueKind::Invalid: return 2 * v.text.size() + kMarkerRoom;
        case ValueKind::Binary: return 2 * kMarkerRoom;
        default: return kMarkerRoom;
    }
}

char* writeDumpValueText(char* out, const FieldValue& v, bool csv) {
    switch (v.kind) {
        case ValueKind::Null: return copyText(out, "\\N");
        case ValueKind::String: case ValueKind::Bcd:
            if (!csv || !needsCsvQuotes(v.text)) return copyText(out, v.text.data(), v.text.size());
            *out++ = '"';
            for (const char c : v.text) {
                if (c == '"') *out++ = '"';
                *out++ = c;
            }
            *out++ = '"';
            return out;
        case ValueKind::Integer: return writeInteger(out, v.integer);
        case ValueKind::Float: return writeShortestDoubleText(out, v.real);
        case ValueKind::Currency: {
            const std::string text = scaledIntegerText(v.integer, 4);
            return copyText(out, text.data(), text.size());
        }
        case ValueKind::Boolean: *out++ = v.integer ? 'T' : 'F'; return out;
        case ValueKind::Date:
            if (!dayNumberInRange(v.integer)) {
                out = writeInteger(copyText(out, "<invalid date "), v.integer);
                *out++ = '>';
                return out;
            }
            return writeIsoDate(out, v.integer);
        case ValueKind::Time:
            if (!timeOfDayInRange(v.integer)) {
                out = writeInteger(copyText(out, "<invalid time "), v.integer);
                *out++ = '>';
                return out;
            }
            return writeIsoTime(out, v.integer, Millis::Always);
        case ValueKind::DateTime: {
            std::int64_t day, ms;
            if (!splitTimestamp(v.real, day, ms)) return copyText(out, "<invalid timestamp>");
            out = writeIsoDate(out, day);
            *out++ = 'T';
            return writeIsoTime(out, ms, Millis::Always);
        }
        case ValueKind::Binary: {
            out = writeInteger(copyText(out, "<binary "), static_cast<std::int64_t>(v.text.size()));
            out = copyText(out, " bytes sha1=");
            const std::string digest = sha1Hex(v.text);
            out = copyText(out, digest.data(), digest.size());
            *out++ = '>';
            return out;
        }
        case ValueKind::Invalid: {
            static const char digits[] = "0123456789abcdef";
            out = copyText(out, "<invalid ");
            for (const unsigned char c : v.text) {
                *out++ = digits[c >> 4];
                *out++ = digits[c & 0xF];
            }
            *out++ = '>';
            return out;
        }
        case ValueKind::MissingBlob: return copyText(out, "<missing blob>");
    }
    return out;
}

std::string dumpValueText(const FieldValue& value) {
    std::string s(dumpValueTextBound(value), '\0');
    s.resize(static_cast<std::size_t>(writeDumpValueText(s.data(), value, false) - s.data()));
    return s;
}

// --- the form people read -------------------------------------------------------------------------

std::string displayValueText(const FieldValue& v) {
    char text[64];
    char* end = text;
    switch (v.kind) {
        case ValueKind::Null: break;
        case ValueKind::String: case ValueKind::Bcd: return v.text;
        case ValueKind::Integer: end = writeInteger(text, v.integer); break;
        case ValueKind::Float:
            end = std::to_chars(text, text + sizeof text, v.real, std::chars_format::general, 15).ptr;
            break;
        case ValueKind::Currency: return scaledIntegerText(v.integer, 4);
        case ValueKind::Boolean: return v.integer ? "True" : "False";
        case ValueKind::Date:
            if (!dayNumberInRange(v.integer)) return "(invalid value)";
            end = writeIsoDate(text, v.integer);
            break;
        case ValueKind::Time:
            if (!timeOfDayInRange(v.integer)) return "(invalid value)";
            end = writeIsoTime(text, v.integer, Millis::WhenNotZero);
            break;
        case ValueKind::DateTime: {
            std::int64_t day, ms;
            if (!splitTimestamp(v.real, day, ms)) return "(invalid value)";
            end = writeIsoDate(text, day);
            *end++ = ' ';
            end = writeIsoTime(end, ms, Millis::WhenNotZero);
            break;
        }
        case ValueKind::Binary: return "(Bytes)";
        case ValueKind::Invalid: return "(invalid value)";
        case ValueKind::MissingBlob: return "(missing)";
    }
    return std::string(text, end);
}

}  // namespace tavrinth
