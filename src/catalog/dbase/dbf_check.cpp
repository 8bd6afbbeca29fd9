// Verifying a dBase / FoxPro table family: the header against the file and the field
// descriptors, the deletion flags, the memo pointers, and the production index (.MDX, or the
// structural .CDX of a FoxPro table) and an .NDX of the table's name against the records.
//
// Layouts as dbf_table.h, dbf_index_entries.h and the memo reader take them. Choices made on
// real files:
// * The end-of-file mark after the last record may be there or not. Bytes after the records the
//   header counts are more records only when they start with a deletion flag: writers leave
//   other bytes there (a NUL and the end mark after the last record, then stale records).
// * Index entries of records marked deleted may stay in an index (dBase and FoxPro keep them until
//   the table is packed): a deleted record may have an entry or not, a live record must have
//   exactly one. A unique tag holds one entry per distinct key: for it only the entries
//   themselves are checked (record numbers in range and once at most, keys in order, no key twice).
//   A tag with a FOR clause holds the records the clause admits (dbf_expression.h evaluates it)
//   and no other: a live record it admits must have exactly one entry, a record it leaves out
//   none. A record the clause cannot be evaluated on (a date that is not valid ...) is not
//   checked; a clause not understood here leaves only the entries themselves checked.
// * The keys of .MDX text tags are compared with their fields, or with what their expression
//   gives where this program evaluates it (dbf_expression.h).
// * Character keys are checked for order only under the language drivers that collate by byte
//   value (none; the US drivers of code pages 437 and 850 and of Windows ANSI: bytes 0x01, 0x02,
//   0x03, 0x1B, 0x37, 0x57, names DB437US0, DB850US0, DBWINUS0); .CDX keys always compare by bytes
//   (FoxPro stores collation weights where its collation is not by bytes). A .CDX tag whose key
//   is no field of the table (an expression) is ordered without the trailing filler bytes, whose
//   value depends on the key type the expression gives.
// * The keys of inner nodes are checked to bound their subtrees (each is the last key below it,
//   as every multi-level .MDX and .NDX at hand has it) except in a .CDX, where no file at hand
//   has more than one level; the order of the leaves is checked in every kind.
// * A memo of a dBase IV / level 7 table (version 0x8B, 0x8C ...) starts with FF FF 08 00 and its
//   length; one of a dBase III table (0x83) runs to an end mark (1A) that need not be there at
//   the end of the file.

#include "dbf_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "../byte_order.h"
#include "../engine_error.h"
#include "dbf_expression.h"
#include "dbf_index_entries.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
constexpr std::size_t kVisualFoxProBacklink = 263;

std::string num(std::uint64_t v) { return std::to_string(v); }

std::string hexByte(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

// Calls visit(record bytes, 0-based record number) for records [0, count), read in large runs.
void forEachRecord(const ByteSource& src, const Header& h, std::uint32_t count,
                   const std::function<bool(const std::uint8_t*, std::uint32_t)>& visit) {
    const std::uint32_t perRun = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kReadBytes / h.recordLength));
    std::vector<std::uint8_t> buf;
    for (std::uint32_t first = 0; first < count; first += perRun) {
        const std::uint32_t n = std::min(perRun, count - first);
        buf.resize(static_cast<std::size_t>(n) * h.recordLength);
        src.readZeroFilled(h.headerLength + static_cast<std::uint64_t>(first) * h.recordLength, buf.data(), buf.size());
        for (std::uint32_t i = 0; i < n; ++i)
            if (!visit(buf.data() + static_cast<std::size_t>(i) * h.recordLength, first + i)) return;
    }
}

bool textSortsByByte(const Header& h) {
    if (h.level7)
        return h.languageDriverName.empty() || h.languageDriverName == "DB437US0" ||
               h.languageDriverName == "DB850US0" || h.languageDriverName == "DBWINUS0";
    switch (h.languageDriver) {
        case 0x00:
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x1B:
        case 0x37:
        case 0x57: return true;
        default: return false;
    }
}

// --- memo files -----------------------------------------------------------------------------------

class MemoFile {
public:
    enum class Kind { DBase3, DBase4, FoxPro };

