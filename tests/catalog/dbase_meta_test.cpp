// Index definitions (.MDX / .CDX tags) and dBase 7 field properties of dBase tables: the corpus
// tables against what their files hold, damaged index files and property blocks built in memory,
// and small level-7 tables written here byte by byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "byte_order.h"
#include "dbase/dbf_index.h"
#include "dbase/dbf_props.h"
#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "file_io.h"
#include "table_file.h"

using namespace tavrinth;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kDBaseCorpus = std::string(TAVRINTH_CORPUS_DIR) + "/dbase/";

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ManifestRow {
    std::string path;     // relative to the dBase corpus folder
    unsigned version = 0;
    unsigned flags = 0;   // header byte 28
};

std::vector<ManifestRow> readManifest() {
    std::ifstream in(kDBaseCorpus + "MANIFEST.tsv");
    if (!in) throw std::runtime_error("the corpus manifest is missing: " + kDBaseCorpus + "MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    auto split = [](const std::string& s) {
        std::vector<std::string> cells;
        std::stringstream ss(s);
        std::string cell;
        while (std::getline(ss, cell, '\t')) cells.push_back(cell);
        return cells;
    };
    const std::vector<std::string> head = split(line);
    auto column = [&](const char* name) {
        const auto it = std::find(head.begin(), head.end(), name);
        if (it == head.end()) throw std::runtime_error(std::string("no column ") + name + " in the manifest");
        return static_cast<std::size_t>(it - head.begin());
    };
    const std::size_t pathAt = column("path"), versionAt = column("version_hex"), flagAt = column("mdx_flag");
    std::vector<ManifestRow> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const std::vector<std::string> cells = split(line);
        ManifestRow r;
        r.path = cells.at(pathAt);
        r.version = static_cast<unsigned>(std::stoul(cells.at(versionAt), nullptr, 16));
        r.flags = static_cast<unsigned>(std::stoul(cells.at(flagAt)));
        rows.push_back(r);
    }
    return rows;
}

dbase::DBaseTable& asDBase(TableFile& t) {
    auto* d = dynamic_cast<dbase::DBaseTable*>(&t);
    if (!d) throw std::runtime_error(t.fileName() + " is not a dBase table");
    return *d;
}

std::unique_ptr<TableFile> openCorpus(const std::string& relative) {
    return openTableFile(kDBaseCorpus + relative);
}

// A table held in memory: the .dbf bytes and its companions.
std::unique_ptr<TableFile> openInMemory(const Bytes& dbf, const std::vector<std::pair<std::string, Bytes>>& companions = {}) {
    auto family = std::make_unique<MemoryFamily>();
    for (const auto& c : companions) family->add(c.first, c.second);
    return openTableFile(std::make_unique<MemorySource>("memory.dbf", dbf), std::move(family), TableFormat::DBase);
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += "  " + l + "\n";
    return s;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// --- what the corpus index files hold --------------------------------------------------------

struct ExpectedTag {
    std::string name;
    std::string key;          // the field name (field index) or the key expression
    bool expression = false;
    int field = -1;           // position of the key field
    bool unique = false, descending = false;
};

struct ExpectedIndexes {
    std::string source;       // the index file's name
    std::vector<ExpectedTag> tags;
};

ExpectedTag onField(const std::string& name, const std::string& field, int position, bool unique = false,
                    bool descending = false) {
    return {name, field, false, position, unique, descending};
}
ExpectedTag onExpression(const std::string& name, const std::string& key, bool unique = false) {
    return {name, key, true, -1, unique, false};
}

// Every table of the corpus with index definitions; every other table has none.
const std::map<std::string, ExpectedIndexes>& corpusIndexes() {
    static const std::map<std::string, ExpectedIndexes> facts = {
        {"Aorid__Group-336.2/master.dbf",
         {"master.mdx",
          {onField("SYMBOL", "SYMBOL", 0, true), onField("GROWTHASC", "PROJ_GRTH", 8),
           onField("GROWTHDESC", "PROJ_GRTH", 8, false, true)}}},
        {"Aorid__Group-336.2/holdings.dbf",
         {"holdings.mdx", {onField("SYMBOL", "SYMBOL", 1), onField("ACCT_NBR", "ACCT_NBR", 0)}}},
        // Key flag 0x40 without byte 23: unique all the same.
        {"Aorid__Group-336.2/industry.dbf", {"industry.mdx", {onField("IND_CODE", "IND_CODE", 0, true)}}},
        {"lynxnake__tDBF/demo/data/TDBF_DEMO.DBF", {"tdbf_demo.mdx", {onField("ID", "ID", 0)}}},
        {"lynxnake__tDBF/demo/data/disco.DBF", {"disco.mdx", {onField("AUTHOR", "AUTHOR", 0)}}},
        // Structural .CDX files of Visual FoxPro tables, tags in the order of their headers.
        {"Valentin-Kaiser__go-dbase/examples/test_data/database/employees.dbf",
         {"employees.CDX",
          {onField("PRIMARYKEY", "EMPLOYEEID", 0, true), onExpression("DEPARTMENT", "departmentname"),
           onField("LASTNAME", "LASTNAME", 5), onField("EMAILNAME", "EMAILNAME", 7),
           onField("POSTALCODE", "POSTALCODE", 12)}}},
        {"Valentin-Kaiser__go-dbase/examples/test_data/database/expense reports.dbf",
         {"expense reports.CDX",
          {onExpression("PRIMARYKEY", "expensereportid", true), onExpression("DATESUBMIT", "datesubmitted"),
           onField("EMPLOYEEID", "EMPLOYEEID", 1)}}},
        {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/employees.dbf",
         {"employees.cdx",
          {onField("PRIMARYKEY", "EMPLOYEEID", 0, true), onField("LASTNAME", "LASTNAME", 3),
           onField("EMAILNAME", "EMAILNAME", 5), onField("POSTALCODE", "POSTALCODE", 10)}}},
        {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/foxref_ref.dbf",
         {"foxref_ref.cdx",
          {onField("REFTYPE", "REFTYPE", 3), onField("SETID", "SETID", 1), onField("REFID", "REFID", 2),
           onField("UNIQUEID", "UNIQUEID", 0), onField("FILEID", "FILEID", 5), onField("CHECKED", "CHECKED", 16),
           onField("INACTIVE", "INACTIVE", 19)}}},
        {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/payments.dbf",
         {"payments.cdx",
          {onField("PRIMARYKEY", "PAYMENTID", 0, true), onExpression("PAYMENTMET", "paymentmethodid"),
           onField("PROJECTID", "PROJECTID", 1)}}},
        {"infused__dbf/spec/fixtures/foxprodb/calls.dbf",
         {"calls.CDX", {onField("CALL_ID", "CALL_ID", 0, true), onField("CONTACT_ID", "CONTACT_ID", 1)}}},
        {"infused__dbf/spec/fixtures/foxprodb/contacts.dbf",
         {"contacts.CDX", {onField("CONTACT_ID", "CONTACT_ID", 0, true), onExpression("TYPE_ID", "contact_type_id")}}},
        {"infused__dbf/spec/fixtures/foxprodb/setup.dbf", {"setup.CDX", {onField("KEY_NAME", "KEY_NAME", 0, true)}}},
        {"infused__dbf/spec/fixtures/foxprodb/types.dbf",
         {"types.CDX", {onExpression("TYPE_ID", "contact_type_id", true)}}},
    };
    return facts;
}

void expectIndexes(const std::vector<TIndexDef>& defs, const ExpectedIndexes& want, const std::vector<FieldDef>& fields,
                   const std::string& table) {
    ASSERT_EQ(defs.size(), want.tags.size()) << table;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const TIndexDef& d = defs[i];
        const ExpectedTag& t = want.tags[i];
        SCOPED_TRACE(table + " tag " + std::to_string(i) + " " + t.name);
        EXPECT_EQ(d.Name, t.name);
        EXPECT_EQ(d.Source, want.source);
        EXPECT_EQ(d.Filter, "");
        EXPECT_EQ(d.DescFields, "");
        EXPECT_EQ(d.has(ixExpression), t.expression);
        EXPECT_EQ(d.has(ixUnique), t.unique);
        EXPECT_EQ(d.has(ixDescending), t.descending);
        // dBase and FoxPro indexes are case-sensitive, maintained, never primary.
        EXPECT_FALSE(d.has(ixCaseInsensitive));
        EXPECT_FALSE(d.has(ixNonMaintained));
        EXPECT_FALSE(d.has(ixPrimary));
        if (t.expression) {
            EXPECT_EQ(d.Expression, t.key);
            EXPECT_EQ(d.Fields, "");
            EXPECT_TRUE(d.fieldIndexes.empty());
        } else {
            EXPECT_EQ(d.Fields, t.key);
            EXPECT_EQ(d.Expression, "");
            ASSERT_EQ(d.fieldIndexes, std::vector<int>{t.field});
            EXPECT_EQ(fields.at(static_cast<std::size_t>(t.field)).name, t.key);
        }
    }
}

