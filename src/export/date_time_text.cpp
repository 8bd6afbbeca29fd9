#include "date_time_text.h"

#include <algorithm>
#include <cstring>

#include <QDate>
#include <QTime>

#include "field_value.h"

namespace tavrinth {

namespace {

// The Julian day of the day before 1 January 0001 (Gregorian): day number + this = Julian day.
constexpr std::int64_t kJulianDayOffset = 1721425;

std::string utf8(const QString& s) { return s.toStdString(); }

int repeatCount(const QString& format, int i) {
    int n = 1;
    while (i + n < format.size() && format[i + n] == format[i]) ++n;
    return n;
}

// A quoted part starting at format[i] == '\''; `i` is left after it. "''" gives one quote.
QString readQuoted(const QString& format, int& i) {
    ++i;
    if (i == format.size()) return QString();
    if (format[i] == QLatin1Char('\'')) {
        ++i;
        return QStringLiteral("'");
    }
    QString out;
    while (i < format.size()) {
        if (format[i] == QLatin1Char('\'')) {
            if (i + 1 < format.size() && format[i + 1] == QLatin1Char('\'')) {
                out += QLatin1Char('\'');
                i += 2;
            } else {
                break;
            }
        } else {
            out += format[i++];
        }
    }
    if (i < format.size()) ++i;
    return out;
}

// Qt writes 12-hour times when the format holds an unquoted 'a' or 'A' anywhere.
bool hasAmPm(const QString& format) {
    for (int i = 0; i < format.size();) {
        if (format[i] == QLatin1Char('\'')) {
            readQuoted(format, i);
            continue;
        }
        if (format[i] == QLatin1Char('a') || format[i] == QLatin1Char('A')) return true;
        ++i;
    }
    return false;
}

}  // namespace

DateTimeText::DateTimeText(const QLocale& locale, const QString& format, Kind kind)
    : locale_(locale), format_(format), kind_(kind) {
    for (int d = 0; d < 10; ++d) digits_[d] = utf8(locale_.toString(d));
    asciiDigits_ = true;
    for (int d = 0; d < 10; ++d) asciiDigits_ = asciiDigits_ && digits_[d] == std::string(1, static_cast<char>('0' + d));
    parse(format);
    if (!useQt_ && !agreesWithQt()) useQt_ = true;
    if (kind_ == Kind::Date && !useQt_ && asciiDigits_) prepareWriteDate();
}

void DateTimeText::prepareWriteDate() {
    std::size_t bound = 16;  // a text's 16 bytes copied at the end
    for (const Piece& p : pieces_) {
        WritePiece w{p.part, {}};
        auto add = [&w](const std::string& text) {
            ShortText t{};
            if (text.size() > sizeof t.text) return false;
            std::memcpy(t.text, text.data(), text.size());
            t.length = static_cast<std::uint8_t>(text.size());
            w.texts.push_back(t);
            return true;
        };
        std::size_t longest = p.part == Part::Year4 ? 4 : 2;
        if (p.part == Part::Literal) {
            if (!add(p.text)) return;
            longest = p.text.size();
        }
        for (const std::string& name : p.names) {
            if (!add(name)) return;
            longest = std::max(longest, name.size());
        }
        bound += longest;
        writePieces_.push_back(std::move(w));
    }
    writeDateBound_ = bound;
}

void DateTimeText::parse(const QString& format) {
    twelveHour_ = kind_ == Kind::Time && hasAmPm(format);
    auto literal = [this](const QString& text) {
        if (text.isEmpty()) return;
        if (!pieces_.empty() && pieces_.back().part == Part::Literal)
            pieces_.back().text += utf8(text);
        else
            pieces_.push_back({Part::Literal, utf8(text), {}});
    };
    auto named = [this](Part part, std::vector<std::string> names) { pieces_.push_back({part, {}, std::move(names)}); };
    auto plain = [this](Part part) { pieces_.push_back({part, {}, {}}); };

    for (int i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            literal(readQuoted(format, i));
            continue;
        }
        int repeat = repeatCount(format, i);
        bool used = false;
        if (kind_ == Kind::Date) {
            switch (c.unicode()) {
                case 'y':
                    if (repeat >= 4) {
                        repeat = 4;
                        plain(Part::Year4);
                        used = true;
                    } else if (repeat >= 2) {
                        repeat = 2;
                        plain(Part::Year2);
                        used = true;
                    } else {
                        repeat = 1;
                    }
                    break;
                case 'M': {
                    repeat = std::min(repeat, 4);
                    used = true;
                    if (repeat <= 2) {
                        plain(repeat == 1 ? Part::Month : Part::Month2);
                    } else {
                        const QString token(repeat, c);
                        std::vector<std::string> names;
                        for (int m = 1; m <= 12; ++m) names.push_back(utf8(locale_.toString(QDate(2001, m, 1), token)));
                        named(Part::MonthName, std::move(names));
                    }
                    break;
                }
                case 'd': {
                    repeat = std::min(repeat, 4);
                    used = true;
                    if (repeat <= 2) {
                        plain(repeat == 1 ? Part::Day : Part::Day2);
                    } else {
                        const QString token(repeat, c);
                        std::vector<std::string> names;  // 1 January 2001 was a Monday
                        for (int d = 1; d <= 7; ++d) names.push_back(utf8(locale_.toString(QDate(2001, 1, d), token)));
                        named(Part::DayName, std::move(names));
                    }
                    break;
                }
                default: break;
            }
        } else {
            switch (c.unicode()) {
                case 'h':  // 12-hour when the format has AM/PM anywhere
                    repeat = std::min(repeat, 2);
                    used = true;
                    plain(repeat == 1 ? Part::Hour : Part::Hour2);
                    break;
                case 'H':
                    repeat = std::min(repeat, 2);
                    used = true;
                    plain(repeat == 1 ? Part::Hour24 : Part::Hour24_2);
                    break;
                case 'm':
                    repeat = std::min(repeat, 2);
                    used = true;
                    plain(repeat == 1 ? Part::Minute : Part::Minute2);
                    break;
                case 's':
                    repeat = std::min(repeat, 2);
                    used = true;
                    plain(repeat == 1 ? Part::Second : Part::Second2);
                    break;
                case 'z':
                    repeat = repeat >= 3 ? 3 : 1;
                    used = true;
                    plain(repeat == 1 ? Part::Millis : Part::Millis3);
                    break;
                case 'a': case 'A': {
                    const bool withP = i + 1 < format.size() && format[i + 1].toLower() == QLatin1Char('p');
                    repeat = withP ? 2 : 1;
                    used = true;
                    const QString token = format.mid(i, repeat);
                    named(Part::AmPm, {utf8(locale_.toString(QTime(1, 0), token)), utf8(locale_.toString(QTime(13, 0), token))});
                    break;
                }
                case 't':  // a time zone: values carry none; leave such a format to Qt
                    useQt_ = true;
                    break;
                default: break;
            }
        }
        if (!used) literal(QString(repeat, c));
        i += repeat;
    }
}

