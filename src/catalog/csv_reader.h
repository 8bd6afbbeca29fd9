#pragma once
// Reading CSV records from a stream, as the dump writes them and as spreadsheets save them:
// fields separated by commas, a field in double quotes may hold commas, line breaks and doubled
// quotes; records end with CR LF or LF. The stream is read in large pieces; only the current
// record is kept.

#include <cstdio>
#include <string>
#include <vector>

namespace tavrinth {

class CsvReader {
public:
    // Reads from `in` (not closed); `name` names the stream in messages.
    CsvReader(std::FILE* in, std::string name);
    // The next record into `fields`; false at the end of the stream. Throws EDBEngineError
    // (InvalidValue) on malformed text (a stray quote, an unclosed quoted field) and when the
    // stream cannot be read, naming the line.
    bool next(std::vector<std::string>& fields);
    // The line the last record started on (from 1).
    std::size_t line() const { return recordLine_; }

private:
    bool fill();
    int peek();
    std::FILE* in_;
    std::string name_;
    std::vector<char> buf_;
    std::size_t at_ = 0, end_ = 0;
    bool eof_ = false;
    std::size_t line_ = 1, recordLine_ = 0;
};

}  // namespace tavrinth
