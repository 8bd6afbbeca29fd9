// Creating a Paradox table family (levels 4, 5 and 7): the .DB, and as the description asks the
// .MB (BLOBs), .PX (primary index), .Xnn/.Ynn and .XGn/.YGn (secondary indexes) and .VAL
// (validity checks).
//
// Everything is checked and built in memory first; a description the format cannot hold is
// refused before any file is touched. The files then go to temporary names in the target folder
// and are renamed into place together (writeNewFiles).
//
// Choices where the engine's own files leave a question open:
// * Sort order. Keys are ordered by their stored bytes (values are stored so that bytes sort
//   like values), so a table is labelled with a sort order that collates by byte value: 'ascii'
//   for code pages 437 and 850 (the engine writes 'ascii' tables in both), 'DBWINUS0' ("'ascii'
//   ANSI") for 1252. Code pages 865, 866 and 1251 get their Paradox sort orders 'nordan40',
//   'cyrr' and 'ancyrr', whose collation is not known here: their tables are written, but not
//   with text in a primary key or a secondary index.
// * Counters without a known meaning (header 0x12, 0x2F, the table's 0x49 at level 4) are zero;
//   the two change counters 0x2D/0x2E start at 1 (the .VAL and the secondary indexes repeat
//   0x2E, which ties them to this state of the table).
// * 0x60 holds the time of creation (seconds since 1970, as in the engine's files).

#include "px_writer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <numeric>

#include "../atomic_file.h"
#include "../byte_order.h"
#include "../file_io.h"
#include "px_crypt.h"
#include "px_values.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox {

namespace {

using namespace writer;

constexpr std::size_t kMaxFields = 255;
constexpr std::size_t kMaxFieldName = 25;
constexpr int kMaxKeyFields = 16;

const SortOrder kSortOrders[] = {
    {437, "ascii", 0x00, true},
    {850, "ascii", 0x00, true},
    {1252, "DBWINUS0", 0x4C, true},
    {865, "nordan40", 0xE6, false},
    {866, "cyrr", 0xC0, false},
    {1251, "ancyrr", 0x8F, false},
};

}  // namespace

const writer::SortOrder* writer::findSortOrder(const std::string& name, unsigned codePage) {
    for (const writer::SortOrder& s : kSortOrders)
        if (equalsIgnoreCase(name, s.name) && (codePage == 0 || codePage == s.codePage)) return &s;
    return nullptr;
}

bool writer::textInByteOrder(const Header& h) {
    // Paradox 3 files name no sort order; their byte 0x29 is 0 for 'ascii' (the other sort orders
    // of those versions, intl, nordan and swedfin, have bytes of their own).
    const SortOrder* known = h.hasExtension ? findSortOrder(h.sortOrderName, h.dosCodePage)
                             : h.sortOrder == 0 ? findSortOrder("ascii", 0)
                                                : nullptr;
    return known && known->byteOrder;
}

std::string writer::keyOrderProblem(const Header& h, const std::vector<FieldDef>& defs, const std::vector<int>& fields,
                                    const std::string& what) {
    if (textInByteOrder(h)) return std::string();
    for (const int i : fields) {
        if (i < 0 || static_cast<std::size_t>(i) >= defs.size() || defs[static_cast<std::size_t>(i)].typeCode != kAlpha)
            continue;
        static const char digits[] = "0123456789ABCDEF";
        const std::string sort = h.sortOrderName.empty()
                                     ? "the table's sort order (byte 0x" +
                                           std::string{digits[(h.sortOrder >> 4) & 15], digits[h.sortOrder & 15]} + ")"
                                     : "sort order '" + h.sortOrderName + "'";
        return what + " orders text field " + defs[static_cast<std::size_t>(i)].name + " by " + sort +
               ", whose collation is not known here (text is ordered only by byte value)";
    }
    return std::string();
}

int writer::comparePrimaryKeys(const std::uint8_t* a, const std::uint8_t* b, unsigned keyLength) {
    return compareBytes(a, b, keyLength);
}

