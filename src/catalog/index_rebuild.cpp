#include "index_rebuild.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>

#include "byte_order.h"
#include "dbase/dbf_cdx_update.h"
#include "dbase/dbf_cdx_writer.h"
#include "dbase/dbf_expression.h"
#include "dbase/dbf_index_entries.h"
#include "dbase/dbf_index.h"
#include "dbase/dbf_mdx_update.h"
#include "dbase/dbf_mdx_writer.h"
#include "dbase/dbf_table.h"
#include "dbase/dbf_writer.h"
#include "engine_error.h"
#include "file_io.h"
#include "paradox/px_crypt.h"
#include "paradox/px_header.h"
#include "paradox/px_index.h"
#include "paradox/px_table.h"
#include "paradox/px_writer_internal.h"
#include "spool.h"
#include "table_change.h"

namespace tavrinth {

namespace {

using Code = EDBEngineError::Code;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void cannot(Code code, const std::string& file, const std::string& why) {
    throw EDBEngineError(code, "Cannot rebuild the index file " + file + ": " + why);
}

const DiskFamily& diskFamily(const FileFamily& family, const std::string& table) {
    const auto* disk = dynamic_cast<const DiskFamily*>(&family);
    if (!disk)
        throw EDBEngineError(Code::Unsupported, "Cannot rebuild the indexes of " + table + ": it is not a table on disk");
    return *disk;
}

// The path of a companion: the existing file in any case, else the stem with `extension`.
std::string companionPath(const DiskFamily& family, const std::string& extension) {
    const std::string found = family.path(extension);
    return found.empty() ? joinPath(family.folder(), family.stem() + extension) : found;
}

Bytes readAll(const ByteSource& src, std::uint64_t limit = UINT64_MAX) {
    Bytes b(static_cast<std::size_t>(std::min(src.size(), limit)));
    if (!b.empty()) src.readZeroFilled(0, b.data(), b.size());
    return b;
}

// --- Paradox ---------------------------------------------------------------------------------------

namespace pw = paradox::writer;

// The counts, blocks, root and levels of a kept header; every other byte stays.
void patchHeader(Bytes& header, std::uint32_t records, std::uint16_t blocks, bool tree, std::uint16_t root,
                 std::uint8_t levels) {
    std::uint8_t* p = header.data();
    storeLE32(p + 0x06, records);
    storeLE16(p + 0x0A, blocks);
    storeLE16(p + 0x0C, blocks);
    storeLE16(p + 0x0E, blocks ? 1 : 0);
    storeLE16(p + 0x10, blocks);
    storeLE16(p + 0x3A, blocks);
    storeLE16(p + 0x4D, 0);  // no free blocks
    if (tree) {
        storeLE16(p + 0x1E, root);
        p[0x20] = levels;
    }
}

// An existing file's header, when it can be kept for a tree of this kind.
struct KeptHeader {
    bool usable = false;
    paradox::Header header;
    Bytes bytes;
};

KeptHeader keptTreeHeader(const FileFamily& family, const std::string& extension, std::uint8_t fileType,
                          const std::vector<paradox::FieldDescriptor>& key) {
    KeptHeader k;
    std::unique_ptr<ByteSource> src;
    try {
        src = family.open(extension);
        if (!src) return k;
        k.header = paradox::readHeader(*src);
    } catch (const EDBEngineError&) {
        return k;  // damaged: a new header is made
    }
    const paradox::Header& h = k.header;
    if (h.fileType != fileType || h.fields.size() != key.size()) return k;
    unsigned length = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (h.fields[i].type != key[i].type || h.fields[i].size != key[i].size) return k;
        length += paradox::fieldBytes(key[i]);
    }
    if (h.recordSize != length + 6) return k;
    k.bytes = readAll(*src, h.headerSize);
    k.usable = true;
    return k;
}

std::string yExtensionOf(std::string x) {
    x[1] = x[1] == 'X' ? 'Y' : 'y';
    return x;
}

// The extension a keyed table's .PX gets when it is missing: in the case of the table's own.
std::string primaryExtension(const paradox::ParadoxTable& table) {
    return extensionPart(table.fileName()) == ".DB" ? ".PX" : ".px";
}

// The files ParadoxRebuild::run gives, by path.
std::vector<std::string> paradoxIndexPaths(const paradox::ParadoxTable& table) {
    const DiskFamily& family = diskFamily(table.family(), table.fileName());
    std::vector<std::string> out;
    if (table.header().primaryKeyFields > 0) out.push_back(companionPath(family, primaryExtension(table)));
    for (const std::string& ext : paradox::secondaryIndexExtensions(family.extensions())) {
        out.push_back(companionPath(family, ext));
        out.push_back(companionPath(family, yExtensionOf(ext)));
    }
    return out;
}

class ParadoxRebuild {
public:
    explicit ParadoxRebuild(paradox::ParadoxTable& table)
        : table_(table), h_(table.header()), family_(diskFamily(table.family(), table.fileName())) {}

