#pragma once
// Writing a FoxPro compound index (.CDX): the structural index of a FoxPro table with its tags and
// the compact B-tree of every tag.
//
// Layout written (integers little-endian unless said otherwise; a node is 512 bytes):
//
//   0           the file header (1024 bytes), the header of the tag directory: 0 root node
//               offset, 4 free list (0: none, as every file at hand has it), 12-13 key length 10,
//               14 options 0xE0 (structural, compound, compact), 15 signature 1, 504/506/510
//               expression lengths 1 (no expression).
//   1024        the nodes of the tag directory: a compact tree whose keys are the tag names (upper
//               case, blank padded to 10 bytes) and whose record numbers are the offsets of the
//               tags' headers.
//   per tag     its header (1024 bytes: 0 root node offset, 4 free list 0, 12-13 key length,
//               14 options 0x60 | 0x01 unique | 0x02 NULL byte | 0x04 candidate | 0x08 FOR
//               clause, 15 signature 1, 502-503 descending, 504 and 510 key expression length
//               with its NUL, 506 FOR expression length with its NUL, 512.. key expression, NUL,
//               FOR expression, NUL; Visual FoxPro keeps figures of its own from 16 on), then its
//               nodes: the leaves left to right, then each upper level left to right, the root
//               last.
//
// A node: 0-1 attributes (0 inner node, 1 root, 2 leaf), 2-3 number of entries, 4-7 left and
// 8-11 right sibling on its level (-1 at either end).
//   Inner node from 12: entries of the key (key length bytes), the record number and the child's
//   offset (both big-endian); each key and record number are those of the last entry below the
//   child. A node holds (512 - 12) / (key length + 8) entries.
//   Leaf: 12-13 free bytes, 14-17 record-number mask, 18 duplicate-count mask, 19 trail-count
//   mask, 20-22 bits of record number, duplicate count and trail count, 23 bytes of an entry;
//   entries from 24 (the bits of record number, duplicate count and trail count, low to high),
//   the key bytes packed from the end of the node backwards in entry order. Duplicate and trail
//   counts take as many bits as the key length needs; an entry is the fewest bytes that hold
//   those and the largest record number of its leaf (see CdxLeafStyle for the variants). A key
//   is stored without the trailing filler bytes (trail count) and without the bytes it shares
//   with the previous key of its leaf (duplicate count; the first entry of a leaf shares none),
//   shared bytes counted only up to the last byte the previous key stores and this key stores.
//   The leaves are filled in turn as full as the entries fit.
//
// Order: keys ascending by their bytes (descending tags: descending, their keys unchanged), equal
// keys by record number, ascending in both directions. No .CDX at hand has a descending tag or
// more than one level in a tree: those follow the format's description, not files.
//
// Keys (cdxFieldKey): C the field's bytes as stored (blank padded, the table's code page), which
// is the key of the "machine" collation only; N F B Y D T the 8-byte IEEE double of the value,
// big-endian, sign bit set for zero and positive numbers, every bit inverted for negative ones
// (D and T: the Julian day number, with the time as a fraction of a day); I the 4-byte integer
// big-endian with its sign bit inverted; L one byte 'T' or 'F'. The keys of a tag on a field of a
// Visual FoxPro table that may hold NULL (field flag 0x02) have one byte more in front, 0x80 for
// a value and 0x00 for NULL (then the rest is NULs: no file at hand holds a NULL key), and the
// tag has option 0x02; not so a candidate tag (option 0x04, the table's primary or candidate key),
// whose keys cannot be NULL. Tags on Y, B, N, F and T fields with a time are in no file at hand:
// their keys follow the format's description.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../file_io.h"

