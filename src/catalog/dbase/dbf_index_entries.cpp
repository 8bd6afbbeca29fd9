#include "dbf_index_entries.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

#include "../byte_order.h"
#include "../field_value.h"

namespace tavrinth::dbase {

namespace {

constexpr std::uint64_t kPage = 512;
constexpr std::uint64_t kMdxTagTableAt = 544;
constexpr unsigned kMdxMaxTags = 47;
constexpr std::size_t kMdxKeyAt = 24;
constexpr std::size_t kMdxKeyBytes = 221;
constexpr std::size_t kMdxForFlagAt = 245;
constexpr std::uint64_t kMdxForAt = 762;
constexpr std::size_t kMdxForBytes = 221;
constexpr std::size_t kMdxNumericKey = 12;
constexpr std::uint64_t kCdxHeader = 1024;
constexpr std::size_t kCdxMaxKey = 240;
constexpr std::size_t kCdxMaxTags = 4096;
constexpr int kMaxDepth = 64;
constexpr double kJulianDayZero = 1721425.0;  // the Julian day of day number 0 (31 December 0000)

[[noreturn]] void damaged(const std::string& what) { throw IndexFileError(what); }

std::string offsetText(std::uint64_t v) { return std::to_string(v); }

// --- tree walks ---------------------------------------------------------------------------------

// What every walk shares: the nodes seen, the order check of inner keys, the entries passed on.
class Walk {
public:
    Walk(const ByteSource& src, const IndexTag& tag, const IndexFileReader::KeyOrder& order,
         const std::function<void(const IndexKeyEntry&)>& visit)
        : src_(src), tag_(tag), order_(order), visit_(visit) {}

protected:
    std::vector<std::uint8_t> node(std::uint64_t offset, std::size_t bytes, int depth) {
        if (depth > kMaxDepth) damaged("the tree of tag " + tag_.name + " is nested too deeply");
        if (!seen_.insert(offset).second)
            damaged("node " + offsetText(offset) + " of tag " + tag_.name + " is reached twice");
        return readIndexBytes(src_, offset, bytes, "node " + offsetText(offset) + " of tag " + tag_.name);
    }
    void leafEntry(std::uint32_t record, std::string key) {
        entry_.record = record;
        entry_.key = std::move(key);
        visit_(entry_);
        last_ = entry_.key;
        any_ = true;
    }
    // After the subtree of an inner key: its keys must not be above that key.
    void innerKey(const std::string& key, std::uint64_t offset) {
        if (order_ && any_ && order_(last_, key) > 0)
            damaged("a key of node " + offsetText(offset) + " of tag " + tag_.name + " is lower than a key below it");
    }

    const ByteSource& src_;
    const IndexTag& tag_;
    const IndexFileReader::KeyOrder& order_;
    const std::function<void(const IndexKeyEntry&)>& visit_;

private:
    std::set<std::uint64_t> seen_;
    IndexKeyEntry entry_;
    std::string last_;
    bool any_ = false;
};

class MdxWalk : public Walk {
public:
    MdxWalk(const ByteSource& src, const IndexTag& tag, std::size_t nodeBytes, const IndexFileReader::KeyOrder& order,
            const std::function<void(const IndexKeyEntry&)>& visit)
        : Walk(src, tag, order, visit), nodeBytes_(nodeBytes) {}

