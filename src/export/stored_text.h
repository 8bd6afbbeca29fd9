#pragma once
// The export's fast path for dBase tables: values written straight from their stored bytes.
//
// A dBase character, number, date or logical field keeps its value as text in the record. For the
// usual forms of that text the export's text can be written from the bytes without decoding them
// into a FieldValue first. Each writer below returns the end of what it wrote, or nullptr (having
// written nothing that counts) when the bytes are not of a form it knows to give exactly the text
// the decoded value gives: then the value is decoded and written as any other (ExportValueText).
// The two ways are compared on every form of stored text by the export's tests.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrinth {
class CodePage;
class DateTimeText;
}  // namespace tavrinth

namespace tavrinth::stored {

// The writers may read and write up to this many bytes past what they use: the records' bytes
// and the room made for the text are that much longer.
constexpr std::size_t kSlack = 32;

// The text of each byte of a single-byte code page, a quote doubled: a character field's bytes
// become its quoted export text one table look-up each.
class StoredCharText {
public:
    // False when the code page is not single-byte (it is then decoded as usual).
    bool build(const CodePage& codePage);
    // The most bytes write() uses for a field of n bytes.
    std::size_t bound(std::size_t n) const { return n * longest_ + 2; }
    // The quoted text of a character field (C): trailing blanks and NULs dropped, the rest
    // decoded.
    char* write(char* out, const std::uint8_t* p, std::size_t n) const;

private:
    char* put(char* out, std::uint8_t b) const;

    char text_[256][4] = {};
    std::uint8_t length_[256] = {};
    std::size_t longest_ = 0;
    bool asciiAsIs_ = false;
};

// A number field (N, F) holding a plain decimal: [-]digits[.digits] between blanks or NULs.
// A whole number of at most 18 digits is decoded as that integer and written without its leading
// zeros (by a float field only when it is below 10^15). A decimal with a fraction is decoded as
// the nearest double and written with at most 15 significant digits; when it has no more than 15
// significant digits and lies between 0.0001 and 10^15, that is the decimal itself (15 digits
// name one double among those they can give), in fixed notation, without leading and trailing
// zeros. Everything else (signs other than a leading minus, '*' overflow marks, exponents,
// commas, more digits, tiny values, a zero with a minus sign) is left to the decoded value.
// `wholeOnly`: a small whole-number field, where a fraction cannot be converted.
char* writeStoredNumber(char* out, const std::uint8_t* p, std::size_t n, bool wholeOnly, const std::string& separator);

// A date field (D) holding a valid date YYYYMMDD of the years 1 to 9999, or a blank one (blanks,
// zeros and NULs only: NULL, written empty).
char* writeStoredDate(char* out, const std::uint8_t* p, std::size_t n, const DateTimeText& date);

// A logical field (L): T t Y y, F f N n, or ? blank NUL for NULL (written empty).
char* writeStoredLogical(char* out, const std::uint8_t* p, std::size_t n);

}  // namespace tavrinth::stored
