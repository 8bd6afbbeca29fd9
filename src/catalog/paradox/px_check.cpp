// Verifying a Paradox table family: the table's block chain and header counts, the order of a
// keyed table's records, its BLOB pointers and the .MB, the primary index (.PX), the secondary
// indexes (.Xnn/.XGn with their .Ynn/.YGn trees) and the .VAL's tie to the table.
//
// Layouts as the readers take them (px_header.h, px_table.cpp, px_index.h, px_val.h). What the
// checks rely on beyond the readers, all of it holding in every table family of the corpus:
// * Data files and trees alike keep their blocks in one chain from header 0x0E; the header's
//   record count (0x06) is the sum over the chain (for a tree: its entries over all levels), 0x0A
//   the number of blocks in the chain and 0x10 the last one. Blocks outside the chain are linked
//   from 0x4D through their "next" words (free blocks). A file may end inside its last block
//   (the engine writes it only as far as it is used); only records past the end are missing.
// * A tree entry is the key, then three flipped 16-bit words: the block below (level 1: a block
//   of the data file), the records under the entry, 0. A level-1 entry holds the first key of
//   its data block and the block's record count; an entry above holds the first key and the
//   summed count of the block below it. Level-1 entries name the data blocks in chain order.
// * A secondary index record is the index fields, then the table's key and "Blk Num" (the
//   flipped number of the data block holding the record) for a keyed table, or "Tup No", "Blk
//   Num", "Tup Offset" for an unkeyed one. "Blk Num" is where the engine looks first; records
//   move between blocks as blocks fill and split, so it is only required to name a block of the
//   table. The records are in index order: the index fields
//   (per field descending when its field number carries bit 15, case-insensitive with option
//   0x01), then the table's key.
//
// Choices:
// * Text is compared by byte value only under the sort orders that collate that way ('ascii' and
//   "'ascii' ANSI", DBWINUS0, and the level 3 tables that name none). Under any other sort order
//   two text values that differ leave the order of their records open and nothing is said; so do
//   letters outside ASCII in a case-insensitive index (how the engine folds them is not known).
// * Non-maintained indexes (file types 3 and 6) may lag behind the table by design (the engine
//   brings them up to date before it uses them): their own structure is checked, not their
//   entries against the records. The entries of an unkeyed table's index name their records by
//   "Tup No" and "Tup Offset", whose meaning no file shows; they are not compared either.
// * The .VAL is judged by the validity-check reader (px_val.h): what makes it ignore the file
//   (stale or damaged) is reported.

#include "px_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "../byte_order.h"
#include "../engine_error.h"
#include "../value_text.h"
#include "px_crypt.h"
#include "px_index.h"
#include "px_table.h"
#include "px_val.h"
#include "px_values.h"

