#pragma once
// The entries of dBase and FoxPro index files: the tags of a multiple index (.MDX), of a compound
// compact index (.CDX) or the one index of an .NDX, and for each tag its leaf entries (record
// number and key) in index order. (dbf_index.h reads only the definitions, for the table object.)
//
// .MDX (dBase IV, 5, 7): file header of 544 bytes (byte 0 version 2 or 3, 22-23 block size in
// bytes, 26 tag-table entry length, 28-29 tags), tag table from 544 (entry: tag header page,
// name, ..., key type), a tag header at page x 512 (0 root page, 8 key flags: 0x08 descending;
// 9 key type C/N/D; 12-13 key length; 18-19 item length; 23 unique, one entry per key (key flag
// 0x40 alone is also found on tags holding equal keys of several records); 24 key expression;
// 245 FOR clause present, FOR expression at 762). A node (one block, page x 512):
// 4 bytes number of keys, 4 reserved, then items of `item length` bytes: record number (leaf) or
// child page (inner node), then the key. An inner node with n keys holds n + 1 children, key i
// being the last key of child i; the pointer after the last item is 0 in a leaf.
// Keys: C the field's bytes; N the 12-byte decimal form (byte 0 = 0x34 + digits before the point,
// byte 1 bit 0x80 for a negative number, its other bits a digit count that writers fill
// differently, then the digits two to a byte, with as many trailing zeros as the writer chose:
// such keys compare by value); D the Julian day as an IEEE double, little-endian.
//
// .CDX (FoxPro): 512-byte nodes; a 1024-byte header at 0 whose tree is the tag directory (keys =
// tag names, record numbers = offsets of the tags' own 1024-byte headers: 0 root node, 12-13 key
// length, 14 options 0x01 unique, 0x04 candidate, 0x08 FOR; 502-503 descending; 512.. key
// expression, NUL, FOR expression). A node: 0-1 attributes (bit 0x02 leaf), 2-3 keys, 4-7 left,
// 8-11 right sibling. Inner node from 12: key, record number and child offset (both big-endian).
// Leaf: 12-13 free bytes, 14-17 record-number mask, 18 duplicate mask, 19 trail mask, 20-22 bits
// of record number, duplicate count and trail count, 23 bytes per entry; entries from 24 (record
// number, bytes shared with the previous key, trailing filler bytes dropped), key bytes packed
// from the end of the node backwards. The filler is a blank for character keys and 0 for others.
// Keys compare as bytes: numbers and dates are doubles stored big-endian with the sign bit set
// (negative numbers with every bit inverted).
//
// .NDX (dBase III): 512-byte pages; page 0: 0-3 root page, 12-13 key length, 16-17 key type
// (0 character, 1 numeric or date as an IEEE double, little-endian), 18-19 item length, 23 unique,
// 24.. key expression. A node: 4 bytes number of keys, then items of child page (0 in a leaf),
// record number, key; an inner node's last item (after the n keys) holds a child page only.
//
// Every offset, count and length is checked against the file and the node it is in; a damaged
// structure is an IndexFileError naming the tag and the node.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../file_io.h"

namespace tavrinth::dbase {

struct IndexFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The n bytes at offset of an index file; IndexFileError naming `what` when the file does not
// hold all of them.
std::vector<std::uint8_t> readIndexBytes(const ByteSource& src, std::uint64_t offset, std::uint64_t n,
                                         const std::string& what);
// The bytes before the first NUL among the n at p (all n when there is none).
std::string upToNul(const std::uint8_t* p, std::size_t n);
// The text without blanks (spaces, tabs, NULs) at both ends.
std::string trimmed(std::string s);
// The bytes before the first NUL among the n at p; false when there is no NUL.
bool nulTerminated(const std::uint8_t* p, std::size_t n, std::string& out);

enum class IndexFileKind { Mdx, Cdx, Ndx };

struct IndexTag {
    std::string name;        // as stored (the table's code page), trimmed
    std::string expression;  // the key expression, trimmed
    std::string filter;      // the FOR expression; empty when the tag has none
    bool hasFilter = false;
    // 'C', 'N' or 'D' as the header says (.MDX, .NDX: 'N' for any numeric .NDX key); a .CDX
    // does not say: '?'.
    char keyType = '?';
    std::size_t keyLength = 0;
    bool descending = false;
    bool unique = false;
    std::uint64_t header = 0;    // offset of the tag's header
    std::uint64_t root = 0;      // offset of its root node
    std::size_t itemLength = 0;  // bytes of one item of a node (.MDX, .NDX)
};

struct IndexKeyEntry {
    std::uint32_t record = 0;  // 1-based physical record number
    std::string key;           // keyLength bytes
};

class IndexFileReader {
public:
    // Reads the header and the list of tags. Throws IndexFileError when they are damaged.
    IndexFileReader(const ByteSource& src, IndexFileKind kind);

    IndexFileKind kind() const { return kind_; }
    const std::vector<IndexTag>& tags() const { return tags_; }

    // Calls visit for each leaf entry of the tag, left to right. `order` (may be empty) compares
    // two keys in the tag's order (<0, 0, >0, its direction included); with it every key of an
    // inner node is checked to be no lower than the keys of its subtree. Throws IndexFileError
    // when the tree is damaged (a node outside the file or reached twice, entries that do not fit
    // their node, a key of an inner node below its subtree). `filler` is the byte a .CDX leaf
    // drops from the end of keys (' ' for character keys, 0 for others).
    using KeyOrder = std::function<int(const std::string&, const std::string&)>;
    void readEntries(const IndexTag& tag, const KeyOrder& order, char filler,
                     const std::function<void(const IndexKeyEntry&)>& visit) const;

private:
    void readMdx();
    void readCdx();
    void readNdx();

    const ByteSource& src_;
    IndexFileKind kind_;
    std::vector<IndexTag> tags_;
    std::size_t nodeBytes_ = 512;  // bytes of one node
};

// The entries of a .CDX leaf (the 512 bytes of the node) in order: record number, duplicate and
// trail counts packed into a few bytes, the rest of each key stored from the end of the node
// backwards; `filler` is the byte dropped from the end of keys. IndexFileError naming `where`
// when they do not fit the node.
void unpackCdxLeaf(const std::vector<std::uint8_t>& node, std::size_t keyLength, char filler, const std::string& where,
                   const std::function<void(std::uint32_t, std::string)>& each);

// The order of two keys of a tag of this kind and key type, ascending: <0, 0, >0. Character
// keys compare byte by byte; N and D keys of an .MDX or .NDX by value; every .CDX key by bytes.
int compareIndexKeys(IndexFileKind kind, char keyType, const std::string& a, const std::string& b);

// Whether the key of an entry of a tag on one field (field type C, N, F or D) is the key of the
// field's stored bytes: numbers and dates by value (an .MDX numeric key may carry more digits than
// it needs), character keys byte for byte. Unknown when that cannot be told here: another field
// type, a blank number or date (no index file says what it holds for those), a key length that
// does not fit the field.
enum class KeyMatch { Equal, Differs, Unknown };
KeyMatch matchFieldKey(IndexFileKind kind, char fieldType, const std::string& key, const std::uint8_t* p,
                       std::size_t n);

}  // namespace tavrinth::dbase
