// The family check (checkTableFamily, tavrinth-cli check): every corpus table against the list of
// those whose files are faulty, and tables of our own writer before and after small damages.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "byte_order.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "manifest.h"
#include "process.h"
#include "table_check.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += "  " + l + "\n";
    return out;
}

// --- the corpus -----------------------------------------------------------------------------------

// Tables (relative to the corpus) whose families are faulty, with a part of the line that says why.
const std::map<std::string, std::string> kFaultyCorpusTables = {
    // Keyed tables whose primary index was not taken along (MEMBRE's BLOB file neither).
    {"paradox/leonhad__paradoxdriver/src/test/resources/areas/STATES.DB", "primary index (.PX) is missing"},
    {"paradox/teverett__paradoxReader/src/test/resources/examples/MEMBRE.DB", "which is missing"},
    // The memo file is cut to its first 512 bytes: the pointers run past its end.
    {"dbase/albfernandez__javadbf/src/test/resources/bug-102/bug102.dbf", "lies past the end of bug102.dbt"},
    // Memo fields with values but no memo file.
    {"dbase/albfernandez__javadbf/src/test/resources/bug-49/student.dbf", "which is missing"},
    {"dbase/infused__dbf/spec/fixtures/dbase_8c.dbf", "which is missing"},
    // The header flags a production / structural index that is not there.
    {"dbase/albfernandez__javadbf/src/test/resources/bug-115/bug115.dbf",
     "structural index (.CDX), but the file is missing"},
    {"dbase/albfernandez__javadbf/src/test/resources/gbk.dbf", "structural index (.CDX), but the file is missing"},
    {"dbase/infused__dbf/spec/fixtures/cp1251.dbf", "structural index (.CDX), but the file is missing"},
    {"dbase/infused__dbf/spec/fixtures/dbase_30.dbf", "structural index (.CDX), but the file is missing"},
    {"dbase/infused__dbf/spec/fixtures/dbase_31.dbf", "structural index (.CDX), but the file is missing"},
    {"dbase/yellowfeather__DbfDataReader/test/fixtures/FolderRoot.dbf",
     "structural index (.CDX), but the file is missing"},
    {"dbase/albfernandez__javadbf/src/test/resources/inventory.dbf",
     "production index (.MDX), but the file is missing"},
    {"dbase/tmontaigu__dbase-rs/tests/data/KUNDEN-schema-only.DBF", "production index (.MDX), but the file is missing"},
    {"dbase/yellowfeather__DbfDataReader/test/fixtures/client.dbf", "production index (.MDX), but the file is missing"},
    // Broken on purpose: the Visual FoxPro header lost its database link, a record its flag.
    {"dbase/albfernandez__javadbf/src/test/resources/bug-33-corrupted-file-sync-mode/myfileafter-corrupted.dbf",
     "no room for the 263-byte database link"},
    // No 0x0D after the field descriptors (NUL, nothing, '-', and LF in rooms.dbf).
    {"dbase/albfernandez__javadbf/src/test/resources/bug-77-no-header-record-terminator/"
     "continents-null-header-record-terminator.dbf",
     "end with the byte 0x00 where the mark 0x0D belongs"},
    {"dbase/albfernandez__javadbf/src/test/resources/bug-77-no-header-record-terminator/"
     "continents_no_header_record_terminator.dbf",
     "without the mark 0x0D"},
    {"dbase/lais-huol__dbf_reader/tests/data/dbase3_invalid_terminator.dbf", "end with the byte 0x2D"},
    {"dbase/incubus__DBD-XBase/t/rooms.dbf", "end with the byte 0x0A"},
    // Deletion flags 0x00.
    {"dbase/infused__dbf/spec/fixtures/mazovia.dbf", "deletion flag 0x00"},
    // The record length disagrees with the fields (58 bytes of fields in 77-byte records; four
    // 254-byte fields in 1016-byte records).
    {"dbase/lais-huol__dbf_reader/tests/data/dbase3_invalid_fields.dbf", "the fields take 58 bytes"},
    {"dbase/lais-huol__dbf_reader/tests/data/dbase3_invalid_fields_type.dbf", "the fields take 58 bytes"},
    {"dbase/tmontaigu__dbase-rs/tests/data/stations_with_deleted.dbf", "the fields take 1017 bytes"},
    // The header counts no record; two follow it.
    {"dbase/lais-huol__dbf_reader/tests/data/dbase3_invalid_last_update.dbf", "counts 0 records but the file holds 2"},
};

// Tables that cannot be opened at all (a dBase II table).
const std::set<std::string> kUnreadableCorpusTables = {"dbase/infused__dbf/spec/fixtures/dbase_02.dbf"};

