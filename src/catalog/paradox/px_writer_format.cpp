// Headers, data blocks and B-trees of the files a new Paradox table family consists of.

#include <algorithm>
#include <cstring>

#include "../byte_order.h"
#include "../file_io.h"
#include "px_crypt.h"
#include "px_values.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox::writer {

namespace {

constexpr std::size_t kFixedPart = 0x58;
constexpr std::size_t kExtendedPart = 0x78;
// Counts in index entries are flipped 16-bit values; a count above this would read as negative
// to an engine that takes them as signed, so no entry ever counts more records.
constexpr std::uint32_t kMaxEntryCount = 32767;

// Block numbers and counts in index records and in "Blk Num": a 16-bit value with the top bit
// flipped, big-endian, as a Short field stores it (the engine treats it as unsigned).
void storeFlippedWord(std::uint8_t* p, std::uint32_t v) { storeBE16(p, static_cast<std::uint16_t>((v & 0xFFFFu) ^ 0x8000u)); }

}  // namespace

std::string Layout::fileName(const std::string& extensionWithoutDot) const {
    return stem + "." + (upperCaseExtensions ? toUpperAscii(extensionWithoutDot) : toLowerAscii(extensionWithoutDot));
}

std::string Layout::storedName(const std::string& name) const {
    std::string bytes;
    if (!codePage->encode(name, bytes) || bytes.find('\0') != std::string::npos)
        refuse("Cannot create " + path + ": the file name " + name + " cannot be written in code page " +
               codePage->name());
    if (bytes.size() >= tableNameSize())
        refuse("Cannot create " + path + ": the file name " + name + " is longer than the " +
               std::to_string(tableNameSize() - 1) + " bytes a level " + std::to_string(level) +
               " header holds");
    return bytes;
}

bool isDataFileType(std::uint8_t fileType) {
    switch (fileType) {
        case kKeyedTable: case kUnkeyedTable: case kSecondaryIndexNonMaintained: case kSecondaryIndexMaintained:
        case kCompositeIndexNonMaintained: case kCompositeIndexMaintained:
            return true;
        default:
            return false;
    }
}

