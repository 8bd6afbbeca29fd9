// Changing the records of a Paradox table: rewritten in place, appended, inserted in key order,
// deleted, moved when their key changes; memo and BLOB values written to the .MB; every index file
// of the family brought up to date in the same change.
//
// The data blocks of a change are kept in memory and written when it is committed: first every
// byte the change overwrites is saved in the journal (the blocks it touches, the header, the .MB
// entries it frees, the index blocks it changes), then the blocks, the .MB, the header and the
// index files are written. A change of few records keeps a keyed table's index files up to date
// in place as it goes (px_index_update.h): the .X records of each record inserted, removed or
// moved by a split, and the tree entries on the paths to the blocks it touched. Any other change
// (an import of many records, index files this program did not write as it does) saves every
// index file whole before anything is written; at the end the table object reads the file again
// and the index files are rebuilt from the records as they now are (index_rebuild.h) and written
// whole. A refusal on the way (a key that exists, a value a unique index holds, an index the
// records no longer fit) undoes the change: the files are as before.
// Only appending to an unkeyed table without index files writes as it goes (imports of any size).
// Records added to a keyed table are held in key order (sorted on disk beyond a few megabytes);
// up to 1024 are placed one by one as above, more are merged with the table's records into full
// blocks written again from block 1 (the free blocks are dropped), so that an import of any size
// holds a few megabytes.
//
// Keyed tables keep their records in key order within and across the blocks of the chain. A new
// record goes to the first block whose last key is at least its key (else the last block), in its
// place there; a full block is split: a block from the free list (header 0x4D) or a new one at the
// end of the file is linked in after it, and the upper half of the records moves there. A record
// that goes after the last one of the table when the last block is full starts a block of its own
// instead, so that records added in key order fill their blocks. A block that loses its last record
// leaves the chain and goes on the free list, as the engine's files show free blocks: linked from
// 0x4D through their "next" word (the newest first), addDataSize = -recordSize, the "previous" word
// keeping the block that was before it in the chain, the stale records left.
//
// BLOBs are never changed in place: a new value goes into new .MB space, and the old one is freed
// as the engine's .MB files show freed space: a block of its own becomes type 4 (its block count
// and length kept, its modification number cleared), an entry of a shared block gets start 0 and
// modification number 0 (its chunk count and last-chunk length kept). The header's words at 0x38
// naming a block with free space are left as they are: this program never reuses freed space.

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <set>

#include "../byte_order.h"
#include "../engine_error.h"
#include "../index_rebuild.h"
#include "../spool.h"
#include "../table_change.h"
#include "../table_update.h"
#include "../value_text.h"
#include "px_crypt.h"
#include "px_index.h"
#include "px_index_update.h"
#include "px_table.h"
#include "px_values.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox {

