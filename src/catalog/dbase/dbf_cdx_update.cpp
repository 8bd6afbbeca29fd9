#include "dbf_cdx_update.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "../byte_order.h"
#include "../file_io.h"
#include "../table_change.h"
#include "dbf_cdx_writer.h"
#include "dbf_expression.h"
#include "dbf_index_entries.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

using Code = EDBEngineError::Code;

namespace {

constexpr std::size_t kNode = kCdxNodeBytes;
constexpr std::size_t kInnerEntriesAt = 12;
constexpr std::uint32_t kNoSibling = 0xFFFFFFFFu;
constexpr unsigned kRootBit = 0x01, kLeafBit = 0x02;
constexpr std::uint8_t kOptionUnique = 0x01, kOptionCandidate = 0x04, kOptionFor = 0x08;
constexpr int kMaxDepth = 64;

// The file is not what a change in place handles: the caller writes it again whole.
struct LeaveToRebuild {};

}  // namespace

// --- keys ----------------------------------------------------------------------------------------

CdxKeys::CdxKeys(DBaseTable& table, std::string label, int field, std::unique_ptr<KeyExpression> expression,
                 std::size_t keyLength, bool nullByte, char filler)
    : table_(table), label_(std::move(label)), field_(field), expression_(std::move(expression)), keyLength_(keyLength),
      nullByte_(nullByte), filler_(filler) {}

CdxKeys::~CdxKeys() = default;

std::unique_ptr<CdxKeys> CdxKeys::make(DBaseTable& table, const IndexTag& tag, bool candidate, Code& code,
                                       std::string& why) {
    const std::string label = "tag " + tag.name;
    const std::vector<RawField>& raw = table.rawFields();
    // A tag on one field (its name as the table has it), or a text expression.
    int field = -1;
    for (std::size_t i = 0; i < raw.size() && field < 0; ++i)
        if (equalsIgnoreCase(trimmed(table.codePage().decode(raw[i].name)), tag.expression)) field = static_cast<int>(i);
    if (field >= 0) {
        const RawField& rf = raw[static_cast<std::size_t>(field)];
        const bool nullByte = cdxKeysHaveNullByte(table, static_cast<std::size_t>(field), candidate);
        if (cdxKeyLength(rf.type, rf.length, nullByte) != tag.keyLength) {
            code = Code::InvalidValue;
            why = label + ": its keys of " + std::to_string(tag.keyLength) + " bytes do not fit field " + tag.expression;
            return nullptr;
        }
        return std::unique_ptr<CdxKeys>(
            new CdxKeys(table, label, field, nullptr, tag.keyLength, nullByte, cdxKeyFiller(rf.type)));
    }
    std::string problem;
    std::unique_ptr<KeyExpression> expression = KeyExpression::parse(tag.expression, raw, table.codePage(), problem);
    if (!expression || expression->type() != 'C' || expression->length() > tag.keyLength) {
        code = Code::Unsupported;
        why = label + " has the key expression \"" + tag.expression + "\", which is not evaluated here" +
              (problem.empty() ? std::string() : " (" + problem + ")");
        return nullptr;
    }
    return std::unique_ptr<CdxKeys>(new CdxKeys(table, label, -1, std::move(expression), tag.keyLength, false, ' '));
}

bool CdxKeys::key(const std::uint8_t* rec, std::uint32_t physical, std::string& key, Code& code, std::string& why) const {
    const std::string where = label_ + ", record " + std::to_string(physical + 1);
    if (field_ >= 0) {
        if (cdxRecordKey(table_, rec, static_cast<std::size_t>(field_), nullByte_, key)) return true;
        code = Code::InvalidValue;
        why = where + ": the value has no key";
        return false;
    }
    std::string problem;
    if (!expression_->text(rec, table_.fields(), table_.header(), key, problem)) {
        code = Code::Unsupported;
        why = where + ": " + problem;
        return false;
    }
    key.resize(keyLength_, ' ');
    return true;
}

// --- nodes ---------------------------------------------------------------------------------------

struct CdxInPlace::Node {
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> bytes;
    bool dirty = false;
    bool fresh = false;    // taken where the file ended
    bool settled = false;  // its entries checked against the records, or written by this change
};

