// The index files of a new table: the primary index (.PX) and the secondary indexes (.Xnn/.Ynn
// for a single field without options, .XGn/.YGn for any other).
//
// A secondary index is a table of its own (the .X file): one record per table record holding the
// index fields, then the table's key fields and "Blk Num" (the data block that holds the record),
// sorted by the index fields as the index asks (case-insensitive, descending) and then by the
// rest of the record; the .Y is the B-tree over its blocks, exactly as the .PX is over the table.
// Its header names the index fields by their table field numbers (bit 15 = descending), repeats
// the first one at 0x15, and keeps the options at 0x55 (0x01 case-insensitive, 0x10 descending,
// 0x20 unique). Indexes of keyed tables are maintained (file types 5 and 8), those of unkeyed
// tables not (3 and 6).
//
// Choices where the engine's files leave a question open:
// * Bit 0x01 of the options is read as "case-insensitive" (every single-field index with a name
//   of its own carries it, and the engine allows such a name only with an option); one old
//   description swaps the meaning of bit 0 for descending indexes, which no file confirms.
//   Case-insensitive keys are compared with a-z folded onto A-Z; text with letters outside ASCII
//   is refused in such an index, as the engine's folding of those is not known.
// * Blanks compare as the lowest values (they are stored as zeros) and count as values for a
//   unique index (a second blank is refused).
// * Data blocks (.DB, .X) are filled completely and index blocks (.PX, .Y) up to all slots but
//   one, as in the files the engine builds in one go; no index entry counts more than 32 767
//   records.
// * The index files of an encrypted table are encrypted too, with the table's checksum (at 0x5C
//   of an .X, at 0x25 of a .PX/.Y, where the engine looks for it): they hold the table's data.
// * An unkeyed table's index records address their table record by "Tup No", "Blk Num" and "Tup
//   Offset", whose exact meaning no file shows; such indexes are written only for an empty table.

#include <algorithm>
#include <cstring>
#include <numeric>

#include "../byte_order.h"
#include "../file_io.h"
#include "../spool.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox::writer {

namespace {

constexpr std::size_t kMaxIndexes = 127;
constexpr std::size_t kMaxIndexFields = 16;
constexpr std::size_t kMaxIndexName = 25;
constexpr int kMaxComposite = 10;  // .XG0 to .XG9
constexpr std::uint8_t kOptionCaseInsensitive = 0x01;
constexpr std::uint8_t kOptionDescending = 0x10;
constexpr std::uint8_t kOptionUnique = 0x20;
constexpr std::uint16_t kDescendingBit = 0x8000;
// Index trees carry 1 at 0x49 in most files the engine wrote (its meaning there is unknown).
constexpr std::uint32_t kIndexTree49 = 1;

struct IndexPlan {
    bool composite = false;
    std::vector<int> fields;  // 0-based table positions, in key order
    bool caseInsensitive = false, descending = false, unique = false;
    std::string name;       // UTF-8
    std::string nameBytes;  // as stored (composite indexes)
    std::string xName, yName;
};

std::string hex2(int v) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[(v >> 4) & 15], digits[v & 15]};
}

