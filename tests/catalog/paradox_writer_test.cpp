// Creating Paradox tables: every table written here is read back by our reader (values, field
// types, index definitions, validity checks) and checked from its bytes by the code below, which
// walks the files as the format notes describe them (block chains, index trees, the .VAL layout,
// the .MB blocks) without using the writer's code. Headers are also compared with tables the
// engine itself wrote (the corpus).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "byte_order.h"
#include "codepage.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "paradox/px_crypt.h"
#include "paradox/px_index.h"
#include "paradox/px_table.h"
#include "paradox/px_val.h"
#include "paradox/px_writer.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;

namespace {

using Bytes = std::vector<std::uint8_t>;
using test::TempDir;

// --- Values ---------------------------------------------------------------------------------------

FieldValue Null() { return {}; }
FieldValue Str(const std::string& s) { return textValue(s); }
FieldValue Int(std::int64_t i) { return integerValue(i); }
FieldValue Real(double d) { return floatValue(d); }
FieldValue Bool(bool b) { return booleanValue(b); }
FieldValue Day(int y, int m, int d) { return dateValue(y, m, d); }
FieldValue Clock(int h, int m, int s, int ms = 0) { return timeValue(h, m, s, ms); }
FieldValue Stamp(int y, int mo, int d, int h, int mi, int s, int ms = 0) { return dateTimeValue(y, mo, d, h, mi, s, ms); }
FieldValue Bcd(const std::string& text) { return bcdValue(text); }
FieldValue Bin(const std::string& bytes) { return binaryValue(bytes); }

std::string describe(const FieldValue& v) {
    switch (v.kind) {
        case ValueKind::Null: return "NULL";
        case ValueKind::String: return "'" + v.text + "'";
        case ValueKind::Bcd: return "bcd " + v.text;
        case ValueKind::Binary: return "binary of " + std::to_string(v.text.size()) + " bytes";
        case ValueKind::Float: case ValueKind::DateTime: return std::to_string(v.real);
        default: return std::to_string(v.integer) + " (kind " + std::to_string(static_cast<int>(v.kind)) + ")";
    }
}

::testing::AssertionResult sameValue(const FieldValue& want, const FieldValue& got) {
    bool same = want.kind == got.kind;
    if (same) {
        switch (want.kind) {
            case ValueKind::Null: break;
            case ValueKind::String: case ValueKind::Bcd: case ValueKind::Binary: same = want.text == got.text; break;
            case ValueKind::Float: case ValueKind::DateTime:
                same = std::memcmp(&want.real, &got.real, sizeof(double)) == 0;
                break;
            default: same = want.integer == got.integer; break;
        }
    }
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << describe(want) << ", read " << describe(got);
}

// A pseudo-random byte string (deterministic).
std::string noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string text(std::size_t n, unsigned seed) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789,.\r\n";
    std::mt19937 rng(seed);
    std::string s(n, ' ');
    for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
    return s;
}

// --- Reading back ---------------------------------------------------------------------------------

struct Table {
    std::unique_ptr<TableFile> file;
    std::vector<std::vector<FieldValue>> rows;
    paradox::ParadoxTable* px = nullptr;
};

Table readBack(const std::string& path, const std::string& password = {}) {
    Table t;
    OpenOptions options;
    if (!password.empty()) options.knownPasswords.push_back(password);
    t.file = openTableFile(path, options);
    t.px = dynamic_cast<paradox::ParadoxTable*>(t.file.get());
    for (std::uint32_t r = 0; r < t.file->recordCount(); ++r) {
        const std::uint8_t* rec = t.file->record(r);
        std::vector<FieldValue> row(t.file->fields().size());
        for (std::size_t f = 0; f < row.size(); ++f) t.file->decode(rec, f, row[f]);
        t.rows.push_back(std::move(row));
    }
    return t;
}

void expectRows(const Table& t, const std::vector<std::vector<FieldValue>>& want) {
    ASSERT_EQ(t.rows.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(t.rows[r].size(), want[r].size()) << "record " << r;
        for (std::size_t f = 0; f < want[r].size(); ++f)
            EXPECT_TRUE(sameValue(want[r][f], t.rows[r][f])) << "record " << r << ", field " << t.file->fields()[f].name;
    }
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// --- The bytes, as the format notes describe them ------------------------------------------------

unsigned fieldBytes(std::uint8_t type, std::uint8_t size) {
    switch (type) {
        case 0x02: case 0x04: case 0x14: case 0x16: return 4;
        case 0x03: return 2;
        case 0x05: case 0x06: case 0x15: return 8;
        case 0x09: return 1;
        case 0x17: return 17;
        default: return size;
    }
}

std::uint16_t flippedWord(const std::uint8_t* p) { return static_cast<std::uint16_t>(loadBE16(p) ^ 0x8000u); }

std::string cString(const Bytes& b, std::size_t& pos) {
    std::string s;
    while (pos < b.size() && b[pos] != 0) s.push_back(static_cast<char>(b[pos++]));
    ++pos;
    return s;
}

// A file with records: a table (.DB) or a secondary index (.X): header and block chain.
struct DataFile {
    std::uint16_t recordSize = 0, headerSize = 0, blocksInUse = 0, fileBlocks = 0, firstBlock = 0, lastBlock = 0;
    std::uint8_t fileType = 0, blockKB = 0, version = 0, sortByte = 0, indexField = 0, options = 0;
    std::uint8_t changeCount2 = 0;
    std::uint32_t numRecords = 0, checksum = 0, autoInc = 0, updateTime = 0;
    int numFields = 0, keyFields = 0;
    std::uint16_t codePage = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> fields;
    std::vector<unsigned> offsets;  // of each field in the record
    std::string tableName;
    std::vector<std::string> names;
    std::vector<std::uint16_t> numbers;
    std::string sortName, indexName;
    std::vector<std::uint16_t> chain;
    std::vector<Bytes> records;             // in chain order
    std::vector<std::uint16_t> blockOf;     // the block of each record
    std::vector<std::uint32_t> blockStart;  // first record of each chain block
};

// `ours`: a file this writer made, held to everything a new file must be; the engine's files
// (after years of use) may be short at the end or carry stale counters.
void parseDataFile(const Bytes& b, DataFile& d, bool ours = true) {
    ASSERT_GE(b.size(), 0x78u);
    const std::uint8_t* p = b.data();
    d.recordSize = loadLE16(p);
    d.headerSize = loadLE16(p + 2);
    d.fileType = p[4];
    d.blockKB = p[5];
    d.numRecords = loadLE32(p + 6);
    d.blocksInUse = loadLE16(p + 0x0A);
    d.fileBlocks = loadLE16(p + 0x0C);
    d.firstBlock = loadLE16(p + 0x0E);
    d.lastBlock = loadLE16(p + 0x10);
    d.indexField = p[0x15];
    d.numFields = static_cast<std::int16_t>(loadLE16(p + 0x21));
    d.keyFields = static_cast<std::int16_t>(loadLE16(p + 0x23));
    d.sortByte = p[0x29];
    d.changeCount2 = p[0x2E];
    d.version = p[0x39];
    d.autoInc = loadLE32(p + 0x49);
    d.options = p[0x55];
    d.updateTime = loadLE32(p + 0x60);
    d.codePage = loadLE16(p + 0x6A);
    ASSERT_GE(d.version, 0x05);
    // Level 4 and later data files: 0xFF00FF00 at 0x25, the checksum at 0x5C.
    EXPECT_EQ(loadLE32(p + 0x25), 0xFF00FF00u);
    d.checksum = loadLE32(p + 0x5C);
    EXPECT_EQ(loadLE16(p + 0x58), 0x0100 | d.version);
    EXPECT_EQ(loadLE16(p + 0x5A), 0x0100 | d.version);
    ASSERT_EQ(d.headerSize % 0x800, 0u);
    ASSERT_GE(b.size(), d.headerSize);
    if (ours) {
        EXPECT_EQ(loadLE16(p + 0x64), d.numFields + 1) << "hiFieldID";
    }

    const std::size_t n = static_cast<std::size_t>(d.numFields);
    std::size_t pos = 0x78;
    unsigned total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        d.fields.emplace_back(p[pos + 2 * i], p[pos + 2 * i + 1]);
        d.offsets.push_back(total);
        total += fieldBytes(p[pos + 2 * i], p[pos + 2 * i + 1]);
    }
    EXPECT_EQ(total, d.recordSize) << "the record size is the sum of the field sizes";
    pos += 2 * n + 4 + 4 * n;
    const std::size_t tn = d.version >= 0x0C ? 261 : 79;
    {
        std::size_t q = pos;
        d.tableName = cString(b, q);
    }
    pos += tn;
    for (std::size_t i = 0; i < n; ++i) d.names.push_back(cString(b, pos));
    EXPECT_EQ(loadLE16(p + 0x66) + 0x58u, pos) << "0x66 points at the field numbers";
    for (std::size_t i = 0; i < n; ++i) d.numbers.push_back(loadLE16(p + pos + 2 * i));
    pos += 2 * n;
    EXPECT_EQ(loadLE16(p + 0x6E) + 0x58u, pos) << "0x6E points at the sort-order name";
    d.sortName = cString(b, pos);
    const bool composite = d.fileType == 6 || d.fileType == 8;
    if (composite) {
        EXPECT_EQ(loadLE16(p + 0x68) + 0x58u, pos) << "0x68 points at the index name";
        d.indexName = cString(b, pos);
    }
    EXPECT_EQ(loadLE16(p + 0x51), pos) << "realHeaderSize ends the header's strings";
    ASSERT_LE(pos, d.headerSize);

    // The block chain.
    const std::size_t blockSize = d.blockKB * 1024u;
    if (ours) {
        EXPECT_EQ(b.size(), d.headerSize + d.fileBlocks * blockSize) << "the file holds exactly its blocks";
        EXPECT_EQ(loadLE16(p + 0x4D), 0) << "no free blocks in a new file";
    }
    std::set<std::uint16_t> seen;
    std::uint16_t previous = 0;
    for (std::uint16_t blk = d.firstBlock; blk != 0;) {
        ASSERT_LE(blk, d.fileBlocks);
        ASSERT_TRUE(seen.insert(blk).second) << "the chain returns to block " << blk;
        Bytes block(blockSize, 0);  // the engine's files may end inside their last block
        const std::size_t from = d.headerSize + (blk - 1) * blockSize;
        ASSERT_LT(from, b.size());
        std::copy(b.begin() + static_cast<std::ptrdiff_t>(from),
                  b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), from + blockSize)), block.begin());
        if (d.checksum) paradox::decryptBlock(block.data(), block.size(), d.checksum, blk);
        EXPECT_EQ(loadLE16(block.data() + 2), previous) << "block " << blk << " names the block before it";
        const auto add = static_cast<std::int16_t>(loadLE16(block.data() + 4));
        ASSERT_GE(add, 0) << "an empty block in the chain";
        ASSERT_EQ(add % d.recordSize, 0);
        const unsigned count = static_cast<unsigned>(add) / d.recordSize + 1;
        ASSERT_LE(6 + count * d.recordSize, blockSize);
        d.chain.push_back(blk);
        d.blockStart.push_back(static_cast<std::uint32_t>(d.records.size()));
        for (unsigned r = 0; r < count; ++r) {
            d.records.emplace_back(block.begin() + 6 + r * d.recordSize, block.begin() + 6 + (r + 1) * d.recordSize);
            d.blockOf.push_back(blk);
        }
        previous = blk;
        blk = loadLE16(block.data());
    }
    EXPECT_EQ(d.records.size(), d.numRecords) << "the chain holds the header's record count";
    EXPECT_EQ(d.chain.size(), d.blocksInUse);
    if (ours) {
        EXPECT_EQ(d.blocksInUse, d.fileBlocks);
    }
    EXPECT_EQ(d.lastBlock, d.chain.empty() ? 0 : d.chain.back());
    EXPECT_EQ(d.firstBlock, d.chain.empty() ? 0 : 1);
}

// An index tree (.PX, .Y): walked from its root; the level-1 entries in order.
struct Tree {
    std::uint8_t fileType = 0;
    int numFields = 0, levels = 0;
    unsigned keyLength = 0;
    std::uint32_t checksum = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> fields;
    std::vector<Bytes> keys;  // level-1 entries
    std::vector<std::uint16_t> children;
    std::vector<std::uint32_t> counts;
    std::uint32_t rootSum = 0;
};