bool isFoxProVersion(unsigned v) { return v == 0x30 || v == 0x31 || v == 0x32 || v == 0xF5 || v == 0xFB; }

// Whether the index file the header byte promises is next to the table.
bool productionIndexPresent(const ManifestRow& r) {
    const std::string full = kDBaseCorpus + r.path;
    const std::string name = stemPart(fileNamePart(full)) + (isFoxProVersion(r.version) ? ".cdx" : ".mdx");
    return !findInFolder(folderPart(full), name).empty();
}

// Checks that hold for any definition list, whatever bytes it came from.
void expectConsistent(const std::vector<TIndexDef>& defs, const std::vector<FieldDef>& fields) {
    for (const TIndexDef& d : defs) {
        EXPECT_FALSE(d.Name.empty());
        if (d.has(ixExpression)) {
            EXPECT_FALSE(d.Expression.empty());
            EXPECT_TRUE(d.Fields.empty());
            EXPECT_TRUE(d.fieldIndexes.empty());
        } else {
            ASSERT_EQ(d.fieldIndexes.size(), 1u);
            ASSERT_GE(d.fieldIndexes[0], 0);
            ASSERT_LT(static_cast<std::size_t>(d.fieldIndexes[0]), fields.size());
            EXPECT_EQ(d.Fields, fields[static_cast<std::size_t>(d.fieldIndexes[0])].name);
        }
    }
}

// The first `size` bytes of a buffer the caller keeps, without copying them.
class ViewSource final : public ByteSource {
public:
    ViewSource(const Bytes& bytes, std::size_t size, std::string name)
        : bytes_(bytes), size_(std::min(size, bytes.size())), name_(std::move(name)) {}
    std::uint64_t size() const override { return size_; }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override {
        if (offset >= size_) return 0;
        const std::size_t count = std::min<std::size_t>(n, size_ - static_cast<std::size_t>(offset));
        std::memcpy(buf, bytes_.data() + offset, count);
        return count;
    }
    const std::string& name() const override { return name_; }

private:
    const Bytes& bytes_;
    std::size_t size_;
    std::string name_;
};

// A family of one companion: such a view.
class ViewFamily final : public FileFamily {
public:
    ViewFamily(const Bytes& bytes, std::size_t size, std::string extension)
        : bytes_(bytes), size_(size), extension_(std::move(extension)) {}
    std::unique_ptr<ByteSource> open(const std::string& extension) const override {
        if (!equalsIgnoreCase(extension, extension_)) return nullptr;
        return std::make_unique<ViewSource>(bytes_, size_, "index" + extension_);
    }
    std::vector<std::string> extensions() const override { return {extension_}; }

private:
    const Bytes& bytes_;
    std::size_t size_;
    std::string extension_;
};

// A corpus table opened once, for feeding its header to readIndexes with other index bytes.
struct IndexFixture {
    std::unique_ptr<TableFile> table;
    Bytes index;
    std::string extension;

    IndexFixture(const std::string& dbf, const std::string& indexFile, const std::string& ext)
        : table(openCorpus(dbf)), index(readBytes(kDBaseCorpus + indexFile)), extension(ext) {}

    const dbase::Header& header() const { return asDBase(*table).header(); }

    // The definitions from these index bytes, or from their first `size` bytes.
    std::vector<TIndexDef> read(const Bytes& bytes, std::vector<std::string>& warnings,
                                std::size_t size = SIZE_MAX) const {
        const ViewFamily family(bytes, size, extension);
        return dbase::readIndexes(header(), table->fields(), family, table->codePage(), warnings);
    }
};

}  // namespace

// --- index definitions ------------------------------------------------------------------------

TEST(DBaseIndexes, EveryCorpusTableReportsWhatItsIndexFileHolds) {
    const std::vector<ManifestRow> rows = readManifest();
    ASSERT_GE(rows.size(), 90u);
    std::size_t opened = 0, withIndexes = 0, missingWarned = 0, companionsIgnored = 0;
    std::vector<std::string> unopened;
    for (const ManifestRow& r : rows) {
        SCOPED_TRACE(r.path);
        std::unique_ptr<TableFile> t;
        try {
            t = openCorpus(r.path);
        } catch (const EDBEngineError&) {
            unopened.push_back(r.path);
            continue;
        }
        ++opened;
        const std::size_t warningsBefore = t->warnings().size();
        const std::vector<TIndexDef> defs = t->readIndexes();
        const std::vector<std::string> added(t->warnings().begin() + static_cast<std::ptrdiff_t>(warningsBefore),
                                             t->warnings().end());
        const auto it = corpusIndexes().find(r.path);
        if (it != corpusIndexes().end()) {
            ++withIndexes;
            expectIndexes(defs, it->second, t->fields(), r.path);
            EXPECT_TRUE(added.empty()) << joined(added);
            continue;
        }
        EXPECT_TRUE(defs.empty()) << defs.size() << " definitions, the first " << defs.front().Name;
        if ((r.flags & 0x01) && !productionIndexPresent(r)) {
            // Flagged, but the file is not there.
            ++missingWarned;
            ASSERT_EQ(added.size(), 1u) << joined(added);
            EXPECT_NE(added[0].find("missing"), std::string::npos) << added[0];
        } else {
            EXPECT_TRUE(added.empty()) << joined(added);
        }
        const std::string full = kDBaseCorpus + r.path;
        for (const char* ext : {".ndx", ".ntx", ".cdx", ".mdx"})
            if (!findInFolder(folderPart(full), stemPart(fileNamePart(full)) + ext).empty()) ++companionsIgnored;
    }
    EXPECT_EQ(unopened, std::vector<std::string>{"infused__dbf/spec/fixtures/dbase_02.dbf"});
    EXPECT_EQ(withIndexes, corpusIndexes().size());
    EXPECT_GE(opened, 95u);
    // Flagged without their file: KUNDEN, client, three level-7 tables, rooms (dBase header, .CDX
    // beside it) and a handful of Visual FoxPro tables.
    EXPECT_EQ(missingWarned, 12u);
    // Tables with .ndx, .ntx, the unused .cdx of rooms and xBaseJ's empty test.mdx: none reported.
    EXPECT_GE(companionsIgnored, 6u);
}

