// Files of Paradox blocks changed in memory, and the index files of a keyed table kept up to date
// in place (px_index_update.h).
//
// The trees (.PX, .Y) are read whole once, to check that they describe the chain of the file below
// them (their level-1 entries name its blocks in order, with their record counts) and to learn the
// chain of each .X; only the block counts and block numbers are kept. Then only the index blocks
// on the paths from the root to the entries of the blocks the change touched are changed, and
// only those (and the blocks a split or a free links to) are written. Index blocks are filled as
// the engine fills the trees it builds (all slots but one) before they split in halves; a block
// whose entries count more than 32 767 records splits too, as the rebuild never lets an entry
// count more than its word holds.
//
// What is not kept up to date here, and left to the rebuild (which refuses what it cannot write
// before it writes): a tree or .X that is not as this program writes them (its file type, record
// layout, an entry naming a block other than the chain's, index blocks outside one chain), a
// missing .PX or tree, an index that holds no record (its tree has no level), text outside ASCII
// in a case-insensitive index, a record an index does not hold, a change that empties a tree, and
// changes of more records, or holding more index blocks, than set in px_index_update.h (large
// imports: each record changed in place holds a few blocks of every index file in memory until
// the end, where a rebuild reads the records once and sorts on disk in a few megabytes, and for
// many records takes less time).

#include "px_index_update.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "../byte_order.h"
#include "../engine_error.h"
#include "../file_io.h"
#include "../table_change.h"
#include "../value_text.h"
#include "px_crypt.h"
#include "px_index.h"
#include "px_table.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox {

namespace {
constexpr std::size_t kBlockHeader = 6;
constexpr std::uint8_t kAlpha = 0x01;
constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::uint8_t kOptionDescending = 0x10;

std::uint16_t flippedWord(const std::uint8_t* p) { return static_cast<std::uint16_t>(loadBE16(p) ^ 0x8000u); }
void storeFlipped(std::uint8_t* p, std::uint16_t v) { storeBE16(p, static_cast<std::uint16_t>(v ^ 0x8000u)); }
}  // namespace

// --- HeldBlocks ----------------------------------------------------------------------------------

HeldBlocks::HeldBlocks(FamilyChange& change, std::string path, std::string name, const Header& h,
                       std::uint32_t perBlock, std::vector<std::uint16_t> chainBlocks,
                       std::vector<std::uint32_t> blockCounts)
    : chain(std::move(chainBlocks)), counts(std::move(blockCounts)), change_(change), path_(std::move(path)),
      name_(std::move(name)), headerSize_(h.headerSize), blockSize_(h.blockSize()), recordSize_(h.recordSize),
      perBlock_(perBlock), encryption_(h.encryption), fileBlocks_(h.fileBlocks), firstFree_(h.firstFreeBlock) {
    for (const std::uint32_t n : counts) records += n;
}

std::vector<std::uint8_t>& HeldBlocks::block(std::uint16_t blk) {
    if (blocks_.size() <= blk) blocks_.resize(static_cast<std::size_t>(blk) + 1);
    std::unique_ptr<std::vector<std::uint8_t>>& held = blocks_[blk];
    if (held) return *held;
    held = std::make_unique<std::vector<std::uint8_t>>(blockSize_);
    ++heldBlocks_;
    std::vector<std::uint8_t>& b = *held;
    change_.read(path_, offsetOf(blk), b.data(), blockSize_);
    if (encryption_ != 0) decryptBlock(b.data(), blockSize_, encryption_, blk);
    firstAtLoad_[blk].assign(b.begin() + kBlockHeader, b.begin() + kBlockHeader + recordSize_);
    // A block of the chain must be as the chain has it: its neighbours, its record count.
    if (const std::size_t pos = positionOf(blk); pos != SIZE_MAX) {
        const std::uint16_t prev = pos > 0 ? chain[pos - 1] : 0;
        const std::uint16_t next = pos + 1 < chain.size() ? chain[pos + 1] : 0;
        const auto last = static_cast<std::int16_t>(loadLE16(b.data() + 4));
        if (loadLE16(b.data()) != next || loadLE16(b.data() + 2) != prev || counts[pos] == 0 ||
            last != static_cast<std::int64_t>(counts[pos] - 1) * recordSize_)
            consistent_ = false;
    }
    return b;
}

std::uint8_t* HeldBlocks::slotOf(std::uint16_t blk, std::uint32_t slot) {
    return block(blk).data() + kBlockHeader + static_cast<std::size_t>(slot) * recordSize_;
}

int HeldBlocks::compareLast(std::size_t pos, const std::uint8_t* sought, const Compare& compare) {
    for (std::size_t p = pos + 1; p-- > 0;)
        if (counts[p] > 0) return compare(slotOf(chain[p], counts[p] - 1), sought);
    return -1;
}

