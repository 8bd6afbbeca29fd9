#include "dbf_mdx_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <stdexcept>

#include "../byte_order.h"

namespace tavrinth::dbase {

namespace {

constexpr std::size_t kPage = 512;
constexpr std::size_t kPagesPerBlock = kMdxBlockBytes / kPage;
constexpr std::size_t kHeaderPages = kMdxHeaderBytes / kPage;  // file header and tag table
constexpr std::size_t kTagTableAt = 544;
constexpr std::size_t kTagEntryBytes = 32;
constexpr std::size_t kTagSlots = 48;
constexpr std::size_t kNodeItemsAt = 8;
constexpr std::uint32_t kJulianDayOfDayZero = 1721425;  // 1 January 0001 is Julian day 1721426

void putDate(std::uint8_t* p, const MdxDate& d) {
    p[0] = static_cast<std::uint8_t>(d.year - 1900);
    p[1] = static_cast<std::uint8_t>(d.month);
    p[2] = static_cast<std::uint8_t>(d.day);
}

// Numeric keys: class, then exponent and digits.
int signClass(const char* k) {
    bool zero = true;
    for (std::size_t i = 2; i < kMdxNumericKeyLength; ++i) zero = zero && k[i] == 0;
    if (zero) return 0;
    return (static_cast<std::uint8_t>(k[1]) & 0x80) ? -1 : 1;
}

int compareNumeric(const char* a, const char* b) {
    const int ca = signClass(a), cb = signClass(b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
    // Same sign: the magnitude decides (digits are normalised, the first one is not 0).
    int magnitude;
    const auto ea = static_cast<std::uint8_t>(a[0]), eb = static_cast<std::uint8_t>(b[0]);
    if (ea != eb)
        magnitude = ea < eb ? -1 : 1;
    else
        magnitude = std::memcmp(a + 2, b + 2, kMdxNumericKeyLength - 2);
    if (magnitude == 0) return 0;
    magnitude = magnitude < 0 ? -1 : 1;
    return ca > 0 ? magnitude : -magnitude;
}

struct Node {
    std::uint32_t page = 0;
    std::string lastKey;
};

class TagBuilder {
public:
    TagBuilder(const MdxTag& tag, MdxKeyStream& keys, const MdxPageSink& sink, std::uint32_t firstPage)
        : tag_(tag), keys_(keys), sink_(sink), nextPage_(firstPage) {}

    // Writes the tag's header block and nodes from page `nextPage_` on.
    void build(const MdxDate& date) {
        const std::uint32_t headerPage = nextPage_;
        nextPage_ += kPagesPerBlock;
        std::vector<std::uint8_t> header(kMdxBlockBytes, 0);

        const std::size_t item = mdxItemLength(tag_.keyLength);
        const std::size_t perNode = mdxKeysPerNode(tag_.keyLength);
        std::uint32_t nodes = 0;
        std::vector<std::uint8_t> block(kMdxBlockBytes);

        // Leaves, the entries spread evenly; one entry a leaf is kept for the level above.
        const std::uint64_t entries = keys_.count();
        std::vector<Node> level;
        const std::uint64_t leafCount = std::max<std::uint64_t>(1, (entries + perNode - 1) / perNode);
        for (std::uint64_t i = 0; i < leafCount; ++i) {
            const std::size_t n = static_cast<std::size_t>(entries / leafCount + (i < entries % leafCount ? 1 : 0));
            std::fill(block.begin(), block.end(), 0);
            storeLE32(block.data(), static_cast<std::uint32_t>(n));
            Node node;
            node.lastKey.assign(tag_.keyLength, '\0');
            for (std::size_t j = 0; j < n; ++j) {
                std::uint32_t record = 0;
                const char* key = nullptr;
                if (!keys_.next(record, key)) throw std::logic_error("an .MDX tag's keys ended early");
                std::uint8_t* e = block.data() + kNodeItemsAt + j * item;
                storeLE32(e, record);
                std::memcpy(e + 4, key, tag_.keyLength);
                if (j + 1 == n) node.lastKey.assign(key, tag_.keyLength);
            }
            node.page = allocate();
            put(node.page, block);
            ++nodes;
            level.push_back(std::move(node));
        }
        // Inner levels until one node is left: the root.
        while (level.size() > 1) {
            const std::size_t parents = (level.size() + perNode - 1) / perNode;
            std::vector<Node> upper;
            std::size_t child = 0;
            for (std::size_t i = 0; i < parents; ++i) {
                const std::size_t c = level.size() / parents + (i < level.size() % parents ? 1 : 0);
                std::fill(block.begin(), block.end(), 0);
                storeLE32(block.data(), static_cast<std::uint32_t>(c - 1));
                for (std::size_t j = 0; j < c; ++j) {
                    std::uint8_t* e = block.data() + kNodeItemsAt + j * item;
                    storeLE32(e, level[child + j].page);
                    if (j + 1 < c) std::memcpy(e + 4, level[child + j].lastKey.data(), tag_.keyLength);
                }
                Node node;
                node.page = allocate();
                node.lastKey = level[child + c - 1].lastKey;
                put(node.page, block);
                ++nodes;
                child += c;
                upper.push_back(std::move(node));
            }
            level = std::move(upper);
        }

        std::uint8_t* h = header.data();
        if (tag_.headerTemplate.size() == kMdxBlockBytes) {
            header = tag_.headerTemplate;
            h = header.data();
            std::memset(h + 248, 0, 8);  // first and last node: not kept by this writer
        } else {
            h[8] = static_cast<std::uint8_t>(0x10 | (tag_.descending ? 0x08 : 0) | (tag_.unique ? 0x40 : 0));
            h[9] = static_cast<std::uint8_t>(tag_.keyType);
            storeLE16(h + 12, static_cast<std::uint16_t>(tag_.keyLength));
            storeLE16(h + 14, static_cast<std::uint16_t>(perNode));
            storeLE16(h + 16, tag_.keyType == 'D' ? 1 : 0);
            storeLE16(h + 18, static_cast<std::uint16_t>(item));
            h[20] = 2;
            h[23] = tag_.unique ? 1 : 0;
            std::memcpy(h + 24, tag_.expression.data(), tag_.expression.size());
            putDate(h + 257, date);
            h[480] = tag_.singleField ? 1 : 0;
        }
        storeLE32(h + 0, level.front().page);
        storeLE32(h + 4, static_cast<std::uint32_t>(nodes * kPagesPerBlock));
        h[246] = entries > 0 ? 1 : 0;
        put(headerPage, header);
        headerPage_ = headerPage;
    }

    std::uint32_t headerPage() const { return headerPage_; }
    std::uint32_t nextPage() const { return nextPage_; }

private:
    std::uint32_t allocate() {
        const std::uint32_t p = nextPage_;
        nextPage_ += kPagesPerBlock;
        return p;
    }
    void put(std::uint32_t page, const std::vector<std::uint8_t>& block) {
        sink_(static_cast<std::uint64_t>(page) * kPage, block.data(), block.size());
    }

    const MdxTag& tag_;
    MdxKeyStream& keys_;
    const MdxPageSink& sink_;
    std::uint32_t nextPage_;
    std::uint32_t headerPage_ = 0;
};

// The keys of an MdxTag in memory, in index order: equal keys by record number, whichever the
// direction.
class MemoryKeys final : public MdxKeyStream {
public:
    explicit MemoryKeys(const MdxTag& tag) : tag_(tag) {
        for (std::uint32_t r = 0; r < tag.keys.size(); ++r)
            if (tag.holds.empty() || tag.holds[r]) order_.push_back(r);
        std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            const int c = compareMdxKeys(tag_.keyType, tag_.keys[a], tag_.keys[b]);
            return tag_.descending ? c > 0 : c < 0;
        });
    }
    std::uint64_t count() const override { return order_.size(); }
    bool next(std::uint32_t& record, const char*& key) override {
        if (at_ == order_.size()) return false;
        record = order_[at_] + 1;
        key = tag_.keys[order_[at_]].data();
        ++at_;
        return true;
    }

private:
    const MdxTag& tag_;
    std::vector<std::uint32_t> order_;
    std::size_t at_ = 0;
};

}  // namespace

