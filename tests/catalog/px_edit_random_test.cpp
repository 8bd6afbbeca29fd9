// Thousands of random inserts, deletes, key changes and changes of indexed fields, memos and BLOBs
// on Paradox tables (keyed level 7 with secondary, composite, descending and unique indexes and
// 1 KB blocks; keyed level 4; encrypted; unkeyed; a copy of a real keyed table with a secondary
// index), against a model of the rows: after every stretch `check` passes (the .PX and every
// secondary index agreeing with the records) and the records read in key order are the model's.
// A refusal (a key that exists, a value a unique index holds already) leaves every byte of the
// family as it was. Blocks emptied by deletes go on the free list and are taken again before the
// file grows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "byte_order.h"
#include "engine_error.h"
#include "file_io.h"
#include "paradox/px_crypt.h"
#include "paradox/px_table.h"
#include "process.h"
#include "table_check.h"
#include "table_file.h"
#include "table_writer.h"
#include "test_files.h"
#include "test_paths.h"
#include "value_text.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

// A 16-bit word of the table's header (0x0A blocks in use, 0x0C blocks in the file).
unsigned headerWord(const std::string& path, unsigned offset) {
    std::ifstream in(path, std::ios::binary);
    std::uint8_t b[2] = {};
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(b), 2);
    return loadLE16(b);
}

struct Case {
    const char* name;
    // Writes the table into the folder and returns its path.
    std::function<std::string(const std::string& folder)> make;
    std::string password;
    int operations;
    bool emptiesBlocks;  // the shrinking third empties blocks (small blocks, most records deleted)
};

TableSpec keyedSeven() {
    TableSpec s;
    s.level = 7;
    s.blockSizeKB = 1;
    s.keyFields = 1;
    s.fields = {columnSpec("Id", 'I'),      columnSpec("Name", 'A', 16), columnSpec("City", 'A', 12),
                columnSpec("Code", 'A', 6), columnSpec("Score", 'N'),    columnSpec("Serial", '+'),
                columnSpec("Notes", 'M', 14), columnSpec("Data", 'B', 10)};
    s.indexes = {indexSpec("Name", {"Name"}), indexSpec("CityName", {"City", "Name"}),
                 indexSpec("CodeUnique", {"Code"}, false, false, true), indexSpec("ScoreDown", {"Score"}, false, true),
                 indexSpec("CityCi", {"City"}, true)};
    for (int i = 0; i < 120; ++i)
        s.records.push_back({integerValue(i * 23), textValue("name" + std::to_string(i % 37)),
                             textValue(i % 5 ? "city" + std::to_string(i % 7) : "CITY" + std::to_string(i % 3)),
                             textValue("c" + std::to_string(i)), floatValue((i % 41) / 8.0), FieldValue(),
                             i % 3 ? textValue(std::string(static_cast<std::size_t>(i * 37 % 900 + 1), 'n')) : FieldValue(),
                             i % 4 ? binaryValue(std::string(static_cast<std::size_t>(i * 53 % 3000 + 1), '\x07')) : FieldValue()});
    return s;
}

TableSpec keyedFour() {
    TableSpec s;
    s.level = 4;
    s.codePage = "CP437";
    s.blockSizeKB = 1;
    s.keyFields = 2;
    s.fields = {columnSpec("Name", 'A', 10), columnSpec("No", 'S'), columnSpec("Day", 'D'), columnSpec("Note", 'M', 15)};
    s.indexes = {indexSpec("Day", {"Day"})};
    for (int i = 0; i < 90; ++i)
        s.records.push_back({textValue("k" + std::to_string(i % 9)), integerValue(i), dateValue(1990 + i % 20, 1 + i % 12, 1 + i % 28),
                             i % 2 ? textValue("note " + std::to_string(i)) : FieldValue()});
    return s;
}

TableSpec keyedFive() {
    TableSpec s = keyedFour();
    s.level = 5;
    s.codePage = "CP1252";
    s.indexes = {indexSpec("DayName", {"Day", "Name"}), indexSpec("No", {"No"})};
    return s;
}

TableSpec encryptedKeyed() {
    TableSpec s;
    s.level = 7;
    s.blockSizeKB = 1;
    s.keyFields = 1;
    s.password = "secret";
    s.fields = {columnSpec("Code", 'A', 8), columnSpec("Tag", 'A', 6), columnSpec("Amount", 'N'), columnSpec("Memo", 'M', 12),
                columnSpec("Pic", 'B', 10)};
    s.indexes = {indexSpec("Tag", {"Tag"})};
    for (int i = 0; i < 60; ++i)
        s.records.push_back({textValue("K" + std::to_string(100 + i * 3)), textValue("t" + std::to_string(i % 6)),
                             floatValue(i / 4.0), textValue(std::string(static_cast<std::size_t>(i * 91 % 2500 + 1), 'm')),
                             FieldValue()});
    return s;
}