void parseTree(const Bytes& b, Tree& t) {
    ASSERT_GE(b.size(), 0x58u);
    const std::uint8_t* p = b.data();
    const unsigned recordSize = loadLE16(p);
    const unsigned headerSize = loadLE16(p + 2);
    t.fileType = p[4];
    const std::size_t blockSize = p[5] * 1024u;
    const std::uint32_t entries = loadLE32(p + 6);
    const unsigned fileBlocks = loadLE16(p + 0x0C);
    EXPECT_EQ(loadLE16(p + 0x0A), fileBlocks);
    const unsigned root = loadLE16(p + 0x1E);
    t.levels = p[0x20];
    t.numFields = static_cast<std::int16_t>(loadLE16(p + 0x21));
    EXPECT_EQ(loadLE16(p + 0x23), 0) << "index trees count no key fields of their own";
    t.checksum = loadLE32(p + 0x25);
    const std::size_t n = static_cast<std::size_t>(t.numFields);
    unsigned key = 0;
    for (std::size_t i = 0; i < n; ++i) {
        t.fields.emplace_back(p[0x58 + 2 * i], p[0x58 + 2 * i + 1]);
        key += fieldBytes(p[0x58 + 2 * i], p[0x58 + 2 * i + 1]);
    }
    t.keyLength = key;
    EXPECT_EQ(recordSize, key + 6) << "an index record is the key and three words";
    const std::size_t tn = p[0x39] >= 0x0C ? 261 : 79;
    EXPECT_EQ(loadLE16(p + 0x51), 0x58 + 2 * n + 4 + tn) << "realHeaderSize of an index tree";
    ASSERT_EQ(b.size(), headerSize + fileBlocks * blockSize);
    if (fileBlocks == 0) {
        EXPECT_EQ(entries, 0u);
        EXPECT_EQ(t.levels, 0);
        return;
    }
    ASSERT_GE(root, 1u);
    ASSERT_LE(root, fileBlocks);

    auto block = [&](unsigned k) {
        Bytes blk(b.begin() + headerSize + (k - 1) * blockSize, b.begin() + headerSize + k * blockSize);
        if (t.checksum) paradox::decryptBlock(blk.data(), blk.size(), t.checksum, k);
        return blk;
    };
    // Every block of the file is chained; the chain holds each exactly once.
    std::set<unsigned> chained;
    unsigned previous = 0;
    for (unsigned k = loadLE16(p + 0x0E); k != 0;) {
        ASSERT_LE(k, fileBlocks);
        ASSERT_TRUE(chained.insert(k).second);
        const Bytes blk = block(k);
        EXPECT_EQ(loadLE16(blk.data() + 2), previous);
        previous = k;
        k = loadLE16(blk.data());
    }
    EXPECT_EQ(chained.size(), fileBlocks);

    std::set<unsigned> visited;
    std::uint32_t total = 0;
    // Returns the entries' count sum of block k at `level` and its first key.
    std::function<void(unsigned, int, std::uint32_t&, Bytes&)> walk = [&](unsigned k, int level, std::uint32_t& sum,
                                                                          Bytes& firstKey) {
        ASSERT_TRUE(visited.insert(k).second) << "block " << k << " is reached twice";
        const Bytes blk = block(k);
        const auto add = static_cast<std::int16_t>(loadLE16(blk.data() + 4));
        ASSERT_GE(add, 0);
        const unsigned count = static_cast<unsigned>(add) / recordSize + 1;
        // The engine leaves one slot of an index block free.
        EXPECT_LT(6 + count * recordSize + recordSize, blockSize + 1);
        sum = 0;
        for (unsigned e = 0; e < count; ++e) {
            const std::uint8_t* r = blk.data() + 6 + e * recordSize;
            Bytes entryKey(r, r + key);
            const std::uint16_t child = flippedWord(r + key);
            const std::uint16_t entryCount = flippedWord(r + key + 2);
            EXPECT_EQ(flippedWord(r + key + 4), 0);
            EXPECT_LE(entryCount, 32767);
            if (e == 0) firstKey = entryKey;
            ++total;
            if (level == 1) {
                t.keys.push_back(entryKey);
                t.children.push_back(child);
                t.counts.push_back(entryCount);
            } else {
                std::uint32_t childSum = 0;
                Bytes childKey;
                ASSERT_NO_FATAL_FAILURE(walk(child, level - 1, childSum, childKey));
                EXPECT_EQ(childSum, entryCount) << "an entry counts the records under it";
                EXPECT_EQ(childKey, entryKey) << "an entry holds the first key of its block";
            }
            sum += entryCount;
        }
    };
    Bytes rootKey;
    ASSERT_NO_FATAL_FAILURE(walk(root, t.levels, t.rootSum, rootKey));
    EXPECT_EQ(visited.size(), fileBlocks) << "every block belongs to the tree";
    EXPECT_EQ(total, entries) << "the header counts every entry";
}

// The level-1 entries of a tree point at the blocks of `data` in chain order, hold the first key
// of each and count its records; the root counts every record.
void checkTreeOver(const Tree& t, const DataFile& data) {
    EXPECT_EQ(t.rootSum, data.numRecords);
    ASSERT_EQ(t.keys.size(), data.chain.size());
    for (std::size_t i = 0; i < t.keys.size(); ++i) {
        EXPECT_EQ(t.children[i], data.chain[i]);
        const std::uint32_t count =
            (i + 1 < data.blockStart.size() ? data.blockStart[i + 1] : data.numRecords) - data.blockStart[i];
        EXPECT_EQ(t.counts[i], count);
        const Bytes& first = data.records[data.blockStart[i]];
        EXPECT_TRUE(std::equal(t.keys[i].begin(), t.keys[i].end(), first.begin())) << "entry " << i;
    }
}

// Records of a keyed table ascend strictly by their key bytes (the stored encoding sorts like the
// values).
void checkKeyOrder(const DataFile& d) {
    unsigned keyLength = 0;
    for (int i = 0; i < d.keyFields; ++i) keyLength += fieldBytes(d.fields[i].first, d.fields[i].second);
    for (std::size_t r = 1; r < d.records.size(); ++r)
        EXPECT_LT(std::memcmp(d.records[r - 1].data(), d.records[r].data(), keyLength), 0) << "record " << r;
}

struct IndexOptions {
    bool caseInsensitive = false, descending = false;
};

int compareIndexRecords(const Bytes& a, const Bytes& b, const DataFile& x, std::size_t indexFields,
                        const IndexOptions& o) {
    for (std::size_t f = 0; f < indexFields; ++f) {
        const unsigned at = x.offsets[f];
        const unsigned len = fieldBytes(x.fields[f].first, x.fields[f].second);
        int c = 0;
        for (unsigned k = 0; k < len && c == 0; ++k) {
            int ca = a[at + k], cb = b[at + k];
            if (o.caseInsensitive && x.fields[f].first == 0x01) {
                if (ca >= 'a' && ca <= 'z') ca -= 32;
                if (cb >= 'a' && cb <= 'z') cb -= 32;
            }
            c = ca - cb;
        }
        if (c != 0) return o.descending ? -c : c;
    }
    const unsigned rest = indexFields < x.offsets.size() ? x.offsets[indexFields] : 0;
    return std::memcmp(a.data() + rest, b.data() + rest, a.size() - rest);
}

// A secondary index of a keyed table: its records are the table's, sorted as the index asks, and
// each names the block that holds its record.
void checkSecondary(const DataFile& x, const Tree& y, const DataFile& table, const std::vector<int>& fields,
                    const IndexOptions& o) {
    const std::size_t m = fields.size();
    ASSERT_EQ(static_cast<std::size_t>(x.numFields), m + static_cast<std::size_t>(table.keyFields) + 1);
    EXPECT_EQ(x.keyFields, static_cast<int>(m) + table.keyFields);
    EXPECT_EQ(x.indexField, fields[0] + 1);
    for (std::size_t i = 0; i < m; ++i) {
        EXPECT_EQ(x.numbers[i] & 0x7FFF, fields[i] + 1);
        EXPECT_EQ((x.numbers[i] & 0x8000) != 0, o.descending);
        EXPECT_EQ(x.fields[i], table.fields[static_cast<std::size_t>(fields[i])]);
        EXPECT_EQ(x.names[i], table.names[static_cast<std::size_t>(fields[i])]);
    }
    for (std::size_t i = m; i < x.numbers.size(); ++i) EXPECT_EQ(x.numbers[i], i + 1);
    EXPECT_EQ(x.names.back(), "Blk Num");
    EXPECT_EQ(x.sortName, table.sortName);
    EXPECT_EQ(x.sortByte, table.sortByte);
    EXPECT_EQ(x.codePage, table.codePage);
    EXPECT_EQ(x.changeCount2, table.changeCount2);
    ASSERT_EQ(x.numRecords, table.numRecords);
    for (std::size_t r = 1; r < x.records.size(); ++r)
        EXPECT_LT(compareIndexRecords(x.records[r - 1], x.records[r], x, m, o), 0) << "index record " << r;
    // Each index record: the table record with its key lives in block Blk Num and has its values.
    unsigned keyLength = 0;
    for (int i = 0; i < table.keyFields; ++i) keyLength += fieldBytes(table.fields[i].first, table.fields[i].second);
    std::map<Bytes, std::size_t> byKey;
    for (std::size_t r = 0; r < table.records.size(); ++r)
        byKey[Bytes(table.records[r].begin(), table.records[r].begin() + keyLength)] = r;
    std::set<std::size_t> covered;
    for (const Bytes& rec : x.records) {
        const unsigned keyAt = x.offsets[m];
        const auto it = byKey.find(Bytes(rec.begin() + keyAt, rec.begin() + keyAt + keyLength));
        ASSERT_NE(it, byKey.end()) << "an index record whose key is not in the table";
        covered.insert(it->second);
        EXPECT_EQ(flippedWord(rec.data() + keyAt + keyLength), table.blockOf[it->second]);
        for (std::size_t i = 0; i < m; ++i) {
            const unsigned len = fieldBytes(x.fields[i].first, x.fields[i].second);
            const unsigned from = table.offsets[static_cast<std::size_t>(fields[i])];
            EXPECT_EQ(0, std::memcmp(rec.data() + x.offsets[i], table.records[it->second].data() + from, len));
        }
    }
    EXPECT_EQ(covered.size(), table.records.size());
    // The tree: over the .X's blocks, keyed by every field but Blk Num.
    EXPECT_EQ(y.numFields, x.keyFields);
    for (int i = 0; i < y.numFields; ++i) EXPECT_EQ(y.fields[static_cast<std::size_t>(i)], x.fields[static_cast<std::size_t>(i)]);
    checkTreeOver(y, x);
}

// The .VAL: a header that names the table's state, entries that end exactly at the footer, and a
// footer that repeats the table's fields and ends the file.
struct ValEntry {
    int field = 0;
    bool required = false;
    std::uint32_t words[3] = {0, 0, 0};
    Bytes values[3];
    std::string picture;
};