std::size_t mdxItemLength(std::size_t keyLength) { return (keyLength + 4 + 3) & ~static_cast<std::size_t>(3); }

std::size_t mdxKeysPerNode(std::size_t keyLength) { return (kMdxBlockBytes - 12) / mdxItemLength(keyLength); }

bool mdxNumericKey(std::string_view text, std::string& key) {
    key.assign(kMdxNumericKeyLength, '\0');
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    text = text.substr(b, e - b);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::string digits;
    int before = 0;  // digits before the point
    bool point = false, any = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            any = true;
            digits.push_back(c);
            if (!point) ++before;
        } else {
            return false;
        }
    }
    if (!any && !text.empty()) return false;
    // Significant digits: leading zeros move the point, trailing zeros are dropped.
    std::size_t first = 0;
    while (first < digits.size() && digits[first] == '0') ++first;
    if (first == digits.size()) {
        key[0] = 0x34;
        key[1] = 0x01;
        return true;
    }
    std::size_t last = digits.size();
    while (last > first && digits[last - 1] == '0') --last;
    const std::string significant = digits.substr(first, last - first);
    if (significant.size() > 20) return false;
    const int exponent = before - static_cast<int>(first);
    key[0] = static_cast<char>(0x34 + exponent);
    key[1] = static_cast<char>((((significant.size() + 1) / 2) * 8 + 1) | (negative ? 0x80 : 0));
    for (std::size_t i = 0; i < significant.size(); ++i) {
        const int d = significant[i] - '0';
        key[2 + i / 2] = static_cast<char>(static_cast<std::uint8_t>(key[2 + i / 2]) | (i % 2 ? d : d << 4));
    }
    return true;
}

std::string mdxDateKey(std::int64_t dayNumber) {
    std::string key(kMdxDateKeyLength, '\0');
    storeLE64(reinterpret_cast<std::uint8_t*>(key.data()),
              doubleToBits(static_cast<double>(dayNumber + kJulianDayOfDayZero)));
    return key;
}

