// Changing records of a Paradox table in place.

#include <algorithm>
#include <cstring>
#include <set>

#include "../engine_error.h"
#include "../table_update.h"
#include "px_crypt.h"
#include "px_table.h"
#include "px_values.h"

namespace tavrinth::paradox {

namespace {
constexpr std::size_t kBlockHeader = 6;

bool isIndexExtension(const std::string& ext) {
    const std::string e = toUpperAscii(ext);
    return e.size() >= 3 && e[0] == '.' && (e[1] == 'X' || e[1] == 'Y');
}
}  // namespace

std::string ParadoxTable::tableReadOnlyReason() {
    const auto* file = dynamic_cast<const FileSource*>(db_.get());
    if (!file) return "the table is not a file on disk";
    if (header_.writeProtected) return "the table is write-protected";
    if (header_.modifiedFlags1 || header_.modifiedFlags2) return "the table's header says it needs a rebuild";
    if (damaged_) return "the table is damaged (" + (warnings_.empty() ? std::string("see the warnings") : warnings_.front()) + ")";
    // The lock files of a running engine, or of Paradox for DOS, next to the table.
    const std::string folder = folderPart(file->path());
    for (const std::string& lockName : {std::string("PARADOX.LCK"), std::string("PDOXUSRS.LCK"),
                                        stemPart(fileNamePart(file->path())) + ".LCK"}) {
        const std::string found = findInFolder(folder, lockName);
        if (!found.empty()) return "another program is using the table (" + found + " exists in its folder)";
    }
    if (std::string why = foreignLockReason(file->path()); !why.empty()) return why;
    // Every index file must be one we understand, so that no edit leaves one stale unnoticed.
    std::set<std::string> understood;
    for (const TIndexDef& d : indexesForChanges()) understood.insert(toUpperAscii(extensionPart(d.Source)));
    for (const std::string& ext : family_->extensions()) {
        const std::string e = toUpperAscii(ext);
        if (!isIndexExtension(e)) continue;
        const std::string data = e[1] == 'Y' ? ".X" + e.substr(2) : e;
        if (!understood.count(data)) return "its index file " + stemPart(fileName_) + ext + " cannot be read";
    }
    return std::string();
}

std::string ParadoxTable::fieldReadOnlyReason(std::size_t field) {
    const FieldDef& f = fields_[field];
    if (f.typeCode >= 0x0C && f.typeCode <= 0x10) return "memo and BLOB fields are read-only";
    if (f.typeCode == 0x16) return "auto-increment values are given by the table";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (static_cast<int>(field) < header_.primaryKeyFields) return "it is part of the primary key";
    for (const TIndexDef& d : indexesForChanges())
        if (std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) != d.fieldIndexes.end())
            return "it is part of the index " + (d.Name.empty() ? d.Source : d.Name);
    return std::string();
}

std::int64_t ParadoxTable::positionOfRecNo(std::int64_t recNo) {
    return recNo >= 1 && recNo <= totalRecords_ ? recNo - 1 : -1;
}

std::uint64_t ParadoxTable::recordFileOffset(std::uint32_t index) {
    const std::size_t pos = chainPositionOf(index);
    return header_.headerSize + static_cast<std::uint64_t>(chainBlocks_[pos] - 1) * header_.blockSize() + kBlockHeader +
           static_cast<std::uint64_t>(index - chainStart_[pos]) * header_.recordSize;
}

bool ParadoxTable::encodeField(std::size_t field, const FieldValue& value, std::uint8_t* rec, std::string& error) {
    const FieldDef& f = fields_[field];
    return encodeValue(f.typeCode, f.length, f.decimals, *codePage_, value, rec + f.offset, error);
}

void ParadoxTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen) {
    const auto* file = dynamic_cast<const FileSource*>(db_.get());
    if (!file) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot change " + fileName_ + ": not a file on disk");
    if (!writable_) writable_ = std::make_unique<WritableFile>(file->path());
    const std::size_t pos = chainPositionOf(index);
    const std::uint16_t blk = chainBlocks_[pos];
    const std::uint32_t blockSize = header_.blockSize();
    const std::uint64_t blockOffset = header_.headerSize + static_cast<std::uint64_t>(blk - 1) * blockSize;
    const std::size_t slotOffset = kBlockHeader + static_cast<std::size_t>(index - chainStart_[pos]) * header_.recordSize;

    writable_->lock();
    try {
        // The block as the file holds it now, not as it was read into the cache: the record must
        // still be the one the change was made on.
        std::vector<std::uint8_t> block(blockSize);
        db_->readZeroFilled(blockOffset, block.data(), blockSize);
        if (header_.encryption != 0) decryptBlock(block.data(), blockSize, header_.encryption, blk);
        if (std::memcmp(block.data() + slotOffset, seen, header_.recordSize) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        if (header_.encryption == 0) {
            writable_->writeDurably(blockOffset + slotOffset, rec, header_.recordSize);
        } else {
            // A scrambled block is rewritten whole, scrambled again with its block number.
            std::copy(rec, rec + header_.recordSize, block.begin() + static_cast<std::ptrdiff_t>(slotOffset));
            encryptBlock(block.data(), blockSize, header_.encryption, blk);
            // Only the bytes that exist in the file (the last block may be written only in part), but
            // at least the whole chunks that hold the record.
            const std::uint64_t size = db_->size();
            const std::size_t recordEnd = (slotOffset + header_.recordSize + 255) / 256 * 256;
            const std::size_t n = std::min<std::size_t>(
                blockSize, std::max<std::size_t>(recordEnd, static_cast<std::size_t>(
                                                                std::min<std::uint64_t>(blockSize, size - blockOffset))));
            writable_->writeDurably(blockOffset, block.data(), n);
        }
    } catch (...) {
        writable_->unlock();
        loadedPosition_ = SIZE_MAX;
        throw;
    }
    writable_->unlock();
    loadedPosition_ = SIZE_MAX;
}

}  // namespace tavrinth::paradox