TableSpec unkeyed() {
    TableSpec s;
    s.level = 5;
    s.blockSizeKB = 1;
    s.fields = {columnSpec("Name", 'A', 12), columnSpec("Qty", 'I'), columnSpec("Day", 'D'), columnSpec("Memo", 'M', 11)};
    for (int i = 0; i < 50; ++i)
        s.records.push_back({textValue("r" + std::to_string(i)), integerValue(i), dateValue(2000, 1 + i % 12, 1 + i % 28),
                             i % 3 ? textValue(std::string(static_cast<std::size_t>(i * 77 % 3000 + 1), 'u')) : FieldValue()});
    return s;
}

std::string made(const std::string& folder, const std::string& file, const TableSpec& spec) {
    const std::string path = joinPath(folder, file);
    createTable(path, spec);
    return path;
}


class RandomEdits {
public:
    RandomEdits(const Case& c, const std::string& folder, unsigned seed) : case_(c), rng_(seed) {
        path_ = c.make(folder);
        options_.knownPasswords = {c.password};
        table_ = openTableFile(path_, options_);
        const std::vector<FieldDef>& fields = table_->fields();
        for (const TIndexDef& d : table_->readIndexes()) {
            if (d.has(ixPrimary)) {
                keyFields_ = d.fieldIndexes;
                continue;
            }
            for (const int f : d.fieldIndexes)
                if (std::find(indexed_.begin(), indexed_.end(), f) == indexed_.end()) indexed_.push_back(f);
            if (d.has(ixUnique)) unique_.push_back(d.fieldIndexes);
        }
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const int f = static_cast<int>(i);
            if (fields[i].dataType == ftAutoInc) autoInc_ = f;
            else if (fields[i].typeLetter == 'M' || fields[i].typeLetter == 'B') blobs_.push_back(f);
            else if (std::find(keyFields_.begin(), keyFields_.end(), f) == keyFields_.end() &&
                     std::find(indexed_.begin(), indexed_.end(), f) == indexed_.end())
                plain_.push_back(f);
        }
        for (std::uint32_t r = 0; r < table_->recordCount(); ++r) {
            Row row;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                FieldValue v;
                table_->decode(table_->record(r), i, v);
                row.values.push_back(v);
                if (static_cast<int>(i) == autoInc_) nextAuto_ = std::max(nextAuto_, v.integer + 1);
            }
            model_.push_back(row);
        }
        if (!keyFields_.empty()) {
            EXPECT_TRUE(std::is_sorted(model_.begin(), model_.end(), [&](const Row& a, const Row& b) { return sortKey(a) < sortKey(b); }));
            startBlocks_ = headerWord(path_, 0x0C);
        }
        EXPECT_EQ(checkTableFamily(path_, options_), std::vector<std::string>{}) << "the table as made";
    }

    void run() {
        const int n = case_.operations;
        for (int op = 1; op <= n; ++op) {
            // A third growing, a third shrinking (blocks leave the chain), a third of everything.
            const int phase = op * 3 / (n + 1);
            const int what = static_cast<int>(rng_() % 100);
            const int inserts = phase == 0 ? 55 : phase == 1 ? 5 : 45;
            const int deletes = inserts + (phase == 1 ? 75 : 12);
            if (what < inserts) insert();
            else if (what < deletes) remove();
            else if (what < deletes + 8) changeKey();
            else if (what < deletes + 16) changeIndexed();
            else if (what < deletes + 24) changeBlob();
            else changePlain();
            if (!keyFields_.empty()) {
                maxInUse_ = std::max(maxInUse_, headerWord(path_, 0x0A));
                // The file grows only when no free block is left.
                ASSERT_LE(headerWord(path_, 0x0C), std::max(startBlocks_, maxInUse_)) << case_.name << " operation " << op;
            }
            if (headerWord(path_, 0x4D) != 0) sawFreeBlocks_ = true;
            if (op % 100 == 0 || op == n) verify(op);
            if (::testing::Test::HasFatalFailure()) return;
        }
        EXPECT_GT(applied_, n / 2) << case_.name;
        if (!keyFields_.empty()) {
            EXPECT_GT(refused_, 0) << case_.name;
        }
        if (case_.emptiesBlocks) {
            EXPECT_TRUE(sawFreeBlocks_) << case_.name << ": no block went on the free list";
        }
    }

