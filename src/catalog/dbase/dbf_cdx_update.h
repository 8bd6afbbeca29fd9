#pragma once
// Keeping the tags of a FoxPro structural .CDX up to date in place, a few entries at a time, and the
// keys of a tag as both this and the rebuild (index_rebuild.cpp) compute them from the records.
//
// A change that adds or rewrites a few records changes only the nodes on the way from each tag's
// root to the leaves of the entries it removes and adds. An inner node's entries hold the key and
// record number of the last entry below each child, so the way down is exact: the entry (key,
// record) goes into its leaf in index order (dbf_cdx_writer.h), the leaf is packed again as the
// writer packs leaves (CdxLeafPacker, in the tag's leaf style), a leaf that no longer fits is split
// in two (the new node where the file ends, the siblings' links fixed), the parents take the new
// child and the last entries below their children, and a root that splits gets a new root above
// it (the tag header's root offset). A unique tag holds the first record of each key, a candidate
// tag refuses a key twice, a tag with a FOR clause the records the clause admits.
//
// Every leaf read on the way is checked first: it must be the leaf the writer would pack from its
// entries, and the key of each entry must be the one computed from its record (a key the file
// holds otherwise, as under a collation other than by byte value, is left to the rebuild, which
// refuses it). Whatever else looks other than the writer's files (a free list, a node the writer
// would not produce, a unique tag losing the record that holds a key) is left to the rebuild too:
// the caller then writes the file again whole.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../engine_error.h"
#include "dbf_mdx_update.h"

namespace tavrinth {
class FamilyChange;
}

namespace tavrinth::dbase {

class DBaseTable;
class KeyExpression;
struct IndexTag;

// How the keys of one .CDX tag are made from the records: a tag on one field (cdxRecordKey) or on a
// text expression.
class CdxKeys {
public:
    // The keys of `tag` (as IndexFileReader reads it; `candidate` from its options). Null, with
    // `code` and `why` set, when they cannot be computed here.
    static std::unique_ptr<CdxKeys> make(DBaseTable& table, const IndexTag& tag, bool candidate,
                                         EDBEngineError::Code& code, std::string& why);
    ~CdxKeys();

    // The key of the record at `physical` (0-based) whose bytes are `record`. False, with `code`
    // and `why` set, when the record has no key.
    bool key(const std::uint8_t* record, std::uint32_t physical, std::string& key, EDBEngineError::Code& code,
             std::string& why) const;
    bool nullByte() const { return nullByte_; }
    char filler() const { return filler_; }

private:
    CdxKeys(DBaseTable& table, std::string label, int field, std::unique_ptr<KeyExpression> expression,
            std::size_t keyLength, bool nullByte, char filler);
    DBaseTable& table_;
    std::string label_;
    int field_;  // -1: the expression
    std::unique_ptr<KeyExpression> expression_;
    std::size_t keyLength_;
    bool nullByte_;
    char filler_;
};

class CdxInPlace {
public:
    // `path` is the .cdx; `tablePath` the table, whose records the leaves are checked against.
    CdxInPlace(DBaseTable& table, FamilyChange& change, std::string path, std::string tablePath);
    ~CdxInPlace();

    // Works out the nodes of every tag that the records change, and saves them for the journal.
    // Must run before the change's first write. False (nothing saved) when the file is left to the
    // rebuild; throws EDBEngineError when a candidate tag would hold a key twice.
    bool prepare(const std::vector<MdxRecordChange>& changes);
    // Writes the nodes prepared.
    void write();

    struct Node;

private:
    class Tag;
    void plan(const std::vector<MdxRecordChange>& changes);
    Node& node(std::uint32_t offset);  // an existing node, read once
    Node& newNode();                   // a node where the file ends
    const std::uint8_t* record(std::uint32_t number);  // 1-based, as the file holds it before the change
    DBaseTable& table_;
    FamilyChange& change_;
    std::string path_, tablePath_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<std::unique_ptr<Tag>> tags_;
    std::vector<std::uint8_t> record_;
    std::uint64_t fileBytes_ = 0, nextNode_ = 0;
};

}  // namespace tavrinth::dbase

namespace tavrinth::testing {
// Counts of what the .CDX changes in place did since the process started (for the tests).
MdxInPlaceCounts& cdxInPlaceCounts();
}  // namespace tavrinth::testing
