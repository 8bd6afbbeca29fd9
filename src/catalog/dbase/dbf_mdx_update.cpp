#include "dbf_mdx_update.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "../byte_order.h"
#include "../table_change.h"
#include "dbf_expression.h"
#include "dbf_index.h"
#include "dbf_mdx_writer.h"
#include "dbf_table.h"
#include "dbf_writer.h"

namespace tavrinth::dbase {

using Code = EDBEngineError::Code;

namespace {

std::string hex2(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[(v >> 4) & 15], digits[v & 15]};
}

constexpr std::uint64_t kPage = 512;
constexpr std::uint32_t kPagesPerBlock = kMdxBlockBytes / kPage;
constexpr std::uint32_t kHeaderPages = kMdxHeaderBytes / kPage;
constexpr std::size_t kTagTableAt = 544;
constexpr std::size_t kTagEntryBytes = 32;
constexpr std::size_t kNodeItemsAt = 8;
constexpr std::size_t kTagHeaderKept = 256;  // the bytes of a tag header a change may write
constexpr int kMaxDepth = 64;
// Leaves walked to the right past the first along a run of equal keys; more is left to the rebuild.
constexpr int kMaxWalk = 16;

// The file is not what a change in place handles: the caller writes it again whole.
struct LeaveToRebuild {};

}  // namespace

// --- keys ----------------------------------------------------------------------------------------

MdxKeys::MdxKeys(DBaseTable& table, std::string label, std::unique_ptr<KeyExpression> expression, std::size_t keyLength)
    : table_(table), label_(std::move(label)), expression_(std::move(expression)), keyLength_(keyLength) {}

MdxKeys::~MdxKeys() = default;

std::unique_ptr<MdxKeys> MdxKeys::make(DBaseTable& table, const std::string& label, const std::string& expression,
                                       char keyType, std::size_t keyLength, std::uint64_t records, Code& code,
                                       std::string& why) {
    const std::vector<RawField>& raw = table.rawFields();
    std::string problem;
    std::unique_ptr<KeyExpression> key = KeyExpression::parse(expression, raw, table.codePage(), problem);
    if (!key) {
        code = Code::Unsupported;
        why = label + " has the key expression \"" + expression + "\", which is not evaluated here (" + problem + ")";
        return nullptr;
    }
    for (const std::size_t f : key->fields())
        if (table.fields()[f].length != raw[f].length) {
            code = Code::InvalidValue;
            why = label + ": field " + table.fields()[f].name + " runs past the record";
            return nullptr;
        }
    const char type = key->type();
    const std::size_t length = type == 'N' ? kMdxNumericKeyLength : type == 'D' ? kMdxDateKeyLength : key->length();
    // A text key shorter than the tag's is padded with spaces, as dBase pads it.
    if (type != keyType || (type == 'C' ? length > keyLength : length != keyLength)) {
        code = Code::InvalidValue;
        why = label + ": its key expression gives " + std::string(1, type) + " keys of " + std::to_string(length) +
              " bytes, but the tag holds " + std::string(1, keyType) + " keys of " + std::to_string(keyLength) + " bytes";
        return nullptr;
    }
    const Header& h = table.header();
    if (type == 'C' && records > 1 && !textSortsInByteOrder(h)) {
        code = Code::Unsupported;
        why = label + " orders text under the table's language driver (" +
              (h.level7 ? "'" + h.languageDriverName + "'" : "id 0x" + hex2(h.languageDriver)) +
              "), whose collation is not known here (text is ordered only by byte value)";
        return nullptr;
    }
    return std::unique_ptr<MdxKeys>(new MdxKeys(table, label, std::move(key), keyLength));
}

