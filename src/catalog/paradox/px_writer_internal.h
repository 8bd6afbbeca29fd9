#pragma once
// The parts of the Paradox table writer (px_writer.cpp and its companions): the checked
// description of the table, and the builders of headers, block files, B-trees, the BLOB file and
// the validity-check file.
//
// Nothing here touches the disk: createTable() hands the files to writeNewFiles(), which puts them
// in place all together or not at all.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../codepage.h"
#include "../engine_error.h"
#include "../table_writer.h"
#include "px_header.h"

namespace tavrinth::paradox::writer {

constexpr std::size_t kBlockHeader = 6;
constexpr std::uint16_t kHeaderUnit = 0x800;  // headers take a multiple of 2 KB
constexpr std::uint8_t kIndexBlockKB = 2;     // index (.PX/.Y) blocks, as the engine writes them

enum TypeCode : std::uint8_t {
    kAlpha = 0x01, kDate = 0x02, kShort = 0x03, kLong = 0x04, kMoney = 0x05, kNumber = 0x06,
    kLogical = 0x09, kMemo = 0x0C, kBinary = 0x0D, kFmtMemo = 0x0E, kOle = 0x0F, kGraphic = 0x10,
    kTime = 0x14, kTimestamp = 0x15, kAutoInc = 0x16, kBcd = 0x17, kBytes = 0x18,
};

inline bool isBlobCode(std::uint8_t code) { return code >= kMemo && code <= kGraphic; }

[[noreturn]] inline void refuse(const std::string& message) {
    throw EDBEngineError(EDBEngineError::Code::InvalidValue, message);
}

// A language driver (sort order) the writer labels tables with.
struct SortOrder {
    unsigned codePage;
    const char* name;    // the sort-order string of the header
    std::uint8_t byte;   // header byte 0x29
    // True when the sort order collates text by its byte values, which is the order the writer
    // sorts keys in. Text keys are refused under any other sort order.
    bool byteOrder;
};

struct Field {
    std::string name;       // UTF-8, as given
    std::string nameBytes;  // in the table's code page
    char letter = 0;
    std::uint8_t code = 0;
    std::uint8_t sizeByte = 0;  // the descriptor's size byte (BCD: the decimals)
    unsigned length = 0;        // bytes in the record
    unsigned offset = 0;        // in the record
    int decimals = 0;           // BCD

    FieldDescriptor descriptor() const { return {code, sizeByte}; }
    bool isBlob() const { return isBlobCode(code); }
};

// The checked description: everything the files are built from, except the records.
struct Layout {
    std::string path;          // the .db file
    std::string folder;
    std::string stem;          // file name without extension
    bool upperCaseExtensions = false;
    int level = 7;
    std::uint8_t versionByte = 0x0C;
    std::shared_ptr<const CodePage> codePage;
    const SortOrder* sortOrder = nullptr;
    std::uint8_t blockKB = 4;
    unsigned blockSize = 4096;
    std::vector<Field> fields;
    unsigned recordSize = 0;
    int keyFields = 0;
    unsigned keyLength = 0;     // bytes of the key fields (they lead the record)
    int autoIncField = -1;      // position of the '+' field, -1 = none
    std::uint32_t checksum = 0; // encryption checksum, 0 = not encrypted
    std::uint32_t updateTime = 0;
    std::uint8_t changeCount1 = 1;
    std::uint8_t changeCount2 = 1;  // the .VAL's first byte must equal it
    std::uint32_t autoIncrement = 0;  // the largest '+' value (set once the records are encoded)