HeldBlocks::Spot HeldBlocks::find(const std::uint8_t* sought, const Compare& compare, bool& found) {
    std::size_t lo = 0, hi = chain.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (compareLast(mid, sought, compare) >= 0) hi = mid;
        else lo = mid + 1;
    }
    Spot at;
    at.pos = lo < chain.size() ? lo : chain.size() - 1;
    std::uint32_t a = 0, b = counts[at.pos];
    while (a < b) {
        const std::uint32_t mid = a + (b - a) / 2;
        if (compare(slotOf(chain[at.pos], mid), sought) < 0) a = mid + 1;
        else b = mid;
    }
    at.slot = a;
    found = a < counts[at.pos] && compare(slotOf(chain[at.pos], a), sought) == 0;
    return at;
}

const std::uint8_t* HeldBlocks::before(Spot at) {
    if (at.slot > 0) return slotOf(chain[at.pos], at.slot - 1);
    for (std::size_t p = at.pos; p-- > 0;)
        if (counts[p] > 0) return slotOf(chain[p], counts[p] - 1);
    return nullptr;
}

const std::uint8_t* HeldBlocks::atOrAfter(Spot at) {
    if (at.slot < counts[at.pos]) return slotOf(chain[at.pos], at.slot);
    for (std::size_t p = at.pos + 1; p < chain.size(); ++p)
        if (counts[p] > 0) return slotOf(chain[p], 0);
    return nullptr;
}

HeldBlocks::Inserted HeldBlocks::insertAt(Spot at, const std::uint8_t* rec) {
    if (chain.empty()) {
        const std::uint16_t first = takeBlock();
        storeLE16(block(first).data(), 0);
        storeLE16(block(first).data() + 2, 0);
        chain.push_back(first);
        counts.push_back(0);
        at = Spot{};
    }
    const std::uint32_t rs = recordSize_;
    const std::uint16_t blk = chain[at.pos];
    const std::uint32_t n = counts[at.pos];
    ++records;
    dirty_.insert(blk);
    if (n < perBlock_) {
        std::uint8_t* s = slotOf(blk, at.slot);
        std::memmove(s + rs, s, static_cast<std::size_t>(n - at.slot) * rs);
        std::memcpy(s, rec, rs);
        ++counts[at.pos];
        return {blk, 0};
    }
    // Full: a block is linked in after it.
    const bool last = at.pos + 1 == chain.size();
    const std::uint16_t added = linkAfter(at.pos);
    if (at.slot == n && last) {
        // After the last record of the file: the new block starts with it.
        std::memcpy(slotOf(added, 0), rec, rs);
        counts[at.pos + 1] = 1;
        return {added, added};
    }
    // The records of the full block with the new one among them; the upper half moves.
    std::vector<std::uint8_t> all(static_cast<std::size_t>(n + 1) * rs);
    std::memcpy(all.data(), slotOf(blk, 0), static_cast<std::size_t>(at.slot) * rs);
    std::memcpy(all.data() + static_cast<std::size_t>(at.slot) * rs, rec, rs);
    std::memcpy(all.data() + static_cast<std::size_t>(at.slot + 1) * rs, slotOf(blk, at.slot),
                static_cast<std::size_t>(n - at.slot) * rs);
    const std::uint32_t keep = (n + 2) / 2;
    std::uint8_t* kept = slotOf(blk, 0);
    std::memcpy(kept, all.data(), static_cast<std::size_t>(keep) * rs);
    std::memset(kept + static_cast<std::size_t>(keep) * rs, 0, static_cast<std::size_t>(n - keep) * rs);
    std::memcpy(slotOf(added, 0), all.data() + static_cast<std::size_t>(keep) * rs,
                static_cast<std::size_t>(n + 1 - keep) * rs);
    counts[at.pos] = keep;
    counts[at.pos + 1] = n + 1 - keep;
    return {at.slot < keep ? blk : added, added};
}

void HeldBlocks::removeAt(Spot at) {
    const std::uint32_t rs = recordSize_;
    const std::uint16_t blk = chain[at.pos];
    const std::uint32_t n = counts[at.pos];
    std::uint8_t* s = slotOf(blk, at.slot);
    std::memmove(s, s + rs, static_cast<std::size_t>(n - at.slot - 1) * rs);
    std::memset(slotOf(blk, n - 1), 0, rs);
    --counts[at.pos];
    --records;
    dirty_.insert(blk);
    if (counts[at.pos] == 0) unlink(at.pos);
}

std::uint16_t HeldBlocks::linkAfter(std::size_t pos) {
    const std::uint16_t blk = chain[pos];
    const std::uint16_t added = takeBlock();
    const std::uint16_t next = pos + 1 < chain.size() ? chain[pos + 1] : 0;
    storeLE16(block(added).data(), next);
    storeLE16(block(added).data() + 2, blk);
    storeLE16(block(blk).data(), added);
    dirty_.insert(blk);
    if (next != 0) {
        storeLE16(block(next).data() + 2, added);
        dirty_.insert(next);
    }
    chain.insert(chain.begin() + static_cast<std::ptrdiff_t>(pos + 1), added);
    counts.insert(counts.begin() + static_cast<std::ptrdiff_t>(pos + 1), 0);
    return added;
}

