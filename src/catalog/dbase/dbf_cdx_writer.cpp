#include "dbf_cdx_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>

#include "../byte_order.h"
#include "../codepage.h"
#include "../field_value.h"
#include "dbf_index_entries.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

namespace {

constexpr std::size_t kNode = kCdxNodeBytes;
constexpr std::size_t kLeafEntriesAt = 24;
constexpr std::size_t kInnerEntriesAt = 12;
constexpr std::uint32_t kNoSibling = 0xFFFFFFFFu;
constexpr std::size_t kWideEntryBytes = 3;
constexpr std::size_t kMaxRecordBits = 32;
constexpr int kMaxDepth = 64;
constexpr double kJulianDayOfDayZero = 1721425.0;  // day number 1 (1 January 0001) is Julian day 1721426

constexpr std::uint16_t kInner = 0x00, kRoot = 0x01, kLeaf = 0x02, kFoxLeaf = 0x04;
constexpr std::uint8_t kOptionUnique = 0x01, kOptionNullByte = 0x02, kOptionCandidate = 0x04, kOptionFor = 0x08, kOptionCompact = 0x20, kOptionCompound = 0x40,
                       kOptionStructural = 0x80;

// Bits needed for the values 0..v.
unsigned bitWidth(std::uint64_t v) {
    unsigned bits = 0;
    while (v != 0) {
        ++bits;
        v >>= 1;
    }
    return bits;
}

// One entry of a tree in index order.
struct Entry {
    std::uint32_t record = 0;
    const std::string* key = nullptr;
};

// The layout of a leaf's entries.
struct LeafLayout {
    std::size_t entryBytes = 1;
    unsigned recordBits = 0;
};

LeafLayout leafLayout(std::uint32_t maxRecord, unsigned countBits, std::size_t minBytes) {
    const std::size_t needed = 2 * countBits + std::max(1u, bitWidth(maxRecord));
    LeafLayout l;
    l.entryBytes = std::max(minBytes, (needed + 7) / 8);
    l.recordBits = static_cast<unsigned>(std::min<std::size_t>(kMaxRecordBits, l.entryBytes * 8 - 2 * countBits));
    return l;
}

// What the level above keeps of a node: its last entry.
struct NodeEnd {
    std::uint32_t lastRecord = 0;
    std::string lastKey;
};

// Builds the nodes of one tree from its entries, read twice: once to count the nodes, once to
// write them. Memory holds one leaf's entries and one entry per node of the levels above.
// How big a tree is.
struct TreeSize {
    std::size_t leaves = 0, nodes = 0;
};

class TreeBuilder {
public:
    TreeBuilder(std::size_t keyLength, char filler, CdxLeafStyle style)
        : keyLength_(keyLength), filler_(filler), packer_(keyLength, filler, style) {}

    // The leaves and the nodes in all the tree over the entries takes.
    TreeSize size(CdxEntries& entries) {
        TreeSize t;
        entries.rewind();
        pack(entries, [&](const std::vector<CdxLeafEntry>&) { ++t.leaves; });
        t.nodes = t.leaves;
        for (std::size_t level = t.leaves; level > 1;) {
            level = (level + innerPerNode() - 1) / innerPerNode();
            t.nodes += level;
        }
        return t;
    }

