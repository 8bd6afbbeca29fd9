// Changing records of a dBase table in place.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "../engine_error.h"
#include "../byte_order.h"
#include "../index_rebuild.h"
#include "../table_change.h"
#include "../table_update.h"
#include "dbf_cdx_update.h"
#include "dbf_encode.h"
#include "dbf_expression.h"
#include "dbf_mdx_update.h"
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
        if (e == ".ntx" || e == ".idx" || (e == ".cdx" && !structuralCdx()))
            return "its index file " + stemPart(fileName_) + ext + " is not kept up to date by this program";
    }
    if ((header_.tableFlags & 0x01) && !header_.foxPro && family_->open(".mdx") && indexesForChanges().empty())
        return "its production index " + stemPart(fileName_) + ".mdx cannot be read";
    return std::string();
}

std::string DBaseTable::fieldReadOnlyReason(std::size_t field) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    if (rf.type == '+' || (header_.visualFoxPro && (rf.flags & 0x0C) == 0x0C))
        return "auto-increment values are given by the table";
    if (rf.type == 'V' || rf.type == 'Q' || rf.type == '0' || !f.visible)
        return "variable-length and system fields are read-only";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (f.length != rf.length) return "the field does not fit in the record";
    // The production index follows every change of a key; a tag whose FOR clause is not
    // evaluated here cannot.
    for (const TIndexDef& d : indexesForChanges()) {
        if (d.Filter.empty()) continue;
        const bool keyField = std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) !=
                              d.fieldIndexes.end();
        const bool covers = keyField || (!d.Expression.empty() && expressionNames(d.Expression, f.name)) ||
                            expressionNames(d.Filter, f.name);
        std::string why;
        if (covers && !Condition::parse(d.Filter, raw_, *codePage_, why))
            return "the index tag " + d.Name + " covers it with the FOR clause " + d.Filter +
                   ", which this program does not evaluate (" + why + ")";
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
    const std::vector<RawField> wasFields = std::move(raw_);
    raw_.clear();
    readHeader();
    if (raw_.size() != wasFields.size())
        throw EDBEngineError(EDBEngineError::Code::Locked,
                             "The structure of " + fileName_ + " was changed by another program; reopen the table");
    if (header_.headerLength != was.headerLength || header_.recordLength != was.recordLength)
        throw EDBEngineError(EDBEngineError::Code::Locked,
                             "The structure of " + fileName_ + " was changed by another program; reopen the table");
    liveBefore_.clear();
    cursorValid_ = false;
    bufferCount_ = 0;  // the records buffered are the old file's
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
    explicit Change(DBaseTable& t) : t_(t), path_(t.diskPath()), owned_(std::make_unique<FamilyChange>(path_)), change_(*owned_) {
        if (change_.rolledBack() || headerMoved(change_, path_, t_.loadedHeader_)) t_.reload();
    }
    // Without commit the files go back as they were; the table then reads them again when the
    // change had shown it new ones.
    ~Change() override {
        if (committed_) return;
        owned_.reset();
        if (reloadOnRollback_) {
            try {
                t_.reload();
            } catch (...) {
            }
        }
    }

    // The production .MDX, when the table has one: saved whole before the first write, so the
    // change can write it again from the records.
    void keepIndexes() {
        if (indexesKept_) return;
        indexesKept_ = true;
        if (!(t_.header_.tableFlags & 0x01)) return;
        mdxPath_ = DiskFamily(path_).path(t_.header_.foxPro ? ".cdx" : ".mdx");
        if (mdxPath_.empty()) return;
        // A .cdx whose keys this program would not compute the same way is refused now, before
        // anything is written.
        if (t_.header_.foxPro) verifyIndexKeys(t_);
        change_.preserveWhole(mdxPath_);
    }
    // The production .MDX or structural .CDX kept up to date in place for a few records the
    // change adds or rewrites (before the first write); else saved whole, to be written again
    // from the records.
    void keepIndexesFor(const std::vector<MdxRecordChange>& changes, std::uint64_t records) {
        if (indexesKept_ || inPlace_ || cdxInPlace_) return;
        if ((t_.header_.tableFlags & 0x01) && !t_.header_.foxPro) {
            const std::string mdx = DiskFamily(path_).path(".mdx");
            auto inPlace = std::make_unique<MdxInPlace>(t_, change_, mdx);
            if (!mdx.empty() && inPlace->prepare(changes, records)) {
                inPlace_ = std::move(inPlace);
                return;
            }
        }
        if (t_.structuralCdx()) {
            const std::string cdx = DiskFamily(path_).path(".cdx");
            auto inPlace = std::make_unique<CdxInPlace>(t_, change_, cdx, path_);
            if (!cdx.empty() && inPlace->prepare(changes)) {
                cdxInPlace_ = std::move(inPlace);
                return;
            }
        }
        keepIndexes();
    }
    // Writes the index files again from the records as the change has left them, or the nodes
    // of the .MDX or .CDX changed in place.
    void rebuildIndexes() {
        if (inPlace_) inPlace_->write();
        if (cdxInPlace_) cdxInPlace_->write();
        if (mdxPath_.empty()) return;
        reloadOnRollback_ = true;
        t_.reload();
        for (const RebuiltIndexFile& f : rebuildIndexFiles(t_)) writeRebuilt(change_, f);
    }

    // Marks the record at `index` deleted, when the file still holds `seen` there.
    void markDeleted(std::uint32_t index, const std::uint8_t* seen) {
        const std::uint64_t offset = checkedOffset(index, seen);
        change_.preserve(path_, offset, 1);
        const std::uint8_t mark = '*';
        change_.write(path_, offset, &mark, 1);
        reloadOnRollback_ = true;
    }

    // Writes the table again without its records marked deleted, and its memo file without the
    // blocks only they (or nobody) used; returns the number of records removed. The records move
    // down in place; the memos still used are first written after the memo file's end, in record
    // order, then moved down to its first block, so that no old byte is overwritten before it was
    // read. The old files are in the journal until the change is made.
    std::uint64_t pack() {
        keepIndexes();
        reloadOnRollback_ = true;
        const Header& h = t_.header_;
        const std::uint32_t length = h.recordLength;
        change_.preserveWhole(path_);
        std::vector<std::size_t> memoFields;
        for (std::size_t i = 0; i < t_.raw_.size(); ++i)
            if (isMemoType(t_.raw_[i].type, h.visualFoxPro)) memoFields.push_back(i);
        std::uint64_t oldBlocks = 0, firstBlock = 1;
        std::uint32_t blockSize = 512;
        if (!memoFields.empty() && t_.memo_) {
            openMemo();
            change_.preserveWhole(memoPath_);
            std::uint8_t head[24] = {};
            change_.read(memoPath_, 0, head, sizeof head);
            blockSize = h.foxPro ? loadBE16(head + 6) : h.version == 0x83 ? 512 : loadLE16(head + 20);
            if (blockSize == 0) blockSize = 512;
            oldBlocks = (change_.sizeOf(memoPath_) + blockSize - 1) / blockSize;
            if (h.foxPro) firstBlock = std::max<std::uint64_t>(1, (512 + blockSize - 1) / blockSize);
            memo_ = std::make_unique<MemoAppender>(h.foxPro ? MemoAppender::Kind::FoxPro
                                                   : h.version == 0x83 ? MemoAppender::Kind::DBase3
                                                                       : MemoAppender::Kind::DBase4,
                                                   blockSize, std::max(oldBlocks, firstBlock));
            oldBlocks = std::max(oldBlocks, firstBlock);
        } else if (!memoFields.empty()) {
            throw EDBEngineError(EDBEngineError::Code::NotFound, "Cannot pack " + t_.fileName_ + ": its memo file is missing");
        }
        end_ = h.headerLength;
        std::uint64_t kept = 0, removed = 0;
        std::vector<std::uint8_t> rec(length);
        std::string data;
        for (std::uint32_t i = 0; i < t_.physicalCount_; ++i) {
            const std::uint8_t* r = t_.physicalRecord(i);
            if (r[0] == '*') {
                ++removed;
                continue;
            }
            std::memcpy(rec.data(), r, length);
            for (const std::size_t f : memoFields) {
                bool binary = false;
                const int got = t_.rawMemo(rec.data(), f, data, binary);
                if (got < 0)
                    throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                         "Cannot pack " + t_.fileName_ + ": the memo of record " + std::to_string(i + 1) +
                                             ", field " + t_.fields_[f].name + ", cannot be read (tavrinth-cli check tells more)");
                if (got == 0) continue;
                std::string why;
                const std::uint64_t block = memo_->add(data, h.foxPro ? !binary : t_.raw_[f].type == 'M', why);
                if (block == 0) throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot pack " + t_.fileName_ + ": " + why);
                const std::string pointer = memoPointerBytes(block - oldBlocks + firstBlock, t_.raw_[f].length);
                std::memcpy(rec.data() + t_.fields_[f].offset, pointer.data(), pointer.size());
                if (memo_->pending() >= testing::appendFlushBytes()) flushMemo();
            }
            pending_.insert(pending_.end(), rec.begin(), rec.end());
            ++kept;
            if (pending_.size() >= testing::appendFlushBytes()) flush();
        }
        flush();
        const std::uint8_t eof = 0x1A;
        change_.write(path_, end_, &eof, 1);
        change_.resize(path_, end_ + 1);
        if (memo_) {
            flushMemo();
            // The memos kept move down to the first block.
            const std::uint64_t from = oldBlocks * blockSize, to = firstBlock * blockSize;
            const std::uint64_t size = change_.sizeOf(memoPath_) - std::min(from, change_.sizeOf(memoPath_));
            std::vector<std::uint8_t> chunk(1 << 20);
            for (std::uint64_t done = 0; done < size; done += chunk.size()) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
                change_.read(memoPath_, from + done, chunk.data(), n);
                change_.write(memoPath_, to + done, chunk.data(), n);
            }
            change_.resize(memoPath_, to + size);
            std::uint8_t next[4];
            const std::uint64_t nextBlock = memo_->nextBlock() - oldBlocks + firstBlock;
            if (h.foxPro) storeBE32(next, static_cast<std::uint32_t>(nextBlock));
            else storeLE32(next, static_cast<std::uint32_t>(nextBlock));
            change_.write(memoPath_, 0, next, 4);
        }
        std::vector<std::uint8_t> header(h.headerLength);
        change_.read(path_, 0, header.data(), header.size());
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        header[1] = static_cast<std::uint8_t>(local.tm_year % 256);
        header[2] = static_cast<std::uint8_t>(local.tm_mon + 1);
        header[3] = static_cast<std::uint8_t>(local.tm_mday);
        storeLE32(header.data() + 4, static_cast<std::uint32_t>(kept));
        change_.write(path_, 0, header.data(), header.size());
        return removed;
    }

    // New values of memo fields into a record about to be rewritten: new blocks at the memo
    // file's end (the old blocks stay as they are, unreferenced, as dBase leaves them).
    void storeMemos(std::uint8_t* rec, const std::vector<FieldChange>& outside) {
        openMemo();
        reloadOnRollback_ = true;  // the table reads the grown memo file again
        record_.assign(rec, rec + t_.header_.recordLength);
        for (const FieldChange& c : outside) storeMemo(c.field, c.value);
        std::memcpy(rec, record_.data(), record_.size());
        flushMemo();
        writeMemoHeader();
    }

    // Where the record at position `index` lies, when the file still holds `seen` there.
    std::uint64_t checkedOffset(std::uint32_t index, const std::uint8_t* seen) {
        if (index >= t_.liveCount_) throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        const std::uint64_t offset = t_.recordFileOffset(index);
        // The record as the file holds it now, not as it was read into the buffer.
        std::vector<std::uint8_t> now(t_.header_.recordLength);
        change_.read(path_, offset, now.data(), now.size());
        t_.bufferCount_ = 0;
        if (std::memcmp(now.data(), seen, now.size()) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        return offset;
    }

    // Claims the record at position `index` for a rewrite, when the file still holds `seen`
    // there: its bytes are saved for the journal (before any write of the change).
    std::uint64_t claim(std::uint32_t index, const std::uint8_t* seen) {
        const std::uint64_t offset = checkedOffset(index, seen);
        change_.preserve(path_, offset, t_.header_.recordLength);
        return offset;
    }
    void put(std::uint64_t offset, const std::uint8_t* rec) { change_.write(path_, offset, rec, t_.header_.recordLength); }
    // Writes the record at position `index` in place, when the file still holds `seen` there.
    void rewrite(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen) { put(claim(index, seen), rec); }

    void append(const std::vector<FieldValue>& values, const std::vector<bool>& given) override {
        if (!appending_) beginAppending();
        appendRecord(values, given);
    }

    std::uint64_t appended() const override { return added_; }
    std::int64_t lastRecNo() const override { return static_cast<std::int64_t>(count_); }

    void commit() override {
        if (appending_) {
            // The few records added go into the .MDX in place, before anything is written.
            if (indexesDeferred_) {
                std::vector<MdxRecordChange> added;
                const std::uint32_t length = t_.header_.recordLength;
                for (std::uint64_t i = 0; i < added_; ++i)
                    added.push_back({static_cast<std::uint32_t>(count_ - added_ + i), nullptr, pending_.data() + i * length});
                indexesDeferred_ = false;
                keepIndexesFor(added, count_);
            }
            finishAppending();
        }
        rebuildIndexes();
        change_.commit();
        committed_ = true;
        if (appending_ || reloadOnRollback_) t_.reload();
    }

private:
    void beginAppending() {
        appending_ = true;
        // A production .MDX or structural .CDX: the records stay in memory until the change
        // knows whether they are few enough to go into its tags in place.
        if ((t_.header_.tableFlags & 0x01) && !indexesKept_) indexesDeferred_ = true;
        else keepIndexes();
        reloadOnRollback_ = true;
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
        if (t_.memoNeeded_) openMemo();
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
        if (indexesDeferred_ && !mdxKeptInPlace(added_, t_.physicalCount_)) {
            indexesDeferred_ = false;  // too many for the tags in place: the index file is written again
            keepIndexes();
        }
        if (!indexesDeferred_ && pending_.size() >= testing::appendFlushBytes()) flush();
    }

    // The memo file, for new blocks at its end.
    void openMemo() {
        if (memo_) return;
        const Header& h = t_.header_;
        const bool fox = h.foxPro;
        memoPath_ = DiskFamily(path_).path(fox ? ".fpt" : ".dbt");
        if (memoPath_.empty())
            throw EDBEngineError(EDBEngineError::Code::NotFound, "Cannot change " + t_.fileName_ + ": its memo file is missing");
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
    void writeMemoHeader() {
        if (!memo_) return;
        std::uint8_t next[4];
        if (t_.header_.foxPro) storeBE32(next, static_cast<std::uint32_t>(memo_->nextBlock()));
        else storeLE32(next, static_cast<std::uint32_t>(memo_->nextBlock()));
        change_.write(memoPath_, 0, next, 4);
    }

    void finishAppending() {
        flush();
        const std::uint8_t eof = 0x1A;
        change_.write(path_, end_, &eof, 1);
        writeMemoHeader();
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
                             (appending_ ? "Cannot add record " + std::to_string(added_ + 1) + " to " : std::string("Cannot change ")) +
                                 t_.fileName_ + ": " + why);
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
        if (!indexesDeferred_ && memo_->pending() >= testing::appendFlushBytes()) flushMemo();
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
    std::unique_ptr<FamilyChange> owned_;
    FamilyChange& change_;
    std::string memoPath_, mdxPath_;
    bool indexesKept_ = false, committed_ = false, reloadOnRollback_ = false;
    bool indexesDeferred_ = false;  // appending: nothing written until the index file's way is known
    std::unique_ptr<MdxInPlace> inPlace_;
    std::unique_ptr<CdxInPlace> cdxInPlace_;
    std::unique_ptr<MemoAppender> memo_;
    std::vector<std::uint8_t> headerBytes_;
    std::vector<AutoField> autoFields_;
    std::vector<std::uint8_t> record_, pending_;
    std::uint64_t end_ = 0, count_ = 0, added_ = 0;
    bool appending_ = false;
};

bool DBaseTable::keptOutsideRecord(std::size_t field) const { return isMemoType(raw_[field].type, header_.visualFoxPro); }

void DBaseTable::refuseUnkeptNdx(const std::string& action) {
    // (writeRefusal covers the .cdx, .ntx and .idx files; an .ndx goes stale only when records
    // come or go, not when a field it does not cover changes.)
    if (family_->open(".ndx"))
        throw EDBEngineError(EDBEngineError::Code::Unsupported,
                             action + ": its index file " + stemPart(fileName_) + ".ndx is not kept up to date by this program");
}

bool DBaseTable::structuralCdx() const { return header_.foxPro && (header_.tableFlags & 0x01); }

bool DBaseTable::keyBytesDiffer(const std::uint8_t* a, const std::uint8_t* b) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const FieldDef& f = fields_[i];
        if (std::memcmp(a + f.offset, b + f.offset, f.length) == 0) continue;
        for (const TIndexDef& d : indexesForChanges())
            if (std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(i)) != d.fieldIndexes.end() ||
                (!d.Expression.empty() && expressionNames(d.Expression, f.name)) ||
                (!d.Filter.empty() && expressionNames(d.Filter, f.name)))
                return true;
    }
    return false;
}

void DBaseTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen,
                             const std::vector<FieldChange>& outside) {
    std::vector<std::uint8_t> bytes(rec, rec + header_.recordLength);
    Change change(*this);
    // A changed key: the .MDX is changed in the same change.
    const bool keys = keyBytesDiffer(bytes.data(), seen);
    const std::uint64_t at = change.claim(index, seen);
    if (keys)
        change.keepIndexesFor({{static_cast<std::uint32_t>((at - header_.headerLength) / header_.recordLength), seen, bytes.data()}},
                              physicalCount_);
    if (!outside.empty()) change.storeMemos(bytes.data(), outside);
    change.put(at, bytes.data());
    change.commit();
}

void DBaseTable::removeRecord(std::uint32_t index, const std::uint8_t* seen) {
    // The tags keep the keys of records marked deleted (as dBase does): no index changes, unless
    // a FOR clause asks DELETED(); such a tag lets the record go, in place.
    Change change(*this);
    for (const TIndexDef& d : indexesForChanges())
        if (!d.Filter.empty() && expressionNames(d.Filter, "DELETED")) {
            const std::uint64_t at = change.checkedOffset(index, seen);
            std::vector<std::uint8_t> deleted(seen, seen + header_.recordLength);
            deleted[0] = '*';
            change.keepIndexesFor({{static_cast<std::uint32_t>((at - header_.headerLength) / header_.recordLength), seen,
                                    deleted.data()}},
                                  physicalCount_);
            break;
        }
    change.markDeleted(index, seen);
    change.commit();
}

std::uint64_t DBaseTable::pack() {
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot pack " + fileName_ + ": " + why);
    refuseUnkeptNdx("Cannot pack " + fileName_);
    Change change(*this);
    const std::uint64_t removed = change.pack();
    change.commit();
    return removed;
}

std::unique_ptr<TableAppend> DBaseTable::beginAppend() {
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot add records to " + fileName_ + ": " + why);
    refuseUnkeptNdx("Cannot add records to " + fileName_);
    if ((header_.tableFlags & 0x01) && !header_.foxPro && !family_->open(".mdx"))
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Cannot add records to " + fileName_ + ": its production index " + stemPart(fileName_) +
                                 ".mdx is missing");
    if (memoNeeded_ && !memo_)
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Cannot add records to " + fileName_ + ": its memo file is missing");
    return std::make_unique<Change>(*this);
}

}  // namespace tavrinth::dbase