    void run() { visit(tag_.root, 0); }

private:
    // A leaf is told by the 0 after its last item; once the depth of the leaves is known, a node
    // there is a leaf whatever that word holds (bytes left over from an earlier split).
    void visit(std::uint64_t offset, int depth) {
        const std::vector<std::uint8_t> n = node(offset, nodeBytes_, depth);
        const std::size_t item = tag_.itemLength;
        const std::size_t keys = loadLE32(n.data());
        if (8 + keys * item + 4 > nodeBytes_)
            damaged("node " + offsetText(offset) + " of tag " + tag_.name + " claims " + std::to_string(keys) +
                    " keys");
        const bool markedLeaf = loadLE32(n.data() + 8 + keys * item) == 0;
        const bool leaf = leafDepth_ >= 0 ? depth == leafDepth_ : markedLeaf;
        if (leaf && leafDepth_ < 0) leafDepth_ = depth;
        if (!leaf && markedLeaf)
            damaged("node " + offsetText(offset) + " of tag " + tag_.name + " is a leaf above the level of the leaves");
        if (leaf) {
            for (std::size_t j = 0; j < keys; ++j) {
                const std::uint8_t* e = n.data() + 8 + j * item;
                leafEntry(loadLE32(e), std::string(reinterpret_cast<const char*>(e + 4), tag_.keyLength));
            }
            return;
        }
        for (std::size_t j = 0; j <= keys; ++j) {
            const std::uint8_t* e = n.data() + 8 + j * item;
            const std::uint64_t child = loadLE32(e);
            if (child == 0)
                damaged("node " + offsetText(offset) + " of tag " + tag_.name + " has an empty child pointer");
            visit(child * kPage, depth + 1);
            if (j < keys) innerKey(std::string(reinterpret_cast<const char*>(e + 4), tag_.keyLength), offset);
        }
    }

    std::size_t nodeBytes_;
    int leafDepth_ = -1;
};

class NdxWalk : public Walk {
public:
    using Walk::Walk;
    void run() { visit(tag_.root, 0); }

private:
    void visit(std::uint64_t offset, int depth) {
        const std::vector<std::uint8_t> n = node(offset, kPage, depth);
        const std::size_t item = tag_.itemLength;
        const std::size_t keys = loadLE32(n.data());
        // A leaf's items have no child page.
        const bool leaf = loadLE32(n.data() + 4) == 0;
        if (4 + (keys + (leaf ? 0 : 1)) * item > kPage)
            damaged("node " + offsetText(offset) + " of tag " + tag_.name + " claims " + std::to_string(keys) +
                    " keys");
        if (leaf) {
            for (std::size_t j = 0; j < keys; ++j) {
                const std::uint8_t* e = n.data() + 4 + j * item;
                leafEntry(loadLE32(e + 4), std::string(reinterpret_cast<const char*>(e + 8), tag_.keyLength));
            }
            return;
        }
        for (std::size_t j = 0; j <= keys; ++j) {
            const std::uint8_t* e = n.data() + 4 + j * item;
            const std::uint64_t child = loadLE32(e);
            if (child == 0)
                damaged("node " + offsetText(offset) + " of tag " + tag_.name + " has an empty child pointer");
            visit(child * kPage, depth + 1);
            if (j < keys) innerKey(std::string(reinterpret_cast<const char*>(e + 8), tag_.keyLength), offset);
        }
    }
};

class CdxWalk : public Walk {
public:
    CdxWalk(const ByteSource& src, const IndexTag& tag, char filler, const IndexFileReader::KeyOrder& order,
            const std::function<void(const IndexKeyEntry&)>& visit)
        : Walk(src, tag, order, visit), filler_(filler) {}
    void run() {
        visit(tag_.root, 0);
        for (const Level& l : levels_)
            if (l.right != kNoSibling)
                damaged("node " + offsetText(l.offset) + " of tag " + tag_.name + " names a right sibling, but it ends its level");
    }

private:
    static constexpr std::uint32_t kNoSibling = 0xFFFFFFFFu;
    // The node last seen on a level (left to right) and the right sibling it names.
    struct Level {
        std::uint64_t offset = kNoSibling;
        std::uint32_t right = kNoSibling;
    };

