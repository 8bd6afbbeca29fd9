// Changing records of a dBase table in place.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "../engine_error.h"
#include "../byte_order.h"
#include "../table_change.h"
#include "../table_update.h"
#include "dbf_encode.h"
#include "dbf_memo_file.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

namespace {

bool isMemoType(char type, bool visualFoxPro) {
    return type == 'M' || type == 'G' || type == 'P' || type == 'W' || (type == 'B' && !visualFoxPro);
}

// Whether an index key expression names the field (as a whole word, ignoring case).
bool expressionNames(const std::string& expression, const std::string& field) {
    const std::string e = toUpperAscii(expression), n = toUpperAscii(field);
    for (std::size_t at = e.find(n); at != std::string::npos; at = e.find(n, at + 1)) {
        const bool before = at == 0 || !(std::isalnum(static_cast<unsigned char>(e[at - 1])) || e[at - 1] == '_');
        const std::size_t end = at + n.size();
        const bool after = end >= e.size() || !(std::isalnum(static_cast<unsigned char>(e[end])) || e[end] == '_');
        if (before && after) return true;
    }
    return false;
}

// The key expression stored in a dBase III index (.NDX) header.
std::string ndxExpression(const ByteSource& src) {
    char buf[488] = {};
    src.readZeroFilled(24, buf, sizeof buf - 1);
    return std::string(buf);
}

}  // namespace

std::string DBaseTable::tableReadOnlyReason(bool indexFiles) {
    if (path_.empty()) return "the table is not a file on disk";
    std::uint64_t width = 1;
    for (const RawField& f : raw_) width += f.length;
    if (width != header_.recordLength) return "its field descriptors do not add up to its record length";
    if (header_.transactionFlag) return "its header marks an incomplete transaction";
    if (std::string why = foreignLockReason(path_); !why.empty()) return why;
    if (!indexFiles) return std::string();
    // Index files this program does not keep up to date would go stale unnoticed.
    for (const std::string& ext : family_->extensions()) {
        const std::string e = toLowerAscii(ext);
        if (e == ".ntx" || e == ".idx" || e == ".cdx")
            return "its index file " + stemPart(fileName_) + ext + " is not kept up to date by this program";
    }
    if ((header_.tableFlags & 0x01) && !header_.foxPro && family_->open(".mdx") && indexesForChanges().empty())
        return "its production index " + stemPart(fileName_) + ".mdx cannot be read";
    return std::string();
}

std::string DBaseTable::fieldReadOnlyReason(std::size_t field) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    if (isMemoType(rf.type, header_.visualFoxPro)) return "memo fields are read-only";
    if (rf.type == '+' || (header_.visualFoxPro && (rf.flags & 0x0C) == 0x0C))
        return "auto-increment values are given by the table";
    if (rf.type == 'V' || rf.type == 'Q' || rf.type == '0' || !f.visible)
        return "variable-length and system fields are read-only";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (f.length != rf.length) return "the field does not fit in the record";
    for (const TIndexDef& d : indexesForChanges()) {
        const bool keyField = std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) !=
                              d.fieldIndexes.end();
        if (keyField || (!d.Expression.empty() && expressionNames(d.Expression, f.name)) ||
            (!d.Filter.empty() && expressionNames(d.Filter, f.name)))
            return "the index tag " + d.Name + " covers it";
    }
    // dBase III indexes of the same name as the table.
    if (auto ndx = family_->open(".ndx"); ndx && expressionNames(ndxExpression(*ndx), f.name))
        return "the index " + stemPart(fileName_) + ".ndx covers it";
    return std::string();
}

std::int64_t DBaseTable::positionOfRecNo(std::int64_t recNo) {
    if (recNo < 1 || recNo > physicalCount_) return -1;
    const auto physical = static_cast<std::uint32_t>(recNo - 1);
    if (physicalRecord(physical)[0] == '*') return -1;
    if (liveBefore_.empty()) return physical;
    // Live records before the stretch, then the live ones before it within the stretch.
    const std::uint32_t stretch = physical / 1024;
    std::int64_t live = liveBefore_[stretch];
    for (std::uint32_t i = stretch * 1024; i < physical; ++i)
        if (physicalRecord(i)[0] != '*') ++live;
    return live;
}

