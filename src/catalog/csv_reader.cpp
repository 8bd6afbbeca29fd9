#include "csv_reader.h"

#include <cerrno>
#include <cstring>

#include "engine_error.h"

namespace tavrinth {

CsvReader::CsvReader(std::FILE* in, std::string name) : in_(in), name_(std::move(name)), buf_(1 << 20) {}

bool CsvReader::fill() {
    if (eof_) return false;
    end_ = std::fread(buf_.data(), 1, buf_.size(), in_);
    at_ = 0;
    if (end_ == 0) {
        if (std::ferror(in_))
            throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read " + name_ + ": " + std::strerror(errno));
        eof_ = true;
        return false;
    }
    return true;
}

int CsvReader::peek() {
    if (at_ == end_ && !fill()) return EOF;
    return static_cast<unsigned char>(buf_[at_]);
}

bool CsvReader::next(std::vector<std::string>& fields) {
    if (peek() == EOF) {
        fields.clear();
        return false;
    }
    recordLine_ = line_;
    auto malformed = [&](const char* what) {
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             name_ + ", line " + std::to_string(line_) + ": " + what);
    };
    // The strings of the last record are reused (no allocation per field).
    std::size_t count = 0;
    for (;;) {
        if (count == fields.size()) fields.emplace_back();
        std::string& field = fields[count++];
        field.clear();
        int c = peek();
        if (c == '"') {
            ++at_;
            for (;;) {
                c = peek();
                if (c == EOF) malformed("a quoted field is not closed");
                // Copy the run up to the next quote at once.
                const char* from = buf_.data() + at_;
                const void* q = std::memchr(from, '"', end_ - at_);
                const std::size_t n = q ? static_cast<std::size_t>(static_cast<const char*>(q) - from) : end_ - at_;
                for (std::size_t i = 0; i < n; ++i)
                    if (from[i] == '\n') ++line_;
                field.append(from, n);
                at_ += n;
                if (!q) continue;
                ++at_;  // the quote
                if (peek() == '"') {
                    field.push_back('"');
                    ++at_;
                    continue;
                }
                break;
            }
            c = peek();
            if (c != ',' && c != '\r' && c != '\n' && c != EOF) malformed("text follows a quoted field");
        } else {
            for (;;) {
                if (at_ == end_ && !fill()) break;
                const char* from = buf_.data() + at_;
                std::size_t n = 0;
                const std::size_t avail = end_ - at_;
                while (n < avail && from[n] != ',' && from[n] != '\r' && from[n] != '\n' && from[n] != '"') ++n;
                field.append(from, n);
                at_ += n;
                if (n < avail) break;
            }
            if (peek() == '"') malformed("a quote inside an unquoted field");
        }
        c = peek();
        if (c == ',') {
            ++at_;
            continue;
        }
        if (c == '\r') {
            ++at_;
            if (peek() != '\n') malformed("a carriage return without a line feed");
        }
        if (peek() == '\n') {
            ++at_;
            ++line_;
        }
        fields.resize(count);
        return true;
    }
}

}  // namespace tavrinth