namespace tavrinth::paradox {

namespace {

constexpr std::size_t kBlockHead = 6;
constexpr std::uint8_t kAlphaType = 0x01;
constexpr std::uint32_t kMbUnit = 4096;
constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::uint8_t kOptionDescending = 0x10;
constexpr int kMaxTreeLevels = 16;

std::string hexText(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string num(std::uint64_t v) { return std::to_string(v); }

std::uint16_t flippedWord(const std::uint8_t* p) { return static_cast<std::uint16_t>(loadBE16(p) ^ 0x8000u); }

bool isBlob(std::uint8_t type) { return type >= 0x0C && type <= 0x10; }

// --- files of blocks ----------------------------------------------------------------------------

struct BlockFile {
    const ByteSource* src = nullptr;
    Header header;
    std::string name;

    std::uint64_t blockOffset(std::uint16_t number) const {
        return header.headerSize + static_cast<std::uint64_t>(number - 1) * header.blockSize();
    }
    // Block `number` whole and unscrambled.
    void read(std::uint16_t number, std::vector<std::uint8_t>& buf) const {
        const std::uint32_t size = header.blockSize();
        buf.resize(size);
        src->readZeroFilled(blockOffset(number), buf.data(), size);
        if (header.encryption != 0) decryptBlock(buf.data(), size, header.encryption, number);
    }
};

struct ChainBlock {
    std::uint16_t number = 0;
    std::uint32_t records = 0;
};

struct Chain {
    std::vector<ChainBlock> blocks;
    std::uint64_t records = 0;
};

// Follows the block chain from the header's first block, checking the links, the counts and the
// free-block list. The chain it returns stops before the first block it cannot follow.
Chain walkChain(const BlockFile& f, CheckReport& r) {
    const Header& h = f.header;
    Chain chain;
    const std::uint32_t blockSize = h.blockSize();
    const std::uint64_t size = f.src->size();
    const std::uint32_t capacity = (blockSize - kBlockHead) / h.recordSize;
    std::vector<bool> inChain(65536, false);
    std::uint8_t head[256];
    std::uint16_t previous = 0;
    for (std::uint16_t blk = h.firstBlock; blk != 0;) {
        const std::uint64_t offset = f.blockOffset(blk);
        if (blk > h.fileBlocks) {
            r.add(f.name, "the block chain reaches block " + num(blk) + ", beyond the " + num(h.fileBlocks) +
                              " blocks the header counts");
            break;
        }
        if (offset >= size) {
            r.add(f.name, "the block chain reaches block " + num(blk) + ", which lies past the end of the file");
            break;
        }
        if (inChain[blk]) {
            r.add(f.name, "the block chain runs in a loop: it comes back to block " + num(blk));
            break;
        }
        inChain[blk] = true;
        f.src->readZeroFilled(offset, head, sizeof head);
        if (h.encryption != 0) decryptBlock(head, sizeof head, h.encryption, blk);
        const std::uint16_t next = loadLE16(head);
        const std::uint16_t back = loadLE16(head + 2);
        const auto last = static_cast<std::int16_t>(loadLE16(head + 4));
        if (back != previous)
            r.add(f.name, "block " + num(blk) + " links back to block " + num(back) + ", but the chain reaches it " +
                              (previous == 0 ? std::string("first") : "from block " + num(previous)));
        std::uint32_t count = 0;
        if (last >= 0) {
            if (last % h.recordSize != 0)
                r.add(f.name, "block " + num(blk) + " gives its last record at offset " + num(last) +
                                  ", which is not a multiple of the record size " + num(h.recordSize));
            count = static_cast<std::uint32_t>(last) / h.recordSize + 1;
            if (count > capacity) {
                r.add(f.name,
                      "block " + num(blk) + " claims " + num(count) + " records but holds at most " + num(capacity));
                count = capacity;
            }
        }
        if (offset + kBlockHead + static_cast<std::uint64_t>(count) * h.recordSize > size)
            r.add(f.name, "the records of block " + num(blk) + " run past the end of the file");
        chain.blocks.push_back({blk, count});
        chain.records += count;
        previous = blk;
        blk = next;
    }

    // The last block may end early (the engine writes it only as far as it is used), but it must
    // begin inside the file.
    const std::uint64_t held = size > h.headerSize ? (size - h.headerSize + blockSize - 1) / blockSize : 0;
    if (h.fileBlocks > held)
        r.add(f.name, "the header counts " + num(h.fileBlocks) + " blocks but the file holds only " + num(held));
    if (chain.records != h.numRecords)
        r.add(f.name, "the header counts " + num(h.numRecords) + (h.isTable() ? " records" : " entries") +
                          " but the block chain holds " + num(chain.records));
    if (chain.blocks.size() != h.blocksInUse)
        r.add(f.name, "the header counts " + num(h.blocksInUse) + " blocks in use but the block chain has " +
                          num(chain.blocks.size()));
    if (!chain.blocks.empty() && chain.blocks.back().number != h.lastBlock)
        r.add(f.name, "the header names block " + num(h.lastBlock) +
                          " as the last of the chain but the chain ends at block " + num(chain.blocks.back().number));

    // Free blocks: linked from 0x4D, none of them in the chain.
    std::vector<bool> isFree(65536, false);
    for (std::uint16_t blk = h.firstFreeBlock; blk != 0;) {
        if (blk > h.fileBlocks || f.blockOffset(blk) >= size) {
            r.add(f.name, "the list of free blocks reaches block " + num(blk) + ", which the file does not hold");
            break;
        }
        if (inChain[blk]) {
            r.add(f.name, "block " + num(blk) + " is in the block chain and in the list of free blocks");
            break;
        }
        if (isFree[blk]) {
            r.add(f.name, "the list of free blocks runs in a loop: it comes back to block " + num(blk));
            break;
        }
        isFree[blk] = true;
        f.src->readZeroFilled(f.blockOffset(blk), head, sizeof head);
        if (h.encryption != 0) decryptBlock(head, sizeof head, h.encryption, blk);
        blk = loadLE16(head);
    }
    return chain;
}

// Calls visit(record, chain position, slot) for every record of the chain, block by block.
void forEachRecord(const BlockFile& f, const Chain& chain,
                   const std::function<void(const std::uint8_t*, std::size_t, std::uint32_t)>& visit) {
    std::vector<std::uint8_t> block;
    for (std::size_t pos = 0; pos < chain.blocks.size(); ++pos) {
        if (chain.blocks[pos].records == 0) continue;
        f.read(chain.blocks[pos].number, block);
        for (std::uint32_t i = 0; i < chain.blocks[pos].records; ++i)
            visit(block.data() + kBlockHead + static_cast<std::size_t>(i) * f.header.recordSize, pos, i);
    }
}

// --- keys ---------------------------------------------------------------------------------------

struct KeyPart {
    unsigned offset = 0;
    unsigned length = 0;
    bool text = false;
    bool caseInsensitive = false;
    bool descending = false;
};

enum class Order { Before, Same, After, Open };

// The order of two records (or index records) by the parts. Text under a sort order that does
// not collate by byte value, and non-ASCII letters in a case-insensitive part, leave it open
// where they differ.
Order compareKeys(const std::uint8_t* a, const std::uint8_t* b, const std::vector<KeyPart>& parts, bool textByByte) {
    for (const KeyPart& p : parts) {
        const std::uint8_t* x = a + p.offset;
        const std::uint8_t* y = b + p.offset;
        int c = 0;
        for (unsigned i = 0; i < p.length && c == 0; ++i) {
            unsigned cx = x[i], cy = y[i];
            if (cx == cy) continue;
            if (p.text && !textByByte) return Order::Open;
            if (p.caseInsensitive) {
                if (cx >= 0x80 || cy >= 0x80) return Order::Open;
                if (cx >= 'a' && cx <= 'z') cx -= 32;
                if (cy >= 'a' && cy <= 'z') cy -= 32;
                if (cx == cy) continue;
            }
            c = cx < cy ? -1 : 1;
        }
        if (c != 0) return (c < 0) != p.descending ? Order::Before : Order::After;
    }
    return Order::Same;
}

// Whether an index record's index fields hold the values of a record's: byte for byte, but in a
// case-insensitive text part letters of another case count as the same (whether the engine keeps
// them folded there is not known), and so do bytes outside ASCII that differ there.
bool sameIndexValues(const std::uint8_t* a, const std::uint8_t* b, const std::vector<KeyPart>& parts) {
    for (const KeyPart& p : parts)
        for (unsigned i = 0; i < p.length; ++i) {
            unsigned x = a[p.offset + i], y = b[p.offset + i];
            if (x == y) continue;
            if (!p.caseInsensitive) return false;
            if (x >= 0x80 || y >= 0x80) continue;
            if (x >= 'a' && x <= 'z') x -= 32;
            if (y >= 'a' && y <= 'z') y -= 32;
            if (x != y) return false;
        }
    return true;
}

bool sortsTextByByte(const Header& h) {
    if (h.sortOrderName.empty()) return h.sortOrder == 0x00;  // level 3: 'ascii'
    return equalsIgnoreCase(h.sortOrderName, "ascii") || equalsIgnoreCase(h.sortOrderName, "DBWINUS0");
}

// "Id = 7, Name = Smith" for the fields at `fields` of a record laid out like the table's
// (offsets as in the table, or as given).
std::string describeValues(const std::vector<FieldDef>& defs, const std::vector<int>& fields,
                           const std::vector<unsigned>& offsets, const std::uint8_t* record, const CodePage& codePage) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldDef& f = defs[static_cast<std::size_t>(fields[i])];
        FieldValue v;
        decodeValue(f.typeCode, record + offsets[i], f.length, f.decimals, codePage, v);
        if (!out.empty()) out += ", ";
        out += f.name + " = " + (v.isNull() ? std::string("blank") : displayValueText(v));
    }
    return out;
}

// --- the table itself -----------------------------------------------------------------------------

class MbFile {
public:
    MbFile(std::unique_ptr<ByteSource> src, std::uint32_t checksum, CheckReport& r)
        : src_(std::move(src)), checksum_(checksum), name_(src_->name()) {
        walk(r);
    }
    const std::string& name() const { return name_; }
    std::uint64_t size() const { return src_->size(); }
    // Whether a block of the file's block structure starts at this offset (when the structure
    // could be read; otherwise any offset inside the file is taken).
    bool blockStartsAt(std::uint64_t offset) const {
        if (!structureKnown_) return offset < size();
        return offset % kMbUnit == 0 && offset / kMbUnit < starts_.size() && starts_[offset / kMbUnit];
    }
    // n bytes at offset, unscrambled; false when the file ends first.
    bool read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) const {
        if (offset > size() || n > size() - offset) return false;
        if (checksum_ == 0) {
            out.resize(n);
            return src_->readAt(offset, out.data(), n) == n;
        }
        const std::uint64_t first = offset & ~std::uint64_t{255};
        const std::uint64_t last = (offset + n + 255) & ~std::uint64_t{255};
        std::vector<std::uint8_t> chunks(static_cast<std::size_t>(last - first));
        src_->readZeroFilled(first, chunks.data(), chunks.size());
        decryptBlobChunks(chunks.data(), chunks.size(), checksum_);
        out.assign(chunks.begin() + static_cast<std::ptrdiff_t>(offset - first),
                   chunks.begin() + static_cast<std::ptrdiff_t>(offset - first + n));
        return true;
    }

private:
    // The blocks from the header block on: 0 header, 2 one BLOB, 3 shared, 4 free; each gives its
    // length in 4 KB units.
    void walk(CheckReport& r) {
        const std::uint64_t total = size();
        starts_.assign(static_cast<std::size_t>((total + kMbUnit - 1) / kMbUnit), false);
        std::vector<std::uint8_t> head;
        for (std::uint64_t pos = 0; pos < total;) {
            if (!read(pos, 3, head)) {
                r.add(name_, "the block at offset " + hexText(pos) + " is cut short by the end of the file");
                return;
            }
            const std::uint8_t type = head[0];
            const std::uint16_t units = loadLE16(head.data() + 1);
            if (pos == 0 ? type != 0 : (type != 2 && type != 3 && type != 4)) {
                r.add(name_,
                      "the block at offset " + hexText(pos) + " has type " + num(type) +
                          (pos == 0 ? ", where the header block (type 0) belongs" : ", which is no BLOB block type"));
                return;
            }
            if (units == 0) {
                r.add(name_, "the block at offset " + hexText(pos) + " gives its length as 0");
                return;
            }
            if (pos + static_cast<std::uint64_t>(units) * kMbUnit > total) {
                r.add(name_, "the block at offset " + hexText(pos) + " runs past the end of the file");
                return;
            }
            starts_[static_cast<std::size_t>(pos / kMbUnit)] = true;
            pos += static_cast<std::uint64_t>(units) * kMbUnit;
        }
        structureKnown_ = true;
    }