bool DBaseTable::encodeField(std::size_t field, const FieldValue& value, std::uint8_t* rec, std::string& error) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    std::uint8_t* p = rec + f.offset;
    // Visual FoxPro: a nullable field says NULL through its bit in _NullFlags.
    if (rf.nullBit >= 0 && nullFlagsField_ >= 0) {
        const FieldDef& nf = fields_[static_cast<std::size_t>(nullFlagsField_)];
        std::uint8_t& flags = rec[nf.offset + static_cast<std::uint32_t>(rf.nullBit / 8)];
        const auto bit = static_cast<std::uint8_t>(1u << (rf.nullBit % 8));
        if (value.isNull()) {
            flags |= bit;
            std::fill(p, p + rf.length, static_cast<std::uint8_t>(rf.type == 'C' ? ' ' : 0));
            return true;
        }
        flags &= static_cast<std::uint8_t>(~bit);
    } else if (value.isNull() && rf.type == 'C') {
        error = "a text field of a dBase table has no NULL; give an empty text instead";
        return false;
    }
    return encodeValue(rf, header_, *codePage_, value, p, error);
}

void DBaseTable::reload() {
    const std::string path = diskPath();
    const Header was = header_;
    dbf_ = std::make_unique<FileSource>(path);
    family_ = std::make_unique<DiskFamily>(path);
    readHeader();
    if (header_.headerLength != was.headerLength || header_.recordLength != was.recordLength)
        throw EDBEngineError(EDBEngineError::Code::Locked,
                             "The structure of " + fileName_ + " was changed by another program; reopen the table");
    liveBefore_.clear();
    cursorValid_ = false;
    scanRecords();
    if (memo_) openMemo();
    journalProblem_.clear();
}

namespace {

// The header bytes that change when another program changes the records (count, date).
bool headerMoved(FamilyChange& change, const std::string& path, const std::uint8_t* opened) {
    std::uint8_t now[32];
    change.read(path, 0, now, sizeof now);
    return std::memcmp(now, opened, sizeof now) != 0;
}

}  // namespace

// --- The change object ---------------------------------------------------------------------------

// One change to the table's family: begun by taking the write lock (the table's maps read again
// when another program changed the file), then records rewritten in place or appended, then
// committed. Every write goes through the family's journal.
class DBaseTable::Change final : public TableAppend {
public:
    explicit Change(DBaseTable& t) : t_(t), path_(t.diskPath()), change_(path_) {
        if (change_.rolledBack() || headerMoved(change_, path_, t_.loadedHeader_)) t_.reload();
    }