void DateTimeText::appendNumber(std::string& out, std::int64_t value, int minDigits) const {
    char buf[24];
    int n = 0;
    const bool negative = value < 0;
    std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        buf[n++] = static_cast<char>(v % 10);
        v /= 10;
    } while (v > 0);
    if (asciiDigits_) {
        char text[48];
        int t = 0;
        if (negative) text[t++] = '-';
        for (int k = n; k < minDigits; ++k) text[t++] = '0';
        while (n > 0) text[t++] = static_cast<char>('0' + buf[--n]);
        out.append(text, static_cast<std::size_t>(t));
        return;
    }
    if (negative) out += '-';
    for (int k = n; k < minDigits; ++k) out += digits_[0];
    while (n > 0) out += digits_[static_cast<int>(buf[--n])];
}

void DateTimeText::appendDateParts(std::string& out, std::int64_t dayNumber) const {
    const CivilDate c = civilFromDayNumber(dayNumber);
    const std::int64_t year = c.year <= 0 ? c.year - 1 : c.year;  // Qt has no year 0
    std::int64_t dow = (dayNumber - 1) % 7;                          // day 1 was a Monday
    if (dow < 0) dow += 7;
    for (const Piece& p : pieces_) {
        switch (p.part) {
            case Part::Literal: out += p.text; break;
            case Part::Year4: appendNumber(out, year, 4); break;
            case Part::Year2: appendNumber(out, year % 100, 2); break;
            case Part::Day: appendNumber(out, c.day, 1); break;
            case Part::Day2: appendNumber(out, c.day, 2); break;
            case Part::DayName: out += p.names[static_cast<std::size_t>(dow)]; break;
            case Part::Month: appendNumber(out, c.month, 1); break;
            case Part::Month2: appendNumber(out, c.month, 2); break;
            case Part::MonthName: out += p.names[static_cast<std::size_t>(c.month - 1)]; break;
            default: break;
        }
    }
}