    std::vector<RebuiltIndexFile> run() {
        const bool keyed = h_.primaryKeyFields > 0;
        const std::vector<std::string> secondaries = paradox::secondaryIndexExtensions(family_.extensions());
        if (!keyed && secondaries.empty()) return {};
        checkTable();
        makeLayout();

        std::vector<RebuiltIndexFile> out;
        if (keyed) out.push_back(primary());
        for (const std::string& ext : secondaries)
            for (RebuiltIndexFile& f : secondary(ext)) out.push_back(std::move(f));
        return out;
    }

private:
    void checkTable() {
        const std::string name = joinPath(family_.folder(), fileNamePart(table_.fileName()));
        if (table_.recordCount() != h_.numRecords || table_.chain().size() != h_.blocksInUse)
            throw EDBEngineError(Code::InvalidValue,
                                 "Cannot rebuild the indexes of " + name + ": its block chain is damaged (" +
                                     std::to_string(table_.recordCount()) + " records in " +
                                     std::to_string(table_.chain().size()) + " blocks where the header counts " +
                                     std::to_string(h_.numRecords) + " in " + std::to_string(h_.blocksInUse) +
                                     "); the table needs repair first");
        if (h_.primaryKeyFields < 0 || static_cast<std::size_t>(h_.primaryKeyFields) > table_.fields().size())
            throw EDBEngineError(Code::InvalidValue, "Cannot rebuild the indexes of " + name + ": its header counts " +
                                                         std::to_string(h_.primaryKeyFields) + " key fields");
    }

    void makeLayout() {
        const std::vector<FieldDef>& fields = table_.fields();
        pw::Layout& l = layout_;
        l.path = joinPath(family_.folder(), fileNamePart(table_.fileName()));
        l.folder = family_.folder();
        l.stem = family_.stem();
        l.upperCaseExtensions = extensionPart(table_.fileName()) == ".DB";
        l.level = h_.level() / 10;
        l.versionByte = h_.versionByte;
        // The table's own code page object, not owned here.
        l.codePage = std::shared_ptr<const CodePage>(std::shared_ptr<const CodePage>(), &table_.codePage());
        byteOrder_ = pw::textInByteOrder(h_);
        sortName_ = h_.sortOrderName;
        sortOrder_ = {h_.dosCodePage, sortName_.c_str(), h_.sortOrder, byteOrder_};
        l.sortOrder = &sortOrder_;
        l.blockKB = h_.maxTableSize;
        l.blockSize = h_.blockSize();
        l.recordSize = h_.recordSize;
        l.keyFields = h_.primaryKeyFields;
        l.checksum = h_.encryption;
        l.updateTime = h_.fileUpdateTime;
        l.changeCount1 = h_.changeCount1;
        l.changeCount2 = h_.changeCount2;
        l.autoIncrement = h_.autoIncrement;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            pw::Field f;
            f.name = fields[i].name;
            f.nameBytes = i < h_.fieldNames.size() ? h_.fieldNames[i] : std::string();
            f.letter = fields[i].typeLetter;
            f.code = fields[i].typeCode;
            f.sizeByte = h_.fields[i].size;
            f.length = fields[i].length;
            f.offset = fields[i].offset;
            f.decimals = fields[i].decimals;
            if (static_cast<int>(i) < l.keyFields) l.keyLength += f.length;
            l.fields.push_back(std::move(f));
        }
    }

    // The data block that holds the record at `index` (in table order).
    std::uint16_t blockOf(std::uint32_t index) {
        return static_cast<std::uint16_t>((table_.recordFileOffset(index) - h_.headerSize) / layout_.blockSize + 1);
    }

    // Refuses text fields in a key when the sort order does not collate in byte order (and there
    // are records to order).
    void checkTextOrder(const std::vector<int>& fields, const std::string& file, const std::string& what) const {
        if (table_.recordCount() < 2) return;
        if (const std::string why = pw::keyOrderProblem(h_, table_.fields(), fields, what); !why.empty())
            cannot(Code::Unsupported, file, why);
    }