    // Writes the nodes from `firstOffset` on: the leaves, then each upper level, the root last.
    // `tree` is what size() gave. Returns the root's offset.
    std::uint64_t write(CdxEntries& entries, std::uint64_t firstOffset, const TreeSize& tree, const CdxSink& sink) {
        const std::size_t leafCount = tree.leaves;
        std::vector<NodeEnd> below;
        std::uint64_t at = firstOffset;
        entries.rewind();
        pack(entries, [&](const std::vector<CdxLeafEntry>& leafEntries) {
            std::vector<std::uint8_t> n = packer_.leaf(leafEntries);
            const std::size_t i = below.size();
            if (i >= leafCount) throw std::logic_error("a .cdx tree's leaves came out more the second time");
            link(n.data(), i, leafCount, at, leafCount == 1);
            sink(at + i * kNode, n.data(), n.size());
            NodeEnd end;
            if (!leafEntries.empty()) {
                end.lastRecord = leafEntries.back().record;
                end.lastKey = leafEntries.back().key;
            } else {
                end.lastKey.assign(keyLength_, filler_);
            }
            below.push_back(std::move(end));
        });
        if (below.size() != leafCount) throw std::logic_error("a .cdx tree's leaves came out fewer the second time");
        std::uint64_t levelAt = at;
        at += leafCount * kNode;
        while (below.size() > 1) {
            const std::size_t perNode = innerPerNode();
            const std::size_t count = (below.size() + perNode - 1) / perNode;
            std::vector<NodeEnd> upper;
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t first = i * perNode, n = std::min(perNode, below.size() - first);
                std::vector<std::uint8_t> node(kNode, 0);
                std::uint8_t* p = node.data();
                storeLE16(p, kInner);
                storeLE16(p + 2, static_cast<std::uint16_t>(n));
                for (std::size_t j = 0; j < n; ++j) {
                    std::uint8_t* e = p + kInnerEntriesAt + j * (keyLength_ + 8);
                    std::memcpy(e, below[first + j].lastKey.data(), keyLength_);
                    storeBE32(e + keyLength_, below[first + j].lastRecord);
                    storeBE32(e + keyLength_ + 4, offset32(levelAt + (first + j) * kNode));
                }
                link(p, i, count, at, count == 1);
                sink(at + i * kNode, node.data(), node.size());
                upper.push_back(below[first + n - 1]);
            }
            levelAt = at;
            at += count * kNode;
            below = std::move(upper);
        }
        return levelAt;
    }

private:
    static std::uint32_t offset32(std::uint64_t v) {
        if (v > 0xFFFFFFFFull) throw std::invalid_argument("the index file would grow past 4 GB");
        return static_cast<std::uint32_t>(v);
    }

    std::size_t innerPerNode() const {
        const std::size_t perNode = (kNode - kInnerEntriesAt) / (keyLength_ + 8);
        if (perNode < 2) throw std::invalid_argument("a key of " + std::to_string(keyLength_) + " bytes does not fit a node");
        return perNode;
    }

    // Node i of a level of `count` nodes starting at `levelAt`: its siblings, and the root mark.
    static void link(std::uint8_t* n, std::size_t i, std::size_t count, std::uint64_t levelAt, bool root) {
        if (root) storeLE16(n, static_cast<std::uint16_t>(loadLE16(n) | kRoot));
        storeLE32(n + 4, i == 0 ? kNoSibling : offset32(levelAt + (i - 1) * kNode));
        storeLE32(n + 8, i + 1 == count ? kNoSibling : offset32(levelAt + (i + 1) * kNode));
    }

    // The entries cut into leaves, each as full as its entries fit (at least one leaf, empty when
    // there are no entries); `onLeaf` gets each leaf's entries.
    template <class OnLeaf>
    void pack(CdxEntries& entries, OnLeaf onLeaf) {
        std::vector<CdxLeafEntry> leafEntries;
        std::size_t keyBytes = 0;
        std::uint32_t maxRecord = 0;
        bool any = false;
        std::uint32_t record = 0;
        const char* key = nullptr;
        while (entries.next(record, key)) {
            // Take entries while they fit: entries and the key bytes they store.
            for (;;) {
                const std::size_t stored = packer_.stored(leafEntries.empty() ? nullptr : leafEntries.back().key.data(), key);
                const std::uint32_t m = std::max(maxRecord, record);
                if (!leafEntries.empty() && !packer_.fits(leafEntries.size() + 1, m, keyBytes + stored)) {
                    onLeaf(leafEntries);
                    any = true;
                    leafEntries.clear();
                    keyBytes = 0;
                    maxRecord = 0;
                    continue;
                }
                if (!packer_.fits(1, m, stored))
                    throw std::invalid_argument("a key of " + std::to_string(keyLength_) + " bytes does not fit a node");
                maxRecord = m;
                keyBytes += stored;
                leafEntries.push_back({record, std::string(key, keyLength_)});
                break;
            }
        }
        if (!leafEntries.empty() || !any) onLeaf(leafEntries);
    }

    std::size_t keyLength_;
    char filler_;
    CdxLeafPacker packer_;
};

