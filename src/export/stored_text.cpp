#include "stored_text.h"

#include <algorithm>
#include <cstring>

#include "codepage.h"
#include "date_time_text.h"
#include "field_value.h"

namespace tavrinth::stored {

namespace {

bool blankOrNul(std::uint8_t c) { return c == ' ' || c == 0; }

// Eight bytes, the first in the lowest bits.
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}
constexpr std::uint64_t kBlanks = 0x2020202020202020ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;

// The high bit of each byte of w that is 0, and no other bit.
std::uint64_t zeroBytes(std::uint64_t w) { return ~(((w & kLowBits) + kLowBits) | w | kLowBits); }
// The high bit of each byte of w that is neither a blank nor NUL.
std::uint64_t nonBlankBytes(std::uint64_t w) { return ~(zeroBytes(w ^ kBlanks) | zeroBytes(w)) & kHighBits; }
// The high bit of each byte of w that is not a digit 0 to 9.
std::uint64_t nonDigitBytes(std::uint64_t w) {
    const std::uint64_t x = w ^ 0x3030303030303030ull;  // digits become 0 to 9
    return (((x & kLowBits) + 0x7676767676767676ull) | x) & kHighBits;  // 0x76 + 10 = 0x80
}
// The position of the byte of the lowest high bit in `bits` (not 0).
std::size_t firstByte(std::uint64_t bits) { return static_cast<std::size_t>(__builtin_ctzll(bits)) / 8; }
std::size_t lastByte(std::uint64_t bits) { return static_cast<std::size_t>(63 - __builtin_clzll(bits)) / 8; }

// How many of the n bytes at p are blanks or NULs at the end.
std::size_t withoutTrailingBlanks(const std::uint8_t* p, std::size_t n) {
    for (; n >= 8; n -= 8)
        if (const std::uint64_t keep = nonBlankBytes(load64(p + n - 8))) return n - 8 + lastByte(keep) + 1;
    while (n > 0 && blankOrNul(p[n - 1])) --n;
    return n;
}

// How many of the n bytes at p are digits, from the first on. Reads up to 7 bytes past them.
std::size_t digitRun(const std::uint8_t* p, std::size_t n) {
    for (std::size_t k = 0; k < n; k += 8)
        if (const std::uint64_t stop = nonDigitBytes(load64(p + k))) return std::min(n, k + firstByte(stop));
    return n;
}

// Copies n <= kSlack bytes (by copying kSlack).
char* copyShort(char* out, const std::uint8_t* from, std::size_t n) {
    std::memcpy(out, from, kSlack);
    return out + n;
}

}  // namespace

bool StoredCharText::build(const CodePage& codePage) {
    if (!codePage.isSingleByte()) return false;
    asciiAsIs_ = true;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        std::string t = codePage.decode(&byte, 1);
        if (t == "\"") t = "\"\"";
        if (t.size() > 4) return false;
        std::memcpy(text_[b], t.data(), t.size());
        length_[b] = static_cast<std::uint8_t>(t.size());
        longest_ = std::max(longest_, t.size());
        if (b < 0x80 && b != '"' && !(t.size() == 1 && t[0] == static_cast<char>(b))) asciiAsIs_ = false;
    }
    return true;
}

char* StoredCharText::write(char* out, const std::uint8_t* p, std::size_t n) const {
    n = withoutTrailingBlanks(p, n);
    *out++ = '"';
    std::size_t i = 0;
    if (asciiAsIs_) {
        for (; n - i >= 8; i += 8) {  // eight ASCII bytes without a quote as they are
            const std::uint64_t w = load64(p + i);
            if ((w & kHighBits) == 0 && zeroBytes(w ^ 0x2222222222222222ull) == 0) {
                std::memcpy(out, p + i, 8);
                out += 8;
            } else {
                for (std::size_t k = i; k < i + 8; ++k) out = put(out, p[k]);
            }
        }
    }
    for (; i < n; ++i) out = put(out, p[i]);
    *out++ = '"';
    return out;
}