// One tag: its header, and the tree walked from its root.
class CdxInPlace::Tag {
public:
    Tag(CdxInPlace& file, const IndexTag& tag, std::uint8_t options, std::unique_ptr<CdxKeys> keys,
        std::unique_ptr<Condition> condition)
        : file_(file), label_("tag " + tag.name), headerOffset_(static_cast<std::uint32_t>(tag.header)),
          root_(static_cast<std::uint32_t>(tag.root)), keyLength_(tag.keyLength), descending_(tag.descending),
          unique_((options & kOptionUnique) != 0), candidate_((options & kOptionCandidate) != 0),
          keys_(std::move(keys)), condition_(std::move(condition)) {
        // The leaf style is not known until a leaf tells it: every style whose leaves the leaves
        // read so far are.
        for (const CdxLeafStyle s : {CdxLeafStyle::Narrow, CdxLeafStyle::Wide, CdxLeafStyle::VisualFoxPro})
            styles_.emplace_back(s, CdxLeafPacker(keyLength_, keys_->filler(), s));
    }

    bool rootChanged() const { return rootChanged_; }
    std::uint32_t headerOffset() const { return headerOffset_; }
    std::uint32_t root() const { return root_; }

    // The change of one record, in this tag.
    void apply(const MdxRecordChange& c) {
        const std::uint32_t record = c.physical + 1;
        const bool wasIn = c.before && admits(c.before), isIn = admits(c.after);
        std::string oldKey, newKey;
        if (isIn) newKey = keyOf(c.after, c.physical);
        if (wasIn) {
            oldKey = keyOf(c.before, c.physical);
            if (isIn && oldKey == newKey) return;
            removeEntry(oldKey, record);
        }
        if (isIn) insertEntry(newKey, record);
    }

private:
    // A node as its entries: a leaf's, or an inner node's (the last entry below each child).
    struct Decoded {
        Node* node = nullptr;
        bool leaf = false;
        std::uint32_t left = kNoSibling, right = kNoSibling;
        std::vector<CdxLeafEntry> entries;
        std::vector<std::uint32_t> children;  // inner node: the children's offsets
    };
    struct Level {
        Decoded d;
        std::size_t at = 0;  // inner node: the child the path goes on to; leaf: the entry's place
    };
    using Path = std::vector<Level>;

    bool admits(const std::uint8_t* rec) const {
        bool yes = true;
        std::string why;
        if (condition_ && !condition_->admits(rec, file_.table_.fields(), file_.table_.header(), yes, why))
            throw LeaveToRebuild{};
        return yes;
    }
    std::string keyOf(const std::uint8_t* rec, std::uint32_t physical) const {
        std::string key, why;
        Code code;
        if (!keys_->key(rec, physical, key, code, why)) throw LeaveToRebuild{};  // the rebuild says why
        return key;
    }

    // Index order: keys by their bytes (descending tags reversed), equal keys by record number.
    int order(const std::string& a, std::uint32_t ra, const std::string& b, std::uint32_t rb) const {
        const int c = std::memcmp(a.data(), b.data(), keyLength_);
        if (c != 0) return (c < 0) != descending_ ? -1 : 1;
        return ra < rb ? -1 : (ra > rb ? 1 : 0);
    }
    bool same(const CdxLeafEntry& a, const CdxLeafEntry& b) const { return a.record == b.record && a.key == b.key; }

    // Removes the record's entry; a unique tag keeps it when the record does not hold the key.
    void removeEntry(const std::string& key, std::uint32_t record) {
        if (unique_ && !candidate_) {
            // Another record with the key would take its place: not known without the records.
            const std::uint32_t holder = holderOf(key);
            if (holder == 0 || holder >= record) throw LeaveToRebuild{};
            return;
        }
        Path path = locate(key, record);
        Level& leaf = path.back();
        if (leaf.at >= leaf.d.entries.size() || !same(leaf.d.entries[leaf.at], {record, key})) throw LeaveToRebuild{};
        if (leaf.d.entries.size() == 1 && path.size() > 1) throw LeaveToRebuild{};  // a leaf would be emptied
        leaf.d.entries.erase(leaf.d.entries.begin() + static_cast<std::ptrdiff_t>(leaf.at));
        settle(path, path.size() - 1, false);
    }