// Entries held in memory, in index order.
class MemoryEntries final : public CdxEntries {
public:
    explicit MemoryEntries(std::vector<Entry> entries) : entries_(std::move(entries)) {}
    void rewind() override { at_ = 0; }
    bool next(std::uint32_t& record, const char*& key) override {
        if (at_ == entries_.size()) return false;
        record = entries_[at_].record;
        key = entries_[at_].key->data();
        ++at_;
        return true;
    }

private:
    std::vector<Entry> entries_;
    std::size_t at_ = 0;
};

// Keys compare as unsigned bytes.
int compareKeys(const std::string& a, const std::string& b) {
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The entries of a tag in index order.
std::vector<Entry> orderedEntries(const CdxTag& tag) {
    std::vector<Entry> entries(tag.records.size());
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = Entry{tag.records[i], &tag.keys[i]};
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        const int c = compareKeys(*a.key, *b.key);
        if (c != 0) return tag.descending ? c > 0 : c < 0;
        return a.record < b.record;
    });
    return entries;
}

void checkTag(const CdxTag& tag) {
    const std::string what = "tag " + tag.name;
    if (tag.keyLength < 1 || tag.keyLength > kCdxMaxKeyLength)
        throw std::invalid_argument(what + " has keys of " + std::to_string(tag.keyLength) + " bytes");
    if (tag.name.empty() || tag.name.size() > kCdxTagNameLength)
        throw std::invalid_argument("the tag name \"" + tag.name + "\" is not 1 to 10 characters long");
    if (!tag.headerTemplate.empty() && tag.headerTemplate.size() != kCdxHeaderBytes)
        throw std::invalid_argument(what + ": its header template is not 1024 bytes long");
    if (tag.headerTemplate.empty() && tag.expression.size() + tag.forExpression.size() + 2 > kCdxHeaderBytes - 512)
        throw std::invalid_argument(what + ": its expressions are too long");
}

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::vector<std::uint8_t> tagHeader(const CdxTag& tag, std::uint64_t root) {
    std::vector<std::uint8_t> h = tag.headerTemplate;
    if (h.empty()) {
        h.assign(kCdxHeaderBytes, 0);
        h[14] = static_cast<std::uint8_t>(kOptionCompact | kOptionCompound | (tag.unique ? kOptionUnique : 0) |
                                          (tag.nullByte ? kOptionNullByte : 0) |
                                          (tag.candidate ? kOptionCandidate : 0) |
                                          (tag.forExpression.empty() ? 0 : kOptionFor));
        h[15] = 1;
        const std::size_t keyPool = tag.expression.size() + 1, forPool = tag.forExpression.size() + 1;
        storeLE16(h.data() + 504, static_cast<std::uint16_t>(keyPool));
        storeLE16(h.data() + 506, static_cast<std::uint16_t>(forPool));
        storeLE16(h.data() + 510, static_cast<std::uint16_t>(keyPool));
        std::memcpy(h.data() + 512, tag.expression.data(), tag.expression.size());
        std::memcpy(h.data() + 512 + keyPool, tag.forExpression.data(), tag.forExpression.size());
    }
    storeLE32(h.data(), static_cast<std::uint32_t>(root));
    storeLE32(h.data() + 4, 0);
    storeLE16(h.data() + 12, static_cast<std::uint16_t>(tag.keyLength));
    storeLE16(h.data() + 502, tag.descending ? 1 : 0);
    return h;
}

}  // namespace

// --- one leaf ------------------------------------------------------------------------------------

CdxLeafPacker::CdxLeafPacker(std::size_t keyLength, char filler, CdxLeafStyle style)
    : keyLength_(keyLength), filler_(static_cast<std::uint8_t>(filler)), style_(style), countBits_(bitWidth(keyLength)) {}

std::size_t CdxLeafPacker::trail(const char* key) const {
    std::size_t t = 0;
    while (t < keyLength_ && static_cast<std::uint8_t>(key[keyLength_ - 1 - t]) == filler_) ++t;
    return t;
}

std::size_t CdxLeafPacker::duplicates(const char* previous, const char* key, std::size_t trail) const {
    if (!previous) return 0;
    // Shared from the start, no further than the bytes the previous key stores before its trail
    // nor the bytes this key stores before its own.
    const std::size_t n = std::min(keyLength_ - this->trail(previous), keyLength_ - trail);
    std::size_t d = 0;
    while (d < n && previous[d] == key[d]) ++d;
    return d;
}