TEST(CheckCorpus, SoundFamiliesPassFaultyOnesSayWhy) {
    struct Table {
        std::string relative;
        std::string password;
    };
    std::vector<Table> tables;
    for (const ManifestRow& row : readManifest(paradoxCorpus("MANIFEST.tsv")))
        if (row["px_filetype"] == "0" || row["px_filetype"] == "2")
            tables.push_back({"paradox/" + row["path"], row["encryption"] == "0x00000000" ? "" : "123"});
    for (const ManifestRow& row : readManifest(dbaseCorpus("MANIFEST.tsv")))
        tables.push_back({"dbase/" + row["path"], ""});
    ASSERT_GT(tables.size(), 150u);

    std::set<std::string> faultySeen;
    for (const Table& t : tables) {
        SCOPED_TRACE(t.relative);
        OpenOptions options;
        if (!t.password.empty()) options.knownPasswords = {t.password};
        std::vector<std::string> problems;
        try {
            problems = checkTableFamily(corpusDir() + "/" + t.relative, options);
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(kUnreadableCorpusTables.count(t.relative), 1u) << e.what();
            continue;
        }
        const auto fault = kFaultyCorpusTables.find(t.relative);
        if (fault == kFaultyCorpusTables.end()) {
            EXPECT_TRUE(problems.empty()) << joined(problems);
            continue;
        }
        faultySeen.insert(t.relative);
        bool named = false;
        for (const std::string& p : problems) named = named || p.find(fault->second) != std::string::npos;
        EXPECT_TRUE(named) << "expected \"" << fault->second << "\" among\n" << joined(problems);
    }
    EXPECT_EQ(faultySeen.size(), kFaultyCorpusTables.size()) << "a table of the list is not in the manifests";
}

// --- tables of our own writer ---------------------------------------------------------------------

const char* const kCities[] = {"Aachen", "Berlin", "bonn", "Dresden", "Essen"};

// PEOPLE.DB, keyed on Id: a single-field index on Name (.X02/.Y02), a composite one on City and
// Name (.XG0/.YG0), memos in shared and in single .MB blocks, a .VAL; four 1 KB data blocks.
TableSpec paradoxKeyed(const std::string& password = {}) {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = 7;
    spec.blockSizeKB = 1;
    spec.keyFields = 1;
    spec.password = password;
    spec.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 20), columnSpec("City", 'A', 12), columnSpec("Notes", 'M', 15),
                   columnSpec("Score", 'N')};
    for (int i = 0; i < 60; ++i) {
        std::string note = i % 3 ? "" : std::string(i % 2 ? 3000 : 40, static_cast<char>('a' + i % 26));
        spec.records.push_back({integerValue(i), textValue("Name " + std::to_string(1000 - i * 7)),
                                textValue(kCities[i % 5]), note.empty() ? FieldValue() : textValue(note),
                                floatValue(i * 1.5)});
    }
    spec.indexes = {indexSpec("Name", {"Name"}), indexSpec("CityName", {"City", "Name"})};
    CheckSpec required;
    required.field = "Name";
    required.required = true;
    spec.checks = {required};
    return spec;
}

TableSpec paradoxUnkeyed() {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = 5;
    spec.fields = {columnSpec("Line", 'A', 30), columnSpec("Text", 'M', 12), columnSpec("When", 'D')};
    for (int i = 0; i < 25; ++i)
        spec.records.push_back({textValue("line " + std::to_string(i)), textValue(std::string(20 + i * 90, 'x')),
                                dateValue(2001, 1 + i % 12, 1 + i % 28)});
    return spec;
}

// dBase III with memos (NOTES.DBF, .DBT) or dBase IV with memos and a production index with tags
// on a character, a numeric and a date field (ITEMS.DBF, .DBT, .MDX).
TableSpec dbaseTable(int level) {
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = level;
    spec.fields = {columnSpec("NAME", 'C', 12), columnSpec("AMOUNT", 'N', 8, 2), columnSpec("WHEN", 'D'), columnSpec("NOTE", 'M')};
    for (int i = 0; i < 30; ++i)
        spec.records.push_back({textValue("item " + std::to_string((i * 7) % 30)), floatValue((i % 9) * 2.25 - 5),
                                dateValue(1999 + i % 5, 1 + i % 12, 1 + i),
                                i % 4 ? textValue("memo " + std::to_string(i)) : FieldValue()});
    spec.deleted.assign(30, false);
    spec.deleted[5] = true;
    if (level == 4) spec.indexes = {indexSpec("NAME", {"NAME"}), indexSpec("AMOUNT", {"AMOUNT"}), indexSpec("WHEN", {"WHEN"})};
    return spec;
}

enum class Kind { ParadoxKeyed, ParadoxEncrypted, ParadoxUnkeyed, DBase3, DBase4 };

