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

        case ftMemo: case ftFmtMemo:
            if (!includeMemo) return true;
            if (kind == ValueKind::Null) {
                out += "\"\"";
                return true;
            }
            if (kind != ValueKind::String) return false;
            appendQuoted(out, value.text);
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
        const char* p = buffer_.data();
        std::size_t left = buffer_.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(errno);
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        buffer_.clear();
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
class TDelimitedExport::RecordPipeline {
public:
    static constexpr std::uint32_t kChunkRecords = 1024;
    static constexpr int kChunks = 4;

    struct Column {
        std::size_t field;
        TFieldType type;
        bool read;  // false: always an empty value (a left-out kind, or a memo left out)
    };
    struct Chunk {
        std::vector<FieldValue> values;  // record by record, one per read column
        std::uint32_t records = 0;
    };

    RecordPipeline(const std::vector<Column>& columns, const std::string& delimiter, bool includeMemo,
                   const ExportValueText& text, Output& out)
        : columns_(columns), delimiter_(delimiter), includeMemo_(includeMemo), text_(text), out_(out) {
        for (const Column& c : columns_) readColumns_ += c.read ? 1 : 0;
    }

    // Writes the lines of the records of `chunk`.
    void format(const Chunk& chunk) {
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
        chunk.values.resize(static_cast<std::size_t>(count) * readColumns_);
        chunk.records = count;
        FieldValue* v = chunk.values.data();
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint8_t* record = file.record(first + r);
            for (const Column& c : columns_) {
                if (!c.read) continue;
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
    std::size_t readColumns_ = 0;
    int failures_ = 0;  // counted by the thread that formats

    Chunk chunks_[kChunks];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> free_, ready_;
    bool done_ = false, failed_ = false;
    std::exception_ptr error_;
};

bool TDelimitedExport::WriteRecords(TTable& dataSet, Output& out, const ExportValueText& text) {
    std::vector<RecordPipeline::Column> columns;
    for (int i = 0; i < FFieldCount; ++i) {
        const TField& field = dataSet.Fields(i);
        if (!field.Visible()) continue;
        const TFieldType type = field.DataType();
        const bool memo = type == ftMemo || type == ftFmtMemo;
        columns.push_back({static_cast<std::size_t>(i), type, !leftOut(type) && (!memo || FIncludeMemo)});
    }
    // The records in the table's order, first to last, read straight from the engine's side of
    // the table; the table is then moved to its end, where running through it leaves it.
    TableFile& file = dataSet.File();
    const std::uint32_t count = dataSet.Eof() ? 0 : file.recordCount();
    RecordPipeline pipeline(columns, FDelimiterText, FIncludeMemo, text, out);
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
