#include "number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tavrinth {

namespace {
char* copyText(char* out, const char* text) {
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
}
}  // namespace

char* writeShortDecimal(char* out, double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-4 && magnitude < 1e15)) return nullptr;
    // The whole number m nearest to value x 10^d gives the value back as m / 10^d (both exact
    // doubles, so the division rounds once) for the fewest decimals d. Below 10^15 no other m of
    // d decimals does, so its digits are both the shortest round trip's and fifteen significant
    // digits'.
    static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    for (int d = 0; d < 10; ++d) {
        const double product = magnitude * kPow10[d];
        if (product >= 1e15) break;
        auto m = static_cast<std::uint64_t>(product + 0.5);
        if (static_cast<double>(m) / kPow10[d] != magnitude) continue;
        while (d > 0 && m % 10 == 0) {
            m /= 10;
            --d;
        }
        char digits[24];
        char* const end = std::to_chars(digits, digits + sizeof digits, m).ptr;
        const int n = static_cast<int>(end - digits);
        if (value < 0) *out++ = '-';
        if (n <= d) {
            *out++ = '0';
            *out++ = '.';
            for (int k = n; k < d; ++k) *out++ = '0';
            return std::copy(digits, end, out);
        }
        out = std::copy(digits, end - d, out);
        if (d == 0) return out;
        *out++ = '.';
        return std::copy(end - d, end, out);
    }
    return nullptr;
}

char* writeShortestDoubleText(char* out, double value) {
    if (std::isnan(value)) return copyText(out, "nan");
    if (std::isinf(value)) return copyText(out, value < 0 ? "-inf" : "inf");
    if (value == 0) return copyText(out, std::signbit(value) ? "-0.0" : "0.0");
    if (char* end = writeShortDecimal(out, value)) {
        if (std::find(out, end, '.') == end) end = copyText(end, ".0");
        return end;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]x
    char sci[40];
    const char* const end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    char* t = out;
    if (*p == '-') {
        *t++ = '-';
        ++p;
    }
    const char* const e = static_cast<const char*>(std::memchr(p, 'e', static_cast<std::size_t>(end - p)));
    int exponent = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, end, exponent);
    char digits[20] = {};
    int n = 0;
    for (const char* d = p; d != e; ++d)
        if (*d != '.') digits[n++] = *d;
    const int decpt = exponent + 1;  // value = 0.digits x 10^decpt
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            *t++ = '0';
            *t++ = '.';
            for (int k = 0; k < -decpt; ++k) *t++ = '0';
            t = std::copy(digits, digits + n, t);
        } else if (decpt < n) {
            t = std::copy(digits, digits + decpt, t);
            *t++ = '.';
            t = std::copy(digits + decpt, digits + n, t);
        } else {
            t = std::copy(digits, digits + n, t);
            for (int k = n; k < decpt; ++k) *t++ = '0';
            *t++ = '.';
            *t++ = '0';
        }
        return t;
    }
    *t++ = digits[0];
    if (n > 1) {
        *t++ = '.';
        t = std::copy(digits + 1, digits + n, t);
    }
    const int x = decpt - 1;
    *t++ = 'e';
    *t++ = x < 0 ? '-' : '+';
    const int ax = x < 0 ? -x : x;
    if (ax < 10) *t++ = '0';
    return std::to_chars(t, t + 8, ax).ptr;
}

std::string shortestDoubleText(double value) {
    char text[32];
    return std::string(text, writeShortestDoubleText(text, value));
}

std::string scaledIntegerText(std::int64_t value, int scale) {
    const bool negative = value < 0;
    // Work on the magnitude as unsigned so that the smallest int64 is handled too.
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (static_cast<int>(digits.size()) <= scale)
        digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
    std::string whole = digits.substr(0, digits.size() - static_cast<std::size_t>(scale));
    std::string frac = digits.substr(digits.size() - static_cast<std::size_t>(scale));
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    std::string out = negative && (magnitude != 0) ? "-" : "";
    out += whole;
    if (!frac.empty()) out += "." + frac;
    return out;
}

}  // namespace tavrinth