char* StoredCharText::put(char* out, std::uint8_t b) const {
    std::memcpy(out, text_[b], 4);
    return out + length_[b];
}

char* writeStoredNumber(char* out, const std::uint8_t* p, std::size_t n, bool wholeOnly, const std::string& separator) {
    const std::uint8_t* b = p;
    const std::uint8_t* e = p + n;
    for (; e - b >= 8; b += 8) {
        if (const std::uint64_t keep = nonBlankBytes(load64(b))) {
            b += firstByte(keep);
            break;
        }
    }
    while (b < e && blankOrNul(*b)) ++b;
    e = b + withoutTrailingBlanks(b, static_cast<std::size_t>(e - b));
    if (b == e) return out;  // blank: NULL, written empty
    const bool negative = *b == '-';
    if (negative) ++b;
    const std::uint8_t* intBegin = b;
    b += digitRun(b, static_cast<std::size_t>(e - b));
    const std::uint8_t* const intEnd = b;
    if (b == e) {
        if (intEnd == intBegin || intEnd - intBegin > 18) return nullptr;
        while (intEnd - intBegin > 1 && *intBegin == '0') ++intBegin;
        if (!wholeOnly && intEnd - intBegin > 15) return nullptr;  // a float field's 10^15 has an exponent
        if (negative && *intBegin != '0') *out++ = '-';  // -0 is 0
        return copyShort(out, intBegin, static_cast<std::size_t>(intEnd - intBegin));
    }
    if (wholeOnly || *b != '.') return nullptr;
    const std::uint8_t* const fracBegin = ++b;
    b += digitRun(b, static_cast<std::size_t>(e - b));
    if (b != e || (intBegin == intEnd && fracBegin == e)) return nullptr;
    const std::uint8_t* fracEnd = e;
    while (intBegin < intEnd && *intBegin == '0') ++intBegin;
    while (fracEnd > fracBegin && fracEnd[-1] == '0') --fracEnd;
    const auto intDigits = static_cast<std::size_t>(intEnd - intBegin);
    const auto fracDigits = static_cast<std::size_t>(fracEnd - fracBegin);
    if (intDigits == 0) {
        if (fracDigits == 0) {
            if (negative) return nullptr;
            *out++ = '0';
            return out;
        }
        std::size_t zeros = 0;
        while (fracBegin[zeros] == '0') ++zeros;
        if (zeros > 3 || fracDigits - zeros > 15) return nullptr;
    } else if (intDigits + fracDigits > 15) {
        return nullptr;
    }
    if (negative) *out++ = '-';
    if (intDigits == 0) *out++ = '0';
    out = copyShort(out, intBegin, intDigits);
    if (fracDigits > 0) {
        if (separator.size() == 1) {
            *out++ = separator[0];
        } else {
            std::memcpy(out, separator.data(), separator.size());
            out += separator.size();
        }
        out = copyShort(out, fracBegin, fracDigits);
    }
    return out;
}

char* writeStoredDate(char* out, const std::uint8_t* p, std::size_t n, const DateTimeText& date) {
    if (n != 8) return nullptr;
    const std::uint64_t w = load64(p);
    if (nonDigitBytes(w) == 0) {
        const int year = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
        const int month = (p[4] - '0') * 10 + (p[5] - '0');
        const int day = (p[6] - '0') * 10 + (p[7] - '0');
        if (year >= 1 && isValidCivilDate(year, month, day)) return date.writeDate(out, year, month, day);
    }
    if ((zeroBytes(w ^ kBlanks) | zeroBytes(w ^ 0x3030303030303030ull) | zeroBytes(w)) == kHighBits) return out;
    return nullptr;
}

char* writeStoredLogical(char* out, const std::uint8_t* p, std::size_t n) {
    if (n != 1) return nullptr;
    const char* text;
    switch (p[0]) {
        case 'T': case 't': case 'Y': case 'y': text = "True"; break;
        case 'F': case 'f': case 'N': case 'n': text = "False"; break;
        case '?': case ' ': case 0: return out;
        default: return nullptr;
    }
    const std::size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

}  // namespace tavrinth::stored
