// Index definitions and validity checks of Paradox tables: over every table of the corpus, against
// its manifest and its summary of validity checks, and over damaged and hand-built files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "byte_order.h"
#include "codepage.h"
#include "dump.h"
#include "engine_error.h"
#include "file_io.h"
#include "manifest.h"
#include "number_text.h"
#include "paradox/px_header.h"
#include "paradox/px_index.h"
#include "paradox/px_val.h"
#include "paradox/px_values.h"
#include "table_file.h"
#include "test_files.h"
#include "test_paths.h"

namespace {

using namespace tavrinth;
using tavrinth::test::paradoxCorpus;
using tavrinth::test::readFileBytes;
using tavrinth::test::readManifest;
using tavrinth::test::splitString;
using Bytes = std::vector<std::uint8_t>;

// --- corpus helpers ----------------------------------------------------------------------------

std::string lower(std::string s) { return toLowerAscii(std::move(s)); }

std::string folderOf(const std::string& rel) {
    const std::size_t at = rel.rfind('/');
    return at == std::string::npos ? std::string() : rel.substr(0, at);
}

// "a/b/NAME.X02" -> "name" and ".x02" (lower case)
std::string stemOf(const std::string& rel) { return lower(stemPart(fileNamePart(rel))); }
std::string extOf(const std::string& rel) { return lower(extensionPart(fileNamePart(rel))); }

const std::vector<tavrinth::test::ManifestRow>& manifest() {
    static const auto rows = readManifest(paradoxCorpus("MANIFEST.tsv"));
    return rows;
}

int intCell(const tavrinth::test::ManifestRow& row, const std::string& column) { return std::stoi(row[column]); }

// The field names of a manifest `fields` cell ("Name:A5;Other:N8" -> Name, Other).
std::vector<std::string> manifestFieldNames(const std::string& cell) {
    std::vector<std::string> out;
    for (const std::string& piece : splitString(cell, ';')) out.push_back(piece.substr(0, piece.rfind(':')));
    return out;
}

std::string joined(const std::vector<std::string>& names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n && i < names.size(); ++i) out += (i ? ";" : "") + names[i];
    return out;
}

OpenOptions corpusOptions() {
    OpenOptions o;
    o.knownPasswords = {"123"};  // the password of the corpus's encrypted tables
    return o;
}

std::unique_ptr<TableFile> openCorpusTable(const std::string& rel) {
    return openTableFile(paradoxCorpus(rel), corpusOptions());
}

std::size_t countContaining(const std::vector<std::string>& warnings, std::size_t from, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t i = from; i < warnings.size(); ++i)
        if (warnings[i].find(part) != std::string::npos) ++n;
    return n;
}

// The .Xnn/.XGn number used for ordering: the hex value of an .Xnn, 256 + the character of an .XGn.
int indexOrder(const std::string& ext) {
    const paradox::IndexFileName n = paradox::classifyIndexExtension(ext);
    return n.kind == paradox::IndexFileName::Kind::Single ? n.number : 256 + n.number;
}

// Secondary index files the corpus README describes, with what they hold.
struct KnownIndex {
    const char* name;
    TIndexOptions options;  // besides ixNonMaintained, which follows the file type
};
const std::map<std::string, KnownIndex>& knownComposite() {
    // Keyed by lower-case file name. Case-insensitive: option byte 0x01. indexed.xg0 has option
    // byte 0x11: descending (0x10) and bit 0x01 too, read as case-insensitive like every other
    // index with that bit (its only field is a Long Integer, where it makes no difference).
    static const std::map<std::string, KnownIndex> m = {
        {"areacodes.xg0", {"ste", ixCaseInsensitive}},
        {"tblzcode.xg0", {"zipcde", ixCaseInsensitive}},
        {"tblzcode.xg1", {"cit", ixCaseInsensitive}},
        {"fk4.xg0", {"reference", 0}},
        {"indexed.xg0", {"Descending", ixDescending | ixCaseInsensitive}},
    };
    return m;
}

// --- building Paradox files in memory ----------------------------------------------------------

struct FieldSpec {
    std::uint8_t type;
    std::uint8_t size;
    std::string name;
};

struct HeaderSpec {
    std::uint8_t fileType = paradox::kUnkeyedTable;
    std::uint8_t version = 0x0C;
    std::vector<FieldSpec> fields;
    std::int16_t keyFields = 0;
    std::vector<std::uint16_t> numbers;  // level 4+; empty = 1..n
    std::uint8_t field15 = 0;
    std::uint8_t options = 0;            // byte 0x55
    std::uint8_t changeCount2 = 0x42;
    std::string sortOrder = "ascii";
    std::string indexName;
    std::uint16_t codePage = 1252;
};

unsigned specBytes(const FieldSpec& f) { return paradox::fieldBytes({f.type, f.size}); }

// A Paradox header as the engine writes it: the table (file type 0/2) then has no data block.
Bytes buildHeader(const HeaderSpec& s) {
    const std::size_t n = s.fields.size();
    const bool withNames = s.fileType != paradox::kPrimaryIndex && s.fileType != paradox::kSecondaryIndexTree &&
                           s.fileType != paradox::kCompositeIndexTree;
    const bool extension = withNames && s.version >= 0x05;
    Bytes b(extension ? 0x78 : 0x58, 0);
    unsigned record = 0;
    for (const FieldSpec& f : s.fields) record += specBytes(f);
    storeLE16(b.data() + 0x00, static_cast<std::uint16_t>(record));
    b[0x04] = s.fileType;
    b[0x05] = 2;  // 2 KB blocks
    b[0x15] = s.field15;
    storeLE16(b.data() + 0x21, static_cast<std::uint16_t>(n));
    storeLE16(b.data() + 0x23, static_cast<std::uint16_t>(s.keyFields));
    b[0x2E] = s.changeCount2;
    b[0x39] = s.version;
    b[0x55] = s.options;
    if (extension) {
        storeLE16(b.data() + 0x64, static_cast<std::uint16_t>(n + 1));
        storeLE16(b.data() + 0x6A, s.codePage);
    }
    for (const FieldSpec& f : s.fields) {
        b.push_back(f.type);
        b.push_back(f.size);
    }
    b.insert(b.end(), 4, 0);                    // table-name pointer
    if (withNames) b.insert(b.end(), 4 * n, 0);  // field-name pointers
    const std::string tableName = "built.db";
    Bytes tn(s.version >= 0x0C ? 261 : 79, 0);
    std::memcpy(tn.data(), tableName.data(), tableName.size());
    b.insert(b.end(), tn.begin(), tn.end());
    if (withNames) {
        for (const FieldSpec& f : s.fields) {
            b.insert(b.end(), f.name.begin(), f.name.end());
            b.push_back(0);
        }
        if (extension) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint16_t v = s.numbers.empty() ? static_cast<std::uint16_t>(i + 1) : s.numbers[i];
                b.push_back(static_cast<std::uint8_t>(v & 0xFF));
                b.push_back(static_cast<std::uint8_t>(v >> 8));
            }
            b.insert(b.end(), s.sortOrder.begin(), s.sortOrder.end());
            b.push_back(0);
            if (!(s.fileType == paradox::kKeyedTable || s.fileType == paradox::kUnkeyedTable)) {
                b.insert(b.end(), s.indexName.begin(), s.indexName.end());
                b.push_back(0);
            }
        }
    }
    if (extension) storeLE16(b.data() + 0x51, static_cast<std::uint16_t>(b.size()));
    // Level 3.0 headers end right there; later ones fill 2 KB.
    if (s.version >= 0x04 && b.size() < 0x800) b.resize(0x800, 0);
    storeLE16(b.data() + 0x02, static_cast<std::uint16_t>(b.size()));
    return b;
}

// The index file of `table` over the table fields at 1-based positions `numbers` (bit 15 =
// descending), laid out as the engine does: index fields, then the key and Blk Num (keyed) or Tup
// No, Blk Num and Tup Offset (unkeyed).
HeaderSpec indexSpec(const HeaderSpec& table, std::uint8_t fileType, const std::vector<std::uint16_t>& numbers) {
    HeaderSpec x;
    x.fileType = fileType;
    x.version = table.version;
    x.codePage = table.codePage;
    for (std::uint16_t number : numbers) x.fields.push_back(table.fields[(number & 0x7FFF) - 1u]);
    x.numbers = numbers;
    if (table.keyFields > 0) {
        for (int i = 0; i < table.keyFields; ++i) x.fields.push_back(table.fields[static_cast<std::size_t>(i)]);
        x.fields.push_back({0x03, 2, "Blk Num"});
        x.keyFields = static_cast<std::int16_t>(numbers.size() + static_cast<std::size_t>(table.keyFields));
    } else {
        x.fields.push_back({0x04, 4, "Tup No"});
        x.fields.push_back({0x03, 2, "Blk Num"});
        x.fields.push_back({0x03, 2, "Tup Offset"});
        x.keyFields = static_cast<std::int16_t>(numbers.size() + 2);
    }
    while (x.numbers.size() < x.fields.size()) x.numbers.push_back(static_cast<std::uint16_t>(x.numbers.size() + 1));
    x.field15 = static_cast<std::uint8_t>(numbers[0] & 0x7FFF);
    return x;
}

