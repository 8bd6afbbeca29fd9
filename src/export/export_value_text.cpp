#include "export_value_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "date_time_text.h"
#include "number_text.h"
#include "value_text.h"

namespace tavrinth {

namespace {

void appendQuoted(std::string& out, const std::string& text) {
    out += '"';
    std::size_t from = 0;
    for (std::size_t q; (q = text.find('"', from)) != std::string::npos; from = q + 1) {
        out.append(text, from, q + 1 - from);
        out += '"';
    }
    out.append(text, from, std::string::npos);
    out += '"';
}

void appendInteger(std::string& out, std::int64_t value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void appendHex(std::string& out, const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
}


}  // namespace

ExportValueText::ExportValueText(const UserLocale& locale)
    : decimalSeparator_(locale.decimalSeparator.toStdString()),
      date_(std::make_unique<DateTimeText>(locale.locale, locale.shortDateFormat, DateTimeText::Kind::Date)),
      time_(std::make_unique<DateTimeText>(locale.locale, locale.longTimeFormat, DateTimeText::Kind::Time)) {
    date_->appendDate(timeDate_, dayNumberFromCivil(1899, 12, 30));
    decimalIsPoint_ = decimalSeparator_ == ".";
}

ExportValueText::~ExportValueText() = default;

bool ExportValueText::appendFloat(std::string& out, double value) const {
    char buf[64];
    char* end = writeShortDecimal(buf, value);
    if (!end) {
        const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
        if (r.ec != std::errc()) return false;
        end = r.ptr;
    }
    if (decimalIsPoint_) {
        out.append(buf, end);
        return true;
    }
    for (const char* p = buf; p != end; ++p) {
        if (*p == '.')
            out += decimalSeparator_;
        else
            out += *p;
    }
    return true;
}

void ExportValueText::appendDateTime(std::string& out, std::int64_t dayNumber, std::int64_t ms) const {
    date_->appendDate(out, dayNumber);
    if (ms / 1000 != 0) {
        out += ' ';
        time_->appendTime(out, ms);
    }
}

bool ExportValueText::append(std::string& out, TFieldType type, const FieldValue& value, bool includeMemo) const {
    const ValueKind kind = value.kind;
    switch (type) {
        case ftMemo: case ftFmtMemo:
            if (!includeMemo) return true;
            [[fallthrough]];  // memo text is written like a string
        case ftString: case ftFixedChar: case ftWideString:
            if (kind == ValueKind::Null) {
                out += "\"\"";
                return true;
            }
            if (kind != ValueKind::String) return false;
            appendQuoted(out, value.text);
            return true;

        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint:
            if (kind == ValueKind::Null) return true;
            if (kind != ValueKind::Integer) return false;
            appendInteger(out, value.integer);
            return true;

        case ftBoolean:
            if (kind == ValueKind::Null) return true;
            if (kind != ValueKind::Boolean) return false;
            out += value.integer ? "True" : "False";
            return true;

        case ftFloat: case ftCurrency:
            switch (kind) {
                case ValueKind::Null: return true;
                case ValueKind::Float: return appendFloat(out, value.real);
                case ValueKind::Integer:
                    if (value.integer > -1'000'000'000'000'000 && value.integer < 1'000'000'000'000'000) {
                        appendInteger(out, value.integer);
                        return true;
                    }
                    return appendFloat(out, static_cast<double>(value.integer));
                case ValueKind::Currency: return appendFloat(out, static_cast<double>(value.integer) / 10000.0);
                default: return false;
            }

        case ftDate: case ftTime: case ftDateTime:
            switch (kind) {
                case ValueKind::Null: return true;
                case ValueKind::Date:
                    if (!dayNumberInRange(value.integer)) return false;
                    date_->appendDate(out, value.integer);
                    return true;
                case ValueKind::Time:
                    if (!timeOfDayInRange(value.integer)) return false;
                    out += timeDate_;
                    if (value.integer / 1000 != 0) {
                        out += ' ';
                        time_->appendTime(out, value.integer);
                    }
                    return true;
                case ValueKind::DateTime: {
                    std::int64_t day, ms;
                    if (!splitTimestamp(value.real, day, ms)) return false;
                    appendDateTime(out, day, ms);
                    return true;
                }
                default: return false;
            }

        case ftBytes: case ftVarBytes: case ftTypedBinary: case ftCursor:
            // A NULL value has no text form.
            if (kind != ValueKind::Binary && kind != ValueKind::String) return false;
            appendHex(out, value.text);
            return true;

        default:
            return true;
    }
}

}  // namespace tavrinth
