// The .CDX writer (buildCdx): every FoxPro table of the corpus with a structural index has its tags
// rebuilt from its records, keeping the old headers, and the new file must give the old entries to
// our reader, to the family check and to a reader we did not write (Perl's XBase::Index); where the
// old file holds nothing but its tags (no nodes left over from earlier versions of a tag) the new
// file equals it byte for byte. Tables of our own make trees of several levels and a directory of
// several nodes, which no corpus file has.
//
// Records marked deleted: FoxPro keeps their entries until the table is packed, so the tags are
// rebuilt over every record of the file, deleted or not (the corpus tables have none; a copy with
// a record marked deleted shows the family check takes such a file).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "byte_order.h"
#include "dbase/dbf_cdx_writer.h"
#include "dbase/dbf_expression.h"
#include "dbase/dbf_index_entries.h"
#include "dbase/dbf_table.h"
#include "file_io.h"
#include "process.h"
#include "table_check.h"
#include "table_file.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::dbase;
using namespace tavrinth::test;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<std::pair<std::uint32_t, std::string>>;  // record, key

std::string hex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The first offset where two files differ, for messages.
std::string firstDifference(const Bytes& a, const Bytes& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return "first difference at byte " + std::to_string(i);
    return a.size() == b.size() ? "equal" : "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
}

Entries readEntries(const IndexFileReader& reader, const IndexTag& tag, char filler) {
    Entries out;
    reader.readEntries(tag, {}, filler, [&](const IndexKeyEntry& e) { out.push_back({e.record, e.key}); });
    return out;
}

// Entries in index order: keys by bytes (descending tags the other way), equal keys by record.
void sortEntries(Entries& e, bool descending) {
    std::sort(e.begin(), e.end(), [&](const auto& a, const auto& b) {
        const int c = std::memcmp(a.second.data(), b.second.data(), std::min(a.second.size(), b.second.size()));
        if (c != 0) return descending ? c > 0 : c < 0;
        return a.first < b.first;
    });
}

// What Perl's XBase::Index lists for each tag (keys read as text, shown in hex: the bytes the
// entries store and share, without the trailing filler), one line per entry: tag|key|record.
std::string perlListing(const std::string& cdx, const std::vector<std::string>& tags, const std::string& type = "C") {
    std::vector<std::string> argv{
        "/usr/bin/perl", "-MXBase::Index", "-e",
        "my ($f, $type, @tags) = @ARGV; for my $t (@tags) { my $i = XBase::Index->new($f, tag => $t, type => $type) "
        "or die XBase::Index->errstr; $i->prepare_select; while (my @e = $i->fetch) { print \"$t|\", "
        "($type eq 'C' ? unpack('H*', $e[0]) : $e[0]), \"|$e[1]\\n\" } }",
        cdx, type};
    argv.insert(argv.end(), tags.begin(), tags.end());
    const ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.exitStatus, 0) << cdx << ": " << r.err;
    return r.out;
}

