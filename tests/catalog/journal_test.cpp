// Changes through the rollback journal. A process killed before any one write of an import, a
// post or an index rebuild, or in the middle of one, leaves a family that reads as it was or as
// the change leaves it, never torn; the next change puts a half-made one back byte for byte. A
// journal that cannot be applied never is; a refused change leaves every byte as it was; two
// writers never mix their records.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "csv.h"
#include "engine_error.h"
#include "file_io.h"
#include "index_rebuild.h"
#include "dbase/dbf_cdx_update.h"
#include "dbase/dbf_mdx_update.h"
#include "journal.h"
#include "table_change.h"
#include "table_check.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

FieldValue text(const std::string& s) {
    FieldValue v;
    v.setText(ValueKind::String);
    v.text = s;
    return v;
}
FieldValue integer(std::int64_t i, ValueKind k = ValueKind::Integer) {
    FieldValue v;
    v.setInteger(i, k);
    return v;
}


// The families the changes run on: every format the engine appends to or rebuilds indexes of.
struct Kind {
    const char* name;
    TableSpec spec;
    const char* file;
    // Makes the table at the path instead of `spec` (a family the writer does not make).
    std::function<void(const std::string&)> make;
};

std::vector<Kind> kinds() {
    std::vector<Kind> out;
    std::mt19937 rng(7);
    auto word = [&](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + rng() % 26));
        return s;
    };
    {
        TableSpec s;
        s.format = TableFormat::DBase;
        s.level = 3;
        s.fields = {{"NAME", 'C', 20, 0}, {"AMOUNT", 'N', 10, 2}, {"DAY", 'D', 0, 0}, {"OK", 'L', 0, 0},
                    {"NOTES", 'M', 0, 0}};
        for (int i = 0; i < 30; ++i)
            s.records.push_back({text(word(8)), integer(i * 3), integer(730000 + i, ValueKind::Date),
                                 integer(i % 2, ValueKind::Boolean), text(word(static_cast<std::size_t>(i * 40)))});
        out.push_back({"dBase III with memos", s, "D3.DBF", nullptr});
    }
    {
        TableSpec s;
        s.format = TableFormat::DBase;
        s.level = 7;
        s.fields = {{"ID", '+', 0, 0}, {"NAME", 'C', 30, 0}, {"NOTES", 'M', 0, 0}};
        for (int i = 0; i < 20; ++i) s.records.push_back({FieldValue(), text(word(10)), text(word(700))});
        out.push_back({"dBase 7 with auto-increment and memos", s, "D7.DBF", nullptr});
    }
    {
        TableSpec s;
        s.format = TableFormat::Paradox;
        s.level = 4;
        s.blockSizeKB = 1;
        s.fields = {{"Name", 'A', 20, 0}, {"Count", 'S', 0, 0}, {"Day", 'D', 0, 0}, {"Memo", 'M', 20, 0}};
        for (int i = 0; i < 40; ++i)
            s.records.push_back({text(word(12)), integer(i), integer(730000 + i, ValueKind::Date), text(word(30))});
        out.push_back({"Paradox 4 unkeyed with memos", s, "P4.DB", nullptr});
    }
    {
        TableSpec s;
        s.format = TableFormat::Paradox;
        s.level = 7;
        s.blockSizeKB = 1;
        s.password = "secret";
        s.fields = {{"Id", '+', 0, 0}, {"Name", 'A', 30, 0}, {"Data", 'B', 12, 0}, {"Memo", 'M', 11, 0}};
        for (int i = 0; i < 25; ++i) s.records.push_back({FieldValue(), text(word(9)), FieldValue(), text(word(3000))});
        out.push_back({"Paradox 7 encrypted with BLOBs", s, "P7.DB", nullptr});
    }
    return out;
}

