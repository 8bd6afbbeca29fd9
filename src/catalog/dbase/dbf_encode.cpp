#include "dbf_encode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "../byte_order.h"
#include "../number_text.h"
#include "../value_text.h"

namespace tavrinth::dbase {

namespace {

bool realOf(const FieldValue& v, double& out) {
    switch (v.kind) {
        case ValueKind::Float: out = v.real; return std::isfinite(out);
        case ValueKind::Integer: out = static_cast<double>(v.integer); return true;
        case ValueKind::Currency: out = static_cast<double>(v.integer) / 10000.0; return true;
        default: return false;
    }
}

// A number right-justified in `width` characters with `decimals` decimals.
bool numberText(const FieldValue& v, std::uint32_t width, int decimals, std::string& out, std::string& error) {
    char buf[400];
    {
        // The usual values without printf: whole numbers, and short decimals with no more
        // decimals than the field (their digits padded with zeros are what "%.*f" prints, as
        // they have at most 15 significant digits).
        char* end = nullptr;
        if (v.kind == ValueKind::Integer) {
            end = std::to_chars(buf, buf + 32, v.integer).ptr;
            if (decimals > 0) {
                *end++ = '.';
                end = std::fill_n(end, decimals, '0');
            }
        } else if (v.kind == ValueKind::Float && decimals <= 9 && (end = writeShortDecimal(buf, v.real)) != nullptr) {
            char* const point = std::find(buf, end, '.');
            const long have = point == end ? 0 : end - point - 1;
            const long whole = (point - buf) - (buf[0] == '-' ? 1 : 0);
            if (have > decimals || whole + decimals > 15) {
                end = nullptr;
            } else if (decimals > 0) {
                if (point == end) *end++ = '.';
                end = std::fill_n(end, decimals - have, '0');
            }
        } else if (v.kind == ValueKind::Float && v.real == 0 && !std::signbit(v.real)) {
            end = buf;
            *end++ = '0';
            if (decimals > 0) {
                *end++ = '.';
                end = std::fill_n(end, decimals, '0');
            }
        }
        if (end) {
            const auto n = static_cast<std::size_t>(end - buf);
            if (n > width) {
                error = "the number " + std::string(buf, n) + " is wider than the field's " + std::to_string(width) +
                        " characters";
                return false;
            }
            out.assign(width - n, ' ');
            out.append(buf, n);
            return true;
        }
    }
    if (v.kind == ValueKind::Integer && decimals == 0) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.integer));
    } else {
        double d;
        if (!realOf(v, d)) {
            error = "the value is not a number";
            return false;
        }
        if (std::fabs(d) >= 1e300) {
            error = "the number is too large";
            return false;
        }
        std::snprintf(buf, sizeof buf, "%.*f", decimals, d);
        // Refuse rather than round away digits the field cannot keep.
        double back = std::strtod(buf, nullptr);
        if (v.kind == ValueKind::Float && back != d && std::fabs(back - d) > std::fabs(d) * 1e-15) {
            error = "the number has more decimals than the field's " + std::to_string(decimals);
            return false;
        }
    }
    out = buf;
    if (out.size() > width) {
        error = "the number " + out + " is wider than the field's " + std::to_string(width) + " characters";
        return false;
    }
    out.insert(0, width - out.size(), ' ');
    return true;
}

}  // namespace