    // Writes the record at position `index` in place, when the file still holds `seen` there.
    void rewrite(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen) {
        if (index >= t_.liveCount_) throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        const std::uint64_t offset = t_.recordFileOffset(index);
        // The record as the file holds it now, not as it was read into the buffer.
        std::vector<std::uint8_t> now(t_.header_.recordLength);
        change_.read(path_, offset, now.data(), now.size());
        t_.bufferCount_ = 0;
        if (std::memcmp(now.data(), seen, now.size()) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        change_.preserve(path_, offset, now.size());
        change_.write(path_, offset, rec, now.size());
    }

    void append(const std::vector<FieldValue>& values, const std::vector<bool>& given) override {
        if (!appending_) beginAppending();
        appendRecord(values, given);
    }

    std::uint64_t appended() const override { return added_; }
    std::int64_t lastRecNo() const override { return static_cast<std::int64_t>(count_); }

    void commit() override {
        if (appending_) finishAppending();
        change_.commit();
        if (appending_) t_.reload();
    }

private:
    void beginAppending() {
        appending_ = true;
        const Header& h = t_.header_;
        end_ = h.headerLength + static_cast<std::uint64_t>(t_.physicalCount_) * h.recordLength;
        count_ = t_.physicalCount_;
        // The header (count, date, the next auto-increment values of the descriptors) and the
        // end-of-file mark are all that changes of the old bytes.
        headerBytes_.resize(h.headerLength);
        change_.read(path_, 0, headerBytes_.data(), headerBytes_.size());
        change_.preserve(path_, 0, h.headerLength);
        // Bytes past the counted records (the end-of-file mark, or records the header does not
        // count) are overwritten by the new records.
        change_.preserve(path_, end_, std::max<std::uint64_t>(1, change_.sizeOf(path_) - std::min(end_, change_.sizeOf(path_))));
        if (t_.memoNeeded_) {
            const bool fox = h.foxPro;
            memoPath_ = DiskFamily(path_).path(fox ? ".fpt" : ".dbt");
            if (memoPath_.empty())
                throw EDBEngineError(EDBEngineError::Code::NotFound,
                                     "Cannot add records to " + t_.fileName_ + ": its memo file is missing");
            std::uint8_t head[24] = {};
            change_.read(memoPath_, 0, head, sizeof head);
            const MemoAppender::Kind kind = fox ? MemoAppender::Kind::FoxPro
                                          : h.version == 0x83 ? MemoAppender::Kind::DBase3 : MemoAppender::Kind::DBase4;
            std::uint32_t blockSize = kind == MemoAppender::Kind::FoxPro   ? loadBE16(head + 6)
                                      : kind == MemoAppender::Kind::DBase4 ? loadLE16(head + 20)
                                                                           : 512;
            if (blockSize == 0) blockSize = 512;
            std::uint64_t next = fox ? loadBE32(head) : loadLE32(head);
            // Never below the file's end: a stale header must not let new memos overwrite old ones.
            next = std::max<std::uint64_t>({next, 1, (change_.sizeOf(memoPath_) + blockSize - 1) / blockSize});
            memo_ = std::make_unique<MemoAppender>(kind, blockSize, next);
            change_.preserve(memoPath_, 0, 8);
        }
        // Auto-increment fields: their next values live in the descriptors.
        for (std::size_t i = 0; i < t_.raw_.size(); ++i) {
            const RawField& rf = t_.raw_[i];
            const bool vfp = h.visualFoxPro && rf.type == 'I' && (rf.flags & 0x0C) == 0x0C;
            if (rf.type != '+' && !vfp) continue;
            const std::size_t at = (h.level7 ? 68 + 48 * i + 42 : 32 + 32 * i + 19);
            if (at + 5 > headerBytes_.size()) continue;
            autoFields_.push_back({i, at, vfp ? std::max<std::uint8_t>(headerBytes_[at + 4], 1) : std::uint8_t{1}});
        }
        record_.resize(h.recordLength);
    }

    void appendRecord(const std::vector<FieldValue>& values, const std::vector<bool>& given) {
        const Header& h = t_.header_;
        if (count_ >= 0xFFFFFFFFull || end_ + 2ull * h.recordLength > 0xFFFFFFFFull)
            refuse("the table would grow past what a dBase table can hold");
        std::uint8_t* rec = record_.data();
        std::memset(rec, ' ', record_.size());
        // System fields (Visual FoxPro's _NullFlags) start as zeros, before the fields set their bits.
        for (std::size_t i = 0; i < t_.fields_.size(); ++i)
            if (!t_.fields_[i].visible || t_.raw_[i].type == '0') std::memset(rec + t_.fields_[i].offset, 0, t_.raw_[i].length);
        for (std::size_t i = 0; i < t_.fields_.size(); ++i) {
            const RawField& rf = t_.raw_[i];
            const FieldDef& f = t_.fields_[i];
            if (!f.visible || rf.type == '0') continue;
            FieldValue v;
            const bool has = i < given.size() && given[i];
            if (has) v = values[i];
            else t_.defaultValue(i, v);
            if (const std::string why = t_.validityProblem(i, v); !why.empty()) refuse(why);
            std::string error;
            if (isMemoType(rf.type, h.visualFoxPro)) {
                storeMemo(i, v);
                continue;
            }
            if (const AutoField* a = autoField(i)) {
                if (has && !v.isNull()) refuse("field " + f.name + " cannot be given: auto-increment values are given by the table");
                v.setInteger(loadLE32(headerBytes_.data() + a->at));
                storeLE32(headerBytes_.data() + a->at, static_cast<std::uint32_t>(v.integer + a->step));
                RawField asLong = rf;
                asLong.type = 'I';
                if (!encodeValue(asLong, h, *t_.codePage_, v, rec + f.offset, error)) refuse("field " + f.name + ": " + error);
                continue;
            }
            if (v.isNull() && rf.type == 'C' && !(rf.nullBit >= 0 && t_.nullFlagsField_ >= 0)) v.setText(ValueKind::String);
            if (!t_.encodeField(i, v, rec, error)) refuse("field " + f.name + ": " + error);
        }
        rec[0] = ' ';
        pending_.insert(pending_.end(), rec, rec + record_.size());
        ++count_;
        ++added_;
        if (pending_.size() >= testing::appendFlushBytes()) flush();
    }

    void finishAppending() {
        flush();
        const std::uint8_t eof = 0x1A;
        change_.write(path_, end_, &eof, 1);
        if (memo_) {
            std::uint8_t next[4];
            if (t_.header_.foxPro) storeBE32(next, static_cast<std::uint32_t>(memo_->nextBlock()));
            else storeLE32(next, static_cast<std::uint32_t>(memo_->nextBlock()));
            change_.write(memoPath_, 0, next, 4);
        }
        std::uint8_t* hb = headerBytes_.data();
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        hb[1] = static_cast<std::uint8_t>(local.tm_year % 256);
        hb[2] = static_cast<std::uint8_t>(local.tm_mon + 1);
        hb[3] = static_cast<std::uint8_t>(local.tm_mday);
        storeLE32(hb + 4, static_cast<std::uint32_t>(count_));
        change_.write(path_, 0, hb, headerBytes_.size());
    }

    struct AutoField {
        std::size_t field;
        std::size_t at;  // offset of the next value in the header
        std::uint8_t step;
    };

    [[noreturn]] void refuse(const std::string& why) const {
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             "Cannot add record " + std::to_string(added_ + 1) + " to " + t_.fileName_ + ": " + why);
    }
    const AutoField* autoField(std::size_t i) const {
        for (const AutoField& a : autoFields_)
            if (a.field == i) return &a;
        return nullptr;
    }
    void storeMemo(std::size_t i, const FieldValue& v) {
        const RawField& rf = t_.raw_[i];
        const FieldDef& f = t_.fields_[i];
        std::uint8_t* p = record_.data() + f.offset;
        std::memset(p, rf.length == 4 ? 0 : ' ', rf.length);
        if (v.isNull()) return;
        std::string data;
        const bool text = rf.type == 'M';
        if (text) {
            if (v.kind != ValueKind::String) refuse("field " + f.name + ": a memo takes text");
            if (!t_.codePage_->encode(v.text, data))
                refuse("field " + f.name + ": the text has a character that code page " + t_.codePage_->name() +
                       " cannot hold");
        } else {
            if (v.kind != ValueKind::Binary && v.kind != ValueKind::String) refuse("field " + f.name + ": the field takes binary data");
            data = v.text;
        }
        if (data.empty()) return;
        std::string why;
        const std::uint64_t block = memo_->add(data, text, why);
        if (block == 0) refuse("field " + f.name + ": " + why);
        const std::string pointer = memoPointerBytes(block, rf.length);
        if (pointer.size() != rf.length) refuse("field " + f.name + ": the memo file is too large for the field's pointer");
        std::memcpy(p, pointer.data(), rf.length);
        if (memo_->pending() >= testing::appendFlushBytes()) flushMemo();
    }
    void flushMemo() {
        std::uint64_t offset;
        const std::vector<std::uint8_t> bytes = memo_->take(offset);
        if (!bytes.empty()) change_.write(memoPath_, offset, bytes.data(), bytes.size());
    }
    void flush() {
        if (memo_) flushMemo();
        if (pending_.empty()) return;
        change_.write(path_, end_, pending_.data(), pending_.size());
        end_ += pending_.size();
        pending_.clear();
    }

