// Changing records of a Paradox table in place.

#include <algorithm>
#include <cstring>
#include <set>

#include "../engine_error.h"
#include "../byte_order.h"
#include "../table_change.h"
#include "../table_update.h"
#include "px_crypt.h"
#include "px_table.h"
#include "px_values.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox {

namespace {
constexpr std::size_t kBlockHeader = 6;

bool isIndexExtension(const std::string& ext) {
    const std::string e = toUpperAscii(ext);
    return e.size() >= 3 && e[0] == '.' && (e[1] == 'X' || e[1] == 'Y');
}
}  // namespace

std::string ParadoxTable::tableReadOnlyReason(bool indexFiles) {
    if (path_.empty()) return "the table is not a file on disk";
    if (header_.writeProtected) return "the table is write-protected";
    if (header_.modifiedFlags1 || header_.modifiedFlags2) return "the table's header says it needs a rebuild";
    if (damaged_) return "the table is damaged (" + (warnings_.empty() ? std::string("see the warnings") : warnings_.front()) + ")";
    // The lock files of a running engine, or of Paradox for DOS, next to the table.
    const std::string folder = folderPart(path_);
    for (const std::string& lockName : {std::string("PARADOX.LCK"), std::string("PDOXUSRS.LCK"),
                                        stemPart(fileNamePart(path_)) + ".LCK"}) {
        const std::string found = findInFolder(folder, lockName);
        if (!found.empty()) return "another program is using the table (" + found + " exists in its folder)";
    }
    if (std::string why = foreignLockReason(path_); !why.empty()) return why;
    if (!indexFiles) return std::string();
    // Every index file must be one we understand, so that no edit leaves one stale unnoticed.
    std::set<std::string> understood;
    for (const TIndexDef& d : indexesForChanges()) understood.insert(toUpperAscii(extensionPart(d.Source)));
    for (const std::string& ext : family_->extensions()) {
        const std::string e = toUpperAscii(ext);
        if (!isIndexExtension(e)) continue;
        const std::string data = e[1] == 'Y' ? ".X" + e.substr(2) : e;
        if (!understood.count(data)) return "its index file " + stemPart(fileName_) + ext + " cannot be read";
    }
    return std::string();
}

std::string ParadoxTable::fieldReadOnlyReason(std::size_t field) {
    const FieldDef& f = fields_[field];
    if (f.typeCode >= 0x0C && f.typeCode <= 0x10) return "memo and BLOB fields are read-only";
    if (f.typeCode == 0x16) return "auto-increment values are given by the table";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (static_cast<int>(field) < header_.primaryKeyFields) return "it is part of the primary key";
    for (const TIndexDef& d : indexesForChanges())
        if (std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) != d.fieldIndexes.end())
            return "it is part of the index " + (d.Name.empty() ? d.Source : d.Name);
    return std::string();
}

std::int64_t ParadoxTable::positionOfRecNo(std::int64_t recNo) {
    return recNo >= 1 && recNo <= totalRecords_ ? recNo - 1 : -1;
}

std::uint64_t ParadoxTable::recordFileOffset(std::uint32_t index) {
    const std::size_t pos = chainPositionOf(index);
    return header_.headerSize + static_cast<std::uint64_t>(chainBlocks_[pos] - 1) * header_.blockSize() + kBlockHeader +
           static_cast<std::uint64_t>(index - chainStart_[pos]) * header_.recordSize;
}

bool ParadoxTable::encodeField(std::size_t field, const FieldValue& value, std::uint8_t* rec, std::string& error) {
    const FieldDef& f = fields_[field];
    return encodeValue(f.typeCode, f.length, f.decimals, *codePage_, value, rec + f.offset, error);
}

void ParadoxTable::reload() {
    const std::string path = diskPath();
    const Header was = header_;
    db_ = std::make_unique<FileSource>(path);
    family_ = std::make_unique<DiskFamily>(path);
    header_ = readHeader(*db_);
    db_->readZeroFilled(0, loadedHeader_, sizeof loadedHeader_);
    if (header_.recordSize != was.recordSize || header_.numFields != was.numFields ||
        header_.blockSize() != was.blockSize() || header_.encryption != was.encryption)
        throw EDBEngineError(EDBEngineError::Code::Locked,
                             "The structure of " + fileName_ + " was changed by another program; reopen the table");
    chainBlocks_.clear();
    chainStart_.clear();
    damaged_ = false;
    walkChain();
    loadedPosition_ = SIZE_MAX;
    lastPosition_ = 0;
    if (mb_) mb_ = family_->open(".mb");
    journalProblem_.clear();
}