    void visit(std::uint64_t offset, int depth) {
        if (offset < kCdxHeader || offset % kPage != 0)
            damaged("tag " + tag_.name + " names a node at offset " + offsetText(offset));
        const std::vector<std::uint8_t> n = node(offset, kPage, depth);
        const unsigned attributes = loadLE16(n.data());
        const std::size_t keys = loadLE16(n.data() + 2);
        const std::string where = "node " + offsetText(offset) + " of tag " + tag_.name;
        // The nodes of a level link to their neighbours: the left one names this node, this node the left one.
        if (levels_.size() <= static_cast<std::size_t>(depth)) levels_.resize(static_cast<std::size_t>(depth) + 1);
        Level& level = levels_[static_cast<std::size_t>(depth)];
        if (loadLE32(n.data() + 4) != level.offset || (level.offset != kNoSibling && level.right != offset))
            damaged(where + " is not linked to its neighbours on its level");
        level.offset = offset;
        level.right = loadLE32(n.data() + 8);
        // Bit 0x01 marks the root, 0x02 a leaf (Visual FoxPro sets 0x04 too on some).
        if (attributes & 0x02) {
            unpackCdxLeaf(n, tag_.keyLength, filler_, where,
                          [&](std::uint32_t record, std::string key) { leafEntry(record, std::move(key)); });
            return;
        }
        const std::size_t stride = tag_.keyLength + 8;
        if (keys == 0 || 12 + keys * stride > kPage) damaged(where + " claims " + std::to_string(keys) + " keys");
        for (std::size_t i = 0; i < keys; ++i) {
            const std::uint8_t* e = n.data() + 12 + i * stride;
            visit(loadBE32(e + tag_.keyLength + 4), depth + 1);
            innerKey(std::string(reinterpret_cast<const char*>(e), tag_.keyLength), offset);
        }
    }

    char filler_;
    std::vector<Level> levels_;
};

// --- numbers ------------------------------------------------------------------------------------

// A decimal number as sign, exponent (digits before the point) and its significant digits
// without leading or trailing zeros; zero has no digits.
struct Decimal {
    bool negative = false;
    int exponent = 0;
    std::string digits;
    bool operator==(const Decimal& o) const {
        return digits == o.digits && (digits.empty() || (negative == o.negative && exponent == o.exponent));
    }
};

// The number a numeric field stores ("  -12.50"); false for a blank or no plain number.
bool parseDecimal(std::string_view text, Decimal& out) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\0')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\0')) --e;
    text = text.substr(b, e - b);
    if (text.empty() || text == ".") return false;
    out = Decimal{};
    if (text[0] == '-' || text[0] == '+') {
        out.negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::string digits;
    int before = 0;
    bool point = false, any = false;
    for (char c : text) {
        if ((c == '.' || c == ',') && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            any = true;
            digits.push_back(c);
            if (!point) ++before;
        } else {
            return false;
        }
    }
    if (!any) return false;
    std::size_t first = 0;
    while (first < digits.size() && digits[first] == '0') ++first;
    std::size_t last = digits.size();
    while (last > first && digits[last - 1] == '0') --last;
    out.digits = digits.substr(first, last - first);
    out.exponent = before - static_cast<int>(first);
    return true;
}

// The number of a 12-byte .MDX numeric key.
Decimal mdxDecimal(const std::string& key) {
    Decimal d;
    const auto* k = reinterpret_cast<const std::uint8_t*>(key.data());
    for (std::size_t i = 2; i < kMdxNumericKey; ++i) {
        d.digits.push_back(static_cast<char>('0' + (k[i] >> 4)));
        d.digits.push_back(static_cast<char>('0' + (k[i] & 15)));
    }
    std::size_t first = 0;
    while (first < d.digits.size() && d.digits[first] == '0') ++first;
    std::size_t last = d.digits.size();
    while (last > first && d.digits[last - 1] == '0') --last;
    d.digits = d.digits.substr(first, last - first);
    d.exponent = static_cast<int>(k[0]) - 0x34 - static_cast<int>(first);
    d.negative = (k[1] & 0x80) != 0;
    return d;
}