void HeldBlocks::unlink(std::size_t pos) {
    const std::uint16_t blk = chain[pos];
    const std::uint16_t prev = pos > 0 ? chain[pos - 1] : 0;
    const std::uint16_t next = pos + 1 < chain.size() ? chain[pos + 1] : 0;
    if (prev != 0) {
        storeLE16(block(prev).data(), next);
        dirty_.insert(prev);
    }
    if (next != 0) {
        storeLE16(block(next).data() + 2, prev);
        dirty_.insert(next);
    }
    records -= counts[pos];
    chain.erase(chain.begin() + static_cast<std::ptrdiff_t>(pos));
    counts.erase(counts.begin() + static_cast<std::ptrdiff_t>(pos));
    // On the free list, newest first; its "previous" word keeps the block before it.
    storeLE16(block(blk).data(), firstFree_);
    firstFree_ = blk;
    dirty_.insert(blk);
}

std::size_t HeldBlocks::positionOf(std::uint16_t blk) const {
    const auto it = std::find(chain.begin(), chain.end(), blk);
    return it == chain.end() ? SIZE_MAX : static_cast<std::size_t>(it - chain.begin());
}

void HeldBlocks::setRecords(std::size_t pos, const std::uint8_t* recs, std::uint32_t n) {
    const std::uint16_t blk = chain[pos];
    std::vector<std::uint8_t>& b = block(blk);
    std::memcpy(b.data() + kBlockHeader, recs, static_cast<std::size_t>(n) * recordSize_);
    std::memset(b.data() + kBlockHeader + static_cast<std::size_t>(n) * recordSize_, 0,
                blockSize_ - kBlockHeader - static_cast<std::size_t>(n) * recordSize_);
    records = records - counts[pos] + n;
    counts[pos] = n;
    dirty_.insert(blk);
}

std::uint16_t HeldBlocks::takeBlock() {
    std::uint16_t blk = 0;
    if (firstFree_ != 0) {
        blk = firstFree_;
        if (blk > fileBlocks_ || std::find(chain.begin(), chain.end(), blk) != chain.end())
            throw EDBEngineError(EDBEngineError::Code::Corrupt, "Cannot change " + name_ +
                                                                    ": its list of free blocks is damaged (block " +
                                                                    std::to_string(blk) + ")");
        firstFree_ = loadLE16(block(blk).data());
        std::fill(block(blk).begin(), block(blk).end(), 0);
        reused_.insert(blk);
    } else {
        if (fileBlocks_ >= 0xFFFF)
            throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                 "Cannot change " + name_ + ": it would need more blocks than a Paradox file can hold");
        blk = ++fileBlocks_;
        if (blocks_.size() <= blk) blocks_.resize(static_cast<std::size_t>(blk) + 1);
        blocks_[blk] = std::make_unique<std::vector<std::uint8_t>>(blockSize_, 0);
        ++heldBlocks_;
    }
    dirty_.insert(blk);
    return blk;
}

void HeldBlocks::collect(std::vector<WritePiece>& pieces) {
    std::map<std::uint16_t, std::uint32_t> inChain;
    for (std::size_t i = 0; i < chain.size(); ++i) inChain[chain[i]] = counts[i];
    for (const std::uint16_t blk : dirty_) {
        std::vector<std::uint8_t> b = block(blk);
        const auto it = inChain.find(blk);
        const auto last = it != inChain.end() && it->second > 0 ? static_cast<std::int16_t>((it->second - 1) * recordSize_)
                                                                : static_cast<std::int16_t>(-static_cast<int>(recordSize_));
        storeLE16(b.data() + 4, static_cast<std::uint16_t>(last));
        if (encryption_ != 0) encryptBlock(b.data(), blockSize_, encryption_, blk);
        const std::uint64_t at = offsetOf(blk);
        if (!pieces.empty() && pieces.back().path == path_ && pieces.back().offset + pieces.back().bytes.size() == at)
            pieces.back().bytes.insert(pieces.back().bytes.end(), b.begin(), b.end());
        else
            pieces.push_back({path_, at, std::move(b)});
    }
}

void HeldBlocks::patchHeader(std::uint8_t* p) const {
    storeLE32(p + 0x06, static_cast<std::uint32_t>(records));
    storeLE16(p + 0x0A, static_cast<std::uint16_t>(chain.size()));
    storeLE16(p + 0x0C, fileBlocks_);
    storeLE16(p + 0x0E, chain.empty() ? 0 : chain.front());
    storeLE16(p + 0x10, chain.empty() ? 0 : chain.back());
    storeLE16(p + 0x3A, std::max(loadLE16(p + 0x3A), fileBlocks_));
    storeLE16(p + 0x4D, firstFree_);
}

// --- IndexUpkeep ---------------------------------------------------------------------------------