// A primary index (.PX) header of a keyed table.
Bytes buildPrimary(const HeaderSpec& table) {
    HeaderSpec p;
    p.fileType = paradox::kPrimaryIndex;
    p.version = table.version;
    for (int i = 0; i < table.keyFields; ++i) p.fields.push_back(table.fields[static_cast<std::size_t>(i)]);
    Bytes b = buildHeader(p);
    storeLE16(b.data(), static_cast<std::uint16_t>(b[0] | (b[1] << 8)) + 6);  // key + 3 words
    return b;
}

std::unique_ptr<TableFile> openBuilt(const Bytes& db, std::unique_ptr<MemoryFamily> family) {
    return openTableFile(std::make_unique<MemorySource>("built.db", db), std::move(family), TableFormat::Paradox);
}

// One entry of a .VAL to build; a presence word of 0 means "absent", 1 "a value follows".
struct ValEntry {
    std::uint8_t field = 0;
    bool required = false;
    int lookupFlags = -1;  // -1: no lookup
    std::string lookupTable;
    std::size_t lookupSize = 80;
    std::uint32_t minWord = 0, maxWord = 0, defWord = 0;
    Bytes minBytes, maxBytes, defBytes;  // written when not empty
    std::string picture;
    bool blankPicture = false;  // a picture of a lone NUL
};

// A .VAL for the table whose parsed header is `t`: version 0x01 for a level 3 table, else the
// table's version byte with the footer (and an RI section of `ri` bytes when given).
Bytes buildVal(const paradox::Header& t, const std::vector<ValEntry>& entries, const Bytes& ri = {}) {
    const bool old = t.versionByte < 0x05;
    Bytes b(0x35, 0);
    b[0] = t.changeCount2;
    b[1] = old ? 0x01 : t.versionByte;
    b[2] = static_cast<std::uint8_t>(entries.size());
    std::uint32_t pointer = 0x0F2A0010;
    auto word = [&](std::uint32_t w) { return w == 1 ? (pointer += 0x20) : w; };
    for (const ValEntry& e : entries) {
        Bytes fixed(0x1C, 0);
        fixed[0] = e.field;
        fixed[1] = static_cast<std::uint8_t>(e.picture.empty() ? (e.blankPicture ? 1 : 0) : e.picture.size() + 1);
        fixed[2] = e.required ? 1 : 0;
        fixed[3] = static_cast<std::uint8_t>(e.lookupFlags < 0 ? 0 : e.lookupFlags);
        storeLE32(fixed.data() + 0x04, e.lookupFlags < 0 ? 0 : word(1));
        storeLE32(fixed.data() + 0x0C, word(e.minWord));
        storeLE32(fixed.data() + 0x10, word(e.maxWord));
        storeLE32(fixed.data() + 0x14, word(e.defWord));
        storeLE32(fixed.data() + 0x18, e.picture.empty() && !e.blankPicture ? 0 : word(1));
        b.insert(b.end(), fixed.begin(), fixed.end());
        if (e.lookupFlags >= 0) {
            Bytes name(e.lookupSize, 0);
            std::memcpy(name.data(), e.lookupTable.data(), e.lookupTable.size());
            b.insert(b.end(), name.begin(), name.end());
        }
        b.insert(b.end(), e.minBytes.begin(), e.minBytes.end());
        b.insert(b.end(), e.maxBytes.begin(), e.maxBytes.end());
        b.insert(b.end(), e.defBytes.begin(), e.defBytes.end());
        if (!e.picture.empty() || e.blankPicture) {
            b.insert(b.end(), e.picture.begin(), e.picture.end());
            b.push_back(0);
        }
    }
    if (old) return b;
    if (!ri.empty()) {
        storeLE32(b.data() + 0x0D, static_cast<std::uint32_t>(b.size()));
        b.insert(b.end(), ri.begin(), ri.end());
    }
    storeLE32(b.data() + 0x09, static_cast<std::uint32_t>(b.size()));
    const std::size_t n = t.fields.size();
    const std::size_t tableNameSize = t.versionByte >= 0x0C ? 261 : 79;
    std::size_t names = tableNameSize;
    for (const std::string& name : t.fieldNames) names += name.size() + 1;
    Bytes f(6, 0);
    storeLE16(f.data(), static_cast<std::uint16_t>(n));
    storeLE16(f.data() + 2, static_cast<std::uint16_t>(t.primaryKeyFields));
    storeLE16(f.data() + 4, static_cast<std::uint16_t>(names));
    for (std::size_t i = 0; i < n; ++i) {
        f.push_back(static_cast<std::uint8_t>(t.fieldNumbers[i] & 0xFF));
        f.push_back(static_cast<std::uint8_t>(t.fieldNumbers[i] >> 8));
    }
    for (const paradox::FieldDescriptor& d : t.fields) {
        f.push_back(d.type);
        f.push_back(d.size);
    }
    f.insert(f.end(), tableNameSize, 0);
    for (const std::string& name : t.fieldNames) {
        f.insert(f.end(), name.begin(), name.end());
        f.push_back(0);
    }
    b.insert(b.end(), f.begin(), f.end());
    return b;
}

Bytes flippedInt(std::int64_t v, std::size_t n) {
    Bytes b(n);
    paradox::encodeFlippedInt(v, b.data(), n);
    return b;
}

Bytes flippedDouble(double v) {
    Bytes b(8);
    paradox::encodeFlippedDouble(v, b.data());
    return b;
}

// A level 7 keyed table of every type a bound can have.
HeaderSpec boundsTable() {
    HeaderSpec t;
    t.fileType = paradox::kKeyedTable;
    t.keyFields = 1;
    t.fields = {{0x16, 4, "Id"},    {0x02, 4, "Day"},    {0x14, 4, "Clock"}, {0x15, 8, "Stamp"},
                {0x04, 4, "Count"}, {0x01, 10, "Label"}, {0x09, 1, "Flag"},  {0x17, 2, "Amount"}};
    return t;
}

// The opened table and its parsed header, for calling the readers directly.
struct Built {
    std::unique_ptr<TableFile> table;
    paradox::Header header;
};

Built openWithVal(const HeaderSpec& spec, const std::function<Bytes(const paradox::Header&)>& makeVal) {
    const Bytes db = buildHeader(spec);
    const paradox::Header h = paradox::readHeader(MemorySource("built.db", db));
    auto family = std::make_unique<MemoryFamily>();
    family->add(".VAL", makeVal(h));
    return {openBuilt(db, std::move(family)), h};
}

// --- index definitions over the corpus ----------------------------------------------------------

TEST(ParadoxIndexes, EveryCorpusTableAgreesWithTheManifest) {
    // Index files of each folder and stem, from the manifest.
    std::map<std::string, std::vector<const tavrinth::test::ManifestRow*>> companions;
    for (const auto& row : manifest()) companions[folderOf(row["path"]) + "/" + stemOf(row["path"])].push_back(&row);

    int tables = 0, secondaries = 0, primaries = 0, missingPx = 0;
    std::set<std::string> indexFilesSeen;
    for (const auto& row : manifest()) {
        const int type = intCell(row, "px_filetype");
        if (type != 0 && type != 2) continue;
        const std::string rel = row["path"];
        SCOPED_TRACE(rel);
        ++tables;
        std::unique_ptr<TableFile> table = openCorpusTable(rel);
        const std::vector<std::string> tableNames = manifestFieldNames(row["fields"]);
        const int keys = intCell(row, "primary_key_fields");
        ASSERT_EQ(type == 0, keys > 0);

        // What the manifest says belongs to this table.
        const tavrinth::test::ManifestRow* px = nullptr;
        std::vector<const tavrinth::test::ManifestRow*> xs;
        for (const auto* c : companions[folderOf(rel) + "/" + stemOf(rel)]) {
            const int t = intCell(*c, "px_filetype");
            if (t == 1) px = c;
            if (t == 3 || t == 5 || t == 6 || t == 8) xs.push_back(c);
        }
        std::sort(xs.begin(), xs.end(), [](const auto* a, const auto* b) {
            return indexOrder(extOf((*a)["path"])) < indexOrder(extOf((*b)["path"]));
        });

        const std::size_t warningsBefore = table->warnings().size();
        const std::vector<TIndexDef> defs = table->readIndexes();
        const std::vector<std::string>& warnings = table->warnings();
        ASSERT_EQ(defs.size(), (keys > 0 ? 1u : 0u) + xs.size());

        std::size_t at = 0;
        if (keys > 0) {
            ++primaries;
            const TIndexDef& p = defs[at++];
            EXPECT_EQ(p.Name, "");
            EXPECT_EQ(p.Options, ixPrimary | ixUnique);
            EXPECT_EQ(p.Fields, joined(tableNames, static_cast<std::size_t>(keys)));
            ASSERT_EQ(p.fieldIndexes.size(), static_cast<std::size_t>(keys));
            for (int i = 0; i < keys; ++i) EXPECT_EQ(p.fieldIndexes[static_cast<std::size_t>(i)], i);
            if (px) {
                EXPECT_EQ(intCell(*px, "num_fields"), keys);
                EXPECT_EQ(p.Source, fileNamePart((*px)["path"]));
                EXPECT_EQ(warnings.size(), warningsBefore) << (warnings.empty() ? "" : warnings.back());
            } else {
                // STATES.DB and MEMBRE.DB are keyed but came without their .PX.
                ++missingPx;
                EXPECT_EQ(p.Source, "");
                EXPECT_EQ(countContaining(warnings, warningsBefore, ".PX"), 1u);
            }
        } else {
            EXPECT_EQ(warnings.size(), warningsBefore);
            EXPECT_EQ(px, nullptr);
        }

        for (const auto* x : xs) {
            const TIndexDef& d = defs[at++];
            const std::string file = fileNamePart((*x)["path"]);
            SCOPED_TRACE(file);
            indexFilesSeen.insert((*x)["path"]);
            ++secondaries;
            const int xType = intCell(*x, "px_filetype");
            const int m = intCell(*x, "num_fields") - (keys > 0 ? keys + 1 : 3);
            ASSERT_GE(m, 1);
            // The X file repeats the table's names for its index fields.
            const std::string fields = joined(manifestFieldNames((*x)["fields"]), static_cast<std::size_t>(m));
            EXPECT_EQ(d.Fields, fields);
            EXPECT_EQ(d.Source, file);
            ASSERT_EQ(d.fieldIndexes.size(), static_cast<std::size_t>(m));
            for (std::size_t i = 0; i < d.fieldIndexes.size(); ++i)
                EXPECT_EQ(table->fields()[static_cast<std::size_t>(d.fieldIndexes[i])].name,
                          manifestFieldNames((*x)["fields"])[i]);
            const TIndexOptions maintained = (xType == 3 || xType == 6) ? ixNonMaintained : 0;
            if (xType == 3 || xType == 5) {
                EXPECT_EQ(m, 1);
                EXPECT_EQ(d.Name, fields);
                EXPECT_EQ(d.Options, maintained);
                // nn names the field, in hex.
                EXPECT_EQ(d.fieldIndexes[0] + 1, indexOrder(extOf(file)));
            } else {
                const auto known = knownComposite().find(lower(file));
                ASSERT_NE(known, knownComposite().end()) << "a composite index the corpus README does not describe";
                EXPECT_EQ(d.Name, known->second.name);
                EXPECT_EQ(d.Options, known->second.options | maintained);
            }
            EXPECT_EQ(d.DescFields, "");
        }
    }
    EXPECT_EQ(tables, 88);
    EXPECT_EQ(primaries, 51);
    EXPECT_EQ(missingPx, 2);
    // Every .Xnn/.XGn of the corpus belongs to a table, except the two of geog/tblZCode.
    EXPECT_EQ(secondaries, 16);
    int allIndexFiles = 0;
    for (const auto& row : manifest()) {
        const int t = intCell(row, "px_filetype");
        if (t == 3 || t == 5 || t == 6 || t == 8) {
            ++allIndexFiles;
            if (!indexFilesSeen.count(row["path"])) {
                EXPECT_NE(row["path"].find("geog/tblZCode"), std::string::npos) << row["path"];
            }
        }
    }
    EXPECT_EQ(allIndexFiles, 18);
}

