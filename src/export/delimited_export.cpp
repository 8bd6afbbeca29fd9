#include "delimited_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QDir>

#include "date_time_text.h"
#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "path_names.h"
#include "table.h"
#include "table_file.h"

namespace tavrinth {

namespace {

constexpr std::size_t kFlushSize = std::size_t{1} << 20;  // the output is written in 1 MB pieces

bool leftOut(TFieldType type) {
    switch (type) {
        case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
        case ftADT: case ftArray: case ftReference: case ftDataSet:
            return true;
        default:
            return false;
    }
}

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

std::string errnoText(int errorNumber) { return inOutErrorMessage(errorNumber); }

// --- dBase values written straight from their stored bytes --------------------------------------
//
// A dBase character, number, date or logical field keeps its value as text in the record. For the
// usual forms of that text the export's text can be written from the bytes without decoding them
// into a FieldValue first. Each writer below returns the end of what it wrote, or nullptr (having
// written nothing that counts) when the bytes are not of a form it knows to give exactly the text
// the decoded value gives: then the value is decoded and written as any other.

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

// The writers may read and write up to this many bytes past what they use: the records' bytes
// and the room made for the text are that much longer.
constexpr std::size_t kSlack = 32;

// Copies n <= kSlack bytes (by copying kSlack).
char* copyShort(char* out, const std::uint8_t* from, std::size_t n) {
    std::memcpy(out, from, kSlack);
    return out + n;
}

// The text of each byte of a single-byte code page, a quote doubled: a character field's bytes
// become its quoted export text one table look-up each.
class StoredCharText {
public:
    // False when the code page is not single-byte (it is then decoded as usual).
    bool build(const CodePage& codePage) {
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
    // The most bytes write() uses for a field of n bytes.
    std::size_t bound(std::size_t n) const { return n * longest_ + 2; }
    // The quoted text of a character field: trailing blanks and NULs dropped, the rest decoded.
    char* write(char* out, const std::uint8_t* p, std::size_t n) const {
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

private:
    char* put(char* out, std::uint8_t b) const {
        std::memcpy(out, text_[b], 4);
        return out + length_[b];
    }

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

// A date field (D) holding a valid date YYYYMMDD of the years 1 to 9999, or a blank one (blanks,
// zeros and NULs only: NULL, written empty).
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

// A logical field (L): T t Y y, F f N n, or ? blank NUL for NULL (written empty).
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

}  // namespace

std::string inOutErrorMessage(int errorNumber) {
    switch (errorNumber) {
        case ENOENT: return "File not found";
        case ENOTDIR: case ENAMETOOLONG: case EINVAL: case ELOOP: return "Invalid filename";
        case EMFILE: case ENFILE: return "Too many open files";
        case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: case EBUSY: return "File access denied";
        case ENOSPC: case EDQUOT: case EFBIG: return "Disk full";
        default: return "I/O error " + std::to_string(errorNumber);
    }
}

// --- the values ---------------------------------------------------------------------------------

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
    char* end = buf;
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-4 && magnitude < 1e15) {
        // Most values are short decimals (money, measures): find the fewest decimals d for which
        // m / 10^d is the value with a whole m of at most 15 digits. That decimal is the one
        // fifteen significant digits give (no other 15-digit decimal rounds to the same double),
        // and in this range the general format writes it in fixed notation.
        static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
        for (int d = 0; d < 10; ++d) {
            const double product = magnitude * kPow10[d];
            if (product >= 1e15) break;
            auto m = static_cast<std::uint64_t>(product + 0.5);  // below 2^53: exact in a double
            if (static_cast<double>(m) / kPow10[d] != magnitude) continue;
            while (d > 0 && m % 10 == 0) {
                m /= 10;
                --d;
            }
            char digits[24];
            const auto r = std::to_chars(digits, digits + sizeof digits, m);
            const int n = static_cast<int>(r.ptr - digits);
            if (value < 0) *end++ = '-';
            if (n <= d) {
                *end++ = '0';
                *end++ = '.';
                for (int k = n; k < d; ++k) *end++ = '0';
                end = std::copy(digits, r.ptr, end);
            } else {
                end = std::copy(digits, r.ptr - d, end);
                if (d > 0) {
                    *end++ = '.';
                    end = std::copy(r.ptr - d, r.ptr, end);
                }
            }
            break;
        }
    }
    if (end == buf) {
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
                    date_->appendDate(out, value.integer);
                    return true;
                case ValueKind::Time:
                    if (value.integer < 0 || value.integer >= kMillisecondsPerDay) return false;
                    out += timeDate_;
                    if (value.integer / 1000 != 0) {
                        out += ' ';
                        time_->appendTime(out, value.integer);
                    }
                    return true;
                case ValueKind::DateTime: {
                    // Day numbers of years 1 to 9999 and a little beyond either side.
                    if (!std::isfinite(value.real) || std::fabs(value.real) > 4e14) return false;
                    const auto total = static_cast<std::int64_t>(std::floor(value.real));
                    std::int64_t days = total / kMillisecondsPerDay, ms = total % kMillisecondsPerDay;
                    if (ms < 0) {
                        ms += kMillisecondsPerDay;
                        --days;
                    }
                    appendDateTime(out, days, ms);
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

// --- the output file ----------------------------------------------------------------------------

// The file being written: a new file next to the target, moved over it by commit(); removed
// when the object goes without a commit.
class TDelimitedExport::Output {
public:
    explicit Output(const std::string& filename) {
        target_ = filename;
        struct stat st {};
        if (::lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            // Replace the file the link points at, not the link.
            if (char* real = ::realpath(target_.c_str(), nullptr)) {
                target_ = real;
                std::free(real);
            }
        }
        if (LastPathPart(target_).empty()) fail(EINVAL);
        if (::stat(target_.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) fail(EISDIR);
            // A file the user may not write stays as it is.
            if (::access(target_.c_str(), W_OK) != 0) fail(errno);
            keepMode_ = true;
            mode_ = st.st_mode & 07777;
        }
        std::string folder = PathWithoutLastPart(target_);
        static unsigned counter = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            temp_ = folder + ".tavrinth-export-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp";
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0 || errno != EEXIST) break;
        }
        if (fd_ < 0) {
            const int e = errno;
            temp_.clear();
            // Creating a file in a folder that does not exist.
            fail(e == ENOENT ? ENOTDIR : e);
        }
        buffer_.reserve(kFlushSize + 64 * 1024);
    }
    ~Output() {
        if (fd_ >= 0) ::close(fd_);
        if (!temp_.empty()) ::unlink(temp_.c_str());
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    std::string& buffer() { return buffer_; }
    void flushIfFull() {
        if (buffer_.size() >= kFlushSize) flush();
    }
    void flush() {
        writeAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    // Writes what the buffer holds, then `text`.
    void write(const std::string& text) {
        flush();
        writeAll(text.data(), text.size());
    }
    void writeAll(const char* p, std::size_t left) {
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(errno);
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    // Writes what is left and puts the file in the target's place. Every write and the close
    // are checked, so a full disk or a failing device is reported here, before the target is
    // touched. (No fsync: it would double the time of a large export, and the file systems
    // in use write a renamed-over file's data before the rename.)
    void commit() {
        flush();
        if (keepMode_ && ::fchmod(fd_, mode_) != 0) fail(errno);
        const int r = ::close(fd_);
        fd_ = -1;
        if (r != 0) fail(errno);
        if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(errno);
        temp_.clear();
    }

private:
    [[noreturn]] void fail(int errorNumber) { throw EInOutError(errorNumber, errnoText(errorNumber)); }

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool keepMode_ = false;
    mode_t mode_ = 0;
    std::string buffer_;
};

// --- the export ---------------------------------------------------------------------------------

TDelimitedExport::TDelimitedExport() {
    SetDelimiter(TDelimiter::None);
    SetIncludeFieldNames(true);
    SetIncludeMemo(false);
}

void TDelimitedExport::SetDelimiter(TDelimiter value) {
    switch (value) {
        case TDelimiter::None: FDelimiterText.clear(); break;
        case TDelimiter::Komma: FDelimiterText = ","; break;
        case TDelimiter::Semi: FDelimiterText = ";"; break;
        case TDelimiter::Tab: FDelimiterText = "\t"; break;
        default:
            value = TDelimiter::Komma;
            FDelimiterText = ",";
            break;
    }
    FDelimiter = value;
}

bool TDelimitedExport::Execute(TTable& dataSet, const UserLocale& locale) {
    FConversionFailures = 0;
    if (FFilename.empty()) return false;
    const ExportValueText text(locale);
    Output out(FFilename);
    dataSet.First();
    FFieldCount = dataSet.FieldCount();
    WriteFieldNames(dataSet, out);
    const bool result = WriteRecords(dataSet, out, text);
    out.commit();
    return result;
}

bool TDelimitedExport::WriteFieldNames(TTable& dataSet, Output& out) {
    if (!FIncludeFieldNames) return true;
    std::string& line = out.buffer();
    bool first = true;
    for (int i = 0; i < FFieldCount; ++i) {
        TField& field = dataSet.Fields(i);
        if (!field.Visible()) continue;
        if (!first) line += FDelimiterText;
        line += field.FieldName();
        first = false;
    }
    line += "\r\n";
    return true;
}

// The records are decoded by the calling thread and turned into text by a second one, a chunk
// of records at a time: the two halves of the work take about as long as each other. Only the
// calling thread uses the table; the second one only formats decoded values and writes the file.
// A few chunks are in flight at once, so memory stays flat whatever the number of records.
//
// The fields of a dBase table whose values are text in the record (character, number, date and
// logical fields, "Stored" columns) are not decoded by the calling thread: it copies the records'
// bytes, and their text is written straight from those, decoding only the values whose bytes are
// not of a usual form (with the engine's decoding of a field's bytes, which needs nothing else).
// When every column read is Stored, that writing is quick enough for the calling thread to take
// every second chunk of it; the second thread writes the other chunks, and the file in order.
class TDelimitedExport::RecordPipeline {
public:
    static constexpr std::uint32_t kChunkRecords = 1024;
    static constexpr int kChunks = 4;

    // How a column's text is written from the bytes of a dBase record.
    enum class Stored : std::uint8_t { No, Char, Number, WholeNumber, Date, Logical };

    struct Column {
        std::size_t field;
        TFieldType type;
        bool read;  // false: always an empty value (a left-out kind, or a memo left out)
        Stored stored = Stored::No;
        char letter = 0;  // the dBase field type
        std::uint32_t offset = 0, length = 0;  // where the field lies in the record
        std::size_t bound = 0;  // the most bytes its stored text takes
    };
    struct Chunk {
        std::vector<FieldValue> values;  // record by record, one per read column not Stored
        std::vector<std::uint8_t> bytes;  // the records' bytes, when some columns are Stored
        std::uint32_t records = 0;
        // When every column read is Stored, either thread may write the chunk's lines: here.
        std::string text;
        bool formatted = false;
        int failures = 0;
    };

    // `dbf` and `chars`: the table and its code page's character table, when some columns are
    // Stored.
    RecordPipeline(const std::vector<Column>& columns, const std::string& delimiter, bool includeMemo,
                   const ExportValueText& text, Output& out, const dbase::DBaseTable* dbf = nullptr,
                   const StoredCharText* chars = nullptr)
        : columns_(columns), delimiter_(delimiter), includeMemo_(includeMemo), text_(text), out_(out),
          dbf_(dbf), chars_(chars) {
        for (const Column& c : columns_) {
            if (!c.read) continue;
            if (c.stored == Stored::No)
                ++decodedColumns_;
            else
                ++storedColumns_;
        }
        if (storedColumns_ > 0) recordSize_ = dbf_->recordSize();
        shareFormatting_ = storedColumns_ > 0 && decodedColumns_ == 0;
        // boundFrom_[k]: the most bytes the stored columns k.. take, with the delimiters before
        // them and the line end.
        boundFrom_.assign(columns_.size() + 1, 2);
        for (std::size_t k = columns_.size(); k-- > 0;)
            boundFrom_[k] = boundFrom_[k + 1] + (k > 0 ? delimiter_.size() : 0) + columns_[k].bound;
    }

    // Writes the lines of the records of `chunk`.
    void format(Chunk& chunk) {
        if (shareFormatting_) {
            if (!chunk.formatted) formatText(chunk);
            failures_ += chunk.failures;
            out_.write(chunk.text);
            return;
        }
        if (storedColumns_ > 0) {
            failures_ += formatStored(chunk, out_.buffer(), true);
            return;
        }
        std::string& line = out_.buffer();
        const FieldValue* v = chunk.values.data();
        const bool oneChar = delimiter_.size() == 1;
        const char delimiter = oneChar ? delimiter_[0] : 0;
        for (std::uint32_t r = 0; r < chunk.records; ++r) {
            for (std::size_t k = 0; k < columns_.size(); ++k) {
                if (k > 0) {
                    if (oneChar)
                        line.push_back(delimiter);
                    else
                        line += delimiter_;
                }
                const Column& c = columns_[k];
                if (!c.read) continue;
                if (!text_.append(line, c.type, *v++, includeMemo_)) ++failures_;
            }
            line += "\r\n";
            out_.flushIfFull();
        }
    }

    // Decodes the records [first, first + count) of `file` into `chunk`. A value whose reading
    // fails is marked invalid: it counts as a value that could not be converted.
    void decode(TableFile& file, std::uint32_t first, std::uint32_t count, Chunk& chunk) const {
        chunk.values.resize(static_cast<std::size_t>(count) * decodedColumns_);
        chunk.bytes.resize(storedColumns_ > 0 ? static_cast<std::size_t>(count) * recordSize_ + kSlack : 0);
        chunk.records = count;
        chunk.formatted = false;
        FieldValue* v = chunk.values.data();
        std::uint8_t* copy = chunk.bytes.data();
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint8_t* record = file.record(first + r);
            if (storedColumns_ > 0) {
                std::memcpy(copy, record, recordSize_);
                copy += recordSize_;
            }
            if (decodedColumns_ == 0) continue;
            for (const Column& c : columns_) {
                if (!c.read || c.stored != Stored::No) continue;
                try {
                    file.decode(record, c.field, *v);
                } catch (const EDatabaseError&) {
                    v->setText(ValueKind::Invalid);
                }
                ++v;
            }
        }
    }

    void run(TableFile& file, std::uint32_t count) {
        if (count <= kChunkRecords) {
            Chunk chunk;
            decode(file, 0, count, chunk);
            format(chunk);
            return;
        }
        for (int i = 0; i < kChunks; ++i) free_.push_back(i);
        std::thread writer([this] { writeLoop(); });
        try {
            for (std::uint32_t first = 0; first < count; first += kChunkRecords) {
                int slot;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this] { return !free_.empty() || failed_; });
                    if (failed_) break;
                    slot = free_.front();
                    free_.pop_front();
                }
                decode(file, first, std::min(kChunkRecords, count - first), chunks_[slot]);
                // Every second chunk is written out by this thread when the work allows.
                if (shareFormatting_ && first / kChunkRecords % 2 == 0) formatText(chunks_[slot]);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ready_.push_back(slot);
                }
                changed_.notify_all();
            }
        } catch (...) {
            stop();
            writer.join();
            throw;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        writer.join();
        if (error_) std::rethrow_exception(error_);
    }