// A tree file (.PX, .Y): its header, its blocks held as a file of blocks whose records are the
// entries, and which blocks below it have an entry.
struct IndexUpkeep::Tree {
    std::string path;
    Header header;
    std::vector<std::uint8_t> headerBytes;
    unsigned keyLength = 0;
    HeldBlocks::Compare compare;  // of two keys
    std::uint16_t root = 0;
    std::uint8_t levels = 0;
    std::vector<bool> listed;  // by block number below: it has a level-1 entry
    // The level-1 entries in order: the blocks below and their record counts.
    std::vector<std::uint16_t> children;
    std::vector<std::uint32_t> childCounts;
    std::unique_ptr<HeldBlocks> blocks;

    // Reads the tree; false when it is not one this program keeps up to date, or (given `chain`)
    // when it does not describe the non-empty blocks of `chain` with `counts` in that order.
    bool read(FamilyChange& change, const ByteSource& src, const std::string& filePath, std::uint8_t fileType,
              unsigned keyLen, HeldBlocks::Compare keyCompare, const std::vector<std::uint16_t>* chain,
              const std::vector<std::uint32_t>* counts) {
        path = filePath;
        keyLength = keyLen;
        compare = std::move(keyCompare);
        try {
            header = readHeader(src);
        } catch (const EDBEngineError&) {
            return false;
        }
        if (header.fileType != fileType || header.recordSize != keyLength + 6 || header.maxTableSize == 0 ||
            header.maxTableSize > 32)
            return false;
        headerBytes.resize(header.headerSize);
        change.read(path, 0, headerBytes.data(), headerBytes.size());
        if (header.indexLevels == 0 || header.indexLevels > 16) return false;
        root = header.indexRoot;
        levels = header.indexLevels;
        std::vector<std::uint16_t> next(65536, 0);
        std::vector<std::uint32_t> entries(65536, 0);
        std::vector<bool> seen(65536, false);
        if (!visit(change, root, levels, seen, next, entries)) return false;
        // Every block of the tree in one chain from 0x0E, as this program writes trees.
        std::vector<std::uint16_t> treeChain;
        std::vector<std::uint32_t> treeCounts;
        for (std::uint16_t blk = header.firstBlock; blk != 0; blk = next[blk]) {
            if (!seen[blk] || treeChain.size() > 65535) return false;
            seen[blk] = false;
            treeChain.push_back(blk);
            treeCounts.push_back(entries[blk]);
        }
        if (treeChain.size() != header.blocksInUse || treeChain.back() != header.lastBlock) return false;
        for (const bool left : seen)
            if (left) return false;
        // The level-1 entries must name the blocks of the file below in chain order, with their counts.
        if (chain) {
            std::size_t e = 0;
            for (std::size_t pos = 0; pos < chain->size(); ++pos) {
                if ((*counts)[pos] == 0) continue;
                if (e >= children.size() || children[e] != (*chain)[pos] || childCounts[e] != (*counts)[pos]) return false;
                ++e;
            }
            if (e != children.size()) return false;
        }
        listed.assign(65536, false);
        for (const std::uint16_t c : children) {
            if (c == 0 || listed[c]) return false;
            listed[c] = true;
        }
        const std::uint32_t perBlock = (header.blockSize() - kBlockHeader) / header.recordSize - 1;
        blocks = std::make_unique<HeldBlocks>(change, path, fileNamePart(path), header, perBlock, std::move(treeChain),
                                              std::move(treeCounts));
        return true;
    }

    bool visit(FamilyChange& change, std::uint16_t blk, int level, std::vector<bool>& seen,
               std::vector<std::uint16_t>& next, std::vector<std::uint32_t>& entries) {
        if (blk == 0 || blk > header.fileBlocks || seen[blk]) return false;
        seen[blk] = true;
        const std::uint32_t size = header.blockSize();
        std::vector<std::uint8_t> b(size);
        change.read(path, header.headerSize + static_cast<std::uint64_t>(blk - 1) * size, b.data(), size);
        if (header.encryption != 0) decryptBlock(b.data(), size, header.encryption, blk);
        const auto last = static_cast<std::int16_t>(loadLE16(b.data() + 4));
        const unsigned rs = header.recordSize;
        if (last < 0 || last % rs != 0 || static_cast<std::size_t>(last) / rs + 1 > (size - kBlockHeader) / rs)
            return false;
        const std::size_t n = static_cast<std::size_t>(last) / rs + 1;
        next[blk] = loadLE16(b.data());
        entries[blk] = static_cast<std::uint32_t>(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = b.data() + kBlockHeader + i * rs;
            const std::uint16_t child = flippedWord(p + keyLength);
            if (level == 1) {
                children.push_back(child);
                childCounts.push_back(flippedWord(p + keyLength + 2));
            } else if (!visit(change, child, level - 1, seen, next, entries)) {
                return false;
            }
        }
        return true;
    }