std::vector<IndexPlan> planIndexes(const Layout& layout, const TableSpec& spec) {
    std::vector<IndexPlan> plans;
    if (spec.indexes.empty()) return plans;
    const std::string where = "Cannot create " + layout.path + ": ";
    if (spec.indexes.size() > kMaxIndexes)
        refuse(where + "a Paradox table has at most " + std::to_string(kMaxIndexes) + " secondary indexes");
    const bool keyed = layout.keyFields > 0;
    if (!keyed && !spec.records.empty())
        // The record-position fields of an unkeyed table's index ("Tup No", "Tup Offset") are not
        // understood well enough to be written; an empty table's index holds none.
        refuse(where + "secondary indexes of an unkeyed table are only written while the table is empty "
                       "(how such an index addresses records is not known well enough); give the table a key");
    std::vector<std::string> usedNames;
    std::vector<int> singleFields;
    int composites = 0;
    for (const IndexSpec& ix : spec.indexes) {
        const std::string label = ix.name.empty() ? std::string("an index") : "index " + ix.name;
        if (!ix.expression.empty()) refuse(where + label + ": Paradox indexes have no key expressions");
        if (ix.fields.empty()) refuse(where + label + " names no field");
        if (ix.fields.size() > kMaxIndexFields)
            refuse(where + label + " has more than " + std::to_string(kMaxIndexFields) + " fields");
        IndexPlan p;
        for (const std::string& name : ix.fields) {
            const std::string folded = foldName(name);
            int found = -1;
            for (std::size_t i = 0; i < layout.fields.size(); ++i)
                if (foldName(layout.fields[i].name) == folded) found = static_cast<int>(i);
            if (found < 0) refuse(where + label + " names field " + name + ", which the table does not have");
            const Field& f = layout.fields[static_cast<std::size_t>(found)];
            if (f.isBlob()) refuse(where + label + ": a " + std::string(1, f.letter) + " field cannot be indexed");
            if (std::find(p.fields.begin(), p.fields.end(), found) != p.fields.end())
                refuse(where + label + " names field " + f.name + " twice");
            if (f.code == kAlpha && !layout.sortOrder->byteOrder)
                refuse(where + label + " is on text field " + f.name + ", and text cannot be ordered by sort order '" +
                       layout.sortOrder->name + "' of code page " + std::to_string(layout.sortOrder->codePage) +
                       " here");
            p.fields.push_back(found);
        }
        if (keyed && p.fields.front() == 0)
            refuse(where + label + " starts with the table's first key field " + layout.fields[0].name +
                   ", which the primary index already orders by");
        p.caseInsensitive = ix.caseInsensitive;
        p.descending = ix.descending;
        p.unique = ix.unique;
        if ((p.descending || p.unique) && layout.level < 7)
            refuse(where + label + ": descending and unique indexes need a level 7 table");
        const Field& first = layout.fields[static_cast<std::size_t>(p.fields.front())];
        const bool plain = p.fields.size() == 1 && !p.caseInsensitive && !p.descending && !p.unique &&
                           (ix.name.empty() || foldName(ix.name) == foldName(first.name));
        if (plain) {
            const int number = p.fields.front() + 1;
            if (std::find(singleFields.begin(), singleFields.end(), number) != singleFields.end())
                refuse(where + "field " + first.name + " is given two single-field indexes");
            singleFields.push_back(number);
            p.name = first.name;
            p.xName = layout.fileName("x" + hex2(number));
            p.yName = layout.fileName("y" + hex2(number));
        } else {
            p.composite = true;
            if (ix.name.empty())
                refuse(where + "an index on " + first.name +
                       (p.fields.size() > 1 ? " and other fields" : std::string(" with options")) + " needs a name");
            if (!layout.codePage->encode(ix.name, p.nameBytes) || p.nameBytes.find('\0') != std::string::npos)
                refuse(where + "the index name " + ix.name + " cannot be written in code page " + layout.codePage->name());
            if (p.nameBytes.size() > kMaxIndexName)
                refuse(where + "the index name " + ix.name + " is longer than " + std::to_string(kMaxIndexName) +
                       " characters");
            if (composites == kMaxComposite)
                refuse(where + "at most " + std::to_string(kMaxComposite) +
                       " indexes on several fields or with options are written");
            p.name = ix.name;
            p.xName = layout.fileName("xg" + std::to_string(composites));
            p.yName = layout.fileName("yg" + std::to_string(composites));
            ++composites;
        }
        const std::string folded = foldName(p.name);
        if (std::find(usedNames.begin(), usedNames.end(), folded) != usedNames.end())
            refuse(where + "two indexes are named " + p.name);
        usedNames.push_back(folded);
        plans.push_back(std::move(p));
    }
    return plans;
}

IndexTree treeOver(const BlockFile& data, const std::vector<std::uint8_t>& records, unsigned recordSize,
                   unsigned keyLength, std::uint8_t maxBlockKB, const std::string& what, std::uint8_t blockKB = 0,
                   const std::string& action = "create") {
    std::vector<IndexEntry> level1;
    level1.reserve(data.counts.size());
    for (std::size_t b = 0; b < data.counts.size(); ++b) {
        const std::uint8_t* first = records.data() + static_cast<std::size_t>(data.firstRecord[b]) * recordSize;
        level1.push_back({std::vector<std::uint8_t>(first, first + keyLength), static_cast<std::uint16_t>(b + 1),
                          data.counts[b]});
    }
    return buildTree(level1, keyLength, maxBlockKB, what, blockKB, action);
}

}  // namespace