namespace {

struct TypeRule {
    char letter;
    std::uint8_t code;
    unsigned length;  // fixed bytes in the record, 0 = given by the size
    int firstLevel;
};

const TypeRule kTypes[] = {
    {'A', kAlpha, 0, 4},    {'D', kDate, 4, 4},       {'S', kShort, 2, 4},      {'$', kMoney, 8, 4},
    {'N', kNumber, 8, 4},   {'M', kMemo, 0, 4},       {'B', kBinary, 0, 4},     {'F', kFmtMemo, 0, 4},
    {'O', kOle, 0, 4},      {'G', kGraphic, 0, 4},    {'I', kLong, 4, 5},       {'L', kLogical, 1, 5},
    {'T', kTime, 4, 5},     {'@', kTimestamp, 8, 5},  {'+', kAutoInc, 4, 5},    {'#', kBcd, 17, 5},
    {'Y', kBytes, 0, 5},
};

// "CP866", "cp1252", "866", "IBM850", "WINDOWS-1252" -> the number; 0 when not of that form.
unsigned codePageNumber(const std::string& name) {
    std::string n = toUpperAscii(name);
    for (const char* prefix : {"WINDOWS-", "CP", "IBM"})
        if (n.compare(0, std::strlen(prefix), prefix) == 0) {
            n.erase(0, std::strlen(prefix));
            break;
        }
    if (n.empty() || n.size() > 5) return 0;
    unsigned v = 0;
    for (char c : n) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v;
}

// Family files that would be taken for part of the new table: the table and every companion the
// readers look for, in any case.
bool isFamilyExtension(const std::string& extension) {
    const std::string e = toUpperAscii(extension);
    if (e == ".DB" || e == ".PX" || e == ".MB" || e == ".VAL") return true;
    // Index files: .Xnn and .Ynn (nn two hex digits), .XGn and .YGn (any one character).
    if (e.size() != 4 || e[0] != '.' || (e[1] != 'X' && e[1] != 'Y')) return false;
    if (e[2] == 'G') return true;
    return std::isxdigit(static_cast<unsigned char>(e[2])) && std::isxdigit(static_cast<unsigned char>(e[3]));
}

void refuseExistingFamily(const Layout& layout) {
    DIR* dir = ::opendir(layout.folder.c_str());
    if (!dir)
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Cannot create " + layout.path + ": the folder " + layout.folder + " cannot be opened");
    std::string clash;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (equalsIgnoreCase(stemPart(name), layout.stem) && isFamilyExtension(extensionPart(name))) {
            clash = name;
            break;
        }
    }
    ::closedir(dir);
    if (!clash.empty())
        refuse("Cannot create " + layout.path + ": " + joinPath(layout.folder, clash) +
               " exists (a table of that name, or a file of its family, is already there)");
}