// Indexed families for the index rebuild.
std::vector<Kind> indexedKinds() {
    std::vector<Kind> out;
    {
        TableSpec s;
        s.format = TableFormat::Paradox;
        s.level = 7;
        s.blockSizeKB = 1;
        s.fields = {{"Code", 'I', 0, 0}, {"Name", 'A', 24, 0}, {"City", 'A', 16, 0}};
        s.keyFields = 1;
        IndexSpec byName;
        byName.name = "Name";
        byName.fields = {"Name"};
        IndexSpec byCity;
        byCity.name = "ByCityName";
        byCity.fields = {"City", "Name"};
        s.indexes = {byName, byCity};
        for (int i = 0; i < 400; ++i)
            s.records.push_back({integer(i * 7), text("name " + std::to_string((i * 37) % 400)), text("city " + std::to_string(i % 13))});
        out.push_back({"Paradox keyed with secondary indexes", s, "PK.DB", nullptr});
    }
    {
        TableSpec s;
        s.format = TableFormat::DBase;
        s.level = 4;
        s.fields = {{"NAME", 'C', 20, 0}, {"AMOUNT", 'N', 10, 2}};
        IndexSpec byName;
        byName.name = "NAME";
        byName.fields = {"NAME"};
        IndexSpec byAmount;
        byAmount.name = "AMOUNT";
        byAmount.fields = {"AMOUNT"};
        byAmount.descending = true;
        s.indexes = {byName, byAmount};
        for (int i = 0; i < 900; ++i) s.records.push_back({text("n" + std::to_string((i * 31) % 900)), integer(i % 50)});
        out.push_back({"dBase IV with a production index", s, "DX.DBF", nullptr});
    }
    return out;
}

// A FoxPro table with its structural .cdx (the corpus calls.dbf): its records' keys moved out of
// the way, then 1500 records imported (the .cdx written again, its leaves full), keyed on 7 k + 40.
Kind foxProKind() {
    Kind k{"FoxPro with a structural .cdx", TableSpec{}, "calls.dbf", nullptr};
    k.make = [](const std::string& path) {
        copyFamily(dbaseCorpus("infused__dbf/spec/fixtures/foxprodb/calls.dbf"), folderPart(path));
        auto table = openTableFile(path);
        for (std::uint32_t r = 0; r < table->recordCount(); ++r) table->updateRecord(r, {{0, integer(100000 + r)}});
        auto change = table->beginAppend();
        std::vector<bool> given(table->fields().size(), false);
        given[0] = given[1] = true;
        for (int j = 0; j < 1500; ++j) {
            std::vector<FieldValue> row(table->fields().size());
            row[0] = integer(7 * j + 40);
            row[1] = integer(j % 50);
            change->append(row, given);
        }
        change->commit();
    };
    return k;
}

// Keyed Paradox families for inserts and deletes, keyed on multiples of 7: full 1 KB blocks, one
// with a record in each block (a delete empties a block, an insert splits one), encrypted, with
// BLOBs in the .MB.
std::vector<Kind> keyedKinds() {
    std::vector<Kind> out = {indexedKinds()[0]};
    TableSpec s;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.blockSizeKB = 1;
    s.password = "secret";
    s.keyFields = 1;
    s.fields = {{"Code", 'I', 0, 0}, {"Name", 'A', 200, 0}, {"Town", 'A', 250, 0}, {"Street", 'A', 250, 0}, {"Memo", 'M', 20, 0}};
    IndexSpec byName;
    byName.name = "Name";
    byName.fields = {"Name"};
    s.indexes = {byName};
    for (int i = 0; i < 30; ++i)
        s.records.push_back({integer(i * 7), text("name " + std::to_string(i % 9)), text("town"), text("street"),
                             text(std::string(static_cast<std::size_t>(3000 + i), static_cast<char>('a' + i % 26)))});
    out.push_back({"Paradox keyed, encrypted, a record a block", s, "PB.DB", nullptr});
    return out;
}

// A keyed table with a record in each 1 KB block and an index on a long field: an insert splits a
// data block and a full block of the .X in place, and adds an entry to a .PX of two levels.
Kind splittingKind() {
    TableSpec s;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.blockSizeKB = 1;
    s.keyFields = 1;
    s.fields = {{"Code", 'I', 0, 0}, {"Name", 'A', 200, 0}, {"Town", 'A', 250, 0}, {"Street", 'A', 250, 0}};
    IndexSpec byName;
    byName.name = "Name";
    byName.fields = {"Name"};
    s.indexes = {byName};
    for (int i = 0; i < 250; ++i)
        s.records.push_back({integer(i * 7), text("name " + std::to_string(i * 13 % 250)), text("town"), text("street")});
    return {"Paradox keyed, blocks of the .X and the .PX split in place", s, "PS.DB", nullptr};
}