std::vector<std::uint8_t> buildHeader(const Layout& layout, const HeaderSpec& s) {
    const bool data = isDataFileType(s.fileType);
    const bool table = s.fileType == kKeyedTable || s.fileType == kUnkeyedTable;
    const std::size_t n = s.descriptors.size();
    const std::size_t tableNameSize = layout.tableNameSize();
    const std::string sortName = layout.sortOrder->name;

    // Where the variable part's items start.
    const std::size_t descriptorsAt = data ? kExtendedPart : kFixedPart;
    const std::size_t tableNameAt = descriptorsAt + 2 * n + 4 + (data ? 4 * n : 0);
    std::size_t end = tableNameAt + tableNameSize;
    std::size_t namesAt = end, numbersAt = 0, sortNameAt = 0, indexNameAt = 0;
    if (data) {
        for (const std::string& name : s.names) end += name.size() + 1;
        numbersAt = end;
        end += 2 * n;
        sortNameAt = end;
        end += sortName.size() + 1;
        if (s.hasIndexName) {
            indexNameAt = end;
            end += s.indexName.size() + 1;
        }
    }
    const std::size_t headerSize = (end + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit;
    if (headerSize > 0xF800)
        refuse("Cannot create " + layout.path + ": the header of " + s.tableName + " would take " +
               std::to_string(end) + " bytes, more than a Paradox header holds");

    std::vector<std::uint8_t> h(headerSize, 0);
    std::uint8_t* p = h.data();
    storeLE16(p + 0x00, s.recordSize);
    storeLE16(p + 0x02, static_cast<std::uint16_t>(headerSize));
    p[0x04] = s.fileType;
    p[0x05] = s.blockKB;
    storeLE32(p + 0x06, s.numRecords);
    storeLE16(p + 0x0A, s.blocks);  // blocks in use: every block of a new file
    storeLE16(p + 0x0C, s.blocks);
    storeLE16(p + 0x0E, s.blocks ? 1 : 0);
    storeLE16(p + 0x10, s.blocks);
    p[0x15] = s.indexFieldNumber;
    storeLE16(p + 0x1E, s.indexRoot);
    p[0x20] = s.indexLevels;
    storeLE16(p + 0x21, static_cast<std::uint16_t>(n));
    storeLE16(p + 0x23, static_cast<std::uint16_t>(s.primaryKeyFields));
    // Files with the extension keep their checksum at 0x5C and this marker here; index trees keep
    // theirs here.
    storeLE32(p + 0x25, data ? 0xFF00FF00u : layout.checksum);
    p[0x29] = layout.sortOrder->byte;
    p[0x2C] = s.byte2C;
    p[0x2D] = s.changeCount1;
    p[0x2E] = s.changeCount2;
    p[0x39] = layout.versionByte;
    storeLE16(p + 0x3A, s.blocks);  // maxBlocks: equals the file's blocks in every engine file
    // 0x3E: 1F 0F in the data files the engine writes, 00 00 in index trees and in encrypted tables.
    if (data && layout.checksum == 0) storeLE16(p + 0x3E, 0x0F1F);
    storeLE32(p + 0x49, s.autoIncrement);
    storeLE16(p + 0x51, static_cast<std::uint16_t>(end));
    p[0x55] = s.optionByte;
    if (data) p[0x56] = 0x20;

    if (data) {
        const std::uint16_t fileVersion = static_cast<std::uint16_t>(0x0100 | layout.versionByte);
        storeLE16(p + 0x58, fileVersion);
        storeLE16(p + 0x5A, fileVersion);
        storeLE32(p + 0x5C, layout.checksum);
        storeLE32(p + 0x60, layout.updateTime);
        storeLE16(p + 0x64, static_cast<std::uint16_t>(n + 1));
        storeLE16(p + 0x66, static_cast<std::uint16_t>(numbersAt - kFixedPart));
        if (s.hasIndexName) storeLE16(p + 0x68, static_cast<std::uint16_t>(indexNameAt - kFixedPart));
        storeLE16(p + 0x6A, static_cast<std::uint16_t>(layout.sortOrder->codePage));
        p[0x6C] = 1;
        p[0x6D] = 1;
        storeLE16(p + 0x6E, static_cast<std::uint16_t>(sortNameAt - kFixedPart));
        // changeCount4: 1 in most tables the engine wrote, 0 in every secondary index file.
        if (table) storeLE16(p + 0x70, 1);
    }

    for (std::size_t i = 0; i < n; ++i) {
        p[descriptorsAt + 2 * i] = s.descriptors[i].type;
        p[descriptorsAt + 2 * i + 1] = s.descriptors[i].size;
    }
    // The table-name pointer and the field-name pointers are addresses in the engine's memory:
    // left zero.
    std::memcpy(p + tableNameAt, s.tableName.data(), std::min(s.tableName.size(), tableNameSize - 1));
    if (data) {
        std::size_t pos = namesAt;
        for (const std::string& name : s.names) {
            std::memcpy(p + pos, name.data(), name.size());
            pos += name.size() + 1;
        }
        for (std::size_t i = 0; i < n; ++i) storeLE16(p + numbersAt + 2 * i, s.fieldNumbers[i]);
        std::memcpy(p + sortNameAt, sortName.data(), sortName.size());
        if (s.hasIndexName) std::memcpy(p + indexNameAt, s.indexName.data(), s.indexName.size());
    }
    return h;
}

BlockFile packBlocks(const std::vector<std::uint8_t>& records, unsigned recordSize, unsigned blockSize,
                     unsigned perBlock, const std::string& what, const std::string& action) {
    BlockFile out;
    const std::size_t count = recordSize ? records.size() / recordSize : 0;
    if (count == 0) return out;
    const std::size_t blocks = (count + perBlock - 1) / perBlock;
    if (blocks > 0xFFFF)
        refuse("Cannot " + action + " " + what + ": its " + std::to_string(count) + " records need " + std::to_string(blocks) +
               " blocks, more than the 65535 a Paradox file can number; choose a larger block size");
    out.blocks.assign(blocks * blockSize, 0);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t first = b * perBlock;
        const std::size_t n = std::min<std::size_t>(perBlock, count - first);
        std::uint8_t* block = out.blocks.data() + b * blockSize;
        storeLE16(block + 0, static_cast<std::uint16_t>(b + 1 < blocks ? b + 2 : 0));  // next
        storeLE16(block + 2, static_cast<std::uint16_t>(b));                          // previous
        storeLE16(block + 4, static_cast<std::uint16_t>((n - 1) * recordSize));       // last record's offset
        std::memcpy(block + kBlockHeader, records.data() + first * recordSize, n * recordSize);
        out.firstRecord.push_back(static_cast<std::uint32_t>(first));
        out.counts.push_back(static_cast<std::uint32_t>(n));
    }
    return out;
}