    void insertEntry(const std::string& key, std::uint32_t record) {
        if (unique_ || candidate_) {
            if (const std::uint32_t holder = holderOf(key); holder != 0) {
                if (candidate_)
                    throw EDBEngineError(Code::InvalidValue, "Cannot rebuild the index file " + file_.path_ + ": record " +
                                                                 std::to_string(std::max(holder, record)) +
                                                                 " has a key another record has in the candidate " + label_);
                if (holder < record) return;  // the first record keeps the key
                // A record before the holder takes the key.
                Path path = locate(key, holder);
                Level& leaf = path.back();
                if (leaf.at >= leaf.d.entries.size() || !same(leaf.d.entries[leaf.at], {holder, key}) ||
                    (leaf.d.entries.size() == 1 && path.size() > 1))
                    throw LeaveToRebuild{};
                leaf.d.entries.erase(leaf.d.entries.begin() + static_cast<std::ptrdiff_t>(leaf.at));
                settle(path, path.size() - 1, false);
            }
        }
        Path path = locate(key, record);
        Level& leaf = path.back();
        const bool atEnd = leaf.at == leaf.d.entries.size() && leaf.d.right == kNoSibling;
        leaf.d.entries.insert(leaf.d.entries.begin() + static_cast<std::ptrdiff_t>(leaf.at), CdxLeafEntry{record, key});
        settle(path, path.size() - 1, atEnd);
    }

    // The record of the entry with the key (the only one in a unique tag), or 0.
    std::uint32_t holderOf(const std::string& key) {
        Path path = locate(key, 0);
        const Level& leaf = path.back();
        if (leaf.at < leaf.d.entries.size() && leaf.d.entries[leaf.at].key == key) return leaf.d.entries[leaf.at].record;
        return 0;
    }

    // The way from the root to the leaf where (key, record) is or would go: in each inner node the
    // first child whose last entry is not before it (the last child past them all).
    Path locate(const std::string& key, std::uint32_t record) {
        Path path;
        std::uint32_t offset = root_;
        for (int depth = 0;; ++depth) {
            if (depth > kMaxDepth) throw LeaveToRebuild{};
            Level l{read(offset, depth == 0), 0};
            // The parent's entry is the last entry below this node.
            if (depth > 0) {
                const Level& parent = path.back();
                if (l.d.entries.empty() || !same(l.d.entries.back(), parent.d.entries[parent.at])) throw LeaveToRebuild{};
            }
            const std::vector<CdxLeafEntry>& e = l.d.entries;
            if (l.d.leaf) {
                while (l.at < e.size() && order(e[l.at].key, e[l.at].record, key, record) < 0) ++l.at;
                path.push_back(std::move(l));
                return path;
            }
            while (l.at + 1 < e.size() && order(e[l.at].key, e[l.at].record, key, record) < 0) ++l.at;
            offset = l.d.children[l.at];
            path.push_back(std::move(l));
        }
    }