namespace {
constexpr std::size_t kBlockHeader = 6;
constexpr std::uint32_t kMbChunk = 256;  // the .MB is scrambled in pieces of this size

bool isIndexExtension(const std::string& ext) {
    const std::string e = toUpperAscii(ext);
    return e.size() >= 3 && e[0] == '.' && (e[1] == 'X' || e[1] == 'Y');
}

bool isBlobCode(std::uint8_t code) { return code >= 0x0C && code <= 0x10; }
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
    // Every index file must be one we understand, so that no edit leaves one stale unnoticed (an
    // index file that cannot be read may index any field). Index files that are read but cannot be
    // kept up to date refuse the changes that touch them (indexUpkeepProblem).
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

std::size_t ParadoxTable::keyFieldCount() const {
    return header_.primaryKeyFields > 0 ? std::min<std::size_t>(static_cast<std::size_t>(header_.primaryKeyFields), fields_.size())
                                        : 0;
}

bool ParadoxTable::hasIndexFiles() const {
    return header_.primaryKeyFields > 0 || !secondaryIndexExtensions(family_->extensions()).empty();
}

std::string ParadoxTable::indexUpkeepProblem() {
    const std::string cannot = "its index files cannot be kept up to date: ";
    if (header_.primaryKeyFields < 0 || static_cast<std::size_t>(header_.primaryKeyFields) > fields_.size())
        return cannot + "its header counts " + std::to_string(header_.primaryKeyFields) + " key fields";
    if (header_.primaryKeyFields > 0) {
        std::vector<int> key;
        for (int i = 0; i < header_.primaryKeyFields; ++i) key.push_back(i);
        if (std::string why = writer::keyOrderProblem(header_, fields_, key, "the primary key"); !why.empty())
            return cannot + why;
    }
    for (const TIndexDef& d : indexesForChanges()) {
        if (d.has(ixPrimary)) continue;
        const std::string name = "index " + (d.Name.empty() ? d.Source : d.Name);
        if (header_.primaryKeyFields == 0)
            return cannot + name + " of an unkeyed table addresses its records by \"Tup No\" and \"Tup Offset\", "
                            "which are not known well enough to be written";
        if (std::string why = writer::keyOrderProblem(header_, fields_, d.fieldIndexes, name); !why.empty())
            return cannot + why;
    }
    return std::string();
}

std::string ParadoxTable::fieldReadOnlyReason(std::size_t field) {
    const FieldDef& f = fields_[field];
    if (f.typeCode == 0x16) return "auto-increment values are given by the table";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (isBlobCode(f.typeCode) && !mb_) return "the table's BLOB file (.MB) is missing";
    bool indexed = static_cast<int>(field) < header_.primaryKeyFields;
    for (const TIndexDef& d : indexesForChanges())
        indexed = indexed ||
                  std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) != d.fieldIndexes.end();
    if (indexed)
        if (std::string why = indexUpkeepProblem(); !why.empty()) return why;
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
// when another program changed the file), then records rewritten in place, appended, inserted,
// deleted or moved, then committed. Every write goes through the family's journal.
class ParadoxTable::Change final : public TableAppend {
public:
    explicit Change(ParadoxTable& t) : t_(t), path_(t.diskPath()) {
        change_.emplace(path_);
        // The table object must see the files as they are: after a crashed writer's change was
        // undone, another program's change, or when it was opened beside such a journal.
        if (change_->rolledBack() || headerMoved(*change_, path_, t_.loadedHeader_, sizeof t_.loadedHeader_) ||
            !dynamic_cast<const DiskFamily*>(t_.family_.get()))
            t_.reload();
    }
    ~Change() override {
        // Undone (destroyed without commit) after the table object read the changed files: it
        // reads them again as they are put back.
        if (!committed_ && reloadedMidway_) {
            change_.reset();
            try {
                t_.reload();
            } catch (...) {
            }
        }
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
        change_->read(path_, blockOffset, block.data(), blockSize);
        if (h.encryption != 0) decryptBlock(block.data(), blockSize, h.encryption, blk);
        if (std::memcmp(block.data() + slotOffset, seen, h.recordSize) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        if (h.encryption == 0) {
            change_->preserve(path_, blockOffset + slotOffset, h.recordSize);
            change_->write(path_, blockOffset + slotOffset, rec, h.recordSize);
        } else {
            // A scrambled block is rewritten whole, scrambled again with its block number.
            std::copy(rec, rec + h.recordSize, block.begin() + static_cast<std::ptrdiff_t>(slotOffset));
            encryptBlock(block.data(), blockSize, h.encryption, blk);
            change_->preserve(path_, blockOffset, blockSize);
            change_->write(path_, blockOffset, block.data(), blockSize);
        }
    }

    // --- Changes made in memory and written at commit -------------------------------------------

    // Starts a change whose blocks are kept in memory; with `indexes`, one that brings the index
    // files up to date: in place as it goes when it can, else rebuilt at the end.
    void beginEdit(bool indexes) {
        if (t_.damaged_)
            throw EDBEngineError(EDBEngineError::Code::Corrupt, "Cannot change " + t_.fileName_ + ": the table is damaged");
        edit_ = true;
        loadHeader();
        std::vector<std::uint32_t> counts;
        for (std::size_t i = 0; i < t_.chainBlocks_.size(); ++i) counts.push_back(t_.chainStart_[i + 1] - t_.chainStart_[i]);
        data_ = std::make_unique<HeldBlocks>(*change_, path_, t_.fileName_, t_.header_, perBlock_, t_.chainBlocks_,
                                             std::move(counts));
        keyLength_ = 0;
        for (std::size_t i = 0; i < t_.keyFieldCount(); ++i) keyLength_ += t_.fields_[i].length;
        mbPath_ = DiskFamily(path_).path(".mb");
        if (!indexes) return;
        if (keyLength_ > 0) upkeep_ = IndexUpkeep::open(t_, *change_, *data_);
        if (!upkeep_) rebuildIndexes();
    }

    // From here on the index files are rebuilt at the end: each is saved whole in the journal now
    // (or named as one the change may create), before anything is written.
    void rebuildIndexes() {
        upkeep_.reset();
        if (rebuild_) return;
        rebuild_ = true;
        indexPaths_ = indexFilePaths(t_);
        for (const std::string& p : indexPaths_) {
            if (isRegularFile(p)) change_->preserveWhole(p);
            else change_->willCreate(p);
        }
    }
    // The index files follow a record change in place, or (false) are rebuilt at the end.
    void follow(bool inPlace) {
        if (!inPlace) rebuildIndexes();
    }

    // Deletes the record at `index` when the file still holds `seen` there; its BLOBs are freed.
    void remove(std::uint32_t index, const std::uint8_t* seen) {
        const Spot at = locate(index, seen);
        const std::uint8_t* rec = recordAt(at);
        for (const FieldDef& f : t_.fields_)
            if (isBlobCode(f.typeCode)) freeBlob(f, rec + f.offset);
        removeAt(at);
    }

    // Gives the record at `index` (when the file still holds `seen` there) the bytes `rec`, with
    // the new values of memo and BLOB fields in `outside`; a changed key moves it to its place.
    void update(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen,
                const std::vector<FieldChange>& outside) {
        const Spot at = locate(index, seen);
        std::vector<std::uint8_t> bytes(rec, rec + t_.header_.recordSize);
        const std::uint8_t* old = recordAt(at);
        for (const FieldChange& c : outside) {
            const FieldDef& f = t_.fields_[c.field];
            const std::string where = "Cannot change " + t_.fileName_ + ", field " + f.name;
            const std::string value = writer::blobFieldBytes(f.typeCode, f.typeLetter, *t_.codePage_, c.value, where);
            writer::storeBlobField(f.typeCode, f.length, value, bytes.data() + f.offset, blobFile(where), mbPath_, where);
            freeBlob(f, old + f.offset);
        }
        if (keyLength_ > 0 && writer::comparePrimaryKeys(bytes.data(), old, keyLength_) != 0) {
            removeAt(at);
            if (!insertKeyed(bytes.data()))
                throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                     "Cannot change " + t_.fileName_ + ": " + keyViolation(bytes.data()));
        } else {
            if (upkeep_) {
                // Its index records taken out and put in again in their new places.
                follow(upkeep_->removed(old));
                if (upkeep_) upkeep_->refuseDuplicate(bytes.data());
                if (upkeep_) follow(upkeep_->inserted(bytes.data(), data_->chain[at.pos]));
            }
            std::memcpy(recordAt(at), bytes.data(), bytes.size());
            data_->touch(data_->chain[at.pos]);
        }
        changed_ = true;
    }