    // --- Bringing the tree up to date over the file below as the change leaves it -------------

    // Only the entries of the blocks below that the change touched are rewritten (a new first key,
    // a new count, the entry removed for a block that left the chain), with an entry added after
    // each for the blocks the change linked in after it; then, on the path up to the root, the
    // entries of every index block changed (its first key and the sum of its counts), a block
    // over the entries it holds split (the upper half linked in after it, as many times as
    // needed; also when its entries count more than 32 767 records, which the count word does not
    // hold), an emptied one sent to the free list, and a new root above a root that split. False
    // when the tree does not describe the blocks as expected: it must be rebuilt.
    bool update(HeldBlocks& below, std::vector<WritePiece>& pieces) {
        below_ = &below;
        // The blocks whose entries change: those the change touched that have one, and before
        // each block it linked in, the nearest that has one (the new block's entry follows its).
        // A block that left the chain and was taken again loses its entry and counts as new.
        std::set<std::uint16_t> touched;
        for (const std::uint16_t blk : below.changedBlocks())
            if (listed[blk]) touched.insert(blk);
        std::uint16_t lastListed = 0;
        for (std::size_t pos = 0; pos < below.chain.size(); ++pos) {
            const std::uint16_t blk = below.chain[pos];
            if (listed[blk] && !below.reused(blk)) {
                lastListed = blk;
            } else if (below.counts[pos] > 0) {
                if (lastListed == 0) return false;  // a block linked in before every listed one
                touched.insert(lastListed);
                linkedAfter_[lastListed].push_back(blk);
            }
        }
        if (touched.empty()) return true;
        touched_ = touched;
        // Found from the root by the first key each held before the change (as its entry has it).
        for (const std::uint16_t blk : touched) {
            if (!below.firstAtLoad(blk)) below.block(blk);
            sought_.push_back({std::vector<std::uint8_t>(below.firstAtLoad(blk), below.firstAtLoad(blk) + keyLength), blk, 0});
        }
        std::sort(sought_.begin(), sought_.end(), [this](const writer::IndexEntry& a, const writer::IndexEntry& b) {
            return compare(a.key.data(), b.key.data()) < 0;
        });
        std::vector<writer::IndexEntry> top = fix(root, levels, 0, sought_.size());
        if (failed_ || found_ != touched.size() || top.empty()) return false;
        while (top.size() > 1) {
            // The root split: a new root above it.
            const std::size_t pos = blocks->positionOf(top.back().child);
            const std::uint16_t above = blocks->linkAfter(pos);
            top = place(blocks->positionOf(above), top, true);
            if (++levels > 16) return false;
        }
        root = top.front().child;
        blocks->collect(pieces);
        std::vector<std::uint8_t> hb = headerBytes;
        blocks->patchHeader(hb.data());
        storeLE16(hb.data() + 0x1E, root);
        hb[0x20] = levels;
        if (hb != headerBytes) pieces.push_back({path, 0, std::move(hb)});
        return true;
    }

private:
    HeldBlocks* below_ = nullptr;
    std::set<std::uint16_t> touched_;
    std::map<std::uint16_t, std::vector<std::uint16_t>> linkedAfter_;
    std::vector<writer::IndexEntry> sought_;
    std::size_t found_ = 0;
    bool failed_ = false;

    writer::IndexEntry entryOf(std::uint16_t blk, std::size_t slot) {
        const std::uint8_t* p = blocks->slotOf(blk, static_cast<std::uint32_t>(slot));
        return {std::vector<std::uint8_t>(p, p + keyLength), flippedWord(p + keyLength), flippedWord(p + keyLength + 2)};
    }
    writer::IndexEntry entryBelow(std::uint16_t blk) {
        const std::size_t pos = below_->positionOf(blk);
        const std::uint8_t* first = below_->slotOf(blk, 0);
        return {std::vector<std::uint8_t>(first, first + keyLength), blk, pos == SIZE_MAX ? 0 : below_->counts[pos]};
    }