int compareMdxNumbers(const std::string& a, const std::string& b) {
    const Decimal x = mdxDecimal(a), y = mdxDecimal(b);
    const int sx = x.digits.empty() ? 0 : (x.negative ? -1 : 1);
    const int sy = y.digits.empty() ? 0 : (y.negative ? -1 : 1);
    if (sx != sy) return sx < sy ? -1 : 1;
    if (sx == 0) return 0;
    int magnitude = 0;
    if (x.exponent != y.exponent)
        magnitude = x.exponent < y.exponent ? -1 : 1;
    else
        magnitude = x.digits < y.digits ? -1 : (x.digits > y.digits ? 1 : 0);
    return sx > 0 ? magnitude : -magnitude;
}

int compareDoubles(double x, double y) { return x < y ? -1 : (x > y ? 1 : 0); }

double leDouble(const std::string& k) {
    return bitsToDouble(loadLE64(reinterpret_cast<const std::uint8_t*>(k.data())));
}

// A .CDX number: big-endian, sign bit set for positive numbers, every bit inverted for negative.
std::string cdxNumberKey(double v) {
    std::uint64_t bits = doubleToBits(v);
    bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
    std::string key(8, '\0');
    storeBE64(reinterpret_cast<std::uint8_t*>(key.data()), bits);
    return key;
}

// The day number of a D field's "YYYYMMDD"; false for a blank or invalid date.
bool dateDayNumber(const std::uint8_t* p, std::size_t n, std::int64_t& day) {
    if (n != 8) return false;
    for (std::size_t i = 0; i < 8; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    const int y = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
    const int m = (p[4] - '0') * 10 + (p[5] - '0');
    const int d = (p[6] - '0') * 10 + (p[7] - '0');
    if (!isValidCivilDate(y, m, d)) return false;
    day = dayNumberFromCivil(y, m, d);
    return true;
}

bool parseDouble(const std::uint8_t* p, std::size_t n, double& v) {
    Decimal d;
    if (!parseDecimal(std::string_view(reinterpret_cast<const char*>(p), n), d)) return false;
    std::string text(reinterpret_cast<const char*>(p), n);
    std::replace(text.begin(), text.end(), ',', '.');
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    return std::isfinite(v);
}

}  // namespace

void unpackCdxLeaf(const std::vector<std::uint8_t>& node, std::size_t keyLength, char filler, const std::string& where,
                   const std::function<void(std::uint32_t, std::string)>& each) {
    const std::size_t keys = loadLE16(node.data() + 2);
    const std::uint32_t recordMask = loadLE32(node.data() + 14);
    const unsigned duplicateMask = node[18], trailMask = node[19];
    const unsigned recordBits = node[20], duplicateBits = node[21], trailBits = node[22];
    const std::size_t entryBytes = node[23];
    if (entryBytes < 1 || entryBytes > 8 || recordBits > 32 || duplicateBits > 8 || trailBits > 8 ||
        recordBits + duplicateBits + trailBits > entryBytes * 8)
        damaged(where + " has an impossible entry layout");
    const std::size_t infoEnd = 24 + keys * entryBytes;
    if (infoEnd > kPage) damaged(where + " claims " + std::to_string(keys) + " keys");
    std::size_t keyAt = kPage;
    std::string previous;
    for (std::size_t i = 0; i < keys; ++i) {
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < entryBytes; ++b)
            v |= static_cast<std::uint64_t>(node[24 + i * entryBytes + b]) << (8 * b);
        const auto record = static_cast<std::uint32_t>(v & recordMask);
        const std::size_t duplicates = static_cast<std::size_t>((v >> recordBits) & duplicateMask);
        const std::size_t trail = static_cast<std::size_t>((v >> (recordBits + duplicateBits)) & trailMask);
        if (duplicates > previous.size() || duplicates + trail > keyLength)
            damaged(where + ": key " + std::to_string(i + 1) + " does not fit the key length");
        const std::size_t stored = keyLength - duplicates - trail;
        if (keyAt < infoEnd + stored) damaged(where + ": its keys overlap its entries");
        keyAt -= stored;
        std::string key = previous.substr(0, duplicates);
        key.append(reinterpret_cast<const char*>(node.data() + keyAt), stored);
        key.append(trail, filler);
        previous = key;
        each(record, std::move(key));
    }
}