// Values for new records: every field the table lets a record be given, of its type.
std::vector<std::vector<FieldValue>> newRecords(const TableFile& table, std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::vector<FieldValue>> rows;
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<FieldValue> row(table.fields().size());
        for (std::size_t i = 0; i < row.size(); ++i) {
            const FieldDef& f = table.fields()[i];
            FieldValue& v = row[i];
            switch (f.dataType) {
                case ftString: {
                    std::string s;
                    for (int k = pick(1, std::min(12, std::max(1, f.size))); k > 0; --k) s.push_back(static_cast<char>('A' + pick(0, 25)));
                    v = text(s);
                    break;
                }
                case ftMemo: {
                    std::string s(static_cast<std::size_t>(pick(0, 3) == 0 ? pick(2000, 5000) : pick(0, 200)), 'm');
                    for (char& c : s) c = static_cast<char>('a' + pick(0, 25));
                    v = text(s);
                    break;
                }
                case ftBlob: {
                    v.setText(ValueKind::Binary);
                    for (int k = pick(0, 3000); k > 0; --k) v.text.push_back(static_cast<char>(pick(0, 255)));
                    break;
                }
                case ftSmallint: v = integer(pick(-30000, 30000)); break;
                case ftInteger: v = integer(pick(-100000, 100000)); break;
                case ftFloat: v.setReal(pick(-100000, 100000) / 4.0); break;
                case ftBoolean: v = integer(pick(0, 1), ValueKind::Boolean); break;
                case ftDate: v = integer(pick(700000, 740000), ValueKind::Date); break;
                default: break;  // auto-increment and the rest: left out
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<bool> givenFields(const TableFile& table) {
    std::vector<bool> given;
    for (const FieldDef& f : table.fields())
        given.push_back(f.dataType == ftString || f.dataType == ftMemo || f.dataType == ftBlob ||
                        f.dataType == ftSmallint || f.dataType == ftInteger || f.dataType == ftFloat ||
                        f.dataType == ftBoolean || f.dataType == ftDate);
    return given;
}

OpenOptions optionsFor(const Kind& k) {
    OpenOptions o;
    if (!k.spec.password.empty()) o.knownPasswords.push_back(k.spec.password);
    return o;
}

std::string dumpOf(const std::string& path, const OpenOptions& options) {
    auto table = openTableFile(path, options);
    return dumpToString(*table);
}

std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : listFolder(folder)) files[name] = readFile(joinPath(folder, name));
    return files;
}

void restore(const std::string& folder, const std::map<std::string, std::string>& files) {
    for (const std::string& name : listFolder(folder)) ::unlink(joinPath(folder, name).c_str());
    for (const auto& [name, bytes] : files) writeFile(joinPath(folder, name), bytes);
}

enum class Operation { Import, Post, Rebuild, Pack, Insert, Delete, Load };

void runOperation(Operation op, const std::string& path, const OpenOptions& options, std::uint32_t seed) {
    auto table = openTableFile(path, options);
    switch (op) {
        case Operation::Import: {
            auto change = table->beginAppend();
            for (const auto& row : newRecords(*table, 300, seed)) change->append(row, givenFields(*table));
            change->commit();
            break;
        }
        case Operation::Post: {
            const std::vector<bool> given = givenFields(*table);
            const std::vector<FieldValue> row = newRecords(*table, 1, seed)[0];
            std::vector<TableFile::FieldChange> changes;
            for (std::size_t i = 0; i < row.size(); ++i)
                if (given[i] && table->fieldReadOnlyReason(i).empty()) changes.push_back({i, row[i]});
            table->updateRecord(1, changes);
            break;
        }
        case Operation::Pack:
            table->pack();
            break;
        case Operation::Insert: {
            // Keys between those of the table (multiples of 7): full blocks split. A dBase table's
            // names all go into one leaf of its tag, which splits.
            auto change = table->beginAppend();
            std::vector<std::vector<FieldValue>> rows = newRecords(*table, 5, seed);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                rows[i][0] = table->fields()[0].dataType == ftString ? text("n45" + std::string(1, static_cast<char>('a' + i)))
                                                                     : integer(7 * static_cast<std::int64_t>(i * 61 % 30) + 3);
                change->append(rows[i], givenFields(*table));
            }
            change->commit();
            break;
        }
        case Operation::Load: {
            // So many records between those of the table that it is written again in key order.
            auto change = table->beginAppend();
            std::vector<std::vector<FieldValue>> rows = newRecords(*table, 1100, seed);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                rows[i][0] = integer(7 * static_cast<std::int64_t>(i) + 5);
                change->append(rows[i], givenFields(*table));
            }
            change->commit();
            break;
        }
        case Operation::Delete:
            table->deleteRecord(1);
            break;
        case Operation::Rebuild: {
            FamilyChange change(path);
            const std::vector<RebuiltIndexFile> files = rebuildIndexFiles(*table);
            for (const RebuiltIndexFile& f : files) change.preserveWhole(f.path);
            for (const RebuiltIndexFile& f : files) {
                writeRebuilt(change, f);
            }
            change.commit();
            break;
        }
    }
}