bool MdxKeys::key(const std::uint8_t* rec, std::uint32_t physical, std::string& key, Code& code, std::string& why) const {
    const std::vector<FieldDef>& fields = table_.fields();
    const std::string where = label_ + ", record " + std::to_string(physical + 1);
    const char type = expression_->type();
    if (type == 'N') {
        const FieldDef& f = fields[expression_->fields().front()];
        const std::uint8_t* p = rec + f.offset;
        if (mdxNumericKey(std::string_view(reinterpret_cast<const char*>(p), f.length), key)) return true;
        code = Code::InvalidValue;
        why = where + ": the number \"" + std::string(reinterpret_cast<const char*>(p), f.length) + "\" has no key";
        return false;
    }
    if (type == 'D') {
        const FieldDef& f = fields[expression_->fields().front()];
        FieldValue v;
        if (!decodeStoredValue('D', table_.header(), table_.codePage(), rec + f.offset, f.length, v) ||
            (v.kind != ValueKind::Date && v.kind != ValueKind::Null)) {
            code = Code::InvalidValue;
            why = where + ": the date is not valid";
            return false;
        }
        if (v.isNull()) {
            code = Code::Unsupported;
            why = where + ": the date is blank, and the key of a blank date is not settled for dBase indexes";
            return false;
        }
        key = mdxDateKey(v.integer);
        return true;
    }
    std::string problem;
    if (!expression_->text(rec, fields, table_.header(), key, problem)) {
        code = Code::Unsupported;
        why = where + ": " + problem;
        return false;
    }
    key.resize(keyLength_, ' ');
    return true;
}

std::string mdxUniqueClash(std::uint64_t a, std::uint64_t b, const std::string& label) {
    return "records " + std::to_string(std::min(a, b)) + " and " + std::to_string(std::max(a, b)) +
           " have the same key in the unique " + label;
}

bool mdxKeptInPlace(std::uint64_t added, std::uint64_t recordsBefore) {
    return added <= 2000 && (added <= 32 || added * 20 <= recordsBefore);
}


// --- pages ---------------------------------------------------------------------------------------

struct MdxInPlace::Page {
    std::uint32_t number = 0;
    std::vector<std::uint8_t> bytes;
    bool dirty = false;
    bool fresh = false;  // taken where the file ended
};

// One tag: its header, and the tree walked from its root.
class MdxInPlace::Tag {
public:
    Tag(MdxInPlace& file, std::uint32_t headerPage, std::vector<std::uint8_t> header, std::unique_ptr<MdxKeys> keys)
        : file_(file), headerPage_(headerPage), header_(std::move(header)), keys_(std::move(keys)) {
        keyType_ = static_cast<char>(header_[9]);
        keyLength_ = loadLE16(header_.data() + 12);
        item_ = mdxItemLength(keyLength_);
        perNode_ = mdxKeysPerNode(keyLength_);
        descending_ = (header_[8] & 0x08) != 0;
        unique_ = header_[23] != 0;
        root_ = loadLE32(header_.data());
        findLeafDepth();
    }

    const MdxKeys& keys() const { return *keys_; }
    bool unique() const { return unique_; }
    bool headerDirty() const { return headerDirty_; }
    std::uint32_t headerPage() const { return headerPage_; }
    const std::vector<std::uint8_t>& header() const { return header_; }

    // The entry of `record` (1-based) with key `key` out of the tree.
    void remove(const std::string& key, std::uint32_t record) {
        Spot s = locate(key, record, false);
        Node& leaf = s.path.back().node;
        if (s.at >= leaf.keys.size() || leaf.records[s.at] != record || leaf.keys[s.at] != key) throw LeaveToRebuild{};
        if (leaf.keys.size() == 1 && s.path.size() > 1) throw LeaveToRebuild{};  // a leaf would be emptied
        const bool last = s.at + 1 == leaf.keys.size();
        leaf.keys.erase(leaf.keys.begin() + static_cast<std::ptrdiff_t>(s.at));
        leaf.records.erase(leaf.records.begin() + static_cast<std::ptrdiff_t>(s.at));
        store(leaf);
        if (last && !leaf.keys.empty()) lastKeyChanged(s.path, s.path.size() - 1);
    }