    int failures() const { return failures_; }

private:
    // The lines of a chunk whose columns are all Stored, into the chunk's text.
    void formatText(Chunk& chunk) const {
        chunk.text.clear();
        chunk.failures = formatStored(chunk, chunk.text, false);
        chunk.formatted = true;
    }

    // The lines of records with Stored columns, appended to `line` (`flush`: the output's buffer,
    // written out when full). The text of those columns is written into room made ahead in
    // `line`, the other values are appended as usual. Returns the number of values that could
    // not be converted.
    int formatStored(const Chunk& chunk, std::string& line, bool flush) const {
        int failures = 0;
        FieldValue decoded;  // a Stored column's value whose bytes are unusual
        const bool oneChar = delimiter_.size() == 1;
        const char delimiter = oneChar ? delimiter_[0] : 0;
        // Written up to p; room (zeros) up to limit.
        char* p = line.data() + line.size();
        char* limit = p;
        auto makeRoom = [&](std::size_t n) {
            if (static_cast<std::size_t>(limit - p) >= n) return;
            const auto used = static_cast<std::size_t>(p - line.data());
            line.resize(used + std::max<std::size_t>(n, 64 * 1024));
            p = line.data() + used;
            limit = line.data() + line.size();
        };
        const FieldValue* v = chunk.values.data();
        const std::uint8_t* record = chunk.bytes.data();
        for (std::uint32_t r = 0; r < chunk.records; ++r, record += recordSize_) {
            makeRoom(boundFrom_[0] + kSlack);
            for (std::size_t k = 0; k < columns_.size(); ++k) {
                if (k > 0) {
                    if (oneChar) {
                        *p++ = delimiter;
                    } else {
                        std::memcpy(p, delimiter_.data(), delimiter_.size());
                        p += delimiter_.size();
                    }
                }
                const Column& c = columns_[k];
                if (!c.read) continue;
                const FieldValue* value;
                if (c.stored != Stored::No) {
                    if (char* end = writeStored(c, record + c.offset, p)) {
                        p = end;
                        continue;
                    }
                    dbase::decodeStoredValue(c.letter, dbf_->header(), dbf_->codePage(), record + c.offset, c.length,
                                             decoded);
                    value = &decoded;
                } else {
                    value = v++;
                }
                line.resize(static_cast<std::size_t>(p - line.data()));
                if (!text_.append(line, c.type, *value, includeMemo_)) ++failures;
                p = limit = line.data() + line.size();
                makeRoom(boundFrom_[k + 1] + kSlack);
            }
            *p++ = '\r';
            *p++ = '\n';
            if (flush && static_cast<std::size_t>(p - line.data()) >= kFlushSize) {
                line.resize(static_cast<std::size_t>(p - line.data()));
                out_.flush();
                p = limit = line.data();
            }
        }
        line.resize(static_cast<std::size_t>(p - line.data()));
        return failures;
    }