std::size_t lineCount(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

std::unique_ptr<TableFile> openDbf(const std::string& path, DBaseTable*& dbf) {
    auto t = openTableFile(path);
    dbf = dynamic_cast<DBaseTable*>(t.get());
    if (!dbf) throw std::runtime_error(path + " is no dBase table");
    return t;
}

// The field of a name; a table of a Visual FoxPro database keeps the long names in the database
// and the first 10 characters in the table ("departmentname" is the field DEPARTMENT).
int fieldNamed(const DBaseTable& t, const std::string& name) {
    for (std::size_t i = 0; i < t.rawFields().size(); ++i)
        if (equalsIgnoreCase(t.rawFields()[i].name, name)) return static_cast<int>(i);
    if (name.size() > 10)
        for (std::size_t i = 0; i < t.rawFields().size(); ++i)
            if (equalsIgnoreCase(t.rawFields()[i].name, name.substr(0, 10))) return static_cast<int>(i);
    return -1;
}

// Whether a tag's FOR clause admits a record, as dbf_expression.h evaluates it (the corpus's
// clauses have the form TRIM(UPPER(field))=="TEXT").
bool forClauseSelects(const std::string& clause, DBaseTable& t, const std::uint8_t* record) {
    std::string why;
    const std::unique_ptr<Condition> c = Condition::parse(clause, t.rawFields(), t.codePage(), why);
    bool admitted = false;
    EXPECT_TRUE(c && c->admits(record, t.fields(), t.header(), admitted, why)) << clause << ": " << why;
    return admitted;
}

// The offsets of a tree's nodes (no checks beyond staying inside the file: IndexFileReader has
// read the same tree).
void treeNodes(const Bytes& file, std::uint64_t node, std::size_t keyLength, std::set<std::uint64_t>& out) {
    if (node + kCdxNodeBytes > file.size() || !out.insert(node).second) return;
    const std::uint8_t* n = file.data() + node;
    if (loadLE16(n) & 0x02) return;
    for (std::size_t i = 0, keys = loadLE16(n + 2); i < keys && 12 + (i + 1) * (keyLength + 8) <= kCdxNodeBytes; ++i)
        treeNodes(file, loadBE32(n + 12 + i * (keyLength + 8) + keyLength + 4), keyLength, out);
}

// Whether a .CDX holds nothing but its headers and the nodes its trees reach.
bool holdsOnlyItsTrees(const Bytes& file, const IndexFileReader& reader) {
    std::set<std::uint64_t> nodes;
    treeNodes(file, loadLE32(file.data()), loadLE16(file.data() + 12), nodes);
    std::uint64_t covered = kCdxHeaderBytes + nodes.size() * kCdxNodeBytes;
    for (const IndexTag& tag : reader.tags()) {
        std::set<std::uint64_t> tagNodes;
        treeNodes(file, tag.root, tag.keyLength, tagNodes);
        covered += kCdxHeaderBytes + tagNodes.size() * kCdxNodeBytes;
    }
    return covered == file.size();
}

// Whether a tree of one leaf keeps trailing blanks in its keys (trail count 0 on a key that ends
// in a blank): rooms.cdx's tags with a FOR clause were last written by a program that drops only
// trailing NULs.
bool keepsTrailingBlanks(const Bytes& file, const IndexTag& tag) {
    const std::uint8_t* n = file.data() + tag.root;
    if (!(loadLE16(n) & 0x02)) return false;
    const std::size_t keys = loadLE16(n + 2), entryBytes = n[23];
    std::size_t keyAt = kCdxNodeBytes;
    std::string previous;
    for (std::size_t i = 0; i < keys; ++i) {
        std::uint64_t v = 0;
        for (std::size_t b = 0; b < entryBytes; ++b) v |= static_cast<std::uint64_t>(n[24 + i * entryBytes + b]) << (8 * b);
        const std::size_t dup = (v >> n[20]) & n[18], trail = (v >> (n[20] + n[21])) & n[19];
        const std::size_t stored = tag.keyLength - dup - trail;
        keyAt -= stored;
        const std::string key = previous.substr(0, dup) + std::string(reinterpret_cast<const char*>(n + keyAt), stored);
        if (trail == 0 && !key.empty() && key.back() == ' ') return true;
        previous = key + std::string(trail, ' ');
    }
    return false;
}

// --- the corpus -----------------------------------------------------------------------------------

std::vector<std::string> corpusTablesWithCdx() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dbaseCorpus(""))) {
        if (!e.is_regular_file() || toLowerAscii(e.path().extension().string()) != ".cdx") continue;
        const std::string folder = e.path().parent_path().string();
        const std::string table = findInFolder(folder, e.path().stem().string() + ".dbf");
        if (!table.empty()) out.push_back(joinPath(folder, table));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string cdxOf(const std::string& table) {
    return joinPath(folderPart(table), findInFolder(folderPart(table), stemPart(fileNamePart(table)) + ".cdx"));
}

struct Rebuilt {
    Bytes oldFile, newFile;
    std::vector<std::string> tagNames;
    std::size_t entries = 0;
};

// Rebuilds the .CDX of the table at `path` from its records, the headers kept from the old file,
// and checks the tags and entries each step gives.
Rebuilt rebuild(const std::string& path) {
    Rebuilt out;
    DBaseTable* t = nullptr;
    auto table = openDbf(path, t);
    out.oldFile = readFileBytes(cdxOf(path));
    MemorySource oldSource("old.cdx", out.oldFile);
    IndexFileReader old(oldSource, IndexFileKind::Cdx);

    std::vector<CdxTag> tags;
    for (const IndexTag& tag : old.tags()) {
        SCOPED_TRACE("tag " + tag.name);
        const int field = fieldNamed(*t, tag.expression);
        // Every tag of the corpus is on one field.
        EXPECT_GE(field, 0) << tag.expression;
        if (field < 0) continue;
        const RawField& rf = t->rawFields()[static_cast<std::size_t>(field)];
        const std::uint8_t options = out.oldFile[tag.header + 14];

        CdxTag c;
        c.name = tag.name;
        c.expression = tag.expression;
        c.forExpression = tag.filter;
        c.descending = tag.descending;
        c.unique = (options & 0x01) != 0;
        c.candidate = (options & 0x04) != 0;
        c.nullByte = cdxKeysHaveNullByte(*t, static_cast<std::size_t>(field), c.candidate);
        EXPECT_EQ(c.nullByte, (options & 0x02) != 0);
        c.keyLength = cdxKeyLength(rf.type, rf.length, c.nullByte);
        c.filler = cdxKeyFiller(rf.type);
        if (c.filler == ' ' && keepsTrailingBlanks(out.oldFile, tag)) c.filler = '\0';  // no blank dropped
        c.leafStyle = cdxLeafStyleOf(oldSource, tag);
        c.headerTemplate.assign(out.oldFile.begin() + static_cast<std::ptrdiff_t>(tag.header),
                                out.oldFile.begin() + static_cast<std::ptrdiff_t>(tag.header + kCdxHeaderBytes));
        EXPECT_EQ(c.keyLength, tag.keyLength);

        // The records the tag holds: every record (deleted ones too), those the FOR clause
        // selects, in a unique tag (option 0x01; 0x04, a candidate, holds every record) the first
        // of each key.
        const Entries oldEntries = readEntries(old, tag, c.filler);
        std::set<std::string> keysSeen;
        Entries computed;
        for (std::uint32_t i = 0; i < t->physicalCount(); ++i) {
            const std::uint8_t* record = t->physicalRecord(i);
            if (tag.hasFilter && !forClauseSelects(tag.filter, *t, record)) continue;
            std::string key;
            if (!cdxRecordKey(*t, record, static_cast<std::size_t>(field), c.nullByte, key)) {
                ADD_FAILURE() << "record " << i + 1 << " has no key";
                continue;
            }
            if ((options & 0x01) && !keysSeen.insert(key).second) continue;
            computed.push_back({i + 1, key});
        }
        for (const auto& e : computed) {
            c.records.push_back(e.first);
            c.keys.push_back(e.second);
        }
        sortEntries(computed, c.descending);
        // The keys from the records are the old file's keys, in its order.
        EXPECT_EQ(computed, oldEntries);
        out.entries += computed.size();
        out.tagNames.push_back(tag.name);
        tags.push_back(std::move(c));
    }
    out.newFile = buildCdx(tags, Bytes(out.oldFile.begin(), out.oldFile.begin() + kCdxHeaderBytes));

    // (a) Our reader: the same tags with the same entries.
    MemorySource newSource("new.cdx", out.newFile);
    IndexFileReader rebuilt(newSource, IndexFileKind::Cdx);
    EXPECT_EQ(rebuilt.tags().size(), old.tags().size());
    for (std::size_t i = 0; i < std::min(rebuilt.tags().size(), old.tags().size()); ++i) {
        const IndexTag &a = old.tags()[i], &b = rebuilt.tags()[i];
        SCOPED_TRACE("tag " + a.name);
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.expression, a.expression);
        EXPECT_EQ(b.filter, a.filter);
        EXPECT_EQ(b.hasFilter, a.hasFilter);
        EXPECT_EQ(b.keyLength, a.keyLength);
        EXPECT_EQ(b.descending, a.descending);
        EXPECT_EQ(b.unique, a.unique);
        EXPECT_EQ(readEntries(rebuilt, b, tags[i].filler), readEntries(old, a, tags[i].filler));
        EXPECT_EQ(cdxLeafStyleOf(newSource, b), tags[i].leafStyle);

        // The header as it was but for the root; a tree of one leaf (all the corpus has) as it was.
        const std::size_t oh = static_cast<std::size_t>(a.header), nh = static_cast<std::size_t>(b.header);
        EXPECT_TRUE(std::equal(out.oldFile.begin() + oh + 4, out.oldFile.begin() + oh + kCdxHeaderBytes,
                               out.newFile.begin() + nh + 4));
        if (loadLE16(out.oldFile.data() + a.root) & 0x02) {
            EXPECT_TRUE(std::equal(out.oldFile.begin() + static_cast<std::ptrdiff_t>(a.root),
                                   out.oldFile.begin() + static_cast<std::ptrdiff_t>(a.root + kCdxNodeBytes),
                                   out.newFile.begin() + static_cast<std::ptrdiff_t>(b.root)))
                << "the leaf at " << a.root << " and the one at " << b.root;
        }
    }
    return out;
}

