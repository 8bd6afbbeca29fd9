#pragma once
// Paradox field values as records (and index and validity-check files) store them: big-endian
// with the sign bit flipped, so that all-zero bytes are a blank and bytes sort like values.

#include <cstddef>
#include <cstdint>
#include <string>

#include "../codepage.h"
#include "../field_value.h"

namespace tavrinth::paradox {

// Decodes a value of any non-BLOB type (A D S I $ N L T @ + # Y; unknown codes give Invalid).
void decodeValue(std::uint8_t typeCode, const std::uint8_t* p, std::size_t length, int decimals,
                 const CodePage& codePage, FieldValue& out);

// Encodes a value for a non-BLOB field of this type into `length` bytes at p (NULL: all zero).
// Returns false with a message in `error` when the field cannot hold the value (too long, out of
// range, a character the code page lacks, a wrong kind of value); p is then unspecified.
bool encodeValue(std::uint8_t typeCode, std::size_t length, int decimals, const CodePage& codePage,
                 const FieldValue& value, std::uint8_t* p, std::string& error);

// Flipped integers of 2 or 4 bytes; false when the bytes are all zero (blank).
bool decodeFlippedInt(const std::uint8_t* p, std::size_t length, std::int64_t& value);
void encodeFlippedInt(std::int64_t value, std::uint8_t* p, std::size_t length);
// Flipped doubles; false when the 8 bytes are all zero (blank).
bool decodeFlippedDouble(const std::uint8_t* p, double& value);
void encodeFlippedDouble(double value, std::uint8_t* p);
// BCD of 17 bytes: the decimal text with `decimals` digits after the point; false for a blank.
// Digits after a nibble above 9 (garbage the engine left beyond the real precision) become 0.
bool decodeBcd(const std::uint8_t* p, int decimals, std::string& text);
// Encodes a decimal text ("-12.5"); false when it has more integer digits than fit.
bool encodeBcd(const std::string& text, int decimals, std::uint8_t* p);

}  // namespace tavrinth::paradox