    std::unique_ptr<ByteSource> src_;
    std::uint32_t checksum_;
    std::string name_;
    std::vector<bool> starts_;
    bool structureKnown_ = false;
};

// Checks the BLOB pointer of one field; counts in `missing` a value that is kept in a .MB when
// there is none.
void checkBlob(const FieldDef& f, const std::uint8_t* p, const MbFile* mb, std::uint64_t record,
               const std::string& tableName, std::uint64_t& missing, CheckReport& r) {
    const std::size_t leader = f.length - 10;
    const std::uint32_t pointer = loadLE32(p + leader);
    const std::uint32_t length = loadLE32(p + leader + 4);
    if (length == 0 || length <= leader) return;  // blank, or all of it in the record
    if (!mb) {
        ++missing;
        return;
    }
    const std::uint64_t offset = pointer & 0xFFFFFF00u;
    const unsigned index = pointer & 0xFFu;
    const std::string what = "record " + num(record) + ", field " + f.name + ": ";
    if (offset == 0 || !mb->blockStartsAt(offset)) {
        r.add(tableName, what + "its BLOB pointer " + hexText(pointer) + " names no block of " + mb->name());
        return;
    }
    std::vector<std::uint8_t> head;
    if (!mb->read(offset, 9, head)) {
        r.add(tableName, what + "its BLOB block at " + hexText(offset) + " is cut short by the end of " + mb->name());
        return;
    }
    const std::uint8_t type = head[0];
    const std::uint64_t units = loadLE16(head.data() + 1);
    if (type == 2) {
        const std::uint32_t stored = loadLE32(head.data() + 3);
        if (index != 0xFF)
            r.add(tableName, what + "its BLOB pointer names entry " + num(index) + " of a block that holds one BLOB");
        else if (stored != length)
            r.add(tableName, what + "the record gives the BLOB " + num(length) + " bytes but its block in " +
                                 mb->name() + " holds " + num(stored));
        else if (length + 9ull > units * kMbUnit || offset + 9 + length > mb->size())
            r.add(tableName, what + "its BLOB of " + num(length) + " bytes runs past its block in " + mb->name());
    } else if (type == 3) {
        std::vector<std::uint8_t> entry;
        if (index >= 64 || !mb->read(offset + 12 + 5ull * index, 5, entry)) {
            r.add(tableName, what + "its BLOB pointer names entry " + num(index) + " of a shared block, which has 64");
            return;
        }
        const std::uint32_t start = entry[0] * 16u;
        const std::uint32_t chunks = entry[1];
        const std::uint32_t lastBytes = entry[4];
        if (start == 0)
            r.add(tableName, what + "its BLOB pointer names entry " + num(index) + " of the shared block at " +
                                 hexText(offset) + " in " + mb->name() + ", which is unused");
        else if (chunks == 0 || lastBytes == 0 || lastBytes > 16 || (chunks - 1) * 16 + lastBytes != length)
            r.add(tableName, what + "the record gives the BLOB " + num(length) + " bytes but its entry in " +
                                 mb->name() + " gives " + num(chunks) + " chunks ending with " + num(lastBytes) +
                                 " bytes");
        else if (start + length > kMbUnit)
            r.add(tableName, what + "its BLOB runs past the end of its shared block in " + mb->name());
    } else {
        r.add(tableName, what + "its BLOB pointer names a block of type " + num(type) + " in " + mb->name() +
                             ", which holds no BLOB");
    }
}