Layout checkLayout(const std::string& path, const TableSpec& spec) {
    Layout l;
    l.path = path;
    const std::string where = "Cannot create " + path + ": ";
    if (spec.format != TableFormat::Paradox) refuse(where + "the description is not of a Paradox table");
    const std::string fileName = fileNamePart(path);
    const std::string extension = extensionPart(fileName);
    if (!equalsIgnoreCase(extension, ".db")) refuse(where + "a Paradox table's file name ends in .db");
    l.stem = stemPart(fileName);
    if (l.stem.empty()) refuse(where + "the table has no name");
    l.folder = folderPart(path);
    if (!isDirectory(l.folder))
        throw EDBEngineError(EDBEngineError::Code::NotFound, where + "the folder " + l.folder + " does not exist");
    l.upperCaseExtensions = extension[1] == 'D';

    switch (spec.level) {
        case 4: l.versionByte = 0x09; break;
        case 5: l.versionByte = 0x0B; break;
        case 7: l.versionByte = 0x0C; break;
        default:
            refuse(where + "Paradox tables are written at level 4, 5 or 7, not " + std::to_string(spec.level));
    }
    l.level = spec.level;

    const unsigned cpNumber = codePageNumber(spec.codePage);
    for (const writer::SortOrder& s : kSortOrders)
        if (s.codePage == cpNumber) l.sortOrder = &s;
    if (!l.sortOrder) {
        std::string known;
        for (const SortOrder& s : kSortOrders) known += (known.empty() ? "" : ", ") + std::to_string(s.codePage);
        refuse(where + "code page " + spec.codePage + " has no Paradox sort order here (written: " + known + ")");
    }
    l.codePage = CodePage::find("CP" + std::to_string(cpNumber));
    if (!l.codePage) refuse(where + "code page " + spec.codePage + " is not available on this system");

    const int kb = spec.blockSizeKB;
    const bool sizeOk = l.level >= 5 ? (kb == 1 || kb == 2 || kb == 4 || kb == 8 || kb == 16 || kb == 32)
                                     : (kb == 1 || kb == 2 || kb == 4);
    if (!sizeOk)
        refuse(where + "blocks of " + std::to_string(kb) + " KB are not possible at level " + std::to_string(l.level) +
               (l.level >= 5 ? " (1, 2, 4, 8, 16 or 32 KB)" : " (1, 2 or 4 KB)"));
    l.blockKB = static_cast<std::uint8_t>(kb);
    l.blockSize = static_cast<unsigned>(kb) * 1024u;

    // Fields.
    if (spec.fields.empty()) refuse(where + "a table needs at least one field");
    if (spec.fields.size() > kMaxFields) refuse(where + "a Paradox table has at most 255 fields");
    std::vector<std::string> folded;
    unsigned offset = 0;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const ColumnSpec& c = spec.fields[i];
        const std::string label = "field " + (c.name.empty() ? std::to_string(i + 1) : c.name);
        Field f;
        f.name = c.name;
        if (c.name.empty()) refuse(where + "field " + std::to_string(i + 1) + " has no name");
        if (c.name.find('\0') != std::string::npos) refuse(where + label + ": a name cannot hold a NUL character");
        if (!l.codePage->encode(c.name, f.nameBytes))
            refuse(where + "the name of " + label + " cannot be written in code page " + l.codePage->name());
        if (f.nameBytes.size() > kMaxFieldName)
            refuse(where + "the name of " + label + " is longer than " + std::to_string(kMaxFieldName) + " characters");
        const std::string fold = foldName(c.name);
        if (std::find(folded.begin(), folded.end(), fold) != folded.end())
            refuse(where + "two fields are named " + c.name + " (names are compared ignoring case)");
        folded.push_back(fold);

        const TypeRule* rule = nullptr;
        for (const TypeRule& t : kTypes)
            if (t.letter == c.type) rule = &t;
        if (!rule) refuse(where + label + " has type '" + std::string(1, c.type) + "', which Paradox does not have");
        if (rule->firstLevel > l.level)
            refuse(where + label + " has type '" + std::string(1, c.type) + "', which needs a level " +
                   std::to_string(rule->firstLevel) + " table");
        f.letter = rule->letter;
        f.code = rule->code;
        if (f.code == kBcd) {
            if (c.decimals < 0 || c.decimals > 32)
                refuse(where + label + ": a BCD field has 0 to 32 decimals, not " + std::to_string(c.decimals));
            if (c.size != 0 && c.size != 17 && c.size != c.decimals)
                refuse(where + label + ": a BCD field takes 17 bytes; its size is given by its decimals");
            f.decimals = c.decimals;
            f.sizeByte = static_cast<std::uint8_t>(c.decimals);
            f.length = 17;
        } else if (rule->length != 0) {
            if (c.size != 0 && static_cast<unsigned>(c.size) != rule->length)
                refuse(where + label + ": a '" + std::string(1, c.type) + "' field takes " + std::to_string(rule->length) +
                       " bytes, not " + std::to_string(c.size));
            f.length = rule->length;
            f.sizeByte = static_cast<std::uint8_t>(rule->length);
        } else {
            int lo = 1, hi = 255;
            if (f.code == kMemo) lo = 11, hi = 250;  // a leader of 1..240 bytes and the 10-byte pointer
            else if (f.isBlob()) lo = 10, hi = 250;
            if (c.size < lo || c.size > hi)
                refuse(where + label + ": the size of a '" + std::string(1, c.type) + "' field is " + std::to_string(lo) +
                       ".." + std::to_string(hi) + " bytes, not " + std::to_string(c.size));
            f.length = static_cast<unsigned>(c.size);
            f.sizeByte = static_cast<std::uint8_t>(c.size);
        }
        if (f.code == kAutoInc) {
            if (l.autoIncField >= 0) refuse(where + "a table has at most one autoincrement field");
            l.autoIncField = static_cast<int>(i);
        }
        f.offset = offset;
        offset += f.length;
        l.fields.push_back(std::move(f));
    }
    l.recordSize = offset;

    // The key: the leading fields.
    if (spec.keyFields < 0 || static_cast<std::size_t>(spec.keyFields) > l.fields.size())
        refuse(where + "the key cannot have " + std::to_string(spec.keyFields) + " fields");
    if (spec.keyFields > kMaxKeyFields) refuse(where + "a key has at most " + std::to_string(kMaxKeyFields) + " fields");
    l.keyFields = spec.keyFields;
    for (int i = 0; i < l.keyFields; ++i) {
        const Field& f = l.fields[static_cast<std::size_t>(i)];
        if (f.isBlob()) refuse(where + "key field " + f.name + " is a '" + std::string(1, f.letter) + "' field, which cannot be a key");
        if (f.code == kAlpha && !l.sortOrder->byteOrder)
            refuse(where + "key field " + f.name + " holds text, which cannot be ordered by sort order '" +
                   l.sortOrder->name + "' of code page " + std::to_string(l.sortOrder->codePage) + " here");
        l.keyLength += f.length;
    }

    const bool keyed = l.keyFields > 0;
    const unsigned limit = l.level >= 5 ? (keyed ? 10800u : 32750u) : (keyed ? 1350u : 4000u);
    if (l.recordSize > limit)
        refuse(where + "records of " + std::to_string(l.recordSize) + " bytes exceed the " + std::to_string(limit) +
               " bytes of a " + (keyed ? "keyed" : "unkeyed") + " level " + std::to_string(l.level) + " table");
    if (l.recordSize + kBlockHeader > l.blockSize)
        refuse(where + "records of " + std::to_string(l.recordSize) + " bytes do not fit blocks of " +
               std::to_string(kb) + " KB");

    for (bool d : spec.deleted)
        if (d) refuse(where + "Paradox tables keep no deleted records");

    if (!spec.password.empty()) {
        l.checksum = passwordChecksum(spec.password);
        if (l.checksum == 0) refuse(where + "this password cannot protect a table");
    }
    l.updateTime = static_cast<std::uint32_t>(std::time(nullptr));
    l.storedName(fileName);  // refuses a name the header cannot hold
    return l;
}