std::uint8_t indexBlockKB(unsigned keyLength, std::uint8_t maxBlockKB) {
    for (unsigned kb = kIndexBlockKB; kb <= maxBlockKB; kb *= 2) {
        const unsigned capacity = (kb * 1024 - kBlockHeader) / (keyLength + 6);
        // The engine leaves one slot of every index block free; a tree needs two entries a block.
        if (capacity >= 3) return static_cast<std::uint8_t>(kb);
    }
    return 0;
}

IndexTree buildTree(const std::vector<IndexEntry>& level1, unsigned keyLength, std::uint8_t maxBlockKB,
                    const std::string& what, std::uint8_t blockKB, const std::string& action) {
    IndexTree tree;
    const std::string cannot = "Cannot " + action + " " + what + ": ";
    if (blockKB != 0) {
        if (blockKB > 32 || (blockKB * 1024u - kBlockHeader) / (keyLength + 6) < 3)
            refuse(cannot + "its blocks of " + std::to_string(blockKB) + " KB do not hold the entries of a key of " +
                   std::to_string(keyLength) + " bytes");
        tree.blockKB = blockKB;
    } else {
        tree.blockKB = indexBlockKB(keyLength, maxBlockKB);
    }
    if (tree.blockKB == 0)
        refuse(cannot + "its key of " + std::to_string(keyLength) + " bytes is too long for an index block");
    const unsigned recordSize = keyLength + 6;
    const unsigned blockSize = tree.blockKB * 1024u;
    // As the engine fills index blocks it builds in one go: all slots but one.
    const unsigned perBlock = (blockSize - kBlockHeader) / recordSize - 1;
    if (level1.empty()) {
        // An empty tree: no block, the root named 1 and no level (as the engine leaves it).
        tree.root = 1;
        return tree;
    }

    std::vector<std::vector<IndexEntry>> blocks;  // in block-number order
    std::vector<IndexEntry> level = level1;
    for (;;) {
        ++tree.levels;
        if (level.size() <= perBlock) {
            blocks.push_back(level);
            tree.root = static_cast<std::uint16_t>(blocks.size());
            break;
        }
        std::vector<IndexEntry> above;
        std::size_t i = 0;
        while (i < level.size()) {
            std::vector<IndexEntry> group;
            std::uint32_t sum = 0;
            while (i < level.size() && group.size() < perBlock &&
                   (group.empty() || sum + level[i].count <= kMaxEntryCount)) {
                sum += level[i].count;
                group.push_back(level[i++]);
            }
            blocks.push_back(group);
            if (blocks.size() > 0xFFFF) refuse(cannot + "the index needs more than 65535 blocks");
            above.push_back({group.front().key, static_cast<std::uint16_t>(blocks.size()), sum});
        }
        if (above.size() == level.size())
            refuse(cannot + "the table holds too many records for its index");
        level = std::move(above);
    }

    tree.file.blocks.assign(blocks.size() * blockSize, 0);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        std::uint8_t* block = tree.file.blocks.data() + b * blockSize;
        const auto& entries = blocks[b];
        // All blocks of the file form one chain in block order (the engine chains every index
        // block, whatever its level).
        storeLE16(block + 0, static_cast<std::uint16_t>(b + 1 < blocks.size() ? b + 2 : 0));
        storeLE16(block + 2, static_cast<std::uint16_t>(b));
        storeLE16(block + 4, static_cast<std::uint16_t>((entries.size() - 1) * recordSize));
        std::uint8_t* r = block + kBlockHeader;
        for (const IndexEntry& e : entries) {
            std::memcpy(r, e.key.data(), keyLength);
            storeFlippedWord(r + keyLength, e.child);
            storeFlippedWord(r + keyLength + 2, e.count);
            storeFlippedWord(r + keyLength + 4, 0);
            r += recordSize;
        }
        tree.entries += static_cast<std::uint32_t>(entries.size());
        tree.file.firstRecord.push_back(0);
        tree.file.counts.push_back(static_cast<std::uint32_t>(entries.size()));
    }
    return tree;
}