// --- trees (.PX over the table, .Ynn/.YGn over an index record file) ------------------------------

class TreeCheck {
public:
    // `firstKeys`: the first keyLength bytes of the first record of every data block (by chain
    // position; empty for empty blocks).
    TreeCheck(const BlockFile& tree, const std::string& dataName, const Chain& data,
              const std::vector<std::vector<std::uint8_t>>& firstKeys, unsigned keyLength, CheckReport& r)
        : tree_(tree), dataName_(dataName), data_(data), firstKeys_(firstKeys), keyLength_(keyLength), r_(r) {
        for (std::size_t pos = 0; pos < data.blocks.size(); ++pos)
            if (data.blocks[pos].records != 0) expected_.push_back(pos);
    }

    void run() {
        const Header& h = tree_.header;
        if (h.indexLevels == 0) {
            if (!expected_.empty())
                r_.add(tree_.name, "the index has no levels but " + dataName_ + " holds " + num(expected_.size()) +
                                       " blocks of records");
            return;
        }
        if (h.indexLevels > kMaxTreeLevels) {
            r_.add(tree_.name, "the header gives the index " + num(h.indexLevels) + " levels");
            return;
        }
        visited_.assign(65536, false);
        Summary s;
        visit(h.indexRoot, h.indexLevels, s);
        if (next_ < expected_.size())
            r_.add(tree_.name, "its entries reach " + num(next_) + " of the " + num(expected_.size()) + " blocks of " +
                                   dataName_ + "; the blocks from block " + num(data_.blocks[expected_[next_]].number) +
                                   " on have no entry");
    }

private:
    struct Summary {
        std::vector<std::uint8_t> firstKey;
        std::uint64_t records = 0;
        bool ok = false;
    };