    // The record (1-based) another entry with `key` has, or 0.
    std::uint32_t holder(const std::string& key) {
        Spot s = locate(key, 0, false);
        const Node& leaf = s.path.back().node;
        if (s.at < leaf.keys.size()) return compare(leaf.keys[s.at], key) == 0 ? leaf.records[s.at] : 0;
        // Past the leaf's end: the next leaf's first entry.
        if (!nextLeaf(s.path)) return 0;
        const Node& next = s.path.back().node;
        return !next.keys.empty() && compare(next.keys[0], key) == 0 ? next.records[0] : 0;
    }

    // A new entry, in order: key, then record number; `newest` when no entry of the tag has a
    // higher record number (a record added).
    void insert(const std::string& key, std::uint32_t record, bool newest) {
        Spot s = locate(key, record, newest);
        Node& leaf = s.path.back().node;
        leaf.keys.insert(leaf.keys.begin() + static_cast<std::ptrdiff_t>(s.at), key);
        leaf.records.insert(leaf.records.begin() + static_cast<std::ptrdiff_t>(s.at), record);
        if (!header_[246]) {
            header_[246] = 1;  // the tag has keys
            headerDirty_ = true;
        }
        // A new last entry of the leaf: the parents first take its key (a split then hands it
        // on to the right half).
        if (s.at + 1 == leaf.keys.size()) lastKeyChanged(s.path, s.path.size() - 1);
        if (leaf.keys.size() <= perNode_) {
            store(leaf);
            return;
        }
        split(s.path, s.path.size() - 1);
    }

private:
    // A node as its items: leaves hold keys and record numbers, inner nodes n + 1 children and n
    // keys (`keys` then holds n + 1, the last one unused).
    struct Node {
        Page* page = nullptr;
        bool leaf = false;
        std::vector<std::string> keys;
        std::vector<std::uint32_t> records;  // leaf: record numbers; inner: child pages
    };
    struct Level {
        Node node;
        std::size_t child = 0;  // inner: the child the path goes on to
    };
    struct Spot {
        std::vector<Level> path;  // root first, the leaf last
        std::size_t at = 0;       // in the leaf
    };

    int compare(const std::string& a, const std::string& b) const {
        const int c = compareMdxKeys(keyType_, a, b);
        return descending_ ? -c : c;
    }
    // Entry order: key, then record number (in either direction).
    bool before(const std::string& ka, std::uint32_t ra, const std::string& kb, std::uint32_t rb) const {
        const int c = compare(ka, kb);
        return c < 0 || (c == 0 && ra < rb);
    }

    Node read(std::uint32_t page, int depth) {
        Node n;
        n.page = &file_.page(page);
        const std::uint8_t* b = n.page->bytes.data();
        const std::size_t count = loadLE32(b);
        if (kNodeItemsAt + count * item_ + 4 > kMdxBlockBytes) throw LeaveToRebuild{};
        const bool marked = loadLE32(b + kNodeItemsAt + count * item_) == 0;
        n.leaf = leafDepth_ < 0 ? marked : depth == leafDepth_;
        if (n.leaf ? count > perNode_ : (marked || count + 1 > perNode_)) throw LeaveToRebuild{};
        const std::size_t items = n.leaf ? count : count + 1;
        for (std::size_t j = 0; j < items; ++j) {
            const std::uint8_t* e = b + kNodeItemsAt + j * item_;
            n.records.push_back(loadLE32(e));
            n.keys.emplace_back(reinterpret_cast<const char*>(e + 4), keyLength_);
            if (!n.leaf && n.records.back() == 0) throw LeaveToRebuild{};
        }
        return n;
    }

