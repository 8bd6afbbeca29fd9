// Changing records of a dBase table in place.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "../engine_error.h"
#include "../table_update.h"
#include "dbf_encode.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

namespace {

bool isMemoType(char type, bool visualFoxPro) {
    return type == 'M' || type == 'G' || type == 'P' || type == 'W' || (type == 'B' && !visualFoxPro);
}

// Whether an index key expression names the field (as a whole word, ignoring case).
bool expressionNames(const std::string& expression, const std::string& field) {
    const std::string e = toUpperAscii(expression), n = toUpperAscii(field);
    for (std::size_t at = e.find(n); at != std::string::npos; at = e.find(n, at + 1)) {
        const bool before = at == 0 || !(std::isalnum(static_cast<unsigned char>(e[at - 1])) || e[at - 1] == '_');
        const std::size_t end = at + n.size();
        const bool after = end >= e.size() || !(std::isalnum(static_cast<unsigned char>(e[end])) || e[end] == '_');
        if (before && after) return true;
    }
    return false;
}

// The key expression stored in a dBase III index (.NDX) header.
std::string ndxExpression(const ByteSource& src) {
    char buf[488] = {};
    src.readZeroFilled(24, buf, sizeof buf - 1);
    return std::string(buf);
}

}  // namespace

std::string DBaseTable::tableReadOnlyReason() {
    const auto* file = dynamic_cast<const FileSource*>(dbf_.get());
    if (!file) return "the table is not a file on disk";
    std::uint64_t width = 1;
    for (const RawField& f : raw_) width += f.length;
    if (width != header_.recordLength) return "its field descriptors do not add up to its record length";
    if (header_.transactionFlag) return "its header marks an incomplete transaction";
    if (std::string why = foreignLockReason(file->path()); !why.empty()) return why;
    // Index files this program does not keep up to date would go stale unnoticed.
    for (const std::string& ext : family_->extensions()) {
        const std::string e = toLowerAscii(ext);
        if (e == ".ntx" || e == ".idx" || e == ".cdx")
            return "its index file " + stemPart(fileName_) + ext + " is not kept up to date by this program";
    }
    if ((header_.tableFlags & 0x01) && !header_.foxPro && family_->open(".mdx") && indexesForChanges().empty())
        return "its production index " + stemPart(fileName_) + ".mdx cannot be read";
    return std::string();
}

std::string DBaseTable::fieldReadOnlyReason(std::size_t field) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    if (isMemoType(rf.type, header_.visualFoxPro)) return "memo fields are read-only";
    if (rf.type == '+' || (header_.visualFoxPro && (rf.flags & 0x0C) == 0x0C))
        return "auto-increment values are given by the table";
    if (rf.type == 'V' || rf.type == 'Q' || rf.type == '0' || !f.visible)
        return "variable-length and system fields are read-only";
    if (f.dataType == ftUnknown) return "its field type is unknown";
    if (f.length != rf.length) return "the field does not fit in the record";
    for (const TIndexDef& d : indexesForChanges()) {
        const bool keyField = std::find(d.fieldIndexes.begin(), d.fieldIndexes.end(), static_cast<int>(field)) !=
                              d.fieldIndexes.end();
        if (keyField || (!d.Expression.empty() && expressionNames(d.Expression, f.name)) ||
            (!d.Filter.empty() && expressionNames(d.Filter, f.name)))
            return "the index tag " + d.Name + " covers it";
    }
    // dBase III indexes of the same name as the table.
    if (auto ndx = family_->open(".ndx"); ndx && expressionNames(ndxExpression(*ndx), f.name))
        return "the index " + stemPart(fileName_) + ".ndx covers it";
    return std::string();
}

std::int64_t DBaseTable::positionOfRecNo(std::int64_t recNo) {
    if (recNo < 1 || recNo > physicalCount_) return -1;
    const auto physical = static_cast<std::uint32_t>(recNo - 1);
    if (physicalRecord(physical)[0] == '*') return -1;
    if (liveBefore_.empty()) return physical;
    // Live records before the stretch, then the live ones before it within the stretch.
    const std::uint32_t stretch = physical / 1024;
    std::int64_t live = liveBefore_[stretch];
    for (std::uint32_t i = stretch * 1024; i < physical; ++i)
        if (physicalRecord(i)[0] != '*') ++live;
    return live;
}

bool DBaseTable::encodeField(std::size_t field, const FieldValue& value, std::uint8_t* rec, std::string& error) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    std::uint8_t* p = rec + f.offset;
    // Visual FoxPro: a nullable field says NULL through its bit in _NullFlags.
    if (rf.nullBit >= 0 && nullFlagsField_ >= 0) {
        const FieldDef& nf = fields_[static_cast<std::size_t>(nullFlagsField_)];
        std::uint8_t& flags = rec[nf.offset + static_cast<std::uint32_t>(rf.nullBit / 8)];
        const auto bit = static_cast<std::uint8_t>(1u << (rf.nullBit % 8));
        if (value.isNull()) {
            flags |= bit;
            std::fill(p, p + rf.length, static_cast<std::uint8_t>(rf.type == 'C' ? ' ' : 0));
            return true;
        }
        flags &= static_cast<std::uint8_t>(~bit);
    } else if (value.isNull() && rf.type == 'C') {
        error = "a text field of a dBase table has no NULL; give an empty text instead";
        return false;
    }
    return encodeValue(rf, header_, *codePage_, value, p, error);
}

void DBaseTable::writeRecord(std::uint32_t index, const std::uint8_t* rec, const std::uint8_t* seen) {
    const auto* file = dynamic_cast<const FileSource*>(dbf_.get());
    if (!file) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot change " + fileName_ + ": not a file on disk");
    if (!writable_) writable_ = std::make_unique<WritableFile>(file->path());
    const std::uint64_t offset =
        header_.headerLength + static_cast<std::uint64_t>(physicalIndex(index)) * header_.recordLength;
    writable_->lock();
    try {
        // The record as the file holds it now, not as it was read into the buffer.
        std::vector<std::uint8_t> now(header_.recordLength);
        dbf_->readZeroFilled(offset, now.data(), now.size());
        if (std::memcmp(now.data(), seen, now.size()) != 0)
            throw EDBEngineError(EDBEngineError::Code::Locked, kRecordChangedMessage);
        writable_->writeDurably(offset, rec, header_.recordLength);
    } catch (...) {
        writable_->unlock();
        bufferCount_ = 0;
        throw;
    }
    writable_->unlock();
    bufferCount_ = 0;
}

}  // namespace tavrinth::dbase