    void visit(std::uint16_t blk, int level, Summary& out) {
        const Header& h = tree_.header;
        if (blk == 0 || blk > h.fileBlocks || tree_.blockOffset(blk) >= tree_.src->size()) {
            r_.add(tree_.name, "an index entry names block " + num(blk) + ", which the file does not hold");
            return;
        }
        if (visited_[blk]) {
            r_.add(tree_.name, "index block " + num(blk) + " is reached twice from the root");
            return;
        }
        visited_[blk] = true;
        std::vector<std::uint8_t> block;
        tree_.read(blk, block);
        const auto last = static_cast<std::int16_t>(loadLE16(block.data() + 4));
        const std::size_t capacity = (h.blockSize() - kBlockHead) / h.recordSize;
        if (last < 0 || last % h.recordSize != 0 || static_cast<std::size_t>(last) / h.recordSize + 1 > capacity) {
            r_.add(tree_.name, "index block " + num(blk) + " holds no valid entry count");
            return;
        }
        const std::size_t entries = static_cast<std::size_t>(last) / h.recordSize + 1;
        for (std::size_t e = 0; e < entries; ++e) {
            const std::uint8_t* entry = block.data() + kBlockHead + e * h.recordSize;
            const std::uint16_t child = flippedWord(entry + keyLength_);
            const std::uint16_t count = flippedWord(entry + keyLength_ + 2);
            const std::string at = "entry " + num(e + 1) + " of index block " + num(blk);
            std::vector<std::uint8_t> key(entry, entry + keyLength_);
            std::uint64_t below = 0;
            if (level == 1) {
                if (next_ >= expected_.size()) {
                    r_.add(tree_.name, at + " names block " + num(child) + " of " + dataName_ +
                                           ", past the last block of records in its chain");
                    continue;
                }
                const std::size_t pos = expected_[next_++];
                const ChainBlock& b = data_.blocks[pos];
                if (child != b.number) {
                    r_.add(tree_.name, at + " names block " + num(child) + " of " + dataName_ +
                                           " where the chain has block " + num(b.number));
                } else if (key != firstKeys_[pos]) {
                    r_.add(tree_.name, at + " holds another key than the first record of block " + num(b.number) +
                                           " of " + dataName_);
                }
                below = b.records;
                if (count != b.records)
                    r_.add(tree_.name, at + " counts " + num(count) + " records for block " + num(child) + " of " +
                                           dataName_ + ", which holds " + num(b.records));
            } else {
                Summary s;
                visit(child, level - 1, s);
                if (!s.ok) continue;
                if (key != s.firstKey)
                    r_.add(tree_.name,
                           at + " holds another key than the first entry of index block " + num(child) + " below it");
                // A count above 32 767 does not fit the word; what the engine keeps then is not known.
                if (count != s.records && s.records <= 0x7FFF)
                    r_.add(tree_.name,
                           at + " counts " + num(count) + " records but the entries below it count " + num(s.records));
                below = s.records;
            }
            if (!out.ok) {
                out.firstKey = std::move(key);
                out.ok = true;
            }
            out.records += below;
        }
    }

    const BlockFile& tree_;
    const std::string& dataName_;
    const Chain& data_;
    const std::vector<std::vector<std::uint8_t>>& firstKeys_;
    unsigned keyLength_;
    CheckReport& r_;
    std::vector<std::size_t> expected_;  // chain positions of the blocks that hold records
    std::size_t next_ = 0;
    std::vector<bool> visited_;
};

// Opens a companion; null when it is not there. A companion that is there but cannot be opened
// is reported.
std::unique_ptr<ByteSource> openCompanion(const FileFamily& family, const std::string& extension,
                                          const std::string& tableName, CheckReport& r) {
    try {
        return family.open(extension);
    } catch (const EDBEngineError& e) {
        r.add(tableName, std::string("its companion ") + extension + " cannot be opened: " + e.what());
        return nullptr;
    }
}