TEST(DBaseIndexes, AnMdxWithNoTagsInUseGivesNoneAndNoWarning) {
    std::unique_ptr<TableFile> t = openCorpus("NewsRx__xBaseJ/testfiles/test.dbf");
    ASSERT_TRUE(asDBase(*t).header().tableFlags & 0x01);
    const std::size_t before = t->warnings().size();
    EXPECT_TRUE(t->readIndexes().empty());
    EXPECT_EQ(t->warnings().size(), before) << joined(t->warnings());
}

TEST(DBaseIndexes, ACdxBesideADBaseHeaderIsNotRead) {
    // rooms.dbf has version byte 0x03 and byte 28 = 1: the header promises an .MDX.
    std::unique_ptr<TableFile> t = openCorpus("incubus__DBD-XBase/t/rooms.dbf");
    ASSERT_FALSE(asDBase(*t).header().foxPro);
    EXPECT_TRUE(t->readIndexes().empty());
    EXPECT_TRUE(anyContains(t->warnings(), ".MDX")) << joined(t->warnings());
    EXPECT_TRUE(anyContains(t->warnings(), ".CDX next to it is not read")) << joined(t->warnings());
}

TEST(DBaseIndexes, AnIndexFileIsUsedOnlyWhenTheHeaderFlagsIt) {
    Bytes dbf = readBytes(kDBaseCorpus + "Aorid__Group-336.2/master.dbf");
    const Bytes mdx = readBytes(kDBaseCorpus + "Aorid__Group-336.2/master.mdx");
    ASSERT_EQ(dbf[28] & 0x01, 1);
    EXPECT_EQ(openInMemory(dbf, {{".MDX", mdx}})->readIndexes().size(), 3u);  // any case of the extension
    dbf[28] = 0;
    std::unique_ptr<TableFile> t = openInMemory(dbf, {{".mdx", mdx}});
    const std::size_t before = t->warnings().size();
    EXPECT_TRUE(t->readIndexes().empty());
    EXPECT_EQ(t->warnings().size(), before) << joined(t->warnings());

    // The same for a Visual FoxPro table and its .CDX.
    const std::string folder = "albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/";
    Bytes vfp = readBytes(kDBaseCorpus + folder + "payments.dbf");
    const Bytes cdx = readBytes(kDBaseCorpus + folder + "payments.cdx");
    EXPECT_EQ(openInMemory(vfp, {{".cdx", cdx}})->readIndexes().size(), 3u);
    vfp[28] &= static_cast<std::uint8_t>(~0x01);
    EXPECT_TRUE(openInMemory(vfp, {{".cdx", cdx}})->readIndexes().empty());
    // A dBase header never takes a .CDX, a FoxPro header never an .MDX.
    EXPECT_TRUE(openInMemory(dbf, {{".cdx", cdx}})->readIndexes().empty());
    vfp[28] |= 0x01;
    std::unique_ptr<TableFile> fox = openInMemory(vfp, {{".mdx", mdx}});
    EXPECT_TRUE(fox->readIndexes().empty());
    EXPECT_TRUE(anyContains(fox->warnings(), ".CDX")) << joined(fox->warnings());
}

TEST(DBaseIndexes, TruncatedMdxGivesNothingAndAWarning) {
    const IndexFixture f("Aorid__Group-336.2/master.dbf", "Aorid__Group-336.2/master.mdx", ".mdx");
    // The last tag header starts at page 20; its bytes up to the FOR flag (245) are needed.
    const std::size_t needed = 20 * 512 + 246;
    ASSERT_GT(f.index.size(), needed);
    std::vector<std::string> warnings;
    const std::vector<TIndexDef> full = f.read(f.index, warnings);
    ASSERT_EQ(full.size(), 3u);
    ASSERT_TRUE(warnings.empty());
    for (std::size_t length = 0; length <= f.index.size(); ++length) {
        std::vector<std::string> w;
        const std::vector<TIndexDef> defs = f.read(f.index, w, length);
        if (length >= needed) {
            ASSERT_EQ(defs.size(), 3u) << "length " << length;
            ASSERT_TRUE(w.empty()) << "length " << length;
            EXPECT_EQ(defs[2].Name, "GROWTHDESC");
        } else {
            ASSERT_TRUE(defs.empty()) << "length " << length;
            ASSERT_EQ(w.size(), 1u) << "length " << length;
            ASSERT_NE(w[0].find("damaged"), std::string::npos) << w[0];
        }
    }
}

TEST(DBaseIndexes, DamagedMdxHeadersAreRecognised) {
    const IndexFixture f("Aorid__Group-336.2/master.dbf", "Aorid__Group-336.2/master.mdx", ".mdx");
    auto damagedBy = [&](const std::function<void(Bytes&)>& change) {
        Bytes b = f.index;
        change(b);
        std::vector<std::string> w;
        const std::vector<TIndexDef> defs = f.read(b, w);
        return defs.empty() && w.size() == 1 && w[0].find("damaged") != std::string::npos;
    };
    const std::size_t tag2 = 12 * 512;  // header of GROWTHASC
    EXPECT_TRUE(damagedBy([](Bytes& b) { b[0] = 7; }));                             // unknown version
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE16(b.data() + 28, 48); }));         // more tags than fit
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE16(b.data() + 28, 0xFFFF); }));
    EXPECT_TRUE(damagedBy([](Bytes& b) { b[26] = 0; }));                            // entry length
    EXPECT_TRUE(damagedBy([](Bytes& b) { b[26] = 20; }));
    EXPECT_TRUE(damagedBy([](Bytes& b) { b[26] = 255; storeLE16(b.data() + 28, 47); }));  // table past the end
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE32(b.data() + 544 + 32, 0); }));    // tag header page 0
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE32(b.data() + 544 + 32, 1); }));    // inside the tag table
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE32(b.data() + 544 + 32, 32); }));   // at the end of the file
    EXPECT_TRUE(damagedBy([](Bytes& b) { storeLE32(b.data() + 544 + 32, 0xFFFFFFFFu); }));
    EXPECT_TRUE(damagedBy([](Bytes& b) { std::fill(b.begin() + 544 + 36, b.begin() + 544 + 47, 0); }));  // no name
    EXPECT_TRUE(damagedBy([&](Bytes& b) { std::fill(b.begin() + tag2 + 24, b.begin() + tag2 + 245, 'A'); }));
    EXPECT_TRUE(damagedBy([&](Bytes& b) { std::fill(b.begin() + tag2 + 24, b.begin() + tag2 + 245, ' '); b[tag2 + 244] = 0; }));
    EXPECT_TRUE(damagedBy([&](Bytes& b) {  // a FOR clause without its end
        b[tag2 + 245] = 1;
        std::fill(b.begin() + tag2 + 762, b.begin() + tag2 + 983, 'x');
    }));
    // Bytes the reader does not look at change nothing.
    EXPECT_FALSE(damagedBy([](Bytes& b) { std::fill(b.begin() + 4, b.begin() + 20, 0xEE); }));
    EXPECT_FALSE(damagedBy([](Bytes& b) { b[25] = 0; }));
}