struct Written {
    std::string path;
    std::string password;
};

Written write(const TempDir& dir, Kind kind) {
    switch (kind) {
        case Kind::ParadoxKeyed: createTable(dir.file("PEOPLE.DB"), paradoxKeyed()); return {dir.file("PEOPLE.DB"), ""};
        case Kind::ParadoxEncrypted:
            createTable(dir.file("PEOPLE.DB"), paradoxKeyed("secret"));
            return {dir.file("PEOPLE.DB"), "secret"};
        case Kind::ParadoxUnkeyed:
            createTable(dir.file("LINES.DB"), paradoxUnkeyed());
            return {dir.file("LINES.DB"), ""};
        case Kind::DBase3: createTable(dir.file("NOTES.DBF"), dbaseTable(3)); return {dir.file("NOTES.DBF"), ""};
        case Kind::DBase4: createTable(dir.file("ITEMS.DBF"), dbaseTable(4)); return {dir.file("ITEMS.DBF"), ""};
    }
    return {};
}

std::map<std::string, std::string> folderBytes(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const std::string& name : listFolder(folder)) out[name] = readFile(joinPath(folder, name));
    return out;
}

// Runs tavrinth-cli check; the files must be byte for byte as before.
ProcessResult runCheck(const TempDir& dir, const Written& t) {
    const auto before = folderBytes(dir.path());
    std::vector<std::string> argv{cliPath(), "check"};
    if (!t.password.empty()) argv.insert(argv.end(), {"--password", t.password});
    argv.push_back(t.path);
    const ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(folderBytes(dir.path()) == before) << "the check changed a file";
    return r;
}

TEST(CheckWritten, EveryKindOfOurTablesPasses) {
    for (Kind kind : {Kind::ParadoxKeyed, Kind::ParadoxEncrypted, Kind::ParadoxUnkeyed, Kind::DBase3, Kind::DBase4}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TempDir dir;
        const Written t = write(dir, kind);
        const ProcessResult r = runCheck(dir, t);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "ok\n");
    }
}

// --- damages ---------------------------------------------------------------------------------------

using Bytes = std::string;

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return loadLE16(reinterpret_cast<const std::uint8_t*>(b.data() + at));
}
std::uint32_t le32(const Bytes& b, std::size_t at) {
    return loadLE32(reinterpret_cast<const std::uint8_t*>(b.data() + at));
}
void putLE16(Bytes& b, std::size_t at, std::uint16_t v) { storeLE16(reinterpret_cast<std::uint8_t*>(&b[at]), v); }
void putLE32(Bytes& b, std::size_t at, std::uint32_t v) { storeLE32(reinterpret_cast<std::uint8_t*>(&b[at]), v); }

// Paradox: the first record of block `block` (1-based) of a file of blocks.
std::size_t paradoxRecord(const Bytes& b, unsigned block) {
    return le16(b, 2) + static_cast<std::size_t>(block - 1) * (static_cast<unsigned char>(b[5]) * 1024u) + 6;
}

// .MDX: the first leaf entry of the tag `tag` (0-based) in a table small enough for one node.
std::size_t mdxFirstEntry(const Bytes& b, unsigned tag) {
    const std::size_t header = le32(b, 544 + 32 * tag) * 512u;
    return le32(b, header) * 512u + 8;
}

struct Damage {
    const char* what;
    Kind kind;
    const char* file;  // the file damaged, in the table's folder
    std::function<void(Bytes&)> change;
    const char* named;    // the file the problem line names
    const char* problem;  // a part of the line
};