    // --- TableAppend ----------------------------------------------------------------------------

    void append(const std::vector<FieldValue>& values, const std::vector<bool>& given) override {
        if (!appending_) beginAppending();
        appendRecord(values, given);
    }

    std::uint64_t appended() const override { return added_; }
    std::int64_t lastRecNo() const override { return recNo_; }

    void commit() override {
        if (appending_ && added_ > 0 && !edit_) finishAppending();
        if (edit_ && changed_) {
            if (loads_ && added_ > kPlacedOneByOne) {
                // The table written again: its index files are rebuilt.
                if (upkeep_) rebuildIndexes();
                writeSortedLoad();
            } else {
                if (loads_) placeLoads();
                if (appending_ && added_ > 0) recNo_ = positionOfKey(lastKey_.data()) + 1;
                writeEdits();
            }
            if (rebuild_) {
                // The index files from the records as the file now holds them.
                reloadedMidway_ = true;
                t_.reload();
                writeIndexFiles(rebuildIndexFiles(t_));
            }
        }
        change_->commit();
        committed_ = true;
        if (appending_ || edit_) t_.reload();
    }

private:
    using Spot = HeldBlocks::Spot;

    void loadHeader() {
        const Header& h = t_.header_;
        blockSize_ = h.blockSize();
        perBlock_ = (blockSize_ - kBlockHeader) / h.recordSize;
        headerBytes_.resize(h.headerSize);
        change_->read(path_, 0, headerBytes_.data(), headerBytes_.size());
        count_ = t_.totalRecords_;
        autoInc_ = h.autoIncrement;
        record_.resize(h.recordSize);
    }

