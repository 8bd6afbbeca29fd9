// Thousands of random inserts, deletes, changes of any field (keys of .MDX tags and memos
// included) and packs on dBase III, IV and 7 tables of about a thousand records, against a model
// of the rows: after every stretch `check` passes and the dump is the model's; at the end readers
// we did not write agree (python3-dbfread for the records and memos, Perl's XBase::Index for every
// tag). Two tags have a FOR clause (one asks DELETED(), so a delete changes what it holds). A
// refusal (a duplicate key in a unique tag among them) leaves every byte of the family as it was.
// The single changes keep the .MDX up to date in place: leaves, inner nodes and roots split.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "csv.h"
#include "dbase/dbf_cdx_update.h"
#include "dbase/dbf_mdx_update.h"
#include "dump.h"
#include "byte_order.h"
#include "engine_error.h"
#include "file_io.h"
#include "index_rebuild.h"
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

struct Row {
    bool deleted = false;
    std::vector<std::string> cells;  // the dump's text of each field
};

struct Case {
    const char* name;
    int level;
    bool autoInc;  // field 0 is an auto-increment field
};

class RandomEdits {
public:
    RandomEdits(const Case& c, const std::string& folder, unsigned seed) : case_(c), rng_(seed) {
        path_ = joinPath(folder, std::string(c.name) + ".DBF");
        TableSpec s;
        s.format = TableFormat::DBase;
        s.level = c.level;
        if (c.autoInc) s.fields.push_back(columnSpec("ID", '+'));
        for (ColumnSpec f : {columnSpec("CODE", 'C', 6), columnSpec("CITY", 'C', 12), columnSpec("QTY", 'N', 6),
                             columnSpec("PRICE", 'N', 9, 2), columnSpec("DAY", 'D', 8), columnSpec("OK", 'L', 1),
                             columnSpec("NOTE", 'M', 10), columnSpec("NAME", 'C', 90)})
            s.fields.push_back(f);
        code_ = c.autoInc ? 1 : 0;
        if (c.level >= 4)
            s.indexes = {indexSpec("CODE", {"CODE"}), indexSpec("PLACE", {}, false, false, false, "CITY+CODE"),
                         indexSpec("RECENT", {"DAY"}, false, true), indexSpec("BIG", {"CODE"}), indexSpec("SOME", {"CITY"}),
                         // Ten keys a node: a tree of three levels
                         indexSpec("WIDE", {"NAME"}, false, false, true)};
        if (c.level == 7) {
            CheckSpec qty;
            qty.field = "QTY";
            qty.minKind = qty.maxKind = BoundKind::Value;
            qty.minValue = integerValue(0);
            qty.maxValue = integerValue(9000);
            s.checks = {qty};
        }
        for (int i = 0; i < 40; ++i) {
            std::vector<FieldValue> v = randomValues(true);
            s.records.push_back(v);
            model_.push_back(rowOf(v));
        }
        createTable(path_, s);
        if (c.level >= 4) {
            const std::string mdx = path_.substr(0, path_.size() - 4) + ".MDX";
            setForClause(mdx, "BIG", "QTY > 4000 .AND. .NOT. DELETED()");
            setForClause(mdx, "SOME", "OK .OR. CITY = \"A\"");
            for (const RebuiltIndexFile& f : rebuildIndexFiles(*openTableFile(path_)))
                { const auto b = f.contents(); writeFile(f.path, std::string(b.begin(), b.end())); }
        }
        table_ = openTableFile(path_);
        // Then one import (the .MDX written again whole): nodes full, for single changes to split.
        auto import = table_->beginAppend();
        for (int i = 0; i < 900; ++i) {
            std::vector<FieldValue> v = randomValues(false);
            std::vector<bool> given(v.size(), true);
            if (case_.autoInc) given[0] = false;
            import->append(v, given);
            if (case_.autoInc) v[0] = integerValue(nextAuto_++);
            model_.push_back(rowOf(v));
        }
        import->commit();
    }