void DateTimeText::appendTimeParts(std::string& out, std::int64_t ms) const {
    const std::int64_t hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60, milli = ms % 1000;
    std::int64_t hour12 = hour;
    if (twelveHour_) {
        if (hour12 > 12) hour12 -= 12;
        else if (hour12 == 0) hour12 = 12;
    }
    for (const Piece& p : pieces_) {
        switch (p.part) {
            case Part::Literal: out += p.text; break;
            case Part::Hour: appendNumber(out, hour12, 1); break;
            case Part::Hour2: appendNumber(out, hour12, 2); break;
            case Part::Hour24: appendNumber(out, hour, 1); break;
            case Part::Hour24_2: appendNumber(out, hour, 2); break;
            case Part::Minute: appendNumber(out, minute, 1); break;
            case Part::Minute2: appendNumber(out, minute, 2); break;
            case Part::Second: appendNumber(out, second, 1); break;
            case Part::Second2: appendNumber(out, second, 2); break;
            case Part::Millis3: appendNumber(out, milli, 3); break;
            case Part::Millis: {
                const std::size_t start = out.size();
                appendNumber(out, milli, 3);
                // Trailing zeros go, at most two of them.
                for (int k = 0; k < 2 && out.size() - start > digits_[0].size() &&
                                out.compare(out.size() - digits_[0].size(), digits_[0].size(), digits_[0]) == 0;
                     ++k)
                    out.resize(out.size() - digits_[0].size());
                break;
            }
            case Part::AmPm: out += p.names[hour < 12 ? 0 : 1]; break;
            default: break;
        }
    }
}

char* DateTimeText::writeDate(char* out, int year, int month, int day) const {
    auto two = [&out](int v) {
        *out++ = static_cast<char>('0' + v / 10);
        *out++ = static_cast<char>('0' + v % 10);
    };
    auto oneOrTwo = [&out, &two](int v) {
        if (v >= 10)
            two(v);
        else
            *out++ = static_cast<char>('0' + v);
    };
    auto text = [&out](const ShortText& t) {
        std::memcpy(out, t.text, sizeof t.text);
        out += t.length;
    };
    for (const WritePiece& p : writePieces_) {
        switch (p.part) {
            case Part::Literal: text(p.texts[0]); break;
            case Part::Year4: two(year / 100); two(year % 100); break;
            case Part::Year2: two(year % 100); break;
            case Part::Day: oneOrTwo(day); break;
            case Part::Day2: two(day); break;
            case Part::Month: oneOrTwo(month); break;
            case Part::Month2: two(month); break;
            case Part::MonthName: text(p.texts[static_cast<std::size_t>(month - 1)]); break;
            case Part::DayName:  // day number 1 was a Monday
                text(p.texts[static_cast<std::size_t>((dayNumberFromCivil(year, month, day) - 1) % 7)]);
                break;
            default: break;
        }
    }
    return out;
}

void DateTimeText::appendDate(std::string& out, std::int64_t dayNumber) const {
    if (useQt_) {
        out += utf8(locale_.toString(QDate::fromJulianDay(dayNumber + kJulianDayOffset), format_));
        return;
    }
    appendDateParts(out, dayNumber);
}

void DateTimeText::appendTime(std::string& out, std::int64_t ms) const {
    if (useQt_) {
        out += utf8(locale_.toString(QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)), format_));
        return;
    }
    appendTimeParts(out, ms);
}

bool DateTimeText::agreesWithQt() const {
    std::string mine;
    if (kind_ == Kind::Date) {
        static const int samples[][3] = {{2001, 2, 3},  {1999, 12, 31}, {2002, 7, 15}, {2024, 2, 29}, {1899, 12, 30},
                                         {1900, 1, 1},  {2010, 10, 10}, {1987, 3, 22}, {2031, 4, 6},  {1965, 5, 17},
                                         {2000, 6, 25}, {1912, 8, 8},   {2077, 9, 30}, {1001, 11, 4}, {9999, 12, 31}};
        for (const auto& s : samples) {
            mine.clear();
            appendDateParts(mine, dayNumberFromCivil(s[0], s[1], s[2]));
            if (mine != utf8(locale_.toString(QDate(s[0], s[1], s[2]), format_))) return false;
        }
        return true;
    }
    static const int samples[][4] = {{0, 0, 0, 0},    {0, 5, 9, 7},     {1, 2, 3, 40},     {9, 59, 59, 999},
                                     {11, 59, 0, 100}, {12, 0, 0, 0},    {12, 30, 45, 500}, {13, 4, 5, 0},
                                     {17, 45, 1, 20},  {20, 10, 10, 10}, {23, 59, 59, 999}};
    for (const auto& s : samples) {
        mine.clear();
        appendTimeParts(mine, ((s[0] * 60 + s[1]) * 60 + s[2]) * 1000 + s[3]);
        if (mine != utf8(locale_.toString(QTime(s[0], s[1], s[2], s[3]), format_))) return false;
    }
    return true;
}

}  // namespace tavrinth
