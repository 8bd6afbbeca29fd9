#pragma once
// Writing a production .MDX: the index file of a dBase IV / level 7 table with its tags and the
// B-tree pages of every tag.
//
// Layout written (all integers little-endian; a page is 512 bytes, a block two pages):
//
//   pages 0-3   file header (544 bytes: version 2, date, table name, block size, tag count,
//               page count) and the tag table from offset 544, 32 bytes an entry: tag header
//               page, tag name (10 characters and a NUL), key format (0x10 a field, 0x00 an
//               expression), the tag-name tree (left, right, parent: 1-based entries), 0x02,
//               key type.
//   per tag     a header block (root page, node pages, key flags 0x10 | 0x08 descending | 0x40
//               unique, key type, key length, keys per node, key item length, unique byte 23,
//               key expression at 24, "has keys" at 246, date at 257, single-field mark at 480),
//               then its nodes: the leaves left to right, then each upper level, the root last.
//
// A node: number of keys (4 bytes), 4 reserved bytes, then items of `item length` bytes (the key
// length plus 4, rounded up to 4): a record number (leaves) or a child page (inner nodes) and the
// key. An inner node with n keys holds n + 1 child pointers; key i is the last key of child i and
// the last pointer has no key. A leaf is told from an inner node by the pointer after its last
// item, which is 0. A node holds at most (1024 - 12) / item length items, so that pointer always
// fits.
//
// Keys: C the field bytes as the record stores them (space padded, table code page), compared
// byte by byte; N the 12-byte decimal form (byte 0 = 0x34 + digits before the point, byte 1 =
// 8 x bytes of digits + 1, 0x80 for a negative number, then the significant digits packed two
// to a byte); D the Julian day number as an IEEE double. Equal keys are ordered by record number,
// also in descending tags.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrinth::dbase {

struct MdxTag {
    std::string name;        // ASCII, at most 10 characters
    std::string expression;  // the key expression, ASCII
    char keyType = 'C';      // 'C', 'N' or 'D'
    bool singleField = true; // the key is one field of the table
    bool descending = false;
    bool unique = false;
    std::size_t keyLength = 0;      // bytes of every key (C: 1..100; N: 12; D: 8)
    std::vector<std::string> keys;  // one per record, in record order
    // A tag with a FOR clause: one per record, false for a record the tag leaves out (whose key
    // is not used). Empty: the tag holds every record.
    std::vector<bool> holds;
    // Rebuilding a tag of an existing file: the tag's header block as that file holds it (1024
    // bytes). Only what the keys decide is written anew (root page, pages, "has keys"; the first
    // and last node words are cleared as in a new file); every other byte is kept: flags, key
    // type and sizes, expression, FOR clause, dates, bytes of unknown meaning. Empty: a new tag,
    // its header made from the fields above.
    std::vector<std::uint8_t> headerTemplate;
};

struct MdxDate {
    int year = 1900, month = 1, day = 1;
};

// The whole file. `tableName` goes into the header (the table's stem, upper case, 8 characters).
// The tags must be valid (names, key lengths, one key per record, no duplicates among the records
// a unique tag holds):
// the caller checks them.
// `fileTemplate`: rebuilding an existing file, its first kMdxHeaderBytes bytes (file header and
// tag table; zero-filled where the file is shorter). Those are kept but for the tag count, the
// page count, the free-page words and each tag's header page; `tableName` and `date` are then not
// used. The tag table's entries must be 32 bytes long, in the order of `tags`.
std::vector<std::uint8_t> buildMdx(const std::string& tableName, const std::vector<MdxTag>& tags,
                                   std::uint32_t recordCount, const MdxDate& date,
                                   const std::vector<std::uint8_t>& fileTemplate = {});

// The same written a piece at a time, for files too big to hold: each tag's entries come from its
// stream in index order (equal keys by record number), and every piece of the file goes to
// `sink` (offset, bytes; the file header last). The tags' `keys` are not used.
class MdxKeyStream {
public:
    virtual ~MdxKeyStream() = default;
    virtual std::uint64_t count() const = 0;
    // The next entry: its record number (1-based) and key (the tag's key length). False at the end.
    virtual bool next(std::uint32_t& record, const char*& key) = 0;
};
using MdxPageSink = std::function<void(std::uint64_t offset, const std::uint8_t* data, std::size_t n)>;
void writeMdx(const std::string& tableName, const std::vector<MdxTag>& tags, const std::vector<MdxKeyStream*>& keys,
              const MdxDate& date, const std::vector<std::uint8_t>& fileTemplate, const MdxPageSink& sink);

// Keys --------------------------------------------------------------------------------------------

inline constexpr std::size_t kMdxNumericKeyLength = 12;
inline constexpr std::size_t kMdxDateKeyLength = 8;
inline constexpr std::size_t kMdxMaxCharKeyLength = 100;
inline constexpr std::size_t kMdxMaxTags = 47;
inline constexpr std::size_t kMdxBlockBytes = 1024;
inline constexpr std::size_t kMdxHeaderBytes = 2048;  // the file header and the tag table

// The N key of a number as a numeric field stores it ("  -12.50"); blank text is 0. Returns
// false when the text is no plain decimal number or has more than 20 significant digits.
bool mdxNumericKey(std::string_view storedText, std::string& key);

// The D key of a day number (1 January 0001 = 1).
std::string mdxDateKey(std::int64_t dayNumber);

// <0, 0, >0 in ascending key order.
int compareMdxKeys(char keyType, const std::string& a, const std::string& b);
// The same over keys of `length` bytes.
int compareMdxKeys(char keyType, const char* a, const char* b, std::size_t length);

// Items of one node for a key length.
std::size_t mdxItemLength(std::size_t keyLength);
std::size_t mdxKeysPerNode(std::size_t keyLength);

}  // namespace tavrinth::dbase
