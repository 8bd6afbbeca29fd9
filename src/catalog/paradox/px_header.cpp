#include "px_header.h"

#include <cstdio>

#include "../byte_order.h"
#include "../engine_error.h"

namespace tavrinth::paradox {

namespace {

constexpr std::size_t kFixedPart = 0x58;
constexpr std::size_t kExtendedPart = 0x78;

[[noreturn]] void corrupt(const ByteSource& src, const std::string& what) {
    throw EDBEngineError(EDBEngineError::Code::Corrupt, "Corrupt table file " + src.name() + ": " + what);
}

// Reads an ASCIIZ string at pos (moving pos past its terminator); fails past `end`.
bool readCString(const std::vector<std::uint8_t>& h, std::size_t& pos, std::size_t end, std::string& out) {
    const std::size_t start = pos;
    while (pos < end && h[pos] != 0) ++pos;
    if (pos >= end) return false;
    out.assign(reinterpret_cast<const char*>(h.data() + start), pos - start);
    ++pos;
    return true;
}

}  // namespace

int Header::level() const {
    if (versionByte <= 3) return 30;
    if (versionByte == 4) return 35;
    if (versionByte <= 9) return 40;
    if (versionByte <= 11) return 50;
    return 70;
}

bool Header::hasFieldNames() const {
    switch (fileType) {
        case kKeyedTable:
        case kUnkeyedTable:
        case kSecondaryIndexNonMaintained:
        case kSecondaryIndexMaintained:
        case kCompositeIndexNonMaintained:
        case kCompositeIndexMaintained:
            return true;
        default:
            return false;
    }
}

unsigned fieldBytes(const FieldDescriptor& d) {
    switch (d.type) {
        case 0x02: case 0x04: case 0x14: case 0x16: return 4;  // D I T +
        case 0x03: return 2;                                   // S
        case 0x05: case 0x06: case 0x15: return 8;              // $ N @
        case 0x09: return 1;                                   // L
        case 0x17: return 17;                                  // #
        default: return d.size;                                // A M B F O G Y, unknown types
    }
}

Header readHeader(const ByteSource& source) {
    if (source.size() < kFixedPart) corrupt(source, "the file is too short for a Paradox header");
    std::uint8_t fixed[kFixedPart];
    source.readZeroFilled(0, fixed, kFixedPart);

    Header h;
    h.recordSize = loadLE16(fixed + 0x00);
    h.headerSize = loadLE16(fixed + 0x02);
    h.fileType = fixed[0x04];
    h.maxTableSize = fixed[0x05];
    h.numRecords = loadLE32(fixed + 0x06);
    h.blocksInUse = loadLE16(fixed + 0x0A);
    h.fileBlocks = loadLE16(fixed + 0x0C);
    h.firstBlock = loadLE16(fixed + 0x0E);
    h.lastBlock = loadLE16(fixed + 0x10);
    h.modifiedFlags1 = fixed[0x14];
    h.indexFieldNumber = fixed[0x15];
    h.indexRoot = loadLE16(fixed + 0x1E);
    h.indexLevels = fixed[0x20];
    h.numFields = static_cast<std::int16_t>(loadLE16(fixed + 0x21));
    h.primaryKeyFields = static_cast<std::int16_t>(loadLE16(fixed + 0x23));
    const std::uint32_t encryption1 = loadLE32(fixed + 0x25);
    h.sortOrder = fixed[0x29];
    h.modifiedFlags2 = fixed[0x2A];
    h.changeCount1 = fixed[0x2D];
    h.changeCount2 = fixed[0x2E];
    h.writeProtected = fixed[0x38];
    h.versionByte = fixed[0x39];
    h.autoIncrement = loadLE32(fixed + 0x49);
    h.firstFreeBlock = loadLE16(fixed + 0x4D);
    h.realHeaderSize = loadLE16(fixed + 0x51);
    h.indexOptions = fixed[0x55];

    if (h.versionByte < 3 || h.versionByte > 15) {
        char what[80];
        std::snprintf(what, sizeof what, "unknown version byte 0x%02X (not a Paradox file?)", h.versionByte);
        corrupt(source, what);
    }
    if (h.fileType > kCompositeIndexMaintained) corrupt(source, "unknown file type " + std::to_string(h.fileType));
    if (h.maxTableSize < 1 || h.maxTableSize > 32)
        corrupt(source, "block size of " + std::to_string(h.maxTableSize) + " KB is outside 1..32");
    if (h.numFields < 1 || h.numFields > 255)
        corrupt(source, "field count " + std::to_string(h.numFields) + " is outside 1..255");
    if (h.recordSize == 0 || h.recordSize + 6u > h.blockSize())
        corrupt(source, "record size " + std::to_string(h.recordSize) + " does not fit a block");

    const bool dataFile = h.hasFieldNames();
    h.hasExtension = dataFile && h.versionByte >= 0x05;
    const std::size_t variableStart = h.hasExtension ? kExtendedPart : kFixedPart;
    if (h.headerSize < variableStart) corrupt(source, "header size " + std::to_string(h.headerSize) + " is too small");
    if (h.headerSize > source.size()) corrupt(source, "the file ends inside its header");

    std::vector<std::uint8_t> bytes(h.headerSize);
    source.readZeroFilled(0, bytes.data(), bytes.size());
    const std::size_t end = bytes.size();

    h.encryption = encryption1;
    if (h.hasExtension) {
        const std::uint8_t* x = bytes.data();
        h.fileUpdateTime = loadLE32(x + 0x60);
        h.hiFieldId = loadLE16(x + 0x64);
        h.dosCodePage = loadLE16(x + 0x6A);
        if (encryption1 == 0xFF00FF00u) h.encryption = loadLE32(x + 0x5C);
    }

    const std::size_t n = static_cast<std::size_t>(h.numFields);
    std::size_t pos = variableStart;
    if (pos + 2 * n + 4 > end) corrupt(source, "the field descriptors run past the header");
    h.fields.resize(n);
    unsigned total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        h.fields[i].type = bytes[pos + 2 * i];
        h.fields[i].size = bytes[pos + 2 * i + 1];
        total += fieldBytes(h.fields[i]);
    }
    pos += 2 * n + 4;  // descriptors, table-name pointer
    if (dataFile) pos += 4 * n;  // field-name pointers
    const std::size_t tableNameSize = h.versionByte >= 0x0C ? 261 : 79;
    if (pos + tableNameSize > end) corrupt(source, "the table name runs past the header");
    {
        std::size_t p = pos;
        while (p < pos + tableNameSize && bytes[p] != 0) ++p;
        h.tableName.assign(reinterpret_cast<const char*>(bytes.data() + pos), p - pos);
    }
    pos += tableNameSize;

    if (dataFile) {
        h.fieldNames.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            if (!readCString(bytes, pos, end, h.fieldNames[i])) corrupt(source, "the field names run past the header");
        if (h.hasExtension) {
            if (pos + 2 * n > end) corrupt(source, "the field numbers run past the header");
            h.fieldNumbers.resize(n);
            for (std::size_t i = 0; i < n; ++i) h.fieldNumbers[i] = loadLE16(bytes.data() + pos + 2 * i);
            pos += 2 * n;
            if (!readCString(bytes, pos, end, h.sortOrderName)) h.sortOrderName.clear();
            else if (h.fileType != kKeyedTable && h.fileType != kUnkeyedTable && !readCString(bytes, pos, end, h.indexName))
                h.indexName.clear();
        }
    }

    // Index files carry extra fields of their own after the key; only tables must add up exactly.
    if (h.isTable() && total != h.recordSize)
        corrupt(source, "the fields take " + std::to_string(total) + " bytes but the record size is " +
                            std::to_string(h.recordSize));
    if (total > h.recordSize)
        corrupt(source, "the fields take " + std::to_string(total) + " bytes, more than the record size " +
                            std::to_string(h.recordSize));
    return h;
}

}  // namespace tavrinth::paradox