    void beginAppending() {
        appending_ = true;
        if (t_.damaged_)
            throw EDBEngineError(EDBEngineError::Code::Corrupt, "Cannot add records to " + t_.fileName_ + ": the table is damaged");
        for (const FieldDef& f : t_.fields_)
            if (writer::isBlobCode(f.typeCode)) {
                if (DiskFamily(path_).path(".mb").empty())
                    throw EDBEngineError(EDBEngineError::Code::NotFound,
                                         "Cannot add records to " + t_.fileName_ + ": its BLOB file (.MB) is missing");
                break;
            }
        if (t_.hasIndexFiles()) {
            // Placed in key order and the indexes rebuilt: everything is written at commit.
            beginEdit(true);
            for (const FieldDef& f : t_.fields_)
                if (writer::isBlobCode(f.typeCode)) {
                    blobFile("Cannot add records to " + t_.fileName_);
                    break;
                }
            return;
        }
        const Header& h = t_.header_;
        loadHeader();
        change_->preserve(path_, 0, h.headerSize);
        nextBlock_ = static_cast<std::uint32_t>(h.fileBlocks) + 1;
        // Bytes past the blocks the header counts are overwritten by the new blocks.
        if (const std::uint64_t size = change_->sizeOf(path_); size > offsetOf(nextBlock_))
            change_->preserve(path_, offsetOf(nextBlock_), size - offsetOf(nextBlock_));
        if (!t_.chainBlocks_.empty()) {
            // The last block of the chain takes records while it has room.
            const std::size_t last = t_.chainBlocks_.size() - 1;
            current_ = t_.chainBlocks_[last];
            inBlock_ = t_.chainStart_[last + 1] - t_.chainStart_[last];
            block_.resize(blockSize_);
            change_->read(path_, offsetOf(current_), block_.data(), blockSize_);
            if (h.encryption != 0) decryptBlock(block_.data(), blockSize_, h.encryption, current_);
            change_->preserve(path_, offsetOf(current_), blockSize_);
            firstBlock_ = h.firstBlock;
        }
        for (const FieldDef& f : t_.fields_)
            if (writer::isBlobCode(f.typeCode)) {
                mbPath_ = DiskFamily(path_).path(".mb");
                blobFile("Cannot add records to " + t_.fileName_);
                break;
            }
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
        if ((edit_ ? data_->records : count_) >= 0xFFFFFFFFull) refuse("the table would hold more records than a Paradox table can");
        if (edit_) {
            if (keyLength_ == 0) refuse("the table has index files but no key");  // refused by beginAppend
            // Held in key order (on disk beyond a few megabytes) and placed at commit.
            if (!loads_) {
                const unsigned rs = h.recordSize, kl = keyLength_;
                loads_ = std::make_unique<ExternalSorter>(folderPart(path_), rs + 4, [rs, kl](const std::uint8_t* a, const std::uint8_t* b) {
                    const int c = writer::comparePrimaryKeys(a, b, kl);
                    return c != 0 ? c < 0 : loadBE32(a + rs) < loadBE32(b + rs);
                });
                loadEntry_.resize(h.recordSize + 4);
            }
            std::memcpy(loadEntry_.data(), rec, h.recordSize);
            storeBE32(loadEntry_.data() + h.recordSize, static_cast<std::uint32_t>(added_ + 1));
            loads_->add(loadEntry_.data());
            lastKey_.assign(rec, rec + keyLength_);
            ++added_;
            changed_ = true;
            return;
        }
        if (current_ == 0 || inBlock_ == perBlock_) startBlock();
        std::memcpy(block_.data() + kBlockHeader + inBlock_ * h.recordSize, rec, h.recordSize);
        ++inBlock_;
        ++count_;
        ++added_;
        recNo_ = static_cast<std::int64_t>(count_);
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
        change_->write(path_, 0, hb, headerBytes_.size());
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
            change_->write(path_, offsetOf(current_), block_.data(), blockSize_);
        } else {
            if (pending_.empty()) pendingFirst_ = current_;
            pending_.insert(pending_.end(), block_.begin(), block_.end());
            if (pending_.size() >= testing::appendFlushBytes()) flushNew();
        }
    }
    std::uint32_t firstNew() const { return static_cast<std::uint32_t>(t_.header_.fileBlocks) + 1; }
    void flushNew() {
        if (pending_.empty()) return;
        change_->write(path_, offsetOf(pendingFirst_), pending_.data(), pending_.size());
        pending_.clear();
    }
    void flushBlobs(bool all) {
        sinceMbFlush_ = 0;
        std::uint64_t offset;
        std::vector<std::uint8_t> bytes = mb_->takeWritten(offset, all);
        if (bytes.empty()) return;
        if (t_.header_.encryption != 0) encryptBlobChunks(bytes.data(), bytes.size(), t_.header_.encryption);
        change_->write(mbPath_, offset, bytes.data(), bytes.size());
    }