    // The entries that replace the entry of index block `blk` (at `level`) in the block above:
    // none when it emptied, several when it split. sought_[from, to) are the keys under it.
    std::vector<writer::IndexEntry> fix(std::uint16_t blk, int level, std::size_t from, std::size_t to) {
        const std::size_t pos = blocks->positionOf(blk);
        if (pos == SIZE_MAX || failed_) {
            failed_ = true;
            return {};
        }
        const std::size_t n = blocks->counts[pos];
        std::vector<writer::IndexEntry> entries;
        for (std::size_t i = 0; i < n; ++i) entries.push_back(entryOf(blk, i));
        std::vector<writer::IndexEntry> out;
        std::size_t k = from;
        for (std::size_t i = 0; i < n; ++i) {
            // The keys before the next entry's key are under this one.
            std::size_t end = k;
            while (end < to && (i + 1 == n || compare(sought_[end].key.data(), entries[i + 1].key.data()) < 0)) ++end;
            if (end == k) {
                out.push_back(std::move(entries[i]));
                continue;
            }
            if (level == 1) {
                const std::uint16_t child = entries[i].child;
                if (end - k != 1 || sought_[k].child != child) {
                    failed_ = true;
                    return {};
                }
                ++found_;
                if (const std::size_t p = below_->positionOf(child);
                    p != SIZE_MAX && below_->counts[p] > 0 && !below_->reused(child))
                    out.push_back(entryBelow(child));
                if (const auto it = linkedAfter_.find(child); it != linkedAfter_.end())
                    for (const std::uint16_t added : it->second) out.push_back(entryBelow(added));
            } else {
                for (writer::IndexEntry& e : fix(entries[i].child, level - 1, k, end)) out.push_back(std::move(e));
                if (failed_) return {};
            }
            k = end;
        }
        if (k != to) {
            failed_ = true;
            return {};
        }
        // The blocks below may have split: the chain has moved.
        return place(blocks->positionOf(blk), out, blk == root);
    }

    // Puts `entries` into the index block at `pos`, split over as many blocks as they need (the
    // later ones linked in after it); an empty list sends the block to the free list. Returns the
    // entries for the block above. The entries of a root that does not split are counted by no
    // entry, so together they may count any number of records.
    std::vector<writer::IndexEntry> place(std::size_t pos, const std::vector<writer::IndexEntry>& entries, bool isRoot) {
        if (entries.empty()) {
            blocks->unlink(pos);
            return {};
        }
        const std::size_t perBlock = (header.blockSize() - kBlockHeader) / header.recordSize - 1;
        const bool capped = !isRoot || entries.size() > perBlock;
        std::vector<std::pair<std::size_t, std::size_t>> groups;
        const std::function<void(std::size_t, std::size_t)> split = [&](std::size_t a, std::size_t b) {
            std::uint64_t sum = 0;
            for (std::size_t i = a; i < b; ++i) sum += entries[i].count;
            if (b - a == 1 || (b - a <= perBlock && (!capped || sum <= 32767))) {
                groups.push_back({a, b});
                return;
            }
            split(a, a + (b - a) / 2);
            split(a + (b - a) / 2, b);
        };
        split(0, entries.size());
        std::vector<writer::IndexEntry> up;
        const unsigned rs = header.recordSize;
        std::uint16_t blk = blocks->chain[pos];
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (g > 0) blk = blocks->linkAfter(blocks->positionOf(blk));
            const std::size_t at = blocks->positionOf(blk);
            const auto [a, b] = groups[g];
            std::vector<std::uint8_t> bytes((b - a) * rs, 0);
            std::uint32_t sum = 0;
            for (std::size_t i = a; i < b; ++i) {
                std::uint8_t* r = bytes.data() + (i - a) * rs;
                std::memcpy(r, entries[i].key.data(), keyLength);
                storeFlipped(r + keyLength, entries[i].child);
                storeFlipped(r + keyLength + 2, static_cast<std::uint16_t>(entries[i].count & 0xFFFFu));
                storeFlipped(r + keyLength + 4, 0);
                sum += entries[i].count;
            }
            const bool same = blocks->counts[at] == b - a &&
                              std::memcmp(blocks->slotOf(blk, 0), bytes.data(), bytes.size()) == 0;
            if (!same) blocks->setRecords(at, bytes.data(), static_cast<std::uint32_t>(b - a));
            up.push_back({entries[a].key, blk, sum});
        }
        return up;
    }
};

// A secondary index: its .X file, held, how it orders its records, and its tree.
struct IndexUpkeep::Secondary {
    std::string name;  // the index's name, for messages
    std::vector<int> fields;
    std::vector<writer::KeyPart> parts;     // the index fields
    std::vector<writer::KeyPart> identity;  // the index fields, then the table's key
    unsigned indexLength = 0, recordSize = 0;
    bool unique = false;
    std::vector<std::uint8_t> headerBytes;
    std::unique_ptr<HeldBlocks> x;
    Tree tree;
    std::vector<std::uint8_t> probe;
};

IndexUpkeep::~IndexUpkeep() = default;