TEST(CdxWriter, CorpusTablesRebuildToTheirEntries) {
    const std::vector<std::string> tables = corpusTablesWithCdx();
    ASSERT_EQ(tables.size(), 10u);
    std::set<std::string> equal;
    for (const std::string& original : tables) {
        SCOPED_TRACE(original);
        TempDir dir;
        copyFamily(original, dir.path());
        const std::string copy = joinPath(dir.path(), fileNamePart(original));
        const Rebuilt r = rebuild(copy);
        if (HasFailure()) return;

        MemorySource oldSource("old.cdx", r.oldFile);
        if (holdsOnlyItsTrees(r.oldFile, IndexFileReader(oldSource, IndexFileKind::Cdx))) {
            EXPECT_TRUE(r.newFile == r.oldFile) << firstDifference(r.newFile, r.oldFile);
            if (r.newFile == r.oldFile) equal.insert(cdxOf(original).substr(dbaseCorpus("").size()));
        } else {
            // Nodes of earlier versions of a tag, which no tree reaches: the new file is shorter.
            EXPECT_LT(r.newFile.size(), r.oldFile.size());
        }

        // (b) The family check finds what it finds in the original family (nothing but rooms.dbf's
        // field descriptors, which end with 0x0A).
        const std::string cdx = cdxOf(copy);
        writeFile(cdx, std::string(r.newFile.begin(), r.newFile.end()));
        EXPECT_EQ(checkTableFamily(copy), checkTableFamily(original));

        // (c) Perl's reader lists the same entries, stored bytes and all, in both files.
        const std::string oldListing = perlListing(cdxOf(original), r.tagNames);
        EXPECT_EQ(lineCount(oldListing), r.entries);
        EXPECT_EQ(perlListing(cdx, r.tagNames), oldListing);
    }
    // Every file without left-over nodes comes out byte for byte.
    EXPECT_EQ(equal, (std::set<std::string>{
                         "Valentin-Kaiser__go-dbase/examples/test_data/database/employees.CDX",
                         "albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/employees.cdx",
                         "albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/foxref_ref.cdx",
                         "infused__dbf/spec/fixtures/foxprodb/setup.CDX",
                         "infused__dbf/spec/fixtures/foxprodb/types.CDX",
                     }));
}