    RebuiltIndexFile primary() {
        const std::string ext = primaryExtension(table_);
        const std::string path = companionPath(family_, ext);
        std::vector<int> keyList;
        std::vector<paradox::FieldDescriptor> keyDescriptors;
        for (int i = 0; i < layout_.keyFields; ++i) {
            keyList.push_back(i);
            keyDescriptors.push_back(layout_.fields[static_cast<std::size_t>(i)].descriptor());
        }
        checkTextOrder(keyList, path, "the primary index");

        // The records must already be in key order: the primary index describes the data blocks.
        // Level 1: the first key of each data block in chain order, its number and its records.
        const std::uint32_t n = table_.recordCount();
        Bytes previous;
        std::uint16_t previousBlock = 0;
        std::vector<pw::IndexEntry> level1;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t* b = table_.record(i);
            if (i > 0) {
                const int c = pw::comparePrimaryKeys(previous.data(), b, layout_.keyLength);
                if (c > 0)
                    cannot(Code::InvalidValue, path,
                           "record " + std::to_string(i + 1) + " (" + pw::describeKey(layout_, b, keyList) +
                               ") comes after a record with a greater key; the table itself needs sorting first");
                if (c == 0)
                    cannot(Code::InvalidValue, path,
                           "records " + std::to_string(i) + " and " + std::to_string(i + 1) + " have the same key (" +
                               pw::describeKey(layout_, b, keyList) + "); the table itself needs repair first");
            }
            previous.assign(b, b + layout_.keyLength);
            const std::uint16_t block = blockOf(i);
            if (i > 0 && block == previousBlock) {
                ++level1.back().count;
                continue;
            }
            previousBlock = block;
            level1.push_back({previous, block, 1});
        }

        const KeptHeader kept = keptTreeHeader(family_, ext, paradox::kPrimaryIndex, keyDescriptors);
        pw::IndexTree tree = pw::buildTree(level1, layout_.keyLength, pw::maxIndexBlockKB(layout_), path,
                                           kept.usable ? kept.header.maxTableSize : 0, "rebuild");
        if (!kept.usable)
            return {path, pw::buildTreeFile(layout_, fileNamePart(path), paradox::kPrimaryIndex, keyDescriptors,
                                            layout_.keyLength, std::move(tree), layout_.changeCount1)
                              .bytes};
        return {path, treeBytes(kept, std::move(tree))};
    }

    static Bytes treeBytes(const KeptHeader& kept, pw::IndexTree tree) {
        Bytes header = kept.bytes;
        patchHeader(header, tree.entries, tree.file.blockCount(), true, tree.root, tree.levels);
        return pw::assemble({}, header, std::move(tree.file), tree.blockKB * 1024u, kept.header.encryption).bytes;
    }

    std::vector<RebuiltIndexFile> secondary(const std::string& ext) {
        const std::string xPath = companionPath(family_, ext);
        const std::string yExt = yExtensionOf(ext);
        const std::string yPath = companionPath(family_, yExt);
        const bool composite = paradox::classifyIndexExtension(ext).kind == paradox::IndexFileName::Kind::Composite;

        std::unique_ptr<ByteSource> src = family_.open(ext);
        if (!src) cannot(Code::InvalidValue, xPath, "the file cannot be opened");
        TIndexDef def;
        std::string problem;
        paradox::Header x;
        try {
            if (!paradox::readSecondaryIndex(h_, table_.fields(), table_.codePage(), *src, ext, def, problem))
                cannot(Code::InvalidValue, xPath, "it is not an index of this table (" + problem + ")");
            x = paradox::readHeader(*src);
        } catch (const EDBEngineError& e) {
            if (e.code() != Code::Corrupt) throw;
            cannot(Code::InvalidValue, xPath,
                   std::string("its header is damaged, so the index it defines is not known (") + e.what() + ")");
        }

        pw::SecondaryShape shape;
        shape.name = def.Name;
        shape.fields = def.fieldIndexes;
        const std::uint8_t options = x.versionByte >= 0x05 ? x.indexOptions : 0;
        for (std::size_t i = 0; i < shape.fields.size(); ++i)
            shape.descending.push_back((i < x.fieldNumbers.size() && (x.fieldNumbers[i] & 0x8000)) ||
                                       (options & 0x10));
        shape.caseInsensitive = def.has(ixCaseInsensitive);
        shape.unique = def.has(ixUnique);
        checkTextOrder(shape.fields, xPath, "index " + def.Name);
        if (h_.primaryKeyFields == 0 && table_.recordCount() > 0)
            cannot(Code::Unsupported, xPath,
                   "index " + def.Name + " of an unkeyed table addresses its records by \"Tup No\" and \"Tup Offset\", "
                   "which are not known well enough to be written for a table with records; give the table a key");

        // The tree's key: the .X record but its last field.
        std::vector<paradox::FieldDescriptor> treeKey(x.fields.begin(), x.fields.end() - 1);
        const std::uint8_t treeType = composite ? paradox::kCompositeIndexTree : paradox::kSecondaryIndexTree;
        const KeptHeader keptY = keptTreeHeader(family_, yExt, treeType, treeKey);

        pw::SecondaryTarget target;
        target.xWhat = xPath;
        target.yWhat = yPath;
        target.action = "rebuild";
        target.xBlockSize = x.blockSize();
        target.yMaxBlockKB = pw::maxIndexBlockKB(layout_);
        target.yBlockKB = keptY.usable ? keptY.header.maxTableSize : 0;
        // The .X blocks go to a spool file as they are filled, scrambled like the file's own.
        auto spool = std::make_shared<SpoolFile>(family_.folder());
        const unsigned xBlockSize = x.blockSize();
        bool laidOut = true;
        pw::SecondaryContents c = pw::writeSecondaryContents(
            layout_, shape, table_.recordCount(),
            [&](std::uint32_t i, std::uint16_t& block) {
                block = blockOf(i);
                return table_.record(i);
            },
            [&](std::uint16_t number, std::uint8_t* block) {
                if (x.encryption) paradox::encryptBlock(block, xBlockSize, x.encryption, number);
                spool->write(x.headerSize + static_cast<std::uint64_t>(number - 1) * xBlockSize, block, xBlockSize);
            },
            family_.folder(), target);
        laidOut = c.recordSize == x.recordSize && c.descriptors.size() == x.fields.size();
        for (std::size_t i = 0; laidOut && i < c.descriptors.size(); ++i)
            laidOut = c.descriptors[i].type == x.fields[i].type && c.descriptors[i].size == x.fields[i].size;
        if (!laidOut) cannot(Code::InvalidValue, xPath, "its records are not laid out as an index of this table");

        Bytes header = readAll(*src, x.headerSize);
        patchHeader(header, c.count, c.x.blockCount(), false, 0, 0);
        spool->write(0, header.data(), header.size());
        std::vector<RebuiltIndexFile> out;
        out.emplace_back(xPath, std::move(spool));
        if (keptY.usable)
            out.push_back({yPath, treeBytes(keptY, std::move(c.y))});
        else
            out.push_back({yPath, pw::buildTreeFile(layout_, fileNamePart(yPath), treeType, treeKey, c.treeKeyLength,
                                                    std::move(c.y), layout_.changeCount1)
                                      .bytes});
        return out;
    }

    paradox::ParadoxTable& table_;
    const paradox::Header& h_;
    const DiskFamily& family_;
    pw::Layout layout_;
    std::string sortName_;
    pw::SortOrder sortOrder_{};
    bool byteOrder_ = false;
};