namespace {

bool headerMoved(FamilyChange& change, const std::string& path, const std::uint8_t* opened, std::size_t n) {
    std::vector<std::uint8_t> now(n);
    change.read(path, 0, now.data(), n);
    return std::memcmp(now.data(), opened, n) != 0;
}

}  // namespace

// --- The change object ---------------------------------------------------------------------------

// One change to the table's family: begun by taking the write lock (the block chain read again
// when another program changed the file), then records rewritten in place or appended, then
// committed. Every write goes through the family's journal.
class ParadoxTable::Change final : public TableAppend {
public:
    explicit Change(ParadoxTable& t) : t_(t), path_(t.diskPath()), change_(path_) {
        if (change_.rolledBack() || headerMoved(change_, path_, t_.loadedHeader_, sizeof t_.loadedHeader_)) t_.reload();
    }

    // Writes the record at position `index` in place, when the file still holds `seen` there.
    void rewrite(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen) {
        const Header& h = t_.header_;
        if (index >= t_.totalRecords_) throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        t_.loadedPosition_ = SIZE_MAX;
        const std::size_t pos = t_.chainPositionOf(index);
        const std::uint16_t blk = t_.chainBlocks_[pos];
        const std::uint32_t blockSize = h.blockSize();
        const std::uint64_t blockOffset = offsetOf(blk);
        const std::size_t slotOffset = kBlockHeader + static_cast<std::size_t>(index - t_.chainStart_[pos]) * h.recordSize;
        // The block as the file holds it now, not as it was read into the cache: the record must
        // still be the one the change was made on.
        std::vector<std::uint8_t> block(blockSize);
        change_.read(path_, blockOffset, block.data(), blockSize);
        if (h.encryption != 0) decryptBlock(block.data(), blockSize, h.encryption, blk);
        if (std::memcmp(block.data() + slotOffset, seen, h.recordSize) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        if (h.encryption == 0) {
            change_.preserve(path_, blockOffset + slotOffset, h.recordSize);
            change_.write(path_, blockOffset + slotOffset, rec, h.recordSize);
        } else {
            // A scrambled block is rewritten whole, scrambled again with its block number.
            std::copy(rec, rec + h.recordSize, block.begin() + static_cast<std::ptrdiff_t>(slotOffset));
            encryptBlock(block.data(), blockSize, h.encryption, blk);
            change_.preserve(path_, blockOffset, blockSize);
            change_.write(path_, blockOffset, block.data(), blockSize);
        }
    }

    void append(const std::vector<FieldValue>& values, const std::vector<bool>& given) override {
        if (!appending_) beginAppending();
        appendRecord(values, given);
    }

    std::uint64_t appended() const override { return added_; }
    std::int64_t lastRecNo() const override { return static_cast<std::int64_t>(count_); }

    void commit() override {
        if (appending_ && added_ > 0) finishAppending();
        change_.commit();
        if (appending_) t_.reload();
    }

private:
    void beginAppending() {
        appending_ = true;
        if (t_.damaged_)
            throw EDBEngineError(EDBEngineError::Code::Corrupt, "Cannot add records to " + t_.fileName_ + ": the table is damaged");
        const Header& h = t_.header_;
        blockSize_ = h.blockSize();
        perBlock_ = (blockSize_ - kBlockHeader) / h.recordSize;
        headerBytes_.resize(h.headerSize);
        change_.read(path_, 0, headerBytes_.data(), headerBytes_.size());
        change_.preserve(path_, 0, h.headerSize);
        count_ = t_.totalRecords_;
        nextBlock_ = static_cast<std::uint32_t>(h.fileBlocks) + 1;
        // Bytes past the blocks the header counts are overwritten by the new blocks.
        if (const std::uint64_t size = change_.sizeOf(path_); size > offsetOf(nextBlock_))
            change_.preserve(path_, offsetOf(nextBlock_), size - offsetOf(nextBlock_));
        autoInc_ = h.autoIncrement;
        if (!t_.chainBlocks_.empty()) {
            // The last block of the chain takes records while it has room.
            const std::size_t last = t_.chainBlocks_.size() - 1;
            current_ = t_.chainBlocks_[last];
            inBlock_ = t_.chainStart_[last + 1] - t_.chainStart_[last];
            block_.resize(blockSize_);
            change_.read(path_, offsetOf(current_), block_.data(), blockSize_);
            if (h.encryption != 0) decryptBlock(block_.data(), blockSize_, h.encryption, current_);
            change_.preserve(path_, offsetOf(current_), blockSize_);
            firstBlock_ = h.firstBlock;
        }
        for (const FieldDef& f : t_.fields_)
            if (writer::isBlobCode(f.typeCode)) {
                mbPath_ = DiskFamily(path_).path(".mb");
                if (mbPath_.empty())
                    throw EDBEngineError(EDBEngineError::Code::NotFound,
                                         "Cannot add records to " + t_.fileName_ + ": its BLOB file (.MB) is missing");
                const std::uint64_t size = change_.sizeOf(mbPath_);
                mb_ = std::make_unique<writer::BlobFile>((size + writer::BlobFile::kMbBlock - 1) /
                                                         writer::BlobFile::kMbBlock * writer::BlobFile::kMbBlock);
                break;
            }
        record_.resize(h.recordSize);
    }

    void appendRecord(const std::vector<FieldValue>& values, const std::vector<bool>& given) {
        const Header& h = t_.header_;
        std::uint8_t* rec = record_.data();
        std::fill(record_.begin(), record_.end(), 0);
        for (std::size_t i = 0; i < t_.fields_.size(); ++i) {
            const FieldDef& f = t_.fields_[i];
            FieldValue v;
            const bool has = i < given.size() && given[i];
            if (has) v = values[i];
            else t_.defaultValue(i, v);
            if (f.typeCode == writer::kAutoInc) {
                if (has && !v.isNull()) refuse("field " + f.name + " cannot be given: auto-increment values are given by the table");
                if (autoInc_ >= 2147483647u) refuse("the auto-increment values of field " + f.name + " run out");
                v.setInteger(++autoInc_);
            }
            if (const std::string why = t_.validityProblem(i, v); !why.empty()) refuse(why);
            if (writer::isBlobCode(f.typeCode)) {
                const std::string where = "Cannot add record " + std::to_string(added_ + 1) + " to " + t_.fileName_ +
                                          ", field " + f.name;
                const std::string bytes = writer::blobFieldBytes(f.typeCode, f.typeLetter, *t_.codePage_, v, where);
                if (!bytes.empty() && !mb_) refuse("field " + f.name + ": the table has no BLOB file");
                if (mb_) writer::storeBlobField(f.typeCode, f.length, bytes, rec + f.offset, *mb_, mbPath_, where);
                continue;
            }
            std::string error;
            if (!t_.encodeField(i, v, rec, error)) refuse("field " + f.name + ": " + error);
        }
        if (count_ >= 0xFFFFFFFFull) refuse("the table would hold more records than a Paradox table can");
        if (current_ == 0 || inBlock_ == perBlock_) startBlock();
        std::memcpy(block_.data() + kBlockHeader + inBlock_ * h.recordSize, rec, h.recordSize);
        ++inBlock_;
        ++count_;
        ++added_;
        if (mb_ && ++sinceMbFlush_ >= std::max<std::size_t>(1, testing::appendFlushBytes() / 4096)) flushBlobs(false);
    }

    void finishAppending() {
        finishBlock();
        flushNew();
        if (mb_) flushBlobs(true);
        std::uint8_t* hb = headerBytes_.data();
        const std::uint16_t fileBlocks = static_cast<std::uint16_t>(nextBlock_ - 1);
        storeLE32(hb + 0x06, static_cast<std::uint32_t>(count_));
        storeLE16(hb + 0x0A, static_cast<std::uint16_t>(loadLE16(hb + 0x0A) + newBlocks_));
        storeLE16(hb + 0x0C, fileBlocks);
        storeLE16(hb + 0x0E, firstBlock_);
        storeLE16(hb + 0x10, current_);
        storeLE16(hb + 0x3A, std::max(loadLE16(hb + 0x3A), fileBlocks));
        if (t_.header_.level() >= 5) storeLE32(hb + 0x49, autoInc_);
        change_.write(path_, 0, hb, headerBytes_.size());
    }

    [[noreturn]] void refuse(const std::string& why) const {
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             "Cannot add record " + std::to_string(added_ + 1) + " to " + t_.fileName_ + ": " + why);
    }
    std::uint64_t offsetOf(std::uint32_t blk) const {
        return t_.header_.headerSize + static_cast<std::uint64_t>(blk - 1) * t_.header_.blockSize();
    }
    // Closes the block being filled and starts a new one after it in the chain.
    void startBlock() {
        if (nextBlock_ > 0xFFFF) refuse("the table would need more blocks than a Paradox table can hold");
        const auto blk = static_cast<std::uint16_t>(nextBlock_++);
        if (current_ != 0) {
            storeLE16(block_.data(), blk);
            finishBlock();
        } else {
            firstBlock_ = blk;
        }
        const std::uint16_t prev = current_;
        block_.assign(blockSize_, 0);
        storeLE16(block_.data() + 2, prev);
        current_ = blk;
        inBlock_ = 0;
        ++newBlocks_;
    }
    void finishBlock() {
        const Header& h = t_.header_;
        storeLE16(block_.data() + 4, static_cast<std::uint16_t>(static_cast<std::int16_t>((inBlock_ - 1) * h.recordSize)));
        if (h.encryption != 0) encryptBlock(block_.data(), blockSize_, h.encryption, current_);
        if (current_ < firstNew()) {
            change_.write(path_, offsetOf(current_), block_.data(), blockSize_);
        } else {
            if (pending_.empty()) pendingFirst_ = current_;
            pending_.insert(pending_.end(), block_.begin(), block_.end());
            if (pending_.size() >= testing::appendFlushBytes()) flushNew();
        }
    }
    std::uint32_t firstNew() const { return static_cast<std::uint32_t>(t_.header_.fileBlocks) + 1; }
    void flushNew() {
        if (pending_.empty()) return;
        change_.write(path_, offsetOf(pendingFirst_), pending_.data(), pending_.size());
        pending_.clear();
    }
    void flushBlobs(bool all) {
        sinceMbFlush_ = 0;
        std::uint64_t offset;
        std::vector<std::uint8_t> bytes = mb_->takeWritten(offset, all);
        if (bytes.empty()) return;
        if (t_.header_.encryption != 0) encryptBlobChunks(bytes.data(), bytes.size(), t_.header_.encryption);
        change_.write(mbPath_, offset, bytes.data(), bytes.size());
    }