void parseVal(const Bytes& v, const DataFile& table, std::vector<ValEntry>& entries) {
    ASSERT_GE(v.size(), 0x35u);
    EXPECT_EQ(v[0], table.changeCount2) << "the .VAL's first byte is the table's 0x2E";
    EXPECT_EQ(v[1], table.version);
    const unsigned count = v[2];
    EXPECT_EQ(loadLE32(v.data() + 3), table.updateTime);
    EXPECT_EQ(loadLE16(v.data() + 7), table.numFields + 1);
    const std::uint32_t footer = loadLE32(v.data() + 9);
    EXPECT_EQ(loadLE32(v.data() + 0x0D), 0u) << "no referential integrity";
    for (std::size_t i = 0x11; i < 0x35; ++i) EXPECT_EQ(v[i], 0) << "header byte " << i;
    ASSERT_LE(footer, v.size());
    std::size_t pos = 0x35;
    for (unsigned e = 0; e < count; ++e) {
        ASSERT_LE(pos + 0x1C, footer);
        ValEntry entry;
        const std::uint8_t* p = v.data() + pos;
        entry.field = p[0];
        ASSERT_LT(entry.field, table.numFields);
        const unsigned pictureLength = p[1];
        EXPECT_LE(p[2], 1);
        entry.required = p[2] == 1;
        EXPECT_EQ(p[3], 0);
        EXPECT_EQ(loadLE32(p + 4), 0u) << "no lookup";
        EXPECT_EQ(loadLE32(p + 8), 0u);
        for (int b = 0; b < 3; ++b) entry.words[b] = loadLE32(p + 0x0C + 4 * b);
        const bool hasPicture = loadLE32(p + 0x18) != 0;
        EXPECT_EQ(hasPicture, pictureLength != 0);
        pos += 0x1C;
        const auto& f = table.fields[static_cast<std::size_t>(entry.field)];
        const unsigned size = fieldBytes(f.first, f.second);
        for (int b = 0; b < 3; ++b)
            if (entry.words[b] != 0) {
                ASSERT_LE(pos + size, footer);
                entry.values[b].assign(v.begin() + static_cast<std::ptrdiff_t>(pos), v.begin() + static_cast<std::ptrdiff_t>(pos + size));
                pos += size;
            }
        if (hasPicture) {
            ASSERT_LE(pos + pictureLength, footer);
            EXPECT_EQ(v[pos + pictureLength - 1], 0) << "the picture ends in NUL";
            entry.picture.assign(reinterpret_cast<const char*>(v.data() + pos), pictureLength - 1);
            pos += pictureLength;
        }
        entries.push_back(std::move(entry));
    }
    EXPECT_EQ(pos, footer) << "the entries end exactly at the footer";

    // Footer.
    const std::size_t n = static_cast<std::size_t>(table.numFields);
    pos = footer;
    ASSERT_LE(pos + 6 + 4 * n, v.size());
    EXPECT_EQ(loadLE16(v.data() + pos), n);
    EXPECT_EQ(loadLE16(v.data() + pos + 2), table.keyFields);
    const unsigned namesSize = loadLE16(v.data() + pos + 4);
    pos += 6;
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(loadLE16(v.data() + pos + 2 * i), table.numbers[i]);
    pos += 2 * n;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(v[pos + 2 * i], table.fields[i].first);
        EXPECT_EQ(v[pos + 2 * i + 1], table.fields[i].second);
    }
    pos += 2 * n;
    const std::size_t tn = table.version >= 0x0C ? 261 : 79;
    const std::size_t namesAt = pos;
    std::size_t q = pos;
    EXPECT_EQ(cString(v, q), table.tableName);
    pos += tn;
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(cString(v, pos), table.names[i]);
    EXPECT_EQ(pos - namesAt, namesSize);
    EXPECT_EQ(pos, v.size()) << "the footer ends the file";
}

// The .MB: blocks that walk to the end of the file, and every BLOB of the table where its record
// says.
void checkBlobs(const Bytes& encrypted, const DataFile& table) {
    Bytes mb = encrypted;
    if (table.checksum) paradox::decryptBlobChunks(mb.data(), mb.size(), table.checksum);
    ASSERT_GE(mb.size(), 4096u);
    ASSERT_EQ(mb.size() % 4096, 0u);
    EXPECT_EQ(mb[0], 0);
    EXPECT_EQ(loadLE16(mb.data() + 1), 1);
    const std::uint8_t constant[6] = {0x82, 0x73, 0x02, 0x00, 0x29, 0x00};
    EXPECT_EQ(0, std::memcmp(mb.data() + 5, constant, 6));
    EXPECT_EQ(loadLE16(mb.data() + 0x0B), 0x1000);
    EXPECT_EQ(loadLE16(mb.data() + 0x0D), 0x1000);
    EXPECT_EQ(mb[0x10], 0x10);
    EXPECT_EQ(loadLE16(mb.data() + 0x11), 0x40);
    EXPECT_EQ(loadLE16(mb.data() + 0x13), 0x800);
    std::map<std::size_t, std::uint8_t> blockType;
    std::size_t pos = 0;
    while (pos < mb.size()) {
        const std::uint8_t type = mb[pos];
        const unsigned units = loadLE16(mb.data() + pos + 1);
        ASSERT_GT(units, 0u);
        if (pos == 0) {
            EXPECT_EQ(type, 0);
        } else {
            EXPECT_TRUE(type == 2 || type == 3) << "block type " << int(type);
        }
        if (type == 3) {
            EXPECT_EQ(units, 1u);
        }
        blockType[pos] = type;
        pos += units * 4096u;
    }
    EXPECT_EQ(pos, mb.size()) << "the blocks walk to the end of the file";

    std::map<std::size_t, std::vector<std::pair<unsigned, unsigned>>> used;  // chunks used per shared block
    std::set<std::uint32_t> pointers;
    for (const Bytes& rec : table.records)
        for (std::size_t f = 0; f < table.fields.size(); ++f) {
            const std::uint8_t type = table.fields[f].first;
            if (type < 0x0C || type > 0x10) continue;
            const unsigned leader = table.fields[f].second - 10u;
            const std::uint8_t* p = rec.data() + table.offsets[f];
            const std::uint32_t pointer = loadLE32(p + leader);
            const std::uint32_t length = loadLE32(p + leader + 4);
            const std::uint16_t mod = loadLE16(p + leader + 8);
            if (length <= leader) {
                EXPECT_EQ(pointer, 0u);
                EXPECT_EQ(mod, 0);
                continue;
            }
            EXPECT_TRUE(pointers.insert(pointer).second) << "two records share a BLOB";
            const std::size_t offset = pointer & 0xFFFFFF00u;
            const unsigned index = pointer & 0xFF;
            ASSERT_EQ(blockType.count(offset), 1u) << "the pointer names no block";
            if (blockType[offset] == 2) {
                EXPECT_EQ(index, 0xFFu);
                EXPECT_GE(length, 0x800u) << "small BLOBs share blocks";
                EXPECT_EQ(loadLE32(mb.data() + offset + 3), length);
                EXPECT_EQ(loadLE16(mb.data() + offset + 7), mod);
                EXPECT_EQ(loadLE16(mb.data() + offset + 1), (length + 9 + 4095) / 4096);
                // The leader repeats the first bytes (a graphic's after its 8-byte prefix).
                const std::size_t skip = type == 0x10 ? 8 : 0;
                EXPECT_EQ(0, std::memcmp(p, mb.data() + offset + 9 + skip, std::min<std::size_t>(leader, length - skip)));
            } else {
                ASSERT_LT(index, 64u);
                EXPECT_LT(length, 0x800u);
                const std::uint8_t* e = mb.data() + offset + 12 + 5 * index;
                const unsigned start = e[0], chunks = e[1], last = e[4];
                EXPECT_GE(start, 0x150u / 16);
                EXPECT_LE(start + chunks, 256u);
                EXPECT_GE(last, 1u);
                EXPECT_LE(last, 16u);
                EXPECT_EQ((chunks - 1) * 16 + last, length);
                EXPECT_EQ(loadLE16(e + 2), mod);
                for (const auto& [s, c] : used[offset]) EXPECT_TRUE(start + chunks <= s || s + c <= start) << "overlap";
                used[offset].emplace_back(start, chunks);
                const std::size_t skip = type == 0x10 ? 8 : 0;
                EXPECT_EQ(0, std::memcmp(p, mb.data() + offset + start * 16 + skip, std::min<std::size_t>(leader, length - skip)));
            }
        }
}

// --- Writing --------------------------------------------------------------------------------------

Bytes fileBytes(const std::string& path) { return test::readFileBytes(path); }

// Writes the table and checks what every table must satisfy: its chain, its key order and
// primary index, its BLOBs, its validity checks, and that no temporary file is left.
struct Family {
    DataFile db;
    Tree px;
    std::vector<ValEntry> checks;
};

void writeAndCheck(const std::string& path, const TableSpec& spec, Family& out) {
    try {
        createTable(path, spec);
    } catch (const std::exception& e) {
        FAIL() << "createTable refused: " << e.what();
    }
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(path), out.db));
    DataFile& db = out.db;
    EXPECT_EQ(db.fileType, spec.keyFields > 0 ? 0 : 2);
    EXPECT_EQ(db.version, spec.level == 7 ? 0x0C : spec.level == 5 ? 0x0B : 0x09);
    EXPECT_EQ(db.blockKB, spec.blockSizeKB);
    EXPECT_EQ(db.numFields, static_cast<int>(spec.fields.size()));
    EXPECT_EQ(db.keyFields, spec.keyFields);
    EXPECT_EQ(db.numRecords, spec.records.size());
    EXPECT_EQ(db.tableName, fileNamePart(path));
    EXPECT_EQ(db.indexName, "");
    for (std::size_t i = 0; i < db.numbers.size(); ++i) EXPECT_EQ(db.numbers[i], i + 1);
    EXPECT_EQ(db.checksum, spec.password.empty() ? 0u : paradox::passwordChecksum(spec.password));

    const std::string folder = folderPart(path);
    const std::string stem = stemPart(fileNamePart(path));
    const bool upper = extensionPart(path) == ".DB";
    auto companion = [&](const std::string& ext) { return folder + "/" + stem + "." + (upper ? toUpperAscii(ext) : ext); };
    std::set<std::string> expected{fileNamePart(path)};

    if (spec.keyFields > 0) {
        checkKeyOrder(db);
        ASSERT_TRUE(test::fileExists(companion("px")));
        expected.insert(fileNamePart(companion("px")));
        ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(companion("px")), out.px));
        EXPECT_EQ(out.px.fileType, 1);
        EXPECT_EQ(out.px.numFields, spec.keyFields);
        EXPECT_EQ(out.px.checksum, db.checksum);
        for (int i = 0; i < spec.keyFields; ++i) EXPECT_EQ(out.px.fields[static_cast<std::size_t>(i)], db.fields[static_cast<std::size_t>(i)]);
        checkTreeOver(out.px, db);
        for (std::size_t i = 1; i < out.px.keys.size(); ++i)
            EXPECT_LT(out.px.keys[i - 1], out.px.keys[i]) << "primary index keys ascend, entry " << i;
    } else {
        EXPECT_FALSE(test::fileExists(companion("px")));
    }
    bool blobs = false;
    for (const auto& f : db.fields) blobs = blobs || (f.first >= 0x0C && f.first <= 0x10);
    if (blobs) {
        expected.insert(fileNamePart(companion("mb")));
        ASSERT_NO_FATAL_FAILURE(checkBlobs(fileBytes(companion("mb")), db));
    }
    if (test::fileExists(companion("val"))) {
        expected.insert(fileNamePart(companion("val")));
        ASSERT_NO_FATAL_FAILURE(parseVal(fileBytes(companion("val")), db, out.checks));
    }
    for (const std::string& name : folderEntries(folder)) {
        if (expected.count(name)) continue;
        // No temporary file is left; the other files of the family are the secondary indexes.
        EXPECT_NE(name[0], '.') << "a temporary file is left: " << name;
        if (!equalsIgnoreCase(stemPart(name), stem)) continue;
        const std::string ext = toUpperAscii(extensionPart(name));
        EXPECT_TRUE(ext != ".DB" && ext != ".PX" && ext != ".MB" && ext != ".VAL") << "unexpected file " << name;
    }
}

// Opens a table and gives its index definitions and validity checks as the readers give them.
std::vector<TIndexDef> indexesOf(const Table& t) {
    std::vector<std::string> warnings;
    auto defs = paradox::readIndexes(t.px->header(), t.file->fields(), t.px->family(), t.file->codePage(), warnings);
    for (const std::string& w : warnings) ADD_FAILURE() << "index warning: " << w;
    return defs;
}

std::vector<ValidityCheck> checksOf(const Table& t) {
    std::vector<std::string> warnings;
    auto checks =
        paradox::readValidityChecks(t.px->header(), t.file->fields(), t.px->family(), t.file->codePage(), warnings);
    for (const std::string& w : warnings) ADD_FAILURE() << "validity-check warning: " << w;
    return checks;
}

const TIndexDef* findIndex(const std::vector<TIndexDef>& defs, const std::string& name) {
    for (const TIndexDef& d : defs)
        if (d.Name == name) return &d;
    return nullptr;
}

// The described records in the order a keyed table keeps them: by the given comparison.
std::vector<std::vector<FieldValue>> sortedRows(std::vector<std::vector<FieldValue>> rows,
                                                const std::function<bool(const std::vector<FieldValue>&,
                                                                         const std::vector<FieldValue>&)>& less) {
    std::stable_sort(rows.begin(), rows.end(), less);
    return rows;
}

}  // namespace

// --- Every field type ---------------------------------------------------------------------------