// --- dBase -----------------------------------------------------------------------------------------

class DBaseRebuild {
public:
    explicit DBaseRebuild(dbase::DBaseTable& table)
        : table_(table), h_(table.header()), family_(diskFamily(table.family(), table.fileName())) {}

    std::vector<RebuiltIndexFile> run() {
        // Index files for which there is no writer here.
        for (const std::string& ext : family_.extensions()) {
            const std::string e = toLowerAscii(ext);
            const std::string path = companionPath(family_, ext);
            if (e == ".cdx" && !(h_.foxPro && (h_.tableFlags & 0x01)))
                cannot(Code::Unsupported, path, "a .cdx file that is not the table's structural index is not rebuilt here");
            if (e == ".ndx") cannot(Code::Unsupported, path, "rebuilding dBase III .ndx index files is not supported");
            if (e == ".ntx") cannot(Code::Unsupported, path, "rebuilding Clipper .ntx index files is not supported");
        }
        const std::unique_ptr<ByteSource> src = family_.open(".mdx");
        const std::string path = companionPath(family_, ".mdx");
        if (!(h_.tableFlags & 0x01)) {
            if (src)
                cannot(Code::InvalidValue, path,
                       "the table's header does not name it as the table's production index, so no index of the "
                       "table lives in it");
            return {};
        }
        if (h_.foxPro) {
            const std::string cdxPath = companionPath(family_, ".cdx");
            const std::unique_ptr<ByteSource> cdxSource = family_.open(".cdx");
            if (!cdxSource) cannot(Code::InvalidValue, cdxPath, "the file is missing, so the tags it held are not known");
            return cdx(*cdxSource, cdxPath, false);
        }
        if (!src) cannot(Code::InvalidValue, path, "the file is missing, so the tags it held are not known");
        std::vector<RebuiltIndexFile> out;
        out.push_back(mdx(*src, path));
        return out;
    }