    void store(const Node& n) {
        std::vector<std::uint8_t>& b = n.page->bytes;
        std::fill(b.begin() + static_cast<std::ptrdiff_t>(kNodeItemsAt), b.end(), std::uint8_t{0});
        storeLE32(b.data(), static_cast<std::uint32_t>(n.leaf ? n.keys.size() : n.keys.size() - 1));
        for (std::size_t j = 0; j < n.keys.size(); ++j) {
            std::uint8_t* e = b.data() + kNodeItemsAt + j * item_;
            storeLE32(e, n.records[j]);
            if (n.leaf || j + 1 < n.keys.size()) std::memcpy(e + 4, n.keys[j].data(), keyLength_);
        }
        n.page->dirty = true;
    }

    // The depth of the leaves: the first node marked a leaf down the leftmost path, as the
    // readers find it.
    void findLeafDepth() {
        std::uint32_t page = root_;
        for (int depth = 0; depth <= kMaxDepth; ++depth) {
            const Node n = read(page, depth);
            if (n.leaf) {
                leafDepth_ = depth;
                return;
            }
            page = n.records.front();
        }
        throw LeaveToRebuild{};
    }

    // Where the entry (key, record) is or would go: the first entry not before it.
    Spot locate(const std::string& key, std::uint32_t record, bool newest) {
        Spot s;
        std::uint32_t page = root_;
        for (int depth = 0;; ++depth) {
            Level l{read(page, depth), 0};
            if (l.node.leaf) {
                s.path.push_back(std::move(l));
                break;
            }
            // The first child whose last key is not below the key; the last child has no key.
            const std::size_t n = l.node.keys.size() - 1;
            std::size_t i = 0;
            while (i < n && compare(l.node.keys[i], key) < 0) ++i;
            if (record != 0) {
                // Children i .. j - 1 end with the key, their last entries in record order: the
                // first of them whose last entry is not before the record's.
                std::size_t j = i;
                while (j < n && compare(l.node.keys[j], key) == 0) ++j;
                if (newest) {
                    i = j;
                } else {
                    while (i < j) {
                        const std::size_t mid = i + (j - i) / 2;
                        if (lastRecord(l.node.records[mid], depth + 1) >= record) j = mid;
                        else i = mid + 1;
                    }
                }
            }
            l.child = i;
            page = l.node.records[i];
            s.path.push_back(std::move(l));
        }
        s.at = position(s.path.back().node, key, record);
        // Equal keys may go on in the next leaves, with lower record numbers.
        for (int walked = 0; s.at == s.path.back().node.keys.size(); ++walked) {
            std::vector<Level> next = s.path;
            if (!nextLeaf(next)) break;
            const Node& leaf = next.back().node;
            if (leaf.keys.empty() || !before(leaf.keys[0], leaf.records[0], key, record)) break;
            if (walked == kMaxWalk) throw LeaveToRebuild{};
            s.path = std::move(next);
            s.at = position(s.path.back().node, key, record);
        }
        return s;
    }
    // The record number of the last entry below the node.
    std::uint32_t lastRecord(std::uint32_t page, int depth) {
        for (;; ++depth) {
            const Node n = read(page, depth);
            if (n.leaf) return n.records.empty() ? 0 : n.records.back();
            page = n.records.back();
        }
    }
    std::size_t position(const Node& leaf, const std::string& key, std::uint32_t record) const {
        std::size_t at = 0;
        while (at < leaf.keys.size() && before(leaf.keys[at], leaf.records[at], key, record)) ++at;
        return at;
    }

    // Moves the path on to the next leaf to the right; false at the last leaf.
    bool nextLeaf(std::vector<Level>& path) {
        std::size_t up = path.size() - 1;
        while (up > 0 && path[up - 1].child + 1 >= path[up - 1].node.keys.size()) --up;
        if (up == 0) return false;
        path.resize(up);
        Level& parent = path.back();
        ++parent.child;
        std::uint32_t page = parent.node.records[parent.child];
        for (int depth = static_cast<int>(up);; ++depth) {
            Level l{read(page, depth), 0};
            const bool leaf = l.node.leaf;
            if (!leaf) page = l.node.records[0];
            path.push_back(std::move(l));
            if (leaf) return true;
        }
    }