private:
    struct Row {
        std::vector<FieldValue> values;
    };

    // A text whose bytes sort as the records of a keyed table do: numbers as offset hex, text
    // padded with NULs to its field's size.
    std::string sortKey(const Row& r) const {
        std::string k;
        for (const int f : keyFields_) {
            const FieldDef& d = table_->fields()[static_cast<std::size_t>(f)];
            const FieldValue& v = r.values[static_cast<std::size_t>(f)];
            if (d.dataType == ftString) {
                std::string t = v.isNull() ? std::string() : v.text;
                t.resize(d.length, '\0');
                k += t;
            } else {
                char hex[24];
                std::snprintf(hex, sizeof hex, "%016llx",
                              static_cast<unsigned long long>(v.isNull() ? 0 : v.integer + (1ll << 40)));
                k += hex;
            }
        }
        return k;
    }
    std::size_t positionFor(const std::string& key) const {
        std::size_t p = 0;
        while (p < model_.size() && sortKey(model_[p]) < key) ++p;
        return p;
    }
    bool keyTaken(const std::string& key, std::size_t except) const {
        for (std::size_t i = 0; i < model_.size(); ++i)
            if (i != except && sortKey(model_[i]) == key) return true;
        return false;
    }
    bool uniqueTaken(const Row& r, std::size_t except) const {
        for (const std::vector<int>& fields : unique_)
            for (std::size_t i = 0; i < model_.size(); ++i) {
                if (i == except) continue;
                bool same = true;
                for (const int f : fields)
                    same = same && dumpValueText(model_[i].values[static_cast<std::size_t>(f)]) ==
                                       dumpValueText(r.values[static_cast<std::size_t>(f)]);
                if (same) return true;
            }
        return false;
    }

    std::string randomText(std::size_t min, std::size_t max, const char* letters) {
        const std::size_t n = min + rng_() % (std::max(min, max) - min + 1);
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += letters[rng_() % std::strlen(letters)];
        return s;
    }
    // A value of field f: keys and unique values from a small range, so that they meet taken ones.
    FieldValue randomValue(int f) {
        const FieldDef& d = table_->fields()[static_cast<std::size_t>(f)];
        const bool key = std::find(keyFields_.begin(), keyFields_.end(), f) != keyFields_.end();
        bool unique = false;
        for (const auto& u : unique_) unique = unique || std::find(u.begin(), u.end(), f) != u.end();
        const bool null = !key && !unique && rng_() % 10 == 0;
        if (null) return FieldValue{};
        const bool composite = keyFields_.size() > 1;
        switch (d.dataType) {
            case ftString:
                if (key) return textValue(d.size <= 5 ? std::to_string(200 + rng_() % (composite ? 40 : 800))
                                          : composite ? "k" + std::to_string(rng_() % 12)
                                                      : "K" + std::to_string(100 + rng_() % 400));
                if (unique) return textValue("c" + std::to_string(rng_() % 3000));
                return textValue(randomText(1, std::min<std::size_t>(static_cast<std::size_t>(d.size), 10), "abcxyzABCXYZ019"));
            case ftSmallint: return integerValue(static_cast<std::int64_t>(rng_() % (key ? 30 : 60000)) - (key ? 0 : 30000));
            case ftInteger: return integerValue(key ? static_cast<std::int64_t>(rng_() % 6000) : static_cast<std::int64_t>(rng_() % 2000000) - 1000000);
            case ftFloat: return floatValue(static_cast<double>(static_cast<int>(rng_() % 4000) - 2000) / 8.0);
            case ftDate:
                if (key) return dateValue(1990, 1 + static_cast<int>(rng_() % 2), 1 + static_cast<int>(rng_() % 3));
                return dateValue(1950 + static_cast<int>(rng_() % 80), 1 + static_cast<int>(rng_() % 12), 1 + static_cast<int>(rng_() % 28));
            case ftMemo: {
                // In the leader, in a shared .MB block, or in a block of its own.
                const std::size_t sizes[] = {d.length - 10u, 600, 1900, 5000};
                return textValue(randomText(1, sizes[rng_() % 4], "memo text "));
            }
            case ftBlob: {
                const std::size_t sizes[] = {d.length - 10u, 300, 2040, 9000};
                std::string b = randomText(1, sizes[rng_() % 4], "bin");
                for (char& c : b) c = static_cast<char>(c ^ static_cast<char>(rng_() & 0x83));
                return binaryValue(b);
            }
            default: return FieldValue{};
        }
    }

    // Runs a change the model says must be refused: every byte stays.
    void expectRefused(const std::function<void()>& change, const char* what, const std::string& words) {
        const auto before = folderBytes(folderPart(path_));
        try {
            change();
            ADD_FAILURE() << case_.name << ": " << what << " was not refused";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
        EXPECT_TRUE(folderBytes(folderPart(path_)) == before) << case_.name << ": a refused " << what << " changed files";
        ++refused_;
    }

    void insert() {
        Row r;
        std::vector<bool> given;
        for (std::size_t i = 0; i < table_->fields().size(); ++i) {
            const int f = static_cast<int>(i);
            r.values.push_back(f == autoInc_ ? FieldValue{} : randomValue(f));
            given.push_back(f != autoInc_);
        }
        const std::string key = sortKey(r);
        if (!keyFields_.empty() && keyTaken(key, SIZE_MAX)) {
            expectRefused([&] { table_->insertRecord(r.values, given); }, "record with a key that exists", "key violation");
            return;
        }
        if (uniqueTaken(r, SIZE_MAX)) {
            expectRefused([&] { table_->insertRecord(r.values, given); }, "record breaking a unique index", "unique index");
            return;
        }
        const std::int64_t recNo = table_->insertRecord(r.values, given);
        if (autoInc_ >= 0) r.values[static_cast<std::size_t>(autoInc_)] = integerValue(nextAuto_++);
        const std::size_t at = keyFields_.empty() ? model_.size() : positionFor(key);
        model_.insert(model_.begin() + static_cast<std::ptrdiff_t>(at), r);
        EXPECT_EQ(recNo, static_cast<std::int64_t>(at + 1)) << case_.name;
        ++applied_;
    }

    void remove() {
        if (model_.empty()) return;
        // Runs of deletes at either end of the table empty the first and the last block.
        const unsigned end = rng_() % 4;
        const std::size_t i = end == 0 ? 0 : end == 1 ? model_.size() - 1 : rng_() % model_.size();
        table_->deleteRecord(static_cast<std::uint32_t>(i));
        model_.erase(model_.begin() + static_cast<std::ptrdiff_t>(i));
        ++applied_;
    }

    // Gives field f of the record at position i a new value, or expects the refusal the model
    // foresees.
    void change(std::size_t i, int f, const FieldValue& v) {
        Row r = model_[i];
        r.values[static_cast<std::size_t>(f)] = v;
        const std::string key = sortKey(r);
        const auto update = [&] { table_->updateRecord(static_cast<std::uint32_t>(i), {{static_cast<std::size_t>(f), v}}); };
        if (!keyFields_.empty() && keyTaken(key, i)) return expectRefused(update, "key change to a key that exists", "key violation");
        if (uniqueTaken(r, i)) return expectRefused(update, "change breaking a unique index", "unique index");
        update();
        model_.erase(model_.begin() + static_cast<std::ptrdiff_t>(i));
        model_.insert(model_.begin() + static_cast<std::ptrdiff_t>(keyFields_.empty() ? i : positionFor(key)), r);
        ++applied_;
    }
    void changeIn(const std::vector<int>& fields) {
        if (model_.empty() || fields.empty()) return changePlain();
        const int f = fields[rng_() % fields.size()];
        change(rng_() % model_.size(), f, randomValue(f));
    }
    void changeKey() { changeIn(keyFields_); }
    void changeIndexed() { changeIn(indexed_); }
    void changeBlob() {
        if (model_.empty() || blobs_.empty()) return changePlain();
        const int f = blobs_[rng_() % blobs_.size()];
        change(rng_() % model_.size(), f, rng_() % 6 == 0 ? FieldValue{} : randomValue(f));
    }
    void changePlain() {
        if (model_.empty() || plain_.empty()) return;
        const int f = plain_[rng_() % plain_.size()];
        change(rng_() % model_.size(), f, randomValue(f));
    }

    void verify(int op) {
        SCOPED_TRACE(std::string(case_.name) + " after operation " + std::to_string(op));
        EXPECT_EQ(checkTableFamily(path_, options_), std::vector<std::string>{});
        // A fresh reading of the files, as another program would make it.
        auto fresh = openTableFile(path_, options_);
        ASSERT_EQ(fresh->recordCount(), model_.size());
        for (std::uint32_t r = 0; r < fresh->recordCount(); ++r)
            for (std::size_t i = 0; i < fresh->fields().size(); ++i) {
                FieldValue v;
                fresh->decode(fresh->record(r), i, v);
                ASSERT_EQ(dumpValueText(v), dumpValueText(model_[r].values[i]))
                    << "record " << r + 1 << " field " << fresh->fields()[i].name;
            }
        if (!blobs_.empty()) expectBlobSpaceHeldByRecords(*fresh);
    }

    // The .MB space in use (blocks of one BLOB, used entries of shared blocks) is exactly the
    // space the records point at: what a change replaced or deleted was freed.
    void expectBlobSpaceHeldByRecords(TableFile& table) {
        std::string mb;
        for (const std::string& name : listFolder(folderPart(path_)))
            if (equalsIgnoreCase(name, stemPart(fileNamePart(path_)) + ".mb")) mb = readFile(joinPath(folderPart(path_), name));
        ASSERT_FALSE(mb.empty());
        auto* bytes = reinterpret_cast<std::uint8_t*>(mb.data());
        const std::uint32_t checksum = static_cast<paradox::ParadoxTable&>(table).header().encryption;
        if (checksum != 0) paradox::decryptBlobChunks(bytes, mb.size(), checksum);
        std::set<std::uint32_t> used, pointed;
        for (std::size_t at = 0; at < mb.size();) {
            const unsigned units = loadLE16(bytes + at + 1);
            ASSERT_GT(units, 0u) << "block at " << at;
            if (bytes[at] == 2) used.insert(static_cast<std::uint32_t>(at) | 0xFF);
            if (bytes[at] == 3)
                for (unsigned e = 0; e < 64; ++e)
                    if (bytes[at + 12 + 5 * e] != 0) used.insert(static_cast<std::uint32_t>(at) | e);
            at += units * 4096u;
        }
        for (std::uint32_t r = 0; r < table.recordCount(); ++r)
            for (const int f : blobs_) {
                const FieldDef& d = table.fields()[static_cast<std::size_t>(f)];
                const std::uint8_t* p = table.record(r) + d.offset + d.length - 10;
                if (loadLE32(p + 4) > d.length - 10) {
                    EXPECT_TRUE(pointed.insert(loadLE32(p)).second) << "two records share a BLOB";
                }
            }
        EXPECT_TRUE(used == pointed) << used.size() << " BLOBs in the .MB, " << pointed.size() << " pointed at";
    }

    Case case_;
    std::mt19937 rng_;
    std::string path_;
    OpenOptions options_;
    std::unique_ptr<TableFile> table_;
    std::vector<Row> model_;
    std::vector<int> keyFields_, indexed_, blobs_, plain_;
    std::vector<std::vector<int>> unique_;
    int autoInc_ = -1;
    std::int64_t nextAuto_ = 1;
    unsigned startBlocks_ = 0, maxInUse_ = 0;
    bool sawFreeBlocks_ = false;
    int applied_ = 0, refused_ = 0;
};

