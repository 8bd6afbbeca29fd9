// Rebuilding index files from the records: for tables the writer made, the rebuilt files equal the
// writer's byte for byte (also when an index file was damaged or is missing); what cannot be
// rebuilt exactly is refused, naming the file; real tables of the corpus keep their index
// definitions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "byte_order.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "index_rebuild.h"
#include "spool.h"
#include "manifest.h"
#include "process.h"
#include "value_text.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;

namespace {

using Bytes = std::vector<std::uint8_t>;
using test::TempDir;

bool isIndexFile(const std::string& name) {
    const std::string e = toLowerAscii(extensionPart(name));
    return e == ".px" || e == ".mdx" || (e.size() == 4 && (e[1] == 'x' || e[1] == 'y'));
}

// The index files of a folder by path.
std::map<std::string, Bytes> indexFiles(const std::string& folder) {
    std::map<std::string, Bytes> out;
    for (const std::string& name : listFolder(folder))
        if (isIndexFile(name)) out[joinPath(folder, name)] = test::readFileBytes(joinPath(folder, name));
    return out;
}

std::unique_ptr<TableFile> open(const std::string& path, const std::string& password = {}) {
    OpenOptions options;
    if (!password.empty()) options.knownPasswords.push_back(password);
    return openTableFile(path, options);
}

std::map<std::string, Bytes> rebuilt(const std::string& path, const std::string& password = {}) {
    std::map<std::string, Bytes> out;
    for (RebuiltIndexFile& f : rebuildIndexFiles(*open(path, password))) {
        EXPECT_EQ(out.count(f.path), 0u) << f.path << " twice";
        out[f.path] = f.contents();
    }
    return out;
}

// Every index file in the folder comes back exactly as `want` holds it, and no other file.
void expectSame(const std::map<std::string, Bytes>& got, const std::map<std::string, Bytes>& want) {
    for (const auto& [path, bytes] : want) {
        const auto it = got.find(path);
        if (it == got.end()) {
            ADD_FAILURE() << path << " is not rebuilt";
            continue;
        }
        EXPECT_EQ(it->second.size(), bytes.size()) << path;
        const auto diff = std::mismatch(bytes.begin(), bytes.end(), it->second.begin(), it->second.end());
        EXPECT_TRUE(diff.first == bytes.end() && diff.second == it->second.end())
            << path << " differs at byte " << (diff.first - bytes.begin());
    }
    for (const auto& entry : got) EXPECT_EQ(want.count(entry.first), 1u) << entry.first << " is not an index file here";
}

std::vector<FieldValue> row(std::initializer_list<FieldValue> values) { return values; }

// --- Tables the writer makes ---------------------------------------------------------------------

struct MadeTable {
    const char* label;
    const char* file;
    std::function<TableSpec()> spec;
};

TableSpec paradoxIndexed(int level, const std::string& password) {
    TableSpec s;
    s.level = level;
    s.codePage = "CP1252";
    s.blockSizeKB = 1;
    s.keyFields = 1;
    s.password = password;
    s.fields = {columnSpec("Id", 'S'), columnSpec("City", 'A', 12), columnSpec("Name", 'A', 16), columnSpec("Score", 'N'), columnSpec("When", 'D')};
    const char* cities[] = {"berlin", "Berlin", "BERLIN", "bonn", "Aachen", "zwickau", "_under"};
    for (int i = 0; i < 400; ++i)
        s.records.push_back(row({integerValue((i * 7919) % 1000), i % 11 ? textValue(cities[i % 7]) : FieldValue(),
                                 textValue("name" + std::to_string(1000 + i)), floatValue((i * 37 % 101) - 50.5),
                                 dateValue(1990 + i % 30, 1 + i % 12, 1 + i % 28)}));
    s.indexes = {indexSpec("City", {"City"}), indexSpec("ByNameCity", {"Name", "City"})};
    if (level >= 5) s.indexes.push_back(indexSpec("CityCi", {"City"}, true));
    if (level == 7) {
        s.indexes.push_back(indexSpec("ScoreDesc", {"Score"}, false, true));
        s.indexes.push_back(indexSpec("UniqueName", {"Name"}, false, false, true));
        s.indexes.push_back(indexSpec("NameCiDesc", {"Name", "When"}, true, true));
    }
    return s;
}

TableSpec dbaseIndexed(int level, int records) {
    TableSpec s;
    s.format = TableFormat::DBase;
    s.level = level;
    s.codePage = "CP437";
    s.fields = {columnSpec("CODE", 'C', 7), columnSpec("NAME", 'C', 20), columnSpec("AMOUNT", 'N', 10, 2), columnSpec("RATE", 'F', 8, 3),
                columnSpec("BORN", 'D'), columnSpec("NOTE", 'M')};
    for (int i = 0; i < records; ++i) {
        s.records.push_back(row({textValue("C" + std::to_string(100000 + i * 7 % records)),
                                 textValue(i % 5 ? "name " + std::to_string(i % 97) : "Name"),
                                 floatValue(((i * 131) % 2001 - 1000) / 4.0), floatValue(i % 9 * 0.125),
                                 dateValue(1950 + i % 70, 1 + i % 12, 1 + i % 28),
                                 i % 3 ? textValue("memo " + std::to_string(i)) : FieldValue()}));
        s.deleted.push_back(i % 6 == 5);
    }
    s.indexes = {indexSpec("CODE", {"CODE"}, false, false, true), indexSpec("NAME", {"NAME"}),
                 indexSpec("AMOUNT", {"AMOUNT"}, false, true), indexSpec("RATE", {"RATE"}), indexSpec("BORN", {"BORN"}, false, true),
                 indexSpec("NAMECODE", {}, false, false, false, "NAME+CODE")};
    return s;
}

const MadeTable kMadeTables[] = {
    {"Paradox 7 keyed, every kind of secondary", "p7.db", [] { return paradoxIndexed(7, ""); }},
    {"Paradox 5 keyed, composite and case-insensitive", "p5.db", [] { return paradoxIndexed(5, ""); }},
    {"Paradox 4 keyed, upper-case names", "P4.DB", [] { return paradoxIndexed(4, ""); }},
    {"Paradox 7 encrypted", "crypt.db", [] { return paradoxIndexed(7, "secret"); }},
    {"Paradox two-level trees, 4 KB blocks",
     "deep.db",
     [] {
         TableSpec s;
         s.level = 7;
         s.codePage = "CP437";
         s.keyFields = 2;
         s.fields = {columnSpec("Region", 'A', 40), columnSpec("No", 'I'), columnSpec("Label", 'A', 60)};
         for (int i = 0; i < 6000; ++i)
             s.records.push_back(row({textValue("region " + std::to_string(i % 17)), integerValue(i),
                                      textValue("label " + std::to_string(i * 31 % 977))}));
         s.indexes = {indexSpec("Label", {"Label"}), indexSpec("LabelNo", {"Label", "No"}, true)};
         return s;
     }},
    {"Paradox unkeyed and empty, with secondaries",
     "free.db",
     [] {
         TableSpec s;
         s.level = 7;
         s.fields = {columnSpec("A", 'A', 10), columnSpec("B", 'I'), columnSpec("C", 'D')};
         s.indexes = {indexSpec("B", {"B"}), indexSpec("AC", {"A", "C"}, true)};
         return s;
     }},
    {"Paradox keyed and empty", "none.db", [] {
         TableSpec s = paradoxIndexed(7, "");
         s.records.clear();
         return s;
     }},
    {"dBase IV production index with deleted records", "d4.dbf", [] { return dbaseIndexed(4, 300); }},
    {"dBase level 7 production index, deep trees", "d7.dbf", [] { return dbaseIndexed(7, 3000); }},
    {"dBase level 7, empty", "e7.dbf", [] { return dbaseIndexed(7, 0); }},
};

TEST(IndexRebuild, WritersIndexFilesComeBackByteForByte) {
    // Also with keys sorted in runs of a few entries each, merged from disk.
    for (const std::size_t sortMemory : {std::size_t(0), std::size_t(64)})
    for (const MadeTable& t : kMadeTables) {
        SCOPED_TRACE(std::string(t.label) + (sortMemory ? ", keys sorted in small runs" : ""));
        ExternalSorter::memoryLimitForTesting() = sortMemory;
        struct Reset { ~Reset() { ExternalSorter::memoryLimitForTesting() = 0; } } reset;
        TempDir dir;
        const TableSpec spec = t.spec();
        const std::string path = dir.file(t.file);
        ASSERT_NO_THROW(createTable(path, spec));
        const auto original = indexFiles(dir.path());
        ASSERT_FALSE(original.empty());
        expectSame(rebuilt(path, spec.password), original);
        EXPECT_EQ(indexFiles(dir.path()), original) << "nothing is written";
    }
}

TEST(IndexRebuild, TablesWithoutIndexFilesGiveNone) {
    TempDir dir;
    TableSpec px;
    px.fields = {columnSpec("A", 'A', 10)};
    px.records = {row({textValue("x")})};
    ASSERT_NO_THROW(createTable(dir.file("plain.db"), px));
    TableSpec db = px;
    db.format = TableFormat::DBase;
    db.level = 3;
    db.fields = {columnSpec("A", 'C', 10)};
    ASSERT_NO_THROW(createTable(dir.file("plain.dbf"), db));
    EXPECT_TRUE(rebuildIndexFiles(*open(dir.file("plain.db"))).empty());
    EXPECT_TRUE(rebuildIndexFiles(*open(dir.file("plain.dbf"))).empty());
}

// Damage to keys or a missing tree file: the rebuilt files are the undamaged ones.
TEST(IndexRebuild, DamagedOrMissingIndexFilesAreRebuiltAsTheyWere) {
    struct Harm {
        const char* label;
        const char* table;
        bool dbase;
        std::function<void(const std::string& folder)> harm;
    };
    auto flip = [](const std::string& file, std::size_t at, std::size_t n) {
        std::string b = test::readFile(file);
        ASSERT_LT(at + n, b.size());
        for (std::size_t i = 0; i < n; ++i) b[at + i] = static_cast<char>(b[at + i] ^ 0x5A);
        test::writeFile(file, b);
    };
    const Harm harms[] = {
        // The first records of .X block 1 (after the 2 KB header and the block header).
        {"keys of an .X", "t.db", false, [&](const std::string& d) { flip(d + "/t.xg1", 2048 + 6, 40); }},
        {"keys of a .Y and the .PX", "t.db", false,
         [&](const std::string& d) {
             flip(d + "/t.yg0", 2048 + 6, 20);
             flip(d + "/t.px", 2048 + 6, 4);
         }},
        {"missing .PX and .Y", "t.db", false,
         [](const std::string& d) {
             test::removeTree(d + "/t.px");
             test::removeTree(d + "/t.y02");
         }},
        // A leaf of the first tag: its header block follows the 2 KB header, its nodes follow that.
        {"keys of an .MDX", "t.dbf", true, [&](const std::string& d) { flip(d + "/t.mdx", 2048 + 1024 + 8, 64); }},
    };
    for (const Harm& h : harms) {
        SCOPED_TRACE(h.label);
        TempDir dir;
        const std::string path = dir.file(h.table);
        ASSERT_NO_THROW(createTable(path, h.dbase ? dbaseIndexed(4, 200) : paradoxIndexed(7, "")));
        const auto original = indexFiles(dir.path());
        h.harm(dir.path());
        ASSERT_NE(indexFiles(dir.path()), original);
        expectSame(rebuilt(path), original);
    }
}

// Index files written for other records: rebuilt, they equal the files the writer makes for the
// records the table now holds (counts, blocks, roots and levels follow; the rest of each header
// stays, and in these tables it is the same for both).
TEST(IndexRebuild, StaleIndexFilesFollowTheRecords) {
    struct Stale {
        const char* label;
        const char* file;
        TableSpec before, now;
    };
    TableSpec fewer = paradoxIndexed(7, "");
    fewer.records.resize(150);
    TableSpec fewerRows = dbaseIndexed(7, 3000);
    fewerRows.records.resize(120);
    fewerRows.deleted.resize(120);
    const Stale cases[] = {
        {"Paradox, records removed", "s.db", paradoxIndexed(7, ""), fewer},
        {"Paradox, records added", "s.db", fewer, paradoxIndexed(7, "")},
        {"dBase, records removed", "s.dbf", dbaseIndexed(7, 3000), fewerRows},
    };
    for (const Stale& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir stale, fresh;
        ASSERT_NO_THROW(createTable(stale.file(c.file), c.before));
        ASSERT_NO_THROW(createTable(fresh.file(c.file), c.now));
        test::copyFile(fresh.file(c.file), stale.file(c.file));
        std::map<std::string, Bytes> want;
        for (auto& [path, bytes] : indexFiles(fresh.path())) {
            Bytes b = bytes;
            // The time the files were made (.X headers): the stale ones keep theirs.
            const std::string e = toLowerAscii(extensionPart(path));
            if (e[1] == 'x') std::copy_n(test::readFileBytes(stale.file(fileNamePart(path))).begin() + 0x60, 4, b.begin() + 0x60);
            want[stale.file(fileNamePart(path))] = b;
        }
        ASSERT_NE(indexFiles(stale.path()), want);
        expectSame(rebuilt(stale.file(c.file)), want);
    }
}

// --- Refusals ------------------------------------------------------------------------------------

void patch(const std::string& file, const std::string& from, const std::string& to) {
    std::string b = test::readFile(file);
    const std::size_t at = b.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ASSERT_EQ(from.size(), to.size());
    b.replace(at, from.size(), to);
    test::writeFile(file, b);
}

TEST(IndexRebuild, RefusesWhatCannotBeRebuiltExactly) {
    struct Refusal {
        const char* label;
        std::function<std::string(const TempDir&)> make;  // returns the table's path
        std::vector<std::string> message;                  // parts the message holds
    };
    const Refusal refusals[] = {
        {"text index under a sort order of unknown collation",
         [](const TempDir& d) {
             createTable(d.file("t.db"), paradoxIndexed(7, ""));
             patch(d.file("t.db"), "DBWINUS0", "ANSII850");
             return d.file("t.db");
         },
         {"t.x02", "index City", "sort order 'ANSII850'"}},
        {"damaged header of an index file",
         [](const TempDir& d) {
             createTable(d.file("t.db"), paradoxIndexed(7, ""));
             std::string b = test::readFile(d.file("t.xg2"));
             b[4] = 0x77;  // file type
             test::writeFile(d.file("t.xg2"), b);
             return d.file("t.db");
         },
         {"t.xg2", "header is damaged"}},
        {"records out of key order",
         [](const TempDir& d) {
             TableSpec s;
             s.keyFields = 1;
             s.fields = {columnSpec("Id", 'I'), columnSpec("X", 'A', 4)};
             for (int i = 1; i <= 3; ++i) s.records.push_back(row({integerValue(i), textValue("x")}));
             createTable(d.file("k.db"), s);
             std::string b = test::readFile(d.file("k.db"));
             std::swap_ranges(b.begin() + 2048 + 6, b.begin() + 2048 + 14, b.begin() + 2048 + 14);  // records 1 and 2
             test::writeFile(d.file("k.db"), b);
             return d.file("k.db");
         },
         {"k.px", "needs sorting"}},
        {"secondary index of an unkeyed table with records",
         [](const TempDir& d) {
             TableSpec s;
             s.fields = {columnSpec("A", 'A', 10), columnSpec("B", 'I')};
             s.indexes = {indexSpec("B", {"B"})};
             createTable(d.file("e.db"), s);
             s.indexes.clear();
             s.records = {row({textValue("a"), integerValue(1)})};
             createTable(d.file("u.db"), s);
             test::copyFile(d.file("e.x02"), d.file("u.x02"));
             test::copyFile(d.file("e.y02"), d.file("u.y02"));
             return d.file("u.db");
         },
         {"u.x02", "Tup No"}},
        {"key expression not evaluated here",
         [](const TempDir& d) {
             createTable(d.file("t.dbf"), dbaseIndexed(4, 20));
             patch(d.file("t.mdx"), std::string("NAME+CODE\0", 10), std::string("NAME-CODE\0", 10));
             return d.file("t.dbf");
         },
         {"t.mdx", "tag NAMECODE", "NAME-CODE"}},
        {"FOR clause not evaluated here",
         [](const TempDir& d) {
             createTable(d.file("t.dbf"), dbaseIndexed(4, 20));
             std::string b = test::readFile(d.file("t.mdx"));
             const std::size_t tag = static_cast<std::size_t>(loadLE32(reinterpret_cast<const std::uint8_t*>(b.data()) + 544)) * 512;
             b[tag + 245] = 1;
             const std::string clause("RATE>1.0 .AND. SOUNDEX(NAME)='N500'\0", 36);
             b.replace(tag + 762, clause.size(), clause);
             test::writeFile(d.file("t.mdx"), b);
             return d.file("t.dbf");
         },
         {"t.mdx", "tag CODE", "FOR clause \"RATE>1.0 .AND. SOUNDEX(NAME)='N500'\"", "SOUNDEX() is not evaluated here"}},
        {"text keys under a language driver of unknown collation",
         [](const TempDir& d) {
             createTable(d.file("t.dbf"), dbaseIndexed(4, 20));
             std::string b = test::readFile(d.file("t.dbf"));
             b[29] = 0x58;  // Western European ANSI
             test::writeFile(d.file("t.dbf"), b);
             return d.file("t.dbf");
         },
         {"t.mdx", "tag CODE", "0x58"}},
        {"FoxPro structural index over a name of the database container",
         [](const TempDir& d) {
             const std::string from = test::dbaseCorpus("infused__dbf/spec/fixtures/foxprodb/");
             test::copyFile(from + "types.dbf", d.file("types.dbf"));
             test::copyFile(from + "types.CDX", d.file("types.CDX"));
             return d.file("types.dbf");
         },
         {"types.CDX", "tag TYPE_ID", "contact_type_id"}},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        TempDir dir;
        std::string path;
        ASSERT_NO_THROW(path = r.make(dir));
        const auto before = indexFiles(dir.path());
        std::unique_ptr<TableFile> table = open(path);
        try {
            rebuildIndexFiles(*table);
            ADD_FAILURE() << "not refused";
        } catch (const EDBEngineError& e) {
            EXPECT_TRUE(e.code() == EDBEngineError::Code::Unsupported || e.code() == EDBEngineError::Code::InvalidValue);
            for (const std::string& part : r.message) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
        EXPECT_EQ(indexFiles(dir.path()), before);
    }
}

// --- Real tables ---------------------------------------------------------------------------------

// Every corpus table with index files: rebuilt into a copy of its family, it reads the same index
// definitions as before; the refusals name the file.
TEST(IndexRebuild, CorpusTablesKeepTheirIndexDefinitions) {
    // Also with keys sorted in runs of a few entries each, merged from disk.
    for (const std::size_t sortMemory : {std::size_t(0), std::size_t(100)}) {
    SCOPED_TRACE(sortMemory ? "keys sorted in small runs" : "keys sorted in memory");
    ExternalSorter::memoryLimitForTesting() = sortMemory;
    struct Reset { ~Reset() { ExternalSorter::memoryLimitForTesting() = 0; } } reset;
    std::size_t rebuiltTables = 0, identical = 0;
    for (const char* format : {"paradox", "dbase"}) {
        const std::string root = test::corpusDir() + "/" + format + "/";
        for (const test::ManifestRow& m : test::readManifest(root + "MANIFEST.tsv")) {
            const std::string rel = m["path"];
            const std::string ext = toLowerAscii(extensionPart(rel));
            if (ext != ".db" && ext != ".dbf") continue;
            const std::string folder = folderPart(root + rel), stem = stemPart(fileNamePart(rel));
            std::vector<std::string> family;
            bool indexed = false;
            for (const std::string& name : listFolder(folder))
                if (equalsIgnoreCase(stemPart(name), stem)) {
                    family.push_back(name);
                    indexed = indexed || isIndexFile(name) || toLowerAscii(extensionPart(name)) == ".cdx";
                }
            if (!indexed) continue;
            SCOPED_TRACE(rel);
            TempDir dir;
            for (const std::string& name : family) test::copyFile(joinPath(folder, name), dir.file(name));
            const std::string path = dir.file(fileNamePart(rel));
            std::vector<TIndexDef> before;
            std::vector<RebuiltIndexFile> files;
            try {
                std::unique_ptr<TableFile> t = open(path, "123");
                before = t->readIndexes();
                files = rebuildIndexFiles(*t);
            } catch (const EDBEngineError& e) {
                EXPECT_NE(std::string(e.what()).find(dir.path()), std::string::npos) << e.what();
                continue;
            }
            for (const RebuiltIndexFile& f : files)
                { const auto b = f.contents(); test::writeFile(f.path, std::string(b.begin(), b.end())); }
            std::unique_ptr<TableFile> again = open(path, "123");
            const std::vector<TIndexDef> after = again->readIndexes();
            ASSERT_EQ(after.size(), before.size());
            for (std::size_t i = 0; i < after.size(); ++i) {
                EXPECT_EQ(after[i].Name, before[i].Name);
                EXPECT_EQ(after[i].Fields, before[i].Fields);
                EXPECT_EQ(after[i].Expression, before[i].Expression);
                EXPECT_EQ(after[i].DescFields, before[i].DescFields);
                EXPECT_EQ(after[i].Options, before[i].Options);
                EXPECT_EQ(after[i].Source, before[i].Source);
            }
            // A second rebuild gives the same bytes: the files describe the records completely.
            for (const RebuiltIndexFile& f : rebuildIndexFiles(*again))
                EXPECT_EQ(test::readFileBytes(f.path), f.contents()) << f.path;
            for (const RebuiltIndexFile& f : files)
                if (test::fileExists(joinPath(folder, fileNamePart(f.path))) &&
                    test::readFileBytes(joinPath(folder, fileNamePart(f.path))) == f.contents())
                    ++identical;
            ++rebuiltTables;
        }
    }
    // Most index files the engine wrote for small tables come back exactly as it wrote them.
    EXPECT_GE(rebuiltTables, 45u);
    EXPECT_GE(identical, 55u);
    }
}

}  // namespace

namespace {

// The sample STOCK.DBF's tag PLACE given another key expression (its 20-byte keys), as another
// program could have made it.
void setPlaceExpression(const std::string& mdx, const std::string& expression) {
    std::string b = test::readFile(mdx);
    for (std::size_t entry = 544; entry + 32 <= 2048; entry += 32) {
        if (b.compare(entry + 4, 5, "PLACE") != 0) continue;
        const std::size_t header = loadLE32(reinterpret_cast<const std::uint8_t*>(b.data()) + entry) * 512u;
        std::fill(b.begin() + static_cast<long>(header + 24), b.begin() + static_cast<long>(header + 245), '\0');
        b.replace(header + 24, expression.size(), expression);
        test::writeFile(mdx, b);
        return;
    }
    ADD_FAILURE() << "no tag PLACE in " << mdx;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string pad(std::string s, std::size_t n) { return s.size() >= n ? s.substr(0, n) : s + std::string(n - s.size(), ' '); }

}  // namespace

// Tags over expressions of the functions dBase keys use are written from the records, and kept
// right by a change of a field they read: Perl's XBase::Index reads every record once under the
// key computed here from the values alone.
namespace {
// The entries of the tag PLACE as Perl's XBase::Index reads them (below).
std::vector<std::pair<std::string, int>> placeEntries(const std::string& mdx);
}  // namespace

TEST(IndexRebuild, ExpressionTagsAreWrittenAndKeptUpToDate) {
    struct Row {
        std::string part, warehouse, qty, counted;  // as the dump shows them
    };
    using Key = std::function<std::string(const Row&)>;
    const std::vector<std::pair<std::string, Key>> cases = {
        {"UPPER(WAREHOUSE)", [](const Row& r) { return upper(pad(r.warehouse, 10)); }},
        {"LOWER(LEFT(PARTNO,3))+RIGHT(WAREHOUSE,2)",
         [](const Row& r) { return lower(r.part.substr(0, 3)) + pad(r.warehouse, 10).substr(8); }},
        {"SUBSTR(PARTNO,2,3)+TRIM(WAREHOUSE)", [](const Row& r) { return r.part.substr(1, 3) + r.warehouse; }},
        {"STR(QTY,6)+DTOS(COUNTED)",
         [](const Row& r) { return std::string(6 - r.qty.size(), ' ') + r.qty + r.counted.substr(0, 4) + r.counted.substr(5, 2) + r.counted.substr(8, 2); }},
        {"DTOC(COUNTED)+ALLTRIM(PARTNO)",
         [](const Row& r) { return r.counted.substr(5, 2) + "/" + r.counted.substr(8, 2) + "/" + r.counted.substr(2, 2) + r.part; }},
    };
    for (const auto& [expression, keyOf] : cases) {
        SCOPED_TRACE(expression);
        TempDir dir;
        const std::string folder = dir.file("s");
        ASSERT_EQ(test::runProcess({test::cliPath(), "make-samples", folder}).exitStatus, 0);
        const std::string table = folder + "/STOCK.DBF", mdx = folder + "/STOCK.MDX";
        setPlaceExpression(mdx, expression);
        ASSERT_EQ(test::runProcess({test::cliPath(), "rebuild-indexes", table}).exitStatus, 0);
        // A change of a field the key reads writes the tag again.
        {
            auto t = openTableFile(table);
            t->updateRecord(2, {{1, textValue("oslo")}, {2, integerValue(7)}});
        }
        const test::ProcessResult check = test::runProcess({test::cliPath(), "check", table});
        EXPECT_EQ(check.out, "ok\n") << check.out << check.err;

        std::vector<std::pair<std::string, int>> want;
        auto t = openTableFile(table);
        for (std::uint32_t r = 0; r < t->recordCount(); ++r) {
            FieldValue v[5];
            for (std::size_t f = 0; f < 5; ++f) t->decode(t->record(r), f, v[f]);
            const Row row{v[0].text, v[1].text, dumpValueText(v[2]), dumpValueText(v[4])};
            want.push_back({pad(keyOf(row), 20), t->recNo(r)});
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(placeEntries(mdx), want);
    }
    // An expression this program does not evaluate is refused, naming why; keys that are not what
    // the expression gives are found by check.
    TempDir dir;
    ASSERT_EQ(test::runProcess({test::cliPath(), "make-samples", dir.file("s")}).exitStatus, 0);
    setPlaceExpression(dir.file("s/STOCK.MDX"), "LOWER(WAREHOUSE)+PARTNO");
    const test::ProcessResult stale = test::runProcess({test::cliPath(), "check", dir.file("s/STOCK.DBF")});
    EXPECT_EQ(stale.exitStatus, 1);
    EXPECT_NE(stale.out.find("tag PLACE: the entry of record 1 holds another key than its expression LOWER(WAREHOUSE)+PARTNO gives ('hamburg   A-100"),
              std::string::npos)
        << stale.out;
    setPlaceExpression(dir.file("s/STOCK.MDX"), "IIF(QTY>0,PARTNO,WAREHOUSE)");
    const test::ProcessResult r = test::runProcess({test::cliPath(), "rebuild-indexes", dir.file("s/STOCK.DBF")});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("IIF() is not evaluated here"), std::string::npos) << r.err;
}

namespace {

// Gives the tag PLACE of a .MDX the FOR clause `clause` (byte 245 and the text at 762 of its header).
void setPlaceFor(const std::string& mdx, const std::string& clause) {
    std::string b = test::readFile(mdx);
    for (std::size_t entry = 544; entry + 32 <= 2048; entry += 32) {
        if (b.compare(entry + 4, 5, "PLACE") != 0) continue;
        const std::size_t header = loadLE32(reinterpret_cast<const std::uint8_t*>(b.data()) + entry) * 512u;
        b[header + 245] = 1;
        std::fill(b.begin() + static_cast<long>(header + 762), b.begin() + static_cast<long>(header + 1024), '\0');
        b.replace(header + 762, clause.size(), clause);
        test::writeFile(mdx, b);
        return;
    }
    ADD_FAILURE() << "no tag PLACE in " << mdx;
}

// The entries of the tag PLACE as Perl's XBase::Index reads them (it takes no FOR clause into
// account: it lists what the tag holds).
std::vector<std::pair<std::string, int>> placeEntries(const std::string& mdx) {
    const test::ProcessResult perl = test::runProcess(
        {"/usr/bin/perl", "-MXBase::Index", "-e",
         "my $i = XBase::Index->new($ARGV[0], tag => 'PLACE') or die XBase::Index->errstr; $i->prepare_select; "
         "while (my @e = $i->fetch) { print \"$e[0]|$e[1]\\n\" }",
         mdx});
    EXPECT_EQ(perl.exitStatus, 0) << perl.err;
    std::vector<std::pair<std::string, int>> got;
    for (std::size_t at = 0, end; (end = perl.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = perl.out.substr(at, end - at);
        const std::size_t bar = line.rfind('|');
        got.push_back({line.substr(0, bar), std::stoi(line.substr(bar + 1))});
    }
    return got;
}

}  // namespace

// A tag with a FOR clause holds the records the clause admits and no other, after a rebuild and
// after a change of a field the clause reads; check finds a tag that holds others; a clause not
// evaluated here is refused, naming the tag, the clause and why, and leaves the files as they were.
TEST(IndexRebuild, ForClausesChooseTheRecordsOfTheirTag) {
    struct Row {
        std::string part, warehouse;
        double qty, value;
        int year, month, day;
    };
    using Admits = std::function<bool(const Row&)>;
    const std::vector<std::pair<std::string, Admits>> cases = {
        {"QTY > 100 .AND. .NOT. DELETED()", [](const Row& r) { return r.qty > 100; }},
        {"WAREHOUSE = \"HAM\"", [](const Row& r) { return r.warehouse.compare(0, 3, "HAM") == 0; }},
        {"warehouse=\"LYON      x\" .or. \"EAT\" $ WAREHOUSE .Or. PARTNO = 'D-0'",
         [](const Row& r) { return r.warehouse.find("EAT") != std::string::npos || r.part.compare(0, 3, "D-0") == 0; }},
        // (== compares the whole texts: PARTNO holds "A-100     ")
        {"TRIM(WAREHOUSE) == \"LYON\" .OR. EMPTY(QTY) .OR. PARTNO == \"A-100\" .OR. PARTNO == \"B-200     \"",
         [](const Row& r) { return r.warehouse == "LYON" || r.qty == 0 || r.part == "B-200"; }},
        {"PARTNO # 'A' .AND. !(VALUE < 2000) .OR. QTY <= 40",
         [](const Row& r) { return (r.part[0] != 'A' && r.value >= 2000) || r.qty <= 40; }},
        {"COUNTED >= CTOD(\"02/01/2024\") .AND. COUNTED < {^2024-02-02} .OR. COUNTED - 2 = {01/29/24} + 36525",
         [](const Row& r) { return (r.month == 2 && r.day == 1) || (r.month == 1 && r.day == 31); }},
        {"YEAR(COUNTED) = 2024 .AND. MONTH(COUNTED) = 1 .AND. DAY(COUNTED + 1) = 1 .AND. COUNTED - {01/01/2024} = 30",
         [](const Row& r) { return r.month == 1 && r.day == 31; }},
        {"VAL(SUBSTR(PARTNO,3)) < 150 .AND. QTY - 50 > -45 .AND. LEN(PARTNO) = 10 .AND. .NOT. (QTY = 0) = .T.",
         [](const Row& r) { return std::stoi(r.part.substr(2)) < 150 && r.qty > 5; }},
        {".NOT. .T. .AND. QTY > 0", [](const Row&) { return false; }},
    };
    for (const auto& [clause, admits] : cases) {
        SCOPED_TRACE(clause);
        TempDir dir;
        const std::string folder = dir.file("s");
        ASSERT_EQ(test::runProcess({test::cliPath(), "make-samples", folder}).exitStatus, 0);
        const std::string table = folder + "/STOCK.DBF", mdx = folder + "/STOCK.MDX";
        setPlaceFor(mdx, clause);
        const test::ProcessResult rebuilt = test::runProcess({test::cliPath(), "rebuild-indexes", table});
        ASSERT_EQ(rebuilt.exitStatus, 0) << rebuilt.err;
        // A change of fields the clause and the key read writes the tag again.
        {
            auto t = openTableFile(table);
            t->updateRecord(2, {{1, textValue("SEATTLE")}, {2, integerValue(7)}});
        }
        const test::ProcessResult check = test::runProcess({test::cliPath(), "check", table});
        EXPECT_EQ(check.out, "ok\n") << check.out << check.err;

        std::vector<std::pair<std::string, int>> want;
        auto t = openTableFile(table);
        for (std::uint32_t r = 0; r < t->recordCount(); ++r) {
            FieldValue v[5];
            for (std::size_t f = 0; f < 5; ++f) t->decode(t->record(r), f, v[f]);
            const CivilDate d = civilFromDayNumber(v[4].integer);
            auto number = [](const FieldValue& x) {
                return x.kind == ValueKind::Integer ? static_cast<double>(x.integer) : x.kind == ValueKind::Float ? x.real : 0.0;
            };
            const Row row{v[0].text, v[1].text, number(v[2]), number(v[3]), static_cast<int>(d.year), d.month, d.day};
            if (admits(row)) want.push_back({pad(row.warehouse, 10) + pad(row.part, 10), t->recNo(r)});
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(placeEntries(mdx), want);
    }

    // A tag that holds records its clause leaves out, or lacks one it admits, is found by check.
    TempDir dir;
    const std::string table = dir.file("s/STOCK.DBF"), mdx = dir.file("s/STOCK.MDX");
    ASSERT_EQ(test::runProcess({test::cliPath(), "make-samples", dir.file("s")}).exitStatus, 0);
    setPlaceFor(mdx, "QTY > 100");
    const test::ProcessResult held = test::runProcess({test::cliPath(), "check", table});
    EXPECT_EQ(held.exitStatus, 1);
    EXPECT_NE(held.out.find("tag PLACE: record 2 has an entry, but the FOR clause QTY > 100 leaves it out"), std::string::npos)
        << held.out;
    ASSERT_EQ(test::runProcess({test::cliPath(), "rebuild-indexes", table}).exitStatus, 0);
    setPlaceFor(mdx, "QTY > 50");
    const test::ProcessResult lacking = test::runProcess({test::cliPath(), "check", table});
    EXPECT_EQ(lacking.exitStatus, 1);
    EXPECT_NE(lacking.out.find("tag PLACE: 2 records have no entry (the first: record 3)"), std::string::npos) << lacking.out;

    // A unique tag is unique among the records its clause admits: two records of HAMBURG are
    // refused, one is not.
    {
        TempDir u;
        const std::string t = u.file("s/STOCK.DBF"), m = u.file("s/STOCK.MDX");
        ASSERT_EQ(test::runProcess({test::cliPath(), "make-samples", u.file("s")}).exitStatus, 0);
        setPlaceExpression(m, "WAREHOUSE");
        std::string b = test::readFile(m);
        for (std::size_t entry = 544; entry + 32 <= 2048; entry += 32)
            if (b.compare(entry + 4, 5, "PLACE") == 0) b[loadLE32(reinterpret_cast<const std::uint8_t*>(b.data()) + entry) * 512u + 23] = 1;
        test::writeFile(m, b);
        setPlaceFor(m, "VALUE > 1100");
        const test::ProcessResult twice = test::runProcess({test::cliPath(), "rebuild-indexes", t});
        EXPECT_EQ(twice.exitStatus, 1);
        EXPECT_NE(twice.err.find("records 1 and 4 have the same key in the unique tag PLACE"), std::string::npos) << twice.err;
        setPlaceFor(m, "VALUE > 3000");
        const test::ProcessResult once = test::runProcess({test::cliPath(), "rebuild-indexes", t});
        EXPECT_EQ(once.exitStatus, 0) << once.err;
        EXPECT_EQ(placeEntries(m), (std::vector<std::pair<std::string, int>>{{pad("HAMBURG", 20), 4}, {pad("SEATTLE", 20), 6}}));
        const test::ProcessResult check = test::runProcess({test::cliPath(), "check", t});
        EXPECT_EQ(check.out, "ok\n") << check.out << check.err;
    }

    // Clauses not evaluated here: refused before anything is written.
    for (const auto& [clause, why] : std::vector<std::pair<std::string, std::string>>{
             {"IIF(QTY > 0, .T., .F.)", "IIF() is not evaluated here"},
             {"COUNTED > DATE() - 30", "DATE() makes what the expression gives depend on the day"},
             {"QTY > \"100\"", "\">\" compares a number with a text"},
             {"PARTNO", "it gives a text, not true or false"},
             {"QTY > 100 .AND.", "the expression ends too soon"},
             {"QTY > 100 .XOR. QTY < 5", "\".XOR. QTY < 5\" after the expression"}}) {
        SCOPED_TRACE(clause);
        setPlaceFor(mdx, clause);
        const std::string before = test::readFile(mdx), dbf = test::readFile(table);
        const test::ProcessResult r = test::runProcess({test::cliPath(), "rebuild-indexes", table});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(r.err.find("tag PLACE has the FOR clause \"" + clause + "\", which is not evaluated here (" + why), std::string::npos)
            << r.err;
        // A change of a field the tag reads is refused too.
        {
            auto t = openTableFile(table);
            EXPECT_THROW(t->updateRecord(0, {{1, textValue("OSLO")}}), EDBEngineError);
        }
        EXPECT_EQ(test::readFile(mdx), before);
        EXPECT_EQ(test::readFile(table), dbf);
    }
}