TEST(ParadoxIndexes, NotableCorpusIndexesInDetail) {
    struct Expect {
        const char* table;
        std::vector<std::string> names, fields;
        std::vector<TIndexOptions> options;
    };
    const std::vector<Expect> cases = {
        {"leonhad__paradoxdriver/src/test/resources/joins/C.DB", {"", "A", "B"}, {"C", "A", "B"},
         {ixPrimary | ixUnique, 0, 0}},
        {"leonhad__paradoxdriver/src/test/resources/joins/fk4.db", {"", "reference"}, {"ID", "FK1;FK"},
         {ixPrimary | ixUnique, 0}},
        {"leonhad__paradoxdriver/src/test/resources/joins/case.db", {"C"}, {"C"}, {ixNonMaintained}},
        {"leonhad__paradoxdriver/src/test/resources/joins/indexed.db", {"Descending"}, {"Indexed"},
         {ixDescending | ixCaseInsensitive | ixNonMaintained}},
        {"leonhad__paradoxdriver/src/test/resources/db/AREACODES.DB", {"", "ste"}, {"AC", "State"},
         {ixPrimary | ixUnique, ixCaseInsensitive}},
        {"leonhad__paradoxdriver/src/test/resources/db/CUSTOMER.DB", {"", "City"}, {"CustNo", "City"},
         {ixPrimary | ixUnique, 0}},
        {"leonhad__paradoxdriver/src/test/resources/joins/multiple.db", {"", "FK", "FK2"}, {"ID", "FK", "FK2"},
         {ixPrimary | ixUnique, 0, 0}},
        {"leonhad__paradoxdriver/src/test/resources/mtdemo/KRENTAL.DB", {""}, {"Date;Customer #;Line #"},
         {ixPrimary | ixUnique}},
    };
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.table);
        auto table = openCorpusTable(e.table);
        const auto defs = table->readIndexes();
        ASSERT_EQ(defs.size(), e.names.size());
        for (std::size_t i = 0; i < defs.size(); ++i) {
            EXPECT_EQ(defs[i].Name, e.names[i]);
            EXPECT_EQ(defs[i].Fields, e.fields[i]);
            EXPECT_EQ(defs[i].Options, e.options[i]) << defs[i].Name;
            EXPECT_EQ(defs[i].Expression, "");
            EXPECT_EQ(defs[i].Filter, "");
        }
    }
    // fk4.XG0 takes table fields 2 and 4 (FK1, FK), not the X file's own order of names.
    auto fk4 = openCorpusTable("leonhad__paradoxdriver/src/test/resources/joins/fk4.db");
    EXPECT_EQ(fk4->readIndexes()[1].fieldIndexes, (std::vector<int>{1, 3}));
}

TEST(ParadoxIndexes, FamilyWithoutItsTableBreaksNothing) {
    const std::string folder = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/geog");
    // The table itself is not there: opening it is a clean "not found".
    try {
        openTableFile(folder + "/tblZCode.DB");
        FAIL() << "a missing table opened";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), EDBEngineError::Code::NotFound);
    }
    // Its index files are no tables.
    for (const char* name : {"tblZCode.XG0", "tblZCode.XG1", "tblZCode.PX", "tblZCode.YG0"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(openTableFile(std::make_unique<FileSource>(folder + "/" + name),
                                   std::make_unique<DiskFamily>(folder + "/tblZCode.DB"), TableFormat::Paradox),
                     EDBEngineError);
    }
    // With a table header of the shape the index files describe (key ID, City at 2, Zip at 4), the
    // real index files give the named case-insensitive indexes.
    HeaderSpec spec;
    spec.fileType = paradox::kKeyedTable;
    spec.keyFields = 1;
    spec.codePage = 437;
    spec.fields = {{0x04, 4, "ID"}, {0x01, 50, "City"}, {0x01, 2, "ST"}, {0x01, 10, "Zip"}};
    const Bytes db = buildHeader(spec);
    const paradox::Header h = paradox::readHeader(MemorySource("tblZCode.DB", db));
    auto table = openBuilt(db, std::make_unique<MemoryFamily>());
    std::vector<std::string> warnings;
    const auto defs = paradox::readIndexes(h, table->fields(), DiskFamily(folder + "/tblZCode.DB"),
                                           *CodePage::find("CP437"), warnings);
    EXPECT_TRUE(warnings.empty()) << (warnings.empty() ? "" : warnings[0]);
    ASSERT_EQ(defs.size(), 3u);
    EXPECT_EQ(defs[0].Fields, "ID");
    EXPECT_EQ(defs[0].Source, "tblZCode.PX");
    EXPECT_EQ(defs[1].Name, "zipcde");
    EXPECT_EQ(defs[1].Fields, "Zip");
    EXPECT_EQ(defs[1].Options, ixCaseInsensitive);
    EXPECT_EQ(defs[1].Source, "tblZCode.XG0");
    EXPECT_EQ(defs[2].Name, "cit");
    EXPECT_EQ(defs[2].Fields, "City");
    EXPECT_EQ(defs[2].Options, ixCaseInsensitive);

    // A table whose Zip field is shorter than the index's copy of it does not get that index.
    spec.fields[3].size = 9;
    const Bytes other = buildHeader(spec);
    const paradox::Header h2 = paradox::readHeader(MemorySource("tblZCode.DB", other));
    auto table2 = openBuilt(other, std::make_unique<MemoryFamily>());
    warnings.clear();
    const auto defs2 = paradox::readIndexes(h2, table2->fields(), DiskFamily(folder + "/tblZCode.DB"),
                                            *CodePage::find("CP437"), warnings);
    ASSERT_EQ(defs2.size(), 2u);
    EXPECT_EQ(defs2[1].Name, "cit");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("tblZCode.XG0"), std::string::npos);
}

// --- index definitions of built files ----------------------------------------------------------

TEST(ParadoxIndexes, ExtensionsAreClassifiedInAnyCase) {
    using K = paradox::IndexFileName::Kind;
    EXPECT_EQ(paradox::classifyIndexExtension(".X02").kind, K::Single);
    EXPECT_EQ(paradox::classifyIndexExtension(".x0a").number, 10);
    EXPECT_EQ(paradox::classifyIndexExtension(".X1F").number, 31);
    EXPECT_EQ(paradox::classifyIndexExtension(".xg0").kind, K::Composite);
    EXPECT_EQ(paradox::classifyIndexExtension(".XgA").number, 'A');
    for (const char* other : {".Y02", ".YG0", ".X2", ".X0G", ".X123", ".PX", ".XG", ".XG12", "X02", ".db", ""})
        EXPECT_EQ(paradox::classifyIndexExtension(other).kind, K::None) << other;
}

