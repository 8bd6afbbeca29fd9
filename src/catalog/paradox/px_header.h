#pragma once
// The header shared by every Paradox file with records: tables (.DB), primary indexes (.PX) and
// secondary indexes (.Xnn/.XGn and their .Ynn/.YGn trees).

#include <cstdint>
#include <string>
#include <vector>

#include "../file_io.h"

namespace tavrinth::paradox {

enum FileType : std::uint8_t {
    kKeyedTable = 0,
    kPrimaryIndex = 1,
    kUnkeyedTable = 2,
    kSecondaryIndexNonMaintained = 3,
    kSecondaryIndexTree = 4,
    kSecondaryIndexMaintained = 5,
    kCompositeIndexNonMaintained = 6,
    kCompositeIndexTree = 7,
    kCompositeIndexMaintained = 8,
};

struct FieldDescriptor {
    std::uint8_t type = 0;  // type code (0x01 Alpha ...)
    std::uint8_t size = 0;  // bytes in the record (BCD: the number of decimals)
};

struct Header {
    std::uint16_t recordSize = 0;
    std::uint16_t headerSize = 0;
    std::uint8_t fileType = 0;
    std::uint8_t maxTableSize = 0;  // block size in KB
    std::uint32_t numRecords = 0;
    std::uint16_t blocksInUse = 0;
    std::uint16_t fileBlocks = 0;
    std::uint16_t firstBlock = 0;
    std::uint16_t lastBlock = 0;
    std::uint8_t modifiedFlags1 = 0;
    std::uint8_t indexFieldNumber = 0;
    std::uint16_t indexRoot = 0;
    std::uint8_t indexLevels = 0;
    std::int16_t numFields = 0;
    std::int16_t primaryKeyFields = 0;
    std::uint32_t encryption = 0;  // the effective checksum word (0 = not encrypted)
    std::uint8_t sortOrder = 0;
    std::uint8_t modifiedFlags2 = 0;
    std::uint8_t changeCount1 = 0;
    std::uint8_t changeCount2 = 0;  // a .VAL belongs to the table when its first byte equals this
    std::uint8_t writeProtected = 0;
    std::uint8_t versionByte = 0;
    std::uint32_t autoIncrement = 0;
    std::uint16_t firstFreeBlock = 0;
    std::uint16_t realHeaderSize = 0;
    std::uint8_t indexOptions = 0;  // byte 0x55
    bool hasExtension = false;      // bytes 0x58-0x77 are present
    std::uint16_t dosCodePage = 0;
    std::uint32_t fileUpdateTime = 0;
    std::uint16_t hiFieldId = 0;

    std::vector<FieldDescriptor> fields;
    std::string tableName;                // raw bytes, as created
    std::vector<std::string> fieldNames;  // raw bytes in the table's code page (files with names)
    std::vector<std::uint16_t> fieldNumbers;  // level 4+ files with names
    std::string sortOrderName;            // "ascii", "intl", "DBWINUS0" ... (level 4+)
    std::string indexName;                // secondary index files: the stored index name

    // 30, 35, 40, 50 or 70.
    int level() const;
    std::uint32_t blockSize() const { return static_cast<std::uint32_t>(maxTableSize) * 1024u; }
    bool isTable() const { return fileType == kKeyedTable || fileType == kUnkeyedTable; }
    bool hasFieldNames() const;
};

// The bytes a field of this type occupies in a record (BCD: 17), or 0 for an unknown type.
unsigned fieldBytes(const FieldDescriptor& d);

// Reads and checks the header of a Paradox file. Throws EDBEngineError (Corrupt) naming the file
// and what is wrong when the bytes are outside the format.
Header readHeader(const ByteSource& source);

}  // namespace tavrinth::paradox