    void run(int operations) {
        for (int op = 1; op <= operations; ++op) {
            const int what = static_cast<int>(rng_() % 100);
            if (what < 35) insert();
            else if (what < 55) remove();
            else if (what < 93) change();
            else if (what < 96) refuse();
            else pack();
            if (op % 150 == 0 || op == operations) verify(op);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    // Readers we did not write, on the table as the edits left it.
    void independentReaders() {
        SCOPED_TRACE(case_.name);
        if (case_.level == 7) return independentIndexReader();  // dbfread reads no level 7 descriptors
        // python3-dbfread: the live records, memos included. A dBase IV memo block's length word
        // counts its 8-byte head too; dbfread reads that many bytes after the head, 8 too many,
        // which are cut here.
        const ProcessResult py = runProcess(
            {TAVRINTH_PYTHON3, "-c",
             "import sys\nfrom dbfread import DBF\n"
             "cut = 8 if sys.argv[2] == '4' else 0\n"
             "for r in DBF(sys.argv[1], encoding='cp1252'):\n"
             "  if cut and r['NOTE']: r['NOTE'] = r['NOTE'][:-cut]\n"
             "  print('|'.join('' if v is None else str(v) for v in r.values()))",
             path_, std::to_string(case_.level)});
        ASSERT_EQ(py.exitStatus, 0) << py.err;
        std::string expected;
        for (const Row& r : model_) {
            if (r.deleted) continue;
            std::string line;
            for (std::size_t i = 0; i < r.cells.size(); ++i) line += (i ? "|" : "") + pythonText(i, r.cells[i]);
            expected += line + "\n";
        }
        EXPECT_EQ(py.out, expected);
        if (case_.level >= 4) independentIndexReader();
    }

    void independentIndexReader() {
        // Perl's XBase::Index: every record once under each tag (dBase keeps the keys of records
        // marked deleted), keys equal to the values, in key order.
        const std::string mdx = path_.substr(0, path_.size() - 4) + ".MDX";
        const ProcessResult perl = runProcess(
            {"/usr/bin/perl", "-MXBase::Index", "-e",
             "for my $t (qw(CODE PLACE BIG SOME WIDE)) { my $i = XBase::Index->new($ARGV[0], tag => $t) or die XBase::Index->errstr; "
             "$i->prepare_select; while (my @e = $i->fetch) { print \"$t|$e[0]|$e[1]\\n\" } }",
             mdx});
        ASSERT_EQ(perl.exitStatus, 0) << perl.err;
        const std::size_t c = case_.autoInc ? 1 : 0;
        std::map<std::string, std::vector<std::pair<std::string, int>>> want;
        for (std::size_t r = 0; r < model_.size(); ++r) {
            const std::string code = padded(model_[r].cells[c], 6), city = padded(model_[r].cells[c + 1], 12);
            want["CODE"].push_back({code, static_cast<int>(r + 1)});
            want["PLACE"].push_back({city + code, static_cast<int>(r + 1)});
            // What the FOR clauses admit: a blank number is 0, a blank logical false.
            const std::string& qty = model_[r].cells[c + 2];
            if (!model_[r].deleted && qty != "\\N" && std::stoi(qty) > 4000) want["BIG"].push_back({code, static_cast<int>(r + 1)});
            if (model_[r].cells[c + 5] == "T" || city[0] == 'A') want["SOME"].push_back({city, static_cast<int>(r + 1)});
            want["WIDE"].push_back({padded(model_[r].cells[c + 7], 90), static_cast<int>(r + 1)});
        }
        std::map<std::string, std::vector<std::pair<std::string, int>>> got;
        for (std::size_t at = 0, end; (end = perl.out.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = perl.out.substr(at, end - at);
            const std::size_t a = line.find('|'), b = line.rfind('|');
            got[line.substr(0, a)].push_back({line.substr(a + 1, b - a - 1), std::stoi(line.substr(b + 1))});
        }
        for (auto& [tag, entries] : want) {
            std::stable_sort(entries.begin(), entries.end());
            // Equal keys may come in any order of their record numbers.
            std::vector<std::pair<std::string, int>> g = got[tag];
            EXPECT_TRUE(std::is_sorted(g.begin(), g.end(), [](auto& x, auto& y) { return x.first < y.first; })) << tag;
            std::sort(g.begin(), g.end());
            EXPECT_EQ(g, entries) << tag;
        }
    }

private:
    // Gives the tag `name` of an .MDX the FOR clause `clause` (byte 245 and the text at 762 of its header).
    static void setForClause(const std::string& mdx, const std::string& name, const std::string& clause) {
        std::string b = readFile(mdx);
        for (std::size_t entry = 544; entry + 32 <= 2048; entry += 32) {
            if (b.compare(entry + 4, name.size() + 1, std::string(name.c_str(), name.size() + 1)) != 0) continue;
            const std::size_t header = loadLE32(reinterpret_cast<const std::uint8_t*>(b.data()) + entry) * 512u;
            b[header + 245] = 1;
            b.replace(header + 762, clause.size() + 1, std::string(clause.c_str(), clause.size() + 1));
            writeFile(mdx, b);
            return;
        }
        ADD_FAILURE() << "no tag " << name << " in " << mdx;
    }

    static std::string padded(std::string s, std::size_t n) { return s == "\\N" ? std::string(n, ' ') : s + std::string(n - s.size(), ' '); }

    // A dump cell as dbfread prints it: NULL empty, logicals True/False, numbers as Python does.
    std::string pythonText(std::size_t field, const std::string& cell) const {
        if (cell == "\\N") return "";
        const std::size_t f = field - (case_.autoInc ? 1 : 0);
        if (case_.autoInc && field == 0) return cell;
        switch (f) {
            case 5: return cell == "T" ? "True" : "False";
            default: return cell;
        }
    }

    std::string randomText(std::size_t max, bool emptyOk) {
        static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";
        std::size_t n = rng_() % (max + 1);
        if (!emptyOk && n == 0) n = 1;
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += letters[rng_() % (sizeof letters - 1)];
        return s;
    }

    // Values for every field: the field left out (NULL) now and then.
    std::vector<FieldValue> randomValues(bool forWriter) {
        std::vector<FieldValue> v;
        if (case_.autoInc) v.push_back(forWriter ? integerValue(nextAuto_) : FieldValue{});
        if (case_.autoInc && forWriter) ++nextAuto_;
        for (int f = 0; f < 8; ++f) v.push_back(randomValue(f));
        return v;
    }
    FieldValue randomValue(int f) {
        const bool null = rng_() % 8 == 0;
        switch (f) {
            case 0: return textValue(randomText(6, false));
            case 1: return null ? textValue("") : textValue(randomText(12, true));
            case 2: return null ? FieldValue{} : integerValue(static_cast<std::int64_t>(rng_() % 9001));
            case 3: return null ? FieldValue{} : floatValue(static_cast<double>(static_cast<int>(rng_() % 2000000) - 1000000) / 100.0);
            // (a date tag takes no blank date: its key is not settled)
            case 4: return null && case_.level < 4 ? FieldValue{} : dateValue(1990 + static_cast<int>(rng_() % 40), 1 + static_cast<int>(rng_() % 12), 1 + static_cast<int>(rng_() % 28));
            case 5: return null ? FieldValue{} : booleanValue(rng_() % 2 == 0);
            case 6: return null ? FieldValue{} : textValue(randomText(rng_() % 3 == 0 ? 700 : 40, false));
            // (the key of a unique tag: never blank, not twice)
            default: {
                std::string name = randomText(70, true);
                while (name.size() < 20) name += randomText(20, false);
                return textValue(name);
            }
        }
    }
    // The row the dump shows for values as written (texts trimmed, as dBase keeps them).
    Row rowOf(const std::vector<FieldValue>& values) {
        Row r;
        for (const FieldValue& v : values) {
            std::string cell = dumpValueText(v);
            if (v.kind == ValueKind::String && v.text.empty()) cell = "";
            r.cells.push_back(cell);
        }
        return r;
    }

    std::vector<std::size_t> live() const {
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < model_.size(); ++i)
            if (!model_[i].deleted) out.push_back(i);
        return out;
    }
    // The position in table order of the model's physical row i.
    std::uint32_t positionOf(std::size_t physical) const {
        std::uint32_t p = 0;
        for (std::size_t i = 0; i < physical; ++i) p += !model_[i].deleted;
        return p;
    }

    void insert() {
        std::vector<FieldValue> v = randomValues(false);
        std::vector<bool> given(v.size(), true);
        if (case_.autoInc) given[0] = false;
        const std::int64_t recNo = table_->insertRecord(v, given);
        if (case_.autoInc) v[0] = integerValue(nextAuto_++);
        Row r = rowOf(v);
        // A memo or a text left empty reads as NULL or empty as the format keeps it.
        model_.push_back(r);
        EXPECT_EQ(recNo, static_cast<std::int64_t>(model_.size()));
        // Now and then a few more in one import.
        if (rng_() % 5 != 0) return;
        auto change = table_->beginAppend();
        for (std::size_t n = 2 + rng_() % 11; n > 0; --n) {
            std::vector<FieldValue> more = randomValues(false);
            change->append(more, given);
            if (case_.autoInc) more[0] = integerValue(nextAuto_++);
            model_.push_back(rowOf(more));
        }
        change->commit();
    }
    void remove() {
        const auto l = live();
        if (l.size() < 5) return;
        const std::size_t i = l[rng_() % l.size()];
        table_->deleteRecord(positionOf(i));
        model_[i].deleted = true;
    }
    void change() {
        const auto l = live();
        if (l.empty()) return;
        const std::size_t i = l[rng_() % l.size()];
        const int f = static_cast<int>(rng_() % 8);
        FieldValue v = randomValue(f);
        const std::size_t field = static_cast<std::size_t>(f) + (case_.autoInc ? 1 : 0);
        table_->updateRecord(positionOf(i), {{field, v}});
        std::string cell = dumpValueText(v);
        if (v.kind == ValueKind::String && v.text.empty()) cell = "";
        model_[i].cells[field] = cell;
    }
    // Changes the table must refuse: each leaves every byte as it was.
    void refuse() {
        const auto before = folderBytes(folderPart(path_));
        const auto l = live();
        const std::size_t field = (case_.autoInc ? 1 : 0);
        bool refused = false;
        const int what = static_cast<int>(rng_() % 4);
        try {
            if (case_.level >= 4 && what < 2) {  // the name of another record, in the unique tag
                const std::size_t other = l[rng_() % l.size()];
                const FieldValue name = textValue(model_[other].cells[field + 7]);
                if (what == 0) {
                    std::size_t i = l[rng_() % l.size()];
                    if (i == other) i = l[(std::find(l.begin(), l.end(), i) - l.begin() + 1) % l.size()];
                    table_->updateRecord(positionOf(i), {{field + 7, name}});
                } else {
                    std::vector<FieldValue> v = randomValues(false);
                    v[field + 7] = name;
                    std::vector<bool> given(v.size(), true);
                    if (case_.autoInc) given[0] = false;
                    table_->insertRecord(v, given);
                }
            } else if (case_.level == 7 && rng_() % 2 == 0)  // the check's maximum
                table_->updateRecord(positionOf(l[rng_() % l.size()]), {{field + 2, integerValue(9001)}});
            else  // a text too long for its field
                table_->updateRecord(positionOf(l[rng_() % l.size()]), {{field, textValue("TOOLONG7")}});
        } catch (const EDBEngineError& e) {
            refused = true;
            if (case_.level >= 4 && what < 2) {
                EXPECT_NE(std::string(e.what()).find("have the same key in the unique tag WIDE"), std::string::npos) << e.what();
            }
        }
        EXPECT_TRUE(refused);
        EXPECT_TRUE(folderBytes(folderPart(path_)) == before);
    }
    void pack() {
        std::uint64_t deleted = 0;
        for (const Row& r : model_) deleted += r.deleted;
        EXPECT_EQ(table_->pack(), deleted);
        model_.erase(std::remove_if(model_.begin(), model_.end(), [](const Row& r) { return r.deleted; }), model_.end());
    }

    void verify(int op) {
        SCOPED_TRACE(std::string(case_.name) + " after operation " + std::to_string(op));
        EXPECT_EQ(checkTableFamily(path_), std::vector<std::string>{});
        // A fresh reading of the files, as another program would make it.
        auto fresh = openTableFile(path_);
        std::string dump;
        writeDump(*fresh, [&](const std::string& s) { dump += s; });
        const CsvResult csv = parseCsv(dump);
        ASSERT_TRUE(csv.ok());
        ASSERT_EQ(csv.records.size(), model_.size() + 1);
        for (std::size_t r = 0; r < model_.size(); ++r) {
            CsvRecord want{model_[r].deleted ? "*" : ""};
            want.insert(want.end(), model_[r].cells.begin(), model_[r].cells.end());
            ASSERT_EQ(csv.records[r + 1], want) << "record " << r + 1;
        }
    }

    Case case_;
    std::mt19937 rng_;
    std::string path_;
    std::unique_ptr<TableFile> table_;
    std::vector<Row> model_;
    std::int64_t nextAuto_ = 1;
    int code_ = 0;
};

TEST(DBaseEditing, RandomEditsKeepTablesIndexesAndMemosRight) {
    TempDir dir;
    for (const Case& c : {Case{"THREE", 3, false}, Case{"FOUR", 4, false}, Case{"SEVEN", 7, true}}) {
        const tavrinth::testing::MdxInPlaceCounts before = tavrinth::testing::mdxInPlaceCounts();
        RandomEdits edits(c, dir.path(), 20261209u + static_cast<unsigned>(c.level));
        edits.run(1200);
        if (::testing::Test::HasFatalFailure()) return;
        edits.independentReaders();
        // The single changes went into the .MDX in place, splitting nodes of every kind.
        const tavrinth::testing::MdxInPlaceCounts& after = tavrinth::testing::mdxInPlaceCounts();
        std::printf("%s: %llu changes in place (%llu left to the rebuild), %llu leaf, %llu inner, %llu root splits\n",
                    c.name, static_cast<unsigned long long>(after.changes - before.changes),
                    static_cast<unsigned long long>(after.leftToRebuild - before.leftToRebuild),
                    static_cast<unsigned long long>(after.leafSplits - before.leafSplits),
                    static_cast<unsigned long long>(after.innerSplits - before.innerSplits),
                    static_cast<unsigned long long>(after.rootSplits - before.rootSplits));
        if (c.level >= 4) {
            EXPECT_GT(after.changes - before.changes, 500u);
            EXPECT_LT((after.leftToRebuild - before.leftToRebuild) * 20, after.changes - before.changes);
            EXPECT_GT(after.leafSplits - before.leafSplits, 0u);
            EXPECT_GT(after.innerSplits - before.innerSplits, 0u);
            EXPECT_GT(after.rootSplits - before.rootSplits, 0u);
        }
    }
}

TEST(DBaseEditing, IndexFilesThisProgramCannotWriteRefuseEveryChange) {
    // A dBase table with a .cdx beside it, which is not its structural index: inserts, deletes,
    // changes and packs are refused, the files left as they were.
    TempDir dir;
    const std::string table = copyFamily(dbaseCorpus("incubus__DBD-XBase/t/rooms.dbf"), dir.path());
    const auto before = folderBytes(dir.path());
    auto t = openTableFile(table);
    std::vector<std::string> messages;
    auto attempt = [&](auto&& f) {
        try {
            f();
            messages.push_back("done");
        } catch (const EDBEngineError& e) {
            messages.push_back(e.what());
        }
    };
    attempt([&] { t->insertRecord(std::vector<FieldValue>(t->fields().size()), std::vector<bool>(t->fields().size(), false)); });
    attempt([&] { t->deleteRecord(0); });
    attempt([&] { t->updateRecord(0, {{1, textValue("x")}}); });
    attempt([&] { t->pack(); });
    for (const std::string& m : messages) EXPECT_NE(toLowerAscii(m).find("rooms.cdx"), std::string::npos) << m;
    EXPECT_TRUE(folderBytes(dir.path()) == before);
}

// A FoxPro table's structural .cdx (a candidate tag, its primary key, and one on integer fields
// given a FOR clause here) kept up to date through random inserts, deletes, key changes and
// packs: check passes after each stretch, a key the candidate tag holds already is refused with
// every byte left as it was, and Perl's XBase::Index lists every record once under the candidate
// tag (FoxPro keeps the keys of records marked deleted until a pack) and every live record the
// clause admits, and no other, under the other.
TEST(DBaseEditing, FoxProStructuralIndexKeptUpToDate) {
    TempDir dir;
    const std::string table = copyFamily(dbaseCorpus("infused__dbf/spec/fixtures/foxprodb/calls.dbf"), dir.path());
    std::string cdx;
    for (const std::string& name : listFolder(dir.path()))
        if (toLowerAscii(extensionPart(name)) == ".cdx") cdx = dir.file(name);
    // The tag on contact_id gets a FOR clause (option 0x08, the clause after the key expression,
    // its length at 506; the file holds an older copy of the header too, given the same), and the
    // .cdx is written again from the records.
    {
        std::string b = readFile(cdx);
        const std::string key("contact_id\0", 11), clause = "CONTACT_ID > 4 .AND. !DELETED()";
        int headers = 0;
        for (std::size_t h = 512; h + 1024 <= b.size(); h += 512) {
            if (b.compare(h + 512, key.size(), key) != 0) continue;
            b[h + 14] = static_cast<char>(b[h + 14] | 0x08);
            b[h + 506] = static_cast<char>(clause.size() + 1);
            b.replace(h + 512 + key.size(), clause.size() + 1, std::string(clause.c_str(), clause.size() + 1));
            ++headers;
        }
        ASSERT_GT(headers, 0);
        writeFile(cdx, b);
        for (const RebuiltIndexFile& f : rebuildIndexFiles(*openTableFile(table)))
            { const auto b = f.contents(); writeFile(f.path, std::string(b.begin(), b.end())); }
    }
    std::mt19937 rng(20261209);
    auto t = openTableFile(table);
    const std::size_t fields = t->fields().size();
    std::int64_t nextId = 1000;
    const auto appendRecords = [&](int n) {
        auto change = t->beginAppend();
        for (; n > 0; --n) {
            std::vector<FieldValue> v(fields);
            std::vector<bool> given(fields, false);
            v[0] = integerValue(nextId++);
            v[1] = integerValue(static_cast<std::int64_t>(rng() % 9));
            given[0] = given[1] = true;
            change->append(v, given);
        }
        change->commit();
    };
    // One import (the .cdx written again whole, its leaves full), then single changes that go into
    // the tags in place, splitting leaves, inner nodes and roots.
    appendRecords(14000);
    const tavrinth::testing::MdxInPlaceCounts before = tavrinth::testing::cdxInPlaceCounts();
    int refused = 0;
    for (int op = 1; op <= 600; ++op) {
        const int what = static_cast<int>(rng() % 100);
        const auto contact = integerValue(static_cast<std::int64_t>(rng() % 9));
        if (what < 8) {
            appendRecords(2 + static_cast<int>(rng() % 11));
        } else if (what < 40 || t->recordCount() < 5) {
            std::vector<FieldValue> v(fields);
            std::vector<bool> given(fields, false);
            v[0] = integerValue(nextId++);
            v[1] = contact;
            given[0] = given[1] = true;
            t->insertRecord(v, given);
        } else if (what < 55) {
            t->deleteRecord(static_cast<std::uint32_t>(rng() % t->recordCount()));
        } else if (what < 75) {
            t->updateRecord(static_cast<std::uint32_t>(rng() % t->recordCount()), {{1, contact}});
        } else if (what < 88) {
            t->updateRecord(static_cast<std::uint32_t>(rng() % t->recordCount()), {{0, integerValue(nextId++)}});
        } else if (what < 97) {
            // The key of another record: refused.
            const auto before = folderBytes(dir.path());
            FieldValue other;
            t->decode(t->record(0), 0, other);
            EXPECT_THROW(t->updateRecord(t->recordCount() - 1, {{0, other}}), EDBEngineError);
            EXPECT_TRUE(folderBytes(dir.path()) == before);
            ++refused;
        } else {
            t->pack();
        }
        if (op % 50 == 0) {
            EXPECT_EQ(checkTableFamily(table), std::vector<std::string>{}) << "after operation " << op;
        }
    }
    EXPECT_GT(refused, 0);
    const tavrinth::testing::MdxInPlaceCounts& after = tavrinth::testing::cdxInPlaceCounts();
    std::printf("%llu changes in place (%llu left to the rebuild), %llu leaf, %llu inner, %llu root splits\n",
                static_cast<unsigned long long>(after.changes - before.changes),
                static_cast<unsigned long long>(after.leftToRebuild - before.leftToRebuild),
                static_cast<unsigned long long>(after.leafSplits - before.leafSplits),
                static_cast<unsigned long long>(after.innerSplits - before.innerSplits),
                static_cast<unsigned long long>(after.rootSplits - before.rootSplits));
    EXPECT_GT(after.changes - before.changes, 400u);
    EXPECT_EQ(after.leftToRebuild - before.leftToRebuild, 0u);
    EXPECT_GT(after.leafSplits - before.leafSplits, 0u);
    EXPECT_GT(after.innerSplits - before.innerSplits, 0u);
    EXPECT_GT(after.rootSplits - before.rootSplits, 0u);
    // The keys as XBase::Index reads them, against the dump.
    const ProcessResult perl = runProcess(
        {"/usr/bin/perl", "-MXBase::Index", "-e",
         "for my $t (qw(CALL_ID CONTACT_ID)) { my $i = XBase::Index->new($ARGV[0], tag => $t, type => 'N') or die "
         "XBase::Index->errstr; $i->prepare_select; while (my @e = $i->fetch) { print \"$t|$e[0]|$e[1]\\n\" } }",
         cdx});
    ASSERT_EQ(perl.exitStatus, 0) << perl.err;
    std::string dump;
    writeDump(*openTableFile(table), [&](const std::string& s) { dump += s; });
    const CsvResult csv = parseCsv(dump);
    ASSERT_TRUE(csv.ok());
    std::multiset<std::pair<long, std::size_t>> ids, contacts;
    for (std::size_t r = 1; r < csv.records.size(); ++r) {
        ids.insert({std::stol(csv.records[r][1]), r});
        if (csv.records[r][0] != "*" && std::stol(csv.records[r][2]) > 4) contacts.insert({std::stol(csv.records[r][2]), r});
    }
    std::multiset<std::pair<long, std::size_t>> gotIds, gotContacts;
    for (std::size_t at = 0, end; (end = perl.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = perl.out.substr(at, end - at);
        const std::size_t a = line.find('|'), b = line.rfind('|');
        (line.compare(0, a, "CALL_ID") == 0 ? gotIds : gotContacts)
            .insert({std::lround(std::stod(line.substr(a + 1, b - a - 1))), std::stoul(line.substr(b + 1))});
    }
    EXPECT_EQ(gotIds, ids);
    EXPECT_EQ(gotContacts, contacts);
}

}  // namespace