HeaderSpec keyedTable() {
    HeaderSpec t;
    t.fileType = paradox::kKeyedTable;
    t.keyFields = 1;
    t.fields = {{0x04, 4, "Id"}, {0x01, 20, "Name"}, {0x02, 4, "Born"}, {0x06, 8, "Score"}, {0x01, 8, "Town"}};
    return t;
}

TEST(ParadoxIndexes, OrderByNumberThenComposites) {
    const HeaderSpec t = keyedTable();
    auto family = std::make_unique<MemoryFamily>();
    HeaderSpec g1 = indexSpec(t, paradox::kCompositeIndexMaintained, {3, 2});
    g1.indexName = "second";
    HeaderSpec g0 = indexSpec(t, paradox::kCompositeIndexMaintained, {4});
    g0.indexName = "first";
    g0.options = 0x21;  // unique, case-insensitive
    family->add(".xg1", buildHeader(g1));
    family->add(".X0B", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {4})));
    family->add(".XG0", buildHeader(g0));
    family->add(".x0a", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {5})));
    family->add(".X40", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {3})));  // 64 > '0'

    family->add(".X02", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {2})));
    family->add(".Y02", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {2})));
    family->add(".px", buildPrimary(t));
    auto table = openBuilt(buildHeader(t), std::move(family));
    const auto defs = table->readIndexes();
    ASSERT_EQ(defs.size(), 7u);
    EXPECT_EQ(defs[0].Source, "memory.px");
    EXPECT_EQ(defs[1].Source, "memory.X02");
    EXPECT_EQ(defs[1].Name, "Name");
    EXPECT_EQ(defs[2].Source, "memory.x0a");
    EXPECT_EQ(defs[2].Name, "Town");  // byte 0x15 (field 5), not the number in the name
    EXPECT_EQ(defs[3].Source, "memory.X0B");
    EXPECT_EQ(defs[3].Name, "Score");  // byte 0x15 wins over the file name
    EXPECT_EQ(defs[4].Source, "memory.X40");
    EXPECT_EQ(defs[4].Name, "Born");
    EXPECT_EQ(defs[5].Name, "first");
    EXPECT_EQ(defs[5].Options, ixUnique | ixCaseInsensitive);
    EXPECT_EQ(defs[6].Name, "second");
    EXPECT_EQ(defs[6].Fields, "Born;Name");
    EXPECT_EQ(defs[6].fieldIndexes, (std::vector<int>{2, 1}));
    EXPECT_EQ(defs[6].Options, 0);
    EXPECT_TRUE(table->warnings().empty()) << table->warnings()[0];
}

TEST(ParadoxIndexes, OneIndexPerNumberWhateverTheCase) {
    // Two files whose names differ only in case are one index to the engine.
    const HeaderSpec t = keyedTable();
    auto family = std::make_unique<MemoryFamily>();
    family->add(".X02", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {2})));
    family->add(".x02", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {2})));
    family->add(".XG0", buildHeader(indexSpec(t, paradox::kCompositeIndexMaintained, {3})));
    family->add(".xg0", buildHeader(indexSpec(t, paradox::kCompositeIndexMaintained, {3})));
    family->add(".px", buildPrimary(t));
    auto table = openBuilt(buildHeader(t), std::move(family));
    const auto defs = table->readIndexes();
    ASSERT_EQ(defs.size(), 3u);
    EXPECT_EQ(defs[1].Fields, "Name");
    EXPECT_EQ(defs[2].Fields, "Born");
}

TEST(ParadoxIndexes, DescendingFieldsAndOptions) {
    const HeaderSpec t = keyedTable();
    struct Case {
        std::vector<std::uint16_t> numbers;
        std::uint8_t options;
        std::uint8_t fileType;
        TIndexOptions expect;
        const char* desc;
    };
    const std::vector<Case> cases = {
        {{0x8002, 3}, 0x00, paradox::kCompositeIndexMaintained, 0, "Name"},
        {{0x8002, 0x8003}, 0x00, paradox::kCompositeIndexMaintained, ixDescending, ""},
        {{0x8002, 0x8003}, 0x10, paradox::kCompositeIndexMaintained, ixDescending, ""},
        {{2, 3}, 0x10, paradox::kCompositeIndexMaintained, ixDescending, ""},
        {{2, 0x8003}, 0x10, paradox::kCompositeIndexMaintained, ixDescending, "Born"},
        {{2}, 0x30, paradox::kCompositeIndexMaintained, ixDescending | ixUnique, ""},
        {{2}, 0x01, paradox::kCompositeIndexNonMaintained, ixCaseInsensitive | ixNonMaintained, ""},
    };
    for (const Case& c : cases) {
        HeaderSpec x = indexSpec(t, c.fileType, c.numbers);
        x.options = c.options;
        x.indexName = "ix";
        auto family = std::make_unique<MemoryFamily>();
        family->add(".px", buildPrimary(t));
        family->add(".XG3", buildHeader(x));
        auto table = openBuilt(buildHeader(t), std::move(family));
        const auto defs = table->readIndexes();
        ASSERT_EQ(defs.size(), 2u);
        EXPECT_EQ(defs[1].Options, c.expect) << c.desc;
        EXPECT_EQ(defs[1].DescFields, c.desc);
    }
}

TEST(ParadoxIndexes, UnkeyedAndLevel3Tables) {
    // An unkeyed table: Tup No / Blk Num / Tup Offset after the index fields; file types 3 and 6.
    HeaderSpec t = keyedTable();
    t.fileType = paradox::kUnkeyedTable;
    t.keyFields = 0;
    auto family = std::make_unique<MemoryFamily>();
    family->add(".X02", buildHeader(indexSpec(t, paradox::kSecondaryIndexNonMaintained, {2})));
    HeaderSpec g = indexSpec(t, paradox::kCompositeIndexNonMaintained, {5, 1});
    g.indexName = "Wo";
    family->add(".XG0", buildHeader(g));
    // The keyed layout on an unkeyed table is left out.
    family->add(".X03", buildHeader(indexSpec(keyedTable(), paradox::kSecondaryIndexMaintained, {3})));
    auto table = openBuilt(buildHeader(t), std::move(family));
    auto defs = table->readIndexes();
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[0].Name, "Name");
    EXPECT_EQ(defs[0].Options, ixNonMaintained);
    EXPECT_EQ(defs[1].Name, "Wo");
    EXPECT_EQ(defs[1].Fields, "Town;Id");
    EXPECT_EQ(defs[1].Options, ixNonMaintained);
    EXPECT_EQ(countContaining(table->warnings(), 0, "memory.X03"), 1u);

    // A Paradox 3 table: no field-number lists; byte 0x15 names the field; byte 0x55 is unused.
    HeaderSpec t3 = keyedTable();
    t3.version = 0x03;
    auto family3 = std::make_unique<MemoryFamily>();
    HeaderSpec x3 = indexSpec(t3, paradox::kSecondaryIndexMaintained, {4});
    x3.options = 0x11;
    family3->add(".X04", buildHeader(x3));
    HeaderSpec g3 = indexSpec(t3, paradox::kCompositeIndexMaintained, {2, 3});
    family3->add(".XG0", buildHeader(g3));  // composite indexes need level 4
    family3->add(".PX", buildPrimary(t3));
    auto table3 = openBuilt(buildHeader(t3), std::move(family3));
    const std::size_t before = table3->warnings().size();
    defs = table3->readIndexes();
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_EQ(defs[0].Fields, "Id");
    EXPECT_EQ(defs[1].Name, "Score");
    EXPECT_EQ(defs[1].Options, 0);
    EXPECT_EQ(table3->warnings().size(), before + 1);
    EXPECT_EQ(countContaining(table3->warnings(), before, "field-number list"), 1u);
}