    // The last key of the leaf at path[at] changed: the parents that keep it follow.
    void lastKeyChanged(std::vector<Level>& path, std::size_t at) {
        const std::string key = path[at].node.keys.back();
        for (std::size_t up = at; up > 0; --up) {
            Level& parent = path[up - 1];
            if (parent.child + 1 < parent.node.keys.size()) {
                if (parent.node.keys[parent.child] != key) {
                    parent.node.keys[parent.child] = key;
                    store(parent.node);
                }
                return;
            }
        }
    }

    // The node at path[at] holds one item too many: its upper half goes to a new node on its
    // right, and the parent gets the new child (the root a new root above both).
    void split(std::vector<Level>& path, std::size_t at) {
        Node& left = path[at].node;
        Node right;
        right.leaf = left.leaf;
        right.page = &file_.newPage();
        const std::size_t items = left.keys.size();
        const std::size_t keep = (items + 1) / 2;
        right.keys.assign(left.keys.begin() + static_cast<std::ptrdiff_t>(keep), left.keys.end());
        right.records.assign(left.records.begin() + static_cast<std::ptrdiff_t>(keep), left.records.end());
        left.keys.resize(keep);
        left.records.resize(keep);
        // The last key of the left half: a leaf's last entry, an inner node's key of its last child.
        const std::string leftLast = left.keys.back();
        if (!left.leaf) std::fill(left.keys.back().begin(), left.keys.back().end(), '\0');
        store(left);
        store(right);
        headerPages(kPagesPerBlock);
        auto& counts = tavrinth::testing::mdxInPlaceCounts();
        ++(left.leaf ? counts.leafSplits : counts.innerSplits);

        if (at == 0) {
            // A new root above the two halves.
            Node root;
            root.leaf = false;
            root.page = &file_.newPage();
            root.keys = {leftLast, std::string(keyLength_, '\0')};
            root.records = {left.page->number, right.page->number};
            store(root);
            headerPages(kPagesPerBlock);
            root_ = root.page->number;
            storeLE32(header_.data(), root_);
            headerDirty_ = true;
            ++leafDepth_;
            ++counts.rootSplits;
            return;
        }
        Level& parent = path[at - 1];
        Node& p = parent.node;
        const std::size_t i = parent.child;
        p.records.insert(p.records.begin() + static_cast<std::ptrdiff_t>(i + 1), right.page->number);
        const std::string rightLast = p.keys[i];
        p.keys.insert(p.keys.begin() + static_cast<std::ptrdiff_t>(i + 1), rightLast);
        p.keys[i] = leftLast;
        if (p.records.size() <= perNode_) {
            store(p);
            return;
        }
        split(path, at - 1);
    }

    // Node pages of the tag, and the words of its header this program does not keep.
    void headerPages(std::uint32_t more) {
        storeLE32(header_.data() + 4, loadLE32(header_.data() + 4) + more);
        std::memset(header_.data() + 248, 0, 8);  // first and last node: cleared as the writer clears them
        headerDirty_ = true;
    }

    MdxInPlace& file_;
    std::uint32_t headerPage_;
    std::vector<std::uint8_t> header_;
    std::unique_ptr<MdxKeys> keys_;
    char keyType_ = 'C';
    std::size_t keyLength_ = 0, item_ = 0, perNode_ = 0;
    bool descending_ = false, unique_ = false, headerDirty_ = false;
    std::uint32_t root_ = 0;
    int leafDepth_ = -1;
};

// --- the file ------------------------------------------------------------------------------------

MdxInPlace::MdxInPlace(DBaseTable& table, FamilyChange& change, std::string path)
    : table_(table), change_(change), path_(std::move(path)) {}

MdxInPlace::~MdxInPlace() = default;

