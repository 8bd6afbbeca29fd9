// Every table of the corpus against its oracle: the dump cell by cell, and the header facts the
// manifests record (record counts, fields, code page).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codepage.h"
#include "csv.h"
#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "file_io.h"
#include "manifest.h"
#include "oracle_exceptions.h"
#include "paradox/px_table.h"
#include "table_file.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

// Field descriptors where the manifest's reading differs from ours and ours is right.
struct FieldFactException {
    const char* table;
    const char* field;
    const char* manifestSpec;  // LEN:DEC as the manifest gives them
    const char* ourSpec;       // LEN:DEC as we read them
    const char* why;
};

const std::vector<FieldFactException> kDBaseFieldExceptions = {
    {"albfernandez__javadbf/src/test/resources/bug_64_excel_dbf/wrong-exented-character-field.dbf", "FLUGHOEHE",
     "520:0", "8:2",
     "the manifest takes the decimals byte of every C field as the high byte of its length; here the "
     "record length (121) is the sum of the plain lengths, so the field has 8 bytes (its value is "
     "empty in the oracle too)"},
};

// --- Comparing cells ----------------------------------------------------------------------------

// "<binary N bytes sha1=...>" -> N, or -1.
long binaryLength(const std::string& cell) {
    static const std::string prefix = "<binary ";
    if (cell.compare(0, prefix.size(), prefix) != 0) return -1;
    return std::strtol(cell.c_str() + prefix.size(), nullptr, 10);
}

struct CellDifference {
    std::size_t row;  // 1-based data row (0 = the field names)
    std::string column;
    std::string ours, oracle;
};

std::string shorten(const std::string& s) { return s.size() > 120 ? s.substr(0, 120) + "..." : s; }

// Parses our dump and the oracle and collects the cells that differ. Structural faults (bad
// CSV, other row or column counts) are reported as test failures here.
std::vector<CellDifference> compareDump(const std::string& ours, const std::string& oraclePath) {
    std::vector<CellDifference> diffs;
    CsvOptions strict;
    strict.minimalQuoting = true;
    const CsvResult mine = parseCsv(ours, strict);
    EXPECT_TRUE(mine.ok()) << "our dump is no valid CSV: " << mine.error << " at byte " << mine.errorOffset;
    const CsvResult theirs = parseCsv(readFile(oraclePath), strict);
    EXPECT_TRUE(theirs.ok()) << "the oracle is no valid CSV: " << theirs.error << " at byte " << theirs.errorOffset;
    if (!mine.ok() || !theirs.ok()) return diffs;
    EXPECT_EQ(mine.records.size(), theirs.records.size()) << "records (field names included)";
    const std::size_t rows = std::min(mine.records.size(), theirs.records.size());
    if (rows == 0) return diffs;
    const CsvRecord& names = theirs.records[0];
    for (std::size_t r = 0; r < rows; ++r) {
        const CsvRecord& a = mine.records[r];
        const CsvRecord& b = theirs.records[r];
        if (a.size() != b.size()) {
            ADD_FAILURE() << "record " << r << " has " << a.size() << " fields, the oracle " << b.size();
            continue;
        }
        for (std::size_t c = 0; c < a.size(); ++c)
            if (!sameCellValue(a[c], b[c])) diffs.push_back({r, c < names.size() ? names[c] : "?", a[c], b[c]});
    }
    return diffs;
}

