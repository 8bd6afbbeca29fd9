// tavrinth-cli end to end: the built program run on real files, its output compared with the
// library's, and its errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "manifest.h"
#include "process.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

const std::string kDb = "leonhad__paradoxdriver/src/test/resources/db/";
const std::string kEncrypt = "leonhad__paradoxdriver/src/test/resources/encrypt/";
const std::string kNote1251 = "leonhad__paradoxdriver/_history/ea01cc0e/src/test/resources/db/NOTE1251.DB";
const std::string kStartUpText =
    "An error occurred while attempting to initialize the Borland Database Engine (error $2108)";

class Cli : public ::testing::Test {
protected:
    // Runs tavrinth-cli; the alias file is one of the test's own (absent unless written).
    ProcessResult run(const std::vector<std::string>& args,
                      std::map<std::string, std::optional<std::string>> environment = {}) {
        std::vector<std::string> argv{cliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!environment.count("TAVRINTH_ALIASES")) environment["TAVRINTH_ALIASES"] = dir_.file("aliases.conf");
        ProcessResult r = runProcess(argv, environment, 120);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0) << r.err;
        return r;
    }

    // A failure: status 1, a message on standard error, nothing on standard output.
    void expectFailure(const std::vector<std::string>& args, const std::string& messagePart = {}) {
        std::string line;
        for (const std::string& a : args) line += " " + a;
        SCOPED_TRACE("tavrinth-cli" + line);
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("tavrinth-cli: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(messagePart), std::string::npos) << r.err;
    }

    // The sample database in the test's folder.
    void writeSampleCopy() { ASSERT_EQ(run({"make-samples", dir_.path()}).exitStatus, 0); }

    TempDir dir_;
};

std::string libraryDump(const std::string& path, const OpenOptions& options = {}) {
    auto table = openTableFile(path, options);
    return dumpToString(*table);
}

// --- dump ---------------------------------------------------------------------------------------