    // A node read and decoded; a leaf is checked the first time: it must be the leaf the writer
    // packs from its entries, its entries in order, each the key of its record.
    Decoded read(std::uint32_t offset, bool root) {
        Node& n = file_.node(offset);
        const std::uint8_t* b = n.bytes.data();
        Decoded d;
        d.node = &n;
        const unsigned attributes = loadLE16(b);
        const std::size_t count = loadLE16(b + 2);
        d.left = loadLE32(b + 4);
        d.right = loadLE32(b + 8);
        if ((attributes & kRootBit) != (root ? kRootBit : 0u)) throw LeaveToRebuild{};
        if (root && (d.left != kNoSibling || d.right != kNoSibling)) throw LeaveToRebuild{};
        if (attributes & kLeafBit) {
            d.leaf = true;
            try {
                unpackCdxLeaf(n.bytes, keyLength_, keys_->filler(), label_,
                              [&](std::uint32_t record, std::string key) { d.entries.push_back({record, std::move(key)}); });
            } catch (const IndexFileError&) {
                throw LeaveToRebuild{};
            }
            if (d.entries.empty() && !root) throw LeaveToRebuild{};
            if (!n.settled) {
                checkLeaf(n, d.entries);
                n.settled = true;
            }
            return d;
        }
        if (attributes != (root ? kRootBit : 0u)) throw LeaveToRebuild{};
        const std::size_t stride = keyLength_ + 8;
        if (count == 0 || kInnerEntriesAt + count * stride > kNode) throw LeaveToRebuild{};
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* e = b + kInnerEntriesAt + i * stride;
            d.entries.push_back({loadBE32(e + keyLength_), std::string(reinterpret_cast<const char*>(e), keyLength_)});
            d.children.push_back(loadBE32(e + keyLength_ + 4));
        }
        // The writer leaves the rest of an inner node zero.
        for (std::size_t j = kInnerEntriesAt + count * stride; j < kNode; ++j)
            if (b[j] != 0) throw LeaveToRebuild{};
        return d;
    }

    void checkLeaf(const Node& n, const std::vector<CdxLeafEntry>& entries) {
        // The styles that pack these entries into these very bytes (the root bit and the links aside).
        std::vector<std::pair<CdxLeafStyle, CdxLeafPacker>> kept;
        for (const auto& s : styles_) {
            const std::vector<std::uint8_t> again = s.second.leaf(entries);
            if (s.second.fits(entries) && (loadLE16(again.data()) | kRootBit) == (loadLE16(n.bytes.data()) | kRootBit) &&
                std::equal(again.begin() + 2, again.begin() + 4, n.bytes.begin() + 2) &&
                std::equal(again.begin() + 12, again.end(), n.bytes.begin() + 12))
                kept.push_back(s);
        }
        if (kept.empty()) throw LeaveToRebuild{};
        styles_ = std::move(kept);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const CdxLeafEntry& e = entries[i];
            if (i > 0 && order(entries[i - 1].key, entries[i - 1].record, e.key, e.record) >= 0) throw LeaveToRebuild{};
            // An entry of a record the tag does not hold, or a key other than the record's.
            if (e.record == 0 || e.record > file_.table_.physicalCount()) throw LeaveToRebuild{};
            const std::uint8_t* rec = file_.record(e.record);
            if (!admits(rec) || keyOf(rec, e.record - 1) != e.key) throw LeaveToRebuild{};
        }
    }

    // The node at path[at] changed: stored as it is when it fits, else split in two; the parents
    // follow. `atEnd`: the entry went past the last one of the tag, where a leaf is split as the
    // writer fills leaves (the left half as full as it goes).
    void settle(Path& path, std::size_t at, bool atEnd) {
        Decoded& d = path[at].d;
        if (fitsNode(d)) {
            store(d);
            lastChanged(path, at);
            return;
        }
        const std::size_t items = d.entries.size();
        std::size_t keep = items / 2;
        if (atEnd) {
            if (d.leaf) {
                std::vector<CdxLeafEntry> left;
                while (left.size() + 1 < items) {
                    left.push_back(d.entries[left.size()]);
                    if (!fitsLeaf(left)) {
                        left.pop_back();
                        break;
                    }
                }
                keep = left.size();
            } else {
                keep = innerPerNode();
            }
        }
        if (keep == 0 || keep >= items) throw LeaveToRebuild{};
        Decoded right;
        right.leaf = d.leaf;
        right.node = &file_.newNode();
        right.entries.assign(d.entries.begin() + static_cast<std::ptrdiff_t>(keep), d.entries.end());
        d.entries.resize(keep);
        if (!d.leaf) {
            right.children.assign(d.children.begin() + static_cast<std::ptrdiff_t>(keep), d.children.end());
            d.children.resize(keep);
        }
        if (!fitsNode(d) || !fitsNode(right)) throw LeaveToRebuild{};
        // The links on the level: left, the new node, the old right neighbour.
        right.left = d.node->offset;
        right.right = d.right;
        d.right = right.node->offset;
        if (right.right != kNoSibling) {
            Node& neighbour = file_.node(right.right);
            if (loadLE32(neighbour.bytes.data() + 4) != d.node->offset) throw LeaveToRebuild{};
            storeLE32(neighbour.bytes.data() + 4, right.node->offset);
            neighbour.dirty = true;
        }
        auto& counts = tavrinth::testing::cdxInPlaceCounts();
        ++(d.leaf ? counts.leafSplits : counts.innerSplits);
        if (at == 0) {
            // A new root above the two halves.
            Decoded root;
            root.node = &file_.newNode();
            root.entries = {d.entries.back(), right.entries.back()};
            root.children = {d.node->offset, right.node->offset};
            root_ = root.node->offset;
            rootChanged_ = true;
            store(d);
            store(right);
            store(root);
            ++counts.rootSplits;
            return;
        }
        store(d);
        store(right);
        Level& parent = path[at - 1];
        const std::size_t i = parent.at;
        parent.d.entries[i] = d.entries.back();
        parent.d.entries.insert(parent.d.entries.begin() + static_cast<std::ptrdiff_t>(i + 1), right.entries.back());
        parent.d.children.insert(parent.d.children.begin() + static_cast<std::ptrdiff_t>(i + 1), right.node->offset);
        settle(path, at - 1, atEnd);
    }

    // The last entry of the node at path[at] may have changed: the parents that keep it follow.
    void lastChanged(Path& path, std::size_t at) {
        for (std::size_t up = at; up > 0; --up) {
            const Decoded& child = path[up].d;
            Level& parent = path[up - 1];
            if (child.entries.empty() || same(parent.d.entries[parent.at], child.entries.back())) return;
            parent.d.entries[parent.at] = child.entries.back();
            store(parent.d);
        }
    }

    std::size_t innerPerNode() const { return (kNode - kInnerEntriesAt) / (keyLength_ + 8); }
    bool fitsNode(const Decoded& d) const { return d.leaf ? fitsLeaf(d.entries) : d.entries.size() <= innerPerNode(); }
    // Every style still possible must agree.
    bool fitsLeaf(const std::vector<CdxLeafEntry>& entries) const {
        const bool fits = styles_.front().second.fits(entries);
        for (const auto& s : styles_)
            if (s.second.fits(entries) != fits) throw LeaveToRebuild{};
        return fits;
    }

    void store(Decoded& d) {
        std::vector<std::uint8_t>& b = d.node->bytes;
        const bool root = d.node->offset == root_;
        if (d.leaf) {
            b = styles_.front().second.leaf(d.entries);
            for (const auto& s : styles_)
                if (s.second.leaf(d.entries) != b) throw LeaveToRebuild{};
            if (root) storeLE16(b.data(), static_cast<std::uint16_t>(loadLE16(b.data()) | kRootBit));
        } else {
            b.assign(kNode, 0);
            storeLE16(b.data(), static_cast<std::uint16_t>(root ? kRootBit : 0));
            storeLE16(b.data() + 2, static_cast<std::uint16_t>(d.entries.size()));
            const std::size_t stride = keyLength_ + 8;
            for (std::size_t i = 0; i < d.entries.size(); ++i) {
                std::uint8_t* e = b.data() + kInnerEntriesAt + i * stride;
                std::memcpy(e, d.entries[i].key.data(), keyLength_);
                storeBE32(e + keyLength_, d.entries[i].record);
                storeBE32(e + keyLength_ + 4, d.children[i]);
            }
        }
        storeLE32(b.data() + 4, d.left);
        storeLE32(b.data() + 8, d.right);
        d.node->dirty = true;
        d.node->settled = true;
    }

    CdxInPlace& file_;
    std::string label_;
    std::uint32_t headerOffset_, root_;
    std::size_t keyLength_;
    bool descending_, unique_, candidate_;
    std::unique_ptr<CdxKeys> keys_;
    std::unique_ptr<Condition> condition_;
    std::vector<std::pair<CdxLeafStyle, CdxLeafPacker>> styles_;
    bool rootChanged_ = false;
};