TEST(ParadoxIndexes, ForeignAndStaleIndexFilesAreLeftOut) {
    const HeaderSpec t = keyedTable();
    struct Bad {
        const char* what;
        std::function<void(HeaderSpec&)> change;
        std::function<void(Bytes&)> patch;
    };
    const std::vector<Bad> bad = {
        {"tree file", [](HeaderSpec& x) { x.fileType = paradox::kSecondaryIndexTree; }, nullptr},
        {"composite type in .Xnn", [](HeaderSpec& x) { x.fileType = paradox::kCompositeIndexMaintained; }, nullptr},
        {"primary index", [](HeaderSpec& x) { x.fileType = paradox::kPrimaryIndex; }, nullptr},
        {"table", [](HeaderSpec& x) { x.fileType = paradox::kKeyedTable; }, nullptr},
        {"field out of range", [](HeaderSpec& x) { x.numbers[0] = 9; x.field15 = 9; }, nullptr},
        {"field zero", [](HeaderSpec& x) { x.numbers[0] = 0; x.field15 = 0; }, nullptr},
        {"0x15 disagrees", [](HeaderSpec& x) { x.field15 = 3; }, nullptr},
        {"type differs", [](HeaderSpec& x) { x.fields[0].size = 19; }, nullptr},
        {"key differs", [](HeaderSpec& x) { x.fields[1] = {0x16, 4, "Id"}; }, nullptr},
        {"no Blk Num", [](HeaderSpec& x) { x.fields[2] = {0x04, 4, "Blk Num"}; }, nullptr},
        {"key count", [](HeaderSpec& x) { x.keyFields = 3; }, nullptr},
        {"too few fields", [](HeaderSpec& x) { x.fields.resize(2); x.numbers.resize(2); x.keyFields = 1; }, nullptr},
        {"two fields in .Xnn",
         [&](HeaderSpec& x) { x = indexSpec(t, paradox::kSecondaryIndexMaintained, {2, 3}); }, nullptr},
        {"not Paradox", nullptr, [](Bytes& b) { b[0x39] = 0x42; }},
        {"cut header", nullptr, [](Bytes& b) { b.resize(0x100); }},
    };
    for (const Bad& c : bad) {
        SCOPED_TRACE(c.what);
        HeaderSpec x = indexSpec(t, paradox::kSecondaryIndexMaintained, {2});
        if (c.change) c.change(x);
        Bytes bytes = buildHeader(x);
        if (c.patch) c.patch(bytes);
        auto family = std::make_unique<MemoryFamily>();
        family->add(".px", buildPrimary(t));
        family->add(".X02", bytes);
        family->add(".X05", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {5})));
        auto table = openBuilt(buildHeader(t), std::move(family));
        const auto defs = table->readIndexes();
        ASSERT_EQ(defs.size(), 2u);
        EXPECT_EQ(defs[0].Source, "memory.px");
        EXPECT_EQ(defs[1].Name, "Town");
        ASSERT_EQ(table->warnings().size(), 1u);
        EXPECT_NE(table->warnings()[0].find("memory.X02"), std::string::npos) << table->warnings()[0];
    }
    // A composite with the same field twice.
    HeaderSpec twice = indexSpec(t, paradox::kCompositeIndexMaintained, {2, 2});
    auto family = std::make_unique<MemoryFamily>();
    family->add(".px", buildPrimary(t));
    family->add(".XG0", buildHeader(twice));
    auto table = openBuilt(buildHeader(t), std::move(family));
    EXPECT_EQ(table->readIndexes().size(), 1u);
    EXPECT_EQ(countContaining(table->warnings(), 0, "twice"), 1u);
}

