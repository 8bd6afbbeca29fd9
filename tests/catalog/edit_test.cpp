// Changing records in place: random edits on copies of real tables change exactly the edited
// cells (checked by our reader, by the bytes, and for dBase by python's dbfread); every refusal
// leaves the files byte-identical; a process killed while posting leaves a table that opens.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "csv.h"
#include "dump.h"
#include "engine_error.h"
#include "file_io.h"
#include "process.h"
#include "session.h"
#include "table.h"
#include "table_check.h"
#include "table_file.h"
#include "table_update.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : listFolder(folder)) files[name] = readFile(joinPath(folder, name));
    return files;
}

std::vector<CsvRecord> dumpRows(const std::string& path, const std::vector<std::string>& passwords = {}) {
    OpenOptions options;
    options.knownPasswords = passwords;
    auto table = openTableFile(path, options);
    CsvResult r = parseCsv(dumpToString(*table));
    EXPECT_TRUE(r.ok()) << r.error;
    return r.records;
}

// A value of the field's type that the field can hold and that reads back as itself, or a NULL.
bool randomValue(const FieldDef& f, const TableFile& table, std::mt19937& rng, FieldValue& v) {
    auto pick = [&](std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng); };
    const bool dbase = table.format() == TableFormat::DBase;
    if (pick(0, 9) == 0 && !(dbase && f.dataType == ftString)) {
        v.setNull();
        return true;
    }
    switch (f.dataType) {
        case ftString: {
            // Letters, digits and a few letters beyond ASCII that the code page holds; no
            // trailing blank (dBase trims it), at least one character for Paradox (an empty
            // Alpha is NULL).
            static const std::vector<std::string> alphabet = {"a", "B", "c", "x", "Z", "0", "7", " ", "-", "é", "Ü", "ß", "Ж"};
            const int max = std::min(f.size, 14);
            const int n = static_cast<int>(pick(1, std::max(1, max)));
            std::string text;
            for (int i = 0; i < n; ++i) {
                std::string c = alphabet[static_cast<std::size_t>(pick(0, alphabet.size() - 1))];
                std::string encoded;
                if (!table.codePage().encode(text + c, encoded) || static_cast<int>(encoded.size()) > f.size) continue;
                text += c;
            }
            while (!text.empty() && text.back() == ' ') text.pop_back();
            if (text.empty()) text = "q";
            v.setText(ValueKind::String);
            v.text = text;
            return true;
        }
        case ftSmallint: {
            if (dbase) {
                const std::int64_t hi = f.length >= 4 ? 9999 : (f.length == 3 ? 999 : (f.length == 2 ? 99 : 9));
                v.setInteger(pick(f.length >= 2 ? -(hi / 10) : 0, hi));
            } else {
                v.setInteger(pick(-32767, 32767));
            }
            return true;
        }
        case ftInteger:
            v.setInteger(pick(-2000000000, 2000000000));
            return true;
        case ftFloat: case ftCurrency: {
            if (f.typeLetter == 'Y') {
                v.setInteger(pick(-99999999, 99999999), ValueKind::Currency);
                return true;
            }
            if (dbase && (f.typeLetter == 'N' || f.typeLetter == 'F')) {
                // Whole digits that fit the width beside the sign, the point and the decimals.
                const int whole = static_cast<int>(f.length) - f.decimals - (f.decimals > 0 ? 1 : 0) - 1;
                if (whole < 1) return false;
                std::int64_t limit = 1;
                for (int i = 0; i < std::min(whole, 12); ++i) limit *= 10;
                std::int64_t scale = 1;
                for (int i = 0; i < f.decimals; ++i) scale *= 10;
                const std::int64_t units = pick(-(limit - 1) * scale, (limit - 1) * scale);
                if (f.decimals == 0) v.setInteger(units);
                else v.setReal(static_cast<double>(units) / static_cast<double>(scale));
                return true;
            }
            v.setReal(static_cast<double>(pick(-4000000, 4000000)) / 8.0);
            return true;
        }
        case ftDate:
            v.setInteger(pick(693596, 767011), ValueKind::Date);  // 1900 .. 2100
            return true;
        case ftTime:
            v.setInteger(pick(0, kMillisecondsPerDay - 1), ValueKind::Time);
            return true;
        case ftDateTime:
            v.setReal(static_cast<double>(pick(693596, 767011) * kMillisecondsPerDay + pick(0, kMillisecondsPerDay - 1)),
                      ValueKind::DateTime);
            return true;
        case ftBoolean:
            v.setInteger(pick(0, 1), ValueKind::Boolean);
            return true;
        case ftBCD: {
            std::string text = std::to_string(pick(-999999, 999999));
            if (f.decimals > 0) text += "." + std::string(static_cast<std::size_t>(f.decimals), '0' + static_cast<char>(pick(0, 9)));
            v.setText(ValueKind::Bcd);
            v.text = text;
            return true;
        }
        default:
            return false;
    }
}