namespace tavrinth::dbase {

struct Header;
struct IndexTag;
class DBaseTable;

// How the entries of leaves are sized and the leaves marked; every variant reads alike. The
// tag directory's leaves are always written Narrow.
enum class CdxLeafStyle {
    // Each leaf's entries as narrow as its largest record number allows; attributes 2 and 3.
    Narrow,
    // Entries of 3 bytes at least (more when the record numbers need them); attributes 2 and 3.
    Wide,
    // As Narrow, with attribute bit 0x04 on every leaf and, in a leaf's free space, its last entry
    // packed Wide at the place it has among Wide entries, as far as it lies beyond the narrow
    // entries (what Visual FoxPro's own files hold there). A leaf takes only the entries that
    // would fit it packed Wide (no file at hand has a full leaf to tell).
    VisualFoxPro,
};

struct CdxTag {
    std::string name;           // ASCII, at most 10 characters; the directory holds it in upper case
    std::string expression;     // the key expression
    std::string forExpression;  // the FOR clause; empty when the tag has none
    bool descending = false;
    bool unique = false;     // one entry per key, the first record's (option 0x01)
    bool candidate = false;  // a primary or candidate key: every record, keys distinct (option 0x04)
    bool nullByte = false;   // the keys start with the NULL byte (option 0x02)
    std::size_t keyLength = 0;  // bytes of every key, 1..240
    // keys[i] is the key of record records[i] (1-based), keyLength bytes in the stored form, in
    // any order. A unique tag or one with a FOR clause holds only the records given.
    std::vector<std::string> keys;
    std::vector<std::uint32_t> records;
    // Rebuilding a tag of an existing file: the tag's header as that file holds it (1024 bytes).
    // Only what the entries decide is written anew (root node, free list, key length, the
    // descending word); every other byte is kept: options, expressions, the bytes FoxPro keeps
    // for itself. Empty: a new header made from the fields above.
    std::vector<std::uint8_t> headerTemplate;
    // The byte dropped from the end of keys: a blank for character (and logical) keys, NUL for
    // the others (cdxKeyFiller).
    char filler = ' ';
    CdxLeafStyle leafStyle = CdxLeafStyle::Narrow;
};

// One entry of a leaf: a record number (1-based) and its key (the tag's key length).
struct CdxLeafEntry {
    std::uint32_t record = 0;
    std::string key;
};

// One leaf of a tag packed as the writer packs every leaf: the writer fills its leaves with it,
// and the upkeep in place (dbf_cdx_update.h) packs again the leaves a change touches.
class CdxLeafPacker {
public:
    CdxLeafPacker(std::size_t keyLength, char filler, CdxLeafStyle style);
    // The key bytes a leaf stores of `key` after `previous` (null: the leaf's first key).
    std::size_t stored(const char* previous, const char* key) const;
    // Whether `count` entries whose largest record number is `maxRecord` and whose keys store
    // `keyBytes` fit one leaf as the writer fills leaves.
    bool fits(std::size_t count, std::uint32_t maxRecord, std::size_t keyBytes) const;
    bool fits(const std::vector<CdxLeafEntry>& entries) const;
    // The 512 bytes of a leaf holding the entries, in index order: no sibling on either side
    // (-1), not marked as the root.
    std::vector<std::uint8_t> leaf(const std::vector<CdxLeafEntry>& entries) const;

private:
    std::size_t trail(const char* key) const;
    std::size_t duplicates(const char* previous, const char* key, std::size_t trail) const;
    std::size_t keyLength_;
    std::uint8_t filler_;
    CdxLeafStyle style_;
    unsigned countBits_;
};

inline constexpr std::size_t kCdxNodeBytes = 512;
inline constexpr std::size_t kCdxHeaderBytes = 1024;
inline constexpr std::size_t kCdxTagNameLength = 10;
inline constexpr std::size_t kCdxMaxKeyLength = 240;

// The whole file, the tags in the order given (FoxPro keeps them in the order they were made: the
// order of their headers in the file). The tags must be valid (names distinct and at most 10
// characters, keys of keyLength bytes, as many keys as records, records distinct, no key twice
// in a unique tag): the caller checks them; std::invalid_argument when a count or length does
// not fit the layout.
// `fileTemplate`: rebuilding an existing file, its first 1024 bytes (the directory's header).
// Those are kept but for the root node and the free list.
std::vector<std::uint8_t> buildCdx(const std::vector<CdxTag>& tags, const std::vector<std::uint8_t>& fileTemplate = {});

// The same written a piece at a time, for files too big to hold: each tag's entries come from its
// stream in index order (keys ascending by their bytes, descending for a descending tag, equal
// keys by record number), read twice (once to count the nodes, once to write them); every piece
// of the file goes to `sink` (offset, bytes). The tags' `keys` and `records` are not used.
class CdxEntries {
public:
    virtual ~CdxEntries() = default;
    virtual void rewind() = 0;
    // The next entry: its record number (1-based) and key (the tag's key length). False at the end.
    virtual bool next(std::uint32_t& record, const char*& key) = 0;
};
using CdxSink = std::function<void(std::uint64_t offset, const std::uint8_t* data, std::size_t n)>;
void writeCdx(const std::vector<CdxTag>& tags, const std::vector<CdxEntries*>& entries,
              const std::vector<std::uint8_t>& fileTemplate, const CdxSink& sink);

// The leaf style of an existing tag: VisualFoxPro when a leaf carries attribute bit 0x04, Wide
// when a leaf's entries are 3 bytes or more and wider than its record numbers need, else Narrow.
// Throws IndexFileError when the tree is damaged.
CdxLeafStyle cdxLeafStyleOf(const ByteSource& src, const IndexTag& tag);

// Keys ----------------------------------------------------------------------------------------------

// The key of a field's stored bytes (the n bytes at p) for a tag on that field alone, without the
// NULL byte (cdxRecordKey adds it). False for a type without a key here (memo, general, picture,
// varchar, varbinary, blob outside Visual FoxPro), a value that is not valid for its type, or a
// length that does not fit the type. A blank N, F, D or T field has the key of 0 (FoxPro's value
// of an empty number; for an empty date or time the files at hand do not tell).
bool cdxFieldKey(char fieldType, const std::uint8_t* p, std::size_t n, const Header& header, std::string& key);

// Whether the keys of a tag on the field (an index into table.rawFields()) start with the NULL
// byte: the field may be NULL and the tag is no candidate.
bool cdxKeysHaveNullByte(const DBaseTable& table, std::size_t field, bool candidate);

// The key of field `field` of a record: cdxFieldKey, after the NULL byte when `nullByte`.
bool cdxRecordKey(const DBaseTable& table, const std::uint8_t* record, std::size_t field, bool nullByte,
                  std::string& key);

// The key length of a tag on a field of this type and length (0 when the type has no key here),
// one more with the NULL byte.
std::size_t cdxKeyLength(char fieldType, std::size_t fieldLength, bool nullByte);

// The filler of keys of a tag on a field of this type.
char cdxKeyFiller(char fieldType);

// The 8-byte key of a number; the 4-byte key of an integer.
std::string cdxDoubleKey(double value);
std::string cdxIntegerKey(std::int32_t value);

}  // namespace tavrinth::dbase