TEST(DBaseIndexes, KeysFiltersAndFlagsOfMdxTags) {
    const IndexFixture f("Aorid__Group-336.2/master.dbf", "Aorid__Group-336.2/master.mdx", ".mdx");
    Bytes b = f.index;
    const std::size_t tag1 = 4 * 512, tag2 = 12 * 512, tag3 = 20 * 512;
    auto setText = [&](std::size_t at, std::size_t room, const std::string& s) {
        std::fill(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + room), 0);
        std::copy(s.begin(), s.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    };
    setText(tag1 + 24, 221, "  symbol  ");          // blanks and case do not matter
    setText(tag2 + 24, 221, "UPPER(CO_NAME)+SYMBOL");  // an expression
    b[tag2 + 8] = 0x10;
    b[tag2 + 23] = 0x21;                              // distinct (level 7): unique
    b[tag3 + 245] = 1;                                // FOR clause
    setText(tag3 + 762, 221, "RISK = 'LOW' ");
    std::vector<std::string> w;
    const std::vector<TIndexDef> defs = f.read(b, w);
    ASSERT_EQ(defs.size(), 3u) << joined(w);
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(defs[0].Fields, "SYMBOL");
    EXPECT_EQ(defs[0].fieldIndexes, std::vector<int>{0});
    EXPECT_TRUE(defs[0].has(ixUnique));
    EXPECT_TRUE(defs[1].has(ixExpression));
    EXPECT_EQ(defs[1].Expression, "UPPER(CO_NAME)+SYMBOL");
    EXPECT_EQ(defs[1].Fields, "");
    EXPECT_TRUE(defs[1].has(ixUnique));
    EXPECT_FALSE(defs[1].has(ixDescending));
    EXPECT_EQ(defs[2].Filter, "RISK = 'LOW'");
    EXPECT_EQ(defs[2].Fields, "PROJ_GRTH");
    EXPECT_TRUE(defs[2].has(ixDescending));
    EXPECT_FALSE(defs[2].has(ixUnique));
    // The FOR expression is only read when byte 245 says so.
    b[tag3 + 245] = 0;
    w.clear();
    EXPECT_EQ(f.read(b, w).at(2).Filter, "");
}

TEST(DBaseIndexes, LevelSevenMdxEntriesFollowTheirLength) {
    // A dBase 7 .MDX (version 3): 48-byte tag-table entries, names of up to 32 characters.
    const IndexFixture f("Aorid__Group-336.2/master.dbf", "Aorid__Group-336.2/master.mdx", ".mdx");
    Bytes b = f.index;
    const std::vector<std::pair<std::uint32_t, std::string>> tags = {
        {4, "SYMBOL_WITH_A_LONG_NAME"}, {12, "GROWTH_ASCENDING"}, {20, "A_NAME_OF_THIRTY_TWO_CHARACTERS_"}};
    b[0] = 3;
    b[26] = 48;
    std::fill(b.begin() + 544, b.begin() + 2048, 0);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        std::uint8_t* e = b.data() + 544 + i * 48;
        storeLE32(e, tags[i].first);
        std::memcpy(e + 4, tags[i].second.data(), tags[i].second.size());
        e[37] = 0x10;
        e[42] = 'C';
    }
    std::vector<std::string> w;
    const std::vector<TIndexDef> defs = f.read(b, w);
    ASSERT_EQ(defs.size(), 3u) << joined(w);
    EXPECT_EQ(defs[0].Name, "SYMBOL_WITH_A_LONG_NAME");
    EXPECT_EQ(defs[1].Name, "GROWTH_ASCENDING");
    EXPECT_EQ(defs[2].Name, "A_NAME_OF_THIRTY_TWO_CHARACTERS_");
    EXPECT_EQ(defs[2].Fields, "PROJ_GRTH");
    EXPECT_TRUE(defs[2].has(ixDescending));
    // Level 7 entries shorter than their layout are damage.
    b[26] = 32;
    w.clear();
    EXPECT_TRUE(f.read(b, w).empty());
    EXPECT_EQ(w.size(), 1u);
}

TEST(DBaseIndexes, FlippedMdxBytesNeverCrash) {
    const IndexFixture f("Aorid__Group-336.2/master.dbf", "Aorid__Group-336.2/master.mdx", ".mdx");
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < 2048; ++i) positions.push_back(i);
    for (std::size_t page : {4u, 12u, 20u})
        for (std::size_t i = 0; i < 1024; ++i) positions.push_back(page * 512 + i);
    std::size_t damagedCount = 0;
    Bytes b = f.index;
    for (std::size_t at : positions) {
        for (std::uint8_t x : {0x01, 0x80, 0xFF}) {
            b[at] ^= x;
            std::vector<std::string> w;
            const std::vector<TIndexDef> defs = f.read(b, w);
            b[at] ^= x;
            ASSERT_LE(defs.size(), 47u);
            if (defs.empty()) {
                if (!w.empty()) ++damagedCount;
            } else {
                ASSERT_TRUE(w.empty()) << joined(w);
                expectConsistent(defs, f.table->fields());
            }
        }
    }
    EXPECT_GT(damagedCount, 30u);
}

TEST(DBaseIndexes, TruncatedCdxGivesNothingAndAWarning) {
    const std::string folder = "Valentin-Kaiser__go-dbase/examples/test_data/database/";
    const IndexFixture f(folder + "employees.dbf", folder + "employees.CDX", ".cdx");
    // The last tag header (POSTALCODE) is the 1024 bytes at 7680.
    const std::size_t needed = 7680 + 1024;
    ASSERT_GE(f.index.size(), needed);
    for (std::size_t length = 0; length <= f.index.size(); ++length) {
        std::vector<std::string> w;
        const std::vector<TIndexDef> defs = f.read(f.index, w, length);
        if (length >= needed) {
            ASSERT_EQ(defs.size(), 5u) << "length " << length;
            ASSERT_TRUE(w.empty()) << "length " << length;
        } else {
            ASSERT_TRUE(defs.empty()) << "length " << length;
            ASSERT_EQ(w.size(), 1u) << "length " << length;
            ASSERT_NE(w[0].find("damaged"), std::string::npos) << w[0];
        }
    }
}