OutputFile assemble(const std::string& name, const std::vector<std::uint8_t>& header, BlockFile blocks,
                    unsigned blockSize, std::uint32_t checksum) {
    OutputFile out;
    out.name = name;
    if (checksum != 0)
        for (std::size_t b = 0; b < blocks.counts.size(); ++b)
            encryptBlock(blocks.blocks.data() + b * blockSize, blockSize, checksum, static_cast<std::uint32_t>(b + 1));
    out.bytes.reserve(header.size() + blocks.blocks.size());
    out.bytes = header;
    out.bytes.insert(out.bytes.end(), blocks.blocks.begin(), blocks.blocks.end());
    return out;
}

int compareBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return n == 0 ? 0 : std::memcmp(a, b, n);
}

int compareKeys(const std::uint8_t* a, const std::uint8_t* b, const std::vector<KeyPart>& parts) {
    for (const KeyPart& part : parts) {
        int c = 0;
        const std::uint8_t* x = a + part.offset;
        const std::uint8_t* y = b + part.offset;
        if (part.caseInsensitive) {
            for (unsigned i = 0; i < part.length && c == 0; ++i) {
                const unsigned cx = x[i] >= 'a' && x[i] <= 'z' ? x[i] - 32u : x[i];
                const unsigned cy = y[i] >= 'a' && y[i] <= 'z' ? y[i] - 32u : y[i];
                c = cx < cy ? -1 : cx > cy ? 1 : 0;
            }
        } else {
            c = compareBytes(x, y, part.length);
        }
        if (c != 0) return part.descending ? -c : c;
    }
    return 0;
}

std::string describeKey(const Layout& layout, const std::uint8_t* record, const std::vector<int>& fields) {
    std::string out;
    for (int i : fields) {
        const Field& f = layout.fields[static_cast<std::size_t>(i)];
        FieldValue v;
        decodeValue(f.code, record + f.offset, f.length, f.decimals, *layout.codePage, v);
        if (!out.empty()) out += ", ";
        out += f.name + " = ";
        switch (v.kind) {
            case ValueKind::Null: out += "blank"; break;
            case ValueKind::String: out += "'" + v.text + "'"; break;
            case ValueKind::Integer: case ValueKind::Date: case ValueKind::Time: case ValueKind::Boolean:
                out += std::to_string(v.integer);
                break;
            case ValueKind::Float: case ValueKind::DateTime: out += std::to_string(v.real); break;
            case ValueKind::Bcd: out += v.text; break;
            default: out += "(" + std::to_string(f.length) + " bytes)"; break;
        }
    }
    return out;
}

namespace {

std::uint32_t foldCodePoint(std::uint32_t c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        // Latin Extended-A: pairs upper/lower at even/odd code points, shifted by one in
        // U+0139..U+0148 and U+0179..U+017E.
        const bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (shifted ? (c % 2 == 0) : (c % 2 == 1)) return c - 1;
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
    if (c >= 0x430 && c <= 0x44F) return c - 32;
    if (c >= 0x450 && c <= 0x45F) return c - 80;
    return c;
}

}  // namespace

std::string foldName(const std::string& s) {
    std::string out;
    std::size_t i = 0;
    auto continuation = [&](std::size_t k) {
        return k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80;
    };
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::uint32_t c = 0;
        std::size_t len = 0;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if (b >= 0xC0 && b < 0xE0 && continuation(i + 1)) {
            c = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if (b >= 0xE0 && b < 0xF0 && continuation(i + 1) && continuation(i + 2)) {
            c = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            len = 3;
        }
        if (len == 0) {
            // Outside the folded ranges (four-byte sequences) or not UTF-8: kept as it is.
            out.push_back(s[i++]);
            continue;
        }
        c = foldCodePoint(c);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        i += len;
    }
    return out;
}

}  // namespace tavrinth::paradox::writer