    // Computes every key of the structural .cdx from the records and compares it with the key the
    // file holds for the record; throws when one differs. The keys of a tag under a collation
    // other than by byte value are weights this program does not compute: such a tag is found
    // here, before a change writes anything.
    void verifyCdx() {
        if (!h_.foxPro || !(h_.tableFlags & 0x01)) return;
        const std::unique_ptr<ByteSource> src = family_.open(".cdx");
        if (src) cdx(*src, companionPath(family_, ".cdx"), true);
    }

private:
    // The structural .cdx written again from the records, every tag kept as its header says. With
    // `compare`, the keys the file holds are compared with the ones computed from the records
    // instead (and nothing is returned).
    std::vector<RebuiltIndexFile> cdx(const ByteSource& src, const std::string& path, bool compare) {
        std::unique_ptr<dbase::IndexFileReader> reader;
        try {
            reader = std::make_unique<dbase::IndexFileReader>(src, dbase::IndexFileKind::Cdx);
        } catch (const std::exception& e) {
            cannot(Code::InvalidValue, path, std::string("its header or tag list is damaged (") + e.what() + "), so its tags are not known");
        }
        const std::string folder = family_.folder();
        std::vector<dbase::CdxTag> tags;
        std::vector<std::unique_ptr<CdxSorted>> sorted;
        for (const dbase::IndexTag& tag : reader->tags()) {
            const std::string label = "tag " + tag.name;
            const std::unique_ptr<dbase::Condition> condition =
                forClause(path, label, tag.hasFilter, table_.codePage().decode(tag.filter));
            if (tag.header + dbase::kCdxHeaderBytes > src.size()) cannot(Code::InvalidValue, path, label + ": its header lies past the end");
            dbase::CdxTag c;
            c.headerTemplate.resize(dbase::kCdxHeaderBytes);
            src.readZeroFilled(tag.header, c.headerTemplate.data(), c.headerTemplate.size());
            const std::uint8_t options = c.headerTemplate[14];
            c.name = tag.name;
            c.expression = tag.expression;
            c.descending = tag.descending;
            c.unique = (options & 0x01) != 0;
            c.candidate = (options & 0x04) != 0;
            c.keyLength = tag.keyLength;
            Code code;
            std::string why;
            const std::unique_ptr<dbase::CdxKeys> keyMaker = dbase::CdxKeys::make(table_, tag, c.candidate, code, why);
            if (!keyMaker) cannot(code, path, why);
            c.nullByte = keyMaker->nullByte();
            c.filler = keyMaker->filler();
            try {
                c.leafStyle = dbase::cdxLeafStyleOf(src, tag);
            } catch (const std::exception& e) {
                cannot(Code::InvalidValue, path, label + " is damaged (" + e.what() + ")");
            }

            // The key of record r (0-based), when the FOR clause admits it.
            std::string key;
            const auto keyOf = [&](std::uint32_t r) {
                if (condition && !admitted(path, label, *condition, r)) return false;
                if (!keyMaker->key(table_.physicalRecord(r), r, key, code, why)) cannot(code, path, why);
                return true;
            };
            if (compare) {
                std::string differs;
                reader->readEntries(tag, {}, c.filler, [&](const dbase::IndexKeyEntry& e) {
                    if (differs.empty() && e.record >= 1 && e.record <= table_.physicalCount() && keyOf(e.record - 1) &&
                        e.key != key)
                        differs = "record " + std::to_string(e.record);
                });
                if (!differs.empty())
                    cannot(Code::Unsupported, path,
                           label + ": the key the file holds for " + differs +
                               " is not the one this program computes from the record (a collation other than by byte "
                               "value?), so the tag cannot be kept up to date here");
                continue;
            }
            // Every record (FoxPro keeps the keys of records marked deleted until a pack) the FOR
            // clause admits, sorted on disk; a unique tag the first record of each key; a candidate
            // tag takes no key twice.
            auto keys = std::make_unique<CdxSorted>(folder, c);
            for (std::uint32_t r = 0; r < table_.physicalCount(); ++r)
                if (keyOf(r)) keys->add(key, r + 1);
            keys->finish([&](std::uint32_t record) {
                cannot(Code::InvalidValue, path,
                       "record " + std::to_string(record) + " has a key another record has in the candidate " + label);
            });
            sorted.push_back(std::move(keys));
            tags.push_back(std::move(c));
        }
        if (compare) return {};
        std::vector<dbase::CdxEntries*> entries;
        for (auto& k : sorted) entries.push_back(k.get());
        Bytes head(dbase::kCdxHeaderBytes);
        src.readZeroFilled(0, head.data(), head.size());
        auto spool = std::make_shared<SpoolFile>(folder);
        try {
            dbase::writeCdx(tags, entries, head,
                            [&](std::uint64_t offset, const std::uint8_t* data, std::size_t n) { spool->write(offset, data, n); });
        } catch (const std::invalid_argument& e) {
            cannot(Code::Unsupported, path, std::string("the tags cannot be written: ") + e.what());
        }
        std::vector<RebuiltIndexFile> out;
        out.emplace_back(path, std::move(spool));
        return out;
    }