    char* writeStored(const Column& c, const std::uint8_t* bytes, char* out) const {
        switch (c.stored) {
            case Stored::Char: return chars_->write(out, bytes, c.length);
            case Stored::Number: return writeStoredNumber(out, bytes, c.length, false, text_.decimalSeparator());
            case Stored::WholeNumber: return writeStoredNumber(out, bytes, c.length, true, text_.decimalSeparator());
            case Stored::Date: return writeStoredDate(out, bytes, c.length, text_.dateText());
            case Stored::Logical: return writeStoredLogical(out, bytes, c.length);
            case Stored::No: break;
        }
        return nullptr;
    }

    void writeLoop() {
        try {
            for (;;) {
                int slot;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this] { return !ready_.empty() || done_ || failed_; });
                    if (failed_ || ready_.empty()) return;
                    slot = ready_.front();
                    ready_.pop_front();
                }
                format(chunks_[slot]);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    free_.push_back(slot);
                }
                changed_.notify_all();
            }
        } catch (...) {
            error_ = std::current_exception();
            stop();
        }
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;
        }
        changed_.notify_all();
    }

    const std::vector<Column>& columns_;
    const std::string& delimiter_;
    bool includeMemo_;
    const ExportValueText& text_;
    Output& out_;
    const dbase::DBaseTable* dbf_;
    const StoredCharText* chars_;
    std::size_t decodedColumns_ = 0, storedColumns_ = 0;
    std::size_t recordSize_ = 0;
    std::vector<std::size_t> boundFrom_;
    bool shareFormatting_ = false;
    int failures_ = 0;  // counted by the thread that formats

    Chunk chunks_[kChunks];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> free_, ready_;
    bool done_ = false, failed_ = false;
    std::exception_ptr error_;
};

