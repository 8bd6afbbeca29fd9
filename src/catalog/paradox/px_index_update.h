#pragma once
// Changing Paradox files of blocks in memory, and keeping a keyed table's index files up to date
// in place while a change inserts, deletes and moves its records.
//
// HeldBlocks is a file of the data-block layout (.DB, .Xnn, .XGn, and the trees .PX, .Ynn,
// .YGn): a chain of blocks from header 0x0E holding records sorted by a key, a free list from
// 0x4D. A change reads the blocks it needs into memory, inserts and removes records there
// (splitting a full block, sending an emptied one to the free list) and at the end hands over the
// blocks it changed and the header words that follow from them, to be saved and written.
//
// IndexUpkeep follows a change of the table's records (each record inserted, removed, or moved
// to another data block by a split) in the secondary index files: it inserts, removes and moves
// the .X records in order as the index compares them (HeldBlocks again) and sets their "Blk Num";
// at the end it changes, in each tree (.PX over the data blocks, .Y over each .X), the entries of
// the blocks below that the change touched and the index blocks on their paths to the root. No
// record is read but those of the blocks the change touches.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../table_file.h"
#include "px_header.h"

namespace tavrinth {
class FamilyChange;
}

namespace tavrinth::paradox {

class ParadoxTable;

// Bytes a change writes at an offset of a file of the family.
struct WritePiece {
    std::string path;
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

class HeldBlocks {
public:
    // Where a record is: its position in the chain and its slot in that block.
    struct Spot {
        std::size_t pos = 0;
        std::uint32_t slot = 0;
    };
    // Compares a stored record with the record looked for: <0, 0, >0.
    using Compare = std::function<int(const std::uint8_t* stored, const std::uint8_t* sought)>;

    // The file at `path` with header `h`, its chain and the records of each block as given;
    // `perBlock` records fill a block; `name` names the file in messages.
    HeldBlocks(FamilyChange& change, std::string path, std::string name, const Header& h, std::uint32_t perBlock,
               std::vector<std::uint16_t> chain, std::vector<std::uint32_t> counts);

    std::vector<std::uint16_t> chain;
    std::vector<std::uint32_t> counts;
    std::uint64_t records = 0;

    // Block `blk` unscrambled, read from the file the first time.
    std::vector<std::uint8_t>& block(std::uint16_t blk);
    bool held(std::uint16_t blk) const { return blk < blocks_.size() && blocks_[blk]; }
    std::uint8_t* slotOf(std::uint16_t blk, std::uint32_t slot);
    std::uint8_t* recordAt(const Spot& at) { return slotOf(chain[at.pos], at.slot); }
    // Marks a block as changed.
    void touch(std::uint16_t blk) { dirty_.insert(blk); }

    // Where `sought` is or belongs: the first block whose last record is at least it (the last
    // block when none is), and the first slot there whose record is at least it. `found`: it is
    // there. The chain must hold a block.
    Spot find(const std::uint8_t* sought, const Compare& compare, bool& found);
    // The record just before `at` and the one at `at` in chain order; null at the ends.
    const std::uint8_t* before(Spot at);
    const std::uint8_t* atOrAfter(Spot at);

    struct Inserted {
        std::uint16_t block = 0;  // the block the record went to
        std::uint16_t added = 0;  // a block linked in after a full one (0: none); the records in it moved there
    };
    // Inserts `rec` at `at` (into an empty chain: a first block), splitting a full block: a block
    // from the free list (or a new one at the end of the file) is linked in after it and the upper
    // half of the records moves there; a record after the last one of the chain when the last
    // block is full starts a block of its own instead.
    Inserted insertAt(Spot at, const std::uint8_t* rec);
    // Takes the record at `at` out of its block; a block left empty leaves the chain for the free
    // list (newest first, its "previous" word kept, its records left).
    void removeAt(Spot at);

    // The changed blocks, each with its record count set, scrambled with its number, neighbours in
    // one piece.
    void collect(std::vector<WritePiece>& pieces);
    // The header words that follow from the chain: records, blocks in use, blocks in the file,
    // the chain's ends, the free list.
    void patchHeader(std::uint8_t* header) const;

