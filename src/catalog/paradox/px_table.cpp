#include "px_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../byte_order.h"
#include "../engine_error.h"
#include "px_crypt.h"
#include "px_index.h"
#include "px_val.h"
#include "px_values.h"

namespace tavrinth::paradox {

namespace {

constexpr std::size_t kBlockHeader = 6;
constexpr std::uint32_t kMbBlock = 4096;

struct TypeInfo {
    char letter;
    TFieldType dataType;
    std::uint16_t logical;
    std::uint16_t subType;
};

TypeInfo typeInfo(std::uint8_t code) {
    switch (code) {
        case 0x01: return {'A', ftString, fld::ZSTRING, 0};
        case 0x02: return {'D', ftDate, fld::DATE, 0};
        case 0x03: return {'S', ftSmallint, fld::INT16, 0};
        case 0x04: return {'I', ftInteger, fld::INT32, 0};
        case 0x05: return {'$', ftCurrency, fld::FLOAT, fld::stMONEY};
        case 0x06: return {'N', ftFloat, fld::FLOAT, 0};
        case 0x09: return {'L', ftBoolean, fld::BOOL, 0};
        case 0x0C: return {'M', ftMemo, fld::BLOB, fld::stMEMO};
        case 0x0D: return {'B', ftBlob, fld::BLOB, fld::stBINARY};
        case 0x0E: return {'F', ftFmtMemo, fld::BLOB, fld::stFMTMEMO};
        case 0x0F: return {'O', ftParadoxOle, fld::BLOB, fld::stOLEOBJ};
        case 0x10: return {'G', ftGraphic, fld::BLOB, fld::stGRAPHIC};
        case 0x14: return {'T', ftTime, fld::TIME, 0};
        case 0x15: return {'@', ftDateTime, fld::TIMESTAMP, 0};
        case 0x16: return {'+', ftAutoInc, fld::INT32, fld::stAUTOINC};
        case 0x17: return {'#', ftBCD, fld::BCD, 0};
        case 0x18: return {'Y', ftBytes, fld::BYTES, 0};
        default: return {'?', ftUnknown, fld::UNKNOWN, 0};
    }
}

int layerDataSize(TFieldType t, int size) {
    switch (t) {
        case ftString: return size + 1;
        case ftSmallint: case ftBoolean: return 2;
        case ftInteger: case ftAutoInc: case ftDate: case ftTime: return 4;
        case ftFloat: case ftCurrency: case ftDateTime: return 8;
        case ftBCD: return 34;
        case ftBytes: return size;
        default: return 0;
    }
}

bool isBlobType(std::uint8_t code) { return code >= 0x0C && code <= 0x10; }

}  // namespace

ParadoxTable::ParadoxTable(std::unique_ptr<ByteSource> db, std::unique_ptr<FileFamily> family,
                           const OpenOptions& options)
    : db_(std::move(db)), family_(std::move(family)) {
    fileName_ = db_->name();
    header_ = readHeader(*db_);
    db_->readZeroFilled(0, loadedHeader_, sizeof loadedHeader_);
    if (!header_.isTable())
        throw EDBEngineError(EDBEngineError::Code::Corrupt,
                             "Not a table: " + fileName_ + " is a Paradox index file (file type " +
                                 std::to_string(header_.fileType) + ")");
    if (header_.encryption != 0) checkPassword(options);

    ownCodePageChoice_ = paradoxCodePage(header_.hasExtension ? header_.dosCodePage : 0, header_.sortOrder,
                                         header_.sortOrderName);
    if (!options.codePage.empty()) {
        codePage_ = CodePage::find(options.codePage);
        codePageChoice_ = {options.codePage, "code page given by the user", false};
    }
    if (!codePage_) {
        codePageChoice_ = ownCodePageChoice_;
        codePage_ = CodePage::find(codePageChoice_.name);
        if (codePageChoice_.fallback) warn(codePageChoice_.reason);
    }

    buildFields();
    checks_ = readValidityChecks(header_, fields_, *family_, *codePage_, warnings_, &references_);
    applyRequiredFlags();
    block_.resize(header_.blockSize());
    walkChain();
    for (const FieldDef& f : fields_)
        if (isBlobType(f.typeCode)) {
            mb_ = family_->open(".mb");
            break;
        }
}

void ParadoxTable::checkPassword(const OpenOptions& options) {
    for (const std::string& p : options.knownPasswords)
        if (passwordChecksum(p) == header_.encryption) {
            password_ = p;
            return;
        }
    std::string entered;
    if (!options.askPassword || !options.askPassword(options.askPasswordContext, fileName_, entered))
        throw EDBEngineError(EDBEngineError::Code::Password,
                             "Table " + fileName_ + " is encrypted: a password is needed to open it");
    if (passwordChecksum(entered) != header_.encryption)
        throw EDBEngineError(EDBEngineError::Code::Password, "Invalid password for table " + fileName_);
    password_ = entered;
}

void ParadoxTable::buildFields() {
    std::uint32_t offset = 0;
    fields_.reserve(header_.fields.size());
    for (std::size_t i = 0; i < header_.fields.size(); ++i) {
        const FieldDescriptor& d = header_.fields[i];
        const TypeInfo t = typeInfo(d.type);
        FieldDef f;
        f.name = codePage_->decode(header_.fieldNames[i]);
        f.dataType = t.dataType;
        f.logicalType = t.logical;
        f.subType = t.subType;
        f.typeLetter = t.letter;
        f.typeCode = d.type;
        f.offset = offset;
        f.length = fieldBytes(d);
        if (d.type == 0x17) f.decimals = d.size;
        if (t.dataType == ftString || t.dataType == ftBytes) f.size = d.size;
        else if (isBlobType(d.type)) f.size = d.size >= 10 ? d.size - 10 : 0;
        else if (t.dataType == ftBCD) f.size = d.size;
        f.dataSize = layerDataSize(f.dataType, f.size);
        if (t.dataType == ftUnknown) {
            char what[64];
            std::snprintf(what, sizeof what, "field %s has unknown type code 0x%02X; shown as raw bytes",
                          f.name.c_str(), d.type);
            warn(what);
        }
        if (isBlobType(d.type) && d.size < 10)
            throw EDBEngineError(EDBEngineError::Code::Corrupt,
                                 "Corrupt table file " + fileName_ + ": BLOB field " + f.name + " is shorter than its pointer");
        offset += f.length;
        fields_.push_back(std::move(f));
    }
}

void ParadoxTable::walkChain() {
    const std::uint32_t blockSize = header_.blockSize();
    const std::uint64_t fileSize = db_->size();
    std::vector<bool> visited(65536, false);
    const std::uint32_t capacity = (blockSize - kBlockHeader) / header_.recordSize;
    std::uint8_t head[256];
    std::uint32_t total = 0;
    std::uint16_t blk = header_.firstBlock;
    while (blk != 0) {
        const std::uint64_t offset = header_.headerSize + static_cast<std::uint64_t>(blk - 1) * blockSize;
        if (blk > header_.fileBlocks || offset >= fileSize) {
            damaged_ = true;
            warn("the block chain points at block " + std::to_string(blk) + ", which the file does not hold; " +
                 "the records after it cannot be read");
            break;
        }
        if (visited[blk]) {
            damaged_ = true;
            warn("the block chain returns to block " + std::to_string(blk) + "; reading stops there");
            break;
        }
        visited[blk] = true;
        db_->readZeroFilled(offset, head, sizeof head);
        if (header_.encryption != 0) decryptBlock(head, sizeof head, header_.encryption, blk);
        const std::uint16_t next = loadLE16(head);
        const auto addDataSize = static_cast<std::int16_t>(loadLE16(head + 4));
        std::uint32_t count = addDataSize >= 0 ? static_cast<std::uint32_t>(addDataSize) / header_.recordSize + 1 : 0;
        if (count > capacity) {
            damaged_ = true;
            warn("block " + std::to_string(blk) + " claims " + std::to_string(count) + " records but holds at most " +
                 std::to_string(capacity));
            count = capacity;
        }
        chainBlocks_.push_back(blk);
        chainStart_.push_back(total);
        total += count;
        blk = next;
    }
    chainStart_.push_back(total);
    totalRecords_ = total;
    if (total != header_.numRecords) {
        damaged_ = true;
        warn("the header counts " + std::to_string(header_.numRecords) + " records but the block chain holds " +
             std::to_string(total));
    }
}

std::vector<TIndexDef> ParadoxTable::readIndexes() {
    return paradox::readIndexes(header_, fields_, *family_, *codePage_, warnings_);
}

void ParadoxTable::loadBlock(std::size_t position) {
    if (position == loadedPosition_) return;
    const std::uint16_t blk = chainBlocks_[position];
    const std::uint32_t blockSize = header_.blockSize();
    db_->readZeroFilled(header_.headerSize + static_cast<std::uint64_t>(blk - 1) * blockSize, block_.data(), blockSize);
    if (header_.encryption != 0) decryptBlock(block_.data(), blockSize, header_.encryption, blk);
    loadedPosition_ = position;
}

std::size_t ParadoxTable::chainPositionOf(std::uint32_t index) {
    std::size_t pos = lastPosition_;
    if (!(index >= chainStart_[pos] && index < chainStart_[pos + 1])) {
        if (pos + 1 < chainBlocks_.size() && index >= chainStart_[pos + 1] && index < chainStart_[pos + 2]) {
            ++pos;
        } else {
            // The last chain position whose first record is at or before index (skipping empty blocks).
            auto it = std::upper_bound(chainStart_.begin(), chainStart_.end() - 1, index);
            pos = static_cast<std::size_t>(it - chainStart_.begin()) - 1;
        }
        lastPosition_ = pos;
    }
    return pos;
}

const std::uint8_t* ParadoxTable::record(std::uint32_t index) {
    if (index >= totalRecords_)
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Record " + std::to_string(index + 1) + " is beyond the end of " + fileName_);
    const std::size_t pos = chainPositionOf(index);
    loadBlock(pos);
    return block_.data() + kBlockHeader + static_cast<std::size_t>(index - chainStart_[pos]) * header_.recordSize;
}

void ParadoxTable::decode(const std::uint8_t* rec, std::size_t field, FieldValue& out) {
    const FieldDef& f = fields_[field];
    const std::uint8_t* p = rec + f.offset;
    if (isBlobType(f.typeCode)) {
        decodeBlob(f, p, out);
        return;
    }
    decodeValue(f.typeCode, p, f.length, f.decimals, *codePage_, out);
}

bool ParadoxTable::readBlobBytes(std::uint64_t offset, std::size_t n, std::string& out) {
    out.clear();
    if (!mb_ || offset > mb_->size() || n > mb_->size() - offset) return false;
    if (header_.encryption == 0) {
        out.resize(n);
        mb_->readAt(offset, out.data(), n);
        return true;
    }
    // Scrambled in 256-byte chunks: read the whole chunks around the range.
    const std::uint64_t first = offset & ~std::uint64_t{255};
    const std::uint64_t last = (offset + n + 255) & ~std::uint64_t{255};
    chunkBuffer_.resize(static_cast<std::size_t>(last - first));
    mb_->readZeroFilled(first, chunkBuffer_.data(), chunkBuffer_.size());
    decryptBlobChunks(chunkBuffer_.data(), chunkBuffer_.size(), header_.encryption);
    out.assign(reinterpret_cast<const char*>(chunkBuffer_.data() + (offset - first)), n);
    return true;
}

void ParadoxTable::decodeBlob(const FieldDef& f, const std::uint8_t* p, FieldValue& out) {
    const std::size_t leader = f.length - 10;
    const std::uint32_t pointer = loadLE32(p + leader);
    const std::uint32_t length = loadLE32(p + leader + 4);
    if (length == 0) {
        out.setNull();
        return;
    }
    const ValueKind kind = f.typeCode == 0x0C ? ValueKind::String : ValueKind::Binary;
    std::string bytes;
    auto invalid = [&](const std::string& why) {
        out.setText(ValueKind::Invalid);
        out.text.assign(reinterpret_cast<const char*>(p), f.length);
        (void)why;
    };
    if (length <= leader) {
        bytes.assign(reinterpret_cast<const char*>(p), length);
    } else if (!mb_) {
        out.setText(ValueKind::MissingBlob);
        return;
    } else {
        const std::uint64_t blockOffset = pointer & 0xFFFFFF00u;
        const unsigned index = pointer & 0xFF;
        std::string head;
        if (blockOffset == 0 || !readBlobBytes(blockOffset, 3, head)) return invalid("pointer outside the BLOB file");
        const auto type = static_cast<std::uint8_t>(head[0]);
        const std::uint32_t blocks = loadLE16(reinterpret_cast<const std::uint8_t*>(head.data()) + 1);
        if (type == 2) {
            std::string lenBytes;
            if (index != 0xFF || !readBlobBytes(blockOffset + 3, 4, lenBytes)) return invalid("bad single BLOB block");
            const std::uint32_t stored = loadLE32(reinterpret_cast<const std::uint8_t*>(lenBytes.data()));
            if (stored != length || static_cast<std::uint64_t>(length) + 9 > static_cast<std::uint64_t>(blocks) * kMbBlock)
                return invalid("BLOB length does not match its block");
            if (!readBlobBytes(blockOffset + 9, length, bytes)) return invalid("BLOB runs past the end of the file");
        } else if (type == 3) {
            std::string entry;
            if (index >= 64 || !readBlobBytes(blockOffset + 12 + 5 * index, 5, entry)) return invalid("bad BLOB index");
            const auto* e = reinterpret_cast<const std::uint8_t*>(entry.data());
            const std::uint32_t start = e[0] * 16u;
            const std::uint32_t chunks = e[1];
            const std::uint32_t lastBytes = e[4];
            if (start == 0 || chunks == 0 || (chunks - 1) * 16 + lastBytes != length || start + length > kMbBlock)
                return invalid("BLOB entry does not match its length");
            if (!readBlobBytes(blockOffset + start, length, bytes)) return invalid("BLOB runs past the end of the file");
        } else {
            return invalid("pointer to a block that holds no BLOB");
        }
    }
    if (f.typeCode == 0x10 && bytes.size() >= 8) bytes.erase(0, 8);  // graphic: drop the 8-byte prefix
    if (kind == ValueKind::String) {
        out.setText(ValueKind::String);
        codePage_->decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out.text);
    } else {
        out.setText(ValueKind::Binary);
        out.text = std::move(bytes);
    }
}

}  // namespace tavrinth::paradox