bool TDelimitedExport::WriteRecords(TTable& dataSet, Output& out, const ExportValueText& text) {
    // The records in the table's order, first to last, read straight from the engine's side of
    // the table; the table is then moved to its end, where running through it leaves it.
    TableFile& file = dataSet.File();
    const std::uint32_t count = dataSet.Eof() ? 0 : file.recordCount();
    using Stored = RecordPipeline::Stored;
    const auto* dbf = dynamic_cast<const dbase::DBaseTable*>(&file);
    StoredCharText chars;
    const bool charsStored = dbf && chars.build(file.codePage());
    std::vector<RecordPipeline::Column> columns;
    for (int i = 0; i < FFieldCount; ++i) {
        const TField& field = dataSet.Fields(i);
        if (!field.Visible()) continue;
        const TFieldType type = field.DataType();
        const bool memo = type == ftMemo || type == ftFmtMemo;
        RecordPipeline::Column c{static_cast<std::size_t>(i), type, !leftOut(type) && (!memo || FIncludeMemo)};
        // A dBase field whose value is its bytes in the record alone: no NULL flag or length
        // kept elsewhere.
        if (dbf && c.read && c.field < file.fields().size() && file.fields()[c.field].dataType == type &&
            dbf->rawFields()[c.field].nullBit < 0 && dbf->rawFields()[c.field].varLengthBit < 0) {
            const FieldDef& f = file.fields()[c.field];
            c.letter = f.typeLetter;
            c.offset = f.offset;
            c.length = f.length;
            switch (f.typeLetter) {
                case 'C':
                    if (charsStored && type == ftString) {
                        c.stored = Stored::Char;
                        c.bound = chars.bound(f.length);
                    }
                    break;
                case 'N': case 'F':
                    if (type == ftFloat || type == ftSmallint) {
                        c.stored = type == ftFloat ? Stored::Number : Stored::WholeNumber;
                        c.bound = f.length + 1 + text.decimalSeparator().size();
                    }
                    break;
                case 'D':
                    if (type == ftDate && text.dateText().writeDateBound() > 0) {
                        c.stored = Stored::Date;
                        c.bound = text.dateText().writeDateBound();
                    }
                    break;
                case 'L':
                    if (type == ftBoolean) {
                        c.stored = Stored::Logical;
                        c.bound = 5;
                    }
                    break;
                default: break;
            }
        }
        columns.push_back(c);
    }
    RecordPipeline pipeline(columns, FDelimiterText, FIncludeMemo, text, out, dbf, &chars);
    pipeline.run(file, count);
    dataSet.Last();
    FConversionFailures += pipeline.failures();
    return pipeline.failures() == 0;
}

