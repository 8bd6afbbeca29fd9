#include "value_text.h"

#include <charconv>
#include <cmath>

#include "number_text.h"
#include "sha1.h"

namespace tavrinth {

namespace {

// The first and last day of the years -999 999 and 999 999.
const std::int64_t kFirstDay = dayNumberFromCivil(-999999, 1, 1);
const std::int64_t kLastDay = dayNumberFromCivil(999999, 12, 31);

void appendTwo(std::string& s, std::int64_t v) {
    const char two[2] = {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
    s.append(two, 2);
}

void appendInteger(std::string& out, std::int64_t value) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void appendHex(std::string& s, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    for (const unsigned char c : bytes) {
        const char two[2] = {digits[c >> 4], digits[c & 0xF]};
        s.append(two, 2);
    }
}

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

void appendIsoDate(std::string& out, std::int64_t dayNumber) {
    const CivilDate c = civilFromDayNumber(dayNumber);
    std::int64_t year = c.year;
    if (year < 0) {
        out.push_back('-');
        year = -year;
    }
    if (year < 10000) {
        appendTwo(out, year / 100);
        appendTwo(out, year % 100);
    } else {
        appendInteger(out, year);
    }
    const char text[6] = {'-', static_cast<char>('0' + c.month / 10), static_cast<char>('0' + c.month % 10),
                          '-', static_cast<char>('0' + c.day / 10),   static_cast<char>('0' + c.day % 10)};
    out.append(text, 6);
}

void appendIsoTime(std::string& out, std::int64_t ms, Millis millis) {
    const auto h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, frac = ms % 1000;
    char text[12] = {static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10), ':',
                     static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), ':',
                     static_cast<char>('0' + s / 10), static_cast<char>('0' + s % 10), '.',
                     static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                     static_cast<char>('0' + frac % 10)};
    out.append(text, millis == Millis::Always || frac != 0 ? 12 : 8);
}

// --- the dump's form ------------------------------------------------------------------------------

void appendDumpValueText(std::string& out, const FieldValue& v) {
    switch (v.kind) {
        case ValueKind::Null: out += "\\N"; return;
        case ValueKind::String: case ValueKind::Bcd: out += v.text; return;
        case ValueKind::Integer: appendInteger(out, v.integer); return;
        case ValueKind::Float: appendShortestDoubleText(out, v.real); return;
        case ValueKind::Currency: out += scaledIntegerText(v.integer, 4); return;
        case ValueKind::Boolean: out.push_back(v.integer ? 'T' : 'F'); return;
        case ValueKind::Date:
            if (!dayNumberInRange(v.integer)) {
                out += "<invalid date ";
                appendInteger(out, v.integer);
                out.push_back('>');
                return;
            }
            appendIsoDate(out, v.integer);
            return;
        case ValueKind::Time:
            if (!timeOfDayInRange(v.integer)) {
                out += "<invalid time ";
                appendInteger(out, v.integer);
                out.push_back('>');
                return;
            }
            appendIsoTime(out, v.integer, Millis::Always);
            return;
        case ValueKind::DateTime: {
            std::int64_t day, ms;
            if (!splitTimestamp(v.real, day, ms)) {
                out += "<invalid timestamp>";
                return;
            }
            appendIsoDate(out, day);
            out.push_back('T');
            appendIsoTime(out, ms, Millis::Always);
            return;
        }
        case ValueKind::Binary:
            out += "<binary ";
            appendInteger(out, static_cast<std::int64_t>(v.text.size()));
            out += " bytes sha1=";
            out += sha1Hex(v.text);
            out.push_back('>');
            return;
        case ValueKind::Invalid:
            out += "<invalid ";
            appendHex(out, v.text);
            out.push_back('>');
            return;
        case ValueKind::MissingBlob: out += "<missing blob>"; return;
    }
}

std::string dumpValueText(const FieldValue& value) {
    std::string s;
    appendDumpValueText(s, value);
    return s;
}

// --- the form people read -------------------------------------------------------------------------

std::string displayValueText(const FieldValue& v) {
    std::string s;
    switch (v.kind) {
        case ValueKind::Null: break;
        case ValueKind::String: case ValueKind::Bcd: s = v.text; break;
        case ValueKind::Integer: appendInteger(s, v.integer); break;
        case ValueKind::Float: {
            char buf[40];
            s.assign(buf, std::to_chars(buf, buf + sizeof buf, v.real, std::chars_format::general, 15).ptr);
            break;
        }
        case ValueKind::Currency: s = scaledIntegerText(v.integer, 4); break;
        case ValueKind::Boolean: s = v.integer ? "True" : "False"; break;
        case ValueKind::Date:
            if (!dayNumberInRange(v.integer)) return "(invalid value)";
            appendIsoDate(s, v.integer);
            break;
        case ValueKind::Time:
            if (!timeOfDayInRange(v.integer)) return "(invalid value)";
            appendIsoTime(s, v.integer, Millis::WhenNotZero);
            break;
        case ValueKind::DateTime: {
            std::int64_t day, ms;
            if (!splitTimestamp(v.real, day, ms)) return "(invalid value)";
            appendIsoDate(s, day);
            s.push_back(' ');
            appendIsoTime(s, ms, Millis::WhenNotZero);
            break;
        }
        case ValueKind::Binary: s = "(Bytes)"; break;
        case ValueKind::Invalid: s = "(invalid value)"; break;
        case ValueKind::MissingBlob: s = "(missing)"; break;
    }
    return s;
}

}  // namespace tavrinth