    // A .cdx tag's entries sorted on disk, then kept in index order in a spool file of their own
    // (a unique tag: the first record of each key), read as often as the writer asks.
    class CdxSorted final : public dbase::CdxEntries {
    public:
        CdxSorted(const std::string& folder, const dbase::CdxTag& tag)
            : length_(tag.keyLength), descending_(tag.descending), unique_(tag.unique), candidate_(tag.candidate),
              sorter_(folder, tag.keyLength + 4, [this](const std::uint8_t* a, const std::uint8_t* b) { return less(a, b); }),
              spool_(folder), entry_(tag.keyLength + 4) {}
        void add(const std::string& key, std::uint32_t record) {
            std::memcpy(entry_.data(), key.data(), length_);
            storeBE32(entry_.data() + length_, record);
            sorter_.add(entry_.data());
        }
        // Sorts; `clash` is told the second record of a key a candidate tag has twice.
        template <class Clash>
        void finish(Clash clash) {
            Bytes previous, out;
            while (const std::uint8_t* e = sorter_.next()) {
                if (!previous.empty() && std::memcmp(previous.data(), e, length_) == 0) {
                    if (candidate_) clash(loadBE32(e + length_));
                    if (unique_ || candidate_) continue;
                }
                previous.assign(e, e + length_);
                out.insert(out.end(), e, e + length_ + 4);
                if (out.size() >= (1u << 20)) {
                    spool_.append(out.data(), out.size());
                    out.clear();
                }
            }
            spool_.append(out.data(), out.size());
        }
        void rewind() override {
            at_ = 0;
            buffer_.clear();
            pos_ = 0;
        }
        bool next(std::uint32_t& record, const char*& key) override {
            const std::size_t size = length_ + 4;
            if (pos_ == buffer_.size()) {
                const std::uint64_t left = spool_.size() - at_;
                if (left == 0) return false;
                buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, (256u << 10) / size * size)));
                spool_.read(at_, buffer_.data(), buffer_.size());
                at_ += buffer_.size();
                pos_ = 0;
            }
            key = reinterpret_cast<const char*>(buffer_.data() + pos_);
            record = loadBE32(buffer_.data() + pos_ + length_);
            pos_ += size;
            return true;
        }

    private:
        bool less(const std::uint8_t* a, const std::uint8_t* b) const {
            const int c = std::memcmp(a, b, length_);
            if (c != 0) return descending_ ? c > 0 : c < 0;
            return loadBE32(a + length_) < loadBE32(b + length_);
        }
        std::size_t length_;
        bool descending_, unique_, candidate_;
        ExternalSorter sorter_;
        SpoolFile spool_;
        Bytes entry_, buffer_;
        std::uint64_t at_ = 0;
        std::size_t pos_ = 0;
    };

    RebuiltIndexFile mdx(const ByteSource& src, const std::string& path) {
        // The file header and tag table, and each tag's header block: the pages are not read.
        const Bytes file = readAll(src, dbase::kMdxHeaderBytes);
        if (file.size() < 544) cannot(Code::InvalidValue, path, "the file is shorter than its header");
        const std::uint8_t* f = file.data();
        if (loadLE16(f + 20) != dbase::kMdxBlockBytes / 512 || loadLE16(f + 22) != dbase::kMdxBlockBytes)
            cannot(Code::Unsupported, path,
                   "its blocks of " + std::to_string(loadLE16(f + 22)) + " bytes differ from the 1024-byte blocks written here");
        if (f[26] != 32)
            cannot(Code::Unsupported, path,
                   "its tag table has entries of " + std::to_string(f[26]) + " bytes, a layout not written here");
        const std::size_t tags = loadLE16(f + 28);

        // The definitions as the engine reads them (names, keys, FOR clauses), in tag-table order.
        std::vector<std::string> warnings;
        const std::vector<TIndexDef> defs =
            dbase::readIndexes(h_, table_.fields(), family_, table_.codePage(), warnings);
        if (defs.size() != tags)
            cannot(Code::InvalidValue, path,
                   "its tags cannot be read" + (warnings.empty() ? std::string() : " (" + warnings.back() + ")"));

        const std::uint32_t records = table_.physicalCount();
        std::vector<dbase::MdxTag> built;
        std::vector<std::unique_ptr<dbase::MdxKeys>> expressions;
        std::vector<std::unique_ptr<dbase::Condition>> conditions;  // FOR clauses (null: none)
        for (std::size_t i = 0; i < tags; ++i) {
            const std::size_t page = loadLE32(f + 544 + i * 32);
            const std::uint64_t at = static_cast<std::uint64_t>(page) * 512;
            if (at + dbase::kMdxBlockBytes > src.size())
                cannot(Code::InvalidValue, path, "the header of tag " + defs[i].Name + " runs past the end of the file");
            Bytes header(dbase::kMdxBlockBytes);
            src.readZeroFilled(at, header.data(), header.size());
            expressions.push_back(nullptr);
            conditions.push_back(nullptr);
            built.push_back(tag(path, defs[i], std::move(header), records, expressions.back(), conditions.back()));
        }

        // Every tag's entries (key, record number) sorted on disk as the records are read once.
        const std::string folder = family_.folder();
        std::vector<std::unique_ptr<SortedKeys>> sorted;
        for (const dbase::MdxTag& t : built) sorted.push_back(std::make_unique<SortedKeys>(folder, t));
        std::vector<std::string> labels;
        for (const dbase::MdxTag& t : built) labels.push_back("tag " + t.name);
        // A tag with a FOR clause holds the records it admits, deleted ones too.
        std::string key, why;
        Code code;
        for (std::uint32_t r = 0; r < records; ++r)
            for (std::size_t i = 0; i < built.size(); ++i)
                if (!conditions[i] || admitted(path, labels[i], *conditions[i], r)) {
                    if (!expressions[i]->key(table_.physicalRecord(r), r, key, code, why)) cannot(code, path, why);
                    sorted[i]->add(key, r + 1);
                }

        std::vector<dbase::MdxKeyStream*> streams;
        for (auto& k : sorted) streams.push_back(k.get());
        Bytes head(dbase::kMdxHeaderBytes, 0);
        std::copy_n(file.begin(), std::min(file.size(), head.size()), head.begin());
        auto spool = std::make_shared<SpoolFile>(folder);
        dbase::writeMdx({}, built, streams, {}, head,
                        [&](std::uint64_t offset, const std::uint8_t* data, std::size_t n) { spool->write(offset, data, n); });
        for (std::size_t i = 0; i < built.size(); ++i)
            if (sorted[i]->duplicate())
                cannot(Code::InvalidValue, path,
                       dbase::mdxUniqueClash(sorted[i]->duplicateRecords().first, sorted[i]->duplicateRecords().second,
                                             labels[i]));
        return RebuiltIndexFile(path, std::move(spool));
    }

    // A tag's entries sorted on disk, read back in index order: equal keys by record number,
    // whichever the direction. A unique tag notes the first two records that share a key.
    class SortedKeys final : public dbase::MdxKeyStream {
    public:
        SortedKeys(const std::string& folder, const dbase::MdxTag& tag)
            : type_(tag.keyType), length_(tag.keyLength), descending_(tag.descending), unique_(tag.unique),
              sorter_(folder, tag.keyLength + 4, [this](const std::uint8_t* a, const std::uint8_t* b) { return less(a, b); }),
              entry_(tag.keyLength + 4) {}
        void add(const std::string& key, std::uint32_t record) {
            std::memcpy(entry_.data(), key.data(), length_);
            storeBE32(entry_.data() + length_, record);
            sorter_.add(entry_.data());
        }
        std::uint64_t count() const override { return sorter_.count(); }
        bool next(std::uint32_t& record, const char*& key) override {
            const std::uint8_t* e = sorter_.next();
            if (!e) return false;
            record = loadBE32(e + length_);
            key = reinterpret_cast<const char*>(e);
            if (unique_ && duplicate_.first == 0) {
                if (!previous_.empty() && dbase::compareMdxKeys(type_, previous_.data(), key, length_) == 0)
                    duplicate_ = {previousRecord_, record};
                previous_.assign(key, length_);
                previousRecord_ = record;
            }
            return true;
        }
        bool duplicate() const { return duplicate_.first != 0; }
        std::pair<std::uint32_t, std::uint32_t> duplicateRecords() const { return duplicate_; }

    private:
        bool less(const std::uint8_t* a, const std::uint8_t* b) const {
            const int c = dbase::compareMdxKeys(type_, reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b), length_);
            if (c != 0) return descending_ ? c > 0 : c < 0;
            return loadBE32(a + length_) < loadBE32(b + length_);
        }
        char type_;
        std::size_t length_;
        bool descending_, unique_;
        ExternalSorter sorter_;
        Bytes entry_;
        std::string previous_;
        std::uint32_t previousRecord_ = 0;
        std::pair<std::uint32_t, std::uint32_t> duplicate_{0, 0};
    };

    // A tag as its header defines it, checked; its keys come from `key`, set here.
    dbase::MdxTag tag(const std::string& path, const TIndexDef& def, Bytes header, std::uint32_t records,
                      std::unique_ptr<dbase::MdxKeys>& key, std::unique_ptr<dbase::Condition>& condition) {
        const std::string label = "tag " + def.Name;
        const std::string expression = def.has(ixExpression) ? def.Expression : def.Fields;
        condition = forClause(path, label, header[245] != 0, def.Filter);

        dbase::MdxTag t;
        t.name = def.Name;
        t.expression = expression;
        t.keyType = static_cast<char>(header[9]);
        t.keyLength = loadLE16(header.data() + 12);
        t.descending = (header[8] & 0x08) != 0;
        // Byte 23 makes a tag unique: key flag 0x40 alone does not (the engine's own files hold
        // equal keys in tags that carry only the flag).
        t.unique = header[23] != 0;
        if (loadLE16(header.data() + 18) != dbase::mdxItemLength(t.keyLength) ||
            loadLE16(header.data() + 14) != dbase::mdxKeysPerNode(t.keyLength))
            cannot(Code::Unsupported, path, label + " lays out its nodes in a way not written here");

        // The key: what it is made of, its type and length.
        Code code;
        std::string why;
        key = dbase::MdxKeys::make(table_, label, expression, t.keyType, t.keyLength, records, code, why);
        if (!key) cannot(code, path, why);
        t.headerTemplate = std::move(header);
        return t;
    }

    // A tag's FOR clause (`present`: the header says it has one), or null when it has none;
    // refused when it is not understood here.
    std::unique_ptr<dbase::Condition> forClause(const std::string& path, const std::string& label, bool present,
                                                const std::string& text) {
        if (!present) return nullptr;
        std::string why = "it is empty";
        std::unique_ptr<dbase::Condition> c;
        if (!text.empty()) c = dbase::Condition::parse(text, table_.rawFields(), table_.codePage(), why);
        if (!c)
            cannot(Code::Unsupported, path,
                   label + " has the FOR clause \"" + text + "\", which is not evaluated here (" + why + ")");
        for (const std::size_t f : c->fields())
            if (table_.fields()[f].length != table_.rawFields()[f].length)
                cannot(Code::InvalidValue, path, label + ": field " + table_.fields()[f].name + " runs past the record");
        return c;
    }

    bool admitted(const std::string& path, const std::string& label, const dbase::Condition& condition, std::uint32_t r) {
        bool yes = false;
        std::string why;
        if (!condition.admits(table_.physicalRecord(r), table_.fields(), h_, yes, why))
            cannot(Code::Unsupported, path,
                   label + ", record " + std::to_string(r + 1) + ": its FOR clause cannot be evaluated (" + why + ")");
        return yes;
    }

    static std::string trimmed(std::string s) {
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
        return s;
    }

    dbase::DBaseTable& table_;
    const dbase::Header& h_;
    const DiskFamily& family_;
};

}  // namespace