    // The BLOB file new values go to (appended after the file's last block).
    writer::BlobFile& blobFile(const std::string& what) {
        if (!mb_) {
            if (mbPath_.empty())
                throw EDBEngineError(EDBEngineError::Code::NotFound, what + ": the table's BLOB file (.MB) is missing");
            const std::uint64_t size = change_->sizeOf(mbPath_);
            mb_ = std::make_unique<writer::BlobFile>((size + writer::BlobFile::kMbBlock - 1) / writer::BlobFile::kMbBlock *
                                                     writer::BlobFile::kMbBlock);
        }
        return *mb_;
    }

    // --- The blocks of a change made in memory --------------------------------------------------

    std::uint8_t* recordAt(const Spot& at) { return data_->recordAt(at); }

    // The record at position `index`, which must still hold `seen`.
    Spot locate(std::uint32_t index, const std::uint8_t* seen) {
        std::uint64_t first = 0;
        for (std::size_t pos = 0; pos < data_->chain.size(); ++pos) {
            if (index < first + data_->counts[pos]) {
                const Spot at{pos, static_cast<std::uint32_t>(index - first)};
                if (std::memcmp(recordAt(at), seen, t_.header_.recordSize) != 0) break;
                return at;
            }
            first += data_->counts[pos];
        }
        throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
    }

    // Where the key of `rec` is or belongs in the chain (which holds a block); `found`: it is there.
    Spot findKey(const std::uint8_t* rec, bool& found) {
        const unsigned keyLength = keyLength_;
        return data_->find(
            rec, [keyLength](const std::uint8_t* a, const std::uint8_t* b) { return writer::comparePrimaryKeys(a, b, keyLength); },
            found);
    }

    // The 0-based position in table order of the record with the key of `rec`.
    std::uint64_t positionOfKey(const std::uint8_t* rec) {
        bool found = false;
        const Spot at = findKey(rec, found);
        std::uint64_t position = at.slot;
        for (std::size_t p = 0; p < at.pos; ++p) position += data_->counts[p];
        return position;
    }

    std::string keyViolation(const std::uint8_t* rec) {
        std::string key;
        for (std::size_t i = 0; i < t_.keyFieldCount(); ++i) {
            FieldValue v;
            t_.decode(rec, i, v);
            if (!key.empty()) key += ", ";
            key += t_.fields_[i].name + " = " + (v.isNull() ? std::string("blank") : displayValueText(v));
        }
        return "key violation: a record with the key " + key + " exists already";
    }

    // Puts `rec` in its place in key order; false (nothing changed) when its key exists. Refused
    // (nothing changed) when a unique index holds its values already.
    bool insertKeyed(const std::uint8_t* rec) {
        Spot at;
        if (!data_->chain.empty()) {
            bool found = false;
            at = findKey(rec, found);
            if (found) return false;
        }
        if (upkeep_) upkeep_->refuseDuplicate(rec);
        const HeldBlocks::Inserted done = data_->insertAt(at, rec);
        changed_ = true;
        if (!upkeep_) return true;
        bool inPlace = upkeep_->inserted(rec, done.block);
        // The records a split moved to the new block are found there by their index records.
        if (done.added != 0)
            for (std::size_t pos = 0; inPlace && pos < data_->chain.size(); ++pos) {
                if (data_->chain[pos] != done.added) continue;
                for (std::uint32_t i = 0; inPlace && i < data_->counts[pos]; ++i) {
                    const std::uint8_t* r = data_->slotOf(done.added, i);
                    if (writer::comparePrimaryKeys(r, rec, keyLength_) != 0) inPlace = upkeep_->moved(r, done.added);
                }
                break;
            }
        follow(inPlace);
        return true;
    }

    // Takes the record at `at` out of its block; a block left empty leaves the chain for the free
    // list.
    void removeAt(Spot at) {
        if (upkeep_) follow(upkeep_->removed(recordAt(at)));
        data_->removeAt(at);
        changed_ = true;
    }

    // --- Freeing BLOBs ------------------------------------------------------------------------------

