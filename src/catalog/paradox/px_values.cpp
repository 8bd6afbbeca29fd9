#include "px_values.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "../byte_order.h"

namespace tavrinth::paradox {

namespace {
bool allZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}
constexpr int kBcdDigits = 32;
}  // namespace

bool decodeFlippedInt(const std::uint8_t* p, std::size_t length, std::int64_t& value) {
    if (allZero(p, length)) return false;
    if (length == 2) {
        value = static_cast<std::int16_t>(loadBE16(p) ^ 0x8000u);
    } else {
        value = static_cast<std::int32_t>(loadBE32(p) ^ 0x80000000u);
    }
    return true;
}

void encodeFlippedInt(std::int64_t value, std::uint8_t* p, std::size_t length) {
    if (length == 2)
        storeBE16(p, static_cast<std::uint16_t>(static_cast<std::uint16_t>(value) ^ 0x8000u));
    else
        storeBE32(p, static_cast<std::uint32_t>(value) ^ 0x80000000u);
}

bool decodeFlippedDouble(const std::uint8_t* p, double& value) {
    if (allZero(p, 8)) return false;
    std::uint64_t bits = loadBE64(p);
    if (bits & 0x8000000000000000ull)
        bits &= 0x7FFFFFFFFFFFFFFFull;
    else
        bits = ~bits;
    value = bitsToDouble(bits);
    return true;
}

void encodeFlippedDouble(double value, std::uint8_t* p) {
    std::uint64_t bits = doubleToBits(value);
    if (bits & 0x8000000000000000ull)
        bits = ~bits;
    else
        bits |= 0x8000000000000000ull;
    storeBE64(p, bits);
}

bool decodeBcd(const std::uint8_t* p, int decimals, std::string& text) {
    text.clear();
    if ((p[0] & 0x40) == 0) return false;
    const bool negative = (p[0] & 0x80) == 0;
    if (decimals < 0) decimals = 0;
    if (decimals > kBcdDigits) decimals = kBcdDigits;
    char digits[kBcdDigits];
    bool garbage = false;
    for (int i = 0; i < kBcdDigits; ++i) {
        std::uint8_t nibble = (i % 2 == 0) ? (p[1 + i / 2] >> 4) : (p[1 + i / 2] & 0x0F);
        if (negative) nibble ^= 0x0F;
        if (nibble > 9) garbage = true;
        digits[i] = garbage ? '0' : static_cast<char>('0' + nibble);
    }
    const int intDigits = kBcdDigits - decimals;
    int first = 0;
    while (first < intDigits - 1 && digits[first] == '0') ++first;
    bool nonZero = false;
    for (int i = 0; i < kBcdDigits; ++i) nonZero = nonZero || digits[i] != '0';
    if (negative && nonZero) text.push_back('-');
    if (intDigits == 0)
        text.push_back('0');
    else
        text.append(digits + first, static_cast<std::size_t>(intDigits - first));
    if (decimals > 0) {
        text.push_back('.');
        text.append(digits + intDigits, static_cast<std::size_t>(decimals));
    }
    return true;
}

bool encodeBcd(const std::string& text, int decimals, std::uint8_t* p) {
    std::memset(p, 0, 17);
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::string intPart, fracPart;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') intPart.push_back(text[i++]);
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') fracPart.push_back(text[i++]);
    }
    if (i != text.size() || (intPart.empty() && fracPart.empty())) return false;
    while (intPart.size() > 1 && intPart[0] == '0') intPart.erase(0, 1);
    const int intDigits = kBcdDigits - decimals;
    if (static_cast<int>(intPart.size()) > intDigits && !(intPart == "0")) return false;
    if (static_cast<int>(fracPart.size()) > decimals) {
        // More decimals than the field keeps: only zeros may be dropped.
        for (std::size_t k = static_cast<std::size_t>(decimals); k < fracPart.size(); ++k)
            if (fracPart[k] != '0') return false;
        fracPart.resize(static_cast<std::size_t>(decimals));
    }
    char digits[kBcdDigits];
    std::memset(digits, 0, sizeof digits);
    const std::string ip = intPart == "0" ? std::string() : intPart;
    for (std::size_t k = 0; k < ip.size(); ++k) digits[intDigits - ip.size() + k] = static_cast<char>(ip[k] - '0');
    for (std::size_t k = 0; k < fracPart.size(); ++k) digits[intDigits + k] = static_cast<char>(fracPart[k] - '0');
    bool nonZero = false;
    for (char d : digits) nonZero = nonZero || d != 0;
    if (!nonZero) negative = false;
    p[0] = static_cast<std::uint8_t>((negative ? 0x40 : 0xC0) | decimals);
    for (int k = 0; k < kBcdDigits; ++k) {
        std::uint8_t nibble = static_cast<std::uint8_t>(digits[k]);
        if (negative) nibble ^= 0x0F;
        if (k % 2 == 0)
            p[1 + k / 2] = static_cast<std::uint8_t>(nibble << 4);
        else
            p[1 + k / 2] |= nibble;
    }
    return true;
}