TEST(DBaseIndexes, CdxForClausesDescendingTagsAndDamage) {
    const IndexFixture f("incubus__DBD-XBase/t/rooms.dbf", "incubus__DBD-XBase/t/rooms.cdx", ".cdx");
    // rooms.dbf is a dBase header; give the same fields a FoxPro header to read its .CDX.
    dbase::Header fox = f.header();
    fox.version = 0x30;
    fox.foxPro = fox.visualFoxPro = true;
    auto read = [&](const Bytes& bytes, std::vector<std::string>& w) {
        MemoryFamily family;
        family.add(".CDX", bytes);
        return dbase::readIndexes(fox, f.table->fields(), family, f.table->codePage(), w);
    };
    std::vector<std::string> w;
    std::vector<TIndexDef> defs = read(f.index, w);
    ASSERT_EQ(defs.size(), 5u) << joined(w);
    const char* names[] = {"ROOMNAME", "FACILITY", "AUDIO", "MAIN", "FILM"};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(defs[i].Name, names[i]);
    EXPECT_EQ(defs[0].Fields, "ROOMNAME");
    EXPECT_EQ(defs[0].Filter, "");
    EXPECT_EQ(defs[2].Fields, "ROOMNAME");
    EXPECT_EQ(defs[2].Filter, "TRIM(UPPER(facility))==\"AUDIO\"");
    EXPECT_EQ(defs[3].Filter, "TRIM(UPPER(facility))==\"MAIN\"");
    EXPECT_EQ(defs[4].Filter, "TRIM(UPPER(facility))==\"FILM\"");
    for (const TIndexDef& d : defs) EXPECT_FALSE(d.has(ixUnique) || d.has(ixDescending)) << d.Name;

    Bytes b = f.index;
    storeLE16(b.data() + 3072 + 502, 1);  // FACILITY descending
    b[1536 + 14] |= 0x01;                 // ROOMNAME unique
    w.clear();
    defs = read(b, w);
    ASSERT_EQ(defs.size(), 5u);
    EXPECT_TRUE(defs[1].has(ixDescending));
    EXPECT_TRUE(defs[0].has(ixUnique));

    auto damagedBy = [&](const std::function<void(Bytes&)>& change) {
        Bytes d = f.index;
        change(d);
        std::vector<std::string> dw;
        return read(d, dw).empty() && dw.size() == 1 && dw[0].find("damaged") != std::string::npos;
    };
    EXPECT_TRUE(damagedBy([](Bytes& d) { d[14] = 0; }));                           // not compound
    EXPECT_TRUE(damagedBy([](Bytes& d) { storeLE16(d.data() + 12, 0); }));         // key length
    EXPECT_TRUE(damagedBy([](Bytes& d) { storeLE32(d.data(), 0); }));              // root in the header
    EXPECT_TRUE(damagedBy([](Bytes& d) { storeLE32(d.data(), 1000000); }));        // root past the end
    EXPECT_TRUE(damagedBy([](Bytes& d) { storeLE16(d.data() + 1024 + 2, 200); })); // too many keys
    EXPECT_TRUE(damagedBy([](Bytes& d) { d[1024] = 0; storeLE16(d.data() + 1024 + 2, 1); storeLE32(d.data() + 1024 + 12 + 14, 0x00040000); }));  // interior node pointing at itself
    EXPECT_TRUE(damagedBy([](Bytes& d) { d[1024 + 23] = 0; }));                    // entry bytes
    EXPECT_TRUE(damagedBy([](Bytes& d) { std::fill(d.begin() + 1536 + 512, d.begin() + 1536 + 1024, 'k'); }));
    EXPECT_TRUE(damagedBy([](Bytes& d) {  // FOR flag, FOR text without an end
        std::fill(d.begin() + 3072 + 512 + 9, d.begin() + 3072 + 1024, 'f');
        d[3072 + 14] |= 0x08;
    }));
}

TEST(DBaseIndexes, CdxTagDirectoryAcrossSeveralNodes) {
    // A tag directory of two leaves under an interior root, written here: the tags of
    // payments.cdx spread over two leaves.
    const std::string folder = "albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/";
    const IndexFixture f(folder + "payments.dbf", folder + "payments.cdx", ".cdx");
    std::vector<std::string> w;
    const std::vector<TIndexDef> original = f.read(f.index, w);
    ASSERT_EQ(original.size(), 3u);
    // The directory's leaf is at 1024; tags PAYMENTMET @6144, PRIMARYKEY @1536, PROJECTID @7680.
    Bytes b = f.index;
    const std::size_t leafA = 1024, leafB = b.size(), root = b.size() + 512;
    b.resize(b.size() + 1024, 0);
    auto writeLeaf = [&](std::size_t at, const std::vector<std::pair<std::string, std::uint32_t>>& keys) {
        std::uint8_t* n = b.data() + at;
        std::fill(n, n + 512, 0);
        storeLE16(n, 2);  // leaf
        storeLE16(n + 2, static_cast<std::uint16_t>(keys.size()));
        storeLE32(n + 4, 0xFFFFFFFFu);
        storeLE32(n + 8, 0xFFFFFFFFu);
        storeLE32(n + 14, 0xFFFF);
        n[18] = 0x0F;
        n[19] = 0x0F;
        n[20] = 16;
        n[21] = 4;
        n[22] = 4;
        n[23] = 3;
        std::size_t keyAt = 512;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::string& k = keys[i].first;
            const std::size_t trail = 10 - k.size();
            keyAt -= k.size();
            std::memcpy(n + keyAt, k.data(), k.size());
            const std::uint32_t v = (keys[i].second / 512 * 512) | static_cast<std::uint32_t>(trail << 20);
            n[24 + i * 3] = static_cast<std::uint8_t>(v);
            n[25 + i * 3] = static_cast<std::uint8_t>(v >> 8);
            n[26 + i * 3] = static_cast<std::uint8_t>(v >> 16);
        }
    };
    writeLeaf(leafA, {{"PAYMENTMET", 6144}});
    writeLeaf(leafB, {{"PRIMARYKEY", 1536}, {"PROJECTID", 7680}});
    std::uint8_t* r = b.data() + root;
    storeLE16(r, 1);  // root, interior
    storeLE16(r + 2, 2);
    const std::pair<std::string, std::size_t> children[] = {{"PAYMENTMET", leafA}, {"PROJECTID ", leafB}};
    for (std::size_t i = 0; i < 2; ++i) {
        std::uint8_t* e = r + 12 + i * 18;
        std::memcpy(e, children[i].first.data(), children[i].first.size());
        storeBE32(e + 14, static_cast<std::uint32_t>(children[i].second));
    }
    storeLE32(b.data(), static_cast<std::uint32_t>(root));
    w.clear();
    const std::vector<TIndexDef> defs = f.read(b, w);
    ASSERT_EQ(defs.size(), 3u) << joined(w);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(defs[i].Name, original[i].Name);
        EXPECT_EQ(defs[i].Fields, original[i].Fields);
        EXPECT_EQ(defs[i].Expression, original[i].Expression);
        EXPECT_EQ(defs[i].Options, original[i].Options);
    }
    // A child pointing back at the root runs in a circle.
    storeBE32(r + 12 + 18 + 14, static_cast<std::uint32_t>(root));
    w.clear();
    EXPECT_TRUE(f.read(b, w).empty());
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("circle"), std::string::npos) << w[0];
}