namespace {

TableSpec allTypesSpec(int level, int keyFields) {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = level;
    spec.codePage = "CP1252";
    spec.blockSizeKB = 2;
    spec.keyFields = keyFields;
    spec.fields = {columnSpec("Code", 'I'),      columnSpec("Name", 'A', 20),  columnSpec("Amount", 'N'),     columnSpec("Price", '$'),
                   columnSpec("Born", 'D'),      columnSpec("Small", 'S'),     columnSpec("Flag", 'L'),       columnSpec("At", 'T'),
                   columnSpec("Stamp", '@'),     columnSpec("Seq", '+'),       columnSpec("Exact", '#', 0, 4), columnSpec("Raw", 'Y', 6),
                   columnSpec("Notes", 'M', 20), columnSpec("Data", 'B', 12),  columnSpec("Styled", 'F', 15), columnSpec("Ole", 'O', 10),
                   columnSpec("Picture", 'G', 10)};
    const std::string bitmap = "BM" + noise(98, 1);
    const std::string bigBitmap = "BM" + noise(5000, 2);
    spec.records = {
        {Int(30), Str("Café crème"), Real(3.25), Real(19.99), Day(1970, 1, 1), Int(-40), Bool(true),
         Clock(11, 11, 11, 5), Stamp(1999, 12, 31, 23, 59, 59, 999), Null(), Bcd("12.5000"), Bin(std::string("\x01\x02\x00\x04\x05\x06", 6)),
         Str("short"), Bin(noise(20, 3)), Bin(noise(500, 4)), Bin(noise(3000, 5)), Bin(bitmap)},
        {Int(-7), Str("€uro"), Real(-0.5), Real(0.0), Day(-5, 3, 1), Int(32767), Bool(false), Clock(0, 0, 0),
         Stamp(1, 1, 1, 0, 0, 0), Null(), Bcd("-3.1416"), Bin(std::string(6, '\xFF')), Str(text(100, 6)),
         Bin(noise(3000, 7)), Bin(noise(5, 8)), Bin(noise(10, 9)), Bin(bigBitmap)},
        {Int(2147483647), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(),
         Null(), Null(), Null(), Null(), Null()},
        {Int(0), Str(std::string(20, 'z')), Real(1e300), Real(-1234.5678), Day(9999, 12, 31), Int(-32767), Bool(true),
         Clock(23, 59, 59, 999), Stamp(2024, 2, 29, 12, 0, 0), Null(), Bcd("0.0000"), Bin("abcdef"),
         Str(text(3000, 10)), Bin(noise(12, 11)), Bin(noise(2047, 12)), Bin(noise(2048, 13)), Bin("BM" + noise(2037, 14))},
    };
    return spec;
}

// What the reader gives for the described records: autoincrement values assigned in input order.
std::vector<std::vector<FieldValue>> expectedAllTypes(const TableSpec& spec, bool keyed) {
    auto rows = spec.records;
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r][9] = Int(static_cast<std::int64_t>(r + 1));
    if (keyed)
        rows = sortedRows(rows, [](const auto& a, const auto& b) { return a[0].integer < b[0].integer; });
    return rows;
}

void checkAllTypes(int level, int keyFields) {
    TempDir dir;
    const TableSpec spec = allTypesSpec(level, keyFields);
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("types.db"), spec, fam));
    EXPECT_EQ(fam.db.autoInc, 4u) << "the last autoincrement value";
    EXPECT_EQ(fam.db.sortName, "DBWINUS0");
    EXPECT_EQ(fam.db.sortByte, 0x4C);
    EXPECT_EQ(fam.db.codePage, 1252);

    const Table t = readBack(dir.file("types.db"));
    EXPECT_TRUE(t.file->warnings().empty()) << t.file->warnings().front();
    ASSERT_NO_FATAL_FAILURE(expectRows(t, expectedAllTypes(spec, keyFields > 0)));

    const TFieldType types[] = {ftInteger, ftString, ftFloat, ftCurrency, ftDate, ftSmallint, ftBoolean, ftTime,
                                ftDateTime, ftAutoInc, ftBCD, ftBytes, ftMemo, ftBlob, ftFmtMemo, ftParadoxOle, ftGraphic};
    const int sizes[] = {0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 4, 6, 10, 2, 5, 0, 0};
    const auto& fields = t.file->fields();
    ASSERT_EQ(fields.size(), spec.fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].name, spec.fields[i].name);
        EXPECT_EQ(fields[i].typeLetter, spec.fields[i].type);
        EXPECT_EQ(fields[i].dataType, types[i]) << fields[i].name;
        EXPECT_EQ(fields[i].size, sizes[i]) << fields[i].name;
    }
    const auto defs = indexesOf(t);
    if (keyFields > 0) {
        ASSERT_EQ(defs.size(), 1u);
        EXPECT_EQ(defs[0].Name, "");
        EXPECT_EQ(defs[0].Fields, "Code");
        EXPECT_EQ(defs[0].Options, ixPrimary | ixUnique);
    } else {
        EXPECT_TRUE(defs.empty());
    }
}

}  // namespace

TEST(ParadoxWriter, EveryFieldTypeLevel7Keyed) { checkAllTypes(7, 1); }
TEST(ParadoxWriter, EveryFieldTypeLevel7Unkeyed) { checkAllTypes(7, 0); }
TEST(ParadoxWriter, EveryFieldTypeLevel5Keyed) { checkAllTypes(5, 1); }
TEST(ParadoxWriter, EveryFieldTypeLevel5Unkeyed) { checkAllTypes(5, 0); }

TEST(ParadoxWriter, Level4TypesAndKey) {
    TempDir dir;
    TableSpec spec;
    spec.level = 4;
    spec.codePage = "CP437";
    spec.blockSizeKB = 1;
    spec.keyFields = 2;
    spec.fields = {columnSpec("Last", 'A', 12), columnSpec("Born", 'D'), columnSpec("Count", 'S'), columnSpec("Pay", '$'),
                   columnSpec("Rate", 'N'),     columnSpec("Memo", 'M', 11), columnSpec("Blob", 'B', 10), columnSpec("Fmt", 'F', 10),
                   columnSpec("Ole", 'O', 10),  columnSpec("Pic", 'G', 10)};
    spec.records = {
        {Str("Müller"), Day(1980, 5, 4), Int(3), Real(10.5), Real(0.25), Str("x"), Bin("b"), Null(), Null(), Bin("BM12345")},
        {Str("Müller"), Day(1979, 5, 4), Int(-3), Real(-10.5), Null(), Str(text(2500, 1)), Null(), Bin(noise(40, 2)),
         Bin(noise(4000, 3)), Null()},
        {Str("Adams"), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null()},
    };
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("LEVEL4.DB"), spec, fam));
    EXPECT_EQ(fam.db.sortName, "ascii");
    EXPECT_EQ(fam.db.autoInc, 0u) << "level 4 has no autoincrement counter";
    EXPECT_TRUE(test::fileExists(dir.file("LEVEL4.PX")));
    EXPECT_TRUE(test::fileExists(dir.file("LEVEL4.MB")));
    const Table t = readBack(dir.file("LEVEL4.DB"));
    EXPECT_TRUE(t.file->warnings().empty());
    // Key order: Last, then Born.
    expectRows(t, {spec.records[2], spec.records[1], spec.records[0]});
}

// --- The BLOB file ---------------------------------------------------------------------------

TEST(ParadoxWriter, BlobsInBothBlockKinds) {
    TempDir dir;
    TableSpec spec;
    spec.level = 7;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("Memo", 'M', 30), columnSpec("Picture", 'G', 40), columnSpec("Data", 'B', 10)};
    std::vector<std::vector<FieldValue>> rows;
    for (int i = 0; i < 150; ++i) {
        const std::size_t memoLength = i % 3 == 0 ? 10 : i % 3 == 1 ? 200 + i : 2100 + 10 * i;
        const std::size_t pictureLength = i % 2 == 0 ? 300 + i : 9000 + i;
        rows.push_back({Int(i), Str(text(memoLength, static_cast<unsigned>(i))),
                        Bin("BM" + noise(pictureLength, static_cast<unsigned>(1000 + i))),
                        i % 5 == 0 ? Null() : Bin(noise(static_cast<std::size_t>(i) * 20, static_cast<unsigned>(2000 + i)))});
    }
    spec.records = rows;
    std::reverse(spec.records.begin(), spec.records.end());
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("blobs.db"), spec, fam));

    // Both kinds of block are there, and small graphics share blocks while large ones do not.
    const Bytes mb = fileBytes(dir.file("blobs.mb"));
    std::map<std::uint8_t, int> kinds;
    for (std::size_t pos = 0; pos < mb.size(); pos += loadLE16(mb.data() + pos + 1) * 4096u) ++kinds[mb[pos]];
    EXPECT_EQ(kinds[0], 1);
    EXPECT_GT(kinds[2], 50);
    EXPECT_GT(kinds[3], 2);
    std::set<int> graphicKinds;
    for (const Bytes& rec : fam.db.records) {
        const std::uint32_t pointer = loadLE32(rec.data() + fam.db.offsets[2] + 30);
        ASSERT_NE(pointer, 0u);
        graphicKinds.insert(mb[pointer & 0xFFFFFF00u]);
    }
    EXPECT_EQ(graphicKinds, (std::set<int>{2, 3}));
    // A memo within the leader stays in the record.
    EXPECT_EQ(loadLE32(fam.db.records[0].data() + fam.db.offsets[1] + 24), 10u);
    EXPECT_EQ(loadLE32(fam.db.records[0].data() + fam.db.offsets[1] + 20), 0u);

    const Table t = readBack(dir.file("blobs.db"));
    expectRows(t, rows);
}

// --- Secondary indexes ----------------------------------------------------------------------

namespace {

TableSpec indexedSpec() {
    TableSpec spec;
    spec.level = 7;
    spec.codePage = "CP437";
    spec.blockSizeKB = 1;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("City", 'A', 12), columnSpec("Name", 'A', 16), columnSpec("Score", 'N'), columnSpec("When", 'D')};
    const char* cities[] = {"berlin", "Berlin", "BERLIN", "bonn", "Bonn", "Aachen", "zwickau", "_under", "[brace"};
    for (int i = 0; i < 300; ++i) {
        const int id = (i * 7919) % 1000;
        std::string name = "name" + std::to_string(1000 + i);
        if (i % 2) name[0] = 'N';
        spec.records.push_back({Int(id), i % 13 == 0 ? Null() : Str(cities[i % 9]), Str(name),
                                i % 11 == 0 ? Null() : Real((i % 17) * 1.5 - 10), Day(2000, 1 + i % 12, 1 + i % 28)});
    }
    spec.indexes = {indexSpec("", {"City"}),
                    indexSpec("ByNameCity", {"Name", "City"}),
                    indexSpec("cityci", {"city"}, true),
                    indexSpec("ScoreDesc", {"Score"}, false, true),
                    indexSpec("UniqueName", {"Name"}, false, false, true),
                    indexSpec("NameCiDesc", {"Name", "When"}, true, true),
                    indexSpec("When", {"When"})};
    return spec;
}

}  // namespace

