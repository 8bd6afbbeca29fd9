#pragma once
// Numbers as text in fixed, locale-free forms.

#include <cstdint>
#include <string>

namespace tavrinth {

// The shortest text that reads back as the same double, in the style of Python's repr():
// "40.0", "1.34", "-0.0", "1e+16", "1.23456789012345e+18", "1e-05", "inf", "nan".
std::string shortestDoubleText(double value);
// The same written at `out` (at most 32 bytes); returns its end.
char* writeShortestDoubleText(char* out, double value);

// A double that is a short decimal, 1e-4 <= |value| < 1e15 with at most 15 significant digits of
// which at most 9 are decimals (money, measures: the usual values), written positionally as
// [-]digits[.digits] without leading or trailing zeros ("0.0025", "12.5", "40") at `out` (at most
// 24 bytes); returns its end. Returns nullptr, writing nothing that counts, for any other value.
// The digits are both the shortest that read back as the value and its 15 significant digits.
char* writeShortDecimal(char* out, double value);

// A scaled integer as an exact decimal with trailing fractional zeros dropped:
// (123456, 4) -> "12.3456", (200000, 4) -> "20", (-10000, 4) -> "-1".
std::string scaledIntegerText(std::int64_t value, int scale);

}  // namespace tavrinth