std::unique_ptr<IndexUpkeep> IndexUpkeep::open(ParadoxTable& table, FamilyChange& change, const HeldBlocks& data) {
    const Header& h = table.header();
    const std::vector<FieldDef>& fields = table.fields();
    if (h.primaryKeyFields <= 0 || static_cast<std::size_t>(h.primaryKeyFields) > fields.size())
        return nullptr;
    const auto* family = dynamic_cast<const DiskFamily*>(&table.family());
    if (!family) return nullptr;
    std::unique_ptr<IndexUpkeep> u(new IndexUpkeep);
    u->table_ = &table;
    u->change_ = &change;
    u->tableName_ = table.fileName();
    u->maxChanges_ = std::clamp<std::size_t>(data.records / 100, kMinChanges, kMaxChanges);
    for (int i = 0; i < h.primaryKeyFields; ++i) u->keyLength_ += fields[static_cast<std::size_t>(i)].length;

    const std::unique_ptr<ByteSource> px = family->open(".px");
    if (!px) return nullptr;
    u->primary_ = std::make_unique<Tree>();
    const unsigned keyLength = u->keyLength_;
    if (!u->primary_->read(change, *px, family->path(".px"), kPrimaryIndex, keyLength,
                           [keyLength](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareBytes(a, b, keyLength); },
                           &data.chain, &data.counts))
        return nullptr;

    for (const std::string& ext : secondaryIndexExtensions(family->extensions())) {
        const std::unique_ptr<ByteSource> src = family->open(ext);
        std::string yExt = ext;
        yExt[1] = yExt[1] == 'X' ? 'Y' : 'y';
        const std::unique_ptr<ByteSource> ySrc = family->open(yExt);
        if (!src || !ySrc) return nullptr;
        auto s = std::make_unique<Secondary>();
        TIndexDef def;
        std::string problem;
        Header x;
        try {
            if (!readSecondaryIndex(h, fields, table.codePage(), *src, ext, def, problem)) return nullptr;
            x = readHeader(*src);
        } catch (const EDBEngineError&) {
            return nullptr;
        }
        const bool composite = classifyIndexExtension(ext).kind == IndexFileName::Kind::Composite;
        if (x.fileType != (composite ? kCompositeIndexMaintained : kSecondaryIndexMaintained) || x.maxTableSize == 0)
            return nullptr;
        // The record: the index fields, the table's key, Blk Num, as the rebuild writes it.
        s->name = def.Name;
        s->fields = def.fieldIndexes;
        s->unique = def.has(ixUnique);
        const std::size_t m = s->fields.size();
        if (x.fields.size() != m + static_cast<std::size_t>(h.primaryKeyFields) + 1) return nullptr;
        const std::uint8_t options = x.versionByte >= 0x05 ? x.indexOptions : 0;
        unsigned at = 0;
        for (std::size_t i = 0; i < x.fields.size(); ++i) {
            const FieldDef* f = nullptr;
            if (i < m) f = &fields[static_cast<std::size_t>(s->fields[i])];
            else if (i + 1 < x.fields.size()) f = &fields[i - m];
            if (f ? (x.fields[i].type != f->typeCode || fieldBytes(x.fields[i]) != f->length)
                  : (x.fields[i].type != writer::kShort))
                return nullptr;
            if (i < m) {
                const bool descending =
                    (i < x.fieldNumbers.size() && (x.fieldNumbers[i] & kDescendingBit)) || (options & kOptionDescending);
                s->parts.push_back({at, f->length, def.has(ixCaseInsensitive) && f->typeCode == kAlpha, descending});
                at += f->length;
            }
        }
        s->indexLength = at;
        s->recordSize = at + u->keyLength_ + 2;
        if (x.recordSize != s->recordSize || s->recordSize + kBlockHeader > x.blockSize()) return nullptr;
        s->identity = s->parts;
        s->identity.push_back({at, u->keyLength_, false, false});
        s->probe.resize(s->recordSize);

        // The .X chain is the tree's level-1 entries.
        Tree& t = s->tree;
        const std::vector<writer::KeyPart> identity = s->identity;
        if (!t.read(change, *ySrc, family->path(yExt), composite ? kCompositeIndexTree : kSecondaryIndexTree,
                    s->recordSize - 2,
                    [identity](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareKeys(a, b, identity); },
                    nullptr, nullptr))
            return nullptr;
        std::vector<std::uint16_t> chain = t.children;
        std::vector<std::uint32_t> counts = t.childCounts;
        std::uint64_t records = 0;
        for (std::size_t i = 0; i < chain.size(); ++i) {
            records += counts[i];
            if (counts[i] == 0 || chain[i] > x.fileBlocks) return nullptr;
        }
        if (chain.size() != x.blocksInUse || records != x.numRecords || chain.front() != x.firstBlock ||
            chain.back() != x.lastBlock)
            return nullptr;
        s->headerBytes.resize(x.headerSize);
        const std::string xPath = family->path(ext);
        change.read(xPath, 0, s->headerBytes.data(), s->headerBytes.size());
        const std::uint32_t perBlock = (x.blockSize() - kBlockHeader) / x.recordSize;
        s->x = std::make_unique<HeldBlocks>(change, xPath, fileNamePart(xPath), x, perBlock, std::move(chain), std::move(counts));
        u->secondaries_.push_back(std::move(s));
    }
    return u;
}