const Case kCases[] = {
    {"keyed level 7, secondary, composite, unique, descending and case-insensitive indexes",
     [](const std::string& d) { return made(d, "SEVEN.DB", keyedSeven()); }, "", 1200, true},
    {"keyed level 4, two key fields", [](const std::string& d) { return made(d, "FOUR.DB", keyedFour()); }, "", 350, true},
    {"keyed level 5, composite and single-field indexes", [](const std::string& d) { return made(d, "FIVE.DB", keyedFive()); }, "",
     300, true},
    {"a real keyed level 3 table with free blocks",
     [](const std::string& d) { return copyFamily(paradoxCorpus("leonhad__paradoxdriver/src/test/resources/mtdemo/RENTAL.DB"), d); },
     "", 300, false},
    {"keyed and encrypted", [](const std::string& d) { return made(d, "crypt.db", encryptedKeyed()); }, "secret", 450, true},
    {"unkeyed", [](const std::string& d) { return made(d, "plain.db", unkeyed()); }, "", 350, true},
    {"a real keyed table with a case-insensitive secondary index",
     [](const std::string& d) { return copyFamily(paradoxCorpus("leonhad__paradoxdriver/src/test/resources/db/AREACODES.DB"), d); },
     "", 400, false},
};

TEST(ParadoxEditing, RandomEditsKeepRecordsInKeyOrderAndEveryIndexRight) {
    for (std::size_t c = 0; c < sizeof kCases / sizeof kCases[0]; ++c) {
        SCOPED_TRACE(kCases[c].name);
        TempDir dir;
        RandomEdits edits(kCases[c], dir.path(), 20261209u + static_cast<unsigned>(c));
        edits.run();
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// The free-block list and freed BLOBs as the engine's own files show them: a block emptied by a
// delete leaves the chain and heads the list from 0x4D (its "next" word the old head, its
// "previous" word the block before it, addDataSize -recordSize) and is the first taken again; a
// BLOB's old .MB space is marked free (a block of its own: type 4, modification number 0; an entry
// of a shared block: start 0, modification number 0).
TEST(ParadoxEditing, EmptiedBlocksAndReplacedBlobsAreFreedAsTheEngineMarksThem) {
    TempDir dir;
    TableSpec s;
    s.level = 7;
    s.blockSizeKB = 1;
    s.keyFields = 1;
    s.fields = {columnSpec("Id", 'I'), columnSpec("A", 'A', 250), columnSpec("B", 'A', 250), columnSpec("C", 'A', 250),
                columnSpec("Memo", 'M', 20)};  // 774 bytes: a record a block
    for (int i = 0; i < 4; ++i)
        s.records.push_back({integerValue(i * 10), textValue("a"), textValue("b"), textValue("c"),
                             textValue(std::string(i == 0 ? 3000 : 100, static_cast<char>('p' + i)))});
    const std::string path = dir.file("FREE.DB"), mbPath = dir.file("FREE.MB");
    createTable(path, s);
    auto table = openTableFile(path);
    const unsigned headerSize = headerWord(path, 0x02), recordSize = headerWord(path, 0x00);
    auto blockWord = [&](unsigned block, unsigned at) { return headerWord(path, headerSize + (block - 1) * 1024 + at); };
    auto memoPointer = [&](std::uint32_t position) {
        const FieldDef& f = table->fields()[4];
        return loadLE32(table->record(position) + f.offset + f.length - 10);
    };
    const std::uint32_t sharedEntry = memoPointer(1), ownBlock = memoPointer(0);
    ASSERT_EQ(headerWord(path, 0x0C), 4u);

    table->deleteRecord(1);  // block 2 empties
    EXPECT_EQ(headerWord(path, 0x4D), 2u);
    EXPECT_EQ(blockWord(2, 0), 0u);
    EXPECT_EQ(blockWord(2, 2), 1u);
    EXPECT_EQ(static_cast<std::int16_t>(blockWord(2, 4)), -static_cast<int>(recordSize));
    EXPECT_EQ(blockWord(1, 0), 3u);
    EXPECT_EQ(blockWord(3, 2), 1u);
    table->deleteRecord(1);  // block 3 empties and heads the list
    EXPECT_EQ(headerWord(path, 0x4D), 3u);
    EXPECT_EQ(blockWord(3, 0), 2u);
    EXPECT_EQ(headerWord(path, 0x0A), 2u);
    // The deleted records' memo entries of the shared block are free.
    std::string mb = readFile(mbPath);
    const std::size_t entry = (sharedEntry & 0xFFFFFF00u) + 12 + 5 * (sharedEntry & 0xFF);
    EXPECT_EQ(mb[entry], 0);
    EXPECT_NE(mb[entry + 1], 0);  // its chunk count stays
    EXPECT_EQ(loadLE16(reinterpret_cast<const std::uint8_t*>(mb.data()) + entry + 2), 0u);

    // A new memo value: the old block of its own becomes a free block.
    table->updateRecord(0, {{4, textValue(std::string(5000, 'n'))}});
    mb = readFile(mbPath);
    const auto* m = reinterpret_cast<const std::uint8_t*>(mb.data()) + (ownBlock & 0xFFFFFF00u);
    EXPECT_EQ(m[0], 4);
    EXPECT_EQ(loadLE16(m + 1), 1u);
    EXPECT_EQ(loadLE32(m + 3), 3000u);
    EXPECT_EQ(loadLE16(m + 7), 0u);
    EXPECT_NE(memoPointer(0), ownBlock);

    // The next block needed comes from the list, not from the end of the file.
    table->insertRecord({integerValue(5), textValue("x"), textValue("y"), textValue("z"), FieldValue{}},
                        std::vector<bool>(5, true));
    EXPECT_EQ(headerWord(path, 0x4D), 2u);
    EXPECT_EQ(headerWord(path, 0x0C), 4u);
    // Key 5 belongs in block 4 (its last key, 30, is the first at least 5), which splits: the
    // taken block follows it with key 30.
    EXPECT_EQ(blockWord(1, 0), 4u);
    EXPECT_EQ(blockWord(4, 0), 3u);
    EXPECT_EQ(blockWord(3, 2), 4u);
    EXPECT_EQ(blockWord(3, 0), 0u);
    EXPECT_EQ(headerWord(path, 0x10), 3u);
    EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{});
}

// Index files the rebuild cannot order (text under a sort order whose collation is not known
// here; a secondary index of an unkeyed table) refuse inserts, deletes and changes of the fields
// they hold up front, saying why; other fields still change.
TEST(ParadoxEditing, IndexesThatCannotBeKeptUpToDateRefuseTheChangesThatTouchThem) {
    TempDir dir;
    const std::string path = copyFamily(paradoxCorpus("leonhad__paradoxdriver/src/test/resources/db/CUSTOMER.DB"), dir.path());
    TableSpec u;
    u.fields = {columnSpec("A", 'A', 10), columnSpec("B", 'I')};
    u.indexes = {indexSpec("B", {"B"})};
    const std::string unkeyedPath = made(dir.path(), "u.db", u);
    const auto before = folderBytes(dir.path());
    for (const auto& [table, words] : {std::make_pair(path, std::string("sort order 'ANSII850'")),
                                       std::make_pair(unkeyedPath, std::string("Tup No"))}) {
        auto t = openTableFile(table);
        const std::size_t n = t->fields().size();
        std::vector<std::string> messages;
        try {
            t->insertRecord(std::vector<FieldValue>(n), std::vector<bool>(n, false));
        } catch (const EDBEngineError& e) {
            messages.push_back(e.what());
        }
        if (t->recordCount() > 0) {
            try {
                t->deleteRecord(0);
            } catch (const EDBEngineError& e) {
                messages.push_back(e.what());
            }
        }
        EXPECT_EQ(messages.size(), t->recordCount() > 0 ? 2u : 1u) << table;
        for (const std::string& m : messages) EXPECT_NE(m.find(words), std::string::npos) << m;
        for (const TIndexDef& d : t->readIndexes())
            for (const int f : d.fieldIndexes) {
                const std::string why = t->fieldReadOnlyReason(static_cast<std::size_t>(f));
                if (t->fields()[static_cast<std::size_t>(f)].dataType != ftAutoInc) {
                    EXPECT_NE(why.find(words), std::string::npos) << table << " field " << f << ": " << why;
                }
            }
    }
    EXPECT_TRUE(folderBytes(dir.path()) == before);
    // A field outside the indexes still changes.
    auto t = openTableFile(path);
    std::size_t plain = 0;
    while (plain < t->fields().size() && (t->fields()[plain].dataType != ftString || !t->fieldReadOnlyReason(plain).empty()))
        ++plain;
    ASSERT_LT(plain, t->fields().size());
    t->updateRecord(0, {{plain, textValue("changed")}});
    FieldValue v;
    t->decode(t->record(0), plain, v);
    EXPECT_EQ(v.text, "changed");
}

}  // namespace