// Byte ranges of the table file that the edits may touch: each edited record, widened to its
// 256-byte chunks for a scrambled Paradox table.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

void expectOnlyRangesChanged(const std::string& before, const std::string& after, const Ranges& allowed,
                             const std::string& what) {
    ASSERT_EQ(before.size(), after.size()) << what << ": the file size changed";
    std::size_t outside = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == after[i]) continue;
        const bool inside = std::any_of(allowed.begin(), allowed.end(),
                                        [&](const auto& r) { return i >= r.first && i < r.second; });
        if (!inside && outside++ < 3) ADD_FAILURE() << what << ": byte " << i << " changed outside the edited records";
    }
    EXPECT_EQ(outside, 0u) << what;
}

struct EditCase {
    std::string path;  // relative to the corpus
    std::vector<std::string> passwords;
    int edits;
};

// Values as python's dbfread reads the live records of a dBase table, in the dump's forms.
std::vector<CsvRecord> dbfreadRows(const std::string& path, const std::string& encoding) {
    TempDir dir;
    const std::string script = dir.file("read.py");
    writeFile(script,
              "import csv, datetime, sys\n"
              "from dbfread import DBF\n"
              "t = DBF(sys.argv[1], encoding=sys.argv[2], char_decode_errors='replace',\n"
              "        recfactory=lambda items: [v for _, v in items])  # keeps fields of the same name\n"
              "w = csv.writer(sys.stdout, lineterminator='\\r\\n')\n"
              "def text(v):\n"
              "    if v is None: return '\\\\N'\n"
              "    if isinstance(v, bool): return 'T' if v else 'F'\n"
              "    if isinstance(v, float): return repr(v)\n"
              "    if isinstance(v, datetime.datetime): return v.isoformat(timespec='milliseconds')\n"
              "    if isinstance(v, datetime.date): return v.isoformat()\n"
              "    if isinstance(v, bytes): return '<bytes>'\n"
              "    return str(v)\n"
              "w.writerow(t.field_names)\n"
              "for r in t: w.writerow([text(v) for v in r])\n");
    const ProcessResult r = runProcess({TAVRINTH_PYTHON3, script, path, encoding});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    CsvResult csv = parseCsv(r.out);
    EXPECT_TRUE(csv.ok()) << csv.error;
    return csv.records;
}

std::string pythonEncoding(const CodePage& page) { return toLowerAscii(page.name()); }

}  // namespace

class RandomEdits : public ::testing::TestWithParam<EditCase> {};