TEST(ParadoxIndexes, PrimaryKeyComesFromTheTableHeader) {
    const HeaderSpec t = keyedTable();
    struct Case {
        const char* what;
        std::function<void(MemoryFamily&)> add;
        const char* warning;  // null: none
    };
    HeaderSpec two = t;
    two.keyFields = 2;
    HeaderSpec otherType = t;
    otherType.fields[0] = {0x06, 8, "Id"};
    const std::vector<Case> cases = {
        {"fine", [&](MemoryFamily& f) { f.add(".PX", buildPrimary(t)); }, nullptr},
        {"missing", [](MemoryFamily&) {}, "missing"},
        {"more key fields", [&](MemoryFamily& f) { f.add(".PX", buildPrimary(two)); }, "2 key fields"},
        {"other key type", [&](MemoryFamily& f) { f.add(".PX", buildPrimary(otherType)); }, "differs"},
        {"no primary index", [&](MemoryFamily& f) { f.add(".PX", buildHeader(t)); }, "file type 0"},
        {"cut", [&](MemoryFamily& f) { Bytes b = buildPrimary(t); b.resize(0x40); f.add(".PX", b); }, "damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto family = std::make_unique<MemoryFamily>();
        c.add(*family);
        auto table = openBuilt(buildHeader(t), std::move(family));
        const auto defs = table->readIndexes();
        ASSERT_EQ(defs.size(), 1u);
        EXPECT_EQ(defs[0].Fields, "Id");
        EXPECT_EQ(defs[0].Options, ixPrimary | ixUnique);
        EXPECT_EQ(defs[0].fieldIndexes, std::vector<int>{0});
        if (!c.warning) {
            EXPECT_TRUE(table->warnings().empty());
        } else {
            ASSERT_EQ(table->warnings().size(), 1u);
            EXPECT_NE(table->warnings()[0].find(c.warning), std::string::npos) << table->warnings()[0];
        }
    }
    // Composite keys name every key field in order.
    HeaderSpec k3 = t;
    k3.keyFields = 3;
    auto family = std::make_unique<MemoryFamily>();
    family->add(".px", buildPrimary(k3));
    auto table = openBuilt(buildHeader(k3), std::move(family));
    EXPECT_EQ(table->readIndexes()[0].Fields, "Id;Name;Born");
}

TEST(ParadoxIndexes, NamesAreDecodedWithTheTableCodePage) {
    HeaderSpec t = keyedTable();
    t.codePage = 866;
    t.fields[1].name = "\x88\xac\xef";  // "Имя" in cp866
    HeaderSpec x = indexSpec(t, paradox::kCompositeIndexMaintained, {2});
    x.indexName = "\x88\xac";
    auto family = std::make_unique<MemoryFamily>();
    family->add(".px", buildPrimary(t));
    family->add(".XG0", buildHeader(x));
    family->add(".X02", buildHeader(indexSpec(t, paradox::kSecondaryIndexMaintained, {2})));
    auto table = openBuilt(buildHeader(t), std::move(family));
    const auto defs = table->readIndexes();
    ASSERT_EQ(defs.size(), 3u);
    EXPECT_EQ(defs[1].Name, "\xd0\x98\xd0\xbc\xd1\x8f");
    EXPECT_EQ(defs[2].Name, "\xd0\x98\xd0\xbc");
    EXPECT_EQ(defs[2].Fields, "\xd0\x98\xd0\xbc\xd1\x8f");
}

// Every corpus table with secondary indexes, as bytes in memory.
struct MemoryTable {
    std::string rel;
    paradox::Header header;
    std::unique_ptr<TableFile> table;
    std::vector<std::pair<std::string, Bytes>> companions;  // extension, bytes

    std::unique_ptr<MemoryFamily> family(const std::string& replaceExt, const Bytes* replacement) const {
        auto f = std::make_unique<MemoryFamily>();
        for (const auto& c : companions) f->add(c.first, c.first == replaceExt && replacement ? *replacement : c.second);
        return f;
    }
};

std::vector<MemoryTable> corpusTablesWithIndexFiles() {
    std::vector<MemoryTable> out;
    for (const auto& row : manifest()) {
        const int type = intCell(row, "px_filetype");
        if (type != 0 && type != 2) continue;
        const std::string rel = row["path"];
        DiskFamily disk(paradoxCorpus(rel));
        MemoryTable t;
        bool hasX = false;
        for (const std::string& ext : disk.extensions()) {
            const auto kind = paradox::classifyIndexExtension(ext).kind;
            if (kind != paradox::IndexFileName::Kind::None) hasX = true;
            if (kind != paradox::IndexFileName::Kind::None || lower(ext) == ".px")
                t.companions.emplace_back(ext, readFileBytes(disk.path(ext)));
        }
        if (!hasX) continue;
        t.rel = rel;
        t.table = openCorpusTable(rel);
        t.header = paradox::readHeader(FileSource(paradoxCorpus(rel)));
        out.push_back(std::move(t));
    }
    return out;
}

TEST(ParadoxIndexes, DamagedCorpusIndexFilesAreLeftOutNeverFatal) {
    const CodePage& cp = *CodePage::find("CP1252");
    const auto tables = corpusTablesWithIndexFiles();
    ASSERT_EQ(tables.size(), 14u);
    for (const MemoryTable& t : tables) {
        SCOPED_TRACE(t.rel);
        std::vector<std::string> w;
        const auto original = paradox::readIndexes(t.header, t.table->fields(), *t.family("", nullptr), cp, w);
        ASSERT_TRUE(w.empty());
        for (const auto& c : t.companions) {
            SCOPED_TRACE(c.first);
            const bool isPrimary = lower(c.first) == ".px";
            const paradox::Header ch = paradox::readHeader(MemorySource("x", c.second));
            // The header bytes in use (descriptors, names, numbers, sort order, index name) lie in
            // the first 0x300 bytes of these files; the rest of the 2 KB header is padding.
            const std::size_t used = std::min<std::size_t>(ch.headerSize, 0x300);
            // Cut anywhere inside the header: left out (a primary index is still given from the table).
            std::vector<std::size_t> lengths;
            for (std::size_t len = 0; len <= used; ++len) lengths.push_back(len);
            for (std::size_t len = used; len < ch.headerSize; len += 61) lengths.push_back(len);
            for (std::size_t len : {ch.headerSize - 1u, ch.headerSize + 0u, ch.headerSize + 16u}) lengths.push_back(len);
            for (std::size_t len : lengths) {
                if (len > c.second.size()) continue;
                Bytes cut(c.second.begin(), c.second.begin() + static_cast<std::ptrdiff_t>(len));
                std::vector<std::string> warnings;
                const auto defs = paradox::readIndexes(t.header, t.table->fields(), *t.family(c.first, &cut), cp, warnings);
                if (len >= ch.headerSize) {
                    EXPECT_EQ(defs.size(), original.size());
                    EXPECT_TRUE(warnings.empty());
                    continue;
                }
                ASSERT_EQ(warnings.size(), 1u) << len;
                EXPECT_EQ(defs.size(), original.size() - (isPrimary ? 0 : 1)) << len;
                if (!isPrimary) {
                    for (const TIndexDef& d : defs) EXPECT_NE(d.Source, "memory" + c.first);
                }
            }
            // Every header byte flipped: never a crash; a warning always means the index is left out.
            for (std::size_t i = 0; i < used && i < c.second.size(); ++i) {
                Bytes flipped = c.second;
                flipped[i] ^= 0xFF;
                std::vector<std::string> warnings;
                const auto defs =
                    paradox::readIndexes(t.header, t.table->fields(), *t.family(c.first, &flipped), cp, warnings);
                ASSERT_LE(warnings.size(), 1u);
                if (!warnings.empty() && !isPrimary) {
                    EXPECT_EQ(defs.size(), original.size() - 1) << "byte " << i;
                } else {
                    EXPECT_EQ(defs.size(), original.size()) << "byte " << i;
                }
            }
            // These bytes decide whether the file belongs to the table at all.
            std::vector<std::size_t> vital = {0x04, 0x21, 0x22, 0x39};
            if (!isPrimary) {
                vital.push_back(0x15);
                vital.push_back(0x23);
            }
            for (std::size_t i : vital) {
                Bytes flipped = c.second;
                flipped[i] ^= 0xFF;
                std::vector<std::string> warnings;
                const auto defs =
                    paradox::readIndexes(t.header, t.table->fields(), *t.family(c.first, &flipped), cp, warnings);
                EXPECT_EQ(warnings.size(), 1u) << "byte " << i;
                EXPECT_EQ(defs.size(), original.size() - (isPrimary ? 0 : 1)) << "byte " << i;
            }
        }
    }
}

// --- validity checks over the corpus -----------------------------------------------------------

struct ExpectedCheck {
    std::string name;
    bool required = false;
    int lookupFlags = 0;
    std::string lookup, min, max, def, picture;
};

// The text of a bound the way the summary writes it.
std::string boundText(BoundKind kind, const FieldValue& v) {
    switch (kind) {
        case BoundKind::None: return "";
        case BoundKind::Today: return "TODAY";
        case BoundKind::Now: return "NOW";
        case BoundKind::Value: break;
    }
    if (v.kind == ValueKind::Boolean) return v.integer ? "True" : "False";
    if (v.kind == ValueKind::Float) return shortestDoubleText(v.real);
    return dumpValueText(v);
}

std::string valTablePath(const std::string& valRel) {
    const std::string folder = paradoxCorpus(folderOf(valRel));
    const std::string found = findInFolder(folder, stemPart(fileNamePart(valRel)) + ".db");
    return found.empty() ? std::string() : joinPath(folder, found);
}

TEST(ParadoxValidity, EveryCorpusValAgreesWithTheSummary) {
    const auto rows = readManifest(paradoxCorpus("VAL-SUMMARY.tsv"));
    ASSERT_EQ(rows.size(), 34u);
    int withChecks = 0, checksCompared = 0;
    for (const auto& row : rows) {
        const std::string rel = row["path"];
        SCOPED_TRACE(rel);
        ASSERT_EQ(row["layout_check"], "ok");
        const std::string tablePath = valTablePath(rel);
        ASSERT_FALSE(tablePath.empty());
        auto table = openTableFile(tablePath, corpusOptions());
        for (const std::string& w : table->warnings()) EXPECT_EQ(w.find("validity"), std::string::npos) << w;

        // Expected: the summary's entries merged by field (later ones win, required or-ed),
        // entries with nothing set dropped.
        std::map<int, ExpectedCheck> expected;
        const std::string entries = row["entries(field#:name:required:lookupflags:lookup:min:max:default:picture)"];
        std::vector<std::string> pieces;
        if (entries != "-") {
            std::size_t start = 0;
            for (;;) {
                const std::size_t at = entries.find(" | ", start);
                pieces.push_back(entries.substr(start, at == std::string::npos ? std::string::npos : at - start));
                if (at == std::string::npos) break;
                start = at + 3;
            }
        }
        EXPECT_EQ(pieces.size(), static_cast<std::size_t>(std::stoi(row["entry_count"])));
        for (const std::string& entry : pieces) {
            std::vector<std::string> cells = splitString(entry, ':');
            ASSERT_GE(cells.size(), 9u) << entry;
            // The picture is last and may hold colons.
            std::string picture = cells[8];
            for (std::size_t i = 9; i < cells.size(); ++i) picture += ":" + cells[i];
            const bool required = cells[2] == "1";
            if (!required && cells[4].empty() && cells[5].empty() && cells[6].empty() && cells[7].empty() &&
                picture.empty())
                continue;
            ExpectedCheck& e = expected[std::stoi(cells[0])];
            e.name = cells[1];
            e.required = e.required || required;
            if (!cells[4].empty()) {
                e.lookup = cells[4];
                e.lookupFlags = std::stoi(cells[3]);
            }
            if (!cells[5].empty()) e.min = cells[5];
            if (!cells[6].empty()) e.max = cells[6];
            if (!cells[7].empty()) e.def = cells[7];
            if (!picture.empty()) e.picture = picture;
        }

        const auto& checks = table->validityChecks();
        ASSERT_EQ(checks.size(), expected.size());
        if (!checks.empty()) ++withChecks;
        auto it = expected.begin();
        for (const ValidityCheck& c : checks) {
            SCOPED_TRACE(c.field);
            const ExpectedCheck& e = it->second;
            EXPECT_EQ(c.field, it->first);
            EXPECT_EQ(table->fields()[static_cast<std::size_t>(c.field)].name, e.name);
            EXPECT_EQ(c.required, e.required);
            EXPECT_EQ(c.lookupTable, e.lookup);
            EXPECT_EQ(c.lookupType, e.lookup.empty() ? 0 : 1 + e.lookupFlags);
            EXPECT_EQ(boundText(c.minKind, c.minValue), e.min);
            EXPECT_EQ(boundText(c.maxKind, c.maxValue), e.max);
            EXPECT_EQ(boundText(c.defaultKind, c.defaultValue), e.def);
            EXPECT_EQ(c.picture, e.picture);
            EXPECT_FALSE(c.empty());
            ++checksCompared;
            ++it;
        }
    }
    EXPECT_EQ(withChecks, 20);
    EXPECT_GE(checksCompared, 40);
}

TEST(ParadoxValidity, RenamedFieldInTheFooterIsStillTheSameTable) {
    // joins/fk4.val names field 3 "B" in its footer while the table calls it "B1" (renamed by a
    // restructure that kept the file: byte 0 still matches the table). Numbers and types match,
    // so the file is used; it holds no entries, only the referential integrity.
    for (const char* rel : {"leonhad__paradoxdriver/src/test/resources/joins/fk4.db",
                            "leonhad__paradoxdriver/_history/d5f5226c/src/test/resources/joins/fk4.db"}) {
        SCOPED_TRACE(rel);
        const std::string valRel = std::string(rel).substr(0, std::strlen(rel) - 3) + ".val";
        const Bytes val = readFileBytes(paradoxCorpus(valRel));
        const std::string text(val.begin(), val.end());
        EXPECT_NE(text.find(std::string("FK1\0B\0FK\0", 9)), std::string::npos);
        auto table = openCorpusTable(rel);
        EXPECT_EQ(table->fields()[2].name, "B1");
        EXPECT_TRUE(table->warnings().empty()) << table->warnings()[0];
        EXPECT_TRUE(table->validityChecks().empty());
    }
}

TEST(ParadoxValidity, RequiredFlagFollowsTheChecks) {
    // C.VAL: C and A required, no default.
    auto c = openCorpusTable("leonhad__paradoxdriver/src/test/resources/joins/C.DB");
    EXPECT_TRUE(c->fields()[0].required);
    EXPECT_TRUE(c->fields()[1].required);
    EXPECT_FALSE(c->fields()[2].required);
    // logical.val: required with a default (true): the layer does not demand a value.
    auto logical = openCorpusTable("leonhad__paradoxdriver/src/test/resources/fields/logical.db");
    ASSERT_EQ(logical->validityChecks().size(), 1u);
    EXPECT_TRUE(logical->validityChecks()[0].required);
    EXPECT_EQ(logical->validityChecks()[0].defaultKind, BoundKind::Value);
    EXPECT_FALSE(logical->fields()[0].required);
    // No .VAL: nothing required.
    auto plain = openCorpusTable("leonhad__paradoxdriver/src/test/resources/joins/A.db");
    for (const FieldDef& f : plain->fields()) EXPECT_FALSE(f.required);

    // Built: an auto-increment field is never required; a default lifts the requirement.
    const HeaderSpec spec = boundsTable();
    auto built = openWithVal(spec, [](const paradox::Header& h) {
        std::vector<ValEntry> e(4);
        e[0].field = 0;  // Id (+)
        e[0].required = true;
        e[1].field = 5;  // Label, no default
        e[1].required = true;
        e[2].field = 6;  // Flag, default false
        e[2].required = true;
        e[2].defWord = 1;
        e[2].defBytes = {0x80};
        e[3].field = 1;  // Day, default TODAY
        e[3].required = true;
        e[3].defWord = 2;
        e[3].defBytes = Bytes(4, 0);
        return buildVal(h, e);
    });
    const auto& f = built.table->fields();
    EXPECT_TRUE(built.table->warnings().empty()) << built.table->warnings()[0];
    ASSERT_EQ(built.table->validityChecks().size(), 4u);
    EXPECT_TRUE(built.table->validityChecks()[0].required);
    EXPECT_FALSE(f[0].required);
    EXPECT_TRUE(f[5].required);
    EXPECT_FALSE(f[6].required);
    EXPECT_FALSE(f[1].required);
    EXPECT_FALSE(f[2].required);
}

// --- validity checks of built files ------------------------------------------------------------

TEST(ParadoxValidity, ValuesInTheRecordEncoding) {
    auto built = openWithVal(boundsTable(), [](const paradox::Header& h) {
        std::vector<ValEntry> e(5);
        e[0].field = 4;  // Count: 1..100, default 7
        e[0].minWord = e[0].maxWord = e[0].defWord = 1;
        e[0].minBytes = flippedInt(1, 4);
        e[0].maxBytes = flippedInt(100, 4);
        e[0].defBytes = flippedInt(-7, 4);
        e[1].field = 5;  // Label: default "abc", picture, lookup
        e[1].defWord = 1;
        e[1].defBytes = Bytes(10, 0);
        std::memcpy(e[1].defBytes.data(), "abc", 3);
        e[1].picture = "&*?";
        e[1].lookupFlags = 2;
        e[1].lookupTable = "LABELS.DB";
        e[2].field = 7;  // Amount (BCD, 2 decimals)
        e[2].minWord = 1;
        e[2].minBytes = Bytes(17, 0);
        paradox::encodeBcd("-12.50", 2, e[2].minBytes.data());
        e[3].field = 1;  // Day: 2000-01-01
        e[3].minWord = 1;
        e[3].minBytes = flippedInt(dayNumberFromCivil(2000, 1, 1), 4);
        e[4].field = 3;  // Stamp: 1970-01-01 11:00
        e[4].maxWord = 1;
        e[4].maxBytes = flippedDouble(719163.0 * 86400000.0 + 11 * 3600000.0);
        return buildVal(h, e);
    });
    ASSERT_TRUE(built.table->warnings().empty()) << built.table->warnings()[0];
    const auto& c = built.table->validityChecks();
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0].field, 1);
    EXPECT_EQ(dumpValueText(c[0].minValue), "2000-01-01");
    EXPECT_EQ(c[1].field, 3);
    EXPECT_EQ(c[1].maxKind, BoundKind::Value);
    EXPECT_EQ(dumpValueText(c[1].maxValue), "1970-01-01T11:00:00.000");
    EXPECT_EQ(c[2].field, 4);
    EXPECT_EQ(c[2].minValue.integer, 1);
    EXPECT_EQ(c[2].maxValue.integer, 100);
    EXPECT_EQ(c[2].defaultValue.integer, -7);
    EXPECT_EQ(c[3].field, 5);
    EXPECT_EQ(c[3].defaultValue.text, "abc");
    EXPECT_EQ(c[3].picture, "&*?");
    EXPECT_EQ(c[3].lookupType, 3);
    EXPECT_EQ(c[3].lookupTable, "LABELS.DB");
    EXPECT_EQ(c[3].minKind, BoundKind::None);
    EXPECT_EQ(c[4].field, 7);
    EXPECT_EQ(c[4].minValue.text, "-12.50");
}