TEST(DBaseIndexes, FlippedCdxBytesNeverCrash) {
    const std::string folder = "infused__dbf/spec/fixtures/foxprodb/";
    const IndexFixture f(folder + "contacts.dbf", folder + "contacts.CDX", ".cdx");
    std::mt19937 random(20240611);
    std::size_t damagedCount = 0;
    Bytes b = f.index;
    for (std::size_t at = 0; at < f.index.size(); ++at) {
        // Every byte of the headers and the directory, a sample of the rest.
        const bool header = at < 2048 || (at >= 4608 && at < 4608 + 1024);
        if (!header && random() % 8 != 0) continue;
        for (std::uint8_t x : {0x01, 0x10, 0xFF}) {
            b[at] ^= x;
            std::vector<std::string> w;
            const std::vector<TIndexDef> defs = f.read(b, w);
            b[at] ^= x;
            if (defs.empty()) {
                if (!w.empty()) ++damagedCount;
            } else {
                ASSERT_TRUE(w.empty()) << joined(w);
                expectConsistent(defs, f.table->fields());
            }
        }
    }
    EXPECT_GT(damagedCount, 50u);
}

// --- field properties ---------------------------------------------------------------------------

namespace {

// A dBase 7 table written byte by byte.
struct Field7 {
    std::string name;
    char type;
    std::uint8_t length;
    std::uint8_t decimals = 0;
};

struct Property {
    std::uint16_t generation;
    std::uint16_t field;  // from 1; 0 = table constraint
    std::uint8_t kind;    // 1 required, 2 minimum, 3 maximum, 4 default, 6 constraint
    std::uint8_t typeCode;
    Bytes value;
};

struct Table7 {
    Bytes bytes;
    std::size_t blockAt = 0;   // first byte of the property block
    std::size_t blockSize = 0;
};

Table7 buildLevel7(const std::vector<Field7>& fields, const std::vector<Property>& props) {
    Table7 t;
    Bytes& b = t.bytes;
    b.assign(68, 0);
    b[0] = 0x04;
    b[1] = 124;
    b[2] = 6;
    b[3] = 11;
    const char driver[] = "DBWINUS0";
    std::memcpy(b.data() + 32, driver, sizeof driver - 1);
    std::uint32_t recordLength = 1;
    for (const Field7& f : fields) {
        Bytes d(48, 0);
        std::memcpy(d.data(), f.name.data(), f.name.size());
        d[32] = static_cast<std::uint8_t>(f.type);
        d[33] = f.length;
        d[34] = f.decimals;
        b.insert(b.end(), d.begin(), d.end());
        recordLength += f.length;
    }
    b.push_back(0x0D);
    t.blockAt = b.size();
    // Block: header, standard properties, then their values.
    const std::size_t arrayAt = 16, dataAt = arrayAt + props.size() * 15;
    Bytes block(dataAt, 0);
    std::size_t valueAt = dataAt;
    for (std::size_t i = 0; i < props.size(); ++i) {
        const Property& p = props[i];
        std::uint8_t* e = block.data() + arrayAt + i * 15;
        storeLE16(e, p.generation);
        storeLE16(e + 2, p.field);
        e[4] = p.kind;
        e[5] = p.typeCode;
        e[6] = 2;
        if (p.value.empty()) {
            // "required" has no value; its size is the field's width.
            storeLE16(e + 13, p.field ? fields[p.field - 1].length : 0);
        } else {
            storeLE16(e + 11, static_cast<std::uint16_t>(valueAt));
            storeLE16(e + 13, static_cast<std::uint16_t>(p.value.size()));
            valueAt += p.value.size();
        }
    }
    for (const Property& p : props) block.insert(block.end(), p.value.begin(), p.value.end());
    storeLE16(block.data(), static_cast<std::uint16_t>(props.size()));
    storeLE16(block.data() + 2, static_cast<std::uint16_t>(arrayAt));
    storeLE16(block.data() + 6, static_cast<std::uint16_t>(dataAt));
    storeLE16(block.data() + 10, static_cast<std::uint16_t>(dataAt));
    storeLE16(block.data() + 12, static_cast<std::uint16_t>(dataAt));
    storeLE16(block.data() + 14, static_cast<std::uint16_t>(block.size()));
    t.blockSize = block.size();
    b.insert(b.end(), block.begin(), block.end());
    b.resize(b.size() + 7, 0);  // room the writer leaves after the block
    storeLE16(b.data() + 8, static_cast<std::uint16_t>(b.size()));
    storeLE16(b.data() + 10, static_cast<std::uint16_t>(recordLength));
    // One record of blanks.
    storeLE32(b.data() + 4, 1);
    b.insert(b.end(), recordLength, ' ');
    for (std::size_t i = 0, at = b.size() - recordLength + 1; i < fields.size(); at += fields[i].length, ++i)
        if (fields[i].type == 'I' || fields[i].type == '+' || fields[i].type == 'O' || fields[i].type == '@')
            std::fill(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + fields[i].length), 0);
    b.push_back(0x1A);
    return t;
}

Bytes text(const std::string& s, std::size_t width, bool right = false) {
    std::string padded = right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
    return Bytes(padded.begin(), padded.end());
}
Bytes long7(std::int32_t v) {
    Bytes b(4);
    storeBE32(b.data(), static_cast<std::uint32_t>(v) ^ 0x80000000u);
    return b;
}
Bytes double7(double v) {
    std::uint64_t bits = doubleToBits(v);
    bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
    Bytes b(8);
    storeBE64(b.data(), bits);
    return b;
}
Bytes timestamp7(double ms) {
    Bytes b(8);
    storeBE64(b.data(), doubleToBits(ms));
    return b;
}

const double kNewYear2001 = static_cast<double>(dayNumberFromCivil(2001, 1, 1) * kMillisecondsPerDay);

const std::vector<Field7>& sampleFields() {
    static const std::vector<Field7> fields = {
        {"NAME", 'C', 20},        // 0 required
        {"QTY", 'N', 10, 2},      // 1 required, with a default, minimum and maximum
        {"ID", '+', 4},           // 2 required auto-increment
        {"CODE", 'I', 4},         // 3 minimum, maximum, defaults of three generations
        {"BORN", 'D', 8},         // 4 minimum, default
        {"RATE", 'O', 8},         // 5 minimum, maximum
        {"FLAG", 'L', 1},         // 6 default
        {"STAMP", '@', 8},        // 7 default
        {"NOTE", 'M', 10},        // 8 required memo (a default of a memo is not read)
        {"PLAIN", 'C', 5},        // 9 nothing
        {"LONG NAME FIELD", 'N', 12},  // 10 default with a blank value: no bound
    };
    return fields;
}