std::uint8_t maxIndexBlockKB(const Layout& layout) { return layout.level >= 5 ? 32 : 4; }

OutputFile buildTreeFile(const Layout& layout, const std::string& name, std::uint8_t fileType,
                         const std::vector<FieldDescriptor>& descriptors, unsigned keyLength, IndexTree tree,
                         std::uint8_t byte2C) {
    HeaderSpec h;
    h.fileType = fileType;
    h.recordSize = static_cast<std::uint16_t>(keyLength + 6);
    h.blockKB = tree.blockKB;
    h.numRecords = tree.entries;
    h.blocks = tree.file.blockCount();
    h.indexRoot = tree.root;
    h.indexLevels = tree.levels;
    h.primaryKeyFields = 0;
    h.autoIncrement = kIndexTree49;
    h.byte2C = byte2C;
    h.descriptors = descriptors;
    h.tableName = layout.storedName(name);
    return assemble(name, buildHeader(layout, h), std::move(tree.file), tree.blockKB * 1024u, layout.checksum);
}

std::vector<std::string> secondaryIndexFileNames(const Layout& layout, const TableSpec& spec) {
    std::vector<std::string> names;
    for (const IndexPlan& p : planIndexes(layout, spec)) {
        names.push_back(p.xName);
        names.push_back(p.yName);
    }
    return names;
}

OutputFile buildPrimaryIndex(const Layout& layout, const std::vector<std::uint8_t>& records, const BlockFile& data) {
    const std::string name = layout.fileName("px");
    std::vector<FieldDescriptor> descriptors;
    for (int i = 0; i < layout.keyFields; ++i) descriptors.push_back(layout.fields[static_cast<std::size_t>(i)].descriptor());
    IndexTree tree = treeOver(data, records, layout.recordSize, layout.keyLength, maxIndexBlockKB(layout),
                              joinPath(layout.folder, name));
    // 0x2C of a primary index repeats the table's change counter in the files the engine wrote.
    return buildTreeFile(layout, name, kPrimaryIndex, descriptors, layout.keyLength, std::move(tree), layout.changeCount1);
}

SecondaryContents buildSecondaryContents(const Layout& layout, const SecondaryShape& shape,
                                         const std::vector<std::uint8_t>& records,
                                         const std::vector<std::uint16_t>& blockOfRecord,
                                         const SecondaryTarget& target) {
    const std::uint32_t count = layout.recordSize ? static_cast<std::uint32_t>(records.size() / layout.recordSize) : 0;
    std::vector<std::uint8_t> blocks;
    SecondaryContents out = writeSecondaryContents(
        layout, shape, count,
        [&](std::uint32_t i, std::uint16_t& block) {
            block = blockOfRecord[i];
            return records.data() + static_cast<std::size_t>(i) * layout.recordSize;
        },
        [&](std::uint16_t number, std::uint8_t* block) {
            const std::size_t at = static_cast<std::size_t>(number - 1) * target.xBlockSize;
            if (blocks.size() < at + target.xBlockSize) blocks.resize(at + target.xBlockSize);
            std::memcpy(blocks.data() + at, block, target.xBlockSize);
        },
        layout.folder, target);
    out.x.blocks = std::move(blocks);
    return out;
}