TEST(ParadoxWriter, SecondaryIndexesOfEveryKind) {
    TempDir dir;
    const TableSpec spec = indexedSpec();
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("idx.db"), spec, fam));

    struct Expect {
        const char* x;
        const char* y;
        std::uint8_t type;
        std::vector<int> fields;
        IndexOptions options;
        std::uint8_t optionByte;
        const char* storedName;
    };
    const Expect expected[] = {
        {"idx.x02", "idx.y02", 5, {1}, {}, 0x00, ""},
        {"idx.xg0", "idx.yg0", 8, {2, 1}, {}, 0x00, "ByNameCity"},
        {"idx.xg1", "idx.yg1", 8, {1}, {true, false}, 0x01, "cityci"},
        {"idx.xg2", "idx.yg2", 8, {3}, {false, true}, 0x10, "ScoreDesc"},
        {"idx.xg3", "idx.yg3", 8, {2}, {}, 0x20, "UniqueName"},
        {"idx.xg4", "idx.yg4", 8, {2, 4}, {true, true}, 0x11, "NameCiDesc"},
        {"idx.x05", "idx.y05", 5, {4}, {}, 0x00, ""},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.x);
        DataFile x;
        Tree y;
        ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file(e.x)), x));
        ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file(e.y)), y));
        EXPECT_EQ(x.fileType, e.type);
        EXPECT_EQ(y.fileType, e.type == 5 ? 4 : 7);
        EXPECT_EQ(x.options, e.optionByte);
        EXPECT_EQ(x.indexName, e.storedName);
        EXPECT_EQ(x.blockKB, fam.db.blockKB);
        EXPECT_EQ(x.tableName, fileNamePart(e.x));
        EXPECT_GT(x.chain.size(), 1u) << "several blocks";
        ASSERT_NO_FATAL_FAILURE(checkSecondary(x, y, fam.db, e.fields, e.options));
    }
    // The case-insensitive index puts the cases of a city together; the plain one does not.
    {
        DataFile plain, ci;
        ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("idx.x02")), plain));
        ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("idx.xg1")), ci));
        // The distinct cities in index order, optionally upper-cased.
        auto cityOrder = [](const DataFile& x, bool fold) {
            std::vector<std::string> out;
            for (const Bytes& r : x.records) {
                std::string c(reinterpret_cast<const char*>(r.data()), strnlen(reinterpret_cast<const char*>(r.data()), 12));
                if (fold) c = toUpperAscii(c);
                if (out.empty() || out.back() != c) out.push_back(c);
            }
            return out;
        };
        EXPECT_EQ(cityOrder(plain, false), (std::vector<std::string>{"", "Aachen", "BERLIN", "Berlin", "Bonn", "[brace",
                                                                     "_under", "berlin", "bonn", "zwickau"}));
        EXPECT_EQ(cityOrder(ci, true),
                  (std::vector<std::string>{"", "AACHEN", "BERLIN", "BONN", "ZWICKAU", "[BRACE", "_UNDER"}));
        // Within one city the records of the case-insensitive index follow the key (Id).
        std::int64_t lastId = -1;
        std::string lastCity;
        for (const Bytes& r : ci.records) {
            const std::string c = toUpperAscii(std::string(reinterpret_cast<const char*>(r.data()),
                                                           strnlen(reinterpret_cast<const char*>(r.data()), 12)));
            const std::int64_t id = static_cast<std::int32_t>(loadBE32(r.data() + 12) ^ 0x80000000u);
            if (c == lastCity) {
                EXPECT_GT(id, lastId);
            }
            lastCity = c;
            lastId = id;
        }
    }

    const Table t = readBack(dir.file("idx.db"));
    const auto defs = indexesOf(t);
    ASSERT_EQ(defs.size(), 8u);
    EXPECT_EQ(defs[0].Options, ixPrimary | ixUnique);
    const TIndexDef* city = findIndex(defs, "City");
    ASSERT_NE(city, nullptr);
    EXPECT_EQ(city->Fields, "City");
    EXPECT_EQ(city->Options, 0);
    EXPECT_EQ(toLowerAscii(fileNamePart(city->Source)), "idx.x02");
    const TIndexDef* composite = findIndex(defs, "ByNameCity");
    ASSERT_NE(composite, nullptr);
    EXPECT_EQ(composite->Fields, "Name;City");
    EXPECT_EQ(composite->Options, 0);
    const TIndexDef* ci = findIndex(defs, "cityci");
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(ci->Fields, "City");
    EXPECT_EQ(ci->Options, ixCaseInsensitive);
    const TIndexDef* desc = findIndex(defs, "ScoreDesc");
    ASSERT_NE(desc, nullptr);
    EXPECT_EQ(desc->Options, ixDescending);
    EXPECT_EQ(desc->DescFields, "");
    const TIndexDef* unique = findIndex(defs, "UniqueName");
    ASSERT_NE(unique, nullptr);
    EXPECT_EQ(unique->Options, ixUnique);
    const TIndexDef* both = findIndex(defs, "NameCiDesc");
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(both->Fields, "Name;When");
    EXPECT_EQ(both->Options, ixCaseInsensitive | ixDescending);
    const TIndexDef* when = findIndex(defs, "When");
    ASSERT_NE(when, nullptr);
    EXPECT_EQ(toLowerAscii(fileNamePart(when->Source)), "idx.x05");
}

TEST(ParadoxWriter, IndexesOfAnEmptyUnkeyedTableAreNotMaintained) {
    TempDir dir;
    TableSpec spec;
    spec.level = 5;
    spec.codePage = "CP850";
    spec.fields = {columnSpec("A", 'A', 10), columnSpec("B", 'I'), columnSpec("C", 'D')};
    spec.indexes = {indexSpec("B", {"B"}), indexSpec("AC", {"A", "C"}, true)};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("free.db"), spec, fam));
    EXPECT_EQ(fam.db.fileBlocks, 0);
    DataFile x, xg;
    Tree y, yg;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("free.x02")), x));
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("free.xg0")), xg));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("free.y02")), y));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("free.yg0")), yg));
    EXPECT_EQ(x.fileType, 3);
    EXPECT_EQ(xg.fileType, 6);
    EXPECT_EQ(y.fileType, 4);
    EXPECT_EQ(yg.fileType, 7);
    EXPECT_EQ(x.names, (std::vector<std::string>{"B", "Tup No", "Blk Num", "Tup Offset"}));
    EXPECT_EQ(xg.names, (std::vector<std::string>{"A", "C", "Tup No", "Blk Num", "Tup Offset"}));
    EXPECT_EQ(x.keyFields, 3);
    EXPECT_EQ(xg.keyFields, 4);
    EXPECT_EQ(xg.numbers, (std::vector<std::uint16_t>{1, 3, 3, 4, 5}));
    EXPECT_EQ(xg.options, 0x01);
    EXPECT_EQ(xg.indexName, "AC");
    EXPECT_EQ(y.numFields, 3);
    EXPECT_EQ(yg.numFields, 4);

    const Table t = readBack(dir.file("free.db"));
    const auto defs = indexesOf(t);
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[0].Name, "B");
    EXPECT_EQ(defs[0].Options, ixNonMaintained);
    EXPECT_EQ(defs[1].Name, "AC");
    EXPECT_EQ(defs[1].Fields, "A;C");
    EXPECT_EQ(defs[1].Options, ixNonMaintained | ixCaseInsensitive);
}

TEST(ParadoxWriter, Level5CompositeAndCaseInsensitiveIndexes) {
    TempDir dir;
    TableSpec spec;
    spec.level = 5;
    spec.codePage = "CP850";
    spec.keyFields = 2;
    spec.fields = {columnSpec("Region", 'A', 4), columnSpec("No", 'S'), columnSpec("Label", 'A', 10), columnSpec("Amount", '$')};
    for (int i = 0; i < 40; ++i)
        spec.records.push_back({Str(i % 2 ? "EAST" : "west"), Int(i), Str(i % 3 ? "alpha" : "Alpha"), Real(i * 0.5)});
    spec.indexes = {indexSpec("Label", {"Label"}), indexSpec("LabelCi", {"Label", "Amount"}, true)};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("lvl5.db"), spec, fam));
    DataFile x;
    Tree y;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("lvl5.xg0")), x));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("lvl5.yg0")), y));
    ASSERT_NO_FATAL_FAILURE(checkSecondary(x, y, fam.db, {2, 3}, {true, false}));
    DataFile x3;
    Tree y3;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("lvl5.x03")), x3));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("lvl5.y03")), y3));
    ASSERT_NO_FATAL_FAILURE(checkSecondary(x3, y3, fam.db, {2}, {}));
    EXPECT_EQ(x3.keyFields, 3);  // Label, Region, No
    const Table t = readBack(dir.file("lvl5.db"));
    const auto defs = indexesOf(t);
    ASSERT_EQ(defs.size(), 3u);
    EXPECT_EQ(defs[0].Fields, "Region;No");
    EXPECT_EQ(defs[1].Name, "Label");
    EXPECT_EQ(defs[2].Options, ixCaseInsensitive);
}

// --- Validity checks ----------------------------------------------------------------------------

namespace {

CheckSpec Check(const std::string& field) {
    CheckSpec c;
    c.field = field;
    return c;
}

void checkValidity(int level) {
    TempDir dir;
    TableSpec spec;
    spec.level = level;
    spec.codePage = "CP1252";
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'),   columnSpec("Name", 'A', 20), columnSpec("Qty", 'S'),  columnSpec("Price", '$'), columnSpec("Born", 'D'),
                   columnSpec("At", 'T'),   columnSpec("Stamp", '@'),    columnSpec("Flag", 'L'), columnSpec("Exact", '#', 0, 2),
                   columnSpec("Notes", 'M', 15), columnSpec("Plain", 'N')};
    spec.records = {{Int(1), Str("a"), Int(5), Real(1.0), Day(1950, 1, 1), Clock(8, 0, 0), Stamp(2000, 1, 1, 0, 0, 0),
                     Bool(true), Bcd("1.50"), Str("note"), Real(2)}};
    CheckSpec name = Check("name");  // found ignoring case
    name.required = true;
    name.picture = "&*?[é]";
    CheckSpec qty = Check("Qty");
    qty.minKind = qty.maxKind = qty.defaultKind = BoundKind::Value;
    qty.minValue = Int(0);
    qty.maxValue = Int(100);
    qty.defaultValue = Int(1);
    CheckSpec price = Check("Price");
    price.minKind = BoundKind::Value;
    price.minValue = Real(0.5);
    CheckSpec born = Check("Born");
    born.minKind = BoundKind::Value;
    born.minValue = Day(1900, 1, 1);
    born.maxKind = BoundKind::Today;
    CheckSpec at = Check("At");
    at.defaultKind = BoundKind::Now;
    CheckSpec stamp = Check("Stamp");
    stamp.defaultKind = BoundKind::Now;
    stamp.minKind = BoundKind::Value;
    stamp.minValue = Stamp(1990, 1, 1, 0, 0, 0);
    CheckSpec flag = Check("Flag");
    flag.defaultKind = BoundKind::Value;
    flag.defaultValue = Bool(true);
    CheckSpec exact = Check("Exact");
    exact.maxKind = BoundKind::Value;
    exact.maxValue = Bcd("999.99");
    CheckSpec notes = Check("Notes");
    notes.required = true;
    CheckSpec nothing = Check("Plain");  // no check at all: no entry
    spec.checks = {notes, born, name, qty, price, at, stamp, flag, exact, nothing};
    if (level < 5) {
        // Level 4 lacks T, @, L and #.
        spec.fields = {columnSpec("Id", 'S'), columnSpec("Name", 'A', 20), columnSpec("Qty", 'S'), columnSpec("Price", '$'), columnSpec("Born", 'D'),
                       columnSpec("Notes", 'M', 15), columnSpec("Plain", 'N')};
        spec.records = {{Int(1), Str("a"), Int(5), Real(1.0), Day(1950, 1, 1), Str("note"), Real(2)}};
        spec.checks = {notes, born, name, qty, price, nothing};
    }
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("val.db"), spec, fam));
    ASSERT_TRUE(test::fileExists(dir.file("val.val")));

    // The entries, from the bytes: in field order, words 1 for values, 2 for TODAY, 3 for NOW
    // with zero value bytes.
    std::map<std::string, const ValEntry*> byName;
    for (const ValEntry& e : fam.checks) byName[fam.db.names[static_cast<std::size_t>(e.field)]] = &e;
    EXPECT_EQ(fam.checks.size(), level < 5 ? 5u : 9u);
    for (std::size_t i = 1; i < fam.checks.size(); ++i) EXPECT_LT(fam.checks[i - 1].field, fam.checks[i].field);
    ASSERT_TRUE(byName.count("Qty"));
    EXPECT_EQ(byName["Qty"]->values[0], (Bytes{0x80, 0x00}));
    EXPECT_EQ(byName["Qty"]->values[1], (Bytes{0x80, 0x64}));
    EXPECT_EQ(byName["Qty"]->values[2], (Bytes{0x80, 0x01}));
    EXPECT_EQ(byName["Qty"]->words[0], 1u);
    ASSERT_TRUE(byName.count("Born"));
    EXPECT_EQ(byName["Born"]->words[1], 2u);
    EXPECT_EQ(byName["Born"]->values[1], Bytes(4, 0));
    EXPECT_EQ(byName["Name"]->picture, "&*?[\xE9]");
    EXPECT_TRUE(byName["Name"]->required);
    EXPECT_TRUE(byName["Notes"]->required);
    EXPECT_EQ(byName.count("Plain"), 0u);
    if (level >= 5) {
        EXPECT_EQ(byName["At"]->words[2], 3u);
        EXPECT_EQ(byName["At"]->values[2], Bytes(4, 0));
        EXPECT_EQ(byName["Stamp"]->words[2], 3u);
        EXPECT_EQ(byName["Flag"]->values[2], (Bytes{0x81}));
    }

    const Table t = readBack(dir.file("val.db"));
    EXPECT_TRUE(t.file->warnings().empty()) << t.file->warnings().front();
    const auto checks = checksOf(t);
    std::map<std::string, const ValidityCheck*> got;
    for (const ValidityCheck& c : checks) got[t.file->fields()[static_cast<std::size_t>(c.field)].name] = &c;
    ASSERT_EQ(got.size(), level < 5 ? 5u : 9u);
    EXPECT_TRUE(got["Name"]->required);
    EXPECT_EQ(got["Name"]->picture, "&*?[é]");
    EXPECT_EQ(got["Qty"]->minKind, BoundKind::Value);
    EXPECT_TRUE(sameValue(Int(0), got["Qty"]->minValue));
    EXPECT_TRUE(sameValue(Int(100), got["Qty"]->maxValue));
    EXPECT_TRUE(sameValue(Int(1), got["Qty"]->defaultValue));
    EXPECT_TRUE(sameValue(Real(0.5), got["Price"]->minValue));
    EXPECT_EQ(got["Price"]->maxKind, BoundKind::None);
    EXPECT_TRUE(sameValue(Day(1900, 1, 1), got["Born"]->minValue));
    EXPECT_EQ(got["Born"]->maxKind, BoundKind::Today);
    EXPECT_TRUE(got["Notes"]->required);
    if (level >= 5) {
        EXPECT_EQ(got["At"]->defaultKind, BoundKind::Now);
        EXPECT_EQ(got["Stamp"]->defaultKind, BoundKind::Now);
        EXPECT_TRUE(sameValue(Stamp(1990, 1, 1, 0, 0, 0), got["Stamp"]->minValue));
        EXPECT_TRUE(sameValue(Bool(true), got["Flag"]->defaultValue));
        EXPECT_TRUE(sameValue(Bcd("999.99"), got["Exact"]->maxValue));
    }
    // Required without a default makes the field required.
    EXPECT_TRUE(t.file->fields()[1].required);
    EXPECT_FALSE(t.file->fields()[2].required);
    // The table object reads the same checks when it opens.
    EXPECT_EQ(t.file->validityChecks().size(), checks.size());
}

}  // namespace