// Checks the differences of one table against its exceptions: every difference must be one, and
// every exception must still be needed.
void checkDifferences(const std::string& table, const ManifestRow& m, const std::vector<CellDifference>& diffs,
                      const std::vector<OracleException>& exceptions) {
    std::map<std::string, const OracleException*> byColumn;
    for (const OracleException& e : exceptions)
        if (table == e.table) byColumn[e.column] = &e;
    if (!byColumn.empty()) {
        EXPECT_EQ(m["oracle_status"], "untrusted") << "only untrusted oracles may have exceptions";
    }
    std::map<std::string, std::size_t> seen;
    int reported = 0;
    for (const CellDifference& d : diffs) {
        const auto it = d.row > 0 ? byColumn.find(d.column) : byColumn.end();
        if (it == byColumn.end()) {
            if (++reported <= 12)
                ADD_FAILURE() << "row " << d.row << " column " << d.column << ": ours \"" << shorten(d.ours)
                              << "\", oracle \"" << shorten(d.oracle) << "\"";
            continue;
        }
        const OracleException& e = *it->second;
        const std::size_t k = seen[d.column]++;
        switch (e.why) {
            case Why::BcdGarbage:
                EXPECT_EQ(d.oracle.compare(0, 13, "<invalid bcd "), 0) << "row " << d.row << ": " << d.oracle;
                if (k < e.ours.size())
                    EXPECT_EQ(d.ours, e.ours[k]) << "row " << d.row << " column " << d.column;
                else
                    ADD_FAILURE() << "row " << d.row << " column " << d.column << ": one more BCD difference: " << d.ours;
                break;
            case Why::VfpNullBit:
                EXPECT_EQ(d.ours, "\\N") << "row " << d.row << " column " << d.column << " (NULL bit set)";
                break;
            case Why::VfpVarLength: {
                const long oursBinary = binaryLength(d.ours), oracleBinary = binaryLength(d.oracle);
                if (oracleBinary >= 0) {
                    EXPECT_GE(oursBinary, 0) << "row " << d.row << ": " << d.ours;
                    EXPECT_LT(oursBinary, oracleBinary) << "row " << d.row << " column " << d.column;
                } else {
                    ASSERT_FALSE(d.oracle.empty());
                    const auto used = static_cast<unsigned char>(d.oracle.back());
                    ASSERT_LT(used, d.oracle.size()) << "row " << d.row << ": the last byte is no length";
                    EXPECT_EQ(d.ours, d.oracle.substr(0, used)) << "row " << d.row << " column " << d.column;
                }
                break;
            }
        }
    }
    if (reported > 12) ADD_FAILURE() << reported << " cells differ from the oracle in all";
    for (const auto& [column, e] : byColumn) {
        EXPECT_GT(seen[column], 0u) << "the exception for column " << column
                                    << " no longer applies: remove it from the list";
        if (e->why == Why::BcdGarbage) {
            EXPECT_EQ(seen[column], e->ours.size()) << "column " << column;
        }
        // The oracle itself names the column as untrusted.
        const std::string& notes = m["oracle_notes"];
        bool named = notes.find(" " + column + ":") != std::string::npos;  // Paradox: "untrusted 1x C: ..."
        const auto list = notes.find("in columns ");
        if (list != std::string::npos) {
            const std::vector<std::string> columns = splitString(notes.substr(list + 11), ',');
            named = named || std::find(columns.begin(), columns.end(), column) != columns.end();
        }
        EXPECT_TRUE(named) << "the oracle notes do not name column " << column << " as untrusted: " << notes;
    }
}

// --- Manifest facts -----------------------------------------------------------------------------

// "cp850 (header code page 850)" -> "cp850"; our "HP-ROMAN8" -> "hproman8".
std::string canonicalCodePage(std::string name) {
    name = name.substr(0, name.find(' '));
    std::string out;
    for (char c : toLowerAscii(name))
        if (c != '-' && c != '_') out.push_back(c);
    if (out == "mazovia") out = "cp620";
    return out;
}

bool manifestSaysFallback(const std::string& codepageUsed) {
    return codepageUsed.find("unknown") != std::string::npos || codepageUsed.find("not recognised") != std::string::npos;
}

void checkCodePage(const TableFile& t, const ManifestRow& m) {
    const std::string& used = m["codepage_used"];
    EXPECT_EQ(canonicalCodePage(t.codePageChoice().name), canonicalCodePage(used))
        << "our reason: " << t.codePageChoice().reason << "; manifest: " << used;
    EXPECT_EQ(t.codePageChoice().fallback, manifestSaysFallback(used)) << used;
    if (t.codePageChoice().fallback) {
        const auto& w = t.warnings();
        EXPECT_NE(std::find(w.begin(), w.end(), t.codePageChoice().reason), w.end())
            << "a code page fallback must be warned about";
    }
}