    DBaseTable& t_;
    std::string path_;
    FamilyChange change_;
    std::string memoPath_;
    std::unique_ptr<MemoAppender> memo_;
    std::vector<std::uint8_t> headerBytes_;
    std::vector<AutoField> autoFields_;
    std::vector<std::uint8_t> record_, pending_;
    std::uint64_t end_ = 0, count_ = 0, added_ = 0;
    bool appending_ = false;
};

bool DBaseTable::keptOutsideRecord(std::size_t field) const { return isMemoType(raw_[field].type, header_.visualFoxPro); }

void DBaseTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen,
                             const std::vector<FieldChange>& outside) {
    if (!outside.empty())
        throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot change " + fileName_ + ": memo fields are read-only");
    Change change(*this);
    change.rewrite(index, rec, seen);
    change.commit();
}

void DBaseTable::removeRecord(std::uint32_t, const std::uint8_t*) {
    throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot delete from " + fileName_ + ": not yet");
}

std::uint64_t DBaseTable::pack() {
    throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot pack " + fileName_ + ": not yet");
}

std::unique_ptr<TableAppend> DBaseTable::beginAppend() {
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot add records to " + fileName_ + ": " + why);
    if ((header_.tableFlags & 0x01) || family_->open(".mdx") || family_->open(".cdx") || family_->open(".ndx") ||
        family_->open(".ntx"))
        throw EDBEngineError(EDBEngineError::Code::Unsupported,
                             "Cannot add records to " + fileName_ +
                                 ": it has index files, and this program does not yet keep indexes up to date "
                                 "when records are added");
    if (memoNeeded_ && !memo_)
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Cannot add records to " + fileName_ + ": its memo file is missing");
    return std::make_unique<Change>(*this);
}

}  // namespace tavrinth::dbase