TEST(ParadoxWriter, ValidityChecksLevel7) { checkValidity(7); }
TEST(ParadoxWriter, ValidityChecksLevel5) { checkValidity(5); }
TEST(ParadoxWriter, ValidityChecksLevel4) { checkValidity(4); }

// --- Code pages -------------------------------------------------------------------------------

TEST(ParadoxWriter, CodePages) {
    struct Case {
        const char* codePage;
        unsigned number;
        const char* sortName;
        std::uint8_t sortByte;
        const char* fieldName;
        const char* fieldNameBytes;
        const char* value;
        const char* valueBytes;
        bool textKey;
    };
    const Case cases[] = {
        {"CP437", 437, "ascii", 0x00, "Größe", "Gr\x94\xE1" "e", "Zürich ½", "Z\x81rich \xAB", true},
        {"850", 850, "ascii", 0x00, "Größe", "Gr\x94\xE1" "e", "Ñandú Ø", "\xA5" "and\xA3 \x9D", true},
        {"cp1252", 1252, "DBWINUS0", 0x4C, "Größe", "Gr\xF6\xDF" "e", "Café € “x”", "Caf\xE9 \x80 \x93x\x94", true},
        {"CP866", 866, "cyrr", 0xC0, "Имя", "\x88\xAC\xEF", "Привет, мир", "\x8F\xE0\xA8\xA2\xA5\xE2, \xAC\xA8\xE0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        TempDir dir;
        TableSpec spec;
        spec.level = 7;
        spec.codePage = c.codePage;
        spec.keyFields = 1;
        // Text keys only where the sort order collates by byte value.
        if (c.textKey) spec.fields = {columnSpec("Key", 'A', 12), columnSpec(c.fieldName, 'A', 30), columnSpec("Notes", 'M', 12)};
        else spec.fields = {columnSpec("Key", 'I'), columnSpec(c.fieldName, 'A', 30), columnSpec("Notes", 'M', 12)};
        const std::string longText = std::string(c.value) + " " + std::string(c.value) + " " + std::string(c.value);
        spec.records = {{c.textKey ? Str(c.value) : Int(2), Str(c.value), Str(longText)},
                        {c.textKey ? Str("A") : Int(1), Str(std::string(c.value) + "!"), Null()}};
        spec.indexes = {indexSpec("", {c.fieldName})};
        if (!c.textKey) {
            // An index on the text field is refused under this sort order; drop it.
            TableSpec refused = spec;
            EXPECT_THROW(createTable(dir.file("refused.db"), refused), EDBEngineError);
            EXPECT_TRUE(folderEntries(dir.path()).empty());
            spec.indexes.clear();
        }
        Family fam;
        ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("cp.db"), spec, fam));
        EXPECT_EQ(fam.db.codePage, c.number);
        EXPECT_EQ(fam.db.sortName, c.sortName);
        EXPECT_EQ(fam.db.sortByte, c.sortByte);
        EXPECT_EQ(fam.db.names[1], c.fieldNameBytes);
        // The stored bytes are the code page's.
        bool found = false;
        for (const Bytes& r : fam.db.records)
            found = found || std::string(reinterpret_cast<const char*>(r.data() + fam.db.offsets[1]), std::strlen(c.valueBytes)) ==
                                 c.valueBytes;
        EXPECT_TRUE(found);
        const Table t = readBack(dir.file("cp.db"));
        EXPECT_EQ(t.file->codePage().name(), "CP" + std::to_string(c.number));
        EXPECT_EQ(t.file->fields()[1].name, c.fieldName);
        std::vector<std::vector<FieldValue>> want = spec.records;
        if (c.textKey) std::swap(want[0], want[1]);  // "A" sorts first
        else std::swap(want[0], want[1]);            // 1 before 2
        expectRows(t, want);
    }
}

// --- Encryption -----------------------------------------------------------------------------------

TEST(ParadoxWriter, EncryptedFamily) {
    TempDir dir;
    TableSpec spec;
    spec.level = 7;
    spec.codePage = "CP1252";
    spec.keyFields = 1;
    spec.password = "secret";
    spec.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 30), columnSpec("Memo", 'M', 12), columnSpec("Pic", 'G', 10)};
    for (int i = 0; i < 200; ++i)
        spec.records.push_back({Int(i), Str("CONFIDENTIAL-NAME-" + std::to_string(i)),
                                Str("CONFIDENTIAL-MEMO " + text(i % 2 ? 100 : 3000, static_cast<unsigned>(i))),
                                Bin("BM" + noise(i % 2 ? 50 : 4000, static_cast<unsigned>(i)))});
    spec.indexes = {indexSpec("", {"Name"})};
    CheckSpec c = Check("Name");
    c.required = true;
    spec.checks = {c};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("enc.db"), spec, fam));
    EXPECT_EQ(fam.db.checksum, paradox::passwordChecksum("secret"));
    EXPECT_EQ(loadLE16(fileBytes(dir.file("enc.db")).data() + 0x3E), 0) << "as in the engine's encrypted tables";
    DataFile x;
    Tree y;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("enc.x02")), x));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("enc.y02")), y));
    EXPECT_EQ(x.checksum, fam.db.checksum);
    EXPECT_EQ(y.checksum, fam.db.checksum);
    ASSERT_NO_FATAL_FAILURE(checkSecondary(x, y, fam.db, {1}, {}));
    // No plain text is left in any file.
    for (const char* name : {"enc.db", "enc.px", "enc.mb", "enc.x02", "enc.y02"}) {
        const std::string bytes = test::readFile(dir.file(name));
        EXPECT_EQ(bytes.find("CONFIDENTIAL"), std::string::npos) << name;
    }

    const Table t = readBack(dir.file("enc.db"), "secret");
    expectRows(t, spec.records);
    EXPECT_EQ(indexesOf(t).size(), 2u);
    EXPECT_EQ(checksOf(t).size(), 1u);
    try {
        openTableFile(dir.file("enc.db"));
        FAIL() << "opened without a password";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), EDBEngineError::Code::Password);
    }
    EXPECT_THROW(readBack(dir.file("enc.db"), "wrong"), EDBEngineError);
}

TEST(ParadoxWriter, PasswordChecksumMatchesTheEngines) {
    // The corpus's encrypted tables use password 123 and store 0x0A25E09A.
    TempDir dir;
    TableSpec spec;
    spec.level = 5;
    spec.codePage = "CP850";
    spec.password = "123";
    spec.fields = {columnSpec("A", 'A', 5)};
    spec.records = {{Str("x")}};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("e123.db"), spec, fam));
    EXPECT_EQ(fam.db.checksum, 0x0A25E09Au);
    expectRows(readBack(dir.file("e123.db"), "123"), spec.records);
}

// --- Sizes ------------------------------------------------------------------------------------------

TEST(ParadoxWriter, EmptyTableWithIndexesAndChecks) {
    TempDir dir;
    TableSpec spec;
    spec.level = 7;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", '+'), columnSpec("Name", 'A', 10), columnSpec("Memo", 'M', 20)};
    spec.indexes = {indexSpec("", {"Name"}), indexSpec("NameDesc", {"Name"}, false, true)};
    CheckSpec c = Check("Name");
    c.required = true;
    spec.checks = {c};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("empty.db"), spec, fam));
    EXPECT_EQ(fam.db.numRecords, 0u);
    EXPECT_EQ(fam.db.fileBlocks, 0);
    EXPECT_EQ(fam.db.autoInc, 0u);
    EXPECT_EQ(fileBytes(dir.file("empty.db")).size(), fam.db.headerSize);
    EXPECT_EQ(fam.px.levels, 0);
    EXPECT_EQ(loadLE16(fileBytes(dir.file("empty.px")).data() + 0x1E), 1) << "the root of an empty tree";
    EXPECT_EQ(fileBytes(dir.file("empty.mb")).size(), 4096u);
    DataFile x;
    Tree y;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("empty.xg0")), x));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("empty.yg0")), y));
    EXPECT_EQ(x.fileType, 8);
    EXPECT_EQ(x.numRecords, 0u);
    const Table t = readBack(dir.file("empty.db"));
    EXPECT_TRUE(t.rows.empty());
    EXPECT_TRUE(t.file->warnings().empty());
    EXPECT_EQ(indexesOf(t).size(), 3u);
    EXPECT_EQ(checksOf(t).size(), 1u);
}

TEST(ParadoxWriter, ManyRecordsTwoLevelIndexes) {
    TempDir dir;
    TableSpec spec;
    spec.level = 5;
    spec.codePage = "CP437";
    spec.blockSizeKB = 1;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 20), columnSpec("Value", 'N')};
    std::vector<std::vector<FieldValue>> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back({Int(i * 3 - 30000), Str("n" + std::to_string((i * 7727) % 20000)), Real(i / 7.0)});
    spec.records = rows;
    std::shuffle(spec.records.begin(), spec.records.end(), std::mt19937(42));
    spec.indexes = {indexSpec("", {"Name"})};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("many.db"), spec, fam));
    EXPECT_GT(fam.db.chain.size(), 600u);
    EXPECT_EQ(fam.px.levels, 2);
    DataFile x;
    Tree y;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("many.x02")), x));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("many.y02")), y));
    EXPECT_EQ(y.levels, 2);
    ASSERT_NO_FATAL_FAILURE(checkSecondary(x, y, fam.db, {1}, {}));
    expectRows(readBack(dir.file("many.db")), rows);
}

TEST(ParadoxWriter, ThreeLevelIndexWithLongKeys) {
    TempDir dir;
    TableSpec spec;
    spec.level = 7;
    spec.codePage = "CP850";
    spec.blockSizeKB = 1;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Key", 'A', 100), columnSpec("N", 'S')};
    for (int i = 0; i < 4000; ++i) spec.records.push_back({Str("key-" + std::to_string(100000 + i * 13 % 4000)), Int(i % 30000)});
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("deep.db"), spec, fam));
    EXPECT_EQ(fam.px.levels, 3);
    EXPECT_EQ(readBack(dir.file("deep.db")).rows.size(), 4000u);
}