std::vector<Property> sampleProperties() {
    return {
        {0, 1, 1, 1, {}},
        {1, 2, 1, 2, {}},
        {2, 2, 4, 2, text("5.00", 10, true)},
        {3, 2, 2, 2, text("0", 10, true)},
        {4, 2, 3, 2, text("100.50", 10, true)},
        {5, 3, 1, 14, {}},
        {6, 4, 2, 11, long7(-5)},
        {7, 4, 3, 11, long7(1000)},
        {9, 4, 4, 11, long7(9)},   // the highest generation wins
        {8, 4, 4, 11, long7(8)},
        {1, 4, 4, 11, long7(7)},
        {10, 5, 2, 5, text("19000101", 8)},
        {11, 5, 4, 5, text("20000229", 8)},
        {12, 6, 2, 13, double7(-1.5)},
        {13, 6, 3, 13, double7(2.25)},
        {14, 7, 4, 4, text("T", 1)},
        {15, 8, 4, 12, timestamp7(kNewYear2001)},
        {16, 9, 1, 3, {}},
        {17, 9, 4, 3, text("0000000001", 10)},
        {18, 0, 6, 0, text("QTY > 0", 8)},  // a table constraint: not a field property
        {19, 11, 4, 2, text("", 12)},
    };
}

void expectSampleChecks(const std::vector<ValidityCheck>& checks) {
    ASSERT_EQ(checks.size(), 9u);
    std::vector<int> fieldsWithChecks;
    for (const ValidityCheck& c : checks) fieldsWithChecks.push_back(c.field);
    EXPECT_EQ(fieldsWithChecks, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));

    const ValidityCheck& name = checks[0];
    EXPECT_TRUE(name.required);
    EXPECT_EQ(name.minKind, BoundKind::None);
    EXPECT_EQ(name.defaultKind, BoundKind::None);

    const ValidityCheck& qty = checks[1];
    EXPECT_TRUE(qty.required);
    ASSERT_EQ(qty.defaultKind, BoundKind::Value);
    EXPECT_EQ(qty.defaultValue.kind, ValueKind::Float);
    EXPECT_EQ(qty.defaultValue.real, 5.0);
    ASSERT_EQ(qty.minKind, BoundKind::Value);
    EXPECT_EQ(qty.minValue.kind, ValueKind::Integer);
    EXPECT_EQ(qty.minValue.integer, 0);
    ASSERT_EQ(qty.maxKind, BoundKind::Value);
    EXPECT_EQ(qty.maxValue.real, 100.5);

    EXPECT_TRUE(checks[2].required);
    EXPECT_EQ(checks[2].defaultKind, BoundKind::None);

    const ValidityCheck& code = checks[3];
    EXPECT_FALSE(code.required);
    EXPECT_EQ(code.minValue.kind, ValueKind::Integer);
    EXPECT_EQ(code.minValue.integer, -5);
    EXPECT_EQ(code.maxValue.integer, 1000);
    EXPECT_EQ(code.defaultValue.integer, 9);

    const ValidityCheck& born = checks[4];
    EXPECT_EQ(born.minValue.kind, ValueKind::Date);
    EXPECT_EQ(born.minValue.integer, dayNumberFromCivil(1900, 1, 1));
    EXPECT_EQ(born.defaultValue.integer, dayNumberFromCivil(2000, 2, 29));
    EXPECT_EQ(born.maxKind, BoundKind::None);

    const ValidityCheck& rate = checks[5];
    EXPECT_EQ(rate.minValue.kind, ValueKind::Float);
    EXPECT_EQ(rate.minValue.real, -1.5);
    EXPECT_EQ(rate.maxValue.real, 2.25);

    EXPECT_EQ(checks[6].defaultValue.kind, ValueKind::Boolean);
    EXPECT_EQ(checks[6].defaultValue.integer, 1);

    EXPECT_EQ(checks[7].defaultValue.kind, ValueKind::DateTime);
    EXPECT_EQ(checks[7].defaultValue.real, kNewYear2001);

    EXPECT_TRUE(checks[8].required);
    EXPECT_EQ(checks[8].defaultKind, BoundKind::None);
}

// Reads the properties of a table's bytes with its own header, perhaps cut short.
std::vector<ValidityCheck> readProperties(const TableFile& t, const Bytes& bytes, const dbase::Header& header,
                                          std::vector<std::string>& warnings) {
    const auto& d = dynamic_cast<const dbase::DBaseTable&>(t);
    MemorySource src("memory.dbf", bytes);
    return dbase::readFieldProperties(src, header, d.rawFields(), t.fields(), t.codePage(), warnings);
}

}  // namespace

TEST(DBaseFieldProperties, CorpusTablesWithPropertyBlocks) {
    // bug102.dbf: three "required" properties on its first three fields.
    std::unique_ptr<TableFile> t = openCorpus("albfernandez__javadbf/src/test/resources/bug-102/bug102.dbf");
    const std::vector<ValidityCheck>& checks = t->validityChecks();
    ASSERT_EQ(checks.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(checks[static_cast<std::size_t>(i)].field, i);
        EXPECT_TRUE(checks[static_cast<std::size_t>(i)].required);
        EXPECT_EQ(checks[static_cast<std::size_t>(i)].minKind, BoundKind::None);
        EXPECT_EQ(checks[static_cast<std::size_t>(i)].maxKind, BoundKind::None);
        EXPECT_EQ(checks[static_cast<std::size_t>(i)].defaultKind, BoundKind::None);
    }
    for (std::size_t i = 0; i < t->fields().size(); ++i) EXPECT_EQ(t->fields()[i].required, i < 3) << t->fields()[i].name;
    EXPECT_EQ(t->fields()[0].name, "DataNumber");

    // dbase_8c.dbf: a block with custom properties only.
    std::unique_ptr<TableFile> c = openCorpus("infused__dbf/spec/fixtures/dbase_8c.dbf");
    EXPECT_TRUE(c->validityChecks().empty());
    EXPECT_FALSE(anyContains(c->warnings(), "field properties")) << joined(c->warnings());
}

TEST(DBaseFieldProperties, NoOtherCorpusTableHasAny) {
    std::size_t level7 = 0;
    for (const ManifestRow& r : readManifest()) {
        std::unique_ptr<TableFile> t;
        try {
            t = openCorpus(r.path);
        } catch (const EDBEngineError&) {
            continue;
        }
        SCOPED_TRACE(r.path);
        if (asDBase(*t).header().level7) ++level7;
        EXPECT_FALSE(anyContains(t->warnings(), "field properties")) << joined(t->warnings());
        if (r.path.find("bug102.dbf") != std::string::npos) continue;
        EXPECT_TRUE(t->validityChecks().empty());
        for (const FieldDef& f : t->fields()) EXPECT_FALSE(f.required) << f.name;
    }
    EXPECT_EQ(level7, 5u);  // 0x8C x4, 0x04 x1
}

TEST(DBaseFieldProperties, WrittenLevelSevenTable) {
    const Table7 t7 = buildLevel7(sampleFields(), sampleProperties());
    std::unique_ptr<TableFile> t = openInMemory(t7.bytes);
    EXPECT_FALSE(anyContains(t->warnings(), "field properties")) << joined(t->warnings());
    expectSampleChecks(t->validityChecks());
    // Required without a default: required; with a default: not; an auto-increment field never.
    std::vector<bool> required;
    for (const FieldDef& f : t->fields()) required.push_back(f.required);
    EXPECT_EQ(required, (std::vector<bool>{true, false, false, false, false, false, false, false, true, false, false}));
    EXPECT_EQ(t->fields()[2].dataType, ftAutoInc);
    // The records are read as before.
    EXPECT_EQ(t->recordCount(), 1u);
    FieldValue v;
    t->decode(t->record(0), 0, v);
    EXPECT_EQ(v.kind, ValueKind::String);
    EXPECT_EQ(v.text, "");
}