std::vector<std::uint8_t> readIndexBytes(const ByteSource& src, std::uint64_t offset, std::uint64_t n,
                                         const std::string& what) {
    const std::uint64_t size = src.size();
    if (offset > size || n > size - offset) damaged(what + " runs past the end of the file");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
    if (n != 0 && src.readAt(offset, bytes.data(), bytes.size()) != bytes.size())
        damaged(what + " cannot be read in full");
    return bytes;
}

std::string upToNul(const std::uint8_t* p, std::size_t n) {
    const std::uint8_t* end = std::find(p, p + n, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
}

std::string trimmed(std::string s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\0'; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool nulTerminated(const std::uint8_t* p, std::size_t n, std::string& out) {
    const std::uint8_t* end = std::find(p, p + n, std::uint8_t{0});
    if (end == p + n) return false;
    out.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
    return true;
}


// --- the reader ---------------------------------------------------------------------------------

IndexFileReader::IndexFileReader(const ByteSource& src, IndexFileKind kind) : src_(src), kind_(kind) {
    switch (kind) {
        case IndexFileKind::Mdx: readMdx(); break;
        case IndexFileKind::Cdx: readCdx(); break;
        case IndexFileKind::Ndx: readNdx(); break;
    }
}

void IndexFileReader::readMdx() {
    const std::vector<std::uint8_t> head = readIndexBytes(src_, 0, kMdxTagTableAt, "the file header");
    const std::uint8_t version = head[0];
    if (version != 2 && version != 3) damaged("its version byte " + std::to_string(version) + " is unknown");
    nodeBytes_ = loadLE16(head.data() + 22);
    if (nodeBytes_ < kPage || nodeBytes_ % kPage != 0 || nodeBytes_ > 32 * kPage)
        damaged("its block size " + std::to_string(nodeBytes_) + " is no multiple of 512 bytes");
    const unsigned count = loadLE16(head.data() + 28);
    if (count > kMdxMaxTags) damaged("it claims " + std::to_string(count) + " tags");
    const std::size_t nameBytes = version == 3 ? 33 : 11;
    const std::size_t entryLength = head[26];
    if (count > 0 && entryLength < 4 + nameBytes + 7)
        damaged("its tag-table entries are " + std::to_string(entryLength) + " bytes long");
    const std::vector<std::uint8_t> table =
        readIndexBytes(src_, kMdxTagTableAt, static_cast<std::uint64_t>(count) * entryLength, "the tag table");
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t* e = table.data() + static_cast<std::size_t>(i) * entryLength;
        IndexTag tag;
        tag.name = trimmed(upToNul(e + 4, nameBytes));
        const std::string label = "tag " + (tag.name.empty() ? std::to_string(i + 1) : tag.name);
        tag.header = static_cast<std::uint64_t>(loadLE32(e)) * kPage;
        if (tag.header < kMdxTagTableAt + table.size())
            damaged("the header of " + label + " lies inside the tag table");
        const std::uint64_t available = src_.size() > tag.header ? src_.size() - tag.header : 0;
        const std::vector<std::uint8_t> h = readIndexBytes(
            src_, tag.header, std::min<std::uint64_t>(available, kMdxForAt + kMdxForBytes), "the header of " + label);
        if (h.size() < kMdxForFlagAt + 1) damaged("the header of " + label + " runs past the end of the file");
        tag.root = static_cast<std::uint64_t>(loadLE32(h.data())) * kPage;
        tag.keyType = static_cast<char>(h[9]);
        tag.keyLength = loadLE16(h.data() + 12);
        tag.itemLength = loadLE16(h.data() + 18);
        tag.descending = (h[8] & 0x08) != 0;
        // Byte 23 makes a tag unique (one entry per key). Key flag 0x40 alone does not: the
        // engine's own files carry it on tags that hold equal keys of several records.
        tag.unique = h[23] != 0;
        if (tag.keyType != 'C' && tag.keyType != 'N' && tag.keyType != 'D')
            damaged(label + " has the unknown key type " + std::to_string(static_cast<unsigned char>(tag.keyType)));
        if (tag.keyLength == 0 || tag.itemLength < tag.keyLength + 4 || 8 + 2 * tag.itemLength + 4 > nodeBytes_)
            damaged(label + " has keys of " + std::to_string(tag.keyLength) + " bytes in items of " +
                    std::to_string(tag.itemLength));
        if ((tag.keyType == 'N' && tag.keyLength != kMdxNumericKey) || (tag.keyType == 'D' && tag.keyLength != 8))
            damaged(label + " has " + std::string(1, tag.keyType) + " keys of " + std::to_string(tag.keyLength) +
                    " bytes");
        std::string raw;
        if (!nulTerminated(h.data() + kMdxKeyAt, kMdxKeyBytes, raw))
            damaged("the key expression of " + label + " has no end");
        tag.expression = trimmed(raw);
        if (h[kMdxForFlagAt] != 0) {
            tag.hasFilter = true;
            if (h.size() < kMdxForAt + kMdxForBytes || !nulTerminated(h.data() + kMdxForAt, kMdxForBytes, raw))
                damaged("the FOR clause of " + label + " has no end");
            tag.filter = trimmed(raw);
        }
        tags_.push_back(std::move(tag));
    }
}