TEST(ParadoxWriter, IndexCountsStayWithinSixteenBits) {
    // 203 records a block and 203 entries an index block would count 41 209 records under one
    // entry; the tree is split so that no entry counts more than 32 767.
    TempDir dir;
    TableSpec spec;
    spec.level = 5;
    spec.blockSizeKB = 1;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("F", 'L')};
    for (int i = 0; i < 90000; ++i) spec.records.push_back({Int(i), Bool(i % 2 == 0)});
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("wide.db"), spec, fam));
    EXPECT_EQ(fam.px.levels, 2);
    EXPECT_EQ(fam.px.rootSum, 90000u);
}

// --- Compared with the engine's own files ---------------------------------------------------

namespace {

// A spec that rewrites a corpus table: its fields, key, level, code page, block size and records
// as our reader gives them.
TableSpec specFromCorpus(const std::string& path, int level, const std::string& codePage) {
    const Table t = readBack(path);
    const paradox::Header& h = t.px->header();
    TableSpec spec;
    spec.level = level;
    spec.codePage = codePage;
    spec.blockSizeKB = h.maxTableSize;
    spec.keyFields = h.primaryKeyFields;
    for (std::size_t i = 0; i < t.file->fields().size(); ++i) {
        const FieldDef& f = t.file->fields()[i];
        spec.fields.push_back(columnSpec(f.name, f.typeLetter, f.typeCode == 0x17 ? 0 : static_cast<int>(f.length), f.decimals));
    }
    spec.records = t.rows;
    return spec;
}

// Compares the header bytes that do not depend on the content or on the engine's memory.
void compareHeaders(const Bytes& ours, const Bytes& theirs, bool sameSortOrder, bool sameTableName) {
    auto same = [&](std::size_t at, std::size_t n, const char* what) {
        EXPECT_EQ(Bytes(ours.begin() + at, ours.begin() + at + n), Bytes(theirs.begin() + at, theirs.begin() + at + n))
            << what << " at 0x" << std::hex << at;
    };
    same(0x00, 2, "record size");
    same(0x02, 2, "header size");
    same(0x04, 2, "file type, block size");
    same(0x06, 4, "record count");
    same(0x0A, 8, "blocks in use, in the file, first, last");
    same(0x14, 2, "rebuild flag, index field");
    same(0x1E, 3, "index root and levels");
    same(0x21, 4, "field and key counts");
    same(0x25, 4, "encryption marker");
    if (sameSortOrder) same(0x29, 1, "sort order");
    same(0x2A, 3, "0x2A..0x2C");
    same(0x38, 8, "write protection, version, maxBlocks, 0x3C..0x3F");
    same(0x40, 9, "0x40..0x48");
    same(0x4D, 4, "free blocks, 0x4F, 0x50");
    if (sameSortOrder) same(0x51, 2, "realHeaderSize");
    same(0x53, 5, "0x53..0x57");
    same(0x58, 8, "file version words, checksum");
    same(0x64, 4, "hiFieldID, field-number offset");
    same(0x68, 6, "0x68, code page, 0x6C..0x6D");
    if (sameSortOrder) same(0x6E, 2, "sort-order name offset");
    same(0x72, 6, "0x72..0x77");
    // Differences, by design: 0x12 (a change counter), 0x16..0x1D and 0x30..0x37 (addresses in the
    // engine's memory, zero here), 0x2D/0x2E (change counters), 0x60 (time of writing), 0x70
    // (changeCount4: 0, 1 or 2 in the engine's tables, 1 here).
    const std::size_t n = loadLE16(ours.data() + 0x21);
    same(0x78, 2 * n, "field descriptors");
    const std::size_t tn = ours[0x39] >= 0x0C ? 261 : 79;
    const std::size_t name = 0x78 + 6 * n + 4;
    if (sameTableName) same(name, tn, "table name");
    const std::size_t end = loadLE16(ours.data() + 0x51);
    if (sameSortOrder) same(name + tn, end - (name + tn), "field names, field numbers, sort-order name");
}

}  // namespace

TEST(ParadoxWriter, MatchesTheEngineLevel5KeyedTable) {
    // fields/long.db: level 5, cp850 'ascii', keyed on an autoincrement field, with its .PX.
    const std::string source = test::paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/long.db");
    TempDir dir;
    const TableSpec spec = specFromCorpus(source, 5, "CP850");
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("long.db"), spec, fam));
    const Bytes ours = fileBytes(dir.file("long.db"));
    const Bytes theirs = fileBytes(source);
    compareHeaders(ours, theirs, true, true);
    EXPECT_EQ(loadLE32(ours.data() + 0x49), loadLE32(theirs.data() + 0x49)) << "the autoincrement counter";
    DataFile them;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(theirs, them, false));
    EXPECT_EQ(fam.db.records, them.records) << "the same record bytes";
    // The primary index.
    Tree theirTree;
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(test::paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/long.px")), theirTree));
    EXPECT_EQ(fam.px.keys, theirTree.keys);
    EXPECT_EQ(fam.px.counts, theirTree.counts);
    const Bytes ourPx = fileBytes(dir.file("long.px"));
    const Bytes theirPx = fileBytes(test::paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/long.px"));
    for (std::size_t at : {0x00, 0x04, 0x06, 0x0A, 0x0C, 0x0E, 0x10, 0x1E, 0x21, 0x23, 0x25, 0x29, 0x38, 0x39, 0x3E, 0x51, 0x55, 0x56})
        EXPECT_EQ(ourPx[at], theirPx[at]) << "PX byte 0x" << std::hex << at;
    // The PX repeats the table's change counter at 0x2C, as the engine's does.
    EXPECT_EQ(ourPx[0x2C], ours[0x2D]);
    EXPECT_EQ(theirPx[0x2C], theirs[0x2D]);
}

TEST(ParadoxWriter, MatchesTheEngineLevel7TableWithCaseInsensitiveIndex) {
    // db/AREACODES: level 7, cp1252 'DBWINUS0', 16 KB blocks, keyed, with the case-insensitive
    // single-field index 'ste' (.XG0/.YG0) that the engine wrote.
    const std::string base = "leonhad__paradoxdriver/src/test/resources/db/";
    const std::string source = test::paradoxCorpus(base + "AREACODES.DB");
    TempDir dir;
    TableSpec spec = specFromCorpus(source, 7, "CP1252");
    spec.indexes = {indexSpec("ste", {"State"}, true)};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("AREACODES.DB"), spec, fam));
    const Bytes ours = fileBytes(dir.file("AREACODES.DB"));
    const Bytes theirs = fileBytes(source);
    compareHeaders(ours, theirs, true, false);
    DataFile them;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(theirs, them, false));
    EXPECT_EQ(fam.db.records, them.records);
    EXPECT_EQ(fam.db.chain, them.chain);

    Tree theirPx;
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(test::paradoxCorpus(base + "AREACODES.PX")), theirPx));
    EXPECT_EQ(fam.px.keys, theirPx.keys);
    EXPECT_EQ(fam.px.children, theirPx.children);
    EXPECT_EQ(fam.px.counts, theirPx.counts);

    DataFile ourX, theirX;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("AREACODES.XG0")), ourX));
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(test::paradoxCorpus(base + "AREACODES.XG0")), theirX, false));
    const Bytes ourXBytes = fileBytes(dir.file("AREACODES.XG0"));
    const Bytes theirXBytes = fileBytes(test::paradoxCorpus(base + "AREACODES.XG0"));
    compareHeaders(ourXBytes, theirXBytes, true, false);
    EXPECT_EQ(ourXBytes[0x2C], theirXBytes[0x2C]);
    EXPECT_EQ(ourXBytes[0x2E], ours[0x2E]);
    EXPECT_EQ(theirXBytes[0x2E], theirs[0x2E]) << "an index repeats its table's 0x2E";
    EXPECT_EQ(ourX.names, theirX.names);
    EXPECT_EQ(ourX.numbers, theirX.numbers);
    EXPECT_EQ(ourX.indexName, theirX.indexName);
    EXPECT_EQ(ourX.options, theirX.options);
    EXPECT_EQ(ourX.records, theirX.records) << "the index records in the engine's order";
    Tree ourY, theirY;
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(dir.file("AREACODES.YG0")), ourY));
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(test::paradoxCorpus(base + "AREACODES.YG0")), theirY));
    EXPECT_EQ(ourY.keys, theirY.keys);
    EXPECT_EQ(ourY.counts, theirY.counts);
    EXPECT_EQ(ourY.fields, theirY.fields);
}

TEST(ParadoxWriter, MatchesTheEngineLevel4TwoLevelIndex) {
    // areas/ZIPCODES: level 4, cp437 'ascii', 43 185 records, a two-level .PX.
    const std::string base = "leonhad__paradoxdriver/src/test/resources/areas/";
    const std::string source = test::paradoxCorpus(base + "ZIPCODES.DB");
    TempDir dir;
    const TableSpec spec = specFromCorpus(source, 4, "CP437");
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("ZIPCODES.DB"), spec, fam));
    const Bytes ours = fileBytes(dir.file("ZIPCODES.DB"));
    const Bytes theirs = fileBytes(source);
    compareHeaders(ours, theirs, true, false);
    DataFile them;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(theirs, them, false));
    EXPECT_EQ(fam.db.records, them.records);
    Tree theirPx;
    ASSERT_NO_FATAL_FAILURE(parseTree(fileBytes(test::paradoxCorpus(base + "ZIPCODES.PX")), theirPx));
    EXPECT_EQ(fam.px.levels, theirPx.levels);
    EXPECT_EQ(fam.px.keys, theirPx.keys);
    EXPECT_EQ(fam.px.counts, theirPx.counts);
    EXPECT_EQ(fam.px.rootSum, theirPx.rootSum);
}

TEST(ParadoxWriter, MatchesTheEngineLevel7TableWithMemo) {
    // db/CUSTOMER: level 7, cp1252, a memo in the .MB, an autoincrement key and the .X06 index
    // on City. The engine labelled it 'ANSII850'; we write 'DBWINUS0', so the sort-order bytes
    // (0x29, 0x51, 0x6E and the string) differ.
    const std::string base = "leonhad__paradoxdriver/src/test/resources/db/";
    const std::string source = test::paradoxCorpus(base + "CUSTOMER.DB");
    TempDir dir;
    TableSpec spec = specFromCorpus(source, 7, "CP1252");
    spec.indexes = {indexSpec("City", {"City"})};
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("CUSTOMER.DB"), spec, fam));
    const Bytes ours = fileBytes(dir.file("CUSTOMER.DB"));
    const Bytes theirs = fileBytes(source);
    compareHeaders(ours, theirs, false, false);
    // The engine's counter (44) remembers deleted records; ours is the largest value written.
    EXPECT_EQ(loadLE32(ours.data() + 0x49), 20u);
    DataFile them;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(theirs, them, false));
    ASSERT_EQ(fam.db.records.size(), them.records.size());
    // Every byte but the memo's pointer and modification number (the engine's .MB has a history
    // of its own, so its BLOBs sit elsewhere).
    const unsigned memoAt = fam.db.offsets[8];
    for (std::size_t r = 0; r < them.records.size(); ++r) {
        Bytes a = fam.db.records[r], b = them.records[r];
        for (Bytes* rec : {&a, &b}) {
            std::fill(rec->begin() + memoAt + 100, rec->begin() + memoAt + 104, 0);
            std::fill(rec->begin() + memoAt + 108, rec->begin() + memoAt + 110, 0);
        }
        EXPECT_EQ(a, b) << "record " << r;
    }
    DataFile ourX, theirX;
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(dir.file("CUSTOMER.X06")), ourX));
    ASSERT_NO_FATAL_FAILURE(parseDataFile(fileBytes(test::paradoxCorpus(base + "CUSTOMER.X06")), theirX, false));
    EXPECT_EQ(ourX.fields, theirX.fields);
    EXPECT_EQ(ourX.names, theirX.names);
    EXPECT_EQ(ourX.numbers, theirX.numbers);
    EXPECT_EQ(ourX.keyFields, theirX.keyFields);
    EXPECT_EQ(ourX.indexField, theirX.indexField);
    EXPECT_EQ(ourX.records, theirX.records);
    expectRows(readBack(dir.file("CUSTOMER.DB")), spec.records);
}

// --- Refusals -------------------------------------------------------------------------------------