int compareMdxKeys(char keyType, const std::string& a, const std::string& b) {
    if (keyType == 'N' || keyType == 'D' || a.size() == b.size())
        return compareMdxKeys(keyType, a.data(), b.data(), std::min(a.size(), b.size()));
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : 1;
}

int compareMdxKeys(char keyType, const char* a, const char* b, std::size_t length) {
    switch (keyType) {
        case 'N': return compareNumeric(a, b);
        case 'D': {
            const double x = bitsToDouble(loadLE64(reinterpret_cast<const std::uint8_t*>(a)));
            const double y = bitsToDouble(loadLE64(reinterpret_cast<const std::uint8_t*>(b)));
            return x < y ? -1 : (x > y ? 1 : 0);
        }
        default: {
            const int c = std::memcmp(a, b, length);
            return c < 0 ? -1 : (c > 0 ? 1 : 0);
        }
    }
}

std::vector<std::uint8_t> buildMdx(const std::string& tableName, const std::vector<MdxTag>& tags,
                                   std::uint32_t recordCount, const MdxDate& date,
                                   const std::vector<std::uint8_t>& fileTemplate) {
    (void)recordCount;
    std::vector<std::unique_ptr<MemoryKeys>> owned;
    std::vector<MdxKeyStream*> keys;
    for (const MdxTag& tag : tags) {
        owned.push_back(std::make_unique<MemoryKeys>(tag));
        keys.push_back(owned.back().get());
    }
    std::vector<std::uint8_t> file;
    writeMdx(tableName, tags, keys, date, fileTemplate,
             [&](std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
                 if (file.size() < offset + n) file.resize(static_cast<std::size_t>(offset + n));
                 std::memcpy(file.data() + offset, data, n);
             });
    return file;
}

void writeMdx(const std::string& tableName, const std::vector<MdxTag>& tags, const std::vector<MdxKeyStream*>& keys,
              const MdxDate& date, const std::vector<std::uint8_t>& fileTemplate, const MdxPageSink& sink) {
    std::vector<std::uint8_t> file(kHeaderPages * kPage, 0);
    const bool kept = !fileTemplate.empty();
    if (kept) std::copy_n(fileTemplate.begin(), std::min(fileTemplate.size(), file.size()), file.begin());
    std::uint32_t nextPage = kHeaderPages;
    std::vector<std::uint32_t> headerPages;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        TagBuilder builder(tags[i], *keys.at(i), sink, nextPage);
        builder.build(date);
        headerPages.push_back(builder.headerPage());
        nextPage = builder.nextPage();
    }

    std::uint8_t* h = file.data();
    if (kept) {
        storeLE16(h + 28, static_cast<std::uint16_t>(tags.size()));
        storeLE32(h + 32, nextPage);
        storeLE32(h + 36, 0);  // no free pages, no free blocks
        storeLE32(h + 40, 0);
        for (std::size_t i = 0; i < tags.size(); ++i) storeLE32(h + kTagTableAt + i * kTagEntryBytes, headerPages[i]);
        sink(0, file.data(), file.size());
        return;
    }
    h[0] = 2;
    putDate(h + 1, date);
    std::memcpy(h + 4, tableName.data(), std::min<std::size_t>(tableName.size(), 15));
    storeLE16(h + 20, static_cast<std::uint16_t>(kPagesPerBlock));
    storeLE16(h + 22, static_cast<std::uint16_t>(kMdxBlockBytes));
    h[24] = 1;  // production index
    h[25] = static_cast<std::uint8_t>(kTagSlots);
    h[26] = static_cast<std::uint8_t>(kTagEntryBytes);
    storeLE16(h + 28, static_cast<std::uint16_t>(tags.size()));
    storeLE32(h + 32, nextPage);
    putDate(h + 44, date);
    h[529] = 1;

    // The tag-name tree: each tag after the first is hung below the first by name.
    std::vector<std::uint8_t> left(tags.size(), 0), right(tags.size(), 0), parent(tags.size(), 0);
    for (std::size_t i = 1; i < tags.size(); ++i) {
        std::size_t at = 0;
        for (;;) {
            std::vector<std::uint8_t>& side = tags[i].name < tags[at].name ? left : right;
            if (side[at] == 0) {
                side[at] = static_cast<std::uint8_t>(i + 1);
                parent[i] = static_cast<std::uint8_t>(at + 1);
                break;
            }
            at = side[at] - 1u;
        }
    }
    for (std::size_t i = 0; i < tags.size(); ++i) {
        std::uint8_t* e = h + kTagTableAt + i * kTagEntryBytes;
        storeLE32(e, headerPages[i]);
        std::memcpy(e + 4, tags[i].name.data(), std::min<std::size_t>(tags[i].name.size(), 10));
        e[15] = tags[i].singleField ? 0x10 : 0x00;
        e[16] = left[i];
        e[17] = right[i];
        e[18] = parent[i];
        e[19] = 0x02;
        e[20] = static_cast<std::uint8_t>(tags[i].keyType);
    }
    sink(0, file.data(), file.size());
}

}  // namespace tavrinth::dbase