std::size_t CdxLeafPacker::stored(const char* previous, const char* key) const {
    const std::size_t t = trail(key);
    return keyLength_ - t - duplicates(previous, key, t);
}

bool CdxLeafPacker::fits(std::size_t count, std::uint32_t maxRecord, std::size_t keyBytes) const {
    // The entries at the width the style fills leaves with.
    const std::size_t fitBytes = style_ == CdxLeafStyle::Narrow ? 1 : kWideEntryBytes;
    return kLeafEntriesAt + count * leafLayout(maxRecord, countBits_, fitBytes).entryBytes + keyBytes <= kNode;
}

bool CdxLeafPacker::fits(const std::vector<CdxLeafEntry>& entries) const {
    std::size_t keyBytes = 0;
    std::uint32_t maxRecord = 0;
    for (std::size_t j = 0; j < entries.size(); ++j) {
        keyBytes += stored(j == 0 ? nullptr : entries[j - 1].key.data(), entries[j].key.data());
        maxRecord = std::max(maxRecord, entries[j].record);
    }
    return fits(entries.size(), maxRecord, keyBytes);
}

std::vector<std::uint8_t> CdxLeafPacker::leaf(const std::vector<CdxLeafEntry>& entries) const {
    std::uint32_t maxRecord = 0;
    for (const CdxLeafEntry& e : entries) maxRecord = std::max(maxRecord, e.record);
    const LeafLayout layout = leafLayout(maxRecord, countBits_, style_ == CdxLeafStyle::Wide ? kWideEntryBytes : 1);
    std::vector<std::uint8_t> node(kNode, 0);
    std::uint8_t* n = node.data();
    const std::size_t count = entries.size();
    storeLE16(n, static_cast<std::uint16_t>(kLeaf | (style_ == CdxLeafStyle::VisualFoxPro ? kFoxLeaf : 0)));
    storeLE16(n + 2, static_cast<std::uint16_t>(count));
    storeLE32(n + 4, kNoSibling);
    storeLE32(n + 8, kNoSibling);

    // Counts and key bytes.
    std::vector<std::size_t> dups(count), trails(count);
    std::size_t keyAt = kNode;
    for (std::size_t j = 0; j < count; ++j) {
        const std::string& key = entries[j].key;
        trails[j] = trail(key.data());
        dups[j] = duplicates(j == 0 ? nullptr : entries[j - 1].key.data(), key.data(), trails[j]);
        const std::size_t stored = keyLength_ - trails[j] - dups[j];
        keyAt -= stored;
        std::memcpy(n + keyAt, key.data() + dups[j], stored);
    }

    auto packEntries = [&](const LeafLayout& l, std::size_t from) {
        for (std::size_t j = from; j < count; ++j) {
            const std::uint64_t v = entries[j].record | (static_cast<std::uint64_t>(dups[j]) << l.recordBits) |
                                    (static_cast<std::uint64_t>(trails[j]) << (l.recordBits + countBits_));
            for (std::size_t b = 0; b < l.entryBytes; ++b)
                n[kLeafEntriesAt + j * l.entryBytes + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    };
    if (style_ == CdxLeafStyle::VisualFoxPro) {
        const LeafLayout wide = leafLayout(maxRecord, countBits_, kWideEntryBytes);
        if (count > 0 && kLeafEntriesAt + count * wide.entryBytes <= keyAt) packEntries(wide, count - 1);
    }
    packEntries(layout, 0);

    storeLE16(n + 12, static_cast<std::uint16_t>(keyAt - kLeafEntriesAt - count * layout.entryBytes));
    storeLE32(n + 14, layout.recordBits >= 32 ? 0xFFFFFFFFu : (1u << layout.recordBits) - 1);
    n[18] = n[19] = static_cast<std::uint8_t>((1u << countBits_) - 1);
    n[20] = static_cast<std::uint8_t>(layout.recordBits);
    n[21] = n[22] = static_cast<std::uint8_t>(countBits_);
    n[23] = static_cast<std::uint8_t>(layout.entryBytes);
    return node;
}

std::vector<std::uint8_t> buildCdx(const std::vector<CdxTag>& tags, const std::vector<std::uint8_t>& fileTemplate) {
    for (const CdxTag& tag : tags) {
        checkTag(tag);
        if (tag.keys.size() != tag.records.size())
            throw std::invalid_argument("tag " + tag.name + " has " + std::to_string(tag.keys.size()) + " keys for " +
                                        std::to_string(tag.records.size()) + " records");
        for (const std::string& k : tag.keys)
            if (k.size() != tag.keyLength)
                throw std::invalid_argument("tag " + tag.name + " has a key of " + std::to_string(k.size()) + " bytes");
    }
    std::vector<std::unique_ptr<MemoryEntries>> owned;
    std::vector<CdxEntries*> entries;
    for (const CdxTag& tag : tags) {
        owned.push_back(std::make_unique<MemoryEntries>(orderedEntries(tag)));
        entries.push_back(owned.back().get());
    }
    std::vector<std::uint8_t> file;
    writeCdx(tags, entries, fileTemplate, [&](std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
        if (file.size() < offset + n) file.resize(static_cast<std::size_t>(offset + n));
        std::memcpy(file.data() + offset, data, n);
    });
    return file;
}

void writeCdx(const std::vector<CdxTag>& tags, const std::vector<CdxEntries*>& entries,
              const std::vector<std::uint8_t>& fileTemplate, const CdxSink& sink) {
    std::set<std::string> names;
    for (const CdxTag& tag : tags) {
        checkTag(tag);
        if (!names.insert(upperAscii(tag.name)).second)
            throw std::invalid_argument("the tag name " + tag.name + " is there twice");
    }

    // The nodes each tag's tree takes.
    std::vector<TreeSize> trees;
    for (std::size_t i = 0; i < tags.size(); ++i)
        trees.push_back(TreeBuilder(tags[i].keyLength, tags[i].filler, tags[i].leafStyle).size(*entries.at(i)));

    // The directory: its size depends on the offsets it holds (the width of its entries), the
    // offsets on its size. More nodes never need fewer, so counting up from one settles it.
    std::vector<std::string> dirKeys(tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        dirKeys[i] = upperAscii(tags[i].name);
        dirKeys[i].resize(kCdxTagNameLength, ' ');
    }
    std::vector<std::uint32_t> headerOffsets(tags.size());
    std::vector<Entry> dirEntries;
    TreeBuilder dirBuilder(kCdxTagNameLength, ' ', CdxLeafStyle::Narrow);
    TreeSize dirTree{1, 1};
    for (;;) {
        std::uint64_t at = kCdxHeaderBytes + dirTree.nodes * kNode;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (at > 0xFFFFFFFFull) throw std::invalid_argument("the index file would grow past 4 GB");
            headerOffsets[i] = static_cast<std::uint32_t>(at);
            at += kCdxHeaderBytes + trees[i].nodes * kNode;
        }
        dirEntries.clear();
        for (std::size_t i = 0; i < tags.size(); ++i) dirEntries.push_back(Entry{headerOffsets[i], &dirKeys[i]});
        std::sort(dirEntries.begin(), dirEntries.end(),
                  [](const Entry& a, const Entry& b) { return compareKeys(*a.key, *b.key) < 0; });
        MemoryEntries dir(dirEntries);
        const TreeSize needed = dirBuilder.size(dir);
        if (needed.nodes == dirTree.nodes) {
            dirTree = needed;
            break;
        }
        dirTree = needed;
    }

    MemoryEntries dir(dirEntries);
    const std::uint64_t dirRoot = dirBuilder.write(dir, kCdxHeaderBytes, dirTree, sink);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const std::uint64_t treeAt = headerOffsets[i] + kCdxHeaderBytes;
        // The root is the last node of the tree.
        const std::vector<std::uint8_t> h = tagHeader(tags[i], treeAt + (trees[i].nodes - 1) * kNode);
        sink(headerOffsets[i], h.data(), h.size());
        const std::uint64_t root = TreeBuilder(tags[i].keyLength, tags[i].filler, tags[i].leafStyle)
                                       .write(*entries[i], treeAt, trees[i], sink);
        if (root != treeAt + (trees[i].nodes - 1) * kNode) throw std::logic_error("a .cdx tree's root is not its last node");
    }

    // The directory's header: a new one, or the template's bytes over it.
    std::vector<std::uint8_t> header(kCdxHeaderBytes, 0);
    std::uint8_t* h = header.data();
    storeLE16(h + 12, static_cast<std::uint16_t>(kCdxTagNameLength));
    h[14] = kOptionStructural | kOptionCompound | kOptionCompact;
    h[15] = 1;
    storeLE16(h + 504, 1);
    storeLE16(h + 506, 1);
    storeLE16(h + 510, 1);
    std::copy_n(fileTemplate.begin(), std::min(fileTemplate.size(), kCdxHeaderBytes), header.begin());
    storeLE32(h, static_cast<std::uint32_t>(dirRoot));
    storeLE32(h + 4, 0);
    sink(0, header.data(), header.size());
}