    unsigned tableNameSize() const { return versionByte >= 0x0C ? 261u : 79u; }
    // A companion's file name: the stem and the extension in the case of the table's.
    std::string fileName(const std::string& extensionWithoutDot) const;
    // The name stored in a header's table-name field (the file name in the code page).
    std::string storedName(const std::string& fileName) const;
};

// One file of the family, complete, in memory.
struct OutputFile {
    std::string name;  // the file name in the target folder
    std::vector<std::uint8_t> bytes;
};

// --- Headers ----------------------------------------------------------------------------------

// What differs between the headers of the files of one family.
struct HeaderSpec {
    std::uint8_t fileType = kUnkeyedTable;
    std::uint16_t recordSize = 0;
    std::uint8_t blockKB = 2;
    std::uint32_t numRecords = 0;
    std::uint16_t blocks = 0;  // all in use, numbered 1..blocks
    std::uint16_t indexRoot = 0;
    std::uint8_t indexLevels = 0;
    std::uint8_t indexFieldNumber = 0;   // 0x15
    std::int16_t primaryKeyFields = 0;   // 0x23
    std::uint32_t autoIncrement = 0;     // 0x49
    std::uint8_t optionByte = 0;         // 0x55 of secondary index files
    std::uint8_t byte2C = 0, changeCount1 = 0, changeCount2 = 0;
    std::vector<FieldDescriptor> descriptors;
    // Files with field names (.DB, .X): names in the code page, field numbers, and for .XGn the
    // index name after the sort-order string.
    std::vector<std::string> names;
    std::vector<std::uint16_t> fieldNumbers;
    bool hasIndexName = false;
    std::string indexName;
    std::string tableName;  // stored bytes
};

// The header, headerSize bytes long (a multiple of 2 KB). Throws (refuses) when it would not fit
// the 16-bit header size.
std::vector<std::uint8_t> buildHeader(const Layout& layout, const HeaderSpec& spec);
// Whether a file type carries field names and the 0x58 extension.
bool isDataFileType(std::uint8_t fileType);

// --- Blocks -----------------------------------------------------------------------------------

// Records packed into blocks chained 1 -> 2 -> ... -> n, each block filled up to `perBlock`
// records. The records are recordSize bytes each, in `records` back to back.
struct BlockFile {
    std::vector<std::uint8_t> blocks;   // n * blockSize bytes
    std::vector<std::uint32_t> firstRecord;  // index of the first record of each block
    std::vector<std::uint32_t> counts;       // records in each block
    std::uint16_t blockCount() const { return static_cast<std::uint16_t>(counts.size()); }
};
// `what` names the file in messages ("Cannot <action> <what>: ...").
BlockFile packBlocks(const std::vector<std::uint8_t>& records, unsigned recordSize, unsigned blockSize,
                     unsigned perBlock, const std::string& what, const std::string& action = "create");

// A B-tree over blocks of sorted records (.PX over .DB, .Y over .X): the level-1 entries hold
// the first key of each child block, its number and its record count; higher levels hold the
// first key of each block below them and the sum of its counts.
struct IndexEntry {
    std::vector<std::uint8_t> key;
    std::uint16_t child = 0;
    std::uint32_t count = 0;
};
struct IndexTree {
    BlockFile file;
    std::uint16_t root = 0;
    std::uint8_t levels = 0;
    std::uint32_t entries = 0;  // over all levels (the header's record count)
    std::uint8_t blockKB = kIndexBlockKB;
};
// `blockKB`: the size of the tree's blocks (an existing file's); 0 = the smallest that fits
// (indexBlockKB). Refuses a block size that does not hold two entries and a free slot.
IndexTree buildTree(const std::vector<IndexEntry>& level1, unsigned keyLength, std::uint8_t maxBlockKB,
                    const std::string& what, std::uint8_t blockKB = 0, const std::string& action = "create");
// The smallest index block (2 KB upwards, at most maxBlockKB) that holds at least two entries
// with one slot left free; 0 when none does.
std::uint8_t indexBlockKB(unsigned keyLength, std::uint8_t maxBlockKB);

// Header + blocks, the blocks scrambled when the table is encrypted.
OutputFile assemble(const std::string& name, const std::vector<std::uint8_t>& header, BlockFile blocks,
                    unsigned blockSize, std::uint32_t checksum);

// --- Keys -------------------------------------------------------------------------------------

// How one field of a key compares.
struct KeyPart {
    unsigned offset = 0;
    unsigned length = 0;
    bool caseInsensitive = false;  // fold a-z onto A-Z (Alpha fields)
    bool descending = false;
};
// Compares two records by the parts, then (when tieBreak) by the bytes from `restOffset` to
// `restEnd` in byte order. Returns <0, 0, >0.
int compareKeys(const std::uint8_t* a, const std::uint8_t* b, const std::vector<KeyPart>& parts);
int compareBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

// A key's values as text, for messages ("Id = 7, Name = 'x'").
std::string describeKey(const Layout& layout, const std::uint8_t* record, const std::vector<int>& fields);

// --- Companions -------------------------------------------------------------------------------

// The .MB: BLOB values appended one by one; each call gives the descriptor words for the record.
// A new file starts with its header block; BlobFile(size) appends to an existing file of that
// size (a multiple of 4 KB), and takeWritten() hands over the finished blocks as they fill, so
// that appending many BLOBs keeps little in memory.
class BlobFile {
public:
    BlobFile();
    explicit BlobFile(std::uint64_t existingSize);
    // Stores `bytes` (already prefixed for graphics) and returns the pointer word (block offset
    // | index, or | 0xFF for a block of its own). Refuses BLOBs the format cannot hold.
    std::uint32_t add(const std::string& bytes, const std::string& what);
    // The whole file; scrambled when checksum != 0.
    OutputFile finish(const std::string& name, std::uint32_t checksum);
    bool empty() const { return bytes_.size() <= kMbBlock; }
    // The bytes added since the last call that no later add() changes (all of them when `all`),
    // and in `offset` where they go in the file.
    std::vector<std::uint8_t> takeWritten(std::uint64_t& offset, bool all);

