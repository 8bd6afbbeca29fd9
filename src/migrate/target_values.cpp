#include "target_values.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "number_text.h"
#include "value_text.h"

namespace tavrinth::migrate {

namespace {

constexpr std::int64_t kMaxExactDouble = std::int64_t{1} << 53;

// Day numbers of 1 January 0001 and 31 December 9999: the dates both targets keep as dates.
const std::int64_t kFirstDay = dayNumberFromCivil(1, 1, 1);
const std::int64_t kLastDay = dayNumberFromCivil(9999, 12, 31);

void put2(char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
}

std::size_t utf8Characters(const std::string& s) {
    std::size_t n = 0;
    for (const unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

bool isUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) { ++p; continue; }
        int more;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) { more = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { more = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { more = 3; cp = c & 0x07; }
        else return false;
        if (end - p <= more) return false;
        for (int k = 1; k <= more; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += more + 1;
    }
    return true;
}

bool integerFits(ColumnKind kind, std::int64_t v) {
    switch (kind) {
        case ColumnKind::Int16: return v >= -32768 && v <= 32767;
        case ColumnKind::Int32: return v >= INT32_MIN && v <= INT32_MAX;
        default: return true;
    }
}

const char* kindName(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Int16: return "a 16-bit integer";
        case ColumnKind::Int32: return "a 32-bit integer";
        default: return "a 64-bit integer";
    }
}

bool parseInt64(const std::string& s, std::int64_t& v) {
    const char* b = s.data();
    const char* e = b + s.size();
    if (b != e && *b == '+') ++b;
    const auto r = std::from_chars(b, e, v);
    return r.ec == std::errc() && r.ptr == e && b != e;
}

bool parseDouble(const std::string& s, double& v) {
    if (s == "Infinity" || s == "inf") { v = HUGE_VAL; return true; }
    if (s == "-Infinity" || s == "-inf") { v = -HUGE_VAL; return true; }
    if (s == "NaN" || s == "nan") { v = std::nan(""); return true; }
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

// Digits of a fixed width at p; -1 when they are not all digits.
int digitsAt(const std::string& s, std::size_t p, std::size_t n) {
    if (p + n > s.size()) return -1;
    int v = 0;
    for (std::size_t i = p; i < p + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYY-MM-DD" at the start of s: the day number, or false.
bool parseDateAt(const std::string& s, std::int64_t& day) {
    const int y = digitsAt(s, 0, 4), m = digitsAt(s, 5, 2), d = digitsAt(s, 8, 2);
    if (y < 0 || m < 0 || d < 0 || s[4] != '-' || s[7] != '-' || !isValidCivilDate(y, m, d)) return false;
    day = dayNumberFromCivil(y, m, d);
    return true;
}

// "HH:MM:SS[.fraction]" from position p to the end: milliseconds (the fraction rounded), or false.
bool parseTimeAt(const std::string& s, std::size_t p, std::int64_t& ms) {
    const int h = digitsAt(s, p, 2), mi = digitsAt(s, p + 3, 2), se = digitsAt(s, p + 6, 2);
    if (h < 0 || mi < 0 || se < 0 || s[p + 2] != ':' || s[p + 5] != ':') return false;
    double fraction = 0;
    std::size_t q = p + 8;
    if (q < s.size()) {
        if (s[q] != '.') return false;
        double scale = 0.1;
        for (++q; q < s.size(); ++q, scale /= 10) {
            if (s[q] < '0' || s[q] > '9') return false;
            fraction += (s[q] - '0') * scale;
        }
    }
    ms = (static_cast<std::int64_t>(h) * 3600 + mi * 60 + se) * 1000 + std::llround(fraction * 1000);
    return true;
}

}  // namespace

std::string dateText(std::int64_t dayNumber) {
    const CivilDate c = civilFromDayNumber(dayNumber);
    char b[10];
    put2(b, static_cast<int>(c.year / 100));
    put2(b + 2, static_cast<int>(c.year % 100));
    b[4] = '-';
    put2(b + 5, c.month);
    b[7] = '-';
    put2(b + 8, c.day);
    return std::string(b, 10);
}

std::string timeText(std::int64_t ms) {
    char b[12];
    const auto seconds = ms / 1000;
    put2(b, static_cast<int>(seconds / 3600));
    b[2] = ':';
    put2(b + 3, static_cast<int>(seconds / 60 % 60));
    b[5] = ':';
    put2(b + 6, static_cast<int>(seconds % 60));
    b[8] = '.';
    const int milli = static_cast<int>(ms % 1000);
    b[9] = static_cast<char>('0' + milli / 100);
    put2(b + 10, milli % 100);
    return std::string(b, 12);
}

bool plainDecimal(const std::string& text, std::string& out) {
    std::size_t p = 0;
    bool negative = false;
    if (p < text.size() && (text[p] == '-' || text[p] == '+')) negative = text[p++] == '-';
    std::string digits;  // all digits, the point at `point` of them
    std::int64_t point = -1;
    for (; p < text.size(); ++p) {
        const char c = text[p];
        if (c >= '0' && c <= '9') digits += c;
        else if (c == '.' && point < 0) point = static_cast<std::int64_t>(digits.size());
        else break;
    }
    if (digits.empty()) return false;
    if (point < 0) point = static_cast<std::int64_t>(digits.size());
    if (p < text.size()) {
        if (text[p] != 'e' && text[p] != 'E') return false;
        std::int64_t exponent = 0;
        std::string e = text.substr(p + 1);
        if (!parseInt64(e, exponent) || exponent > 400 || exponent < -400) return false;
        point += exponent;
    }
    // Pad so the point lies within the digits.
    if (point <= 0) {
        digits.insert(0, static_cast<std::size_t>(1 - point), '0');
        point = 1;
    } else if (point > static_cast<std::int64_t>(digits.size())) {
        digits.append(static_cast<std::size_t>(point) - digits.size(), '0');
    }
    std::string whole = digits.substr(0, static_cast<std::size_t>(point));
    std::string fraction = digits.substr(static_cast<std::size_t>(point));
    while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    const bool zero = whole == "0" && fraction.empty();
    out.clear();
    if (negative && !zero) out += '-';
    out += whole;
    if (!fraction.empty()) out += '.' + fraction;
    return true;
}

ColumnPlan columnForField(const FieldDef& f, TableFormat format, int position) {
    ColumnPlan c;
    c.name = f.name;
    c.field = position;
    const bool dbase = format == TableFormat::DBase;
    switch (f.dataType) {
        case ftString: case ftFixedChar: case ftWideString:
            c.kind = ColumnKind::Text;
            c.length = f.size > 0 ? f.size : 0;
            break;
        case ftMemo:
            c.kind = ColumnKind::Text;
            break;
        case ftSmallint: c.kind = ColumnKind::Int16; break;
        case ftInteger: case ftWord: c.kind = ColumnKind::Int32; break;
        case ftAutoInc: c.kind = ColumnKind::Int32; c.autoIncrement = true; break;
        case ftLargeint: c.kind = ColumnKind::Int64; break;
        case ftFloat:
            if (dbase && (f.typeLetter == 'N' || f.typeLetter == 'F')) {
                // Numbers kept as text: integers when they have no decimals and fit, else doubles,
                // and an exact decimal where a double could not hold every value of the width.
                if (f.decimals == 0 && f.length <= 9) c.kind = ColumnKind::Int32;
                else if (f.decimals == 0 && f.length <= 18) c.kind = ColumnKind::Int64;
                else if (f.length <= 15) c.kind = ColumnKind::Double;
                else c.kind = ColumnKind::Numeric;
            } else {
                c.kind = ColumnKind::Double;
            }
            break;
        case ftCurrency:
            if (dbase && f.typeLetter == 'Y') {
                c.kind = ColumnKind::Numeric;
                c.precision = 19;
                c.scale = 4;
            } else {
                c.kind = ColumnKind::Double;  // a Paradox money field is a double
            }
            break;
        case ftBCD:
            c.kind = ColumnKind::Numeric;
            c.precision = 32;
            c.scale = f.decimals;
            break;
        case ftBoolean: c.kind = ColumnKind::Bool; break;
        case ftDate: c.kind = ColumnKind::Date; break;
        case ftTime: c.kind = ColumnKind::Time; break;
        case ftDateTime: c.kind = ColumnKind::Timestamp; break;
        case ftUnknown:
            c.kind = ColumnKind::Bytes;
            c.rawBytes = true;
            break;
        default:  // bytes, BLOBs, graphics, OLE objects, formatted memos
            c.kind = ColumnKind::Bytes;
            break;
    }
    return c;
}

std::vector<ColumnPlan> columnsOf(const TableFile& t, const MigrateOptions& o) {
    auto fold = [&](std::string n) {
        if (o.lowerCaseNames)
            for (char& ch : n)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        return n;
    };
    std::vector<ColumnPlan> columns;
    if (t.format() == TableFormat::DBase && o.includeDeleted) {
        ColumnPlan d;
        d.name = "_deleted";
        d.kind = ColumnKind::Bool;
        columns.push_back(d);
    }
    std::set<std::string> taken;  // folded to lower case: SQLite's names ignore case
    auto lower = [](std::string n) {
        for (char& ch : n)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        return n;
    };
    if (!columns.empty()) taken.insert("_deleted");
    for (std::size_t i = 0; i < t.fields().size(); ++i) {
        ColumnPlan c = columnForField(t.fields()[i], t.format(), static_cast<int>(i));
        c.name = fold(c.name);
        // A name the table repeats gets a number: the second Point_ID is Point_ID_2.
        const std::string base = c.name;
        for (int k = 2; !taken.insert(lower(c.name)).second; ++k) c.name = base + "_" + std::to_string(k);
        columns.push_back(c);
    }
    return columns;
}

bool toOutValue(const ColumnPlan& c, const FieldValue& v, OutValue& out, std::string& why) {
    out.type = OutValue::Null;
    if (v.kind == ValueKind::Null) return true;
    if (v.kind == ValueKind::MissingBlob) {
        why = "the value is kept in a file that is missing";
        return false;
    }
    if (v.kind == ValueKind::Invalid && !(c.kind == ColumnKind::Bytes && c.rawBytes)) {
        why = "the stored bytes are no valid value (" + dumpValueText(v) + ")";
        return false;
    }
    auto mismatch = [&] {
        why = "the value " + dumpValueText(v) + " does not fit the column";
        return false;
    };
    switch (c.kind) {
        case ColumnKind::Text:
            if (v.kind != ValueKind::String) return mismatch();
            if (!isUtf8(v.text)) {
                why = "the text is no valid UTF-8";
                return false;
            }
            if (c.length > 0 && utf8Characters(v.text) > static_cast<std::size_t>(c.length)) {
                why = "the text is longer than " + std::to_string(c.length) + " characters";
                return false;
            }
            out.type = OutValue::Text;
            out.s = v.text;
            return true;
        case ColumnKind::Int16: case ColumnKind::Int32: case ColumnKind::Int64: {
            std::int64_t i;
            if (v.kind == ValueKind::Integer) {
                i = v.integer;
            } else if (v.kind == ValueKind::Float && std::isfinite(v.real) && std::trunc(v.real) == v.real &&
                       std::fabs(v.real) < 9.2e18 && !(v.real == 0 && std::signbit(v.real))) {
                i = static_cast<std::int64_t>(v.real);
            } else {
                return mismatch();
            }
            if (!integerFits(c.kind, i)) {
                why = "the value " + dumpValueText(v) + " does not fit " + kindName(c.kind);
                return false;
            }
            out.type = OutValue::Int;
            out.i = i;
            return true;
        }
        case ColumnKind::Double:
            if (v.kind == ValueKind::Float) {
                out.d = v.real;
            } else if (v.kind == ValueKind::Integer && v.integer >= -kMaxExactDouble && v.integer <= kMaxExactDouble) {
                out.d = static_cast<double>(v.integer);
            } else {
                return mismatch();
            }
            out.type = OutValue::Double;
            return true;
        case ColumnKind::Numeric: {
            std::string text;
            if (v.kind == ValueKind::Bcd || v.kind == ValueKind::Integer || v.kind == ValueKind::Currency ||
                (v.kind == ValueKind::Float && std::isfinite(v.real)))
                text = dumpValueText(v);
            else
                return mismatch();
            if (v.kind == ValueKind::Float && v.real == 0 && std::signbit(v.real)) return mismatch();  // -0.0
            std::string plain;
            if (!plainDecimal(text, plain)) return mismatch();
            if (c.precision > 0) {
                const std::size_t dot = plain.find('.');
                const std::size_t sign = plain[0] == '-' ? 1 : 0;
                const std::size_t whole = (dot == std::string::npos ? plain.size() : dot) - sign;
                const std::size_t fraction = dot == std::string::npos ? 0 : plain.size() - dot - 1;
                const bool zeroWhole = whole == 1 && plain[sign] == '0';
                if (fraction > static_cast<std::size_t>(c.scale) ||
                    (!zeroWhole && whole > static_cast<std::size_t>(c.precision - c.scale))) {
                    why = "the value " + text + " does not fit numeric(" + std::to_string(c.precision) + "," +
                          std::to_string(c.scale) + ")";
                    return false;
                }
            }
            out.type = OutValue::Text;
            out.s = std::move(plain);
            return true;
        }
        case ColumnKind::Bool:
            if (v.kind != ValueKind::Boolean) return mismatch();
            out.type = OutValue::Int;
            out.i = v.integer ? 1 : 0;
            return true;
        case ColumnKind::Date:
            if (v.kind != ValueKind::Date) return mismatch();
            if (v.integer < kFirstDay || v.integer > kLastDay) {
                why = "the date " + dumpValueText(v) + " lies outside the years 1 to 9999";
                return false;
            }
            out.type = OutValue::Text;
            out.i = v.integer;
            out.s = dateText(v.integer);
            return true;
        case ColumnKind::Time:
            if (v.kind != ValueKind::Time || !timeOfDayInRange(v.integer)) return mismatch();
            out.type = OutValue::Text;
            out.i = v.integer;
            out.s = timeText(v.integer);
            return true;
        case ColumnKind::Timestamp: {
            std::int64_t day, ms;
            if (v.kind != ValueKind::DateTime) return mismatch();
            if (!splitTimestamp(v.real, day, ms) || day < kFirstDay || day > kLastDay) {
                why = "the timestamp " + dumpValueText(v) + " lies outside the years 1 to 9999";
                return false;
            }
            out.type = OutValue::Text;
            out.i = day * kMillisecondsPerDay + ms;
            out.s = dateText(day) + ' ' + timeText(ms);
            return true;
        }
        case ColumnKind::Bytes:
            if (v.kind != ValueKind::Binary && v.kind != ValueKind::String && v.kind != ValueKind::Invalid)
                return mismatch();
            out.type = OutValue::Text;
            out.s = v.text;
            return true;
    }
    return mismatch();
}

FieldValue fromCell(const ColumnPlan& c, const Cell& cell, ValueKind hint) {
    FieldValue v;
    if (cell.null) return v;
    const std::string& s = cell.text;
    auto invalid = [&] {
        v.setText(ValueKind::Invalid);
        v.text = "target:" + s;
        return v;
    };
    switch (c.kind) {
        case ColumnKind::Text:
            v.setText(ValueKind::String);
            v.text = s;
            return v;
        case ColumnKind::Int16: case ColumnKind::Int32: case ColumnKind::Int64: {
            std::int64_t i;
            if (!parseInt64(s, i)) return invalid();
            if (hint == ValueKind::Float) v.setReal(static_cast<double>(i));
            else v.setInteger(i);
            return v;
        }
        case ColumnKind::Double: {
            double d;
            if (!parseDouble(s, d)) return invalid();
            if (hint == ValueKind::Integer && std::trunc(d) == d && std::fabs(d) <= static_cast<double>(kMaxExactDouble))
                v.setInteger(static_cast<std::int64_t>(d));
            else
                v.setReal(d);
            return v;
        }
        case ColumnKind::Numeric: {
            std::string plain;
            if (!plainDecimal(s, plain)) return invalid();
            if (hint == ValueKind::Bcd) {
                // BCD shows the field's decimals: the target's scale.
                std::string text = plain;
                const std::size_t dot = text.find('.');
                std::size_t fraction = dot == std::string::npos ? 0 : text.size() - dot - 1;
                if (c.scale > 0 && dot == std::string::npos) text += '.';
                for (; fraction < static_cast<std::size_t>(c.scale); ++fraction) text += '0';
                v.setText(ValueKind::Bcd);
                v.text = text;
                return v;
            }
            if (hint == ValueKind::Currency) {
                // An exact decimal of at most 4 decimals, scaled by 10 000.
                const std::size_t dot = plain.find('.');
                std::string digits = dot == std::string::npos ? plain : plain.substr(0, dot) + plain.substr(dot + 1);
                std::size_t fraction = dot == std::string::npos ? 0 : plain.size() - dot - 1;
                if (fraction > 4) return invalid();
                digits.append(4 - fraction, '0');
                std::int64_t scaled;
                if (!parseInt64(digits, scaled)) return invalid();
                v.setInteger(scaled, ValueKind::Currency);
                return v;
            }
            std::int64_t i;
            if (hint == ValueKind::Integer && plain.find('.') == std::string::npos && parseInt64(plain, i)) {
                v.setInteger(i);
                return v;
            }
            double d;
            if (!parseDouble(plain, d)) return invalid();
            v.setReal(d);
            return v;
        }
        case ColumnKind::Bool:
            if (s == "1" || s == "t" || s == "true") v.setInteger(1, ValueKind::Boolean);
            else if (s == "0" || s == "f" || s == "false") v.setInteger(0, ValueKind::Boolean);
            else return invalid();
            return v;
        case ColumnKind::Date: {
            std::int64_t day;
            if (s.size() != 10 || !parseDateAt(s, day)) return invalid();
            v.setInteger(day, ValueKind::Date);
            return v;
        }
        case ColumnKind::Time: {
            std::int64_t ms;
            if (!parseTimeAt(s, 0, ms)) return invalid();
            v.setInteger(ms, ValueKind::Time);
            return v;
        }
        case ColumnKind::Timestamp: {
            std::int64_t day, ms;
            if (s.size() < 19 || (s[10] != ' ' && s[10] != 'T') || !parseDateAt(s, day) || !parseTimeAt(s, 11, ms))
                return invalid();
            v.setReal(static_cast<double>(day * kMillisecondsPerDay + ms), ValueKind::DateTime);
            return v;
        }
        case ColumnKind::Bytes:
            v.setText(hint == ValueKind::String || hint == ValueKind::Invalid ? hint : ValueKind::Binary);
            v.text = s;
            return v;
    }
    return invalid();
}

}  // namespace tavrinth::migrate