    // Links a block (from the free list, else a new one) into the chain after position `pos`,
    // without records; returns it.
    std::uint16_t linkAfter(std::size_t pos);
    // Takes the block at `pos` out of the chain onto the free list.
    void unlink(std::size_t pos);
    // Gives the block at `pos` the `n` records at `recs` (the rest of it cleared).
    void setRecords(std::size_t pos, const std::uint8_t* recs, std::uint32_t n);
    // The chain position of a block; SIZE_MAX when it is not in the chain.
    std::size_t positionOf(std::uint16_t blk) const;
    // Whether the change took block `blk` from the free list (it may have been in the chain
    // before, and have left it in this change).
    bool reused(std::uint16_t blk) const { return reused_.count(blk) != 0; }
    // False once a block read from the file was not as the chain given has it (its links or its
    // record count): the file does not hold what its tree says.
    bool consistent() const { return consistent_; }
    // The blocks changed so far.
    const std::set<std::uint16_t>& changedBlocks() const { return dirty_; }
    // The first record a block held when it was read from the file; null when it was not read.
    const std::uint8_t* firstAtLoad(std::uint16_t blk) const {
        const auto it = firstAtLoad_.find(blk);
        return it == firstAtLoad_.end() ? nullptr : it->second.data();
    }

    std::uint16_t fileBlocks() const { return fileBlocks_; }
    // The bytes of the blocks held in memory.
    std::uint64_t heldBytes() const { return static_cast<std::uint64_t>(heldBlocks_) * blockSize_; }
    const std::string& path() const { return path_; }

private:
    std::uint16_t takeBlock();
    std::uint64_t offsetOf(std::uint32_t blk) const {
        return headerSize_ + static_cast<std::uint64_t>(blk - 1) * blockSize_;
    }
    int compareLast(std::size_t pos, const std::uint8_t* sought, const Compare& compare);

    FamilyChange& change_;
    std::string path_, name_;
    std::uint32_t headerSize_ = 0, blockSize_ = 0, recordSize_ = 0, perBlock_ = 0, encryption_ = 0;
    std::uint16_t fileBlocks_ = 0, firstFree_ = 0;
    std::size_t heldBlocks_ = 0;
    std::vector<std::unique_ptr<std::vector<std::uint8_t>>> blocks_;  // by block number; null: not held
    std::set<std::uint16_t> dirty_, reused_;
    bool consistent_ = true;
    std::map<std::uint16_t, std::vector<std::uint8_t>> firstAtLoad_;
};

// The index files of a keyed table kept up to date in place by a change of few records.
class IndexUpkeep {
public:
    // Reads the trees and the headers of the index files of `table` (keyed, on disk) for a change
    // whose data blocks are `data`. Null when they cannot be kept up to date in place and must be
    // rebuilt instead: an encrypted table, an index file missing, damaged or not as this program
    // writes it, trees that do not describe the blocks below them.
    static std::unique_ptr<IndexUpkeep> open(ParadoxTable& table, FamilyChange& change, const HeldBlocks& data);
    ~IndexUpkeep();

    // Throws EDBEngineError (a refusal) when a unique index holds the values of record `rec`
    // already; called before the record is put in place.
    void refuseDuplicate(const std::uint8_t* rec);
    // The change of a record: inserted into data block `block`, removed, moved to data block
    // `block` by a split. False when the index files cannot follow it in place (a record an index
    // does not hold, text a case-insensitive index does not fold, too many changes for one
    // change): they must be rebuilt.
    bool inserted(const std::uint8_t* rec, std::uint16_t block);
    bool removed(const std::uint8_t* rec);
    bool moved(const std::uint8_t* rec, std::uint16_t block);

    // The changed blocks and headers of the .X files and of the trees (.PX over `data` as it now
    // is, each .Y over its .X): pieces to save and write. False when a tree does not describe its
    // file as expected: the index files must be rebuilt instead.
    bool collect(HeldBlocks& data, std::vector<WritePiece>& pieces);

    // The number of record changes one change keeps up to date in place: one in a hundred of the
    // table's records, at least kMinChanges and at most kMaxChanges, while the index blocks it
    // holds take at most kMaxHeldBytes (about what a rebuild of a large table takes); more are
    // left to a rebuild of the index files.
    static constexpr std::size_t kMinChanges = 100, kMaxChanges = 2000;
    static constexpr std::uint64_t kMaxHeldBytes = 24u << 20;

private:
    struct Tree;
    struct Secondary;
    IndexUpkeep() = default;
    bool place(Secondary& s, const std::uint8_t* rec, std::uint16_t block);
    // Whether every index block read so far was as the trees describe it.
    bool consistent() const;
    std::uint64_t heldBytes() const;

    ParadoxTable* table_ = nullptr;
    FamilyChange* change_ = nullptr;
    std::string tableName_;
    unsigned keyLength_ = 0;
    std::size_t changes_ = 0, maxChanges_ = kMinChanges;
    std::unique_ptr<Tree> primary_;
    std::vector<std::unique_ptr<Secondary>> secondaries_;
};

}  // namespace tavrinth::paradox