bool encodeValue(const RawField& f, const Header& h, const CodePage& codePage, const FieldValue& v, std::uint8_t* p,
                 std::string& error) {
    const std::uint32_t n = f.length;
    const bool null = v.isNull();
    auto wrongKind = [&]() {
        error = "the value does not suit the field's type";
        return false;
    };
    switch (f.type) {
        case 'C': case 'V': {
            std::string bytes;
            if (!null) {
                if (v.kind != ValueKind::String) return wrongKind();
                if (!codePage.encode(v.text, bytes)) {
                    error = "the text has a character that code page " + codePage.name() + " cannot hold";
                    return false;
                }
            }
            if (bytes.size() > n) {
                error = "the text is " + std::to_string(bytes.size()) + " bytes long; the field holds " + std::to_string(n);
                return false;
            }
            std::memset(p, ' ', n);
            std::memcpy(p, bytes.data(), bytes.size());
            return true;
        }
        case 'N': case 'F': {
            if (null) {
                std::memset(p, ' ', n);
                return true;
            }
            std::string text;
            if (!numberText(v, n, f.decimals, text, error)) return false;
            std::memcpy(p, text.data(), n);
            return true;
        }
        case 'D': {
            if (null) {
                std::memset(p, ' ', n);
                return true;
            }
            if (v.kind != ValueKind::Date || n != 8) return wrongKind();
            const CivilDate c = civilFromDayNumber(v.integer);
            if (c.year < 1 || c.year > 9999) {
                error = "dates in dBase tables lie between the years 1 and 9999";
                return false;
            }
            const int digits[8] = {static_cast<int>(c.year) / 1000, static_cast<int>(c.year) / 100 % 10,
                                   static_cast<int>(c.year) / 10 % 10, static_cast<int>(c.year) % 10,
                                   c.month / 10, c.month % 10, c.day / 10, c.day % 10};
            for (int k = 0; k < 8; ++k) p[k] = static_cast<std::uint8_t>('0' + digits[k]);
            return true;
        }
        case 'L':
            if (null) {
                p[0] = '?';
                return true;
            }
            if (v.kind != ValueKind::Boolean) return wrongKind();
            p[0] = v.integer ? 'T' : 'F';
            return true;
        case 'I': {
            if (n != 4) return wrongKind();
            if (null) {
                if (!h.level7) {
                    error = "the field cannot be blank";
                    return false;
                }
                std::memset(p, 0, 4);
                return true;
            }
            if (v.kind != ValueKind::Integer) return wrongKind();
            // dBase 7 stores the smallest value as all zeros, which reads as blank.
            const std::int64_t low = h.level7 ? -2147483647 : -2147483647 - 1;
            if (v.integer < low || v.integer > 2147483647) {
                error = "the value " + std::to_string(v.integer) + " is outside the field's range";
                return false;
            }
            if (h.level7)
                storeBE32(p, static_cast<std::uint32_t>(v.integer) ^ 0x80000000u);
            else
                storeLE32(p, static_cast<std::uint32_t>(v.integer));
            return true;
        }
        case 'O': {
            if (n != 8) return wrongKind();
            if (null) {
                std::memset(p, 0, 8);
                return true;
            }
            double d;
            if (!realOf(v, d)) return wrongKind();
            std::uint64_t bits = doubleToBits(d);
            bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
            storeBE64(p, bits);
            return true;
        }
        case '@': {
            if (n != 8) return wrongKind();
            if (null) {
                std::memset(p, 0, 8);
                return true;
            }
            if (v.kind != ValueKind::DateTime || !std::isfinite(v.real)) return wrongKind();
            storeBE64(p, doubleToBits(v.real));
            return true;
        }
        case 'T': {
            if (n != 8) return wrongKind();
            if (null) {
                std::memset(p, 0, 8);
                return true;
            }
            std::int64_t days, rest;
            if (v.kind != ValueKind::DateTime || !splitTimestamp(v.real, days, rest)) return wrongKind();
            storeLE32(p, static_cast<std::uint32_t>(days + 1721425));
            storeLE32(p + 4, static_cast<std::uint32_t>(rest));
            return true;
        }
        case 'Y':
            if (n != 8) return wrongKind();
            if (null) {
                error = "the field cannot be blank";
                return false;
            }
            if (v.kind == ValueKind::Currency || v.kind == ValueKind::Integer) {
                const std::int64_t scaled = v.kind == ValueKind::Currency ? v.integer : v.integer * 10000;
                storeLE64(p, static_cast<std::uint64_t>(scaled));
                return true;
            }
            return wrongKind();
        case 'B':
            if (!h.visualFoxPro) break;
            if (n != 8) return wrongKind();
            if (null) {
                error = "the field cannot be blank";
                return false;
            }
            {
                double d;
                if (!realOf(v, d)) return wrongKind();
                storeLE64(p, doubleToBits(d));
            }
            return true;
        default:
            break;
    }
    error = "values of this field type cannot be written";
    return false;
}

}  // namespace tavrinth::dbase
