#include "dbf_index.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string_view>

#include "../byte_order.h"
#include "../engine_error.h"
#include "dbf_index_entries.h"

namespace tavrinth::dbase {

namespace {

// Why an index file cannot be read; caught in readIndexes, which turns it into a warning.
[[noreturn]] void damaged(const std::string& what) { throw IndexFileError(what); }

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// Fills Fields/fieldIndexes when the key is one field of the table, else Expression.
void describeKey(TIndexDef& def, const std::string& key, const std::vector<FieldDef>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i].name.empty() && equalsIgnoreCase(fields[i].name, key)) {
            def.Fields = fields[i].name;
            def.fieldIndexes = {static_cast<int>(i)};
            return;
        }
    }
    def.Options |= ixExpression;
    def.Expression = key;
}

// --- .MDX ---------------------------------------------------------------------------------------

constexpr std::uint64_t kMdxPage = 512;         // tag header pages are counted in 512-byte units
constexpr std::uint64_t kMdxTagTableAt = 544;   // the tag table follows the file header
constexpr unsigned kMdxMaxTags = 47;            // tags one .MDX can hold
constexpr std::size_t kMdxKeyAt = 24;           // key expression in a tag header
constexpr std::size_t kMdxKeyBytes = 221;       // 220 characters and the NUL
constexpr std::size_t kMdxForFlagAt = 245;      // non-zero: the tag has a FOR clause
constexpr std::uint64_t kMdxForAt = 762;        // FOR expression in a tag header
constexpr std::size_t kMdxForBytes = 221;

std::vector<TIndexDef> readMdx(const ByteSource& src, const std::vector<FieldDef>& fields, const CodePage& codePage) {
    const std::vector<std::uint8_t> head = readIndexBytes(src, 0, kMdxTagTableAt, "the file header");
    const std::uint8_t version = head[0];
    if (version != 2 && version != 3) {
        char what[64];
        std::snprintf(what, sizeof what, "unknown version byte 0x%02X", version);
        damaged(what);
    }
    const unsigned tags = loadLE16(head.data() + 28);
    if (tags == 0) return {};
    if (tags > kMdxMaxTags)
        damaged("it claims " + std::to_string(tags) + " tags, more than the " + std::to_string(kMdxMaxTags) +
                " an index file can hold");
    // Level 7 (version 3) entries carry a 33-byte tag name, level 4 ones an 11-byte name; the entry
    // length is always the one the header gives.
    const bool level7 = version == 3;
    const std::size_t nameBytes = level7 ? 33 : 11;
    const std::size_t entryLength = head[26];
    const std::size_t minimumEntry = 4 + nameBytes + 7;  // page, name, key format .. key type
    if (entryLength < minimumEntry)
        damaged("its tag-table entries are " + std::to_string(entryLength) + " bytes long, fewer than " +
                std::to_string(minimumEntry));
    const std::uint64_t tableBytes = static_cast<std::uint64_t>(tags) * entryLength;
    const std::vector<std::uint8_t> table = readIndexBytes(src, kMdxTagTableAt, tableBytes, "the tag table");
    const std::uint64_t tableEnd = kMdxTagTableAt + tableBytes;

    std::vector<TIndexDef> defs;
    for (unsigned i = 0; i < tags; ++i) {
        const std::uint8_t* entry = table.data() + static_cast<std::size_t>(i) * entryLength;
        const std::string name = trimmed(codePage.decode(upToNul(entry + 4, nameBytes)));
        const std::string label = "tag " + std::to_string(i + 1) + (name.empty() ? "" : " " + quoted(name));
        if (name.empty()) damaged(label + " has no name");
        const std::uint64_t at = static_cast<std::uint64_t>(loadLE32(entry)) * kMdxPage;
        if (at < tableEnd) damaged("the header of " + label + " lies inside the tag table");
        const std::vector<std::uint8_t> tag = readIndexBytes(src, at, kMdxForFlagAt + 1, "the header of " + label);

        std::string rawKey;
        if (!nulTerminated(tag.data() + kMdxKeyAt, kMdxKeyBytes, rawKey))
            damaged("the key expression of " + label + " has no end");
        const std::string key = trimmed(codePage.decode(rawKey));
        if (key.empty()) damaged(label + " has no key expression");

        TIndexDef def;
        def.Name = name;
        def.Source = src.name();
        describeKey(def, key, fields);
        const std::uint8_t keyFlags = tag[8];
        if (keyFlags & 0x08) def.Options |= ixDescending;
        // Byte 23 (unique, or distinct at level 7) and key flag 0x40 both mark a unique tag; files
        // written by the engine itself do not always set both.
        if (tag[23] != 0 || (keyFlags & 0x40)) def.Options |= ixUnique;
        if (tag[kMdxForFlagAt] != 0) {
            const std::vector<std::uint8_t> forBytes =
                readIndexBytes(src, at + kMdxForAt, kMdxForBytes, "the FOR clause of " + label);
            std::string rawFor;
            if (!nulTerminated(forBytes.data(), forBytes.size(), rawFor))
                damaged("the FOR clause of " + label + " has no end");
            def.Filter = trimmed(codePage.decode(rawFor));
        }
        defs.push_back(std::move(def));
    }
    return defs;
}