    ParadoxTable& t_;
    std::string path_;
    FamilyChange change_;
    std::uint32_t blockSize_ = 0, perBlock_ = 0;
    std::vector<std::uint8_t> headerBytes_, block_, record_, pending_;
    std::uint16_t current_ = 0, firstBlock_ = 0, pendingFirst_ = 0;
    std::uint32_t inBlock_ = 0, nextBlock_ = 0, newBlocks_ = 0, autoInc_ = 0;
    std::uint64_t count_ = 0, added_ = 0;
    std::string mbPath_;
    std::unique_ptr<writer::BlobFile> mb_;
    unsigned sinceMbFlush_ = 0;
    bool appending_ = false;
};

bool ParadoxTable::keptOutsideRecord(std::size_t field) const {
    const std::uint8_t code = fields_[field].typeCode;
    return code >= 0x0C && code <= 0x10;
}

void ParadoxTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen,
                               const std::vector<FieldChange>& outside) {
    if (!outside.empty())
        throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot change " + fileName_ + ": memo and BLOB fields are read-only");
    Change change(*this);
    change.rewrite(index, rec, seen);
    change.commit();
}

void ParadoxTable::removeRecord(std::uint32_t, const std::uint8_t*) {
    throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot delete from " + fileName_ + ": not yet");
}

std::unique_ptr<TableAppend> ParadoxTable::beginAppend() {
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot add records to " + fileName_ + ": " + why);
    std::string indexFile;
    for (const std::string& ext : family_->extensions())
        if (isIndexExtension(ext) || equalsIgnoreCase(ext, ".px")) indexFile = stemPart(fileName_) + ext;
    if (header_.primaryKeyFields > 0 || !indexFile.empty())
        throw EDBEngineError(EDBEngineError::Code::Unsupported,
                             "Cannot add records to " + fileName_ + ": it " +
                                 (header_.primaryKeyFields > 0 ? std::string("is keyed") : "has the index file " + indexFile) +
                                 ", and this program does not yet keep indexes up to date when records are added");
    return std::make_unique<Change>(*this);
}

}  // namespace tavrinth::paradox