void IndexFileReader::readCdx() {
    const std::vector<std::uint8_t> head = readIndexBytes(src_, 0, kCdxHeader, "the header of the tag directory");
    const std::size_t nameLength = loadLE16(head.data() + 12);
    if ((head[14] & 0x60) != 0x60) damaged("it is not a compound index");
    if (nameLength < 1 || nameLength > kCdxMaxKey)
        damaged("its tag directory has keys of " + std::to_string(nameLength) + " bytes");
    // The directory is a small tree of its own; its entries point at the tag headers.
    IndexTag directory;
    directory.name = "(directory)";
    directory.keyLength = nameLength;
    directory.root = loadLE32(head.data());
    std::vector<IndexKeyEntry> entries;
    CdxWalk(src_, directory, ' ', nullptr, [&](const IndexKeyEntry& e) {
        if (entries.size() >= kCdxMaxTags) damaged("the tag directory holds too many tags");
        entries.push_back(e);
    }).run();
    // FoxPro numbers the tags in the order they were made, which is the order of their headers.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const IndexKeyEntry& a, const IndexKeyEntry& b) { return a.record < b.record; });
    for (const IndexKeyEntry& e : entries) {
        IndexTag tag;
        tag.name = trimmed(e.key);
        const std::string label = "tag " + tag.name;
        tag.header = e.record;
        if (tag.header < kCdxHeader || tag.header % kPage != 0)
            damaged("the header of " + label + " is at offset " + offsetText(tag.header));
        const std::vector<std::uint8_t> h = readIndexBytes(src_, tag.header, kCdxHeader, "the header of " + label);
        tag.root = loadLE32(h.data());
        tag.keyLength = loadLE16(h.data() + 12);
        if (tag.keyLength < 1 || tag.keyLength > kCdxMaxKey)
            damaged(label + " has keys of " + std::to_string(tag.keyLength) + " bytes");
        const std::uint8_t options = h[14];
        tag.unique = (options & 0x05) != 0;
        tag.descending = loadLE16(h.data() + 502) != 0;
        std::string raw;
        if (!nulTerminated(h.data() + 512, 512, raw)) damaged("the key expression of " + label + " has no end");
        tag.expression = trimmed(raw);
        if (options & 0x08) {
            tag.hasFilter = true;
            const std::size_t at = raw.size() + 1;
            std::string rawFor;
            if (!nulTerminated(h.data() + 512 + at, 512 - at, rawFor))
                damaged("the FOR clause of " + label + " has no end");
            tag.filter = trimmed(rawFor);
        }
        tags_.push_back(std::move(tag));
    }
}