namespace {

// The lines pxlib-dump prints for a Paradox file (the field names first).
std::vector<std::string> pxlibLines(const std::string& file) {
    const ProcessResult r = runProcess({TAVRINTH_PXLIB_DUMP, file});
    EXPECT_EQ(r.exitStatus, 0) << file << ": " << r.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(r.out.substr(at, end - at));
    return lines;
}

}  // namespace

// A table of more records than an index entry can count (32 767): inserts, a delete and a key
// change keep the trees up to date in place (a few blocks of each file change, not the file
// written again by a rebuild), and `check` passes.
TEST(ParadoxEditing, TheTreesOfALargeTableAreKeptUpToDateInPlace) {
    TempDir dir;
    TableSpec s;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.blockSizeKB = 1;
    s.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 8)};
    s.keyFields = 1;
    s.indexes = {indexSpec("Name", {"Name"})};
    for (int i = 0; i < 40000; ++i) s.records.push_back({integerValue(i * 4), textValue("n" + std::to_string(i * 7919 % 40000))});
    const std::string path = dir.file("BIG.DB");
    createTable(path, s);
    for (int step = 0; step < 4; ++step) {
        std::map<std::string, std::string> before;
        for (const std::string& name : listFolder(dir.path())) before[name] = readFile(dir.file(name));
        {
            auto t = openTableFile(path);
            if (step == 0) t->insertRecord({integerValue(2), textValue("first")}, {true, true});
            if (step == 1) t->insertRecord({integerValue(80001), textValue("n5")}, {true, true});
            if (step == 2) t->deleteRecord(20000);
            if (step == 3) t->updateRecord(30000, {{0, integerValue(3)}});
        }
        for (const auto& [name, bytes] : before) {
            const std::string now = readFile(dir.file(name));
            int changed = 0;
            for (std::size_t at = 0; at < std::max(now.size(), bytes.size()); at += 1024)
                if (now.substr(std::min(at, now.size()), 1024) != bytes.substr(std::min(at, bytes.size()), 1024)) ++changed;
            // A split of a data block moves half its records (42), whose index records get the new
            // block's number wherever they are in the .X.
            const bool x = toUpperAscii(extensionPart(name)).rfind(".X", 0) == 0;
            EXPECT_LE(changed, x ? 50 : 8) << name << ", step " << step;
        }
        EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{}) << "step " << step;
    }
}