    // n bytes of the .MB at offset, unscrambled, as the change has them.
    void readMb(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
        for (std::size_t done = 0; done < n;) {
            const std::uint64_t at = offset + done;
            const std::vector<std::uint8_t>& c = mbChunk(at / kMbChunk * kMbChunk);
            const std::size_t in = static_cast<std::size_t>(at % kMbChunk);
            const std::size_t take = std::min<std::size_t>(n - done, kMbChunk - in);
            std::memcpy(out + done, c.data() + in, take);
            done += take;
        }
    }
    void patchMb(std::uint64_t offset, const std::uint8_t* bytes, std::size_t n) {
        for (std::size_t done = 0; done < n;) {
            const std::uint64_t at = offset + done;
            const std::uint64_t start = at / kMbChunk * kMbChunk;
            std::vector<std::uint8_t>& c = mbChunk(start);
            const std::size_t in = static_cast<std::size_t>(at - start);
            const std::size_t take = std::min<std::size_t>(n - done, kMbChunk - in);
            std::memcpy(c.data() + in, bytes + done, take);
            mbDirty_.insert(start);
            done += take;
        }
    }
    std::vector<std::uint8_t>& mbChunk(std::uint64_t start) {
        auto it = mbChunks_.find(start);
        if (it != mbChunks_.end()) return it->second;
        std::vector<std::uint8_t>& c = mbChunks_[start];
        c.resize(kMbChunk);
        change_->read(mbPath_, start, c.data(), c.size());
        if (t_.header_.encryption != 0) decryptBlobChunks(c.data(), c.size(), t_.header_.encryption);
        return c;
    }

    // Frees the .MB space of a BLOB field's old value (nothing when the value lives in the record,
    // or when the pointer does not lead to a BLOB of its length).
    void freeBlob(const FieldDef& f, const std::uint8_t* p) {
        const std::size_t leader = f.length - 10;
        const std::uint32_t pointer = loadLE32(p + leader);
        const std::uint32_t length = loadLE32(p + leader + 4);
        if (length <= leader || mbPath_.empty()) return;
        const std::uint64_t offset = pointer & 0xFFFFFF00u;
        const unsigned index = pointer & 0xFF;
        if (offset == 0 || offset + writer::BlobFile::kMbBlock > change_->sizeOf(mbPath_)) return;
        std::uint8_t head[9];
        readMb(offset, head, sizeof head);
        if (head[0] == 2 && index == 0xFF && loadLE32(head + 3) == length) {
            head[0] = 4;  // free; the block count and length stay
            head[7] = head[8] = 0;
            patchMb(offset, head, sizeof head);
        } else if (head[0] == 3 && index < 64) {
            std::uint8_t e[5];
            const std::uint64_t entry = offset + 12 + 5u * index;
            readMb(entry, e, sizeof e);
            if (e[0] == 0 || e[1] == 0 || (e[1] - 1u) * 16u + e[4] != length) return;
            e[0] = 0;  // unused; the chunk count and last-chunk length stay
            e[2] = e[3] = 0;
            patchMb(entry, e, sizeof e);
        }
    }

    // --- Records added to a keyed table ---------------------------------------------------------

    // Up to this many added records are placed one by one among the blocks (a handful of blocks
    // change); more are merged with the table's records into a table written again in key order.
    static constexpr std::uint64_t kPlacedOneByOne = 1024;