TEST(CdxWriter, LeafStylesOfTheCorpus) {
    // Visual FoxPro marks its leaves 0x04 and narrows their entries; other writers did not.
    const std::map<std::string, CdxLeafStyle> expected = {
        {"setup.CDX", CdxLeafStyle::VisualFoxPro}, {"rooms.cdx", CdxLeafStyle::Wide},
        {"payments.cdx", CdxLeafStyle::Wide},      {"foxref_ref.cdx", CdxLeafStyle::Narrow}};
    for (const std::string& table : corpusTablesWithCdx()) {
        const auto it = expected.find(fileNamePart(cdxOf(table)));
        if (it == expected.end()) continue;
        const Bytes file = readFileBytes(cdxOf(table));
        MemorySource src("x.cdx", file);
        IndexFileReader reader(src, IndexFileKind::Cdx);
        for (const IndexTag& tag : reader.tags()) EXPECT_EQ(cdxLeafStyleOf(src, tag), it->second) << table << " " << tag.name;
    }
}

TEST(CdxWriter, DeletedRecordsKeepTheirEntries) {
    const std::string original = dbaseCorpus("Valentin-Kaiser__go-dbase/examples/test_data/database/employees.dbf");
    TempDir dir;
    copyFamily(original, dir.path());
    const std::string copy = joinPath(dir.path(), "employees.dbf");
    // Record 2 marked deleted.
    Bytes dbf = readFileBytes(copy);
    const std::size_t at = loadLE16(dbf.data() + 8) + loadLE16(dbf.data() + 10);
    dbf[at] = '*';
    writeFile(copy, std::string(dbf.begin(), dbf.end()));

    const Rebuilt r = rebuild(copy);
    // The record's entries stay, as FoxPro keeps them: the file is the same.
    EXPECT_TRUE(r.newFile == r.oldFile) << firstDifference(r.newFile, r.oldFile);
    EXPECT_EQ(checkTableFamily(copy), std::vector<std::string>{});
}

// --- tables of our own ----------------------------------------------------------------------------

// A Visual FoxPro table (version 0x30, structural index flagged) with the given fields and records
// (each record's field bytes, without the deletion flag).
struct FieldLayout {
    std::string name;
    char type;
    std::uint8_t length, decimals, flags;
};