std::uint64_t killAt = 0;
tavrinth::testing::WriteAction killMode = tavrinth::testing::WriteAction::KillBefore;
std::uint64_t writesSeen = 0;

tavrinth::testing::WriteAction killHook(std::uint64_t n) {
    writesSeen = n;
    return n == killAt ? killMode : tavrinth::testing::WriteAction::Go;
}

// Runs the operation in a child process that is killed before write `k` (or in its middle).
// Returns true when the child was killed, false when it finished first.
bool runAndKill(Operation op, const std::string& path, const OpenOptions& options, std::uint64_t k,
                tavrinth::testing::WriteAction mode) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        killAt = k;
        killMode = mode;
        tavrinth::testing::setAppendFlushBytes(4096);
        tavrinth::testing::setWriteHook(killHook);
        try {
            runOperation(op, path, options, 99);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        return true;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the change failed without being killed";
    return false;
}

void expectSound(const std::string& path, const OpenOptions& options, const std::string& when) {
    const std::vector<std::string> problems = checkTableFamily(path, options);
    EXPECT_TRUE(problems.empty()) << when << ": " << (problems.empty() ? std::string() : problems.front());
}

struct Case {
    Operation op;
    Kind kind;
};

// Index files with bytes after their end, as damage leaves them: the rebuild writes them whole.
void damageIndexFiles(const std::string& folder) {
    for (const std::string& name : listFolder(folder)) {
        const std::string ext = toUpperAscii(extensionPart(name));
        if (ext == ".PX" || ext == ".MDX" || (ext.size() == 4 && (ext[1] == 'X' || ext[1] == 'Y')))
            writeFile(joinPath(folder, name), readFile(joinPath(folder, name)) + std::string(4096, '\xEE'));
    }
}

void killEverywhere(const Case& c, std::size_t& killPoints) {
    TempDir pristineDir, work;
    const std::string pristine = pristineDir.file(c.kind.file);
    TableSpec spec = c.kind.spec;
    if (c.op == Operation::Pack) {  // every third record marked deleted, for the pack to remove
        spec.deleted.assign(spec.records.size(), false);
        for (std::size_t i = 0; i < spec.deleted.size(); i += 3) spec.deleted[i] = true;
    }
    if (c.kind.make) c.kind.make(pristine);
    else createTable(pristine, spec);
    if (c.op == Operation::Rebuild) damageIndexFiles(pristineDir.path());
    const OpenOptions options = optionsFor(c.kind);
    const std::string before = dumpOf(pristine, options);
    const auto pristineFiles = snapshot(pristineDir.path());
    const std::string path = work.file(c.kind.file);

    // The change made whole, counting its writes.
    restore(work.path(), pristineFiles);
    tavrinth::testing::setAppendFlushBytes(4096);
    killAt = 0;
    tavrinth::testing::setWriteHook(killHook);
    runOperation(c.op, path, options, 99);
    tavrinth::testing::setWriteHook(nullptr);
    tavrinth::testing::setAppendFlushBytes(0);
    const std::uint64_t writes = writesSeen;
    const std::string after = dumpOf(path, options);
    expectSound(path, options, std::string(c.kind.name) + ", after the whole change");
    const auto afterFiles = snapshot(work.path());
    ASSERT_FALSE(afterFiles == pristineFiles);
    ASSERT_GE(writes, 3u);  // the journal, a file, the journal's removal

    for (std::uint64_t k = 1; k <= writes; ++k)
        for (const auto mode : {tavrinth::testing::WriteAction::KillBefore, tavrinth::testing::WriteAction::TearAndKill}) {
            const std::string when = std::string(c.kind.name) + ", killed " +
                                     (mode == tavrinth::testing::WriteAction::KillBefore ? "before" : "in the middle of") +
                                     " write " + std::to_string(k) + " of " + std::to_string(writes);
            restore(work.path(), pristineFiles);
            ASSERT_TRUE(runAndKill(c.op, path, options, k, mode)) << when;
            ++killPoints;
            // Read as it is: the old family while a journal is left, never a torn one.
            const bool journalLeft = fileExists(journalPathFor(path));
            const std::string seen = dumpOf(path, options);
            EXPECT_TRUE(seen == before || seen == after) << when;
            if (journalLeft) {
                EXPECT_EQ(seen, before) << when;
            }
            // The next change puts a half-made one back: the old bytes exactly, or the new.
            { FamilyChange next(path); }
            EXPECT_FALSE(fileExists(journalPathFor(path))) << when;
            const auto files = snapshot(work.path());
            EXPECT_TRUE(files == pristineFiles || files == afterFiles) << when << ": neither the old nor the new files";
            if (journalLeft) {
                EXPECT_TRUE(files == pristineFiles) << when << ": not put back to the old files";
            }
            EXPECT_EQ(dumpOf(path, options), files == pristineFiles ? before : after) << when;
            if (c.op != Operation::Rebuild || files == afterFiles) {
                expectSound(path, options, when);
            }
        }
}

}  // namespace