    MemoFile(std::unique_ptr<ByteSource> src, Kind kind) : src_(std::move(src)), kind_(kind) {
        std::uint8_t head[22] = {};
        src_->readZeroFilled(0, head, sizeof head);
        if (kind_ == Kind::FoxPro)
            blockSize_ = loadBE16(head + 6);
        else if (kind_ == Kind::DBase4)
            blockSize_ = loadLE16(head + 20);
        if (blockSize_ == 0) blockSize_ = 512;
    }
    const std::string& name() const { return src_->name(); }

    // Why the memo at `block` is broken; empty when it is sound.
    std::string problem(std::uint64_t block) const {
        const std::uint64_t size = src_->size();
        const std::uint64_t at = block * blockSize_;
        if (at >= size) return "its memo block " + num(block) + " lies past the end of " + name();
        std::uint8_t h[8] = {};
        const std::size_t got = src_->readZeroFilled(at, h, sizeof h);
        if (kind_ == Kind::FoxPro) {
            if (got < 8) return "its memo block " + num(block) + " is cut short by the end of " + name();
            const std::uint64_t length = loadBE32(h + 4);
            if (at + 8 + length > size)
                return "its memo of " + num(length) + " bytes at block " + num(block) + " runs past the end of " +
                       name();
            return {};
        }
        if (kind_ == Kind::DBase4) {
            if (!(h[0] == 0xFF && h[1] == 0xFF && h[2] == 0x08 && h[3] == 0x00))
                return "its memo block " + num(block) + " in " + name() + " does not start a memo";
            const std::uint64_t length = loadLE32(h + 4);
            if (length < 8 || at + length > size)
                return "its memo of " + num(length) + " bytes at block " + num(block) + " runs past the end of " +
                       name();
        }
        return {};
    }

private:
    std::unique_ptr<ByteSource> src_;
    Kind kind_;
    std::uint64_t blockSize_ = 512;
};

// --- the family -----------------------------------------------------------------------------------

class FamilyCheck {
public:
    FamilyCheck(DBaseTable& table, const ByteSource& bytes, CheckReport& r)
        : table_(table),
          h_(table.header()),
          raw_(table.rawFields()),
          defs_(table.fields()),
          r_(r),
          src_(bytes),
          name_(src_.name()) {}