void writeVfpTable(const std::string& path, const std::vector<FieldLayout>& fields, const std::vector<std::string>& records) {
    std::string h(32, '\0');
    std::size_t recordLength = 1;
    for (const FieldLayout& f : fields) recordLength += f.length;
    const std::size_t headerLength = 32 + 32 * fields.size() + 1 + 263;
    h[0] = 0x30;
    h[1] = 124, h[2] = 1, h[3] = 2;
    storeLE32(reinterpret_cast<std::uint8_t*>(h.data()) + 4, static_cast<std::uint32_t>(records.size()));
    storeLE16(reinterpret_cast<std::uint8_t*>(h.data()) + 8, static_cast<std::uint16_t>(headerLength));
    storeLE16(reinterpret_cast<std::uint8_t*>(h.data()) + 10, static_cast<std::uint16_t>(recordLength));
    h[28] = 0x01;
    h[29] = 0x03;
    std::size_t offset = 1;
    for (const FieldLayout& f : fields) {
        std::string d(32, '\0');
        std::memcpy(d.data(), f.name.data(), f.name.size());
        d[11] = f.type;
        storeLE32(reinterpret_cast<std::uint8_t*>(d.data()) + 12, static_cast<std::uint32_t>(offset));
        d[16] = static_cast<char>(f.length);
        d[17] = static_cast<char>(f.decimals);
        d[18] = static_cast<char>(f.flags);
        h += d;
        offset += f.length;
    }
    h += '\x0D';
    h += std::string(263, '\0');
    for (const std::string& r : records) {
        EXPECT_EQ(r.size() + 1, recordLength);
        h += ' ';
        h += r;
    }
    h += '\x1A';
    writeFile(path, h);
}

std::string padded(std::string s, std::size_t n, char c = ' ') {
    s.resize(n, c);
    return s;
}

std::string rightAligned(const std::string& s, std::size_t n) { return std::string(n - s.size(), ' ') + s; }

std::string le32(std::uint32_t v) {
    std::string s(4, '\0');
    storeLE32(reinterpret_cast<std::uint8_t*>(s.data()), v);
    return s;
}

// Walks a tree as the format has it and checks what our reader does not: the siblings of every
// node on each level, the attributes, and each inner entry against the last entry below it.
struct TreeShape {
    std::size_t levels = 0, nodes = 0;
};

void checkTree(const Bytes& file, std::uint64_t root, std::size_t keyLength, bool visualFoxPro, TreeShape& shape) {
    std::vector<std::uint64_t> level{root};
    bool top = true;
    while (!level.empty()) {
        ++shape.levels;
        shape.nodes += level.size();
        std::vector<std::uint64_t> below;
        for (std::size_t i = 0; i < level.size(); ++i) {
            const std::uint8_t* n = file.data() + level[i];
            const unsigned attributes = loadLE16(n);
            const bool leaf = attributes & 0x02;
            EXPECT_EQ(attributes, (top ? 1u : 0u) | (leaf ? (visualFoxPro ? 6u : 2u) : 0u)) << level[i];
            EXPECT_EQ(loadLE32(n + 4), i == 0 ? 0xFFFFFFFFu : level[i - 1]) << level[i];
            EXPECT_EQ(loadLE32(n + 8), i + 1 == level.size() ? 0xFFFFFFFFu : level[i + 1]) << level[i];
            if (leaf) continue;
            for (std::size_t j = 0, keys = loadLE16(n + 2); j < keys; ++j) {
                const std::uint8_t* e = n + 12 + j * (keyLength + 8);
                below.push_back(loadBE32(e + keyLength + 4));
            }
        }
        // A level is all leaves or all inner nodes.
        if (!below.empty()) {
            for (std::uint64_t b : level) EXPECT_EQ(loadLE16(file.data() + b) & 0x02, 0) << b;
        }
        level = std::move(below);
        top = false;
    }
}

// The last entry below each inner entry: checked through the reader's entries.
void checkInnerKeys(const Bytes& file, std::uint64_t node, std::size_t keyLength, const Entries& entries,
                    std::size_t& next) {
    const std::uint8_t* n = file.data() + node;
    const std::size_t keys = loadLE16(n + 2);
    if (loadLE16(n) & 0x02) {
        next += keys;
        return;
    }
    for (std::size_t j = 0; j < keys; ++j) {
        const std::uint8_t* e = n + 12 + j * (keyLength + 8);
        checkInnerKeys(file, loadBE32(e + keyLength + 4), keyLength, entries, next);
        ASSERT_GT(next, 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e), keyLength), entries[next - 1].second);
        EXPECT_EQ(loadBE32(e + keyLength), entries[next - 1].first);
    }
}