TEST(ParadoxValidity, EntriesOfOneFieldMerge) {
    auto built = openWithVal(boundsTable(), [](const paradox::Header& h) {
        std::vector<ValEntry> e(6);
        e[0].field = 4;
        e[0].required = true;
        e[0].minWord = 1;
        e[0].minBytes = flippedInt(1, 4);
        e[0].picture = "#";
        e[4].field = 3;  // a blank picture alone: nothing set
        e[4].blankPicture = true;
        e[5].field = 4;  // a blank picture does not clear an earlier one
        e[5].blankPicture = true;
        e[1].field = 2;  // nothing set: ignored
        e[2].field = 4;
        e[2].minWord = 1;
        e[2].minBytes = flippedInt(5, 4);
        e[2].lookupFlags = 0;
        e[2].lookupTable = "T.DB";
        e[3].field = 4;
        e[3].picture = "##";
        return buildVal(h, e);
    });
    const auto& c = built.table->validityChecks();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].field, 4);
    EXPECT_TRUE(c[0].required);  // kept although later entries do not set it
    EXPECT_EQ(c[0].minValue.integer, 5);
    EXPECT_EQ(c[0].picture, "##");
    EXPECT_EQ(c[0].lookupType, 1);
    EXPECT_EQ(c[0].lookupTable, "T.DB");
}

TEST(ParadoxValidity, TodayAndNowBounds) {
    // Presence word 2 (TODAY) or 3 (NOW), with or without value bytes after it, or a zero value.
    struct Case {
        const char* what;
        std::uint8_t field;
        std::uint32_t word;
        bool withBytes;
        bool zeroValue;
        BoundKind expect;
    };
    const std::vector<Case> cases = {
        {"date, word 2, value bytes", 1, 2, true, true, BoundKind::Today},
        {"date, word 2, no value bytes", 1, 2, false, false, BoundKind::Today},
        {"date, word 3", 1, 3, true, true, BoundKind::Today},
        {"date, zero value", 1, 1, true, true, BoundKind::Today},
        {"time, word 3, no bytes", 2, 3, false, false, BoundKind::Now},
        {"time, zero value", 2, 1, true, true, BoundKind::Now},
        {"timestamp, word 3", 3, 3, true, true, BoundKind::Now},
        {"timestamp, word 2, no bytes", 3, 2, false, false, BoundKind::Now},
        {"timestamp, zero value", 3, 1, true, true, BoundKind::Now},
        {"integer, word 2", 4, 2, true, true, BoundKind::Today},
        {"integer, word 3, no bytes", 4, 3, false, false, BoundKind::Now},
        {"integer, zero value", 4, 1, true, true, BoundKind::Value},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const HeaderSpec spec = boundsTable();
        const std::size_t size = specBytes(spec.fields[k.field]);
        for (int which = 0; which < 3; ++which) {
            auto built = openWithVal(spec, [&](const paradox::Header& h) {
                std::vector<ValEntry> e(2);
                e[0].field = k.field;
                std::uint32_t* words[3] = {&e[0].minWord, &e[0].maxWord, &e[0].defWord};
                Bytes* values[3] = {&e[0].minBytes, &e[0].maxBytes, &e[0].defBytes};
                *words[which] = k.word;
                if (k.withBytes) *values[which] = Bytes(size, 0);
                e[0].picture = "x";  // something after the value, so the layout must come out right
                e[1].field = 5;
                e[1].required = true;
                return buildVal(h, e);
            });
            ASSERT_TRUE(built.table->warnings().empty()) << built.table->warnings()[0];
            const auto& c = built.table->validityChecks();
            ASSERT_EQ(c.size(), 2u);
            const BoundKind kinds[3] = {c[0].minKind, c[0].maxKind, c[0].defaultKind};
            for (int i = 0; i < 3; ++i) EXPECT_EQ(kinds[i], i == which ? k.expect : BoundKind::None) << which;
            EXPECT_EQ(c[0].picture, "x");
            EXPECT_TRUE(c[1].required);
            if (k.expect == BoundKind::Value) {
                const FieldValue& v = which == 0 ? c[0].minValue : which == 1 ? c[0].maxValue : c[0].defaultValue;
                EXPECT_TRUE(v.isNull());
            }
        }
    }
}

TEST(ParadoxValidity, AmbiguousEntriesThatDoNotAddUpAreDamage) {
    // 255 entries that each may or may not carry value bytes after their TODAY words, and do not
    // add up to the footer whatever the reading: damaged, found without trying every reading.
    auto built = openWithVal(boundsTable(), [](const paradox::Header& h) {
        std::vector<ValEntry> e(255);
        for (ValEntry& v : e) {
            v.field = 1;
            v.minWord = v.maxWord = v.defWord = 2;
        }
        Bytes b = buildVal(h, e);
        // One byte more before the footer than any reading can use.
        const std::uint32_t footer = loadLE32(b.data() + 9);
        b.insert(b.begin() + footer, 0x00);
        storeLE32(b.data() + 9, footer + 1);
        return b;
    });
    EXPECT_TRUE(built.table->validityChecks().empty());
    ASSERT_EQ(built.table->warnings().size(), 1u);
    EXPECT_NE(built.table->warnings()[0].find("damaged"), std::string::npos) << built.table->warnings()[0];
}

TEST(ParadoxValidity, LongLookupNamesOfLevel7) {
    for (std::size_t size : {std::size_t{80}, std::size_t{261}}) {
        SCOPED_TRACE(size);
        auto built = openWithVal(boundsTable(), [&](const paradox::Header& h) {
            std::vector<ValEntry> e(2);
            e[0].field = 5;
            e[0].lookupFlags = 1;
            e[0].lookupTable = "C:\\DATA\\LOOKUP.DB";
            e[0].lookupSize = size;
            e[1].field = 6;
            e[1].picture = "T,F";
            return buildVal(h, e);
        });
        ASSERT_TRUE(built.table->warnings().empty()) << built.table->warnings()[0];
        const auto& c = built.table->validityChecks();
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0].lookupTable, "C:\\DATA\\LOOKUP.DB");
        EXPECT_EQ(c[0].lookupType, 2);
        EXPECT_EQ(c[1].picture, "T,F");
    }
    // Level 5 lookup names are 80 bytes only.
    HeaderSpec level5 = boundsTable();
    level5.version = 0x0B;
    auto built = openWithVal(level5, [&](const paradox::Header& h) {
        std::vector<ValEntry> e(1);
        e[0].field = 5;
        e[0].lookupFlags = 0;
        e[0].lookupTable = "L.DB";
        e[0].lookupSize = 261;
        return buildVal(h, e);
    });
    EXPECT_TRUE(built.table->validityChecks().empty());
    EXPECT_EQ(countContaining(built.table->warnings(), 0, "damaged"), 1u);
}

