#include "row_order.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "tdexport.h"

namespace tavrinth {

namespace {

// Fields whose cells show only a marker ("(MEMO)", "(Blob)" ...), whatever they hold.
bool showsMarker(TFieldType t) {
    switch (t) {
        case ftMemo: case ftFmtMemo: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
        case ftTypedBinary:
            return true;
        default:
            return false;
    }
}

bool isAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

inline char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
inline char16_t lowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

// Does `text` (n characters, all ASCII) hold `pattern` (lower case, not empty), ignoring case?
template <class Char>
bool asciiContains(const Char* text, std::size_t n, const std::string& pattern) {
    const std::size_t m = pattern.size();
    if (m > n) return false;
    const Char first = static_cast<Char>(pattern[0]);
    for (std::size_t i = 0; i + m <= n; ++i) {
        if (lowerAscii(text[i]) != first) continue;
        std::size_t j = 1;
        while (j < m && lowerAscii(text[i + j]) == static_cast<Char>(pattern[j])) ++j;
        if (j == m) return true;
    }
    return false;
}

// How many records are read between two looks at the clock.
constexpr std::uint32_t kRecordsPerLook = 256;

// Sorting fewer keys than this takes a few milliseconds: no thread for it.
constexpr std::size_t kBackgroundSortKeys = 50000;

// Thrown by a comparison once the background sort is cancelled, to leave std::sort at once.
struct SortCancelled {};

}  // namespace

RowOrderBuild::RowOrderBuild(TableFile& file, std::uint32_t records, Request request)
    : file_(file), records_(records), request_(std::move(request)) {
    if (request_.filter.isEmpty()) return;
    everyRecord_ = false;
    const QString folded = request_.filter.toCaseFolded();
    foldsBeyondAscii_ = std::any_of(folded.begin(), folded.end(), [](QChar c) { return c.unicode() >= 0x80; });
    const std::string utf8 = request_.filter.toStdString();
    if (isAscii(utf8)) {
        asciiPattern_ = utf8;
        for (char& c : asciiPattern_) c = lowerAscii(c);
    }
    const auto& defs = file_.fields();
    for (const int f : request_.filterFields) {
        if (f < 0 || static_cast<std::size_t>(f) >= defs.size()) continue;
        const FieldDef& def = defs[static_cast<std::size_t>(f)];
        if (!showsMarker(def.dataType)) {
            textFields_.push_back(f);
            continue;
        }
        // A marker column: its two markers differ only in case, so it holds the text in every
        // record or in none, and its memo file is never read.
        if (holdsFilter(TdExport::CellText(def, FieldValue()))) everyRecord_ = true;
    }
}

// As QString::contains ignoring case (both sides case-folded), quicker for plain ASCII cells:
// those fold to ASCII, so they never hold a text whose folding goes beyond it.
bool RowOrderBuild::holdsFilter(const QString& shown) const {
    const char16_t* s = reinterpret_cast<const char16_t*>(shown.utf16());
    const auto n = static_cast<std::size_t>(shown.size());
    if (std::all_of(s, s + n, [](char16_t c) { return c < 0x80; })) {
        if (!asciiPattern_.empty()) return asciiContains(s, n, asciiPattern_);
        if (foldsBeyondAscii_) return false;
    }
    return shown.contains(request_.filter, Qt::CaseInsensitive);
}

bool RowOrderBuild::matches(const std::uint8_t* record) {
    const auto& defs = file_.fields();
    for (const int f : textFields_) {
        file_.decode(record, static_cast<std::size_t>(f), value_);
        if (value_.isNull()) continue;  // shows nothing
        if (holdsFilter(TdExport::CellText(defs[static_cast<std::size_t>(f)], value_))) return true;
    }
    return false;
}

void RowOrderBuild::addNumber(long double value, std::uint32_t position) {
    if (!wide_) {
        const double narrow = static_cast<double>(value);
        if (static_cast<long double>(narrow) == value) {
            if (numbers_.empty()) numbers_.reserve(everyRecord_ ? records_ - position : 1024);
            numbers_.push_back({narrow, position});
            return;
        }
        // More digits than a double holds: every key becomes a long double from here on.
        wide_ = true;
        wideNumbers_.reserve(everyRecord_ ? records_ - position + numbers_.size() : numbers_.size() + 1024);
        for (const NumberKey<double>& k : numbers_) wideNumbers_.push_back({k.value, k.position});
        numbers_ = {};
    }
    wideNumbers_.push_back({value, position});
}

void RowOrderBuild::addText(const std::string& utf8, std::uint32_t position) {
    const bool ascii = isAscii(utf8);
    if (!ascii) folded_ = QString::fromStdString(utf8).toCaseFolded().toStdString();
    const std::string& source = ascii ? utf8 : folded_;
    const std::size_t n = source.size();
    if (n > blockLeft_) {
        constexpr std::size_t kBlock = std::size_t{1} << 20;
        const std::size_t size = std::max(kBlock, n);
        textBlocks_.push_back(std::make_unique<char[]>(size));
        blockEnd_ = textBlocks_.back().get();
        blockLeft_ = size;
    }
    char* text = blockEnd_;
    if (ascii) std::transform(source.begin(), source.end(), text, [](char c) { return lowerAscii(c); });
    else std::copy(source.begin(), source.end(), text);
    blockEnd_ += n;
    blockLeft_ -= n;
    if (texts_.empty()) texts_.reserve(everyRecord_ ? records_ - position : 1024);
    texts_.push_back({text, static_cast<std::uint32_t>(n), position});
}

void RowOrderBuild::addKey(const FieldValue& v, std::uint32_t position) {
    switch (v.kind) {
        case ValueKind::Null: nulls_.push_back(position); return;
        case ValueKind::String: addText(v.text, position); return;
        // As the engine compares values (compareValues).
        case ValueKind::Integer: case ValueKind::Date: case ValueKind::Time: case ValueKind::Boolean:
            addNumber(static_cast<long double>(v.integer), position);
            return;
        case ValueKind::Currency: addNumber(static_cast<long double>(v.integer) / 10000.0L, position); return;
        case ValueKind::Float: case ValueKind::DateTime:
            if (std::isnan(v.real)) break;
            addNumber(v.real, position);
            return;
        case ValueKind::Bcd: {
            const long double x = std::strtold(v.text.c_str(), nullptr);
            if (std::isnan(x)) break;
            addNumber(x, position);
            return;
        }
        default: break;  // bytes, invalid values, missing BLOBs
    }
    uncomparable_.push_back(position);
}

bool RowOrderBuild::step(std::chrono::steady_clock::time_point deadline) {
    if (request_.sortField < 0 && everyRecord_) next_ = records_;  // the table's own rows
    const auto sortField = static_cast<std::size_t>(request_.sortField);
    while (next_ < records_) {
        const std::uint32_t end = std::min(records_, next_ + kRecordsPerLook);
        for (; next_ < end; ++next_) {
            const std::uint8_t* record = file_.record(next_);
            if (!everyRecord_ && !matches(record)) continue;
            if (request_.sortField < 0) {
                shown_.push_back(next_);
            } else {
                file_.decode(record, sortField, value_);
                addKey(value_, next_);
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    return next_ >= records_;
}

void RowOrderBuild::run() { step(std::chrono::steady_clock::time_point::max()); }

RowOrderBuild::~RowOrderBuild() {
    if (!sorter_.joinable()) return;
    sortCancelled_.store(true, std::memory_order_relaxed);
    sorter_.join();
}

bool RowOrderBuild::sortsInBackground() const {
    return request_.sortField >= 0 && numbers_.size() + wideNumbers_.size() + texts_.size() >= kBackgroundSortKeys;
}

void RowOrderBuild::startSorting() {
    if (sorter_.joinable()) return;
    sorter_ = std::thread([this] {
        try {
            sortedRows_ = sortKeys();
        } catch (const SortCancelled&) {
        } catch (...) {
            sortError_ = std::current_exception();
        }
        sortDone_.store(true, std::memory_order_release);
    });
}

std::vector<std::uint32_t> RowOrderBuild::finish(bool& identity) {
    identity = false;
    if (request_.sortField < 0) {
        if (everyRecord_) {
            identity = true;
            return {};
        }
        shown_.shrink_to_fit();
        return std::move(shown_);
    }
    if (!sorter_.joinable()) return sortKeys();
    sorter_.join();
    if (sortError_) std::rethrow_exception(sortError_);
    return std::move(sortedRows_);
}

std::vector<std::uint32_t> RowOrderBuild::sortKeys() {
    const bool down = request_.descending;
    // A comparison in 4 096 looks whether the sort is still wanted (a cheap load on its own).
    std::uint32_t comparisons = 0;
    auto wanted = [this, &comparisons] {
        if ((++comparisons & 4095) == 0 && sortCancelled_.load(std::memory_order_relaxed)) throw SortCancelled();
    };
    auto byNumber = [down, &wanted](const auto& a, const auto& b) {
        wanted();
        if (a.value != b.value) return down ? a.value > b.value : a.value < b.value;
        return a.position < b.position;
    };
    std::sort(numbers_.begin(), numbers_.end(), byNumber);
    std::sort(wideNumbers_.begin(), wideNumbers_.end(), byNumber);
    std::sort(texts_.begin(), texts_.end(), [down, &wanted](const TextKey& a, const TextKey& b) {
        wanted();
        const int c = std::string_view(a.text, a.length).compare(std::string_view(b.text, b.length));
        if (c != 0) return down ? c > 0 : c < 0;
        return a.position < b.position;
    });

    std::vector<std::uint32_t> rows;
    rows.reserve(nulls_.size() + uncomparable_.size() + numbers_.size() + wideNumbers_.size() + texts_.size());
    auto plain = [&rows](std::vector<std::uint32_t>& group) {
        rows.insert(rows.end(), group.begin(), group.end());
        group = {};
    };
    auto keyed = [&rows](auto& group) {
        for (const auto& k : group) rows.push_back(k.position);
        group = {};
    };
    if (!down) {
        plain(nulls_);
        plain(uncomparable_);
        keyed(numbers_);
        keyed(wideNumbers_);
        keyed(texts_);
    } else {
        keyed(texts_);
        keyed(wideNumbers_);
        keyed(numbers_);
        plain(uncomparable_);
        plain(nulls_);
    }
    textBlocks_.clear();
    textBlocks_.shrink_to_fit();
    return rows;
}

}  // namespace tavrinth