// Every write of an import (hundreds, with small pieces), of a post, and of an index rebuild.
TEST(CrashSafety, AKilledChangeLeavesTheOldOrTheNewFamily) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    std::size_t killPoints = 0;
    for (const Kind& k : kinds()) {
        killEverywhere({Operation::Import, k}, killPoints);
        killEverywhere({Operation::Post, k}, killPoints);
    }
    // An import into a dBase IV table with an .MDX, and a change of its keys: the records, then
    // the index written again; packs of a table with memos and of one with an .MDX.
    killEverywhere({Operation::Import, indexedKinds()[1]}, killPoints);
    killEverywhere({Operation::Post, indexedKinds()[1]}, killPoints);
    killEverywhere({Operation::Pack, kinds()[0]}, killPoints);
    killEverywhere({Operation::Pack, indexedKinds()[1]}, killPoints);
    // The same packs with the old bytes journaled through a spool file, as a big table's are.
    tavrinth::testing::setHeldJournalBytes(64);
    killEverywhere({Operation::Pack, kinds()[0]}, killPoints);
    killEverywhere({Operation::Pack, indexedKinds()[1]}, killPoints);
    tavrinth::testing::setHeldJournalBytes(0);
    for (const Kind& k : indexedKinds()) {
        // A damaged index file, rebuilt.
        killEverywhere({Operation::Rebuild, k}, killPoints);
    }
    std::printf("kill points tried: %zu\n", killPoints);
    EXPECT_GT(killPoints, 200u);
}

// Every write of an insert into a keyed table (blocks split, the index files kept up to date in
// place or written again), of a few records into a dBase table's .MDX in place (a leaf split), and
// of a delete (a block emptied onto the free list, the BLOBs of the record freed).
TEST(CrashSafety, AKilledInsertOrDeleteLeavesTheOldOrTheNewFamily) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    std::size_t killPoints = 0;
    for (const Kind& k : keyedKinds()) {
        killEverywhere({Operation::Insert, k}, killPoints);
        killEverywhere({Operation::Load, k}, killPoints);
        killEverywhere({Operation::Delete, k}, killPoints);
    }
    killEverywhere({Operation::Insert, splittingKind()}, killPoints);
    // A few records into a dBase IV table: its .MDX changed in place, a leaf split.
    const std::uint64_t splits = tavrinth::testing::mdxInPlaceCounts().leafSplits;
    killEverywhere({Operation::Insert, indexedKinds()[1]}, killPoints);
    EXPECT_GT(tavrinth::testing::mdxInPlaceCounts().leafSplits, splits);
    // The same into a FoxPro table: its .cdx changed in place, the first leaf of a tag split.
    const tavrinth::testing::MdxInPlaceCounts cdx = tavrinth::testing::cdxInPlaceCounts();
    killEverywhere({Operation::Insert, foxProKind()}, killPoints);
    EXPECT_GT(tavrinth::testing::cdxInPlaceCounts().leafSplits, cdx.leafSplits);
    EXPECT_EQ(tavrinth::testing::cdxInPlaceCounts().leftToRebuild, cdx.leftToRebuild);
    std::printf("kill points tried: %zu\n", killPoints);
    EXPECT_GT(killPoints, 60u);
}