MdxInPlace::Page& MdxInPlace::page(std::uint32_t number) {
    for (const auto& p : pages_)
        if (p->number == number) return *p;
    if (number < kHeaderPages || number >= oldNextPage_ || (number + kPagesPerBlock) * kPage > fileBytes_)
        throw LeaveToRebuild{};
    auto p = std::make_unique<Page>();
    p->number = number;
    p->bytes.resize(kMdxBlockBytes);
    change_.read(path_, number * kPage, p->bytes.data(), p->bytes.size());
    pages_.push_back(std::move(p));
    return *pages_.back();
}

MdxInPlace::Page& MdxInPlace::newPage() {
    auto p = std::make_unique<Page>();
    p->number = nextPage_;
    p->bytes.assign(kMdxBlockBytes, 0);
    p->fresh = true;
    nextPage_ += kPagesPerBlock;
    pages_.push_back(std::move(p));
    return *pages_.back();
}

bool MdxInPlace::prepare(const std::vector<MdxRecordChange>& changes, std::uint64_t records) {
    try {
        plan(changes, records);
    } catch (const LeaveToRebuild&) {
        ++tavrinth::testing::mdxInPlaceCounts().leftToRebuild;
        pages_.clear();
        tags_.clear();
        return false;
    }
    // Everything the writes overwrite, saved before the first of them.
    for (const auto& p : pages_)
        if (p->dirty && !p->fresh) change_.preserve(path_, p->number * kPage, kMdxBlockBytes);
    for (const auto& t : tags_)
        if (t->headerDirty()) change_.preserve(path_, t->headerPage() * kPage, kTagHeaderKept);
    if (nextPage_ != firstNewPage_) change_.preserve(path_, 32, 4);
    ++tavrinth::testing::mdxInPlaceCounts().changes;
    return true;
}

