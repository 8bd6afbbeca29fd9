#pragma once
// Keeping the tags of a production .MDX up to date in place, a few entries at a time, and the keys
// of a tag as both this and the rebuild (index_rebuild.cpp) compute them from the records.
//
// A change that adds or rewrites a few records changes only the pages on the way from each tag's
// root to the leaves of the keys it removes and adds: the entry goes into its leaf in key order
// (equal keys by record number, as the rebuild orders them), a full node is split in two (the
// new node taken where the file ends, the file header's page count and the tag's node pages
// counted up), the keys of the parents follow (key i of an inner node is the last key of child i),
// and a root that splits gets a new root above it. A tag with a FOR clause holds a record while
// the clause admits it: a change (a deletion too, for a clause that asks DELETED()) can add or
// remove its entry. The page format is the one dbf_mdx_writer.h describes. Whatever looks other
// than that format (blocks, node sizes, a node fuller than the writer fills it, a tree whose
// leaves are not where they should be, a key or a clause the rebuild would refuse) is left to the
// rebuild: the caller then writes the file again whole.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../engine_error.h"

namespace tavrinth {
class FamilyChange;
}

namespace tavrinth::dbase {

class DBaseTable;
class KeyExpression;

// How the keys of one .MDX tag are made from the records.
class MdxKeys {
public:
    // The keys of the tag named by `label` ("tag NAME") with the key expression `expression`, whose
    // header holds keys of `keyType` and `keyLength` bytes, in a table of `records` records. Null,
    // with `code` and `why` set, when they cannot be computed here.
    static std::unique_ptr<MdxKeys> make(DBaseTable& table, const std::string& label, const std::string& expression,
                                         char keyType, std::size_t keyLength, std::uint64_t records,
                                         EDBEngineError::Code& code, std::string& why);
    ~MdxKeys();

    // The key of the record at `physical` (0-based) whose bytes are `record`. False, with `code`
    // and `why` set, when the record has no key.
    bool key(const std::uint8_t* record, std::uint32_t physical, std::string& key, EDBEngineError::Code& code,
             std::string& why) const;
    const std::string& label() const { return label_; }

private:
    MdxKeys(DBaseTable& table, std::string label, std::unique_ptr<KeyExpression> expression, std::size_t keyLength);
    DBaseTable& table_;
    std::string label_;
    std::unique_ptr<KeyExpression> expression_;
    std::size_t keyLength_;
};

// Why a unique tag cannot hold the keys of two records (1-based, either order).
std::string mdxUniqueClash(std::uint64_t recordA, std::uint64_t recordB, const std::string& label);

// A record the change adds (`before` null) or rewrites; `after` holds its new bytes.
struct MdxRecordChange {
    std::uint32_t physical = 0;  // 0-based
    const std::uint8_t* before = nullptr;
    const std::uint8_t* after = nullptr;
};

class MdxInPlace {
public:
    MdxInPlace(DBaseTable& table, FamilyChange& change, std::string path);
    ~MdxInPlace();

    // Works out the pages of every tag that the records change, and saves them for the journal.
    // Must run before the change's first write. False (nothing saved) when the file is left to the
    // rebuild; throws EDBEngineError when a unique tag would hold a key twice. `records` is the
    // number of records the table has after the change.
    bool prepare(const std::vector<MdxRecordChange>& changes, std::uint64_t records);
    // Writes the pages prepared.
    void write();

    struct Page;

private:
    class Tag;
    void plan(const std::vector<MdxRecordChange>& changes, std::uint64_t records);
    Page& page(std::uint32_t number);  // an existing block, read once
    Page& newPage();                   // a block where the file ends
    DBaseTable& table_;
    FamilyChange& change_;
    std::string path_;
    std::vector<std::unique_ptr<Page>> pages_;
    std::vector<std::unique_ptr<Tag>> tags_;
    std::vector<std::uint8_t> fileHeader_;
    std::uint32_t oldNextPage_ = 0;  // the pages the file header counts
    std::uint32_t firstNewPage_ = 0, nextPage_ = 0;
    std::uint64_t fileBytes_ = 0;
};

// The number of records an append may add and still be kept in place: few against the table.
bool mdxKeptInPlace(std::uint64_t added, std::uint64_t recordsBefore);

}  // namespace tavrinth::dbase

namespace tavrinth::testing {
// Counts of what the .MDX changes in place did since the process started (for the tests).
struct MdxInPlaceCounts {
    std::uint64_t changes = 0;  // changes kept in place
    std::uint64_t leftToRebuild = 0;
    std::uint64_t leafSplits = 0, innerSplits = 0, rootSplits = 0;
};
MdxInPlaceCounts& mdxInPlaceCounts();
}  // namespace tavrinth::testing