// --- .CDX ---------------------------------------------------------------------------------------

constexpr std::uint64_t kCdxNode = 512;        // nodes of the B-tree
constexpr std::uint64_t kCdxHeader = 1024;     // an index header (the directory's, each tag's)
constexpr std::size_t kCdxMaxKeyLength = 240;  // longest key a compact index node holds
constexpr std::size_t kCdxMaxTags = 4096;
constexpr int kCdxMaxDepth = 32;

struct CdxTag {
    std::string name;  // as stored, in the table's code page
    std::uint64_t header = 0;
};

class CdxDirectory {
public:
    CdxDirectory(const ByteSource& src, std::size_t keyLength) : src_(src), keyLength_(keyLength) {}

    void visit(std::uint64_t offset, int depth, std::vector<CdxTag>& out) {
        if (depth > kCdxMaxDepth) damaged("the tag directory is nested too deeply");
        if (offset < kCdxHeader || offset % kCdxNode != 0)
            damaged("a node of the tag directory is at offset " + std::to_string(offset));
        if (!seen_.insert(offset).second) damaged("the tag directory runs in a circle");
        const std::vector<std::uint8_t> node = readIndexBytes(src_, offset, kCdxNode, "a node of the tag directory");
        const unsigned attributes = loadLE16(node.data());
        const std::size_t keys = loadLE16(node.data() + 2);
        if (attributes > 3) damaged("a node of the tag directory has the attributes " + std::to_string(attributes));
        if (attributes & 0x02)
            leaf(node, keys, out);
        else
            branch(node, keys, depth, out);
    }

private:
    // Interior node: from byte 12, entries of key, record number and child node (big-endian).
    void branch(const std::vector<std::uint8_t>& node, std::size_t keys, int depth, std::vector<CdxTag>& out) {
        const std::size_t stride = keyLength_ + 8;
        if (keys == 0 || 12 + keys * stride > kCdxNode)
            damaged("an interior node of the tag directory holds " + std::to_string(keys) + " keys");
        for (std::size_t i = 0; i < keys; ++i) {
            const std::uint8_t* e = node.data() + 12 + i * stride;
            visit(loadBE32(e + keyLength_ + 4), depth + 1, out);
        }
    }

    // Leaf node: from byte 24 one packed entry per key (record number, count of bytes shared with
    // the previous key, count of trailing blanks); the key bytes are stored from the end of the
    // node backwards.
    void leaf(const std::vector<std::uint8_t>& node, std::size_t keys, std::vector<CdxTag>& out) {
        const std::uint32_t recordMask = loadLE32(node.data() + 14);
        const unsigned duplicateMask = node[18], trailMask = node[19];
        const unsigned recordBits = node[20], duplicateBits = node[21], trailBits = node[22];
        const std::size_t entryBytes = node[23];
        if (entryBytes < 1 || entryBytes > 8 || recordBits > 32 || duplicateBits > 8 || trailBits > 8 ||
            recordBits + duplicateBits + trailBits > entryBytes * 8)
            damaged("a leaf of the tag directory has an impossible entry layout");
        const std::size_t infoEnd = 24 + keys * entryBytes;
        if (infoEnd > kCdxNode) damaged("a leaf of the tag directory holds " + std::to_string(keys) + " keys");
        std::size_t keyAt = kCdxNode;
        std::string previous;
        for (std::size_t i = 0; i < keys; ++i) {
            std::uint64_t v = 0;
            for (std::size_t b = 0; b < entryBytes; ++b)
                v |= static_cast<std::uint64_t>(node[24 + i * entryBytes + b]) << (8 * b);
            const std::uint64_t record = v & recordMask;
            const std::size_t duplicates = static_cast<std::size_t>((v >> recordBits) & duplicateMask);
            const std::size_t trail = static_cast<std::size_t>((v >> (recordBits + duplicateBits)) & trailMask);
            if (duplicates > previous.size() || duplicates + trail > keyLength_)
                damaged("a key of the tag directory does not fit its leaf");
            const std::size_t stored = keyLength_ - duplicates - trail;
            if (keyAt < infoEnd + stored) damaged("the keys of a tag directory leaf overlap its entries");
            keyAt -= stored;
            std::string key = previous.substr(0, duplicates);
            key.append(reinterpret_cast<const char*>(node.data() + keyAt), stored);
            key.append(trail, ' ');
            out.push_back({key, record});
            previous = std::move(key);
            if (out.size() > kCdxMaxTags) damaged("the tag directory holds more than " + std::to_string(kCdxMaxTags) + " tags");
        }
    }