// --- the file ------------------------------------------------------------------------------------

CdxInPlace::CdxInPlace(DBaseTable& table, FamilyChange& change, std::string path, std::string tablePath)
    : table_(table), change_(change), path_(std::move(path)), tablePath_(std::move(tablePath)) {}

CdxInPlace::~CdxInPlace() = default;

CdxInPlace::Node& CdxInPlace::node(std::uint32_t offset) {
    for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it)
        if ((*it)->offset == offset) return **it;
    if (offset < kCdxHeaderBytes || offset % kNode != 0 || offset + kNode > fileBytes_) throw LeaveToRebuild{};
    auto n = std::make_unique<Node>();
    n->offset = offset;
    n->bytes.resize(kNode);
    change_.read(path_, offset, n->bytes.data(), n->bytes.size());
    nodes_.push_back(std::move(n));
    return *nodes_.back();
}

CdxInPlace::Node& CdxInPlace::newNode() {
    if (nextNode_ + kNode > 0xFFFFFFFFull) throw LeaveToRebuild{};
    auto n = std::make_unique<Node>();
    n->offset = static_cast<std::uint32_t>(nextNode_);
    n->bytes.assign(kNode, 0);
    n->fresh = true;
    n->settled = true;
    nextNode_ += kNode;
    nodes_.push_back(std::move(n));
    return *nodes_.back();
}