TEST(ParadoxValidity, Level3LayoutAndReferentialIntegritySection) {
    HeaderSpec t3 = keyedTable();
    t3.version = 0x03;
    auto old = openWithVal(t3, [](const paradox::Header& h) {
        std::vector<ValEntry> e(1);
        e[0].field = 3;
        e[0].maxWord = 1;
        e[0].maxBytes = flippedDouble(99.5);
        Bytes v = buildVal(h, e);
        std::memcpy(v.data() + 3, "VAL\0garbage", 11);  // level 3 headers hold garbage here
        return v;
    });
    ASSERT_TRUE(std::none_of(old.table->warnings().begin(), old.table->warnings().end(),
                             [](const std::string& w) { return w.find("validity") != std::string::npos; }));
    ASSERT_EQ(old.table->validityChecks().size(), 1u);
    EXPECT_EQ(old.table->validityChecks()[0].maxValue.real, 99.5);

    // Levels 4+: the entries end where the RI section begins.
    Bytes ri(2 + 0x1E0 + 2, 0);
    ri[0] = 1;
    auto withRi = openWithVal(boundsTable(), [&](const paradox::Header& h) {
        std::vector<ValEntry> e(1);
        e[0].field = 4;
        e[0].required = true;
        return buildVal(h, e, ri);
    });
    ASSERT_TRUE(withRi.table->warnings().empty()) << withRi.table->warnings()[0];
    EXPECT_EQ(withRi.table->validityChecks().size(), 1u);
}

// A .VAL that the reader must refuse, as a change to a good one.
TEST(ParadoxValidity, OutsideTheFormatCountsAsAbsent) {
    const HeaderSpec spec = boundsTable();
    const Bytes db = buildHeader(spec);
    const paradox::Header h = paradox::readHeader(MemorySource("built.db", db));
    std::vector<ValEntry> entries(2);
    entries[0].field = 4;
    entries[0].minWord = 1;
    entries[0].minBytes = flippedInt(3, 4);
    entries[0].picture = "###";
    entries[1].field = 5;
    entries[1].lookupFlags = 1;
    entries[1].lookupTable = "X.DB";
    const Bytes good = buildVal(h, entries);
    const std::size_t footer = loadLE32(good.data() + 9);
    struct Bad {
        const char* what;
        std::function<void(Bytes&)> change;
        const char* word;
    };
    const std::vector<Bad> bad = {
        {"stale", [](Bytes& b) { b[0] ^= 1; }, "stale"},
        {"version", [](Bytes& b) { b[1] = 0x02; }, "version"},
        {"level 3 layout", [](Bytes& b) { b[1] = 0x01; }, "level 3"},
        {"more entries", [](Bytes& b) { b[2] = 3; }, "entr"},
        {"fewer entries", [](Bytes& b) { b[2] = 1; }, "entr"},
        {"footer offset", [&](Bytes& b) { storeLE32(b.data() + 9, static_cast<std::uint32_t>(footer + 1)); }, "footer"},
        {"footer past end", [](Bytes& b) { storeLE32(b.data() + 9, 0x7FFFFFF0u); }, "footer"},
        {"RI past footer", [&](Bytes& b) { storeLE32(b.data() + 0x0D, static_cast<std::uint32_t>(footer + 2)); },
         "referential"},
        {"RI inside entries", [&](Bytes& b) { storeLE32(b.data() + 0x0D, 0x40); }, "entr"},
        {"field out of range", [](Bytes& b) { b[0x35] = 8; }, "field position"},
        {"required byte", [](Bytes& b) { b[0x37] = 7; }, "required"},
        {"lookup flags", [&](Bytes& b) { b[0x35 + 0x1C + 4 + 4 + 3] = 9; }, "lookup flags"},
        {"picture unterminated", [&](Bytes& b) { b[0x35 + 0x1C + 4 + 3] = '#'; }, "picture"},
        {"lookup unterminated", [&](Bytes& b) { std::memset(b.data() + footer - 80, 'x', 80); }, "lookup"},
        {"footer field count", [&](Bytes& b) { b[footer] = 9; }, "footer"},
        {"footer key count", [&](Bytes& b) { b[footer + 2] = 0; }, "key"},
        {"footer field number", [&](Bytes& b) { b[footer + 6] = 7; }, "number"},
        {"footer field type", [&](Bytes& b) { b[footer + 6 + 16 + 2] = 0x06; }, "type"},
        {"footer names size", [&](Bytes& b) { b[footer + 4] ^= 1; }, "name size"},
        {"footer names cut", [&](Bytes& b) { b.resize(b.size() - 2); }, "names"},
        {"trailing entry bytes", [&](Bytes& b) { b.insert(b.begin() + static_cast<std::ptrdiff_t>(footer), 0);
                                                storeLE32(b.data() + 9, static_cast<std::uint32_t>(footer + 1)); },
         "end"},
        {"empty", [](Bytes& b) { b.clear(); }, "shorter"},
    };
    {
        auto family = std::make_unique<MemoryFamily>();
        family->add(".val", good);
        auto table = openBuilt(db, std::move(family));
        ASSERT_EQ(table->validityChecks().size(), 2u);
        ASSERT_TRUE(table->warnings().empty()) << table->warnings()[0];
    }
    for (const Bad& c : bad) {
        SCOPED_TRACE(c.what);
        Bytes b = good;
        c.change(b);
        auto family = std::make_unique<MemoryFamily>();
        family->add(".val", b);
        auto table = openBuilt(db, std::move(family));
        EXPECT_TRUE(table->validityChecks().empty());
        ASSERT_EQ(table->warnings().size(), 1u);
        EXPECT_NE(table->warnings()[0].find("memory.val"), std::string::npos);
        EXPECT_NE(table->warnings()[0].find(c.word), std::string::npos) << table->warnings()[0];
    }
}

TEST(ParadoxValidity, DamagedCorpusValsCountAsAbsentNeverFatal) {
    const auto rows = readManifest(paradoxCorpus("VAL-SUMMARY.tsv"));
    for (const auto& row : rows) {
        const std::string rel = row["path"];
        SCOPED_TRACE(rel);
        const std::string tablePath = valTablePath(rel);
        auto table = openTableFile(tablePath, corpusOptions());
        const paradox::Header h = paradox::readHeader(FileSource(tablePath));
        const Bytes val = readFileBytes(paradoxCorpus(rel));
        const CodePage& cp = table->codePage();
        auto read = [&](const Bytes& bytes, std::vector<std::string>& warnings) {
            MemoryFamily family;
            family.add(".VAL", bytes);
            return paradox::readValidityChecks(h, table->fields(), family, cp, warnings);
        };
        std::vector<std::string> w;
        const auto original = read(val, w);
        ASSERT_TRUE(w.empty());
        ASSERT_EQ(original.size(), table->validityChecks().size());

        // Cut anywhere: every layout ends exactly at the end of the file, so any cut is damage.
        for (std::size_t len = 0; len < val.size(); ++len) {
            std::vector<std::string> warnings;
            const auto checks = read(Bytes(val.begin(), val.begin() + static_cast<std::ptrdiff_t>(len)), warnings);
            EXPECT_TRUE(checks.empty()) << len;
            ASSERT_EQ(warnings.size(), 1u) << len;
        }
        // Header bytes the layout depends on.
        const bool old = val[1] == 0x01;
        std::vector<std::size_t> vital = {0, 1, 2};
        if (!old)
            for (std::size_t i = 9; i < 0x11; ++i) vital.push_back(i);
        for (std::size_t i : vital) {
            Bytes flipped = val;
            flipped[i] ^= 0xFF;
            std::vector<std::string> warnings;
            EXPECT_TRUE(read(flipped, warnings).empty()) << "byte " << i;
            EXPECT_EQ(warnings.size(), 1u) << "byte " << i;
        }
        // Level 3 headers hold garbage after byte 2: it changes nothing.
        if (old)
            for (std::size_t i = 3; i < 0x35; ++i) {
                Bytes flipped = val;
                flipped[i] ^= 0xFF;
                std::vector<std::string> warnings;
                EXPECT_EQ(read(flipped, warnings).size(), original.size()) << "byte " << i;
                EXPECT_TRUE(warnings.empty()) << "byte " << i;
            }
        // Any byte flipped: never a crash; a warning always comes with no checks at all.
        for (std::size_t i = 0; i < val.size(); ++i) {
            for (std::uint8_t mask : {std::uint8_t{0xFF}, std::uint8_t{0x01}, std::uint8_t{0x80}}) {
                Bytes flipped = val;
                flipped[i] ^= mask;
                std::vector<std::string> warnings;
                const auto checks = read(flipped, warnings);
                ASSERT_LE(warnings.size(), 1u);
                if (!warnings.empty()) {
                    EXPECT_TRUE(checks.empty()) << "byte " << i;
                }
            }
        }
    }
}

TEST(ParadoxValidity, MissingValGivesNoChecksAndNoWarning) {
    auto table = openBuilt(buildHeader(boundsTable()), std::make_unique<MemoryFamily>());
    EXPECT_TRUE(table->validityChecks().empty());
    EXPECT_TRUE(table->warnings().empty());
}

}  // namespace