// Reads a tree's header and checks it against the data file it is over: its key fields are
// the data file's first `keyFields` fields.
bool openTree(const ByteSource& src, const Header& data, std::size_t keyFields, std::uint8_t fileType,
              unsigned keyLength, BlockFile& out, CheckReport& r) {
    out.src = &src;
    out.name = src.name();
    try {
        out.header = readHeader(src);
    } catch (const EDBEngineError& e) {
        r.add(out.name, std::string("the header cannot be read: ") + e.what());
        return false;
    }
    const Header& h = out.header;
    std::string problem;
    if (h.fileType != fileType)
        problem = "its file type is " + num(h.fileType) + ", not " + num(fileType);
    else if (static_cast<std::size_t>(h.numFields) != keyFields)
        problem = "it has " + num(static_cast<std::uint64_t>(h.numFields)) + " key fields where " + num(keyFields) +
                  " belong";
    else if (h.recordSize != keyLength + 6)
        problem = "its entries are " + num(h.recordSize) + " bytes long where " + num(keyLength + 6) + " belong";
    else
        for (std::size_t i = 0; i < keyFields && problem.empty(); ++i)
            if (h.fields[i].type != data.fields[i].type || h.fields[i].size != data.fields[i].size)
                problem = "its key field " + num(i + 1) + " differs from the field it indexes";
    if (!problem.empty()) {
        r.add(out.name, "it does not fit the file it indexes: " + problem);
        return false;
    }
    return true;
}

// --- the family -----------------------------------------------------------------------------------

class FamilyCheck {
public:
    FamilyCheck(ParadoxTable& table, const ByteSource& bytes, CheckReport& r)
        : table_(table), h_(table.header()), defs_(table.fields()), cp_(table.codePage()), r_(r), source_(bytes) {
        db_.src = &source_;
        db_.header = h_;
        db_.name = source_.name();
        textByByte_ = sortsTextByByte(h_);
        keyFields_ = static_cast<std::size_t>(std::max<int>(0, h_.primaryKeyFields));
        for (std::size_t i = 0; i < keyFields_ && i < defs_.size(); ++i) {
            keyParts_.push_back({defs_[i].offset, defs_[i].length, defs_[i].typeCode == kAlphaType, false, false});
            keyLength_ += defs_[i].length;
            keyFieldList_.push_back(static_cast<int>(i));
            keyOffsets_.push_back(defs_[i].offset);
        }
    }

    void run() {
        chain_ = walkChain(db_, r_);
        checkRecords();
        if (keyFields_ > 0) checkPrimaryIndex();
        checkSecondaryIndexes();
        checkValidityFile();
    }

private:
    std::string recordKey(const std::uint8_t* rec) const {
        return describeValues(defs_, keyFieldList_, keyOffsets_, rec, cp_);
    }

    // One pass over the records: key order, BLOB pointers, the first key of every block.
    void checkRecords() {
        std::unique_ptr<MbFile> mb;
        bool blobs = false;
        for (const FieldDef& f : defs_) blobs = blobs || isBlob(f.typeCode);
        if (blobs)
            if (auto src = openCompanion(table_.family(), ".mb", db_.name, r_))
                mb = std::make_unique<MbFile>(std::move(src), h_.encryption, r_);

        firstKeys_.assign(chain_.blocks.size(), {});
        std::vector<std::uint8_t> previous;
        std::uint64_t number = 0, missing = 0;
        forEachRecord(db_, chain_, [&](const std::uint8_t* rec, std::size_t pos, std::uint32_t slot) {
            ++number;
            if (slot == 0) firstKeys_[pos].assign(rec, rec + keyLength_);
            if (keyFields_ > 0) {
                if (!previous.empty()) {
                    const Order o = compareKeys(previous.data(), rec, keyParts_, textByByte_);
                    if (o == Order::Same)
                        r_.add(db_.name, "records " + num(number - 1) + " and " + num(number) + " have the same key (" +
                                             recordKey(rec) + ")");
                    else if (o == Order::After)
                        r_.add(db_.name, "record " + num(number) + " (" + recordKey(rec) +
                                             ") is out of key order: it follows a record with a greater key");
                }
                previous.assign(rec, rec + keyLength_);
            }
            if (blobs)
                for (const FieldDef& f : defs_)
                    if (isBlob(f.typeCode) && f.length >= 10)
                        checkBlob(f, rec + f.offset, mb.get(), number, db_.name, missing, r_);
        });
        if (missing > 0)
            r_.add(db_.name, num(missing) + " BLOB values are kept in the table's .MB file, which is missing");
    }

    void checkPrimaryIndex() {
        std::unique_ptr<ByteSource> src = openCompanion(table_.family(), ".px", db_.name, r_);
        if (!src) {
            r_.add(db_.name, "the table is keyed but its primary index (.PX) is missing");
            return;
        }
        BlockFile px;
        if (!openTree(*src, h_, keyFields_, kPrimaryIndex, keyLength_, px, r_)) return;
        walkChain(px, r_);
        TreeCheck(px, db_.name, chain_, firstKeys_, keyLength_, r_).run();
    }