std::string conversionFailureMessage(int failures, const std::string& filename) {
    if (failures == 1)
        return "1 value could not be converted; it is written as an empty value in \"" + filename + "\".";
    return std::to_string(failures) + " values could not be converted; they are written as empty values in \"" +
           filename + "\".";
}

// --- the export dialog --------------------------------------------------------------------------

ExportDialogSetup exportDialogSetup(const std::string& databaseName, const std::string& tableName,
                                    const QString& folder) {
    ExportDialogSetup s;
    s.title = QStringLiteral("Export table: \"") + QString::fromStdString(databaseName) + QStringLiteral(" - ") +
              QString::fromStdString(tableName) + QStringLiteral("\" to textfile");
    s.proposedName = QString::fromStdString(tableName) + QStringLiteral(".txt");
    s.nameFilter = QStringLiteral("Textfile (*.txt *.TXT);;CSV-file (*.csv *.CSV)");
    s.defaultSuffix = QStringLiteral("TXT");
    s.folder = folder.isEmpty() ? QDir::homePath() : folder;
    s.confirmOverwrite = false;
    return s;
}

QString exportFolderAfter(const QString& chosenFile) {
    return QString::fromStdString(PathWithoutLastPart(chosenFile.toStdString()));
}

}  // namespace tavrinth