    static constexpr std::uint32_t kMbBlock = 4096;
    static constexpr std::uint16_t kModification = 1;
    // BLOBs shorter than this go into shared (sub-allocated) blocks.
    static constexpr std::size_t kSmallBlob = 0x800;

private:
    std::uint64_t base_ = 0;    // file offset of bytes_[0]
    std::vector<std::uint8_t> bytes_;
    std::size_t subBlock_ = 0;  // offset in bytes_ of the shared block being filled
    bool subOpen_ = false;      // whether there is one
    int nextEntry_ = -1;        // next free entry of it (entries are used from 63 downwards)
    unsigned nextChunk_ = 0;    // next free 16-byte chunk of it
};

// The bytes a BLOB field's value keeps in the .MB: memo text in the code page, binary data as it
// is, a graphic behind its 8-byte prefix; empty for NULL. Refuses a value of the wrong kind.
std::string blobFieldBytes(std::uint8_t code, char letter, const CodePage& codePage, const FieldValue& value,
                           const std::string& where);
// Puts a BLOB field's bytes into the record's `length` bytes at q: the leader, and unless the
// value fits it, the value itself in `mb` with the pointer to it.
void storeBlobField(std::uint8_t code, unsigned length, const std::string& bytes, std::uint8_t* q, BlobFile& mb,
                    const std::string& mbPath, const std::string& where);

// The .VAL, or no file (empty name) when the table description has no checks.
OutputFile buildValidityFile(const Layout& layout, const TableSpec& spec);

// Secondary indexes: the .X and .Y files of every index of the table description. `records` are the table's
// records in table order, `blockOfRecord` the data block (1-based) that holds each.
std::vector<OutputFile> buildSecondaryIndexes(const Layout& layout, const TableSpec& spec,
                                              const std::vector<std::uint8_t>& records,
                                              const std::vector<std::uint16_t>& blockOfRecord);
// The index files' names the table description asks for, checked (for the existing-file check before writing).
std::vector<std::string> secondaryIndexFileNames(const Layout& layout, const TableSpec& spec);

// The .PX of a keyed table over its data blocks.
OutputFile buildPrimaryIndex(const Layout& layout, const std::vector<std::uint8_t>& records, const BlockFile& data);

// The largest index block the table's level allows (KB).
std::uint8_t maxIndexBlockKB(const Layout& layout);

// An index tree file (.PX, .Y) with a header of its own: `fileType` 1, 4 or 7, the descriptors of
// the tree's key, `byte2C` for header byte 0x2C.
OutputFile buildTreeFile(const Layout& layout, const std::string& name, std::uint8_t fileType,
                         const std::vector<FieldDescriptor>& descriptors, unsigned keyLength, IndexTree tree,
                         std::uint8_t byte2C);

// One secondary index: the .X records (index fields, then the key and Blk Num of a keyed table or
// Tup No, Blk Num and Tup Offset of an unkeyed one) sorted as the index orders them, packed into
// blocks, and the tree (.Y) over them.
struct SecondaryShape {
    std::string name;              // UTF-8, for messages
    std::vector<int> fields;       // 0-based table positions, in key order
    std::vector<bool> descending;  // per field
    bool caseInsensitive = false;  // Alpha fields compare with a-z folded onto A-Z
    bool unique = false;           // refuses two records with equal index fields
};
struct SecondaryTarget {
    std::string xWhat, yWhat;       // the files, for messages
    std::string action = "create";  // for messages: "Cannot <action> <file>: ..."
    unsigned xBlockSize = 0;        // bytes of an .X block
    std::uint8_t yMaxBlockKB = 0;
    std::uint8_t yBlockKB = 0;      // 0 = the smallest that fits
};
struct SecondaryContents {
    std::vector<FieldDescriptor> descriptors;  // of the .X record
    std::vector<std::string> names;            // their names as stored
    unsigned recordSize = 0;                   // of the .X record
    unsigned treeKeyLength = 0;                // every field but the last
    std::uint32_t count = 0;
    BlockFile x;
    IndexTree y;
};
// `records` are the table's records in table order, `blockOfRecord` the data block that holds
// each. Refuses text the case-insensitive folding does not know, a second record with the same
// index fields in a unique index, and the records of an unkeyed table (how its index addresses
// records is not known well enough).
SecondaryContents buildSecondaryContents(const Layout& layout, const SecondaryShape& shape,
                                         const std::vector<std::uint8_t>& records,
                                         const std::vector<std::uint16_t>& blockOfRecord,
                                         const SecondaryTarget& target);

// The same for a table too big to hold: `count` records, record i and its data block given by
// `record`; the index records are sorted on disk (a spool file in `folder`), and each .X block,
// numbered from 1 and not scrambled, goes to `putBlock` as it is filled. The result's `x` holds
// the block counts only (no bytes); `y` is the tree, which holds one entry per .X block.
using TableRecordAt = std::function<const std::uint8_t*(std::uint32_t index, std::uint16_t& block)>;
using PutBlock = std::function<void(std::uint16_t number, std::uint8_t* block)>;
SecondaryContents writeSecondaryContents(const Layout& layout, const SecondaryShape& shape, std::uint32_t count,
                                         const TableRecordAt& record, const PutBlock& putBlock,
                                         const std::string& folder, const SecondaryTarget& target);

// The writer's sort order of this name (any case) for this code page (0: any of the name); null
// when it has none.
const SortOrder* findSortOrder(const std::string& name, unsigned codePage);

// --- The key order of an existing table ---------------------------------------------------------
//
// Keys are ordered here by their stored bytes (values are stored so that their bytes sort like
// the values). Text sorts that way only under a sort order that collates by byte value; keys
// with text under any other sort order are not ordered here at all. The index rebuild and the
// record changes that place records in key order share these.

// Whether the table's sort order collates text by byte value: a sort order the writer knows as
// one that does (for the table's code page), or the 'ascii' of a Paradox 3 table (byte 0x29 = 0,
// no name).
bool textInByteOrder(const Header& table);
// Why keys over the table fields at `fields` (0-based positions; `defs` the table's fields) cannot
// be ordered here: a text field among them under a sort order that does not collate by byte
// value. Empty when they can. `what` names the key at the start of the message ("the primary
// key", "index City").
std::string keyOrderProblem(const Header& table, const std::vector<FieldDef>& defs, const std::vector<int>& fields,
                            const std::string& what);
// Compares two records of a keyed table by their primary key: the leading `keyLength` bytes (the
// key fields lead the record). Returns <0, 0, >0.
int comparePrimaryKeys(const std::uint8_t* a, const std::uint8_t* b, unsigned keyLength);

// Upper-case folding of UTF-8 text for comparing names ignoring case (ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters).
std::string foldName(const std::string& utf8);

}  // namespace tavrinth::paradox::writer