std::uint64_t RebuiltIndexFile::size() const { return spool_ ? spool_->size() : bytes_.size(); }

void RebuiltIndexFile::read(std::uint64_t offset, void* buf, std::size_t n) const {
    if (spool_) spool_->read(offset, buf, n);
    else std::memcpy(buf, bytes_.data() + offset, n);
}

std::vector<std::uint8_t> RebuiltIndexFile::contents() const {
    std::vector<std::uint8_t> all(static_cast<std::size_t>(size()));
    read(0, all.data(), all.size());
    return all;
}

void writeRebuilt(FamilyChange& change, const RebuiltIndexFile& file) {
    if (file.spool_) change.copyIn(file.path, 0, *file.spool_);
    else change.write(file.path, 0, file.bytes_.data(), file.bytes_.size());
    change.resize(file.path, file.size());
}

std::vector<std::string> indexFilePaths(TableFile& table) {
    if (auto* px = dynamic_cast<paradox::ParadoxTable*>(&table)) return paradoxIndexPaths(*px);
    if (auto* dbf = dynamic_cast<dbase::DBaseTable*>(&table)) {
        const DiskFamily& family = diskFamily(dbf->family(), dbf->fileName());
        if (dbf->header().tableFlags & 0x01) return {companionPath(family, dbf->header().foxPro ? ".cdx" : ".mdx")};
        return {};
    }
    throw EDBEngineError(Code::Unsupported, "Cannot rebuild the indexes of " + table.fileName() + ": unknown table kind");
}

void verifyIndexKeys(TableFile& table) {
    if (auto* dbf = dynamic_cast<dbase::DBaseTable*>(&table)) DBaseRebuild(*dbf).verifyCdx();
}

std::vector<RebuiltIndexFile> rebuildIndexFiles(TableFile& table) {
    if (auto* px = dynamic_cast<paradox::ParadoxTable*>(&table)) return ParadoxRebuild(*px).run();
    if (auto* dbf = dynamic_cast<dbase::DBaseTable*>(&table)) return DBaseRebuild(*dbf).run();
    throw EDBEngineError(Code::Unsupported, "Cannot rebuild the indexes of " + table.fileName() + ": unknown table kind");
}

}  // namespace tavrinth