namespace {

TableSpec smallSpec() {
    TableSpec spec;
    spec.level = 7;
    spec.codePage = "CP1252";
    spec.blockSizeKB = 2;
    spec.keyFields = 1;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 10), columnSpec("Notes", 'M', 20), columnSpec("When", 'D')};
    spec.records = {{Int(1), Str("one"), Str(text(3000, 1)), Day(2020, 1, 1)},
                    {Int(2), Str("two"), Null(), Null()}};
    spec.indexes = {indexSpec("", {"Name"})};
    CheckSpec c = Check("Name");
    c.required = true;
    spec.checks = {c};
    return spec;
}

}  // namespace

TEST(ParadoxWriter, WritesTheSmallSpec) {
    // The base of the refusal cases below is itself fine.
    TempDir dir;
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("t.db"), smallSpec(), fam));
    EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"t.db", "t.mb", "t.px", "t.val", "t.x02", "t.y02"}));
}

TEST(ParadoxWriter, RefusesWhatTheFormatCannotHold) {
    struct Case {
        const char* what;
        std::function<void(TableSpec&)> change;
    };
    const Case cases[] = {
        {"256 fields",
         [](TableSpec& s) {
             s.fields.clear();
             for (int i = 0; i < 256; ++i) s.fields.push_back(columnSpec("F" + std::to_string(i), 'S'));
             s.records.clear();
             s.indexes.clear();
             s.checks.clear();
         }},
        {"a name of 26 characters", [](TableSpec& s) { s.fields[1].name = std::string(26, 'n'); }},
        {"a name twice, in another case", [](TableSpec& s) { s.fields[3].name = "NAME"; }},
        {"Cyrillic names equal ignoring case",
         [](TableSpec& s) {
             s.codePage = "CP866";
             s.indexes.clear();
             s.keyFields = 1;
             s.fields[1].name = "имя";
             s.fields[3].name = "ИМЯ";
             s.checks.clear();
         }},
        {"an empty name", [](TableSpec& s) { s.fields[3].name = ""; }},
        {"a name outside the code page", [](TableSpec& s) { s.fields[3].name = "日付"; }},
        {"Alpha of 0 bytes", [](TableSpec& s) { s.fields[1].size = 0; }},
        {"Alpha of 256 bytes", [](TableSpec& s) { s.fields[1].size = 256; }},
        {"a memo of 10 bytes", [](TableSpec& s) { s.fields[2].size = 10; }},
        {"a BLOB of 251 bytes", [](TableSpec& s) { s.fields[2] = columnSpec("Notes", 'B', 251); s.records[0][2] = Bin("x"); }},
        {"Bytes of 0", [](TableSpec& s) { s.fields[3] = columnSpec("When", 'Y', 0); s.records[0][3] = Null(); }},
        {"a size for a fixed type", [](TableSpec& s) { s.fields[3].size = 8; }},
        {"BCD with 33 decimals", [](TableSpec& s) { s.fields[3] = columnSpec("When", '#', 0, 33); s.records[0][3] = Null(); }},
        {"a type level 4 lacks", [](TableSpec& s) { s.level = 4; s.fields[3] = columnSpec("When", 'L'); s.records[0][3] = Null(); }},
        {"an unknown type", [](TableSpec& s) { s.fields[3].type = 'X'; }},
        {"level 3", [](TableSpec& s) { s.level = 3; }},
        {"level 6", [](TableSpec& s) { s.level = 6; }},
        {"3 KB blocks", [](TableSpec& s) { s.blockSizeKB = 3; }},
        {"8 KB blocks at level 4", [](TableSpec& s) { s.level = 4; s.blockSizeKB = 8; s.indexes.clear(); }},
        {"a record larger than the block",
         [](TableSpec& s) {
             s.blockSizeKB = 1;
             for (int i = 0; i < 5; ++i) s.fields.push_back(columnSpec("Wide" + std::to_string(i), 'A', 255));
             for (auto& r : s.records) r.resize(s.fields.size());
         }},
        {"a record larger than level 4 allows",
         [](TableSpec& s) {
             s.level = 4;
             s.blockSizeKB = 4;
             for (int i = 0; i < 6; ++i) s.fields.push_back(columnSpec("Wide" + std::to_string(i), 'A', 255));
             for (auto& r : s.records) r.resize(s.fields.size());
         }},
        {"a key on a memo", [](TableSpec& s) { s.keyFields = 3; }},
        {"a text key under 'cyrr'", [](TableSpec& s) { s.codePage = "CP866"; s.keyFields = 2; s.indexes.clear(); }},
        {"an unknown code page", [](TableSpec& s) { s.codePage = "CP1250"; }},
        {"more key fields than fields", [](TableSpec& s) { s.keyFields = 5; }},
        {"text too long", [](TableSpec& s) { s.records[1][1] = Str("eleven char"); }},
        {"text outside the code page", [](TableSpec& s) { s.records[1][1] = Str("日本"); }},
        {"a memo outside the code page", [](TableSpec& s) { s.records[1][2] = Str("日本"); }},
        {"binary data in a memo", [](TableSpec& s) { s.records[1][2] = Bin("x"); }},
        {"text in a date", [](TableSpec& s) { s.records[1][3] = Str("2020-01-01"); }},
        {"a value out of range", [](TableSpec& s) { s.records[1][0] = Int(2147483648LL); }},
        {"too few values", [](TableSpec& s) { s.records[1].pop_back(); }},
        {"a duplicate key", [](TableSpec& s) { s.records[1][0] = Int(1); }},
        {"two autoincrement fields",
         [](TableSpec& s) {
             s.fields.push_back(columnSpec("A1", '+'));
             s.fields.push_back(columnSpec("A2", '+'));
             for (auto& r : s.records) r.resize(s.fields.size());
         }},
        {"an autoincrement value of 0",
         [](TableSpec& s) {
             s.fields.push_back(columnSpec("A1", '+'));
             for (auto& r : s.records) r.push_back(Int(0));
         }},
        {"a graphic that fits the leader",
         [](TableSpec& s) { s.fields[2] = columnSpec("Notes", 'G', 60); s.records[0][2] = Bin("BM" + noise(20, 1)); }},
        {"an index on a missing field", [](TableSpec& s) { s.indexes = {indexSpec("", {"Nope"})}; }},
        {"an index on a memo", [](TableSpec& s) { s.indexes = {indexSpec("", {"Notes"})}; }},
        {"an index starting with the first key field", [](TableSpec& s) { s.indexes = {indexSpec("IdName", {"Id", "Name"})}; }},
        {"a composite index without a name", [](TableSpec& s) { s.indexes = {indexSpec("", {"Name", "When"})}; }},
        {"two indexes on one field", [](TableSpec& s) { s.indexes = {indexSpec("", {"Name"}), indexSpec("Name", {"Name"})}; }},
        {"two indexes of one name",
         [](TableSpec& s) { s.indexes = {indexSpec("X", {"Name"}, true), indexSpec("x", {"When"}, true)}; }},
        {"a descending index at level 5", [](TableSpec& s) { s.level = 5; s.indexes = {indexSpec("D", {"Name"}, false, true)}; }},
        {"a unique index at level 5", [](TableSpec& s) { s.level = 5; s.indexes = {indexSpec("U", {"Name"}, false, false, true)}; }},
        {"a unique index meeting a duplicate",
         [](TableSpec& s) { s.records[1][1] = Str("one"); s.indexes = {indexSpec("U", {"Name"}, false, false, true)}; }},
        {"a case-insensitive index over accented text",
         [](TableSpec& s) { s.records[1][1] = Str("été"); s.indexes = {indexSpec("C", {"Name"}, true)}; }},
        {"an index with a key expression", [](TableSpec& s) { s.indexes[0].expression = "UPPER(Name)"; }},
        {"an index of 17 fields",
         [](TableSpec& s) {
             for (int i = 0; i < 16; ++i) s.fields.push_back(columnSpec("S" + std::to_string(i), 'S'));
             for (auto& r : s.records) r.resize(s.fields.size());
             s.indexes = {indexSpec("Many", {"Name"})};
             for (int i = 0; i < 16; ++i) s.indexes[0].fields.push_back("S" + std::to_string(i));
         }},
        {"an index of an unkeyed table that holds records", [](TableSpec& s) { s.keyFields = 0; }},
        {"a check of a missing field", [](TableSpec& s) { s.checks[0].field = "Nope"; }},
        {"two checks of one field", [](TableSpec& s) { s.checks.push_back(s.checks[0]); }},
        {"TODAY on a number",
         [](TableSpec& s) { s.checks[0] = Check("Id"); s.checks[0].minKind = BoundKind::Today; }},
        {"NOW on a date", [](TableSpec& s) { s.checks[0] = Check("When"); s.checks[0].maxKind = BoundKind::Now; }},
        {"a bound on a memo",
         [](TableSpec& s) {
             s.checks[0] = Check("Notes");
             s.checks[0].defaultKind = BoundKind::Value;
             s.checks[0].defaultValue = Str("x");
         }},
        {"a bound without a value", [](TableSpec& s) { s.checks[0].minKind = BoundKind::Value; }},
        {"a bound the field cannot hold",
         [](TableSpec& s) { s.checks[0].maxKind = BoundKind::Value; s.checks[0].maxValue = Str("far too long"); }},
        {"a picture of 176 characters", [](TableSpec& s) { s.checks[0].picture = std::string(176, '#'); }},
        {"a Paradox table of another format", [](TableSpec& s) { s.format = TableFormat::DBase; }},
        {"a deleted record", [](TableSpec& s) { s.deleted = {false, true}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        TableSpec spec = smallSpec();
        c.change(spec);
        EXPECT_THROW(paradox::createTable(dir.file("t.db"), spec), EDBEngineError);
        EXPECT_TRUE(folderEntries(dir.path()).empty()) << "files left behind";
    }
}

TEST(ParadoxWriter, RefusalMessagesSayWhat) {
    TempDir dir;
    TableSpec spec = smallSpec();
    spec.records[1][0] = Int(1);
    try {
        paradox::createTable(dir.file("t.db"), spec);
        FAIL() << "duplicate keys written";
    } catch (const EDBEngineError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("t.db"), std::string::npos) << m;
        EXPECT_NE(m.find("same key"), std::string::npos) << m;
        EXPECT_NE(m.find("Id = 1"), std::string::npos) << m;
    }
    spec = smallSpec();
    spec.records[1][1] = Str("eleven char");
    try {
        paradox::createTable(dir.file("t.db"), spec);
        FAIL() << "a long text written";
    } catch (const EDBEngineError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("record 2"), std::string::npos) << m;
        EXPECT_NE(m.find("Name"), std::string::npos) << m;
        EXPECT_NE(m.find("11 bytes"), std::string::npos) << m;
    }
}

TEST(ParadoxWriter, NeverReplacesExistingFiles) {
    // The table itself, or any file of its family in any case, blocks the creation and stays as
    // it was.
    for (const char* existing : {"t.db", "T.DB", "t.px", "T.MB", "t.Val", "t.x02", "T.Y05", "t.XG3", "t.yg0"}) {
        SCOPED_TRACE(existing);
        TempDir dir;
        test::writeFile(dir.file(existing), "keep me");
        EXPECT_THROW(createTable(dir.file("t.db"), smallSpec()), EDBEngineError);
        EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{existing});
        EXPECT_EQ(test::readFile(dir.file(existing)), "keep me");
    }
    // Files of other tables do not matter.
    TempDir dir;
    test::writeFile(dir.file("t2.db"), "other");
    test::writeFile(dir.file("t.txt"), "other");
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("t.db"), smallSpec(), fam));
}

TEST(ParadoxWriter, RefusesAPathItCannotUse) {
    TempDir dir;
    EXPECT_THROW(createTable(dir.file("t.dbf"), smallSpec()), EDBEngineError);
    EXPECT_THROW(createTable(dir.file("missing/t.db"), smallSpec()), EDBEngineError);
    EXPECT_TRUE(folderEntries(dir.path()).empty());
}

TEST(ParadoxWriter, UpperCaseNameGivesUpperCaseCompanions) {
    TempDir dir;
    Family fam;
    ASSERT_NO_FATAL_FAILURE(writeAndCheck(dir.file("Orders.DB"), smallSpec(), fam));
    EXPECT_EQ(folderEntries(dir.path()),
              (std::vector<std::string>{"Orders.DB", "Orders.MB", "Orders.PX", "Orders.VAL", "Orders.X02", "Orders.Y02"}));
    EXPECT_EQ(fam.db.tableName, "Orders.DB");
}
