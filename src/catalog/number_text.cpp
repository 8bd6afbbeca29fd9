#include "number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tavrinth {

void appendShortestDoubleText(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]x
    char sci[40];
    const char* const end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    char text[48];
    char* t = text;
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
        out.append(text, t);
        return;
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
    t = std::to_chars(t, text + sizeof text, ax).ptr;
    out.append(text, t);
}

std::string shortestDoubleText(double value) {
    std::string s;
    appendShortestDoubleText(s, value);
    return s;
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