// The bytes a BLOB field keeps (graphics with their 8-byte prefix), checked against its type.
}  // namespace

void createTable(const std::string& path, const TableSpec& spec) {
    Layout l = checkLayout(path, spec);
    secondaryIndexFileNames(l, spec);  // checks the indexes before anything is built
    refuseExistingFamily(l);

    // Records: the non-BLOB fields first, then the order, then the BLOBs in that order.
    const std::size_t count = spec.records.size();
    const std::size_t n = l.fields.size();
    const std::size_t rs = l.recordSize;
    std::vector<std::uint8_t> unsorted(count * rs, 0);
    std::vector<std::vector<std::string>> blobs(count);
    std::int64_t autoMax = 0;
    if (l.autoIncField >= 0)
        for (const auto& rec : spec.records)
            if (rec.size() == n && !rec[static_cast<std::size_t>(l.autoIncField)].isNull()) {
                const FieldValue& v = rec[static_cast<std::size_t>(l.autoIncField)];
                if (v.kind == ValueKind::Integer) autoMax = std::max(autoMax, v.integer);
            }
    std::int64_t nextAuto = autoMax;
    for (std::size_t r = 0; r < count; ++r) {
        const auto& rec = spec.records[r];
        const std::string at = "Cannot create " + path + ": record " + std::to_string(r + 1);
        if (rec.size() != n)
            refuse(at + " has " + std::to_string(rec.size()) + " values for " + std::to_string(n) + " fields");
        std::uint8_t* p = unsorted.data() + r * rs;
        blobs[r].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Field& f = l.fields[i];
            const std::string where = at + ", field " + f.name;
            if (f.isBlob()) {
                blobs[r][i] = blobFieldBytes(f.code, f.letter, *l.codePage, rec[i], where);
                continue;
            }
            FieldValue value = rec[i];
            if (f.code == kAutoInc) {
                if (value.isNull()) {
                    if (nextAuto >= 2147483647) refuse(where + ": the autoincrement values run out");
                    value.setInteger(++nextAuto);
                } else if (value.kind != ValueKind::Integer || value.integer < 1) {
                    refuse(where + ": an autoincrement value is a whole number from 1 up");
                }
            }
            if (static_cast<int>(i) < l.keyFields && (value.kind == ValueKind::Float || value.kind == ValueKind::DateTime) &&
                value.real == 0.0)
                value.real = 0.0;  // -0.0 and 0.0 are one key
            std::string error;
            if (!encodeValue(f.code, f.length, f.decimals, *l.codePage, value, p + f.offset, error))
                refuse(where + ": " + error);
        }
    }
    l.autoIncrement = l.autoIncField >= 0 ? static_cast<std::uint32_t>(nextAuto) : 0;
    if (l.level < 5) l.autoIncrement = 0;

    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (l.keyFields > 0) {
        const std::vector<KeyPart> key{{0, l.keyLength, false, false}};
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return compareBytes(unsorted.data() + a * rs, unsorted.data() + b * rs, l.keyLength) < 0;
        });
        std::vector<int> keyList(static_cast<std::size_t>(l.keyFields));
        std::iota(keyList.begin(), keyList.end(), 0);
        for (std::size_t i = 1; i < count; ++i)
            if (compareBytes(unsorted.data() + order[i - 1] * rs, unsorted.data() + order[i] * rs, l.keyLength) == 0)
                refuse("Cannot create " + path + ": records " + std::to_string(std::min(order[i - 1], order[i]) + 1) +
                       " and " + std::to_string(std::max(order[i - 1], order[i]) + 1) + " have the same key (" +
                       describeKey(l, unsorted.data() + order[i] * rs, keyList) + ")");
    }

    std::vector<std::uint8_t> records(count * rs);
    BlobFile mb;
    bool hasBlobFields = false;
    for (const Field& f : l.fields) hasBlobFields = hasBlobFields || f.isBlob();
    const std::string mbName = l.fileName("mb");
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t r = order[k];
        std::uint8_t* p = records.data() + k * rs;
        std::memcpy(p, unsorted.data() + r * rs, rs);
        for (std::size_t i = 0; i < n; ++i) {
            const Field& f = l.fields[i];
            const std::string& bytes = blobs[r][i];
            if (!f.isBlob() || bytes.empty()) continue;
            const std::string where = "Cannot create " + path + ": record " + std::to_string(r + 1) + ", field " + f.name;
            storeBlobField(f.code, f.length, bytes, p + f.offset, mb, joinPath(l.folder, mbName), where);
        }
    }
    blobs.clear();

    // The table.
    const unsigned perBlock = (l.blockSize - kBlockHeader) / l.recordSize;
    BlockFile data = packBlocks(records, l.recordSize, l.blockSize, perBlock, path);
    std::vector<std::uint16_t> blockOfRecord(count);
    for (std::size_t b = 0; b < data.counts.size(); ++b)
        for (std::uint32_t k = 0; k < data.counts[b]; ++k)
            blockOfRecord[data.firstRecord[b] + k] = static_cast<std::uint16_t>(b + 1);

    std::vector<OutputFile> files;
    HeaderSpec h;
    h.fileType = l.keyFields > 0 ? kKeyedTable : kUnkeyedTable;
    h.recordSize = static_cast<std::uint16_t>(l.recordSize);
    h.blockKB = l.blockKB;
    h.numRecords = static_cast<std::uint32_t>(count);
    h.blocks = data.blockCount();
    h.primaryKeyFields = static_cast<std::int16_t>(l.keyFields);
    h.autoIncrement = l.autoIncrement;
    h.changeCount1 = l.changeCount1;
    h.changeCount2 = l.changeCount2;
    for (std::size_t i = 0; i < n; ++i) {
        h.descriptors.push_back(l.fields[i].descriptor());
        h.names.push_back(l.fields[i].nameBytes);
        h.fieldNumbers.push_back(static_cast<std::uint16_t>(i + 1));
    }
    h.tableName = l.storedName(fileNamePart(path));
    const std::vector<std::uint8_t> header = buildHeader(l, h);

    if (l.keyFields > 0) files.push_back(buildPrimaryIndex(l, records, data));
    for (OutputFile& f : buildSecondaryIndexes(l, spec, records, blockOfRecord)) files.push_back(std::move(f));
    OutputFile val = buildValidityFile(l, spec);
    if (!val.name.empty()) files.push_back(std::move(val));
    if (hasBlobFields) files.push_back(mb.finish(mbName, l.checksum));
    // The table last: until it is in place, nothing reads the companions.
    files.push_back(assemble(fileNamePart(path), header, std::move(data), l.blockSize, l.checksum));

    std::vector<NewFile> newFiles;
    for (const OutputFile& f : files) newFiles.push_back({joinPath(l.folder, f.name), &f.bytes});
    try {
        writeNewFiles(newFiles);
    } catch (const EFileWriteError& e) {
        throw EFileWriteError(e.errorNumber(), "Cannot create the table " + path + ": " + e.what());
    }
}

}  // namespace tavrinth::paradox