// Paradox field names in the manifest: bytes in the table's code page, non-ASCII ones as \xNN.
std::string unescapeBytes(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

void checkParadoxFacts(paradox::ParadoxTable& t, const ManifestRow& m) {
    EXPECT_EQ(t.format(), TableFormat::Paradox);
    EXPECT_EQ(std::to_string(t.recordCount()), m["num_records"]);
    EXPECT_EQ(m["oracle_rows"], m["num_records"]);
    EXPECT_EQ(std::to_string(t.recordSize()), m["record_size"]);
    EXPECT_EQ(std::to_string(t.header().headerSize), m["header_size"]);
    EXPECT_EQ(std::to_string(t.header().level()), m["px_fileversion"]);
    EXPECT_EQ(std::to_string(t.fields().size()), m["num_fields"]);
    EXPECT_EQ(t.password().empty(), m["encryption"] == "0x00000000");
    checkCodePage(t, m);

    const std::vector<std::string> specs = splitString(m["fields"], ';');
    ASSERT_EQ(specs.size(), t.fields().size()) << m["fields"];
    const auto page = CodePage::find(t.codePageChoice().name);
    ASSERT_TRUE(page);
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const FieldDef& f = t.fields()[i];
        const auto colon = specs[i].rfind(':');
        ASSERT_NE(colon, std::string::npos) << specs[i];
        const std::string name = page->decode(unescapeBytes(specs[i].substr(0, colon)));
        const std::string type = specs[i].substr(colon + 1);
        EXPECT_EQ(f.name, name) << "field " << i;
        ASSERT_FALSE(type.empty());
        EXPECT_EQ(f.typeLetter, type[0]) << "field " << i << " " << specs[i];
        if (type[0] == '#') {
            EXPECT_EQ(std::to_string(f.decimals) + "dec", type.substr(1)) << "field " << i;
            EXPECT_EQ(f.length, 17u);
        } else {
            EXPECT_EQ(std::to_string(f.length), type.substr(1)) << "field " << i << " " << specs[i];
        }
    }
}

// dBase fields: "NAME:T:LEN:DEC" separated by spaces (a name may hold a space).
std::vector<std::vector<std::string>> dbaseFieldSpecs(const std::string& s) {
    std::vector<std::vector<std::string>> out;
    std::string pending;
    for (const std::string& token : splitString(s, ' ')) {
        pending = pending.empty() ? token : pending + " " + token;
        std::vector<std::string> parts = splitString(pending, ':');
        if (parts.size() < 4) continue;
        // The last three parts are type, length and decimals; the rest is the name.
        std::string name = parts[0];
        for (std::size_t k = 1; k + 3 < parts.size(); ++k) name += ":" + parts[k];
        out.push_back({name, parts[parts.size() - 3], parts[parts.size() - 2], parts[parts.size() - 1]});
        pending.clear();
    }
    EXPECT_TRUE(pending.empty()) << "unparsed field list: " << s;
    return out;
}

void checkDBaseFacts(const std::string& table, dbase::DBaseTable& t, const ManifestRow& m, int& fieldExceptionsUsed) {
    EXPECT_EQ(t.format(), TableFormat::DBase);
    EXPECT_EQ(std::to_string(t.physicalCount()), m["oracle_rows"]);
    EXPECT_EQ(std::to_string(t.physicalCount() - t.recordCount()), m["deleted_rows"]) << "deleted records";
    EXPECT_EQ(std::to_string(t.recordSize()), m["recordlen"]);
    EXPECT_EQ(std::to_string(t.header().headerLength), m["headerlen"]);
    EXPECT_EQ(std::to_string(t.fields().size()), m["nfields"]);
    checkCodePage(t, m);
    const auto specs = dbaseFieldSpecs(m["fields"]);
    ASSERT_EQ(specs.size(), t.fields().size()) << m["fields"];
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const FieldDef& f = t.fields()[i];
        const dbase::RawField& raw = t.rawFields()[i];
        EXPECT_EQ(f.name, specs[i][0]) << "field " << i;
        EXPECT_EQ(std::string(1, f.typeLetter), specs[i][1]) << "field " << i;
        const std::string manifestSpec = specs[i][2] + ":" + specs[i][3];
        const std::string ourSpec = std::to_string(raw.length) + ":" + std::to_string(f.decimals);
        const auto e = std::find_if(kDBaseFieldExceptions.begin(), kDBaseFieldExceptions.end(),
                                    [&](const FieldFactException& x) { return table == x.table && f.name == x.field; });
        if (e == kDBaseFieldExceptions.end()) {
            EXPECT_EQ(ourSpec, manifestSpec) << "field " << i << " " << f.name << " (length:decimals)";
        } else {
            EXPECT_EQ(manifestSpec, e->manifestSpec) << "field " << f.name << ": the manifest changed";
            EXPECT_EQ(ourSpec, e->ourSpec) << "field " << f.name << ": " << e->why;
            ++fieldExceptionsUsed;
        }
    }
}