    void checkSecondaryIndexes() {
        std::vector<std::string> warnings;
        const std::vector<TIndexDef> defs = paradox::readIndexes(h_, defs_, table_.family(), cp_, warnings);
        std::vector<std::string> extensions;
        try {
            extensions = table_.family().extensions();
        } catch (const EDBEngineError& e) {
            r_.add(db_.name, std::string("its index files cannot be listed: ") + e.what());
            return;
        }
        std::vector<std::pair<IndexFileName, std::string>> seen;
        for (const std::string& ext : extensions) {
            const IndexFileName n = classifyIndexExtension(ext);
            if (n.kind == IndexFileName::Kind::None) continue;
            bool again = false;
            for (const auto& s : seen) again = again || (s.first.kind == n.kind && s.first.number == n.number);
            if (again) continue;
            seen.push_back({n, ext});
            std::unique_ptr<ByteSource> src = openCompanion(table_.family(), ext, db_.name, r_);
            if (!src) continue;
            const TIndexDef* def = nullptr;
            for (const TIndexDef& d : defs)
                if (!d.has(ixPrimary) && d.Source == src->name()) def = &d;
            if (!def) {
                // The reader left it out; its warning says why.
                const std::string prefix = "index file " + src->name() + " is left out: ";
                for (const std::string& w : warnings)
                    if (w.compare(0, prefix.size(), prefix) == 0)
                        r_.add(src->name(), "it is no index of this table: " + w.substr(prefix.size()));
                continue;
            }
            checkSecondary(*src, ext, *def);
        }
    }

    void checkSecondary(const ByteSource& src, const std::string& ext, const TIndexDef& def) {
        BlockFile x;
        x.src = &src;
        x.name = src.name();
        x.header = readHeader(src);  // read once already by the index reader
        const Header& xh = x.header;
        const Chain xChain = walkChain(x, r_);

        // The parts of an index record in index order.
        const std::size_t m = def.fieldIndexes.size();
        bool anyDescendingBit = false;
        for (std::size_t i = 0; i < m && i < xh.fieldNumbers.size(); ++i)
            anyDescendingBit = anyDescendingBit || (xh.fieldNumbers[i] & kDescendingBit);
        std::vector<KeyPart> parts, indexParts;
        std::vector<unsigned> indexOffsets;
        unsigned at = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const FieldDef& f = defs_[static_cast<std::size_t>(def.fieldIndexes[i])];
            const bool text = f.typeCode == kAlphaType;
            bool descending = i < xh.fieldNumbers.size() && (xh.fieldNumbers[i] & kDescendingBit);
            if (!anyDescendingBit && xh.versionByte >= 0x05 && (xh.indexOptions & kOptionDescending)) descending = true;
            parts.push_back({at, f.length, text, text && def.has(ixCaseInsensitive), descending});
            indexOffsets.push_back(at);
            at += f.length;
        }
        indexParts = parts;
        const unsigned indexLength = at;
        const bool keyed = keyFields_ > 0;
        std::vector<unsigned> keyOffsetsInIndex;
        for (std::size_t k = 0; keyed && k < keyFields_; ++k) {
            parts.push_back({at, defs_[k].length, defs_[k].typeCode == kAlphaType, false, false});
            keyOffsetsInIndex.push_back(at);
            at += defs_[k].length;
        }
        const unsigned recordSize = xh.recordSize;
        const unsigned treeKey = recordSize >= 2 ? recordSize - 2 : 0;
        const bool compare = keyed && !def.has(ixNonMaintained);

        std::vector<std::vector<std::uint8_t>> firstKeys(xChain.blocks.size());
        std::unordered_map<std::string, std::string> entries;  // table key -> index fields and Blk Num
        std::vector<std::uint8_t> previous;
        std::uint64_t number = 0;
        forEachRecord(x, xChain, [&](const std::uint8_t* rec, std::size_t pos, std::uint32_t slot) {
            ++number;
            if (slot == 0) firstKeys[pos].assign(rec, rec + treeKey);
            if (!previous.empty()) {
                const Order o = compareKeys(previous.data(), rec, parts, textByByte_);
                if (o == Order::After)
                    r_.add(x.name, "entry " + num(number) + " (" +
                                       describeValues(defs_, def.fieldIndexes, indexOffsets, rec, cp_) +
                                       ") is out of index order");
                else if (def.has(ixUnique) && compareKeys(previous.data(), rec, indexParts, textByByte_) == Order::Same)
                    r_.add(x.name, "entries " + num(number - 1) + " and " + num(number) +
                                       " of the unique index share " +
                                       describeValues(defs_, def.fieldIndexes, indexOffsets, rec, cp_));
                else if (o == Order::Same && keyed)
                    r_.add(x.name, "entries " + num(number - 1) + " and " + num(number) + " are the same");
            }
            previous.assign(rec, rec + recordSize);
            if (compare) {
                std::string key(reinterpret_cast<const char*>(rec + indexLength), keyLength_);
                std::string value(reinterpret_cast<const char*>(rec), indexLength);
                value.append(reinterpret_cast<const char*>(rec + indexLength + keyLength_), 2);
                if (!entries.emplace(std::move(key), std::move(value)).second)
                    r_.add(x.name, "it holds two entries for the record with key " +
                                       describeValues(defs_, keyFieldList_, keyOffsetsInIndex, rec, cp_));
            }
        });