// --- the style of an existing tag ---------------------------------------------------------------

CdxLeafStyle cdxLeafStyleOf(const ByteSource& src, const IndexTag& tag) {
    const unsigned countBits = bitWidth(tag.keyLength);
    bool wide = false, fox = false;
    std::set<std::uint64_t> seen;
    std::vector<std::pair<std::uint64_t, int>> todo{{tag.root, 0}};
    while (!todo.empty()) {
        const auto [offset, depth] = todo.back();
        todo.pop_back();
        const std::string where = "node " + std::to_string(offset) + " of tag " + tag.name;
        if (depth > kMaxDepth || !seen.insert(offset).second || offset < kCdxHeaderBytes || offset % kNode != 0)
            throw IndexFileError(where + " cannot be a node of the tree");
        const std::vector<std::uint8_t> n = readIndexBytes(src, offset, kNode, where);
        const unsigned attributes = loadLE16(n.data());
        const std::size_t keys = loadLE16(n.data() + 2);
        if (attributes & kLeaf) {
            fox = fox || (attributes & kFoxLeaf) != 0;
            const std::size_t entryBytes = n[23];
            const std::uint32_t mask = loadLE32(n.data() + 14);
            if (entryBytes < 1 || entryBytes > 8 || kLeafEntriesAt + keys * entryBytes > kNode)
                throw IndexFileError(where + " has an impossible entry layout");
            std::uint32_t maxRecord = 0;
            for (std::size_t i = 0; i < keys; ++i) {
                std::uint64_t v = 0;
                for (std::size_t b = 0; b < entryBytes; ++b)
                    v |= static_cast<std::uint64_t>(n[kLeafEntriesAt + i * entryBytes + b]) << (8 * b);
                maxRecord = std::max(maxRecord, static_cast<std::uint32_t>(v & mask));
            }
            if (entryBytes >= kWideEntryBytes && entryBytes > leafLayout(maxRecord, countBits, 1).entryBytes) wide = true;
            continue;
        }
        const std::size_t stride = tag.keyLength + 8;
        if (kInnerEntriesAt + keys * stride > kNode) throw IndexFileError(where + " claims " + std::to_string(keys) + " keys");
        for (std::size_t i = 0; i < keys; ++i)
            todo.push_back({loadBE32(n.data() + kInnerEntriesAt + i * stride + tag.keyLength + 4), depth + 1});
    }
    if (fox) return CdxLeafStyle::VisualFoxPro;
    return wide ? CdxLeafStyle::Wide : CdxLeafStyle::Narrow;
}