TEST(CdxWriter, TreesOfSeveralLevels) {
    TempDir dir;
    const std::string path = dir.file("ledger.dbf");
    const std::vector<FieldLayout> fields = {
        {"NAME", 'C', 24, 0, 0}, {"AMOUNT", 'N', 12, 2, 0}, {"DAY", 'D', 8, 0, 0}, {"COUNT", 'I', 4, 0, 0},
        {"PAID", 'L', 1, 0, 0},  {"STAMP", 'T', 8, 0, 0},   {"NOTE", 'C', 10, 0, 2}, {"_NullFlags", '0', 1, 0, 5}};
    std::vector<std::string> records;
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
    const std::uint32_t count = 4000;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t a = next(), b = next(), c = next();
        std::string r;
        // Names sharing long prefixes, some blank, some equal.
        std::string name = i % 97 == 0 ? "" : "Customer " + std::to_string(a % 1500);
        r += padded(name, 24);
        char amount[32];
        std::snprintf(amount, sizeof amount, "%.2f", (static_cast<double>(b % 2000000) - 1000000.0) / 100.0);
        r += i % 89 == 0 ? std::string(12, ' ') : rightAligned(amount, 12);
        const std::int64_t day = 700000 + static_cast<std::int64_t>(c % 40000);
        const CivilDate d = civilFromDayNumber(day);
        char date[16];
        std::snprintf(date, sizeof date, "%04d%02d%02d", static_cast<int>(d.year), d.month, d.day);
        r += date;
        r += le32(static_cast<std::uint32_t>(static_cast<std::int32_t>(a % 100000) - 50000));
        r += (b & 1) ? 'T' : 'F';
        r += le32(static_cast<std::uint32_t>(2400000 + c % 100000)) + le32((a * 7) % 86400000);
        const bool null = i % 5 == 0;
        r += null ? std::string(10, ' ') : padded("N" + std::to_string(b % 300), 10);
        r += null ? '\x01' : '\x00';
        records.push_back(r);
    }
    writeVfpTable(path, fields, records);

    DBaseTable* t = nullptr;
    auto table = openDbf(path, t);
    ASSERT_EQ(t->physicalCount(), count);
    struct Planned {
        std::string name;
        std::string field;
        bool descending = false, unique = false;
        CdxLeafStyle style = CdxLeafStyle::Narrow;
    };
    const std::vector<Planned> planned = {
        {"NAME", "NAME"},                  {"NAMEDOWN", "name", true},
        {"AMOUNT", "AMOUNT", false, false, CdxLeafStyle::VisualFoxPro},
        {"DAY", "DAY"},
        {"COUNT", "COUNT"},                {"COUNTS", "COUNT", false, true},
        {"PAID", "PAID", false, false, CdxLeafStyle::Wide},                {"STAMP", "STAMP", true, false, CdxLeafStyle::VisualFoxPro},
        {"NOTE", "NOTE"},                  {"NONE", "NAME"}};
    std::vector<CdxTag> tags;
    std::map<std::string, Entries> expected;
    for (const Planned& s : planned) {
        const int field = fieldNamed(*t, s.field);
        ASSERT_GE(field, 0);
        const RawField& rf = t->rawFields()[static_cast<std::size_t>(field)];
        CdxTag c;
        c.name = s.name;
        c.expression = toLowerAscii(s.field);
        c.descending = s.descending;
        c.unique = s.unique;
        c.nullByte = cdxKeysHaveNullByte(*t, static_cast<std::size_t>(field), false);
        c.keyLength = cdxKeyLength(rf.type, rf.length, c.nullByte);
        c.filler = cdxKeyFiller(rf.type);
        c.leafStyle = s.style;
        if (s.name == "NONE") c.forExpression = "1 = 0";  // a tag that selects nothing
        std::set<std::string> seen;
        Entries e;
        for (std::uint32_t i = 0; i < count && s.name != "NONE"; ++i) {
            std::string key;
            ASSERT_TRUE(cdxRecordKey(*t, t->physicalRecord(i), static_cast<std::size_t>(field), c.nullByte, key));
            if (s.unique && !seen.insert(key).second) continue;
            e.push_back({i + 1, key});
        }
        // Records given out of order: the writer sorts.
        std::reverse(e.begin(), e.end());
        for (const auto& x : e) {
            c.records.push_back(x.first);
            c.keys.push_back(x.second);
        }
        sortEntries(e, s.descending);
        expected[s.name] = e;
        tags.push_back(std::move(c));
    }
    const Bytes file = buildCdx(tags);
    ASSERT_EQ(file.size() % kCdxNodeBytes, 0u);
    writeFile(dir.file("ledger.cdx"), std::string(file.begin(), file.end()));

    MemorySource src("ledger.cdx", file);
    IndexFileReader reader(src, IndexFileKind::Cdx);
    ASSERT_EQ(reader.tags().size(), planned.size());
    std::vector<std::string> names;
    std::size_t entries = 0;
    for (std::size_t i = 0; i < planned.size(); ++i) {
        const IndexTag& tag = reader.tags()[i];
        SCOPED_TRACE(tag.name);
        EXPECT_EQ(tag.name, planned[i].name);
        EXPECT_EQ(tag.descending, planned[i].descending);
        EXPECT_EQ(tag.unique, planned[i].unique);
        EXPECT_EQ(tag.hasFilter, planned[i].name == "NONE");
        const bool down = tag.descending;
        const IndexFileReader::KeyOrder order = [down](const std::string& a, const std::string& b) {
            const int c = compareIndexKeys(IndexFileKind::Cdx, 'C', a, b);
            return down ? -c : c;
        };
        Entries got;
        reader.readEntries(tag, order, tags[i].filler, [&](const IndexKeyEntry& e) { got.push_back({e.record, e.key}); });
        EXPECT_EQ(got, expected[tag.name]);
        EXPECT_EQ(cdxLeafStyleOf(src, tag), planned[i].style);
        TreeShape shape;
        checkTree(file, tag.root, tag.keyLength, planned[i].style == CdxLeafStyle::VisualFoxPro, shape);
        std::size_t at = 0;
        checkInnerKeys(file, tag.root, tag.keyLength, got, at);
        EXPECT_EQ(at, got.size());
        if (tag.name == "NAME" || tag.name == "STAMP") {
            EXPECT_GE(shape.levels, 2u);
        }
        if (tag.name == "NONE") {
            EXPECT_EQ(shape.nodes, 1u);
        }
        names.push_back(tag.name);
        entries += got.size();
    }
    // The header of a new tag.
    const IndexTag& name = reader.tags()[0];
    EXPECT_EQ(file[name.header + 14], 0x60);
    EXPECT_EQ(file[reader.tags()[5].header + 14], 0x61);
    EXPECT_EQ(file[reader.tags()[9].header + 14], 0x68);
    EXPECT_EQ(reader.tags()[9].filter, "1 = 0");
    EXPECT_EQ(loadLE32(file.data() + 4), 0u);
    EXPECT_EQ(file[14], 0xE0);

    // The family check: every live record once, in order, values equal to the keys.
    EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{});

    // Perl: every entry, and the numbers of the 8-byte keys as it decodes them.
    const std::string listing = perlListing(dir.file("ledger.cdx"), names);
    EXPECT_EQ(lineCount(listing), entries);
    std::string mine;
    for (std::size_t i = 0; i < planned.size(); ++i)
        for (const auto& [record, key] : expected[planned[i].name]) {
            std::size_t end = key.size();
            while (end > 0 && key[end - 1] == tags[i].filler) --end;
            mine += planned[i].name + "|" + hex(key.substr(0, end)) + "|" + std::to_string(record) + "\n";
        }
    EXPECT_EQ(listing, mine);
    const std::string numbers = perlListing(dir.file("ledger.cdx"), {"AMOUNT", "DAY"}, "N");
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = numbers.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
        const std::string line = numbers.substr(at, end - at);
        const std::size_t a = line.find('|'), b = line.rfind('|');
        const std::string tag = line.substr(0, a);
        const double value = std::stod(line.substr(a + 1, b - a - 1));
        const std::uint32_t record = static_cast<std::uint32_t>(std::stoul(line.substr(b + 1)));
        FieldValue v;
        table->decode(t->physicalRecord(record - 1), static_cast<std::size_t>(fieldNamed(*t, tag)), v);
        double want = 0;
        if (tag == "AMOUNT") want = v.kind == ValueKind::Integer ? static_cast<double>(v.integer) : v.real;
        if (tag == "DAY") want = static_cast<double>(v.integer) + 1721425.0;
        EXPECT_NEAR(value, want, 1e-9 * std::max(1.0, std::fabs(want))) << line;
    }
    EXPECT_EQ(lines, 2u * count);
}