const std::uint8_t* CdxInPlace::record(std::uint32_t number) {
    const Header& h = table_.header();
    record_.resize(h.recordLength);
    change_.read(tablePath_, h.headerLength + static_cast<std::uint64_t>(number - 1) * h.recordLength, record_.data(),
                 record_.size());
    return record_.data();
}

bool CdxInPlace::prepare(const std::vector<MdxRecordChange>& changes) {
    try {
        plan(changes);
    } catch (const LeaveToRebuild&) {
        ++tavrinth::testing::cdxInPlaceCounts().leftToRebuild;
        nodes_.clear();
        tags_.clear();
        return false;
    }
    // Everything the writes overwrite, saved before the first of them.
    for (const auto& n : nodes_)
        if (n->dirty && !n->fresh) change_.preserve(path_, n->offset, kNode);
    for (const auto& t : tags_)
        if (t->rootChanged()) change_.preserve(path_, t->headerOffset(), 4);
    ++tavrinth::testing::cdxInPlaceCounts().changes;
    return true;
}

void CdxInPlace::plan(const std::vector<MdxRecordChange>& changes) {
    // The layout the writer gives: whole nodes, no free list.
    fileBytes_ = change_.sizeOf(path_);
    if (fileBytes_ < kCdxHeaderBytes || fileBytes_ % kNode != 0 || fileBytes_ > 0xFFFFFFFFull) throw LeaveToRebuild{};
    nextNode_ = fileBytes_;
    std::uint8_t head[8];
    change_.read(path_, 0, head, sizeof head);
    if (loadLE32(head + 4) != 0) throw LeaveToRebuild{};
    const std::unique_ptr<ByteSource> src = table_.family().open(".cdx");
    if (!src) throw LeaveToRebuild{};
    std::vector<IndexTag> tags;
    try {
        tags = IndexFileReader(*src, IndexFileKind::Cdx).tags();
    } catch (const IndexFileError&) {
        throw LeaveToRebuild{};
    }
    if (tags.empty()) throw LeaveToRebuild{};
    for (const IndexTag& tag : tags) {
        if (tag.header + kCdxHeaderBytes > fileBytes_) throw LeaveToRebuild{};
        std::uint8_t h[16];
        change_.read(path_, tag.header, h, sizeof h);
        if (loadLE32(h + 4) != 0) throw LeaveToRebuild{};  // a free list
        // A FOR clause: the tag holds the records it admits (one not understood: the rebuild says why).
        std::unique_ptr<Condition> condition;
        if (h[14] & kOptionFor) {
            std::string why;
            const std::string text = table_.codePage().decode(tag.filter);
            if (!text.empty()) condition = Condition::parse(text, table_.rawFields(), table_.codePage(), why);
            if (!condition) throw LeaveToRebuild{};
            for (const std::size_t f : condition->fields())
                if (table_.fields()[f].length != table_.rawFields()[f].length) throw LeaveToRebuild{};
        }
        Code code;
        std::string why;
        std::unique_ptr<CdxKeys> keys = CdxKeys::make(table_, tag, (h[14] & kOptionCandidate) != 0, code, why);
        if (!keys) throw LeaveToRebuild{};
        tags_.push_back(std::make_unique<Tag>(*this, tag, h[14], std::move(keys), std::move(condition)));
    }
    for (const auto& tag : tags_)
        for (const MdxRecordChange& c : changes) tag->apply(c);
}

void CdxInPlace::write() {
    for (const auto& n : nodes_)
        if (n->dirty && !n->fresh) change_.write(path_, n->offset, n->bytes.data(), n->bytes.size());
    // New nodes in file order, so that the file grows without gaps.
    std::vector<const Node*> fresh;
    for (const auto& n : nodes_)
        if (n->fresh) fresh.push_back(n.get());
    std::sort(fresh.begin(), fresh.end(), [](const Node* a, const Node* b) { return a->offset < b->offset; });
    for (const Node* n : fresh) change_.write(path_, n->offset, n->bytes.data(), n->bytes.size());
    for (const auto& t : tags_)
        if (t->rootChanged()) {
            std::uint8_t root[4];
            storeLE32(root, t->root());
            change_.write(path_, t->headerOffset(), root, sizeof root);
        }
}

}  // namespace tavrinth::dbase

namespace tavrinth::testing {
MdxInPlaceCounts& cdxInPlaceCounts() {
    static MdxInPlaceCounts counts;
    return counts;
}
}  // namespace tavrinth::testing