void MdxInPlace::plan(const std::vector<MdxRecordChange>& changes, std::uint64_t records) {
    // The layout the writer gives: 1024-byte blocks of two pages, 32-byte tag-table entries.
    fileBytes_ = change_.sizeOf(path_);
    if (fileBytes_ < kMdxHeaderBytes) throw LeaveToRebuild{};
    fileHeader_.resize(kTagTableAt);
    change_.read(path_, 0, fileHeader_.data(), fileHeader_.size());
    const std::uint8_t* f = fileHeader_.data();
    if (f[0] != 2 || loadLE16(f + 20) != kPagesPerBlock || loadLE16(f + 22) != kMdxBlockBytes || f[26] != kTagEntryBytes)
        throw LeaveToRebuild{};
    const std::size_t count = loadLE16(f + 28);
    std::vector<std::string> warnings;
    const std::vector<TIndexDef> defs = readIndexes(table_.header(), table_.fields(), table_.family(), table_.codePage(), warnings);
    if (count == 0 || count > kMdxMaxTags || defs.size() != count) throw LeaveToRebuild{};
    oldNextPage_ = loadLE32(f + 32);
    // New blocks go where the file ends (past bytes the header does not count, if any).
    if (static_cast<std::uint64_t>(oldNextPage_) * kPage > fileBytes_) throw LeaveToRebuild{};
    nextPage_ = firstNewPage_ = static_cast<std::uint32_t>((fileBytes_ + kPage - 1) / kPage);

    std::vector<std::uint8_t> table(count * kTagEntryBytes);
    change_.read(path_, kTagTableAt, table.data(), table.size());
    std::vector<std::unique_ptr<Condition>> conditions;  // by tag; null: no FOR clause
    for (std::size_t i = 0; i < count; ++i) {
        const TIndexDef& def = defs[i];
        const std::uint32_t headerPage = loadLE32(table.data() + i * kTagEntryBytes);
        if (headerPage < kHeaderPages || (headerPage + kPagesPerBlock) * kPage > fileBytes_) throw LeaveToRebuild{};
        std::vector<std::uint8_t> h(kTagHeaderKept);
        change_.read(path_, headerPage * kPage, h.data(), h.size());
        const std::size_t keyLength = loadLE16(h.data() + 12);
        const char keyType = static_cast<char>(h[9]);
        // Nodes laid out other than the writer lays them out.
        if (keyLength == 0 || keyLength > 255 || loadLE16(h.data() + 18) != mdxItemLength(keyLength) ||
            loadLE16(h.data() + 14) != mdxKeysPerNode(keyLength))
            throw LeaveToRebuild{};
        // A FOR clause: the tag holds the records it admits (one not understood: the rebuild says why).
        std::unique_ptr<Condition> condition;
        if (h[245] != 0) {
            std::string why;
            if (!def.Filter.empty()) condition = Condition::parse(def.Filter, table_.rawFields(), table_.codePage(), why);
            if (!condition) throw LeaveToRebuild{};
            for (const std::size_t f : condition->fields())
                if (table_.fields()[f].length != table_.rawFields()[f].length) throw LeaveToRebuild{};
        }
        conditions.push_back(std::move(condition));
        Code code;
        std::string why;
        std::unique_ptr<MdxKeys> keys = MdxKeys::make(table_, "tag " + def.Name,
                                                      def.has(ixExpression) ? def.Expression : def.Fields, keyType,
                                                      keyLength, records, code, why);
        if (!keys) throw LeaveToRebuild{};  // the rebuild says why
        tags_.push_back(std::make_unique<Tag>(*this, headerPage, std::move(h), std::move(keys)));
    }

    for (std::size_t t = 0; t < tags_.size(); ++t) {
        const auto& tag = tags_[t];
        const Condition* condition = conditions[t].get();
        const auto admits = [&](const std::uint8_t* rec) {
            bool yes = true;
            std::string why;
            if (condition && !condition->admits(rec, table_.fields(), table_.header(), yes, why)) throw LeaveToRebuild{};
            return yes;
        };
        for (const MdxRecordChange& c : changes) {
            const std::uint32_t record = c.physical + 1;
            Code code;
            std::string why, oldKey, newKey;
            const bool wasIn = c.before && admits(c.before), isIn = admits(c.after);
            if (isIn && !tag->keys().key(c.after, c.physical, newKey, code, why)) throw LeaveToRebuild{};
            if (wasIn) {
                if (!tag->keys().key(c.before, c.physical, oldKey, code, why)) throw LeaveToRebuild{};
                if (isIn && oldKey == newKey) continue;
                tag->remove(oldKey, record);
            }
            if (!isIn) continue;
            if (tag->unique())
                if (const std::uint32_t other = tag->holder(newKey); other != 0)
                    throw EDBEngineError(Code::InvalidValue, "Cannot rebuild the index file " + path_ + ": " +
                                                                 mdxUniqueClash(other, record, tag->keys().label()));
            tag->insert(newKey, record, c.before == nullptr);
        }
    }
}

void MdxInPlace::write() {
    for (const auto& p : pages_)
        if (p->dirty && !p->fresh) change_.write(path_, p->number * kPage, p->bytes.data(), p->bytes.size());
    // New blocks in file order, so that the file grows without gaps.
    std::vector<const Page*> fresh;
    for (const auto& p : pages_)
        if (p->fresh) fresh.push_back(p.get());
    std::sort(fresh.begin(), fresh.end(), [](const Page* a, const Page* b) { return a->number < b->number; });
    for (const Page* p : fresh) change_.write(path_, p->number * kPage, p->bytes.data(), p->bytes.size());
    for (const auto& t : tags_)
        if (t->headerDirty()) change_.write(path_, t->headerPage() * kPage, t->header().data(), kTagHeaderKept);
    if (nextPage_ != firstNewPage_) {
        std::uint8_t next[4];
        storeLE32(next, nextPage_);
        change_.write(path_, 32, next, sizeof next);
    }
}

}  // namespace tavrinth::dbase

namespace tavrinth::testing {
MdxInPlaceCounts& mdxInPlaceCounts() {
    static MdxInPlaceCounts counts;
    return counts;
}
}  // namespace tavrinth::testing