SecondaryContents writeSecondaryContents(const Layout& layout, const SecondaryShape& shape, std::uint32_t count,
                                         const TableRecordAt& record, const PutBlock& putBlock,
                                         const std::string& folder, const SecondaryTarget& target) {
    const bool keyed = layout.keyFields > 0;
    const std::string cannot = "Cannot " + target.action + " " + target.xWhat + ": ";
    const std::size_t m = shape.fields.size();
    if (!keyed && count > 0)
        refuse(cannot + "the index of an unkeyed table addresses its records by \"Tup No\" and \"Tup Offset\", "
                        "which are not known well enough to be written for a table with records");
    SecondaryContents out;
    out.count = count;

    // The index record: index fields, then the key and Blk Num, or the record position.
    std::vector<KeyPart> parts;
    unsigned size = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Field& f = layout.fields[static_cast<std::size_t>(shape.fields[i])];
        out.descriptors.push_back(f.descriptor());
        out.names.push_back(f.nameBytes);
        parts.push_back({size, f.length, shape.caseInsensitive && f.code == kAlpha, shape.descending[i]});
        size += f.length;
    }
    const unsigned indexLength = size;
    if (keyed) {
        for (int i = 0; i < layout.keyFields; ++i) {
            const Field& f = layout.fields[static_cast<std::size_t>(i)];
            out.descriptors.push_back(f.descriptor());
            out.names.push_back(f.nameBytes);
        }
        size += layout.keyLength;
        out.descriptors.push_back({kShort, 2});
        out.names.push_back("Blk Num");
        size += 2;
    } else {
        out.descriptors.push_back({kLong, 4});
        out.descriptors.push_back({kShort, 2});
        out.descriptors.push_back({kShort, 2});
        out.names.insert(out.names.end(), {"Tup No", "Blk Num", "Tup Offset"});
        size += 8;
    }
    const unsigned recordSize = size;
    out.recordSize = recordSize;
    if (recordSize + kBlockHeader > target.xBlockSize)
        refuse(cannot + "its records of " + std::to_string(recordSize) + " bytes do not fit a block of " +
               std::to_string(target.xBlockSize) + " bytes");
    // Then the rest of the record, in byte order (the key is unique, so this settles every tie).
    parts.push_back({indexLength, recordSize - indexLength, false, false});

    // Each entry: the index record, then the table record's position (for messages).
    ExternalSorter sorter(folder, recordSize + 4, [&parts](const std::uint8_t* a, const std::uint8_t* b) {
        return compareKeys(a, b, parts) < 0;
    });
    std::vector<std::uint8_t> entry(recordSize + 4, 0);
    for (std::uint32_t r = 0; r < count; ++r) {
        std::uint16_t block = 0;
        const std::uint8_t* src = record(r, block);
        unsigned at = 0;
        for (int fi : shape.fields) {
            const Field& f = layout.fields[static_cast<std::size_t>(fi)];
            std::memcpy(entry.data() + at, src + f.offset, f.length);
            if (shape.caseInsensitive && f.code == kAlpha)
                for (unsigned k = 0; k < f.length; ++k)
                    if (src[f.offset + k] >= 0x80)
                        refuse(cannot + "case-insensitive index " + shape.name + " meets '" +
                               describeKey(layout, src, {fi}) +
                               "'; letters outside ASCII are not folded here, so the order the engine expects is "
                               "not certain");
            at += f.length;
        }
        std::memcpy(entry.data() + at, src, layout.keyLength);
        at += layout.keyLength;
        storeBE16(entry.data() + at, static_cast<std::uint16_t>(block ^ 0x8000u));
        storeLE32(entry.data() + recordSize, r);
        sorter.add(entry.data());
    }

    const unsigned perBlock = (target.xBlockSize - kBlockHeader) / recordSize;
    const std::size_t blocks = count ? (count + perBlock - 1) / perBlock : 0;
    if (blocks > 0xFFFF)
        refuse(cannot + "its " + std::to_string(count) + " records need " + std::to_string(blocks) +
               " blocks, more than the 65535 a Paradox file can number; choose a larger block size");
    // The tree's key: every field but the last (Blk Num, or Tup Offset).
    out.treeKeyLength = recordSize - 2;
    const std::vector<KeyPart> indexParts(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(m));
    std::vector<std::uint8_t> block(target.xBlockSize, 0), previous;
    std::vector<IndexEntry> level1;
    std::uint32_t done = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(perBlock, count - done));
        std::fill(block.begin(), block.end(), 0);
        storeLE16(block.data() + 0, static_cast<std::uint16_t>(b + 1 < blocks ? b + 2 : 0));  // next
        storeLE16(block.data() + 2, static_cast<std::uint16_t>(b));                          // previous
        storeLE16(block.data() + 4, static_cast<std::uint16_t>((n - 1) * recordSize));       // last record's offset
        for (std::uint32_t j = 0; j < n; ++j) {
            const std::uint8_t* e = sorter.next();
            if (shape.unique && !previous.empty() && compareKeys(previous.data(), e, indexParts) == 0) {
                std::uint16_t ignored = 0;
                refuse(cannot + "unique index " + shape.name + " meets a second record with " +
                       describeKey(layout, record(loadLE32(e + recordSize), ignored), shape.fields));
            }
            if (shape.unique) previous.assign(e, e + recordSize);
            std::memcpy(block.data() + kBlockHeader + j * recordSize, e, recordSize);
            if (j == 0) level1.push_back({std::vector<std::uint8_t>(e, e + out.treeKeyLength), static_cast<std::uint16_t>(b + 1), n});
        }
        putBlock(static_cast<std::uint16_t>(b + 1), block.data());
        out.x.firstRecord.push_back(done);
        out.x.counts.push_back(n);
        done += n;
    }
    out.y = buildTree(level1, out.treeKeyLength, target.yMaxBlockKB, target.yWhat, target.yBlockKB, target.action);
    return out;
}