    const ByteSource& src_;
    std::size_t keyLength_;
    std::set<std::uint64_t> seen_;
};

std::vector<TIndexDef> readCdx(const ByteSource& src, const std::vector<FieldDef>& fields, const CodePage& codePage) {
    const std::vector<std::uint8_t> head = readIndexBytes(src, 0, kCdxHeader, "the header of the tag directory");
    const std::uint64_t root = loadLE32(head.data());
    const std::size_t keyLength = loadLE16(head.data() + 12);
    const std::uint8_t options = head[14];
    if ((options & 0x60) != 0x60) damaged("it is not a compound index");
    if (keyLength < 1 || keyLength > kCdxMaxKeyLength)
        damaged("its tag directory has keys of " + std::to_string(keyLength) + " bytes");

    std::vector<CdxTag> tags;
    CdxDirectory(src, keyLength).visit(root, 0, tags);
    // FoxPro numbers the tags in the order they were made, which is the order of their headers.
    std::stable_sort(tags.begin(), tags.end(), [](const CdxTag& a, const CdxTag& b) { return a.header < b.header; });

    std::vector<TIndexDef> defs;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const std::string name = trimmed(codePage.decode(tags[i].name));
        const std::string label = "tag " + std::to_string(i + 1) + (name.empty() ? "" : " " + quoted(name));
        if (name.empty()) damaged(label + " has no name");
        const std::uint64_t at = tags[i].header;
        if (at < kCdxHeader || at % kCdxNode != 0) damaged("the header of " + label + " is at offset " + std::to_string(at));
        if (i > 0 && tags[i - 1].header == at) damaged("two tags share the header at offset " + std::to_string(at));
        const std::vector<std::uint8_t> tag = readIndexBytes(src, at, kCdxHeader, "the header of " + label);
        const std::size_t tagKeyLength = loadLE16(tag.data() + 12);
        if (tagKeyLength < 1 || tagKeyLength > kCdxMaxKeyLength)
            damaged(label + " has keys of " + std::to_string(tagKeyLength) + " bytes");
        const std::uint8_t tagOptions = tag[14];
        const std::uint8_t* pool = tag.data() + 512;
        const std::size_t poolBytes = 512;
        std::string rawKey;
        if (!nulTerminated(pool, poolBytes, rawKey)) damaged("the key expression of " + label + " has no end");
        const std::string key = trimmed(codePage.decode(rawKey));
        if (key.empty()) damaged(label + " has no key expression");

        TIndexDef def;
        def.Name = name;
        def.Source = src.name();
        describeKey(def, key, fields);
        if (loadLE16(tag.data() + 502) != 0) def.Options |= ixDescending;
        if (tagOptions & 0x05) def.Options |= ixUnique;  // unique, or candidate: no two equal keys
        if (tagOptions & 0x08) {
            const std::size_t forAt = rawKey.size() + 1;
            std::string rawFor;
            if (!nulTerminated(pool + forAt, poolBytes - forAt, rawFor))
                damaged("the FOR clause of " + label + " has no end");
            def.Filter = trimmed(codePage.decode(rawFor));
        }
        defs.push_back(std::move(def));
    }
    return defs;
}

}  // namespace

std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields, const FileFamily& family,
                                   const CodePage& codePage, std::vector<std::string>& warnings) {
    // Only a production index the header flags is used: an .MDX or .CDX next to a table whose
    // header byte 28 has bit 0x01 clear is stale or belongs to another program, and the engine
    // does not open it. .NDX/.NTX files and other .MDX files are opened only on request.
    if ((table.tableFlags & 0x01) == 0) return {};
    const std::string extension = table.foxPro ? ".cdx" : ".mdx";
    const std::string kind = table.foxPro ? "structural index (.CDX)" : "production index (.MDX)";
    std::string fileName = kind;
    try {
        const std::unique_ptr<ByteSource> src = family.open(extension);
        if (!src) {
            std::string message = "the table header names a " + kind + " but the file is missing; the table has no index definitions";
            // A FoxPro table without memo fields has the same version byte as a dBase III table;
            // its .CDX is not taken for the .MDX the header promises.
            if (!table.foxPro && family.open(".cdx")) message += " (the .CDX next to it is not read for a dBase table)";
            warnings.push_back(std::move(message));
            return {};
        }
        fileName = src->name();
        return table.foxPro ? readCdx(*src, fields, codePage) : readMdx(*src, fields, codePage);
    } catch (const IndexFileError& d) {
        warnings.push_back("the index file " + fileName + " is damaged (" + d.what() + "); its index definitions are left out");
    } catch (const EDBEngineError& e) {
        warnings.push_back("the index file " + fileName + " cannot be read (" + e.what() + "); its index definitions are left out");
    }
    return {};
}

}  // namespace tavrinth::dbase