// A reader we did not write (pxlib) reads the table and each secondary index file, as the table it
// is, after random inserts, deletes, key changes and changes of indexed fields, each a change of
// its own that keeps the index files up to date in place: data blocks, .X blocks and the trees
// split and grow a level. The records are the model's in key order, and each index lists every
// record once, in the order of its key and then the primary key. One more insert changes a few
// blocks of each .X, not the file (which a rebuild would write again, packed).
TEST(ParadoxEditing, PxlibReadsTheTableAndItsSecondaryIndexesAsTheyAre) {
    TempDir dir;
    TableSpec s;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.blockSizeKB = 1;
    s.fields = {columnSpec("Id", 'I'), columnSpec("Name", 'A', 40), columnSpec("City", 'A', 30)};
    s.keyFields = 1;
    s.indexes = {indexSpec("Name", {"Name"}), indexSpec("ByCity", {"City", "Name"})};
    std::mt19937 rng(20261209);
    auto word = [&](std::size_t n) {
        std::string w;
        for (std::size_t i = 0; i < n; ++i) w += static_cast<char>('A' + rng() % 6);
        return w;
    };
    std::map<std::int64_t, std::pair<std::string, std::string>> model;  // Id -> Name, City
    for (int i = 1; i <= 2000; ++i) {
        model[i * 10] = {word(1 + rng() % 8), word(1 + rng() % 4)};
        s.records.push_back({integerValue(i * 10), textValue(model[i * 10].first), textValue(model[i * 10].second)});
    }
    const std::string path = dir.file("T.DB");
    createTable(path, s);
    auto t = openTableFile(path);
    auto freshId = [&] {
        std::int64_t id;
        do id = 1 + static_cast<std::int64_t>(rng() % 40000);
        while (model.count(id));
        return id;
    };
    auto idAt = [&](std::uint32_t position) {
        auto it = model.begin();
        std::advance(it, position);
        return it->first;
    };
    const unsigned treeLevels = headerWord(dir.file("T.PX"), 0x20) & 0xFF;
    for (int op = 0; op < 1500; ++op) {
        const int what = static_cast<int>(rng() % 100);
        if (what < 40 || model.size() < 5) {
            const std::int64_t id = freshId();
            model[id] = {word(1 + rng() % 8), word(1 + rng() % 4)};
            t->insertRecord({integerValue(id), textValue(model[id].first), textValue(model[id].second)}, {true, true, true});
        } else if (what < 65) {
            const auto position = static_cast<std::uint32_t>(rng() % model.size());
            model.erase(idAt(position));
            t->deleteRecord(position);
        } else if (what < 80) {
            const auto position = static_cast<std::uint32_t>(rng() % model.size());
            const std::int64_t old = idAt(position), id = freshId();
            model[id] = model[old];
            model.erase(old);
            t->updateRecord(position, {{0, integerValue(id)}});
        } else {
            const auto position = static_cast<std::uint32_t>(rng() % model.size());
            const std::int64_t id = idAt(position);
            const std::size_t field = 1 + rng() % 2;
            const std::string v = word(1 + rng() % (field == 1 ? 8 : 4));
            (field == 1 ? model[id].first : model[id].second) = v;
            t->updateRecord(position, {{field, textValue(v)}});
        }
    }
    EXPECT_GT(headerWord(dir.file("T.PX"), 0x20) & 0xFF, treeLevels);
    t.reset();
    EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{});

    // One more insert: a handful of 1 KB blocks of each file change.
    std::map<std::string, std::string> before;
    for (const std::string& name : listFolder(dir.path())) before[name] = readFile(dir.file(name));
    t = openTableFile(path);
    const std::int64_t extra = freshId();
    t->insertRecord({integerValue(extra), textValue("EXTRA"), textValue("EXTRA")}, {true, true, true});
    t.reset();
    for (const auto& [name, bytes] : before) {
        const std::string ext = toUpperAscii(extensionPart(name));
        if (ext != ".DB" && !(ext.size() == 4 && ext[1] == 'X')) continue;
        const std::string now = readFile(dir.file(name));
        int changed = 0;
        for (std::size_t at = 0; at < std::max(now.size(), bytes.size()); at += 1024)
            if (now.substr(std::min(at, now.size()), 1024) != bytes.substr(std::min(at, bytes.size()), 1024)) ++changed;
        EXPECT_LE(changed, 4) << name;
    }
    model[extra] = {"EXTRA", "EXTRA"};
    EXPECT_EQ(checkTableFamily(path), std::vector<std::string>{});

    std::vector<std::string> table{"Id|Name|City"}, byName, byCity;
    for (const auto& [id, v] : model) {
        table.push_back(std::to_string(id) + "|" + v.first + "|" + v.second);
        byName.push_back(v.first + "|" + std::to_string(id));
        byCity.push_back(v.second + "|" + v.first + "|" + std::to_string(id));
    }
    EXPECT_EQ(pxlibLines(path), table);
    // Secondary keys in the order the index keeps them: the key, then the primary key (numbers
    // compare as numbers).
    auto order = [](std::vector<std::string>& rows) {
        auto parts = [](const std::string& row) {
            std::vector<std::string> p;
            for (std::size_t at = 0;;) {
                const std::size_t bar = row.find('|', at);
                p.push_back(row.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
                if (bar == std::string::npos) return p;
                at = bar + 1;
            }
        };
        std::sort(rows.begin(), rows.end(), [&](const std::string& a, const std::string& b) {
            const std::vector<std::string> x = parts(a), y = parts(b);
            for (std::size_t i = 0; i + 1 < x.size(); ++i)
                if (x[i] != y[i]) return x[i] < y[i];
            return std::stol(x.back()) < std::stol(y.back());
        });
    };
    order(byName);
    order(byCity);
    int indexFiles = 0;
    for (const std::string& name : listFolder(dir.path())) {
        const std::string ext = toUpperAscii(extensionPart(name));
        if (ext.size() != 4 || ext[1] != 'X') continue;
        ++indexFiles;
        std::vector<std::string> lines = pxlibLines(dir.file(name));
        ASSERT_FALSE(lines.empty()) << name;
        const bool composite = ext[2] == 'G';
        EXPECT_EQ(lines[0], composite ? "City|Name|Id|Blk Num" : "Name|Id|Blk Num") << name;
        // Without the block number each entry carries last.
        std::vector<std::string> rows;
        for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(lines[i].substr(0, lines[i].rfind('|')));
        EXPECT_EQ(rows, composite ? byCity : byName) << name;
    }
    EXPECT_EQ(indexFiles, 2);
}