// --- keys ---------------------------------------------------------------------------------------

std::string cdxDoubleKey(double value) {
    if (value == 0) value = 0;  // -0 has the key of 0
    std::uint64_t bits = doubleToBits(value);
    bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
    std::string key(8, '\0');
    storeBE64(reinterpret_cast<std::uint8_t*>(key.data()), bits);
    return key;
}

std::string cdxIntegerKey(std::int32_t value) {
    std::string key(4, '\0');
    storeBE32(reinterpret_cast<std::uint8_t*>(key.data()), static_cast<std::uint32_t>(value) ^ 0x80000000u);
    return key;
}

std::size_t cdxKeyLength(char fieldType, std::size_t fieldLength, bool nullByte) {
    std::size_t n = 0;
    switch (fieldType) {
        case 'C': n = fieldLength; break;
        case 'N': case 'F': case 'B': case 'Y': case 'D': case 'T': n = 8; break;
        case 'I': n = 4; break;
        case 'L': n = 1; break;
        default: return 0;
    }
    return n == 0 ? 0 : n + (nullByte ? 1 : 0);
}

char cdxKeyFiller(char fieldType) { return fieldType == 'C' || fieldType == 'L' ? ' ' : '\0'; }

bool cdxFieldKey(char fieldType, const std::uint8_t* p, std::size_t n, const Header& header, std::string& key) {
    if (fieldType == 'C') {
        key.assign(reinterpret_cast<const char*>(p), n);
        return n > 0;
    }
    if (cdxKeyLength(fieldType, n, false) == 0 || keptInMemoFile(fieldType, header)) return false;
    static const std::shared_ptr<const CodePage> bytes = CodePage::find(CodePage::kDefaultName);
    FieldValue v;
    if (!bytes || !decodeStoredValue(fieldType, header, *bytes, p, n, v) || v.kind == ValueKind::Invalid) return false;
    switch (fieldType) {
        case 'N': case 'F': case 'B': {
            double d = 0;
            if (v.kind == ValueKind::Integer) d = static_cast<double>(v.integer);
            else if (v.kind == ValueKind::Float) d = v.real;
            if (!std::isfinite(d)) return false;
            key = cdxDoubleKey(d);
            return true;
        }
        case 'Y':
            key = cdxDoubleKey(static_cast<double>(v.integer) / 10000.0);
            return true;
        case 'D':
            key = cdxDoubleKey(v.kind == ValueKind::Null ? 0.0 : static_cast<double>(v.integer) + kJulianDayOfDayZero);
            return true;
        case 'T': {
            if (v.kind == ValueKind::Null || n != 8) {
                key = cdxDoubleKey(0);
                return true;
            }
            // The Julian day and the milliseconds as stored, not through the decoded value.
            const double julian = static_cast<std::int32_t>(loadLE32(p));
            const double ms = static_cast<std::int32_t>(loadLE32(p + 4));
            key = cdxDoubleKey(julian + ms / static_cast<double>(kMillisecondsPerDay));
            return true;
        }
        case 'I':
            if (v.kind != ValueKind::Integer) return false;
            key = cdxIntegerKey(static_cast<std::int32_t>(v.integer));
            return true;
        case 'L':
            key.assign(1, v.kind == ValueKind::Boolean && v.integer != 0 ? 'T' : 'F');
            return true;
        default: return false;
    }
}