TEST(CdxWriter, ADirectoryOfSeveralNodes) {
    TempDir dir;
    const std::string path = dir.file("many.dbf");
    std::vector<std::string> records;
    for (int i = 0; i < 30; ++i) records.push_back(padded("Item " + std::to_string((i * 7) % 30), 12));
    writeVfpTable(path, {{"ITEM", 'C', 12, 0, 0}}, records);
    std::vector<CdxTag> tags;
    std::vector<std::string> names;
    for (int i = 0; i < 150; ++i) {
        CdxTag c;
        c.name = "ITEM_" + std::to_string(1000 + i * 37);
        c.expression = "item";
        c.keyLength = 12;
        for (std::uint32_t r = 0; r < records.size(); ++r) {
            c.records.push_back(r + 1);
            c.keys.push_back(records[r]);
        }
        names.push_back(c.name);
        tags.push_back(std::move(c));
    }
    const Bytes file = buildCdx(tags);
    writeFile(dir.file("many.cdx"), std::string(file.begin(), file.end()));
    MemorySource src("many.cdx", file);
    IndexFileReader reader(src, IndexFileKind::Cdx);
    ASSERT_EQ(reader.tags().size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(reader.tags()[i].name, names[i]);
    TreeShape shape;
    checkTree(file, loadLE32(file.data()), kCdxTagNameLength, false, shape);
    EXPECT_GE(shape.nodes, 3u);
    EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{});
    const std::vector<std::string> some = {names.front(), names[77], names.back()};
    EXPECT_EQ(lineCount(perlListing(dir.file("many.cdx"), some)), 3 * records.size());
}

