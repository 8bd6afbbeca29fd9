#pragma once
// A strict RFC 4180 reader for the dumps and the corpus oracles.
//
// Records end with CR LF (the last one too); a field is either plain (no comma, quote, CR or LF)
// or enclosed in double quotes with inner quotes doubled, and then it may span lines. Anything
// else is an error, reported with the byte offset where the reader gave up.

#include <cstddef>
#include <string>
#include <vector>

namespace tavrinth::test {

using CsvRecord = std::vector<std::string>;

struct CsvOptions {
    // Also refuse a quoted field that needs no quotes (the writers quote only fields holding a
    // comma, a quote, CR or LF; a record whose only field is empty is written "").
    bool minimalQuoting = false;
};

struct CsvResult {
    std::vector<CsvRecord> records;
    std::string error;          // empty when the text is well-formed
    std::size_t errorOffset = 0;
    bool ok() const { return error.empty(); }
};

CsvResult parseCsv(const std::string& text, const CsvOptions& options = {});

// Two dump cells say the same: equal text, or both read as doubles that are equal ("40.0" and
// "40", "1e+16" and "1e16").
bool sameCellValue(const std::string& a, const std::string& b);

}  // namespace tavrinth::test