TEST_F(Cli, DumpEqualsTheLibraryDump) {
    const std::string tables[] = {
        paradoxCorpus(kDb + "CUSTOMER.DB"),
        paradoxCorpus("leonhad__paradoxdriver/src/test/resources/areas/ZIPCODES.DB"),  // 1.4 MB of output
        paradoxCorpus("leonhad__paradoxdriver/src/test/resources/fields/bcd.db"),
        dbaseCorpus("tmontaigu__dbase-rs/tests/data/stations_with_deleted.dbf"),
        dbaseCorpus("infused__dbf/spec/fixtures/dbase_83.dbf"),
        dbaseCorpus("Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF"),
    };
    for (const std::string& path : tables) {
        SCOPED_TRACE(path);
        const ProcessResult r = run({"dump", path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        // Standard error holds the engine's warnings about the table and nothing else.
        std::string warnings;
        const auto table = openTableFile(path);
        for (const std::string& w : table->warnings()) warnings += "tavrinth-cli: warning: " + w + "\n";
        EXPECT_EQ(r.err, warnings);
        const std::string expected = libraryDump(path);
        EXPECT_GT(expected.size(), 100u);
        EXPECT_TRUE(r.out == expected) << "the dumps differ (" << r.out.size() << " and " << expected.size() << " bytes)";
    }
}

TEST_F(Cli, DumpOfEncryptedTablesWithPassword) {
    OpenOptions options;
    options.knownPasswords = {"123"};
    for (const char* table : {"encrypted.db", "encrypted35.db", "encryptedmemo.db"}) {
        SCOPED_TRACE(table);
        const std::string path = paradoxCorpus(kEncrypt + table);
        const ProcessResult r = run({"dump", "--password", "123", path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == libraryDump(path, options));
    }
    const ProcessResult r = run({"dump", "--password", "123", paradoxCorpus(kEncrypt + "encrypted.db")});
    EXPECT_EQ(r.out, "Id,Text\r\n1,Value 1\r\n2,Value 2\r\n3,Value 3\r\n4,Last one\r\n");
}

TEST_F(Cli, DumpWithCodePageOverride) {
    const std::string path = paradoxCorpus(kNote1251);
    OpenOptions options;
    options.codePage = "CP1251";
    const std::string expected = libraryDump(path, options);
    ASSERT_NE(expected.find("При разработке электронных сервисов"), std::string::npos);
    for (const char* name : {"CP1251", "cp1251", "1251"}) {
        SCOPED_TRACE(name);
        const ProcessResult r = run({"dump", "--codepage", name, path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_TRUE(r.out == expected);
        EXPECT_NE(r.out.find("разработке"), std::string::npos);
    }
    // Without the override the header's code page (936) gives no Cyrillic.
    const ProcessResult plain = run({"dump", path});
    EXPECT_EQ(plain.exitStatus, 0);
    EXPECT_EQ(plain.out.find("разработке"), std::string::npos);
    EXPECT_TRUE(plain.out == libraryDump(path));
}

// --- fields -------------------------------------------------------------------------------------

// The field lines of `fields`: up to the first empty line, each cut to its first five columns
// (position, name, type, size, required).
std::vector<std::string> fieldLines(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& line : splitString(out, '\n')) {
        if (line.empty()) break;
        const std::vector<std::string> cells = splitString(line, '\t');
        std::string five;
        for (std::size_t i = 0; i < cells.size() && i < 5; ++i) five += (i ? "\t" : "") + cells[i];
        lines.push_back(five);
    }
    return lines;
}

TEST_F(Cli, FieldsOfKnownTables) {
    ProcessResult r = run({"fields", paradoxCorpus(kDb + "CUSTOMER.DB")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(fieldLines(r.out), (std::vector<std::string>{
                                     "0\tCustNo\tftAutoInc\t0\tFalse",
                                     "1\tFirstName\tftString\t51\tFalse",
                                     "2\tLastName\tftString\t50\tFalse",
                                     "3\tEMail\tftString\t100\tFalse",
                                     "4\tStreet\tftString\t30\tFalse",
                                     "5\tCity\tftString\t15\tFalse",
                                     "6\tState/Prov\tftString\t20\tFalse",
                                     "7\tZip/Postal Code\tftString\t10\tFalse",
                                     "8\tComments\tftMemo\t100\tFalse",
                                     "9\tDateEntered\tftDate\t0\tFalse",
                                 }));
    r = run({"fields", dbaseCorpus("olemb__dbfread/examples/files/invalid_value.dbf")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(fieldLines(r.out), (std::vector<std::string>{"0\tNAME\tftString\t16\tFalse", "1\tBIRTHDATE\tftDate\t0\tFalse"}));
}

// --- tables and aliases -------------------------------------------------------------------------

TEST_F(Cli, TablesOfAFolderAndOfAnAlias) {
    TempDir tables;
    for (const char* name : {"b.DB", "a.dbf", "A.db", "C.DBF", "notes.txt", "b.PX", "b.MB", "d.Db", "e.dbf.bak", "README"})
        writeFile(tables.file(name), "x");
    ::mkdir(tables.file("folder.db").c_str(), 0755);
    ProcessResult r = run({"tables", tables.path()});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "A\nb\nC\nd\n");
    EXPECT_EQ(r.err, "");
    writeFile(dir_.file("aliases.conf"), "[Aliases]\nMixed=" + tables.path() + "\n");
    r = run({"tables", "mixed"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "A\nb\nC\nd\n");
    r = run({"tables", paradoxCorpus("leonhad__paradoxdriver/src/test/resources/encrypt")});
    EXPECT_EQ(r.out, "encrypted\nencrypted35\nencryptedmemo\n");
}

TEST_F(Cli, AliasesSortedWithSamples) {
    writeFile(dir_.file("aliases.conf"), "[Aliases]\nzeta=/z\nAccounts=/a\nbeta=/b\n");
    ProcessResult r = run({"aliases"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "Accounts\nbeta\nSamples\nzeta\n");
    EXPECT_EQ(r.err, "");
    writeFile(dir_.file("aliases.conf"), "");
    r = run({"aliases"});
    EXPECT_EQ(r.out, "Samples\n");
}

TEST_F(Cli, AliasFileThatCannotBeParsed) {
    writeFile(dir_.file("aliases.conf"), "[Aliases\nzeta=/z\n");
    expectFailure({"aliases"}, kStartUpText);
    expectFailure({"tables", "zeta"}, kStartUpText);
}

// --- errors -------------------------------------------------------------------------------------

TEST_F(Cli, MissingFilesAndFolders) {
    expectFailure({"dump", dir_.file("absent.db")}, "absent.db");
    expectFailure({"dump", dir_.file("absent.dbf")}, "absent.dbf");
    expectFailure({"fields", dir_.file("absent.db")}, "absent");
    expectFailure({"dump", dir_.path()});
    expectFailure({"fields", dir_.path()});
    expectFailure({"tables", dir_.file("no-such-folder")}, "no-such-folder");
}

TEST_F(Cli, FilesThatAreNoTables) {
    writeFile(dir_.file("text.db"), std::string(3000, 'x'));
    writeFile(dir_.file("text.dbf"), "just some words, not a table at all\n");
    writeFile(dir_.file("tiny.dbf"), "\x03\x01");
    writeFile(dir_.file("empty.db"), "");
    for (const char* name : {"text.db", "text.dbf", "tiny.dbf", "empty.db"}) {
        expectFailure({"dump", dir_.file(name)}, name);
        expectFailure({"fields", dir_.file(name)}, name);
    }
    expectFailure({"dump", corpusDir() + "/README.md"}, "README.md");
    expectFailure({"dump", paradoxCorpus(kDb + "CUSTOMER.PX")}, "CUSTOMER.PX");
    expectFailure({"dump", paradoxCorpus(kDb + "CUSTOMER.MB")}, "CUSTOMER.MB");
    expectFailure({"dump", dbaseCorpus("infused__dbf/spec/fixtures/dbase_02.dbf")}, "dBase II");
}

TEST_F(Cli, Passwords) {
    const std::string encrypted = paradoxCorpus(kEncrypt + "encrypted.db");
    expectFailure({"dump", encrypted}, "password");
    expectFailure({"dump", "--password", "124", encrypted}, "password");
    expectFailure({"dump", "--password", "", encrypted}, "password");
    expectFailure({"fields", encrypted}, "password");
    expectFailure({"dump", "--password", "wrong", paradoxCorpus(kEncrypt + "encryptedmemo.db")}, "encryptedmemo.db");
}

TEST_F(Cli, UsageErrors) {
    const ProcessResult bare = run({});
    EXPECT_EQ(bare.exitStatus, 1);
    EXPECT_EQ(bare.out, "");
    EXPECT_EQ(bare.err.rfind("usage: tavrinth-cli", 0), 0u) << bare.err;
    expectFailure({"frobnicate"}, "frobnicate");
    expectFailure({"dump"});
    expectFailure({"dump", "--password"});
    expectFailure({"dump", "--codepage", "NO-SUCH-PAGE", paradoxCorpus(kDb + "ORDERS.DB")}, "NO-SUCH-PAGE");
    expectFailure({"dump", "--bogus", paradoxCorpus(kDb + "ORDERS.DB")}, "--bogus");
    expectFailure({"dump", paradoxCorpus(kDb + "ORDERS.DB"), paradoxCorpus(kDb + "ORDERS.DB")});
    expectFailure({"tables"});
    expectFailure({"aliases", "extra"});
}

// --- changes: import, rebuild-indexes ---------------------------------------------------------

std::map<std::string, std::string> familyBytes(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : listFolder(folder)) files[name] = readFile(joinPath(folder, name));
    return files;
}


// Any subset of the fields in any order, quoted texts with commas and line breaks, memos, bytes
// as <hex ...>, NULLs; the rows land after the old ones, for both formats.
TEST_F(Cli, ImportAppendsTheRowsOfACsvFile) {
    TableSpec paradox;
    paradox.format = TableFormat::Paradox;
    paradox.fields = {{"Id", '+', 0, 0}, {"Name", 'A', 20, 0}, {"Note", 'M', 11, 0}, {"Data", 'B', 10, 0}, {"Day", 'D', 0, 0}};
    paradox.records = {{FieldValue(), FieldValue(), FieldValue(), FieldValue(), FieldValue()}};
    TableSpec dbase;
    dbase.format = TableFormat::DBase;
    dbase.level = 3;
    dbase.fields = {{"NAME", 'C', 20, 0}, {"NOTE", 'M', 0, 0}, {"AMOUNT", 'N', 9, 0}, {"DAY", 'D', 0, 0}};
    createTable(dir_.file("T.DB"), paradox);
    createTable(dir_.file("T.DBF"), dbase);
    const std::string csv =
        "Day,Name,Note,Data\r\n"
        "2024-02-29,\"Smith, John\",\"two\r\nlines\",<hex 00FF10>\r\n"
        "\\N,plain,,<hex >\r\n";
    writeFile(dir_.file("p.csv"), csv);
    ProcessResult r = run({"import", dir_.file("T.DB"), dir_.file("p.csv")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(run({"dump", dir_.file("T.DB")}).out,
              "Id,Name,Note,Data,Day\r\n1,\\N,\\N,\\N,\\N\r\n"
              "2,\"Smith, John\",\"two\r\nlines\",<binary 3 bytes sha1=" + std::string("a14c2fba17201c1ead45b6c4af4409fbfc16ba8a") +
                  ">,2024-02-29\r\n3,plain,\\N,\\N,\\N\r\n");
    writeFile(dir_.file("d.csv"), "AMOUNT,NAME,_deleted,NOTE\n-12,\"a \"\"quoted\"\" name\",,\"memo, long\"\n7,b,,\n");
    r = run({"import", dir_.file("T.DBF"), dir_.file("d.csv")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(run({"dump", dir_.file("T.DBF")}).out,
              "_deleted,NAME,NOTE,AMOUNT,DAY\r\n,\"a \"\"quoted\"\" name\",\"memo, long\",-12,\\N\r\n,b,\\N,7,\\N\r\n");
    // A reader we did not write sees the same records and memos.
    const ProcessResult py = runProcess(
        {TAVRINTH_PYTHON3, "-c",
         "import sys\nfrom dbfread import DBF\nfor r in DBF(sys.argv[1], encoding='cp1252'): print(repr(list(r.values())))",
         dir_.file("T.DBF")});
    EXPECT_EQ(py.err, "");
    EXPECT_EQ(py.out, "['a \"quoted\" name', 'memo, long', -12, None]\n['b', None, 7, None]\n");
}

// Every refusal names the cause and leaves every byte of the family as it was.
TEST_F(Cli, ImportRefusalsLeaveEveryByte) {
    writeSampleCopy();
    const std::string events = dir_.file("EVENTS.DBF");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"TITLE,NOPE\r\nx,y\r\n", "names no field"},
        {"TITLE,TITLE\r\nx,y\r\n", "named twice"},
        {"TITLE,ATTENDEES\r\nx,1\r\ny\r\n", "line 3"},
        {"TITLE,ATTENDEES\r\nx,1\r\ny,many\r\n", "line 3, field ATTENDEES"},
        {"TITLE,ATTENDEES\r\nx,1\r\ny,100001\r\n", "ATTENDEES must be at most 100000"},
        {"TITLE,ATTENDEES\r\nx,1\r\n\"y,2\r\n", "not closed"},
        {"TITLE,EVENT_ID\r\nx,9\r\n", "auto-increment"},
        {"_deleted,TITLE\r\n*,x\r\n", "marked deleted"},
        {std::string("TITLE\r\n") + std::string(41, 'x') + "\r\n", "40"},
        {"", "empty"},
    };
    const auto before = familyBytes(dir_.path());
    for (const auto& [csv, words] : cases) {
        writeFile(dir_.file("in.csv"), csv);
        expectFailure({"import", events, dir_.file("in.csv")}, words);
        ::unlink(dir_.file("in.csv").c_str());
        EXPECT_TRUE(familyBytes(dir_.path()) == before) << csv;
    }
    // A keyed table takes records in key order, but not one whose key another record has.
    writeFile(dir_.file("in.csv"), "BranchNo,Name\r\n1,x\r\n");
    expectFailure({"import", dir_.file("BRANCHES.DB"), dir_.file("in.csv")}, "key violation");
    writeFile(dir_.file("in.csv"), "Name\r\nx\r\n");
    copyFamily(dbaseCorpus("incubus__DBD-XBase/t/rooms.dbf"), dir_.path());
    expectFailure({"import", dir_.file("rooms.dbf"), dir_.file("in.csv")}, "not kept up to date");
    EXPECT_TRUE(familyBytes(dir_.path()).size() > before.size());
    for (const auto& [name, bytes] : before) EXPECT_EQ(familyBytes(dir_.path()).at(name), bytes);
    expectFailure({"import", events, dir_.file("absent.csv")}, "absent.csv");
    ::unlink(dir_.file("in.csv").c_str());
    for (const auto& [name, bytes] : before) EXPECT_EQ(familyBytes(dir_.path()).at(name), bytes);
}

// A damaged index file is written again from the records; check passes afterwards.
TEST_F(Cli, RebuildIndexesMendsDamagedIndexFiles) {
    writeSampleCopy();
    for (const char* name : {"CUSTOMER.DB", "STOCK.DBF"}) {
        const std::string table = dir_.file(name);
        const auto sound = familyBytes(dir_.path());
        for (const auto& [file, bytes] : sound) {
            const std::string ext = toUpperAscii(extensionPart(file));
            if (stemPart(file) != stemPart(name) || !(ext == ".PX" || ext == ".MDX" || ext == ".XG0" || ext == ".X02")) continue;
            // The first key: after the header of a Paradox index (its size at byte 2) and the
            // 6-byte block head; in an .MDX after the header, the first tag's header block and
            // the leaf's count and record number.
            std::string damaged = bytes;
            const std::size_t at = ext == ".MDX" ? 2048 + 1024 + 8 + 4
                                                 : (static_cast<unsigned char>(bytes[2]) | static_cast<unsigned char>(bytes[3]) << 8) + 6u;
            damaged[at] ^= 0x5A;
            writeFile(dir_.file(file), damaged);
        }
        const ProcessResult broken = run({"check", table});
        EXPECT_EQ(broken.exitStatus, 1) << name;
        const ProcessResult r = run({"rebuild-indexes", table});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(run({"check", table}).out, "ok\n") << name;
        EXPECT_TRUE(familyBytes(dir_.path()) == sound) << name << ": the rebuilt files differ from the writer's";
    }
    expectFailure({"rebuild-indexes", dbaseCorpus("incubus__DBD-XBase/t/rooms.dbf")}, "cdx");

    // A reader we did not write (Perl's XBase::Index) finds every record once, in order, under the
    // key of its value in each rebuilt tag.
    const ProcessResult perl = runProcess(
        {"/usr/bin/perl", "-MXBase::Index", "-e",
         "for my $t (qw(PARTNO WAREHOUSE PLACE)) { my $i = XBase::Index->new($ARGV[0], tag => $t) or die "
         "XBase::Index->errstr; $i->prepare_select; while (my @e = $i->fetch) { print \"$t|$e[0]|$e[1]\\n\" } }",
         dir_.file("STOCK.MDX")});
    ASSERT_EQ(perl.exitStatus, 0) << perl.err;
    std::map<std::string, std::vector<std::pair<std::string, int>>> entries;
    for (std::size_t at = 0, end; (end = perl.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = perl.out.substr(at, end - at);
        const std::size_t a = line.find('|'), b = line.rfind('|');
        entries[line.substr(0, a)].push_back({line.substr(a + 1, b - a - 1), std::stoi(line.substr(b + 1))});
    }
    auto table = openTableFile(dir_.file("STOCK.DBF"));
    auto text = [&](std::uint32_t r, std::size_t field) {
        FieldValue v;
        table->decode(table->record(r), field, v);
        return v.text + std::string(table->fields()[field].length - v.text.size(), ' ');
    };
    for (const auto& [tag, fields] : std::vector<std::pair<std::string, std::vector<std::size_t>>>{
             {"PARTNO", {0}}, {"WAREHOUSE", {1}}, {"PLACE", {1, 0}}}) {
        std::vector<std::pair<std::string, int>> expected;
        for (std::uint32_t r = 0; r < table->recordCount(); ++r) {
            std::string key;
            for (std::size_t f : fields) key += text(r, f);
            expected.push_back({key, table->recNo(r)});
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries[tag], expected) << tag;
    }
}

}  // namespace

// --- the sample database ------------------------------------------------------------------------

namespace {
const std::vector<std::string> kSampleTables{"BRANCHES", "CUSTOMER", "EVENTS", "ITEMS",   "ORDERS",
                                             "PARTS",    "SALARIES", "STOCK",  "SUPPLIER"};
const std::vector<std::string> kSampleFiles{
    "BRANCHES.DB",  "BRANCHES.PX",  "CUSTOMER.DB",  "CUSTOMER.MB", "CUSTOMER.PX",  "CUSTOMER.VAL", "CUSTOMER.X02",
    "CUSTOMER.XG0", "CUSTOMER.Y02", "CUSTOMER.YG0", "EVENTS.DBF",  "EVENTS.DBT",   "ITEMS.DB",     "ITEMS.PX",
    "ITEMS.VAL",    "ITEMS.X03",    "ITEMS.Y03",    "ORDERS.DB",   "ORDERS.PX",    "ORDERS.VAL",   "ORDERS.X02",
    "ORDERS.XG0",   "ORDERS.Y02",   "ORDERS.YG0",   "PARTS.DB",    "PARTS.MB",     "PARTS.PX",     "PARTS.VAL",
    "PARTS.X03",    "PARTS.Y03",    "SALARIES.DB",  "SALARIES.PX", "STOCK.DBF",    "STOCK.DBT",    "STOCK.MDX",
    "SUPPLIER.DBF", "SUPPLIER.DBT"};

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}
}  // namespace

TEST_F(Cli, SampleDatabaseIsWrittenAndReadsBackCleanly) {
    const std::string folder = dir_.file("samples");
    ProcessResult r = run({"make-samples", folder});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    for (const std::string& f : kSampleFiles) EXPECT_TRUE(fileExists(folder + "/" + f)) << f;

    r = run({"tables", folder});
    EXPECT_EQ(r.out, joinLines(kSampleTables));

    // Every table opens without a warning and holds records; the encrypted one needs its password.
    std::map<std::string, std::string> dumps;
    for (const std::string& name : kSampleTables) {
        SCOPED_TRACE(name);
        const std::string ext = fileExists(folder + "/" + name + ".DB") ? ".DB" : ".DBF";
        std::vector<std::string> args{"dump"};
        if (name == "SALARIES") {
            expectFailure({"dump", folder + "/SALARIES.DB"}, "password");
            args.insert(args.end(), {"--password", "tavrinth"});
        }
        args.push_back(folder + "/" + name + ext);
        r = run(args);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_GE(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
        dumps[name] = r.out;
        const ProcessResult f = run({"fields", folder + "/" + name + ext});
        EXPECT_EQ(f.exitStatus, name == "SALARIES" ? 1 : 0) << f.err;
    }
    EXPECT_NE(dumps["CUSTOMER"].find("1,Müller & Söhne GmbH,Jürgen Müller,Große Elbstraße 14,Hamburg,Germany,"),
              std::string::npos);
    EXPECT_NE(dumps["BRANCHES"].find("1,Главный склад,Москва,1995-05-15,42\r\n"), std::string::npos);
    EXPECT_NE(dumps["PARTS"].find("A-100,\"Anchor shackle, galvanised, 10 mm\",Marine,4.95,340,0.21,F,<binary "),
              std::string::npos);

    // The checks and indexes written with the tables come back through the engine.
    r = run({"fields", folder + "/CUSTOMER.DB"});
    EXPECT_NE(r.out.find("7\tSince\tftDate\t0\tFalse\tTrue\tFalse\tTrue\tTODAY\tFalse\t\tFalse\t\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("2\tByCountryCity\tCountry;City\tixCaseInsensitive\t\n"), std::string::npos) << r.out;
    r = run({"fields", folder + "/STOCK.DBF"});
    EXPECT_NE(r.out.find("\tixExpression\tWAREHOUSE+PARTNO\n"), std::string::npos) << r.out;

    // Writing again into the same folder is refused and leaves the tables as they were.
    std::map<std::string, std::string> before;
    for (const std::string& f : kSampleFiles) before[f] = readFile(folder + "/" + f);
    expectFailure({"make-samples", folder}, "exists");
    for (const std::string& f : kSampleFiles) EXPECT_EQ(readFile(folder + "/" + f), before[f]) << f;
}

TEST_F(Cli, TheSamplesAliasFindsTheBuiltSampleDatabase) {
    writeFile(dir_.file("aliases.conf"), "");
    const ProcessResult r = run({"tables", "Samples"}, {{"TAVRINTH_SAMPLES", std::nullopt}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, joinLines(kSampleTables));
}