// A journal that is damaged or belongs to another table is never applied: the table reads as the
// files are, with a warning, and refuses every change, leaving every byte as it was.
TEST(CrashSafety, AJournalThatCannotBeAppliedLeavesTheTableReadOnly) {
    const Kind kind = kinds()[0];
    TempDir dir;
    const std::string path = dir.file(kind.file);
    createTable(path, kind.spec);
    Journal foreign;
    foreign.tableName = "OTHER.DBF";
    Journal::File f;
    f.name = "OTHER.DBF";
    foreign.files.push_back(f);
    const std::vector<std::uint8_t> foreignBytes = foreign.serialize();
    std::vector<std::uint8_t> cut = Journal{kind.file, {}, {}, nullptr}.serialize();
    cut.pop_back();
    std::vector<std::uint8_t> flipped = Journal{kind.file, {}, {}, nullptr}.serialize();
    flipped[10] ^= 1;
    // A range whose end wraps past 2^64 (its checksum is right): never laid over the file.
    Journal wrapping{kind.file, {Journal::File{kind.file, true, 100}}, {}, nullptr};
    wrapping.ranges.push_back({0, ~std::uint64_t{0} - 15, std::vector<std::uint8_t>(32, 0)});
    for (const auto& [journal, words] : std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{
             {foreignBytes, "belongs to another table"}, {cut, "damaged"}, {flipped, "damaged"},
             {wrapping.serialize(), "damaged"}}) {
        writeFile(journalPathFor(path), std::string(journal.begin(), journal.end()));
        const auto files = snapshot(dir.path());
        auto table = openTableFile(path);
        ASSERT_FALSE(table->warnings().empty());
        EXPECT_NE(table->warnings().back().find(words), std::string::npos) << table->warnings().back();
        EXPECT_NE(table->writeRefusal().find(words), std::string::npos);
        EXPECT_THROW(table->updateRecord(0, {{0, text("x")}}), EDBEngineError);
        EXPECT_THROW(table->beginAppend(), EDBEngineError);
        try {
            FamilyChange change(path);
            ADD_FAILURE() << "a change began beside a journal that cannot be applied";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
        EXPECT_TRUE(snapshot(dir.path()) == files);
        ::unlink(journalPathFor(path).c_str());
    }
}

// An import that fails on its way (a value the field cannot hold, after many records were
// written, into a table with index files too) leaves every byte of the family as it was.
TEST(CrashSafety, AFailedImportLeavesEveryByte) {
    std::vector<Kind> all = kinds();
    all.push_back(indexedKinds()[1]);
    for (const Kind& kind : all) {
        TempDir dir;
        const std::string path = dir.file(kind.file);
        createTable(path, kind.spec);
        const auto files = snapshot(dir.path());
        tavrinth::testing::setAppendFlushBytes(4096);
        {
            auto table = openTableFile(path, optionsFor(kind));
            auto change = table->beginAppend();
            auto rows = newRecords(*table, 250, 5);
            for (const auto& row : rows) change->append(row, givenFields(*table));
            std::vector<FieldValue> bad = rows[0];
            bad[1] = text(std::string(300, 'x'));  // wider than the field
            EXPECT_THROW(change->append(bad, givenFields(*table)), EDBEngineError) << kind.name;
        }
        tavrinth::testing::setAppendFlushBytes(0);
        EXPECT_TRUE(snapshot(dir.path()) == files) << kind.name;
    }
    // Records placed in key order (blocks split), or so many that the table is written again in
    // key order, then one whose key another record has: refused when the records are placed.
    for (const std::size_t count : {std::size_t(60), std::size_t(1500)})
    for (const Kind& kind : keyedKinds()) {
        TempDir dir;
        const std::string path = dir.file(kind.file);
        createTable(path, kind.spec);
        const auto files = snapshot(dir.path());
        {
            auto table = openTableFile(path, optionsFor(kind));
            auto change = table->beginAppend();
            auto rows = newRecords(*table, count, 5);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                rows[i][0] = integer(7 * static_cast<std::int64_t>(i) + 3);
                change->append(rows[i], givenFields(*table));
            }
            std::vector<FieldValue> taken = rows[0];
            taken[0] = integer(14);
            try {
                change->append(taken, givenFields(*table));
                change->commit();
                ADD_FAILURE() << kind.name << ": a key taken twice was accepted";
            } catch (const EDBEngineError& e) {
                EXPECT_NE(std::string(e.what()).find("Cannot add record " + std::to_string(count + 1) + " "), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find("key violation"), std::string::npos) << e.what();
            }
        }
        EXPECT_TRUE(snapshot(dir.path()) == files) << kind.name << ", " << count << " records";
    }
}

