#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tavrinth {

std::string shortestDoubleText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]x
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string sci(buf, r.ptr);
    std::string sign;
    if (sci[0] == '-') {
        sign = "-";
        sci.erase(0, 1);
    }
    const auto ePos = sci.find('e');
    const int exponent = std::atoi(sci.c_str() + ePos + 1);
    std::string digits;
    for (std::size_t i = 0; i < ePos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    const int n = static_cast<int>(digits.size());
    const int decpt = exponent + 1;  // value = 0.digits x 10^decpt
    std::string out = sign;
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            out += "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
        } else if (decpt < n) {
            out += digits.substr(0, static_cast<std::size_t>(decpt)) + "." + digits.substr(static_cast<std::size_t>(decpt));
        } else {
            out += digits + std::string(static_cast<std::size_t>(decpt - n), '0') + ".0";
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    const int e = decpt - 1;
    out += e < 0 ? "e-" : "e+";
    const int ae = std::abs(e);
    if (ae < 10) out.push_back('0');
    out += std::to_string(ae);
    return out;
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