TEST(CheckWritten, EveryDamageIsNamedAndNothingIsWritten) {
    const Damage damages[] = {
        {"a header record count", Kind::ParadoxKeyed, "PEOPLE.DB",
         [](Bytes& b) { putLE32(b, 0x06, le32(b, 0x06) + 1); }, "PEOPLE.DB",
         "the header counts 61 records but the block chain holds 60"},
        {"a chain link back", Kind::ParadoxKeyed, "PEOPLE.DB", [](Bytes& b) { putLE16(b, paradoxRecord(b, 2) - 4, 3); },
         "PEOPLE.DB", "block 2 links back to block 3"},
        {"a key byte of a secondary index", Kind::ParadoxKeyed, "PEOPLE.X02",
         [](Bytes& b) { b[paradoxRecord(b, 1) + 5] = 'Z'; }, "PEOPLE.X02", "where the record holds"},
        {"the block number of an index entry", Kind::ParadoxKeyed, "PEOPLE.XG0",
         [](Bytes& b) {
             // City (12), Name (20), Id (4), then Blk Num: block 0x7000, flipped.
             b[paradoxRecord(b, 1) + 36] = static_cast<char>(0xF0);
             b[paradoxRecord(b, 1) + 37] = 0;
         },
         "PEOPLE.XG0", "names block 28672 of PEOPLE.DB"},
        {"a key byte of the primary index", Kind::ParadoxKeyed, "PEOPLE.PX",
         [](Bytes& b) { b[paradoxRecord(b, 1) + 10 + 3] ^= 0x40; }, "PEOPLE.PX",
         "holds another key than the first record of block"},
        {"a BLOB pointer", Kind::ParadoxKeyed, "PEOPLE.DB",
         [](Bytes& b) { putLE32(b, paradoxRecord(b, 1) + 36 + 5, le32(b, paradoxRecord(b, 1) + 36 + 5) + 0x100000); },
         "PEOPLE.DB", "names no block of PEOPLE.MB"},
        {"the .VAL's change counter", Kind::ParadoxKeyed, "PEOPLE.VAL",
         [](Bytes& b) { b[0] = static_cast<char>(b[0] + 1); }, "PEOPLE.VAL", "stale"},
        {"a leftover journal", Kind::ParadoxKeyed, "PEOPLE.DB-journal", [](Bytes& b) { b = "not a journal"; },
         "PEOPLE.DB-journal", "did not finish"},
        {"the header count of an encrypted table", Kind::ParadoxEncrypted, "PEOPLE.DB",
         [](Bytes& b) { putLE32(b, 0x06, 59); }, "PEOPLE.DB", "the header counts 59 records"},
        {"a dBase header record count", Kind::DBase4, "ITEMS.DBF", [](Bytes& b) { putLE32(b, 4, 31); }, "ITEMS.DBF",
         "the header counts 31 records but the file holds only 30"},
        {"a deletion flag", Kind::DBase4, "ITEMS.DBF", [](Bytes& b) { b[le16(b, 8)] = 'X'; }, "ITEMS.DBF",
         "deletion flag 0x58"},
        {"a record number in the index", Kind::DBase4, "ITEMS.MDX",
         [](Bytes& b) { putLE32(b, mdxFirstEntry(b, 0), le32(b, mdxFirstEntry(b, 0)) % 30 + 1); }, "ITEMS.MDX",
         "has more than one entry"},
        {"a key byte of a character tag", Kind::DBase4, "ITEMS.MDX", [](Bytes& b) { b[mdxFirstEntry(b, 0) + 4] = ' '; },
         "ITEMS.MDX", "holds another key than its field NAME"},
        {"a key byte of a numeric tag", Kind::DBase4, "ITEMS.MDX",
         [](Bytes& b) { b[mdxFirstEntry(b, 1) + 4 + 2] ^= 0x01; }, "ITEMS.MDX",
         "holds another key than its field AMOUNT"},
        {"a dBase IV memo pointer", Kind::DBase4, "ITEMS.DBF",
         [](Bytes& b) { b.replace(le16(b, 8) + 29, 10, "  99999999"); }, "ITEMS.DBF", "lies past the end of ITEMS.DBT"},
        {"a dBase III memo pointer", Kind::DBase3, "NOTES.DBF",
         [](Bytes& b) { b.replace(le16(b, 8) + 29, 10, "     77777"); }, "NOTES.DBF", "lies past the end of NOTES.DBT"},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        TempDir dir;
        const Written t = write(dir, d.kind);
        const std::string path = dir.file(d.file);
        Bytes bytes = fileExists(path) ? readFile(path) : Bytes();
        const Bytes original = bytes;
        d.change(bytes);
        ASSERT_NE(bytes, original);
        writeFile(path, bytes);

        const ProcessResult r = runCheck(dir, t);
        EXPECT_EQ(r.exitStatus, 1);
        bool found = false;
        for (const std::string& line : splitString(r.out, '\n'))
            found =
                found || (line.rfind(std::string(d.named) + ": ", 0) == 0 && line.find(d.problem) != std::string::npos);
        EXPECT_TRUE(found) << "expected a line of " << d.named << " with \"" << d.problem << "\" in\n" << r.out;
    }
}

TEST(CheckWritten, ATableThatCannotBeOpenedIsAnError) {
    TempDir dir;
    const ProcessResult missing = runProcess({cliPath(), "check", dir.file("NONE.DB")});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err.rfind("tavrinth-cli: ", 0), 0u) << missing.err;

    createTable(dir.file("PEOPLE.DB"), paradoxKeyed("secret"));
    const ProcessResult wrong = runProcess({cliPath(), "check", "--password", "guess", dir.file("PEOPLE.DB")});
    EXPECT_EQ(wrong.exitStatus, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find("password"), std::string::npos) << wrong.err;
}

}  // namespace