bool cdxKeysHaveNullByte(const DBaseTable& table, std::size_t field, bool candidate) {
    return !candidate && field < table.rawFields().size() && table.rawFields()[field].nullBit >= 0;
}

bool cdxRecordKey(const DBaseTable& table, const std::uint8_t* record, std::size_t field, bool nullByte,
                  std::string& key) {
    const std::vector<RawField>& raw = table.rawFields();
    const std::vector<FieldDef>& defs = table.fields();
    if (field >= raw.size() || field >= defs.size()) return false;
    const RawField& rf = raw[field];
    const FieldDef& f = defs[field];
    if (f.length < rf.length) return false;  // the record ends inside the field
    std::string value;
    if (!cdxFieldKey(rf.type, record + f.offset, f.length, table.header(), value)) return false;
    if (!nullByte) {
        key = std::move(value);
        return true;
    }
    bool isNull = false;
    for (std::size_t i = 0; i < raw.size() && rf.nullBit >= 0; ++i) {
        if (raw[i].type != '0' || !equalsIgnoreCase(raw[i].name, "_NullFlags")) continue;
        const std::size_t byte = static_cast<std::size_t>(rf.nullBit) / 8;
        if (byte >= defs[i].length) return false;
        isNull = (record[defs[i].offset + byte] >> (rf.nullBit % 8)) & 1;
        break;
    }
    if (isNull) {
        key.assign(value.size() + 1, '\0');
    } else {
        key.assign(1, '\x80');
        key += value;
    }
    return true;
}

}  // namespace tavrinth::dbase