    void run() {
        checkHeader();
        scanRecords();
        checkIndexes();
    }

private:
    void checkHeader() {
        const std::uint64_t size = src_.size();
        if (h_.terminatorMissing) {
            std::uint8_t b = 0;
            if (h_.descriptorsEnd < h_.headerLength) src_.readZeroFilled(h_.descriptorsEnd, &b, 1);
            r_.add(name_, h_.descriptorsEnd < h_.headerLength
                              ? "the field descriptors end with the byte " + hexByte(b) + " where the mark 0x0D belongs"
                              : "the field descriptors run up to the records (at " + num(h_.headerLength) +
                                    ") without the mark 0x0D");
        } else if (h_.visualFoxPro && h_.descriptorsEnd + 1 + kVisualFoxProBacklink > h_.headerLength) {
            r_.add(name_, "the header of " + num(h_.headerLength) + " bytes leaves no room for the " +
                              num(kVisualFoxProBacklink) + "-byte database link after the field descriptors");
        }
        std::uint64_t fieldBytes = 1;
        for (const RawField& f : raw_) fieldBytes += f.length;
        if (fieldBytes != h_.recordLength)
            r_.add(name_, "the fields take " + num(fieldBytes) +
                              " bytes (with the deletion flag) but the header gives "
                              "records of " +
                              num(h_.recordLength));

        const std::uint64_t room = (size - h_.headerLength) / h_.recordLength;
        if (h_.numRecords > room)
            r_.add(name_, "the header counts " + num(h_.numRecords) + " records but the file holds only " + num(room));
        else if (h_.numRecords < room && startsRecord(h_.numRecords))
            // Bytes after the counted records that do not start like a record (an end-of-file
            // mark, zeros) are left-overs of the writer, not records.
            r_.add(name_, "the header counts " + num(h_.numRecords) + " records but the file holds " + num(room));
        records_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(h_.numRecords, room));
    }

    // Whether the bytes after the first `records` records start like a record (a deletion flag).
    bool startsRecord(std::uint32_t records) const {
        std::uint8_t b = 0;
        src_.readZeroFilled(h_.headerLength + static_cast<std::uint64_t>(records) * h_.recordLength, &b, 1);
        return b == ' ' || b == '*';
    }

    void scanRecords() {
        // The memo file of the fields that keep their values there.
        std::vector<std::size_t> memoFields;
        for (std::size_t i = 0; i < raw_.size() && i < defs_.size(); ++i)
            if (keptInMemoFile(raw_[i].type, h_) && defs_[i].length > 0) memoFields.push_back(i);
        std::unique_ptr<MemoFile> memo;
        if (!memoFields.empty()) {
            try {
                if (h_.foxPro) {
                    if (auto m = table_.family().open(".fpt"))
                        memo = std::make_unique<MemoFile>(std::move(m), MemoFile::Kind::FoxPro);
                } else if (auto m = table_.family().open(".dbt")) {
                    memo = std::make_unique<MemoFile>(
                        std::move(m), h_.version == 0x83 ? MemoFile::Kind::DBase3 : MemoFile::Kind::DBase4);
                }
            } catch (const EDBEngineError& e) {
                r_.add(name_, std::string("its memo file cannot be opened: ") + e.what());
            }
        }

        deleted_.assign(records_, false);
        std::uint64_t missing = 0;
        std::uint32_t ended = records_;
        forEachRecord(src_, h_, records_, [&](const std::uint8_t* rec, std::uint32_t i) {
            const std::uint8_t flag = rec[0];
            if (flag == 0x1A) {
                r_.add(name_, "record " + num(i + 1) + " of the " + num(records_) +
                                  " the header counts begins with the "
                                  "end-of-file mark 0x1A");
                ended = i;
                return false;
            }
            if (flag == '*')
                deleted_[i] = true;
            else if (flag != ' ')
                r_.add(name_,
                       "record " + num(i + 1) + " has the deletion flag " + hexByte(flag) + " (neither ' ' nor '*')");
            for (std::size_t fi : memoFields) {
                const FieldDef& f = defs_[fi];
                std::uint64_t block = 0;
                if (!memoBlock(rec + f.offset, f.length, raw_[fi].length, block)) {
                    r_.add(name_, "record " + num(i + 1) + ", field " + f.name + ": its memo pointer '" +
                                      table_.codePage().decode(rec + f.offset, f.length) + "' is no block number");
                    continue;
                }
                if (block == 0) continue;
                if (!memo) {
                    ++missing;
                    continue;
                }
                const std::string why = memo->problem(block);
                if (!why.empty()) r_.add(name_, "record " + num(i + 1) + ", field " + f.name + ": " + why);
            }
            return true;
        });
        records_ = ended;
        deleted_.resize(records_);
        if (missing > 0)
            r_.add(name_, num(missing) + " memo values are kept in the table's " + (h_.foxPro ? ".FPT" : ".DBT") +
                              " file, which is missing");
    }

    // The block a memo pointer names (0 = none); false when it is no number.
    static bool memoBlock(const std::uint8_t* p, std::size_t n, std::uint32_t declared, std::uint64_t& block) {
        block = 0;
        if (declared == 4) {
            if (n < 4) return false;
            block = loadLE32(p);
            return true;
        }
        std::size_t b = 0, e = n;
        while (b < e && (p[b] == ' ' || p[b] == 0)) ++b;
        while (e > b && (p[e - 1] == ' ' || p[e - 1] == 0)) --e;
        for (std::size_t i = b; i < e; ++i) {
            if (p[i] < '0' || p[i] > '9') return false;
            block = block * 10 + static_cast<std::uint64_t>(p[i] - '0');
            if (block > 0xFFFFFFFFull) return false;
        }
        return true;
    }

    void checkIndexes() {
        const FileFamily& family = table_.family();
        auto open = [&](const std::string& ext) -> std::unique_ptr<ByteSource> {
            try {
                return family.open(ext);
            } catch (const EDBEngineError& e) {
                r_.add(name_, "its index file " + ext + " cannot be opened: " + e.what());
                return nullptr;
            }
        };
        if (h_.tableFlags & 0x01) {
            if (h_.foxPro) {
                if (auto cdx = open(".cdx"))
                    checkIndexFile(*cdx, IndexFileKind::Cdx);
                else
                    r_.add(name_, "the header says the table has a structural index (.CDX), but the file is missing");
            } else if (auto mdx = open(".mdx")) {
                checkIndexFile(*mdx, IndexFileKind::Mdx);
            } else if (auto cdx = open(".cdx")) {
                // FoxPro writes a table without memo fields with the dBase III version byte.
                checkIndexFile(*cdx, IndexFileKind::Cdx);
            } else {
                r_.add(name_, "the header says the table has a production index (.MDX), but the file is missing");
            }
        }
        if (auto ndx = open(".ndx")) checkIndexFile(*ndx, IndexFileKind::Ndx);
    }

    void checkIndexFile(const ByteSource& src, IndexFileKind kind) {
        const std::string file = src.name();
        std::unique_ptr<IndexFileReader> reader;
        try {
            reader = std::make_unique<IndexFileReader>(src, kind);
        } catch (const IndexFileError& e) {
            r_.add(file, std::string("the index file is damaged: ") + e.what());
            return;
        } catch (const EDBEngineError& e) {
            r_.add(file, std::string("the index file cannot be read: ") + e.what());
            return;
        }
        for (const IndexTag& tag : reader->tags()) {
            try {
                checkTag(*reader, tag, file);
            } catch (const IndexFileError& e) {
                r_.add(file, std::string("the index is damaged: ") + e.what());
            } catch (const EDBEngineError& e) {
                r_.add(file, std::string("tag ") + tag.name + " cannot be read: " + e.what());
            }
        }
    }

    // The field a tag's key is, or -1 for an expression.
    int keyField(const IndexTag& tag) const {
        for (std::size_t i = 0; i < defs_.size(); ++i)
            if (!raw_[i].name.empty() && equalsIgnoreCase(raw_[i].name, tag.expression)) return static_cast<int>(i);
        return -1;
    }

    void checkTag(const IndexFileReader& reader, const IndexTag& tag, const std::string& file) {
        const IndexFileKind kind = reader.kind();
        const int field = keyField(tag);
        const char fieldType = field >= 0 ? raw_[static_cast<std::size_t>(field)].type : 0;
        const std::string label = kind == IndexFileKind::Ndx ? std::string("the index") : "tag " + tag.name;

        // The key type and the order keys compare in.
        char keyType = tag.keyType;
        if (kind == IndexFileKind::Cdx) keyType = field >= 0 ? (fieldType == 'C' ? 'C' : 'B') : '?';
        if (kind == IndexFileKind::Ndx && tag.keyType == 'N' && fieldType == 'D') keyType = 'D';
        const char filler = keyType == 'B' ? '\0' : ' ';
        const bool textOrder = kind == IndexFileKind::Cdx || textSortsByByte(h_);
        const bool sign = tag.descending;
        IndexFileReader::KeyOrder order = [&, kind, keyType, sign](const std::string& a, const std::string& b) {
            int c;
            if (keyType == '?') {
                // Without the trailing filler bytes, whose value is the key type's.
                auto end = [](const std::string& s) {
                    std::size_t e = s.size();
                    while (e > 0 && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
                    return e;
                };
                const std::size_t n = std::min(end(a), end(b));
                c = std::memcmp(a.data(), b.data(), n);
                c = c < 0 ? -1 : (c > 0 ? 1 : 0);
            } else {
                c = compareIndexKeys(kind, keyType == 'B' ? 'C' : keyType, a, b);
            }
            return sign ? -c : c;
        };
        const bool ordered = keyType != 'C' || textOrder;

        std::vector<bool> seen(records_, false);
        // A text key over an expression this program evaluates is compared with what it gives.
        std::unique_ptr<KeyExpression> expression;
        if (field < 0 && kind == IndexFileKind::Mdx && tag.keyType == 'C') {
            std::string why;
            expression = KeyExpression::parse(tag.expression, raw_, table_.codePage(), why);
            if (expression && expression->type() != 'C') expression.reset();
        }
        // The records a FOR clause admits: 1, leaves out: 0, cannot be evaluated on: 2.
        std::vector<std::uint8_t> admits;
        if (tag.hasFilter && kind != IndexFileKind::Ndx) {
            std::string why;
            if (const auto condition = Condition::parse(table_.codePage().decode(tag.filter), raw_, table_.codePage(), why)) {
                admits.assign(records_, 2);
                forEachRecord(src_, h_, records_, [&](const std::uint8_t* rec, std::uint32_t i) {
                    bool yes = false;
                    if (condition->admits(rec, defs_, h_, yes, why)) admits[i] = yes ? 1 : 0;
                    return true;
                });
            }
        }
        const bool compareValues =
            (field >= 0 && (fieldType == 'C' || fieldType == 'N' || fieldType == 'F' || fieldType == 'D')) || expression;
        std::vector<IndexKeyEntry> entries;
        std::string previous;
        bool first = true;
        std::uint64_t number = 0;
        reader.readEntries(tag, ordered && kind != IndexFileKind::Cdx ? order : IndexFileReader::KeyOrder{}, filler, [&](const IndexKeyEntry& e) {
            ++number;
            if (!first && ordered) {
                const int c = order(previous, e.key);
                if (c > 0)
                    r_.add(file,
                           label + ": entry " + num(number) + " (record " + num(e.record) + ") is out of key order");
                else if (c == 0 && tag.unique)
                    r_.add(file, label + ": entries " + num(number - 1) + " and " + num(number) +
                                     " of the unique tag have the same key");
            }
            previous = e.key;
            first = false;
            if (e.record == 0 || e.record > records_) {
                r_.add(file, label + ": entry " + num(number) + " names record " + num(e.record) +
                                 ", which the table does not have");
                return;
            }
            if (seen[e.record - 1]) {
                r_.add(file, label + ": record " + num(e.record) + " has more than one entry");
                return;
            }
            seen[e.record - 1] = true;
            if (!admits.empty() && admits[e.record - 1] == 0)
                r_.add(file, label + ": record " + num(e.record) + " has an entry, but the FOR clause " + tag.filter +
                                 " leaves it out");
            if (compareValues) entries.push_back(e);
        });

        // Every live record once (not for unique tags, which leave records out; in a tag with a FOR
        // clause every live record the clause admits).
        if (!tag.unique && (!tag.hasFilter || !admits.empty())) {
            std::uint64_t without = 0, firstWithout = 0;
            for (std::uint32_t i = 0; i < records_; ++i)
                if (!seen[i] && !deleted_[i] && (admits.empty() || admits[i] == 1) && without++ == 0) firstWithout = i + 1;
            if (without == 1)
                r_.add(file, label + ": record " + num(firstWithout) + " has no entry");
            else if (without > 1)
                r_.add(file, label + ": " + num(without) + " records have no entry (the first: record " +
                                 num(firstWithout) + ")");
        }

        if (!compareValues || entries.empty()) return;
        std::sort(entries.begin(), entries.end(),
                  [](const IndexKeyEntry& a, const IndexKeyEntry& b) { return a.record < b.record; });
        if (expression) {
            std::size_t next = 0;
            std::string text, why;
            forEachRecord(src_, h_, records_, [&](const std::uint8_t* rec, std::uint32_t i) {
                while (next < entries.size() && entries[next].record == i + 1) {
                    const std::string& key = entries[next].key;
                    if (expression->text(rec, defs_, h_, text, why)) {
                        text.resize(key.size(), ' ');
                        if (text != key)
                            r_.add(file, label + ": the entry of record " + num(i + 1) + " holds another key than its expression " +
                                             tag.expression + " gives ('" + table_.codePage().decode(text) + "')");
                    }
                    ++next;
                }
                return next < entries.size();
            });
            return;
        }
        const FieldDef& f = defs_[static_cast<std::size_t>(field)];
        std::size_t next = 0;
        forEachRecord(src_, h_, records_, [&](const std::uint8_t* rec, std::uint32_t i) {
            while (next < entries.size() && entries[next].record == i + 1) {
                if (matchFieldKey(kind, fieldType, entries[next].key, rec + f.offset, f.length) == KeyMatch::Differs)
                    r_.add(file, label + ": the entry of record " + num(i + 1) + " holds another key than its field " +
                                     f.name + " ('" + table_.codePage().decode(rec + f.offset, f.length) + "')");
                ++next;
            }
            return next < entries.size();
        });
    }

    DBaseTable& table_;
    const Header& h_;
    const std::vector<RawField>& raw_;
    const std::vector<FieldDef>& defs_;
    CheckReport& r_;
    const ByteSource& src_;
    std::string name_;
    std::uint32_t records_ = 0;  // the records the file holds of those the header counts
    std::vector<bool> deleted_;  // marked deleted, by record
};

}  // namespace

void checkFamily(DBaseTable& table, const ByteSource& tableBytes, CheckReport& report) {
    FamilyCheck(table, tableBytes, report).run();
}

}  // namespace tavrinth::dbase