TEST(CdxWriter, Keys) {
    Header vfp;
    vfp.version = 0x30;
    vfp.visualFoxPro = vfp.foxPro = true;
    auto key = [&](char type, const std::string& stored) {
        std::string k;
        EXPECT_TRUE(cdxFieldKey(type, reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size(), vfp, k))
            << type << " " << stored;
        return hex(k);
    };
    EXPECT_EQ(key('C', "ab  "), "61622020");
    EXPECT_EQ(key('N', "   1.5"), "bff8000000000000");
    EXPECT_EQ(key('N', "  -1.5"), "4007ffffffffffff");
    EXPECT_EQ(key('N', "     0"), "8000000000000000");
    EXPECT_EQ(key('N', "      "), "8000000000000000");
    EXPECT_EQ(key('D', "19950317"), key('N', "2449794"));
    EXPECT_EQ(key('I', le32(1)), "80000001");
    EXPECT_EQ(key('I', le32(static_cast<std::uint32_t>(-1))), "7fffffff");
    EXPECT_EQ(key('L', "T"), "54");
    EXPECT_EQ(key('L', "?"), "46");
    EXPECT_EQ(key('T', le32(2449749) + le32(0)), "c142b0aa80000000");  // a key of the corpus
    EXPECT_EQ(key('T', le32(2449749) + le32(43200000)), key('N', "2449749.5"));
    EXPECT_EQ(key('Y', std::string("\x10\x27\0\0\0\0\0\0", 8)), key('N', "1"));
    std::string k;
    EXPECT_FALSE(cdxFieldKey('M', reinterpret_cast<const std::uint8_t*>("    "), 4, vfp, k));
    EXPECT_FALSE(cdxFieldKey('I', reinterpret_cast<const std::uint8_t*>("   "), 3, vfp, k));
    EXPECT_EQ(cdxKeyLength('C', 50, true), 51u);
    EXPECT_EQ(cdxKeyLength('I', 4, false), 4u);
    EXPECT_EQ(cdxKeyLength('M', 4, false), 0u);

    // Equal keys by record number in both directions; descending tags in falling key order.
    CdxTag t;
    t.name = "T";
    t.keyLength = 1;
    t.keys = {"b", "a", "b", "a"};
    t.records = {4, 3, 2, 1};
    for (bool descending : {false, true}) {
        t.descending = descending;
        const Bytes file = buildCdx({t});
        MemorySource src("t.cdx", file);
        IndexFileReader reader(src, IndexFileKind::Cdx);
        const Entries got = readEntries(reader, reader.tags()[0], ' ');
        const Entries want = descending ? Entries{{2, "b"}, {4, "b"}, {1, "a"}, {3, "a"}}
                                        : Entries{{1, "a"}, {3, "a"}, {2, "b"}, {4, "b"}};
        EXPECT_EQ(got, want);
    }
    EXPECT_THROW(buildCdx({CdxTag{}}), std::invalid_argument);
    t.keys.pop_back();
    EXPECT_THROW(buildCdx({t}), std::invalid_argument);
}

}  // namespace