TEST(DBaseFieldProperties, OnlyLevelSevenTablesHaveThem) {
    Table7 t7 = buildLevel7(sampleFields(), sampleProperties());
    std::unique_ptr<TableFile> t = openInMemory(t7.bytes);
    dbase::Header h = asDBase(*t).header();
    std::vector<std::string> w;
    ASSERT_EQ(readProperties(*t, t7.bytes, h, w).size(), 9u);
    h.level7 = false;
    EXPECT_TRUE(readProperties(*t, t7.bytes, h, w).empty());
    h.level7 = true;
    h.terminatorMissing = true;
    EXPECT_TRUE(readProperties(*t, t7.bytes, h, w).empty());
    EXPECT_TRUE(w.empty()) << joined(w);
    // No properties and no warning for a level-7 header that ends at the 0x0D or has only padding.
    Table7 none = buildLevel7(sampleFields(), {});
    std::unique_ptr<TableFile> n = openInMemory(none.bytes);
    EXPECT_TRUE(n->validityChecks().empty());
    EXPECT_FALSE(anyContains(n->warnings(), "field properties")) << joined(n->warnings());
}

TEST(DBaseFieldProperties, TruncatedBlocksGiveNothingAndAWarning) {
    const Table7 t7 = buildLevel7(sampleFields(), sampleProperties());
    std::unique_ptr<TableFile> t = openInMemory(t7.bytes);
    const dbase::Header full = asDBase(*t).header();
    ASSERT_EQ(full.descriptorsEnd + 1, t7.blockAt);
    for (std::size_t end = t7.blockAt; end <= full.headerLength; ++end) {
        SCOPED_TRACE("header cut at " + std::to_string(end));
        const std::size_t room = end - t7.blockAt;
        // Cut by the header length, and by the end of the file.
        dbase::Header shorter = full;
        shorter.headerLength = static_cast<std::uint16_t>(end);
        const Bytes cut(t7.bytes.begin(), t7.bytes.begin() + static_cast<std::ptrdiff_t>(end));
        for (int variant = 0; variant < 2; ++variant) {
            std::vector<std::string> w;
            const std::vector<ValidityCheck> checks =
                variant == 0 ? readProperties(*t, t7.bytes, shorter, w) : readProperties(*t, cut, full, w);
            if (room < 16) {
                EXPECT_TRUE(checks.empty());
                EXPECT_TRUE(w.empty()) << joined(w);
            } else if (room < t7.blockSize) {
                EXPECT_TRUE(checks.empty());
                ASSERT_EQ(w.size(), 1u);
                EXPECT_NE(w[0].find("damaged"), std::string::npos) << w[0];
            } else {
                EXPECT_TRUE(w.empty()) << joined(w);
                expectSampleChecks(checks);
            }
        }
    }
}

TEST(DBaseFieldProperties, DamagedBlocksAreRecognised) {
    const Table7 base = buildLevel7(sampleFields(), sampleProperties());
    auto outcome = [&](const std::function<void(Bytes&)>& change, std::vector<ValidityCheck>& checks) {
        Bytes b = base.bytes;
        change(b);
        std::unique_ptr<TableFile> t = openInMemory(b);
        checks = t->validityChecks();
        std::vector<std::string> w;
        for (const auto& s : t->warnings())
            if (s.find("field properties") != std::string::npos) w.push_back(s);
        return w;
    };
    const std::size_t block = base.blockAt;
    auto entry = [&](std::size_t i) { return block + 16 + i * 15; };
    const std::vector<std::function<void(Bytes&)>> damage = {
        [&](Bytes& b) { storeLE16(b.data() + block + 14, 0xFFFF); },           // size past the header
        [&](Bytes& b) { storeLE16(b.data() + block, 200); },                  // more entries than fit
        [&](Bytes& b) { storeLE16(b.data() + block + 2, 4); },                // array inside the block header
        [&](Bytes& b) { storeLE16(b.data() + block + 2, 0xFFF0); },
        [&](Bytes& b) { storeLE16(b.data() + entry(0) + 2, 12); },            // field 12 of 11
        [&](Bytes& b) { b[entry(0) + 5] = 2; },                               // a numeric type for a C field
        [&](Bytes& b) { storeLE16(b.data() + entry(2) + 11, 0xFF00); },       // value past the header
        [&](Bytes& b) { storeLE16(b.data() + entry(2) + 11, 3); },            // value inside the block header
        [&](Bytes& b) { storeLE16(b.data() + entry(2) + 13, 0); },            // value of no bytes
        [&](Bytes& b) { storeLE16(b.data() + entry(6) + 13, 2); },            // a Long of 2 bytes
        [&](Bytes& b) {                                                        // a date that is no date
            const std::size_t at = loadLE16(b.data() + entry(11) + 11);
            std::memcpy(b.data() + block + at, "1900AB01", 8);
        },
    };
    for (std::size_t i = 0; i < damage.size(); ++i) {
        SCOPED_TRACE("damage " + std::to_string(i));
        std::vector<ValidityCheck> checks;
        const std::vector<std::string> w = outcome(damage[i], checks);
        EXPECT_TRUE(checks.empty());
        ASSERT_EQ(w.size(), 1u);
        EXPECT_NE(w[0].find("damaged"), std::string::npos) << w[0];
    }
    // Kinds and bytes the reader does not use change nothing.
    std::vector<ValidityCheck> checks;
    EXPECT_TRUE(outcome([&](Bytes& b) { b[entry(0) + 4] = 9; b[entry(0) + 7] = 0x55; storeLE16(b.data() + block + 4, 3); }, checks).empty());
    ASSERT_EQ(checks.size(), 8u);  // NAME's one property is now of an unknown kind
    EXPECT_EQ(checks[0].field, 1);
    EXPECT_TRUE(checks[0].required);
}

TEST(DBaseFieldProperties, FlippedBlockBytesNeverCrash) {
    const Table7 base = buildLevel7(sampleFields(), sampleProperties());
    std::unique_ptr<TableFile> t = openInMemory(base.bytes);
    const dbase::Header header = asDBase(*t).header();
    std::size_t damagedCount = 0;
    for (std::size_t at = base.blockAt; at < header.headerLength; ++at) {
        for (std::uint8_t x : {0x01, 0x08, 0x80, 0xFF}) {
            Bytes b = base.bytes;
            b[at] ^= x;
            std::vector<std::string> w;
            const std::vector<ValidityCheck> checks = readProperties(*t, b, header, w);
            if (!w.empty()) {
                ++damagedCount;
                ASSERT_TRUE(checks.empty());
            }
            ASSERT_LE(checks.size(), t->fields().size());
            int previous = -1;
            for (const ValidityCheck& c : checks) {
                ASSERT_GT(c.field, previous);  // field order, one each
                ASSERT_LT(static_cast<std::size_t>(c.field), t->fields().size());
                EXPECT_FALSE(c.empty());
                previous = c.field;
            }
        }
    }
    EXPECT_GT(damagedCount, 50u);
}