// Runs `work(0)` and `work(1)` in two child processes released at the same moment, and expects
// both to finish (an exception is a failure).
void runTwoAtOnce(const std::function<void(int child)>& work, const std::string& what) {
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            char c;
            if (::read(go[0], &c, 1) != 1) ::_exit(4);
            try {
                work(child);
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ASSERT_EQ(::write(go[1], "gg", 2), 2);
    ::close(go[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what;
    }
}

// Two processes insert into one indexed table at once, one record at a time, each through its own
// table object opened before the other's changes: every insert waits for the lock, reads what
// the other changed, and keeps every index file right where it changes.
TEST(CrashSafety, TwoWritersInsertingOneRecordAtATimeKeepEveryIndexRight) {
    std::vector<Kind> all = indexedKinds();
    all.push_back(splittingKind());
    all.push_back(foxProKind());
    for (const Kind& kind : all) {
        TempDir dir;
        const std::string path = dir.file(kind.file);
        if (kind.make) kind.make(path);
        else createTable(path, kind.spec);
        const OpenOptions options = optionsFor(kind);
        const std::size_t old = [&] { return openTableFile(path, options)->recordCount(); }();
        runTwoAtOnce(
            [&](int child) {
                auto table = openTableFile(path, options);
                const std::vector<bool> given = givenFields(*table);
                for (int i = 0; i < 40; ++i) {
                    std::vector<FieldValue> row = newRecords(*table, 1, static_cast<std::uint32_t>(child * 100 + i))[0];
                    // Keys of their own: between the table's (multiples of 7), or names of the child.
                    if (table->fields()[0].dataType == ftString) row[0] = text("w" + std::to_string(child) + "-" + std::to_string(i));
                    else row[0] = integer(7 * (3 * i + child) + 3);
                    table->insertRecord(row, given);
                }
            },
            kind.name);
        EXPECT_EQ(openTableFile(path, options)->recordCount(), old + 80) << kind.name;
        EXPECT_EQ(checkTableFamily(path, options), std::vector<std::string>{}) << kind.name;
    }
}

// Two processes import into one table at once: both land, one after the other, never mixed.
TEST(CrashSafety, TwoImportsAtOnceNeverMix) {
    for (const Kind& kind : {kinds()[0], kinds()[3]}) {
        TempDir dir;
        const std::string path = dir.file(kind.file);
        createTable(path, kind.spec);
        const OpenOptions options = optionsFor(kind);
        const std::size_t old = [&] { return openTableFile(path, options)->recordCount(); }();
        runTwoAtOnce(
            [&](int child) {
                auto table = openTableFile(path, options);
                auto change = table->beginAppend();
                for (auto row : newRecords(*table, 2000, 3)) {
                    row[table->fields()[0].dataType == ftString ? 0 : 1] = text(child == 0 ? "FIRST" : "SECOND");
                    change->append(row, givenFields(*table));
                }
                change->commit();
            },
            kind.name);
        auto table = openTableFile(path, options);
        ASSERT_EQ(table->recordCount(), old + 4000) << kind.name;
        const std::size_t markerField = table->fields()[0].dataType == ftString ? 0 : 1;
        std::vector<std::string> runs;
        for (std::uint32_t i = static_cast<std::uint32_t>(old); i < table->recordCount(); ++i) {
            FieldValue v;
            table->decode(table->record(i), markerField, v);
            if (runs.empty() || runs.back() != v.text) runs.push_back(v.text);
        }
        EXPECT_EQ(runs.size(), 2u) << kind.name << ": the two imports' records are mixed";
        expectSound(path, options, kind.name);
    }
}