TEST_P(RandomEdits, ChangeExactlyTheEditedCells) {
    const EditCase& c = GetParam();
    TempDir dir;
    const std::string path = copyFamily(corpusDir() + "/" + c.path, dir.path());
    const auto before = snapshot(dir.path());
    const std::vector<CsvRecord> original = dumpRows(path, c.passwords);
    ASSERT_GT(original.size(), 1u);

    TSession session;
    for (const std::string& p : c.passwords) session.AddPassword(p);
    std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>()(c.path)));
    std::map<std::pair<int, int>, std::string> expected;  // (position, field) -> dump text
    Ranges ranges;
    int applied = 0, refused = 0;
    bool dbase = false, level7 = false;
    std::string encoding;
    {
        TTable table(&session);
        table.SetTableName(path);
        table.Open();
        TableFile& file = table.File();
        dbase = file.format() == TableFormat::DBase;
        level7 = dbase && (static_cast<unsigned char>(readFile(path)[0]) & 0x07) == 0x04;
        encoding = pythonEncoding(file.codePage());
        const bool scrambled = !file.password().empty();
        // A changed key moves a Paradox record to its place in key order (px_edit_random_test.cpp
        // follows such moves): the edits here keep their records where they are.
        std::vector<int> moving;
        table.IndexDefs().Update();
        for (int i = 0; !dbase && i < table.IndexDefs().Count(); ++i)
            if (table.IndexDefs()[i].has(ixPrimary)) moving = table.IndexDefs()[i].fieldIndexes;
        std::vector<int> editable;
        for (int i = 0; i < table.FieldCount(); ++i)
            if (table.Fields(i).ReadOnlyReason().empty() && std::find(moving.begin(), moving.end(), i) == moving.end())
                editable.push_back(i);
        ASSERT_FALSE(editable.empty()) << "no field of " << c.path << " can be changed";
        for (int n = 0; n < c.edits; ++n) {
            const int position = std::uniform_int_distribution<int>(0, table.RecordCount() - 1)(rng);
            const int field = editable[std::uniform_int_distribution<std::size_t>(0, editable.size() - 1)(rng)];
            FieldValue value;
            if (!randomValue(table.Fields(field).Def(), file, rng, value)) continue;
            const auto filesBefore = snapshot(dir.path());
            table.MoveToPosition(position);
            table.Edit();
            table.Fields(field).SetValue(value);
            try {
                table.Post();
            } catch (const EDBEngineError& e) {
                // A refusal (a validity check, a value out of range) leaves every file as it was.
                table.Cancel();
                EXPECT_EQ(snapshot(dir.path()), filesBefore) << "refused edit changed files: " << e.what();
                ++refused;
                continue;
            }
            ++applied;
            // The record re-read from the file holds the new value.
            EXPECT_EQ(dumpValueText(table.Fields(field).Value()), dumpValueText(value))
                << c.path << " record " << position << " field " << table.Fields(field).FieldName();
            expected[{position, field}] = dumpValueText(value);
            const std::uint64_t at = file.recordFileOffset(static_cast<std::uint32_t>(position));
            if (scrambled)
                ranges.push_back({at / 256 * 256, (at + file.recordSize() + 255) / 256 * 256});
            else
                ranges.push_back({at, at + file.recordSize()});
        }
    }
    EXPECT_GT(applied, c.edits / 3) << "too few edits were accepted (" << refused << " refused)";

    // Our reader: the edited cells hold their new values, every other cell its old one.
    std::vector<CsvRecord> want = original;
    std::vector<int> rowOfPosition;
    for (std::size_t r = 1; r < want.size(); ++r)
        if (!dbase || want[r][0] != "*") rowOfPosition.push_back(static_cast<int>(r));
    for (const auto& e : expected)
        want[static_cast<std::size_t>(rowOfPosition[static_cast<std::size_t>(e.first.first)])]
            [static_cast<std::size_t>(e.first.second + (dbase ? 1 : 0))] = e.second;
    const std::vector<CsvRecord> after = dumpRows(path, c.passwords);
    ASSERT_EQ(after.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(after[r].size(), want[r].size());
        for (std::size_t k = 0; k < want[r].size(); ++k)
            EXPECT_TRUE(sameCellValue(after[r][k], want[r][k]))
                << c.path << " row " << r << " column " << k << ": " << after[r][k] << " vs " << want[r][k];
    }

    // The bytes: the table changed only inside the edited records, its index files written again
    // when a key changed (and then agreeing with the records), the other companions untouched.
    const auto now = snapshot(dir.path());
    bool indexRewritten = false;
    for (const auto& f : before) {
        const std::string ext = toLowerAscii(extensionPart(f.first));
        const bool index = ext == ".mdx" || ext == ".px" || (ext.size() == 4 && (ext[1] == 'x' || ext[1] == 'y'));
        if (f.first == fileNamePart(path))
            expectOnlyRangesChanged(f.second, now.at(f.first), ranges, c.path);
        else if (index && now.at(f.first) != f.second)
            indexRewritten = true;
        else
            EXPECT_EQ(now.at(f.first), f.second) << f.first << " changed";
    }
    if (indexRewritten) {
        OpenOptions options;
        options.knownPasswords = c.passwords;
        EXPECT_EQ(checkTableFamily(path, options), std::vector<std::string>{}) << c.path;
    }

    // An independent reader agrees on every live record of a dBase table (it does not read
    // level 7 tables).
    if (dbase && !level7) {
        const std::vector<CsvRecord> independent = dbfreadRows(path, encoding);
        std::vector<CsvRecord> ours;
        for (std::size_t r = 1; r < after.size(); ++r)
            if (after[r][0] != "*") ours.push_back(CsvRecord(after[r].begin() + 1, after[r].end()));
        ASSERT_EQ(independent.size(), ours.size() + 1);
        for (std::size_t r = 0; r < ours.size(); ++r)
            for (std::size_t k = 0; k < ours[r].size(); ++k) {
                const std::string& theirs = independent[r + 1][k];
                if (theirs == "<bytes>" || ours[r][k].rfind("<", 0) == 0) continue;  // binary values
                // dbfread reads a dBase IV memo 8 bytes too far (it counts the block header's length
                // word as the text's length): its text starts with ours.
                const bool memoOverRead = theirs.size() > ours[r][k].size() && theirs.size() <= ours[r][k].size() + 8 &&
                                          theirs.compare(0, ours[r][k].size(), ours[r][k]) == 0;
                EXPECT_TRUE(sameCellValue(ours[r][k], theirs) || memoOverRead)
                    << c.path << " record " << r << " field " << independent[0][k] << ": ours " << ours[r][k]
                    << ", dbfread " << theirs;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(
    CorpusCopies, RandomEdits,
    ::testing::Values(
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/mtdemo/FILMS.DB", {}, 40},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/mtdemo/CUSTOMER.DB", {}, 40},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/areas/ZIPCODES.DB", {}, 60},
        EditCase{"paradox/teverett__paradoxReader/src/test/resources/examples/PCLDATA/PCL.DB", {}, 30},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/fields/time.db", {}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/fields/timestamp.db", {}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/fields/logical.db", {}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/fields/long.db", {}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/fields/date7.db", {}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/encrypt/encrypted.db", {"123"}, 20},
        EditCase{"paradox/leonhad__paradoxdriver/src/test/resources/encrypt/encrypted35.db", {"123"}, 20},
        EditCase{"dbase/infused__dbf/spec/fixtures/dbase_03.dbf", {}, 40},
        EditCase{"dbase/infused__dbf/spec/fixtures/dbase_83.dbf", {}, 40},
        EditCase{"dbase/infused__dbf/spec/fixtures/dbase_8b.dbf", {}, 30},
        EditCase{"dbase/yortus__DBFFile/test/fixtures/PYACFL.DBF", {}, 30},
        EditCase{"dbase/infused__dbf/spec/fixtures/dbase_30.dbf", {}, 30},
        EditCase{"dbase/albfernandez__javadbf/src/test/resources/fixtures/dbase_7.dbf", {}, 15},
        EditCase{"dbase/Aorid__Group-336.2/master.dbf", {}, 30}),
    [](const ::testing::TestParamInfo<EditCase>& info) {
        std::string name = stemPart(fileNamePart(info.param.path)) + "_" + std::to_string(info.index);
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// --- refusals ------------------------------------------------------------------------------------

namespace {

struct Fixture {
    TempDir dir;
    std::string path;
    std::map<std::string, std::string> before;
    explicit Fixture(const std::string& corpusPath) {
        path = copyFamily(corpusDir() + "/" + corpusPath, dir.path());
        before = snapshot(dir.path());
    }
    void expectUnchanged() const { EXPECT_EQ(snapshot(dir.path()), before); }
};

// Tries one change through the table object; returns the refusal's message (empty: accepted).
std::string tryChange(const std::string& path, int position, const std::string& field, const FieldValue& value,
                      TSession* session = nullptr) {
    TTable table(session);
    table.SetTableName(path);
    table.Open();
    table.MoveToPosition(position);
    table.Edit();
    try {
        table.FieldByName(field).SetValue(value);
        table.Post();
    } catch (const EDatabaseError& e) {
        table.Cancel();
        return e.what();
    }
    return std::string();
}

const char* kFilms = "paradox/leonhad__paradoxdriver/src/test/resources/mtdemo/FILMS.DB";
const char* kCustomer = "paradox/leonhad__paradoxdriver/src/test/resources/db/CUSTOMER.DB";

}  // namespace

TEST(EditRefusals, FieldsThatCannotChangeLeaveTheFilesAlone) {
    {
        Fixture f(kFilms);  // keyed on "Film #": a key another record has is refused
        EXPECT_NE(tryChange(f.path, 0, "Film #", textValue("A1002")).find("key violation"), std::string::npos);
        f.expectUnchanged();
    }
    {
        // A secondary index on field 6 ordering text by sort order 'ANSII850', whose collation is
        // not known here: the index cannot be kept up to date. A memo, a key.
        Fixture f(kCustomer);
        TTable t;
        t.SetTableName(f.path);
        t.Open();
        t.IndexDefs().Update();
        bool sawSecondary = false;
        for (int i = 1; i < t.IndexDefs().Count(); ++i)
            for (int field : t.IndexDefs()[i].fieldIndexes) {
                sawSecondary = true;
                EXPECT_NE(t.Fields(field).ReadOnlyReason().find("index"), std::string::npos);
            }
        EXPECT_TRUE(sawSecondary);
        for (int i = 0; i < t.FieldCount(); ++i)
            if (t.Fields(i).DataType() == ftMemo) {
                EXPECT_EQ(t.Fields(i).ReadOnlyReason(), "");  // memos are written to the .MB
            }
        f.expectUnchanged();
    }
    {
        Fixture f("paradox/leonhad__paradoxdriver/src/test/resources/fields/graphic.db");  // + and G fields
        TTable t;
        t.SetTableName(f.path);
        t.Open();
        for (int i = 0; i < t.FieldCount(); ++i) {
            if (t.Fields(i).DataType() == ftAutoInc) {
                t.Edit();
                EXPECT_THROW(t.Fields(i).SetValue(integerValue(5)), EDatabaseError);
                t.Cancel();
            }
            if (t.Fields(i).DataType() == ftGraphic) {
                // A graphic takes binary data, not a number.
                t.Edit();
                t.Fields(i).SetValue(integerValue(5));
                EXPECT_THROW(t.Post(), EDBEngineError);
                t.Cancel();
            }
        }
        f.expectUnchanged();
    }
    {
        // MDX tags on SYMBOL (unique) and PROJ_GRTH: a key that the unique tag holds already is
        // refused when the .MDX is written again.
        Fixture f("dbase/Aorid__Group-336.2/master.dbf");
        auto t = openTableFile(f.path);
        FieldValue second;
        t->decode(t->record(1), 0, second);
        EXPECT_NE(tryChange(f.path, 0, "SYMBOL", second).find("SYMBOL"), std::string::npos);
        f.expectUnchanged();
    }
    {
        // A dBase table with a .cdx beside it that is not its structural index: every field.
        Fixture f("dbase/incubus__DBD-XBase/t/rooms.dbf");
        TTable t;
        t.SetTableName(f.path);
        t.Open();
        EXPECT_NE(toLowerAscii(t.File().writeRefusal()).find("rooms.cdx"), std::string::npos) << t.File().writeRefusal();
        EXPECT_NE(tryChange(f.path, 0, "FACILITY", textValue("x")), "");
        f.expectUnchanged();
    }
}

TEST(EditRefusals, ValuesTheFieldCannotHoldLeaveTheFilesAlone) {
    Fixture films(kFilms);
    // Alpha 30: too long; a character code page 437 lacks.
    EXPECT_NE(tryChange(films.path, 1, "Film Title", textValue(std::string(31, 'x'))).find("30"), std::string::npos);
    EXPECT_NE(tryChange(films.path, 1, "Film Title", textValue("price in €")).find("code page"), std::string::npos);
    // Short: out of range.
    EXPECT_NE(tryChange(films.path, 1, "# in Stock", integerValue(40000)).find("outside"), std::string::npos);
    // The validity check of Year: 1900 .. 1999.
    EXPECT_NE(tryChange(films.path, 1, "Year", floatValue(1850)).find("Year must be at least 1900"), std::string::npos);
    EXPECT_NE(tryChange(films.path, 1, "Year", floatValue(2001)).find("Year must be at most 1999"), std::string::npos);
    // A wrong kind of value.
    EXPECT_NE(tryChange(films.path, 1, "Year", textValue("soon")), "");
    films.expectUnchanged();

    Fixture stations("dbase/infused__dbf/spec/fixtures/dbase_03.dbf");
    TTable t;
    t.SetTableName(stations.path);
    t.Open();
    for (int i = 0; i < t.FieldCount(); ++i) {
        const FieldDef& d = t.Fields(i).Def();
        if (d.typeLetter == 'C') {
            EXPECT_NE(tryChange(stations.path, 0, d.name, textValue(std::string(d.length + 1, 'y'))), "");
            FieldValue null;
            EXPECT_NE(tryChange(stations.path, 0, d.name, null).find("NULL"), std::string::npos);
        } else if (d.typeLetter == 'N' && d.length < 18) {
            EXPECT_NE(tryChange(stations.path, 0, d.name, integerValue(std::stoll(std::string(d.length + 1, '9')))), "");
        }
    }
    stations.expectUnchanged();
}

TEST(EditRefusals, TablesInUseOrProtectedLeaveTheFilesAlone) {
    {
        Fixture f(kFilms);
        writeFile(f.dir.file("PARADOX.LCK"), "lock");
        f.before = snapshot(f.dir.path());
        EXPECT_NE(tryChange(f.path, 0, "Film Title", textValue("Other")).find("PARADOX.LCK"), std::string::npos);
        f.expectUnchanged();
    }
    {
        Fixture f(kFilms);
        std::string bytes = readFile(f.path);
        bytes[0x38] = 1;  // write protection
        writeFile(f.path, bytes);
        f.before = snapshot(f.dir.path());
        EXPECT_NE(tryChange(f.path, 0, "Film Title", textValue("Other")).find("write-protected"), std::string::npos);
        f.expectUnchanged();
    }
    {
        // Another process holds a lock on the table file.
        Fixture f("dbase/infused__dbf/spec/fixtures/dbase_03.dbf");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int fd = ::open(f.path.c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = 0;
            fl.l_len = 1;
            if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) _exit(2);
            char c = 'x';
            if (write(ready[1], &c, 1) != 1) _exit(3);
            ::sleep(30);
            _exit(0);
        }
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        TTable t;
        t.SetTableName(f.path);
        t.Open();
        int field = -1;
        for (int i = 0; i < t.FieldCount() && field < 0; ++i)
            if (t.Fields(i).Def().typeLetter == 'C' && t.Fields(i).ReadOnlyReason().empty()) field = i;
        ASSERT_GE(field, 0);
        t.Edit();
        t.Fields(field).SetValue(textValue("x"));
        try {
            t.Post();
            ADD_FAILURE() << "a table locked by another process was written";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find("lock"), std::string::npos) << e.what();
            t.Cancel();
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        f.expectUnchanged();
    }
}

// The table is opened for writing only when the first change is posted.
TEST(Editing, TheFileIsOpenedForWritingOnlyOnPost) {
    Fixture f(kFilms);
    auto writableDescriptors = [&]() {
        int count = 0;
        const std::string dir = "/proc/self/fd";
        for (int fd = 0; fd < 1024; ++fd) {
            char link[4096];
            const std::string p = dir + "/" + std::to_string(fd);
            const ssize_t n = ::readlink(p.c_str(), link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = 0;
            if (std::string(link) != f.path) continue;
            const int flags = fcntl(fd, F_GETFL);
            if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) ++count;
        }
        return count;
    };
    TTable t;
    t.SetTableName(f.path);
    t.Open();
    t.MoveToPosition(2);
    EXPECT_EQ(writableDescriptors(), 0);
    t.Edit();
    t.FieldByName("Film Title").SetValue(textValue("A Changed Title"));
    EXPECT_EQ(writableDescriptors(), 0);
    t.Cancel();
    f.expectUnchanged();
    t.Edit();
    t.FieldByName("Film Title").SetValue(textValue("A Changed Title"));
    t.Post();
    // Held open for writing only while the change is written.
    EXPECT_EQ(writableDescriptors(), 0);
    EXPECT_EQ(t.FieldByName("Film Title").AsString(), "A Changed Title");
}

// --- a process killed while posting -----------------------------------------------------------

namespace {

void abortAt(const char* stage, const char* wanted) {
    if (std::string(stage) == wanted) std::abort();
}
void abortBeforeWrite(const char* stage) { abortAt(stage, "before-write"); }
void abortAfterWrite(const char* stage) { abortAt(stage, "after-write"); }

void postAndDie(const std::string& path, const std::string& field, const std::string& value, void (*hook)(const char*),
                const std::vector<std::string>& passwords) {
    TSession session;
    for (const std::string& p : passwords) session.AddPassword(p);
    TTable t(&session);
    t.SetTableName(path);
    t.Open();
    t.MoveToPosition(1);
    t.Edit();
    t.FieldByName(field).SetValue(textValue(value));
    tavrinth::testing::setUpdateHook(hook);
    t.Post();
    std::exit(0);
}

}  // namespace

class KilledWhilePosting : public ::testing::TestWithParam<std::tuple<std::string, std::string, std::string>> {};

TEST_P(KilledWhilePosting, LeavesATableThatOpensWithTheOldOrTheNewRecord) {
    const std::string corpusPath = std::get<0>(GetParam());
    const std::string field = std::get<1>(GetParam());
    const std::string password = std::get<2>(GetParam());
    const std::vector<std::string> passwords = password.empty() ? std::vector<std::string>{} : std::vector<std::string>{password};
    // The child must change this test's copy: fork without running the test again.
    ::testing::FLAGS_gtest_death_test_style = "fast";
    for (const bool afterWrite : {false, true}) {
        Fixture f(corpusPath);
        const std::vector<CsvRecord> original = dumpRows(f.path, passwords);
        EXPECT_EXIT(postAndDie(f.path, field, "Changed", afterWrite ? abortAfterWrite : abortBeforeWrite, passwords),
                    ::testing::KilledBySignal(SIGABRT), "");
        // The table opens and reads whole; the record is the old one or the new one.
        const std::vector<CsvRecord> now = dumpRows(f.path, passwords);
        ASSERT_EQ(now.size(), original.size());
        const std::size_t column =
            static_cast<std::size_t>(std::find(original[0].begin(), original[0].end(), field) - original[0].begin());
        ASSERT_LT(column, original[0].size());
        const std::size_t row = 2;  // position 1: the second record (neither table has deleted ones)
        for (std::size_t r = 0; r < now.size(); ++r)
            for (std::size_t k = 0; k < now[r].size(); ++k) {
                if (r == row && k == column) {
                    EXPECT_EQ(now[r][k], afterWrite ? "Changed" : original[r][k]);
                } else {
                    EXPECT_EQ(now[r][k], original[r][k]);
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothFormats, KilledWhilePosting,
    ::testing::Values(
        std::make_tuple("paradox/leonhad__paradoxdriver/src/test/resources/mtdemo/FILMS.DB", "Film Title", ""),
        std::make_tuple("paradox/leonhad__paradoxdriver/src/test/resources/encrypt/encrypted.db", "Text", "123"),
        std::make_tuple("dbase/infused__dbf/spec/fixtures/dbase_03.dbf", "Point_ID", "")));

// --- another writer between reading a record and posting a change to it -------------------------

// Reading a record, another writer changes it (another table object in this process, or another
// process), then this table posts a change of another field: the post is refused and writes
// nothing, so the other change stays; after reopening, the change goes through.
class LostUpdate : public ::testing::TestWithParam<std::tuple<std::string, std::string, std::string, std::string>> {};

TEST_P(LostUpdate, AChangeMadeMeanwhileIsNeverUndone) {
    const auto& [corpusPath, mine, theirs, password] = GetParam();
    const std::vector<std::string> passwords = password.empty() ? std::vector<std::string>{} : std::vector<std::string>{password};
    for (const bool otherProcess : {false, true}) {
        Fixture f(corpusPath);
        TSession session;
        for (const std::string& p : passwords) session.AddPassword(p);
        TTable t(&session);
        t.SetTableName(f.path);
        t.Open();
        t.MoveToPosition(1);
        const std::string recNo = std::to_string(t.RecNo());
        const std::string myOld = t.FieldByName(mine).AsString();

        if (otherProcess) {
            std::vector<std::string> argv = {cliPath(), "set"};
            if (!password.empty()) argv.insert(argv.end(), {"--password", password});
            argv.insert(argv.end(), {f.path, recNo, theirs, "Theirs"});
            const ProcessResult r = runProcess(argv);
            ASSERT_EQ(r.exitStatus, 0) << r.err;
        } else {
            TTable other(&session);
            other.SetTableName(f.path);
            other.Open();
            other.MoveToPosition(1);
            other.Edit();
            other.FieldByName(theirs).SetValue(textValue("Theirs"));
            other.Post();
        }
        const auto afterTheirs = snapshot(f.dir.path());

        t.Edit();
        t.FieldByName(mine).SetValue(textValue("Mine"));
        try {
            t.Post();
            ADD_FAILURE() << "a post over another writer's change was not refused";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(std::string(e.what()), kRecordChangedMessage);
        }
        EXPECT_EQ(snapshot(f.dir.path()), afterTheirs) << "the refused post wrote";
        t.Cancel();
        t.Close();

        t.Open();
        t.MoveToPosition(1);
        EXPECT_EQ(t.FieldByName(theirs).AsString(), "Theirs");
        if (mine != theirs) {
            EXPECT_EQ(t.FieldByName(mine).AsString(), myOld);
        }
        t.Edit();
        t.FieldByName(mine).SetValue(textValue("Mine"));
        t.Post();
        t.Close();
        const std::vector<CsvRecord> rows = dumpRows(f.path, passwords);
        const auto column = [&](const std::string& name) {
            return static_cast<std::size_t>(std::find(rows[0].begin(), rows[0].end(), name) - rows[0].begin());
        };
        EXPECT_EQ(rows[2][column(mine)], "Mine");
        if (mine != theirs) {
            EXPECT_EQ(rows[2][column(theirs)], "Theirs");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothFormats, LostUpdate,
    ::testing::Values(
        std::make_tuple("paradox/leonhad__paradoxdriver/src/test/resources/mtdemo/FILMS.DB", "Film Title", "Actors", ""),
        std::make_tuple("paradox/leonhad__paradoxdriver/src/test/resources/encrypt/encrypted.db", "Text", "Text", "123"),
        std::make_tuple("dbase/infused__dbf/spec/fixtures/dbase_03.dbf", "Point_ID", "Type", "")));

// --- the command-line front ------------------------------------------------------------------------

TEST(CliSet, ChangesOneValueOrRefusesWithStatusOne) {
    Fixture f(kFilms);
    ProcessResult r = runProcess({cliPath(), "set", f.path, "3", "Film Title", "Zauberberg"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::vector<CsvRecord> rows = dumpRows(f.path);
    EXPECT_EQ(rows[3][1], "Zauberberg");

    const auto before = snapshot(f.dir.path());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"set", f.path, "3", "Film #", "A1001"},       // a key another record has
             {"set", f.path, "3", "Year", "1850"},          // below the minimum
             {"set", f.path, "3", "Year", "nineteen"},      // no number
             {"set", f.path, "999", "Film Title", "x"},     // no such record
             {"set", f.path, "0", "Film Title", "x"},       // record numbers start at 1
             {"set", f.path, "3", "No Such Field", "x"},    // no such field
             {"set", f.path, "3", "Film Title"},            // missing value
         }) {
        std::vector<std::string> argv = {cliPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult bad = runProcess(argv);
        EXPECT_EQ(bad.exitStatus, 1) << args[3];
        EXPECT_NE(bad.err, "") << args[3];
        EXPECT_EQ(bad.out, "") << args[3];
    }
    EXPECT_EQ(snapshot(f.dir.path()), before);

    // dBase: RECNO is the physical record number; a deleted record cannot be changed.
    Fixture d("dbase/olemb__dbfread/examples/files/invalid_value.dbf");
    r = runProcess({cliPath(), "set", d.path, "2", "BIRTHDATE", "1970-01-02"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(dumpRows(d.path)[2][2], "1970-01-02");
    r = runProcess({cliPath(), "set", d.path, "3", "NAME", "Back"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("deleted"), std::string::npos);
}