std::vector<OutputFile> buildSecondaryIndexes(const Layout& layout, const TableSpec& spec,
                                              const std::vector<std::uint8_t>& records,
                                              const std::vector<std::uint16_t>& blockOfRecord) {
    std::vector<OutputFile> out;
    const bool keyed = layout.keyFields > 0;
    for (const IndexPlan& p : planIndexes(layout, spec)) {
        const std::size_t m = p.fields.size();
        SecondaryShape shape;
        shape.name = p.name;
        shape.fields = p.fields;
        shape.descending.assign(m, p.descending);
        shape.caseInsensitive = p.caseInsensitive;
        shape.unique = p.unique;
        SecondaryTarget target;
        target.xWhat = joinPath(layout.folder, p.xName);
        target.yWhat = joinPath(layout.folder, p.yName);
        target.xBlockSize = layout.blockSize;
        target.yMaxBlockKB = maxIndexBlockKB(layout);
        SecondaryContents c = buildSecondaryContents(layout, shape, records, blockOfRecord, target);

        const std::uint8_t keyFields = static_cast<std::uint8_t>(c.descriptors.size() - 1);
        HeaderSpec h;
        h.fileType = keyed ? (p.composite ? kCompositeIndexMaintained : kSecondaryIndexMaintained)
                           : (p.composite ? kCompositeIndexNonMaintained : kSecondaryIndexNonMaintained);
        h.recordSize = static_cast<std::uint16_t>(c.recordSize);
        h.blockKB = layout.blockKB;
        h.numRecords = c.count;
        h.blocks = c.x.blockCount();
        h.indexFieldNumber = static_cast<std::uint8_t>(p.fields.front() + 1);
        h.primaryKeyFields = keyFields;
        h.autoIncrement = layout.autoIncrement;  // the index files repeat the table's counter
        h.optionByte = static_cast<std::uint8_t>((p.caseInsensitive ? kOptionCaseInsensitive : 0) |
                                                 (p.descending ? kOptionDescending : 0) |
                                                 (p.unique ? kOptionUnique : 0));
        // 0x2C is FF in every index file the engine wrote; 0x2E repeats the table's 0x2E.
        h.byte2C = 0xFF;
        h.changeCount1 = layout.changeCount1;
        h.changeCount2 = layout.changeCount2;
        h.descriptors = c.descriptors;
        h.names = c.names;
        for (std::size_t i = 0; i < c.descriptors.size(); ++i)
            h.fieldNumbers.push_back(i < m ? static_cast<std::uint16_t>((p.fields[i] + 1) | (shape.descending[i] ? kDescendingBit : 0))
                                           : static_cast<std::uint16_t>(i + 1));
        h.hasIndexName = p.composite;
        h.indexName = p.nameBytes;
        h.tableName = layout.storedName(p.xName);
        out.push_back(assemble(p.xName, buildHeader(layout, h), std::move(c.x), layout.blockSize, layout.checksum));

        const std::vector<FieldDescriptor> treeDescriptors(c.descriptors.begin(), c.descriptors.begin() + keyFields);
        out.push_back(buildTreeFile(layout, p.yName, p.composite ? kCompositeIndexTree : kSecondaryIndexTree,
                                    treeDescriptors, c.treeKeyLength, std::move(c.y), layout.changeCount1));
    }
    return out;
}

}  // namespace tavrinth::paradox::writer