    [[noreturn]] void refuseLoad(const std::uint8_t* entry) {
        const std::uint32_t rs = t_.header_.recordSize;
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             "Cannot add record " + std::to_string(loadBE32(entry + rs)) + " to " + t_.fileName_ + ": " +
                                 keyViolation(entry));
    }

    // The added records, in key order, each put in its place.
    void placeLoads() {
        while (const std::uint8_t* e = loads_->next())
            if (!insertKeyed(e)) refuseLoad(e);
    }

    // The table's records and the added ones merged in key order into full blocks, numbered from 1
    // in chain order, written to a spool file first (a key that exists refuses the change before
    // anything is written), then over the table's blocks; the free blocks are gone, the file is as
    // long as its blocks.
    void writeSortedLoad() {
        const Header& h = t_.header_;
        const std::uint32_t rs = h.recordSize;
        const std::uint64_t total = count_ + added_;
        const std::uint64_t blocks = (total + perBlock_ - 1) / perBlock_;
        if (blocks > 0xFFFF)
            throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                 "Cannot add " + std::to_string(added_) + " records to " + t_.fileName_ +
                                     ": the table would need more blocks than a Paradox table can hold");
        SpoolFile spool(folderPart(path_));
        std::vector<std::uint8_t> block(blockSize_, 0), previous;
        std::uint32_t inBlock = 0, oldAt = 0;
        std::uint16_t number = 0;
        std::uint64_t position = 0;
        const std::uint32_t oldCount = static_cast<std::uint32_t>(count_);
        const std::uint8_t* next = loads_->next();
        const auto closeBlock = [&] {
            storeLE16(block.data() + 0, number < blocks ? static_cast<std::uint16_t>(number + 1) : 0);
            storeLE16(block.data() + 2, static_cast<std::uint16_t>(number - 1));
            storeLE16(block.data() + 4, static_cast<std::uint16_t>((inBlock - 1) * rs));
            if (h.encryption != 0) encryptBlock(block.data(), blockSize_, h.encryption, number);
            spool.append(block.data(), block.size());
            std::fill(block.begin(), block.end(), 0);
            inBlock = 0;
        };
        while (oldAt < oldCount || next) {
            // (`next` lasts until the sorter is asked again: it is copied first.)
            const int c = !next ? 1 : oldAt == oldCount ? -1 : writer::comparePrimaryKeys(next, t_.record(oldAt), keyLength_);
            const bool added = c <= 0;
            const std::uint8_t* rec = added ? next : t_.record(oldAt++);
            if (added && (c == 0 || (!previous.empty() && writer::comparePrimaryKeys(previous.data(), next, keyLength_) == 0)))
                refuseLoad(next);
            if (added && writer::comparePrimaryKeys(rec, lastKey_.data(), keyLength_) == 0)
                recNo_ = static_cast<std::int64_t>(position) + 1;
            if (inBlock == 0) ++number;
            std::memcpy(block.data() + kBlockHeader + static_cast<std::size_t>(inBlock) * rs, rec, rs);
            previous.assign(rec, rec + keyLength_);
            ++position;
            if (++inBlock == perBlock_) closeBlock();
            if (added) next = loads_->next();
        }
        if (inBlock > 0) closeBlock();

        // Every old byte of the blocks is saved (a spool file holds what memory should not).
        const std::uint64_t end = offsetOf(1) + blocks * blockSize_;
        const std::uint64_t size = change_->sizeOf(path_);
        change_->preserve(path_, 0, std::max(size, end));
        change_->copyIn(path_, offsetOf(1), spool);
        change_->resize(path_, end);
        if (mb_) {
            std::uint64_t offset;
            std::vector<std::uint8_t> bytes = mb_->takeWritten(offset, true);
            if (!bytes.empty()) {
                if (h.encryption != 0) encryptBlobChunks(bytes.data(), bytes.size(), h.encryption);
                change_->write(mbPath_, offset, bytes.data(), bytes.size());
            }
        }
        std::vector<std::uint8_t> hb = headerBytes_;
        std::uint8_t* p = hb.data();
        const auto blockCount = static_cast<std::uint16_t>(blocks);
        storeLE32(p + 0x06, static_cast<std::uint32_t>(total));
        storeLE16(p + 0x0A, blockCount);
        storeLE16(p + 0x0C, blockCount);
        storeLE16(p + 0x0E, blocks ? 1 : 0);
        storeLE16(p + 0x10, blockCount);
        storeLE16(p + 0x3A, std::max(loadLE16(p + 0x3A), blockCount));
        if (h.level() >= 5) storeLE32(p + 0x49, autoInc_);
        storeLE16(p + 0x4D, 0);
        change_->write(path_, 0, hb.data(), hb.size());
        count_ = total;
    }

    // --- Writing a change made in memory ------------------------------------------------------------

    // Saves every range the change overwrites, then writes the blocks, the .MB and the header.
    void writeEdits() {
        const Header& h = t_.header_;
        std::vector<WritePiece> pieces;
        // Blocks: each with its link words as set, its record count, scrambled with its number;
        // neighbours written in one piece.
        data_->collect(pieces);
        // Freed .MB space, and the new BLOBs after the file's last block.
        const std::uint64_t mbSize = mbPath_.empty() ? 0 : change_->sizeOf(mbPath_);
        for (const std::uint64_t start : mbDirty_) {
            std::vector<std::uint8_t> c = mbChunks_[start];
            if (h.encryption != 0) encryptBlobChunks(c.data(), c.size(), h.encryption);
            c.resize(static_cast<std::size_t>(std::min<std::uint64_t>(c.size(), mbSize - start)));
            pieces.push_back({mbPath_, start, std::move(c)});
        }
        if (mb_) {
            std::uint64_t offset;
            std::vector<std::uint8_t> bytes = mb_->takeWritten(offset, true);
            if (!bytes.empty()) {
                if (h.encryption != 0) encryptBlobChunks(bytes.data(), bytes.size(), h.encryption);
                pieces.push_back({mbPath_, offset, std::move(bytes)});
            }
        }
        // The header: counts, the chain's ends, the free list, the auto-increment value.
        std::vector<std::uint8_t> hb = headerBytes_;
        std::uint8_t* p = hb.data();
        data_->patchHeader(p);
        if (h.level() >= 5) storeLE32(p + 0x49, autoInc_);
        if (hb != headerBytes_) pieces.push_back({path_, 0, std::move(hb)});
        // The index files kept up to date in place: their changed blocks and headers.
        if (upkeep_) {
            std::vector<WritePiece> index;
            if (upkeep_->collect(*data_, index)) pieces.insert(pieces.end(), index.begin(), index.end());
            else rebuildIndexes();
        }

        // Bytes past the blocks the header counted are overwritten by new blocks: saved too.
        for (const WritePiece& piece : pieces) change_->preserve(piece.path, piece.offset, piece.bytes.size());
        for (const WritePiece& piece : pieces) change_->write(piece.path, piece.offset, piece.bytes.data(), piece.bytes.size());
    }

    void writeIndexFiles(const std::vector<RebuiltIndexFile>& files) {
        for (const RebuiltIndexFile& f : files)
            if (std::find(indexPaths_.begin(), indexPaths_.end(), f.path) == indexPaths_.end())
                throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                     "Internal error: the index file " + f.path + " was not saved before the change began");
        for (const RebuiltIndexFile& f : files) writeRebuilt(*change_, f);
    }

    ParadoxTable& t_;
    std::string path_;
    std::optional<FamilyChange> change_;
    bool committed_ = false;
    bool reloadedMidway_ = false;
    std::int64_t recNo_ = 0;

    // Appending at the end of an unkeyed table, written as it goes.
    std::uint32_t blockSize_ = 0, perBlock_ = 0;
    std::vector<std::uint8_t> headerBytes_, block_, record_, pending_;
    std::uint16_t current_ = 0, firstBlock_ = 0, pendingFirst_ = 0;
    std::uint32_t inBlock_ = 0, nextBlock_ = 0, newBlocks_ = 0, autoInc_ = 0;
    std::uint64_t count_ = 0, added_ = 0;
    std::string mbPath_;
    std::unique_ptr<writer::BlobFile> mb_;
    unsigned sinceMbFlush_ = 0;
    bool appending_ = false;

    // A change made in memory.
    bool edit_ = false, rebuild_ = false, changed_ = false;
    std::vector<std::string> indexPaths_;
    std::unique_ptr<HeldBlocks> data_;       // the table's blocks, read or made by the change
    std::unique_ptr<IndexUpkeep> upkeep_;    // the index files kept up to date in place
    unsigned keyLength_ = 0;
    std::vector<std::uint8_t> lastKey_;
    // Records added to a keyed table, with their number in the run (big-endian, after the record).
    std::unique_ptr<ExternalSorter> loads_;
    std::vector<std::uint8_t> loadEntry_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> mbChunks_;  // unscrambled
    std::set<std::uint64_t> mbDirty_;
};