// --- The runs -----------------------------------------------------------------------------------

const std::set<std::string> kStatuses = {"ok", "corrected", "damaged", "untrusted"};

TEST(Corpus, ParadoxTablesMatchTheirOracles) {
    const std::vector<ManifestRow> manifest = readManifest(paradoxCorpus("MANIFEST.tsv"));
    int compared = 0;
    for (const ManifestRow& m : manifest) {
        if (m["oracle_csv"] == "-") continue;
        const std::string& table = m["path"];
        SCOPED_TRACE("paradox/" + table);
        ASSERT_EQ(kStatuses.count(m["oracle_status"]), 1u) << m["oracle_status"];
        OpenOptions options;
        if (m["encryption"] != "0x00000000") options.knownPasswords = {"123"};
        std::unique_ptr<TableFile> t;
        try {
            t = openTableFile(paradoxCorpus(table), options);
        } catch (const EDatabaseError& e) {
            ADD_FAILURE() << "cannot open: " << e.what();
            continue;
        }
        auto* px = dynamic_cast<paradox::ParadoxTable*>(t.get());
        ASSERT_NE(px, nullptr);
        checkParadoxFacts(*px, m);
        const auto diffs = compareDump(dumpToString(*t), paradoxCorpus(m["oracle_csv"]));
        checkDifferences(table, m, diffs, kParadoxExceptions);
        ++compared;
    }
    EXPECT_EQ(compared, 88) << "Paradox tables with an oracle in the corpus";
}

TEST(Corpus, DBaseTablesMatchTheirOracles) {
    const std::vector<ManifestRow> manifest = readManifest(dbaseCorpus("MANIFEST.tsv"));
    int compared = 0, refused = 0, fieldExceptionsUsed = 0;
    for (const ManifestRow& m : manifest) {
        const std::string& table = m["path"];
        SCOPED_TRACE("dbase/" + table);
        if (m["oracle_status"] == "none") {
            EXPECT_EQ(m["oracle_csv"], "-");
            try {
                openTableFile(dbaseCorpus(table));
                ADD_FAILURE() << "a table without oracle opened";
            } catch (const EDBEngineError& e) {
                EXPECT_EQ(e.code(), EDBEngineError::Code::Unsupported) << e.what();
                EXPECT_NE(std::string(e.what()).find("dBase II"), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(fileNamePart(table)), std::string::npos) << e.what();
                ++refused;
            }
            continue;
        }
        ASSERT_EQ(kStatuses.count(m["oracle_status"]), 1u) << m["oracle_status"];
        std::unique_ptr<TableFile> t;
        try {
            t = openTableFile(dbaseCorpus(table));
        } catch (const EDatabaseError& e) {
            ADD_FAILURE() << "cannot open: " << e.what();
            continue;
        }
        auto* dbf = dynamic_cast<dbase::DBaseTable*>(t.get());
        ASSERT_NE(dbf, nullptr);
        checkDBaseFacts(table, *dbf, m, fieldExceptionsUsed);
        const auto diffs = compareDump(dumpToString(*t), dbaseCorpus(m["oracle_csv"]));
        checkDifferences(table, m, diffs, kDBaseExceptions);
        ++compared;
    }
    EXPECT_EQ(compared, 98) << "dBase tables with an oracle in the corpus";
    EXPECT_EQ(refused, 1) << "dBase II tables";
    EXPECT_EQ(fieldExceptionsUsed, static_cast<int>(kDBaseFieldExceptions.size()))
        << "a field exception no longer applies";
}

TEST(Corpus, EveryExceptionNamesAnUntrustedTableOfTheManifest) {
    // Guards against an exception whose table was renamed or left the corpus: it would then never
    // be checked at all.
    for (const auto& [manifestPath, exceptions] :
         {std::pair{paradoxCorpus("MANIFEST.tsv"), &kParadoxExceptions},
          std::pair{dbaseCorpus("MANIFEST.tsv"), &kDBaseExceptions}}) {
        std::map<std::string, std::string> status;
        for (const ManifestRow& m : readManifest(manifestPath)) status[m["path"]] = m["oracle_status"];
        for (const OracleException& e : *exceptions)
            EXPECT_EQ(status[e.table], "untrusted") << e.table << " column " << e.column;
    }
}

}  // namespace