void decodeValue(std::uint8_t typeCode, const std::uint8_t* p, std::size_t length, int decimals,
                 const CodePage& codePage, FieldValue& out) {
    switch (typeCode) {
        case 0x01: {  // Alpha: up to the first NUL
            std::size_t n = 0;
            while (n < length && p[n] != 0) ++n;
            if (n == 0) {
                out.setNull();
                return;
            }
            out.setText(ValueKind::String);
            codePage.decode(p, n, out.text);
            return;
        }
        case 0x02: case 0x03: case 0x04: case 0x14: case 0x16: {
            std::int64_t v;
            if (!decodeFlippedInt(p, typeCode == 0x03 ? 2 : 4, v)) {
                out.setNull();
                return;
            }
            const ValueKind k = typeCode == 0x02 ? ValueKind::Date : typeCode == 0x14 ? ValueKind::Time : ValueKind::Integer;
            out.setInteger(v, k);
            return;
        }
        case 0x05: case 0x06: case 0x15: {
            double v;
            if (!decodeFlippedDouble(p, v)) {
                out.setNull();
                return;
            }
            out.setReal(v, typeCode == 0x15 ? ValueKind::DateTime : ValueKind::Float);
            return;
        }
        case 0x09:
            if (p[0] == 0)
                out.setNull();
            else
                out.setInteger(p[0] == 0x80 ? 0 : 1, ValueKind::Boolean);
            return;
        case 0x17: {
            out.setText(ValueKind::Bcd);
            if (!decodeBcd(p, decimals, out.text)) out.setNull();
            return;
        }
        case 0x18:
            if (allZero(p, length)) {
                out.setNull();
                return;
            }
            out.setText(ValueKind::Binary);
            out.text.assign(reinterpret_cast<const char*>(p), length);
            return;
        default:
            out.setText(ValueKind::Invalid);
            out.text.assign(reinterpret_cast<const char*>(p), length);
            return;
    }
}

namespace {

bool integerOf(const FieldValue& v, std::int64_t& out) {
    switch (v.kind) {
        case ValueKind::Integer: case ValueKind::Boolean: case ValueKind::Date: case ValueKind::Time:
            out = v.integer;
            return true;
        case ValueKind::Float:
            if (!std::isfinite(v.real) || v.real != std::floor(v.real) || std::fabs(v.real) > 9.2e18) return false;
            out = static_cast<std::int64_t>(v.real);
            return true;
        default:
            return false;
    }
}

bool realOf(const FieldValue& v, double& out) {
    switch (v.kind) {
        case ValueKind::Float: case ValueKind::DateTime: out = v.real; return std::isfinite(out);
        case ValueKind::Integer: out = static_cast<double>(v.integer); return true;
        case ValueKind::Currency: out = static_cast<double>(v.integer) / 10000.0; return true;
        case ValueKind::Bcd: case ValueKind::String: {
            char* end = nullptr;
            out = std::strtod(v.text.c_str(), &end);
            return !v.text.empty() && end && *end == 0 && std::isfinite(out);
        }
        default: return false;
    }
}

}  // namespace

bool encodeValue(std::uint8_t typeCode, std::size_t length, int decimals, const CodePage& codePage,
                 const FieldValue& value, std::uint8_t* p, std::string& error) {
    std::memset(p, 0, length);
    if (value.isNull()) return true;
    switch (typeCode) {
        case 0x01: {  // Alpha
            if (value.kind != ValueKind::String) break;
            std::string bytes;
            if (!codePage.encode(value.text, bytes)) {
                error = "the text has a character that code page " + codePage.name() + " cannot hold";
                return false;
            }
            if (bytes.find('\0') != std::string::npos) {
                error = "the text holds a NUL character";
                return false;
            }
            if (bytes.size() > length) {
                error = "the text is " + std::to_string(bytes.size()) + " bytes long; the field holds " +
                        std::to_string(length);
                return false;
            }
            std::memcpy(p, bytes.data(), bytes.size());
            return true;
        }
        case 0x02: case 0x03: case 0x04: case 0x14: case 0x16: {
            const ValueKind want = typeCode == 0x02 ? ValueKind::Date : typeCode == 0x14 ? ValueKind::Time : ValueKind::Integer;
            std::int64_t v;
            if ((value.kind != want && !(want == ValueKind::Integer && value.kind == ValueKind::Float)) ||
                !integerOf(value, v))
                break;
            const std::int64_t limit = typeCode == 0x03 ? 32767 : 2147483647;
            if (v < -limit || v > limit) {
                error = "the value " + std::to_string(v) + " is outside -" + std::to_string(limit) + ".." +
                        std::to_string(limit);
                return false;
            }
            if (typeCode == 0x14 && (v < 0 || v >= 86400000)) {
                error = "a time of day must lie between 00:00:00 and 23:59:59.999";
                return false;
            }
            encodeFlippedInt(v, p, typeCode == 0x03 ? 2 : 4);
            return true;
        }
        case 0x05: case 0x06: case 0x15: {
            double v;
            if ((typeCode == 0x15) != (value.kind == ValueKind::DateTime) || !realOf(value, v)) break;
            encodeFlippedDouble(v, p);
            return true;
        }
        case 0x09:
            if (value.kind != ValueKind::Boolean) break;
            p[0] = value.integer ? 0x81 : 0x80;
            return true;
        case 0x17: {
            std::string text;
            if (value.kind == ValueKind::Bcd || value.kind == ValueKind::String) text = value.text;
            else if (value.kind == ValueKind::Integer) text = std::to_string(value.integer);
            else break;
            if (!encodeBcd(text, decimals, p)) {
                error = "the number " + text + " does not fit a BCD field with " + std::to_string(decimals) + " decimals";
                return false;
            }
            return true;
        }
        case 0x18:
            if (value.kind != ValueKind::Binary) break;
            if (value.text.size() > length) {
                error = "the value is " + std::to_string(value.text.size()) + " bytes long; the field holds " +
                        std::to_string(length);
                return false;
            }
            std::memcpy(p, value.text.data(), value.text.size());
            return true;
        default:
            error = "values of this field type cannot be written";
            return false;
    }
    error = "the value does not suit the field's type";
    return false;
}

}  // namespace tavrinth::paradox