bool ParadoxTable::keptOutsideRecord(std::size_t field) const { return isBlobCode(fields_[field].typeCode); }

void ParadoxTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen,
                               const std::vector<FieldChange>& outside) {
    // Whether the change touches an index: the key, or a field of a secondary index.
    bool indexes = false;
    const std::size_t keys = keyFieldCount();
    const std::size_t keyEnd = keys > 0 ? fields_[keys - 1].offset + fields_[keys - 1].length : 0;
    if (std::memcmp(rec, seen, keyEnd) != 0) indexes = true;
    for (const TIndexDef& d : indexesForChanges())
        for (const int i : d.fieldIndexes) {
            const FieldDef& f = fields_[static_cast<std::size_t>(i)];
            if (std::memcmp(rec + f.offset, seen + f.offset, f.length) != 0) indexes = true;
        }
    if (indexes)
        if (const std::string why = indexUpkeepProblem(); !why.empty())
            throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot change " + fileName_ + ": " + why);
    Change change(*this);
    if (!indexes && outside.empty()) {
        change.rewrite(index, rec, seen);
    } else {
        change.beginEdit(indexes);
        change.update(index, rec, seen, outside);
    }
    change.commit();
}

void ParadoxTable::removeRecord(std::uint32_t index, const std::uint8_t* seen) {
    if (hasIndexFiles())
        if (const std::string why = indexUpkeepProblem(); !why.empty())
            throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot delete from " + fileName_ + ": " + why);
    Change change(*this);
    change.beginEdit(hasIndexFiles());
    change.remove(index, seen);
    change.commit();
}

std::unique_ptr<TableAppend> ParadoxTable::beginAppend() {
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot add records to " + fileName_ + ": " + why);
    if (hasIndexFiles())
        if (const std::string why = indexUpkeepProblem(); !why.empty())
            throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot add records to " + fileName_ + ": " + why);
    return std::make_unique<Change>(*this);
}

}  // namespace tavrinth::paradox