        if (compare) {
            std::uint64_t record = 0;
            std::string indexBytes;
            forEachRecord(db_, chain_, [&](const std::uint8_t* rec, std::size_t, std::uint32_t) {
                ++record;
                const auto it = entries.find(std::string(reinterpret_cast<const char*>(rec), keyLength_));
                if (it == entries.end()) {
                    r_.add(x.name,
                           "record " + num(record) + " of " + db_.name + " (key " + recordKey(rec) + ") has no entry");
                    return;
                }
                indexBytes.clear();
                for (int fi : def.fieldIndexes) {
                    const FieldDef& f = defs_[static_cast<std::size_t>(fi)];
                    indexBytes.append(reinterpret_cast<const char*>(rec + f.offset), f.length);
                }
                const std::string& stored = it->second;
                if (!sameIndexValues(reinterpret_cast<const std::uint8_t*>(stored.data()),
                                     reinterpret_cast<const std::uint8_t*>(indexBytes.data()), indexParts))
                    r_.add(x.name, "the entry of record " + num(record) + " (key " + recordKey(rec) + ") holds " +
                                       describeValues(defs_, def.fieldIndexes, indexOffsets,
                                                      reinterpret_cast<const std::uint8_t*>(stored.data()), cp_) +
                                       " where the record holds " +
                                       describeValues(defs_, def.fieldIndexes, indexOffsets,
                                                      reinterpret_cast<const std::uint8_t*>(indexBytes.data()), cp_));
                const std::uint16_t blk =
                    flippedWord(reinterpret_cast<const std::uint8_t*>(stored.data()) + indexLength);
                // Where to look first: it may lag behind records that moved to another block,
                // but it names a block of the table.
                if (blk == 0 || blk > h_.fileBlocks)
                    r_.add(x.name, "the entry of record " + num(record) + " (key " + recordKey(rec) + ") names block " +
                                       num(blk) + " of " + db_.name + ", which has " + num(h_.fileBlocks) + " blocks");
                entries.erase(it);
            });
            if (!entries.empty())
                r_.add(x.name,
                       "it holds " + num(entries.size()) + " entries for keys that no record of " + db_.name + " has");
        }

        // The tree over the index records.
        std::string yExt = ext;
        yExt[1] = yExt[1] == 'x' ? 'y' : 'Y';
        std::unique_ptr<ByteSource> ySrc = openCompanion(table_.family(), yExt, db_.name, r_);
        if (!ySrc) {
            r_.add(x.name, "the tree over this index (" + yExt + ") is missing");
            return;
        }
        const bool composite = xh.fileType == kCompositeIndexMaintained || xh.fileType == kCompositeIndexNonMaintained;
        BlockFile y;
        if (!openTree(*ySrc, xh, static_cast<std::size_t>(xh.numFields) - 1,
                      composite ? kCompositeIndexTree : kSecondaryIndexTree, treeKey, y, r_))
            return;
        walkChain(y, r_);
        TreeCheck(y, x.name, xChain, firstKeys, treeKey, r_).run();
    }

    void checkValidityFile() {
        std::unique_ptr<ByteSource> src = openCompanion(table_.family(), ".val", db_.name, r_);
        if (!src) return;
        std::vector<std::string> warnings;
        readValidityChecks(h_, defs_, table_.family(), cp_, warnings);
        const std::string name = src->name();
        for (std::string w : warnings) {
            for (const char* verdict : {"stale", "damaged"}) {
                const std::string prefix = "validity checks in " + name + " are " + verdict + " and ignored: ";
                if (w.compare(0, prefix.size(), prefix) == 0)
                    w = std::string("the validity checks are ") + verdict + ": " + w.substr(prefix.size());
            }
            r_.add(name, w);
        }
    }

    ParadoxTable& table_;
    const Header& h_;
    const std::vector<FieldDef>& defs_;
    const CodePage& cp_;
    CheckReport& r_;
    const ByteSource& source_;
    BlockFile db_;
    bool textByByte_ = true;
    std::size_t keyFields_ = 0;
    unsigned keyLength_ = 0;
    std::vector<KeyPart> keyParts_;
    std::vector<int> keyFieldList_;
    std::vector<unsigned> keyOffsets_;
    Chain chain_;
    std::vector<std::vector<std::uint8_t>> firstKeys_;
};

}  // namespace

void checkFamily(ParadoxTable& table, const ByteSource& tableBytes, CheckReport& report) {
    FamilyCheck(table, tableBytes, report).run();
}

}  // namespace tavrinth::paradox