bool IndexUpkeep::place(Secondary& s, const std::uint8_t* rec, std::uint16_t block) {
    const std::vector<FieldDef>& fields = table_->fields();
    std::uint8_t* p = s.probe.data();
    unsigned at = 0;
    for (std::size_t i = 0; i < s.fields.size(); ++i) {
        const FieldDef& f = fields[static_cast<std::size_t>(s.fields[i])];
        std::memcpy(p + at, rec + f.offset, f.length);
        // Letters outside ASCII are not folded here: the rebuild refuses them.
        if (s.parts[i].caseInsensitive)
            for (unsigned k = 0; k < f.length; ++k)
                if (p[at + k] >= 0x80) return false;
        at += f.length;
    }
    std::memcpy(p + at, rec, keyLength_);
    storeFlipped(p + at + keyLength_, block);
    return true;
}

void IndexUpkeep::refuseDuplicate(const std::uint8_t* rec) {
    for (const std::unique_ptr<Secondary>& sp : secondaries_) {
        Secondary& s = *sp;
        if (!s.unique || s.x->chain.empty() || !place(s, rec, 0)) continue;
        bool found = false;
        const HeldBlocks::Spot at = s.x->find(
            s.probe.data(), [&s](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareKeys(a, b, s.identity); },
            found);
        const std::uint8_t* before = s.x->before(at);
        const std::uint8_t* after = s.x->atOrAfter(at);
        if ((before && writer::compareKeys(before, s.probe.data(), s.parts) == 0) ||
            (after && writer::compareKeys(after, s.probe.data(), s.parts) == 0)) {
            std::string values;
            for (const int f : s.fields) {
                FieldValue v;
                table_->decode(rec, static_cast<std::size_t>(f), v);
                if (!values.empty()) values += ", ";
                values += table_->fields()[static_cast<std::size_t>(f)].name + " = " +
                          (v.isNull() ? std::string("blank") : displayValueText(v));
            }
            throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot change " + tableName_ + ": unique index " +
                                                                         s.name + " holds a record with " + values +
                                                                         " already");
        }
    }
}

bool IndexUpkeep::inserted(const std::uint8_t* rec, std::uint16_t block) {
    if (++changes_ > maxChanges_ || heldBytes() > kMaxHeldBytes) return false;
    for (const std::unique_ptr<Secondary>& sp : secondaries_) {
        Secondary& s = *sp;
        if (!place(s, rec, block)) return false;
        HeldBlocks::Spot at;
        if (!s.x->chain.empty()) {
            bool found = false;
            at = s.x->find(
                s.probe.data(), [&s](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareKeys(a, b, s.identity); },
                found);
            if (found) return false;
        }
        s.x->insertAt(at, s.probe.data());
    }
    return consistent();
}

bool IndexUpkeep::removed(const std::uint8_t* rec) {
    if (++changes_ > maxChanges_ || heldBytes() > kMaxHeldBytes) return false;
    for (const std::unique_ptr<Secondary>& sp : secondaries_) {
        Secondary& s = *sp;
        if (!place(s, rec, 0) || s.x->chain.empty()) return false;
        bool found = false;
        const HeldBlocks::Spot at = s.x->find(
            s.probe.data(), [&s](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareKeys(a, b, s.identity); },
            found);
        if (!found) return false;
        s.x->removeAt(at);
    }
    return consistent();
}

bool IndexUpkeep::moved(const std::uint8_t* rec, std::uint16_t block) {
    for (const std::unique_ptr<Secondary>& sp : secondaries_) {
        Secondary& s = *sp;
        if (!place(s, rec, block) || s.x->chain.empty()) return false;
        bool found = false;
        const HeldBlocks::Spot at = s.x->find(
            s.probe.data(), [&s](const std::uint8_t* a, const std::uint8_t* b) { return writer::compareKeys(a, b, s.identity); },
            found);
        if (!found) return false;
        std::uint8_t* r = s.x->recordAt(at);
        storeFlipped(r + s.recordSize - 2, block);
        s.x->touch(s.x->chain[at.pos]);
    }
    return consistent();
}

std::uint64_t IndexUpkeep::heldBytes() const {
    std::uint64_t n = primary_->blocks->heldBytes();
    for (const std::unique_ptr<Secondary>& s : secondaries_) n += s->x->heldBytes() + s->tree.blocks->heldBytes();
    return n;
}

bool IndexUpkeep::consistent() const {
    for (const std::unique_ptr<Secondary>& s : secondaries_)
        if (!s->x->consistent() || !s->tree.blocks->consistent()) return false;
    return primary_->blocks->consistent();
}

bool IndexUpkeep::collect(HeldBlocks& data, std::vector<WritePiece>& pieces) {
    if (!consistent() || !primary_->update(data, pieces)) return false;
    for (const std::unique_ptr<Secondary>& sp : secondaries_) {
        Secondary& s = *sp;
        const std::size_t before = pieces.size();
        s.x->collect(pieces);
        if (pieces.size() == before) continue;
        std::vector<std::uint8_t> hb = s.headerBytes;
        s.x->patchHeader(hb.data());
        if (hb != s.headerBytes) pieces.push_back({s.x->path(), 0, std::move(hb)});
        if (!s.tree.update(*s.x, pieces)) return false;
    }
    return consistent();
}

}  // namespace tavrinth::paradox