void IndexFileReader::readNdx() {
    const std::vector<std::uint8_t> h = readIndexBytes(src_, 0, kPage, "the header");
    IndexTag tag;
    tag.name = src_.name();
    tag.root = static_cast<std::uint64_t>(loadLE32(h.data())) * kPage;
    tag.keyLength = loadLE16(h.data() + 12);
    tag.keyType = loadLE16(h.data() + 16) == 0 ? 'C' : 'N';
    tag.itemLength = loadLE16(h.data() + 18);
    tag.unique = h[23] != 0;
    if (tag.root == 0) damaged("its root page is 0");
    if (tag.keyLength == 0 || tag.itemLength < tag.keyLength + 8 || 4 + 2 * tag.itemLength > kPage)
        damaged("it has keys of " + std::to_string(tag.keyLength) + " bytes in items of " +
                std::to_string(tag.itemLength));
    if (tag.keyType == 'N' && tag.keyLength != 8)
        damaged("its numeric keys are " + std::to_string(tag.keyLength) + " bytes long");
    std::string raw;
    if (!nulTerminated(h.data() + 24, kPage - 24, raw)) damaged("its key expression has no end");
    tag.expression = trimmed(raw);
    tags_.push_back(std::move(tag));
}

void IndexFileReader::readEntries(const IndexTag& tag, const KeyOrder& order, char filler,
                                  const std::function<void(const IndexKeyEntry&)>& visit) const {
    switch (kind_) {
        case IndexFileKind::Mdx: MdxWalk(src_, tag, nodeBytes_, order, visit).run(); break;
        case IndexFileKind::Cdx: CdxWalk(src_, tag, filler, order, visit).run(); break;
        case IndexFileKind::Ndx: NdxWalk(src_, tag, order, visit).run(); break;
    }
}

// --- keys ---------------------------------------------------------------------------------------

int compareIndexKeys(IndexFileKind kind, char keyType, const std::string& a, const std::string& b) {
    if (kind == IndexFileKind::Mdx && keyType == 'N' && a.size() == kMdxNumericKey && b.size() == kMdxNumericKey)
        return compareMdxNumbers(a, b);
    if (kind != IndexFileKind::Cdx && (keyType == 'D' || (kind == IndexFileKind::Ndx && keyType == 'N')) &&
        a.size() == 8 && b.size() == 8)
        return compareDoubles(leDouble(a), leDouble(b));
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

KeyMatch matchFieldKey(IndexFileKind kind, char fieldType, const std::string& key, const std::uint8_t* p,
                       std::size_t n) {
    switch (fieldType) {
        case 'C':
            if (key.size() != n) return KeyMatch::Unknown;
            return std::memcmp(key.data(), p, n) == 0 ? KeyMatch::Equal : KeyMatch::Differs;
        case 'N':
        case 'F': {
            if (kind == IndexFileKind::Mdx) {
                Decimal d;
                if (key.size() != kMdxNumericKey ||
                    !parseDecimal(std::string_view(reinterpret_cast<const char*>(p), n), d) ||
                    d.digits.size() > 2 * (kMdxNumericKey - 2))
                    return KeyMatch::Unknown;
                return mdxDecimal(key) == d ? KeyMatch::Equal : KeyMatch::Differs;
            }
            double v;
            if (key.size() != 8 || !parseDouble(p, n, v)) return KeyMatch::Unknown;
            if (kind == IndexFileKind::Cdx) return key == cdxNumberKey(v) ? KeyMatch::Equal : KeyMatch::Differs;
            return leDouble(key) == v ? KeyMatch::Equal : KeyMatch::Differs;
        }
        case 'D': {
            std::int64_t day;
            if (key.size() != 8 || !dateDayNumber(p, n, day)) return KeyMatch::Unknown;
            const double julian = static_cast<double>(day) + kJulianDayZero;
            if (kind == IndexFileKind::Cdx) return key == cdxNumberKey(julian) ? KeyMatch::Equal : KeyMatch::Differs;
            return leDouble(key) == julian ? KeyMatch::Equal : KeyMatch::Differs;
        }
        default: return KeyMatch::Unknown;
    }
}

}  // namespace tavrinth::dbase
