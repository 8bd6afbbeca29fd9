#pragma once
// The rows of the grid when it is sorted by a column or filtered: the table positions of the
// records shown, one per row, worked out by one pass over the table's records.
//
// Order of a column's values (ascending): NULL first; then the values that cannot be compared
// (an invalid value, a value kept in a missing memo or BLOB file, a NaN); then the values.
// Numbers, dates, times, timestamps and logicals compare by value, as the engine compares them
// (compareValues: as long double). Texts compare ignoring case: by their Unicode code points once
// case-folded, so "apple" < "Banana" < "zebra" < "Ärger" (not by the rules of a language).
// Records with equal values keep their table order. Descending turns the order round (NULLs last)
// except that records with equal values still keep their table order.
//
// Filter: a record is shown when the text one of its cells shows (TdExport::CellText) holds the
// filter text, ignoring case. A memo or BLOB cell shows only its marker, "(MEMO)" or "(Memo)" ...:
// the filter looks at the marker without reading the memo file.
//
// Memory: the result is 4 bytes a shown record. While the pass runs a sort also keeps a key for
// each shown record: 16 bytes for numbers (32 when a value needs more than a double's 53 bits,
// such as BCD or currency values), 16 bytes plus the case-folded text for texts.

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "field_value.h"
#include "table_file.h"

namespace tavrinth {

class RowOrderBuild {
public:
    struct Request {
        int sortField = -1;             // the table's field to sort by; -1: the table's order
        bool descending = false;
        QString filter;                 // empty: every record
        std::vector<int> filterFields;  // the fields whose shown text the filter looks at
    };

    // A pass over the first `records` records of `file` (which must stay open while it runs).
    RowOrderBuild(TableFile& file, std::uint32_t records, Request request);
    // Stops a sort running in the background (at its next comparison) and waits for it.
    ~RowOrderBuild();
    RowOrderBuild(const RowOrderBuild&) = delete;
    RowOrderBuild& operator=(const RowOrderBuild&) = delete;

    // Reads records until `deadline` has passed (looked at every few records); true when every
    // record has been read. Throws the engine's error when a record cannot be read.
    bool step(std::chrono::steady_clock::time_point deadline);
    bool allRead() const { return next_ >= records_; }
    // Reads the rest at once.
    void run();

    // Once every record is read: whether the sort is worth a thread of its own (many keys), so
    // that the window's events go on meanwhile; startSorting starts it, sorted() tells when it is
    // over. The thread touches only the keys, never the table.
    bool sortsInBackground() const;
    void startSorting();
    bool sorting() const { return sorter_.joinable(); }
    bool sorted() const { return sortDone_.load(std::memory_order_acquire); }

    // After the last step (and the background sort, when one was started): the table positions
    // of the rows, sorted. Empty with `identity` set when the rows are the table's own order (no
    // sort, every record shown). Throws what the background sort threw.
    std::vector<std::uint32_t> finish(bool& identity);

    const Request& request() const { return request_; }
    std::uint32_t recordsRead() const { return next_; }
    std::uint32_t records() const { return records_; }

private:
    template <class T>
    struct NumberKey {
        T value;
        std::uint32_t position;
    };
    struct TextKey {
        const char* text;  // case-folded, in one of textBlocks_
        std::uint32_t length;
        std::uint32_t position;
    };

    bool matches(const std::uint8_t* record);
    bool holdsFilter(const QString& shown) const;
    void addKey(const FieldValue& value, std::uint32_t position);
    // Sorts the keys and makes the rows of them (in the background thread, or at once).
    std::vector<std::uint32_t> sortKeys();
    void addNumber(long double value, std::uint32_t position);
    void addText(const std::string& utf8, std::uint32_t position);

    TableFile& file_;
    std::uint32_t records_;
    Request request_;
    std::uint32_t next_ = 0;

    // The filter.
    std::string asciiPattern_; // lower-case, when the filter text is plain ASCII (else empty)
    bool foldsBeyondAscii_ = false;  // the case-folded filter text holds a letter beyond ASCII
    bool everyRecord_ = true;  // no filter, or a marker column always holds it
    std::vector<int> textFields_;  // filter fields read from the records (not memo or BLOB)

    // Shown records without a sort, in table order; with a sort, the groups by kind of value.
    std::vector<std::uint32_t> shown_;
    std::vector<std::uint32_t> nulls_, uncomparable_;
    std::vector<NumberKey<double>> numbers_;
    std::vector<NumberKey<long double>> wideNumbers_;  // once a value does not fit a double
    bool wide_ = false;
    std::vector<TextKey> texts_;
    // The case-folded texts, in blocks of 1 MB that never move (no copy as they grow).
    std::vector<std::unique_ptr<char[]>> textBlocks_;
    std::size_t blockLeft_ = 0;
    char* blockEnd_ = nullptr;
    std::string folded_;
    FieldValue value_;

    // The sort in the background.
    std::thread sorter_;
    std::atomic<bool> sortDone_{false};
    std::atomic<bool> sortCancelled_{false};
    std::vector<std::uint32_t> sortedRows_;
    std::exception_ptr sortError_;
};

}  // namespace tavrinth
