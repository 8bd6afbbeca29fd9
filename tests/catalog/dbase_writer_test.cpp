// Writing dBase tables: every field type at levels 3, 4 and 7, memos, deleted records, code pages,
// field properties and production indexes. Each table written is read back by our reader and, at
// levels 3 and 4, by python dbfread; the .dbt and .mdx files are also taken apart byte by byte
// following the format notes, independently of the writer's code.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "byte_order.h"
#include "codepage.h"
#include "dbase/dbf_mdx_writer.h"
#include "dbase/dbf_table.h"
#include "dbase/dbf_writer.h"
#include "engine_error.h"
#include "file_io.h"
#include "table_file.h"
#include "table_writer.h"

using namespace tavrinth;

namespace {

// --- files ------------------------------------------------------------------------------------------

class Folder {
public:
    Folder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/dbwriter-XXXXXX";
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~Folder() {
        for (const std::string& n : names()) ::unlink((path_ + "/" + n).c_str());
        ::rmdir(path_.c_str());
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Every entry of the folder (hidden ones too), sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") out.push_back(n);
            }
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string path_;
};

std::string readAll(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    } else {
        ADD_FAILURE() << "cannot read " << path;
    }
    return out;
}

void writeAll(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::uint8_t u8(const std::string& b, std::size_t at) { return static_cast<std::uint8_t>(b.at(at)); }
std::uint16_t le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(u8(b, at) | (u8(b, at + 1) << 8));
}
std::uint32_t le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(le16(b, at)) | (static_cast<std::uint32_t>(le16(b, at + 2)) << 16);
}
std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}
std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return out;
}

// The fields of one CSV line (quoted fields may hold commas and doubled quotes).
std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                out.back().push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                out.back().push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out.emplace_back();
        } else {
            out.back().push_back(c);
        }
    }
    return out;
}

// --- values -----------------------------------------------------------------------------------------

FieldValue Null() { return {}; }
FieldValue S(const std::string& s) { return textValue(s); }
FieldValue Bin(const std::string& s) { return binaryValue(s); }
FieldValue I(std::int64_t n) { return integerValue(n); }
FieldValue R(double d) { return floatValue(d); }
FieldValue L(bool b) { return booleanValue(b); }
FieldValue Dt(int y, int m, int d) { return dateValue(y, m, d); }
FieldValue TS(int y, int m, int d, int hh, int mi, int ss, int ms) { return dateTimeValue(y, m, d, hh, mi, ss, ms); }

std::string describe(const FieldValue& v) {
    char buf[64];
    switch (v.kind) {
        case ValueKind::Null: return "NULL";
        case ValueKind::String: return "S\"" + v.text + "\"";
        case ValueKind::Binary: return "B" + hex(v.text);
        case ValueKind::Invalid: return "INVALID " + hex(v.text);
        case ValueKind::Float: std::snprintf(buf, sizeof buf, "R%.17g", v.real); return buf;
        case ValueKind::DateTime: std::snprintf(buf, sizeof buf, "T%.17g", v.real); return buf;
        default: return "K" + std::to_string(static_cast<int>(v.kind)) + ":" + std::to_string(v.integer);
    }
}

bool sameValue(const FieldValue& a, const FieldValue& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::Null: return true;
        case ValueKind::String: case ValueKind::Binary: case ValueKind::Invalid: return a.text == b.text;
        case ValueKind::Float: case ValueKind::DateTime: return a.real == b.real;
        default: return a.integer == b.integer;
    }
}

// --- table descriptions -----------------------------------------------------------------------------

struct Col {
    std::string name;
    char type;
    int size = 0;
    int decimals = 0;
};

TableSpec makeSpec(int level, const std::string& codePage, const std::vector<Col>& cols) {
    TableSpec s;
    s.format = TableFormat::DBase;
    s.level = level;
    s.codePage = codePage;
    for (const Col& c : cols) {
        ColumnSpec cs;
        cs.name = c.name;
        cs.type = c.type;
        cs.size = c.size;
        cs.decimals = c.decimals;
        s.fields.push_back(cs);
    }
    return s;
}

// The number as a numeric field of this width keeps it.
std::string numberText(const FieldValue& v, int decimals) {
    char buf[128];
    if (v.kind == ValueKind::Integer && decimals == 0)
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.integer));
    else
        std::snprintf(buf, sizeof buf, "%.*f", decimals,
                      v.kind == ValueKind::Integer ? static_cast<double>(v.integer) : v.real);
    return buf;
}

bool isIntegerText(const std::string& t) { return t.find('.') == std::string::npos; }

// What our reader gives for a value written into a field (`autoValue`: the value an
// autoincrement field receives).
FieldValue expectedRead(const ColumnSpec& c, const FieldValue& v, std::int64_t autoValue) {
    switch (c.type) {
        case 'C': return S(v.isNull() ? std::string() : v.text);
        case 'N': case 'F': {
            if (v.isNull()) return Null();
            const std::string t = numberText(v, c.decimals);
            return isIntegerText(t) ? I(std::stoll(t)) : R(std::strtod(t.c_str(), nullptr));
        }
        case 'M': return v.isNull() || v.text.empty() ? Null() : S(v.text);
        case 'B': case 'G': return v.isNull() || v.text.empty() ? Null() : Bin(v.text);
        case '+': return I(v.isNull() ? autoValue : v.integer);
        case 'O': return v.isNull() ? Null() : R(v.kind == ValueKind::Integer ? static_cast<double>(v.integer) : v.real);
        default: return v;
    }
}

// --- reading back ------------------------------------------------------------------------------------

struct ReadBack {
    std::unique_ptr<TableFile> file;
    dbase::DBaseTable* table = nullptr;
};

ReadBack open(const std::string& path) {
    ReadBack r;
    r.file = openTableFile(path);
    r.table = dynamic_cast<dbase::DBaseTable*>(r.file.get());
    return r;
}

// Autoincrement values as the writer assigns them: 1, 2, 3 ... for the blank ones, after the
// highest value given so far.
std::vector<std::vector<std::int64_t>> autoValues(const TableSpec& spec) {
    std::vector<std::vector<std::int64_t>> out(spec.records.size(), std::vector<std::int64_t>(spec.fields.size(), 0));
    for (std::size_t f = 0; f < spec.fields.size(); ++f) {
        if (spec.fields[f].type != '+') continue;
        std::int64_t next = 1;
        for (std::size_t r = 0; r < spec.records.size(); ++r) {
            const FieldValue& v = spec.records[r][f];
            const std::int64_t value = v.isNull() ? next : v.integer;
            out[r][f] = value;
            next = std::max(next, value + 1);
        }
    }
    return out;
}

// Every record, deleted ones too, read back by our reader equals the description.
void expectReadBack(const std::string& path, const TableSpec& spec) {
    SCOPED_TRACE(path);
    ReadBack rb = open(path);
    ASSERT_TRUE(rb.table);
    EXPECT_TRUE(rb.file->warnings().empty()) << rb.file->warnings().front();
    const auto& fields = rb.file->fields();
    ASSERT_EQ(fields.size(), spec.fields.size());
    for (std::size_t f = 0; f < fields.size(); ++f) {
        EXPECT_EQ(fields[f].name, toUpperAscii(spec.fields[f].name));
        EXPECT_EQ(fields[f].typeLetter, spec.fields[f].type);
        EXPECT_EQ(rb.table->rawFields()[f].decimals, spec.fields[f].decimals);
    }
    ASSERT_EQ(rb.table->physicalCount(), spec.records.size());
    std::size_t live = 0;
    const auto autos = autoValues(spec);
    for (std::uint32_t r = 0; r < rb.table->physicalCount(); ++r) {
        const std::uint8_t* rec = rb.table->physicalRecord(r);
        const bool deleted = !spec.deleted.empty() && spec.deleted[r];
        EXPECT_EQ(rec[0], deleted ? '*' : ' ') << "record " << r + 1;
        live += deleted ? 0 : 1;
        for (std::size_t f = 0; f < fields.size(); ++f) {
            FieldValue got;
            rb.table->decode(rec, f, got);
            const FieldValue want = expectedRead(spec.fields[f], spec.records[r][f], autos[r][f]);
            EXPECT_TRUE(sameValue(got, want)) << "record " << r + 1 << " field " << fields[f].name << ": got "
                                              << describe(got) << ", expected " << describe(want);
        }
    }
    EXPECT_EQ(rb.file->recordCount(), live);
}

// --- python dbfread ------------------------------------------------------------------------------

// Prints the fields and every record (live ones, then deleted ones) one a line, tab-separated;
// values tagged by their Python type, text as hex of its UTF-8.
const char* kDbfreadScript = R"PY(
import sys, datetime
from dbfread import DBF
t = DBF(sys.argv[1], load=False, char_decode_errors='strict')
def enc(v):
    if v is None: return 'N'
    if isinstance(v, bool): return 'L1' if v else 'L0'
    if isinstance(v, int): return 'I' + str(v)
    if isinstance(v, float): return 'R' + repr(v)
    if isinstance(v, datetime.datetime): return 'T' + v.isoformat()
    if isinstance(v, datetime.date): return 'D' + v.isoformat()
    if isinstance(v, str): return 'S' + v.encode('utf-8').hex()
    if isinstance(v, (bytes, bytearray)): return 'B' + bytes(v).hex()
    return 'X' + type(v).__name__
print('H', t.header.dbversion, t.header.language_driver, t.encoding, t.header.numrecords, sep='\t')
for f in t.fields:
    print('F', f.name, f.type, f.length, f.decimal_count, sep='\t')
for r in t:
    print('R', *[enc(v) for v in r.values()], sep='\t')
for r in t.deleted:
    print('X', *[enc(v) for v in r.values()], sep='\t')
)PY";

struct DbfreadResult {
    bool ok = false;
    std::string error;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> fields;
    std::vector<std::vector<std::string>> live, deleted;  // values, tagged
};

DbfreadResult runDbfread(const Folder& folder, const std::string& table) {
    DbfreadResult out;
    const std::string script = folder.file(".dbfread_dump.py");
    writeAll(script, kDbfreadScript);
    const std::string errFile = folder.file(".dbfread_err.txt");
    const std::string command = std::string("'") + TAVRINTH_PYTHON3 + "' '" + script + "' '" + table + "' 2>'" + errFile + "'";
    std::string text;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        const int status = ::pclose(p);
        out.ok = status == 0;
    }
    out.error = readAll(errFile);
    ::unlink(script.c_str());
    ::unlink(errFile.c_str());
    for (const std::string& line : split(text, '\n')) {
        if (line.empty()) continue;
        std::vector<std::string> parts = split(line, '\t');
        const std::string tag = parts.front();
        parts.erase(parts.begin());
        if (tag == "H") out.header = parts;
        else if (tag == "F") out.fields.push_back(parts);
        else if (tag == "R") out.live.push_back(parts);
        else if (tag == "X") out.deleted.push_back(parts);
    }
    return out;
}

std::string isoDate(const FieldValue& v) {
    const CivilDate c = civilFromDayNumber(v.integer);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(c.year), c.month, c.day);
    return buf;
}

// dBase IV memo as dbfread 2.0.7 returns it. dbfread takes the length word of a dBase IV memo
// block for the length of the data alone and reads that many bytes after the 8-byte block header,
// so it returns the memo followed by the 8 bytes that come after it in the .dbt (padding of the
// block, or the start of the next memo); then it cuts the result at the first 0x1F, a terminator
// some writers use. The expected value is built the same way from the bytes of the .dbt we wrote,
// so the comparison still checks every byte of the memo itself.
std::string dbfreadDbase4Memo(const std::string& dbt, const std::string& pointer) {
    const std::size_t block = static_cast<std::size_t>(std::stoul(pointer));
    const std::size_t at = block * 512;
    const std::size_t length = le32(dbt, at + 4);
    std::string data = dbt.substr(at + 8, length);
    const std::size_t cut = data.find('\x1F');
    return cut == std::string::npos ? data : data.substr(0, cut);
}

// The tagged dbfread value a field of a level 3 or 4 table should give.
std::string expectedDbfread(const ColumnSpec& c, const FieldValue& v, const CodePage& cp, int level,
                            const std::string& dbt, const std::string& storedField) {
    switch (c.type) {
        case 'C': return "S" + hex(v.isNull() ? std::string() : v.text);
        case 'N': case 'F': {
            if (v.isNull()) return "N";
            const std::string t = numberText(v, c.decimals);
            if (c.type == 'N' && isIntegerText(t)) return "I" + t;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", std::strtod(t.c_str(), nullptr));
            return "R" + std::string(buf);  // compared as numbers
        }
        case 'D': return v.isNull() ? "N" : "D" + isoDate(v);
        case 'L': return v.isNull() ? "N" : (v.integer ? "L1" : "L0");
        case 'M': case 'B': case 'G': {
            if (v.isNull() || v.text.empty()) return "N";
            if (level == 3) return "S" + hex(v.text);  // ends at the 1A we wrote
            const std::string raw = dbfreadDbase4Memo(dbt, storedField);
            return c.type == 'M' ? "S" + hex(cp.decode(raw)) : "B" + hex(raw);
        }
        default: return "?";
    }
}

bool sameTagged(const std::string& got, const std::string& want) {
    if (!got.empty() && !want.empty() && got[0] == 'R' && want[0] == 'R')
        return std::strtod(got.c_str() + 1, nullptr) == std::strtod(want.c_str() + 1, nullptr);
    return got == want;
}

// dbfread reads every record as the description has it, and reports the fields as declared.
void expectDbfread(const Folder& folder, const std::string& path, const TableSpec& spec) {
    SCOPED_TRACE("dbfread " + path);
    const DbfreadResult r = runDbfread(folder, path);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.fields.size(), spec.fields.size());
    for (std::size_t f = 0; f < spec.fields.size(); ++f) {
        ASSERT_EQ(r.fields[f].size(), 4u);
        EXPECT_EQ(r.fields[f][0], toUpperAscii(spec.fields[f].name));
        EXPECT_EQ(r.fields[f][1], std::string(1, spec.fields[f].type));
        const int size = spec.fields[f].size ? spec.fields[f].size
                                             : (spec.fields[f].type == 'D' ? 8 : spec.fields[f].type == 'L' ? 1 : 10);
        EXPECT_EQ(r.fields[f][2], std::to_string(size)) << r.fields[f][0];
        EXPECT_EQ(r.fields[f][3], std::to_string(spec.fields[f].decimals)) << r.fields[f][0];
    }
    ASSERT_GE(r.header.size(), 4u);
    EXPECT_EQ(r.header[3], std::to_string(spec.records.size()));

    const auto cp = CodePage::find(userCodePage(spec.codePage).name);
    ASSERT_TRUE(cp);
    const std::string dbf = readAll(path);
    const std::string dbtPath = path.substr(0, path.size() - 4) + ".dbt";
    const std::string dbt = ::access(dbtPath.c_str(), F_OK) == 0 ? readAll(dbtPath) : std::string();
    const std::size_t headerLength = le16(dbf, 8), recordLength = le16(dbf, 10);

    std::size_t liveAt = 0, deletedAt = 0;
    for (std::size_t rec = 0; rec < spec.records.size(); ++rec) {
        const bool deleted = !spec.deleted.empty() && spec.deleted[rec];
        const auto& rows = deleted ? r.deleted : r.live;
        std::size_t& at = deleted ? deletedAt : liveAt;
        ASSERT_LT(at, rows.size()) << "record " << rec + 1;
        const std::vector<std::string>& row = rows[at++];
        ASSERT_EQ(row.size(), spec.fields.size());
        std::size_t offset = 1;
        for (std::size_t f = 0; f < spec.fields.size(); ++f) {
            const ColumnSpec& c = spec.fields[f];
            const std::size_t width = static_cast<std::size_t>(std::stoi(r.fields[f][2]));
            const std::string stored = dbf.substr(headerLength + rec * recordLength + offset, width);
            offset += width;
            const std::string want = expectedDbfread(c, spec.records[rec][f], *cp, spec.level, dbt, stored);
            EXPECT_TRUE(sameTagged(row[f], want)) << "record " << rec + 1 << " field " << c.name << ": dbfread gives "
                                                  << row[f] << ", expected " << want;
        }
    }
    EXPECT_EQ(liveAt, r.live.size());
    EXPECT_EQ(deletedAt, r.deleted.size());
}

// --- header and memo file checks -------------------------------------------------------------------

void expectTodayInHeader(const std::string& dbf) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    // Written a moment ago; midnight may pass in between.
    const int stored = (u8(dbf, 1) + 1900) * 10000 + u8(dbf, 2) * 100 + u8(dbf, 3);
    const int current = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
    EXPECT_LE(current - stored, 1) << stored;
    EXPECT_GE(current - stored, 0) << stored;
}

// The dBase III .dbt: block 0 holds the next free block; each memo starts on a block of its own,
// its text followed by 1A 1A; the file is whole blocks.
void expectDbase3Memos(const std::string& dbt, const std::string& dbf, const TableSpec& spec, const CodePage& cp) {
    ASSERT_EQ(dbt.size() % 512, 0u);
    EXPECT_EQ(le32(dbt, 0), dbt.size() / 512);
    const std::size_t headerLength = le16(dbf, 8), recordLength = le16(dbf, 10);
    std::set<std::uint32_t> blocks;
    for (std::size_t r = 0; r < spec.records.size(); ++r) {
        std::size_t offset = 1;
        for (std::size_t f = 0; f < spec.fields.size(); ++f) {
            const ColumnSpec& c = spec.fields[f];
            const std::size_t width = c.type == 'M' ? 10 : static_cast<std::size_t>(c.size ? c.size : (c.type == 'D' ? 8 : 1));
            const std::string stored = dbf.substr(headerLength + r * recordLength + offset, width);
            offset += width;
            if (c.type != 'M') continue;
            const FieldValue& v = spec.records[r][f];
            if (v.isNull() || v.text.empty()) {
                EXPECT_EQ(stored, std::string(10, ' '));
                continue;
            }
            // Right-justified block number, space padded.
            EXPECT_EQ(stored.find_first_not_of(' '), 10 - std::to_string(std::stoul(stored)).size()) << stored;
            const std::uint32_t block = static_cast<std::uint32_t>(std::stoul(stored));
            EXPECT_TRUE(blocks.insert(block).second);
            std::string bytes;
            ASSERT_TRUE(cp.encode(v.text, bytes));
            EXPECT_EQ(dbt.substr(block * 512, bytes.size()), bytes);
            EXPECT_EQ(dbt.substr(block * 512 + bytes.size(), 2), "\x1A\x1A");
        }
    }
}

// The dBase IV .dbt: header with next free block, name, 00 00 02 01 and the block size 512; each
// memo block FF FF 08 00 + length of the data plus those 8 bytes.
void expectDbase4Memos(const std::string& dbt, const std::string& stem) {
    ASSERT_GE(dbt.size(), 512u);
    ASSERT_EQ(dbt.size() % 512, 0u);
    EXPECT_EQ(le32(dbt, 0), dbt.size() / 512);
    EXPECT_EQ(dbt.substr(8, 8), (toUpperAscii(stem) + std::string(8, '\0')).substr(0, 8));
    EXPECT_EQ(dbt.substr(16, 4), std::string("\0\0\x02\x01", 4));
    EXPECT_EQ(le16(dbt, 20), 512);
    std::size_t block = 1;
    while (block * 512 < dbt.size()) {
        ASSERT_EQ(dbt.substr(block * 512, 4), std::string("\xFF\xFF\x08\x00", 4)) << "block " << block;
        const std::size_t length = le32(dbt, block * 512 + 4);
        ASSERT_GT(length, 8u);
        block += (length + 511) / 512;
    }
    EXPECT_EQ(block * 512, dbt.size());
}

// --- the MDX, taken apart following the notes -------------------------------------------------------

struct MdxEntry {
    std::uint32_t pointer;
    std::string key;
};

struct MdxTagInfo {
    std::string name, expression;
    char keyType = 0;
    std::uint8_t tableFormat = 0, headerFlags = 0, uniqueByte = 0, singleMark = 0;
    std::size_t keyLength = 0, itemLength = 0, maxKeys = 0;
    std::uint32_t headerPage = 0, root = 0, nodePages = 0;
    std::uint8_t left = 0, right = 0, parent = 0;
    std::vector<MdxEntry> leaves;  // leaf entries in tree order
    std::size_t nodes = 0, depth = 0;
};

// Decodes an N key into a double (sign, 0x34 + digits before the point, digits).
double numericKeyValue(const std::string& k) {
    const int exponent = u8(k, 0) - 0x34;
    const bool negative = u8(k, 1) & 0x80;
    std::string digits;
    for (std::size_t i = 2; i < 12; ++i) {
        digits.push_back(static_cast<char>('0' + (u8(k, i) >> 4)));
        digits.push_back(static_cast<char>('0' + (u8(k, i) & 15)));
    }
    const std::string text = std::string(negative ? "-" : "") + "0." + digits + "e" + std::to_string(exponent);
    return std::strtod(text.c_str(), nullptr);
}

double dateKeyValue(const std::string& k) {
    return bitsToDouble(loadLE64(reinterpret_cast<const std::uint8_t*>(k.data())));
}

// <0, 0, >0 by the key's value (C: bytes).
int keyOrder(char type, const std::string& a, const std::string& b) {
    if (type == 'C') return a < b ? -1 : (a > b ? 1 : 0);
    const double x = type == 'N' ? numericKeyValue(a) : dateKeyValue(a);
    const double y = type == 'N' ? numericKeyValue(b) : dateKeyValue(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

struct MdxFile {
    std::string bytes;
    std::vector<MdxTagInfo> tags;
};

// Walks the subtree at `page`; returns its last key. Fails the test on a malformed node.
// `ours`: a file this writer made (bytes 4-7 of its nodes are 0; other writers leave values there).
std::string walk(const std::string& f, MdxTagInfo& tag, std::uint32_t page, std::size_t depth,
                 std::set<std::uint32_t>& seen, bool ours = true) {
    EXPECT_TRUE(seen.insert(page).second) << "page " << page << " reached twice";
    EXPECT_EQ(page % 2, 0u);
    const std::size_t at = static_cast<std::size_t>(page) * 512;
    if (at + 1024 > f.size()) {
        ADD_FAILURE() << "page " << page << " past the end";
        return {};
    }
    ++tag.nodes;
    const std::uint32_t n = le32(f, at);
    EXPECT_LE(n, tag.maxKeys) << "page " << page;
    if (ours) {
        EXPECT_EQ(le32(f, at + 4), 0u);
    }
    auto item = [&](std::size_t i) {
        const std::size_t p = at + 8 + i * tag.itemLength;
        return MdxEntry{le32(f, p), f.substr(p + 4, tag.keyLength)};
    };
    const bool inner = item(n).pointer != 0;
    if (!inner) {
        if (tag.depth == 0) tag.depth = depth;
        EXPECT_EQ(tag.depth, depth) << "leaves at different depths";
        for (std::size_t i = 0; i < n; ++i) tag.leaves.push_back(item(i));
        return n ? item(n - 1).key : std::string();
    }
    EXPECT_LT(n, tag.maxKeys) << "inner page " << page;
    std::string last;
    for (std::size_t i = 0; i <= n; ++i) {
        const MdxEntry e = item(i);
        last = walk(f, tag, e.pointer, depth + 1, seen, ours);
        // Key i of an inner node is the last key of child i.
        if (i < n) {
            EXPECT_EQ(hex(e.key), hex(last)) << "inner page " << page << " item " << i;
        }
    }
    return last;
}

MdxFile readMdx(const std::string& path, const std::string& stem, std::size_t expectedTags) {
    MdxFile m;
    m.bytes = readAll(path);
    const std::string& f = m.bytes;
    EXPECT_GE(f.size(), 2048u);
    if (f.size() < 2048) return m;
    EXPECT_EQ(u8(f, 0), 2);                                  // version
    EXPECT_EQ(f.substr(4, stem.size()), toUpperAscii(stem));  // table name
    EXPECT_EQ(le16(f, 20), 2);                               // pages a block
    EXPECT_EQ(le16(f, 22), 1024);                            // bytes a block
    EXPECT_EQ(u8(f, 24), 1);                                 // production index
    EXPECT_EQ(u8(f, 25), 48);
    EXPECT_EQ(u8(f, 26), 32);
    EXPECT_EQ(le16(f, 28), expectedTags);
    EXPECT_EQ(le32(f, 32) * 512, f.size());  // pages in the file
    EXPECT_EQ(u8(f, 529), 1);
    std::set<std::uint32_t> seen;
    std::size_t pages = 4;
    for (std::size_t i = 0; i < le16(f, 28); ++i) {
        const std::size_t e = 544 + i * 32;
        MdxTagInfo t;
        t.headerPage = le32(f, e);
        t.name = f.substr(e + 4, 11);
        t.name = t.name.substr(0, t.name.find('\0'));
        t.tableFormat = u8(f, e + 15);
        t.left = u8(f, e + 16);
        t.right = u8(f, e + 17);
        t.parent = u8(f, e + 18);
        EXPECT_EQ(u8(f, e + 19), 2);
        t.keyType = static_cast<char>(u8(f, e + 20));
        const std::size_t h = static_cast<std::size_t>(t.headerPage) * 512;
        t.root = le32(f, h);
        t.nodePages = le32(f, h + 4);
        t.headerFlags = u8(f, h + 8);
        EXPECT_EQ(static_cast<char>(u8(f, h + 9)), t.keyType);
        t.keyLength = le16(f, h + 12);
        t.maxKeys = le16(f, h + 14);
        EXPECT_EQ(le16(f, h + 16), t.keyType == 'D' ? 1 : 0);
        t.itemLength = le16(f, h + 18);
        EXPECT_EQ(t.itemLength, (t.keyLength + 4 + 3) / 4 * 4);
        EXPECT_EQ(t.maxKeys, (1024 - 12) / t.itemLength);
        t.uniqueByte = u8(f, h + 23);
        t.expression = f.substr(h + 24, 221);
        t.expression = t.expression.substr(0, t.expression.find('\0'));
        EXPECT_EQ(u8(f, h + 245), 0);  // no FOR clause
        t.singleMark = u8(f, h + 480);
        walk(f, t, t.root, 1, seen);
        EXPECT_EQ(t.nodePages, t.nodes * 2) << t.name;
        pages += 2 + t.nodes * 2;
        m.tags.push_back(std::move(t));
    }
    EXPECT_EQ(pages * 512, f.size()) << "pages not reached from any tag";
    return m;
}

// The leaves of a tag hold every record once, in key order (descending when asked), equal keys by
// record number; and each record's key is `keyOf(record)`.
template <typename KeyOf>
void expectTagEntries(const MdxTagInfo& t, std::size_t records, bool descending, KeyOf keyOf) {
    SCOPED_TRACE("tag " + t.name);
    ASSERT_EQ(t.leaves.size(), records);
    std::vector<int> count(records + 1, 0);
    for (std::size_t i = 0; i < t.leaves.size(); ++i) {
        const MdxEntry& e = t.leaves[i];
        ASSERT_GE(e.pointer, 1u);
        ASSERT_LE(e.pointer, records);
        ++count[e.pointer];
        EXPECT_EQ(hex(e.key), hex(keyOf(e.pointer - 1))) << "record " << e.pointer;
        if (i == 0) continue;
        const MdxEntry& p = t.leaves[i - 1];
        int order = keyOrder(t.keyType, p.key, e.key);
        if (descending) order = -order;
        EXPECT_LE(order, 0) << "entries " << i - 1 << " and " << i << " out of order";
        if (order == 0) {
            EXPECT_LT(p.pointer, e.pointer) << "equal keys not by record number";
        }
    }
    for (std::size_t r = 1; r <= records; ++r) EXPECT_EQ(count[r], 1) << "record " << r;
}

// --- refusals ------------------------------------------------------------------------------------------

// createTable refuses, with a message holding `words`, and leaves the folder as it was.
void expectRefused(const TableSpec& spec, const std::string& words, const std::string& tableName = "t.dbf") {
    Folder folder;
    try {
        dbase::createTable(folder.file(tableName), spec);
        ADD_FAILURE() << "not refused; expected: " << words;
    } catch (const EDBEngineError& e) {
        EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
    EXPECT_TRUE(folder.names().empty()) << "left behind: " << folder.names().front();
}

// --- a table with every level 3 type -------------------------------------------------------------------

std::string longMemo() {
    std::string s;
    for (int i = 0; i < 60; ++i) s += "Line " + std::to_string(i) + " of a memo that runs over several blocks.\r\n";
    return s;
}

TEST(DBaseWriter, Level3EveryTypeWithMemosAndDeletedRecords) {
    Folder folder;
    TableSpec spec = makeSpec(3, "CP437", {{"name", 'C', 20}, {"amount", 'N', 10, 2}, {"count", 'N', 5},
                                            {"born", 'D'}, {"active", 'L'}, {"notes", 'M'}});
    spec.records = {
        {S("Anna"), R(12.5), I(42), Dt(1987, 9, 13), L(true), S("short memo")},
        {S("Jos\xC3\xA9 M\xC3\xBCller"), R(-0.75), I(-7), Dt(2000, 2, 29), L(false), S(longMemo())},
        {Null(), Null(), Null(), Null(), Null(), Null()},
        {S("deleted one"), I(3), I(0), Dt(1, 1, 1), L(true), S("line one\nline two\r\n\xC2\xBD \xC3\xA7" "a")},
        {S("\xE2\x96\x93 box \xC3\xB1"), R(99999.99), I(99999), Dt(9999, 12, 31), L(false), S("")},
    };
    spec.deleted = {false, false, false, true, false};
    const std::string path = folder.file("people.dbf");
    dbase::createTable(path, spec);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"people.dbf", "people.dbt"}));

    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 0), 0x83);
    expectTodayInHeader(dbf);
    EXPECT_EQ(le32(dbf, 4), 5u);
    EXPECT_EQ(le16(dbf, 8), 32 + 6 * 32 + 1);
    EXPECT_EQ(le16(dbf, 10), 1 + 20 + 10 + 5 + 8 + 1 + 10);
    EXPECT_EQ(u8(dbf, 28), 0);     // no production index
    EXPECT_EQ(u8(dbf, 29), 0x01);  // language driver: cp437
    EXPECT_EQ(u8(dbf, 32 + 6 * 32), 0x0D);
    EXPECT_EQ(dbf.size(), le16(dbf, 8) + 5u * le16(dbf, 10) + 1);
    EXPECT_EQ(u8(dbf, dbf.size() - 1), 0x1A);
    EXPECT_EQ(dbf.substr(32, 11), std::string("NAME\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(dbf[32 + 11], 'C');

    expectReadBack(path, spec);
    ReadBack rb = open(path);
    EXPECT_EQ(rb.file->codePageChoice().name, "CP437");
    expectDbase3Memos(readAll(folder.file("people.dbt")), dbf, spec, *CodePage::find("CP437"));
    expectDbfread(folder, path, spec);
}

TEST(DBaseWriter, Level3WithoutMemoFieldsHasNoMemoFileAndMayBeEmpty) {
    Folder folder;
    TableSpec spec = makeSpec(3, "850", {{"CODE", 'C', 4}, {"VALUE", 'N', 19, 4}});
    const std::string path = folder.file("EMPTY.DBF");
    dbase::createTable(path, spec);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"EMPTY.DBF"});
    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 0), 0x03);
    EXPECT_EQ(u8(dbf, 29), 0x02);
    EXPECT_EQ(le32(dbf, 4), 0u);
    EXPECT_EQ(dbf.size(), 32 + 2 * 32 + 1 + 1u);
    EXPECT_EQ(u8(dbf, dbf.size() - 1), 0x1A);
    expectReadBack(path, spec);
    EXPECT_EQ(open(path).file->codePageChoice().name, "CP850");
    expectDbfread(folder, path, spec);

    // The same with records.
    Folder other;
    spec.records = {{S("A1"), R(-123456789012.3456)}, {S("B2"), I(7)}};
    dbase::createTable(other.file("full.dbf"), spec);
    expectReadBack(other.file("full.dbf"), spec);
    expectDbfread(other, other.file("full.dbf"), spec);
}

// --- level 4 ------------------------------------------------------------------------------------------

std::string binaryBlob(std::size_t n, unsigned seed) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>((i * 31 + seed * 7) & 0xFF);
        if (c == 0x1F) c = 0x20;  // dbfread cuts its memos at 0x1F (see dbfreadDbase4Memo)
        s.push_back(static_cast<char>(c));
    }
    return s;
}

TEST(DBaseWriter, Level4EveryTypeReadBackByBothReaders) {
    Folder folder;
    TableSpec spec = makeSpec(4, "CP1252", {{"TITLE", 'C', 30}, {"PRICE", 'N', 9, 2}, {"RATE", 'F', 12, 5},
                                             {"QTY", 'N', 4}, {"DAY", 'D'}, {"PAID", 'L'}, {"TEXT", 'M'},
                                             {"PICTURE", 'B'}, {"OBJECT", 'G'}});
    spec.records = {
        {S("Caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xAC"), R(3.5), R(0.125), I(12), Dt(1999, 12, 31), L(true),
         S("memo \xE2\x80\x93 with \xC3\xA9\r\nsecond line"), Bin(binaryBlob(40, 1)), Bin(binaryBlob(700, 2))},
        {S("second"), R(-1234.56), R(-98765.4321), I(-999), Dt(2024, 2, 29), L(false), S(longMemo()),
         Bin(binaryBlob(504, 3)), Null()},
        {S(""), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Bin(binaryBlob(1, 4))},
        {S("gone"), I(1), I(2), I(3), Dt(1970, 1, 1), L(true), S("x"), Bin(std::string("\0\x01\x02", 3)), Null()},
    };
    spec.deleted = {false, false, false, true};
    const std::string path = folder.file("stock.dbf");
    dbase::createTable(path, spec);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"stock.dbf", "stock.dbt"}));
    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 0), 0x8B);
    EXPECT_EQ(u8(dbf, 29), 0x57);
    EXPECT_EQ(le16(dbf, 8), 32 + 9 * 32 + 1);
    expectReadBack(path, spec);
    EXPECT_EQ(open(path).file->codePageChoice().name, "CP1252");
    expectDbase4Memos(readAll(folder.file("stock.dbt")), "stock");
    expectDbfread(folder, path, spec);
}

TEST(DBaseWriter, Level4CyrillicInCodePage866) {
    Folder folder;
    const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет
    const std::string mir = "\xD0\xBC\xD0\xB8\xD1\x80 \xD1\x91\xD0\x81";           // мир ёЁ
    TableSpec spec = makeSpec(4, "CP866", {{"NAME", 'C', 12}, {"SUM", 'N', 8, 1}, {"NOTE", 'M'}});
    spec.records = {{S(privet), R(10.5), S(privet + ", " + mir + "\r\n" + longMemo())}, {S(mir), I(-3), Null()}};
    const std::string path = folder.file("ru.dbf");
    dbase::createTable(path, spec);
    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 29), 0x65);
    // The text is stored in cp866: П = 0x8F.
    EXPECT_EQ(u8(dbf, le16(dbf, 8) + 1), 0x8F);
    expectReadBack(path, spec);
    EXPECT_EQ(open(path).file->codePageChoice().name, "CP866");
    expectDbfread(folder, path, spec);
}

// --- level 7 ------------------------------------------------------------------------------------------

TableSpec level7Spec(const std::string& codePage) {
    TableSpec spec = makeSpec(7, codePage, {{"ID", '+'}, {"Customer_Name", 'C', 40}, {"BALANCE", 'N', 12, 2},
                                            {"RATIO", 'F', 10, 4}, {"SINCE", 'D'}, {"VIP", 'L'}, {"REMARKS", 'M'},
                                            {"PHOTO", 'B'}, {"OLE", 'G'}, {"VISITS", 'I'}, {"SCORE", 'O'},
                                            {"STAMP", '@'}});
    spec.records = {
        {Null(), S("first"), R(100.25), R(0.5), Dt(2001, 5, 6), L(true), S("a memo"), Bin(binaryBlob(64, 5)),
         Bin(binaryBlob(1100, 6)), I(7), R(-199.99), TS(1900, 1, 1, 0, 0, 0, 0)},
        {Null(), S("second"), R(-3), R(-1.0625), Dt(1970, 1, 1), L(false), S(longMemo()), Null(), Null(),
         I(-2147483647), R(0.0), TS(2023, 12, 31, 23, 59, 59, 999)},
        {I(10), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null(), Null()},
        {Null(), S("deleted"), I(1), I(1), Dt(1, 1, 1), L(true), S("z"), Bin("q"), Null(), I(2147483647), R(1e100),
         TS(1, 1, 1, 12, 0, 0, 0)},
    };
    spec.deleted = {false, false, false, true};
    return spec;
}

TEST(DBaseWriter, Level7EveryTypeWithAutoincrementAndLanguageDriverName) {
    Folder folder;
    TableSpec spec = level7Spec("CP1252");
    const std::string path = folder.file("Clients.dbf");
    dbase::createTable(path, spec);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"Clients.dbf", "Clients.dbt"}));
    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 0), 0x8C);
    EXPECT_EQ(u8(dbf, 29), 0);
    EXPECT_EQ(dbf.substr(32, 32), std::string("DBWINUS0") + std::string(24, '\0'));
    EXPECT_EQ(le16(dbf, 8), 68 + 12 * 48 + 1);
    // Descriptors: 32-byte names, type at 32, size 33, decimals 34, next autoincrement at 42.
    EXPECT_EQ(dbf.substr(68, 3), std::string("ID\0", 3));
    EXPECT_EQ(dbf[68 + 32], '+');
    EXPECT_EQ(u8(dbf, 68 + 33), 4);
    EXPECT_EQ(le32(dbf, 68 + 42), 12u);  // 1, 2, 10, then 11 for the deleted record
    EXPECT_EQ(dbf.substr(68 + 48, 14), std::string("CUSTOMER_NAME\0", 14));
    EXPECT_EQ(u8(dbf, 68 + 2 * 48 + 34), 2);
    EXPECT_EQ(u8(dbf, 68 + 12 * 48), 0x0D);
    // Record 1: autoincrement 1 stored big-endian with the sign bit flipped.
    EXPECT_EQ(dbf.substr(le16(dbf, 8) + 1, 4), std::string("\x80\0\0\x01", 4));
    expectReadBack(path, spec);
    ReadBack rb = open(path);
    EXPECT_EQ(rb.file->codePageChoice().name, "CP1252");
    EXPECT_EQ(rb.file->fields()[0].dataType, ftAutoInc);
    expectDbase4Memos(readAll(folder.file("Clients.dbt")), "Clients");
}

TEST(DBaseWriter, Level7InCodePage866And437) {
    for (const char* cp : {"CP866", "437"}) {
        SCOPED_TRACE(cp);
        Folder folder;
        TableSpec spec = level7Spec(cp);
        if (std::string(cp) == "CP866") spec.records[0][1] = S("\xD0\x9A\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82");
        const std::string path = folder.file("t.dbf");
        dbase::createTable(path, spec);
        const std::string dbf = readAll(path);
        EXPECT_EQ(dbf.substr(32, 8), std::string(cp) == "CP866" ? "DB866RU0" : "DB437US0");
        expectReadBack(path, spec);
        EXPECT_EQ(open(path).file->codePageChoice().name, std::string(cp) == "CP866" ? "CP866" : "CP437");
    }
}

TEST(DBaseWriter, Level7FieldPropertiesHoldTheChecks) {
    Folder folder;
    TableSpec spec = makeSpec(7, "CP1252", {{"CODE", 'C', 6}, {"QTY", 'N', 5}, {"PRICE", 'N', 8, 2}, {"DUE", 'D'},
                                            {"OK", 'L'}, {"NOTE", 'M'}, {"N", 'I'}});
    CheckSpec code;
    code.field = "code";
    code.required = true;
    code.minKind = BoundKind::Value;
    code.minValue = S("AA");
    CheckSpec qty;
    qty.field = "QTY";
    qty.minKind = qty.maxKind = qty.defaultKind = BoundKind::Value;
    qty.minValue = I(1);
    qty.maxValue = I(500);
    qty.defaultValue = I(10);
    CheckSpec due;
    due.field = "DUE";
    due.maxKind = BoundKind::Value;
    due.maxValue = Dt(2030, 12, 31);
    CheckSpec ok;
    ok.field = "OK";
    ok.defaultKind = BoundKind::Value;
    ok.defaultValue = L(true);
    CheckSpec note;
    note.field = "NOTE";
    note.required = true;
    CheckSpec n;
    n.field = "N";
    n.minKind = BoundKind::Value;
    n.minValue = I(-5);
    spec.checks = {qty, code, due, ok, note, n};
    spec.records = {{S("AB"), I(3), R(1.5), Dt(2020, 1, 2), L(true), S("m"), I(1)}};
    const std::string path = folder.file("props.dbf");
    dbase::createTable(path, spec);

    // The block after the 0x0D, as laid out in the notes: 16-byte header, 15-byte entries, values
    // in their record form; the header length covers it in whole 512-byte units.
    const std::string dbf = readAll(path);
    const std::size_t start = 68 + 7 * 48 + 1;
    ASSERT_EQ(u8(dbf, start - 1), 0x0D);
    const std::size_t entries = le16(dbf, start);
    EXPECT_EQ(entries, 9u);  // required+min, min+max+default, max, default, required, min
    EXPECT_EQ(le16(dbf, start + 2), 16);
    const std::size_t dataAt = 16 + entries * 15;
    EXPECT_EQ(le16(dbf, start + 6), dataAt);
    EXPECT_EQ(le16(dbf, start + 10), dataAt);
    EXPECT_EQ(le16(dbf, start + 12), dataAt);
    const std::size_t size = le16(dbf, start + 14);
    EXPECT_EQ(size, dataAt + 6 + 3 * 5 + 8 + 1 + 4);
    EXPECT_EQ(le16(dbf, 8), start + (size + 511) / 512 * 512);
    std::map<std::pair<int, int>, std::string> found;  // (field, property) -> data
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t e = start + 16 + i * 15;
        const int field = le16(dbf, e + 2), property = u8(dbf, e + 4);
        EXPECT_EQ(u8(dbf, e + 6), 0x02);
        const std::size_t at = le16(dbf, e + 11), n = le16(dbf, e + 13);
        found[{field, property}] = property == 1 ? std::string() : dbf.substr(start + at, n);
    }
    EXPECT_EQ(found.size(), 9u);
    EXPECT_EQ(found[std::make_pair(1, 1)], "");
    EXPECT_EQ(found[std::make_pair(1, 2)], "AA    ");
    EXPECT_EQ(found[std::make_pair(2, 2)], "    1");
    EXPECT_EQ(found[std::make_pair(2, 3)], "  500");
    EXPECT_EQ(found[std::make_pair(2, 4)], "   10");
    EXPECT_EQ(found[std::make_pair(4, 3)], "20301231");
    EXPECT_EQ(found[std::make_pair(5, 4)], "T");
    EXPECT_TRUE(found.count(std::make_pair(6, 1)));
    EXPECT_EQ(found[std::make_pair(7, 2)], std::string("\x7F\xFF\xFF\xFB", 4));

    // Read back through the engine.
    expectReadBack(path, spec);
    ReadBack rb = open(path);
    const auto& checks = rb.file->validityChecks();
    ASSERT_EQ(checks.size(), 6u);
    EXPECT_EQ(checks[0].field, 0);
    EXPECT_TRUE(checks[0].required);
    EXPECT_EQ(checks[0].minKind, BoundKind::Value);
    EXPECT_TRUE(sameValue(checks[0].minValue, S("AA")));
    EXPECT_EQ(checks[1].field, 1);
    EXPECT_TRUE(sameValue(checks[1].minValue, I(1)));
    EXPECT_TRUE(sameValue(checks[1].maxValue, I(500)));
    EXPECT_TRUE(sameValue(checks[1].defaultValue, I(10)));
    EXPECT_EQ(checks[2].field, 3);
    EXPECT_TRUE(sameValue(checks[2].maxValue, Dt(2030, 12, 31)));
    EXPECT_EQ(checks[3].field, 4);
    EXPECT_TRUE(sameValue(checks[3].defaultValue, L(true)));
    EXPECT_EQ(checks[4].field, 5);
    EXPECT_TRUE(checks[4].required);
    EXPECT_EQ(checks[5].field, 6);
    EXPECT_TRUE(sameValue(checks[5].minValue, I(-5)));
    EXPECT_TRUE(rb.file->fields()[0].required);
}

// --- indexes --------------------------------------------------------------------------------------

// Keys as the notes define them, computed here from the values.
std::string charKey(const CodePage& cp, const std::vector<std::pair<std::string, std::size_t>>& parts) {
    std::string key;
    for (const auto& [text, width] : parts) {
        std::string bytes;
        EXPECT_TRUE(cp.encode(text, bytes));
        bytes.resize(width, ' ');
        key += bytes;
    }
    return key;
}

TEST(DBaseWriter, MdxNumericAndDateKeysMatchTheEnginesOwnFiles) {
    // Julian day numbers: 1 January 2000 is day 2451545, 1 January 1970 day 2440588.
    EXPECT_EQ(dateKeyValue(dbase::mdxDateKey(dayNumberFromCivil(2000, 1, 1))), 2451545.0);
    EXPECT_EQ(dateKeyValue(dbase::mdxDateKey(dayNumberFromCivil(1970, 1, 1))), 2440588.0);

    // The N keys of the Borland sample tables: each key's exponent and digits equal ours for the
    // field's value; byte 1 (length of the digits, sign) where its writer used the digits' length.
    struct Sample {
        const char* mdx;
        const char* oracle;
        const char* field;
    };
    const std::string corpus = std::string(TAVRINTH_CORPUS_DIR) + "/dbase/";
    std::size_t compared = 0, lengthsCompared = 0;
    for (const Sample& s : {Sample{"Aorid__Group-336.2/master.mdx", "oracle/Aorid__Group-336.2/master.dbf.csv", "PROJ_GRTH"},
                            Sample{"Aorid__Group-336.2/holdings.mdx", "oracle/Aorid__Group-336.2/holdings.dbf.csv", "ACCT_NBR"},
                            Sample{"Aorid__Group-336.2/industry.mdx", "oracle/Aorid__Group-336.2/industry.dbf.csv", "IND_CODE"}}) {
        SCOPED_TRACE(s.mdx);
        const std::string f = readAll(corpus + s.mdx);
        ASSERT_GE(f.size(), 2048u);
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : split(readAll(corpus + s.oracle), '\n'))
            if (!line.empty()) rows.push_back(csvFields(line.substr(0, line.find('\r'))));
        ASSERT_FALSE(rows.empty());
        const std::size_t column = static_cast<std::size_t>(
            std::find(rows[0].begin(), rows[0].end(), s.field) - rows[0].begin());
        ASSERT_LT(column, rows[0].size());
        for (std::size_t i = 0; i < le16(f, 28); ++i) {
            const std::size_t e = 544 + i * 32;
            if (f[e + 20] != 'N') continue;
            MdxTagInfo t;
            const std::size_t h = static_cast<std::size_t>(le32(f, e)) * 512;
            t.keyType = 'N';
            t.keyLength = le16(f, h + 12);
            t.maxKeys = le16(f, h + 14);
            t.itemLength = le16(f, h + 18);
            std::set<std::uint32_t> seen;
            walk(f, t, le32(f, h), 1, seen, false);
            ASSERT_EQ(t.leaves.size(), rows.size() - 1);
            for (const MdxEntry& entry : t.leaves) {
                const std::string value = rows.at(entry.pointer).at(column);
                std::string ours;
                ASSERT_TRUE(dbase::mdxNumericKey(value, ours)) << value;
                EXPECT_EQ(ours[0], entry.key[0]) << value;
                EXPECT_EQ(ours.substr(2), entry.key.substr(2)) << value;
                EXPECT_EQ(u8(ours, 1) & 0x80, u8(entry.key, 1) & 0x80) << value;
                ++compared;
                std::size_t digitBytes = 0;
                for (std::size_t b = 2; b < 12; ++b)
                    if (entry.key[b]) digitBytes = b - 1;
                if ((u8(entry.key, 1) & 0x7F) == digitBytes * 8 + 1) {
                    EXPECT_EQ(hex(ours), hex(entry.key)) << value;
                    ++lengthsCompared;
                }
            }
        }
    }
    EXPECT_GT(compared, 200u);
    EXPECT_GT(lengthsCompared, 100u);

    // Fractions, negative numbers, zero and blanks.
    std::string k;
    ASSERT_TRUE(dbase::mdxNumericKey("   12.50", k));
    EXPECT_EQ(hex(k), "361112500000000000000000");
    ASSERT_TRUE(dbase::mdxNumericKey("  -0.05", k));
    EXPECT_EQ(hex(k), "338950000000000000000000");
    ASSERT_TRUE(dbase::mdxNumericKey("  0.00", k));
    EXPECT_EQ(hex(k), "340100000000000000000000");
    ASSERT_TRUE(dbase::mdxNumericKey("     ", k));
    EXPECT_EQ(hex(k), "340100000000000000000000");
    EXPECT_FALSE(dbase::mdxNumericKey("1e5", k));
}

struct IndexedTable {
    TableSpec spec;
    std::vector<std::string> last, first, city;
    std::vector<FieldValue> amount, day;
};

// A table big enough for trees of several levels.
IndexedTable indexedTable(int level, const std::string& codePage, std::size_t records) {
    IndexedTable t;
    t.spec = makeSpec(level, codePage, {{"LAST", 'C', 20}, {"FIRST", 'C', 15}, {"CITY", 'C', 100},
                                        {"AMOUNT", 'N', 10, 2}, {"DAY", 'D'}, {"ID", 'C', 6}, {"MEMO", 'M'}});
    const char* cities[] = {"Z\xC3\xBCrich", "Amsterdam", "berlin", "Oslo", "  Lead", "Kyiv", "Zagreb"};
    for (std::size_t i = 0; i < records; ++i) {
        const std::string last = "Name" + std::to_string((i * 7919) % 97);
        const std::string first = std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i % 5);
        const std::string city = std::string(cities[i % 7]) + std::to_string((i * 31) % 13);
        FieldValue amount = i % 11 == 0 ? Null() : R(static_cast<double>((static_cast<long>(i) * 7919) % 20001 - 10000) / 100.0);
        FieldValue day = Dt(1900 + static_cast<int>(i % 150), 1 + static_cast<int>(i % 12), 1 + static_cast<int>(i % 28));
        char id[32];
        std::snprintf(id, sizeof id, "K%05u", static_cast<unsigned>(i));
        t.spec.records.push_back({S(last), S(first), S(city), amount, day, S(id), i % 3 ? Null() : S("memo " + last)});
        t.spec.deleted.push_back(i % 9 == 4);
        t.last.push_back(last);
        t.first.push_back(first);
        t.city.push_back(city);
        t.amount.push_back(amount);
        t.day.push_back(day);
    }
    IndexSpec byLast;
    byLast.name = "byLast";
    byLast.fields = {"LAST"};
    IndexSpec cityDesc;
    cityDesc.name = "CITYDESC";
    cityDesc.fields = {"city"};
    cityDesc.descending = true;
    IndexSpec amount;
    amount.name = "AMOUNT";
    amount.expression = "AMOUNT";
    IndexSpec day;
    day.name = "DAYS";
    day.fields = {"DAY"};
    day.descending = true;
    IndexSpec id;
    id.name = "ID";
    id.fields = {"ID"};
    id.unique = true;
    IndexSpec names;
    names.name = "FULLNAME";
    names.expression = "last + FIRST";
    t.spec.indexes = {byLast, cityDesc, amount, day, id, names};
    return t;
}

std::string numericKeyOf(const FieldValue& v, int decimals) {
    std::string key;
    EXPECT_TRUE(dbase::mdxNumericKey(v.isNull() ? std::string() : numberText(v, decimals), key));
    return key;
}

void expectIndexedTable(const Folder& folder, const std::string& path, const IndexedTable& t, const std::string& stem) {
    const std::string dbf = readAll(path);
    EXPECT_EQ(u8(dbf, 28), 1);  // production index
    const bool level7 = u8(dbf, 0) == 0x8C;
    // MDX flags of the descriptors: the fields with a tag of their own.
    const std::vector<int> flagged = {1, 0, 1, 1, 1, 1, 0};
    for (std::size_t f = 0; f < flagged.size(); ++f)
        EXPECT_EQ(u8(dbf, level7 ? 68 + f * 48 + 37 : 32 + f * 32 + 31), flagged[f]) << "field " << f + 1;

    // The engine's view.
    ReadBack rb = open(path);
    const std::vector<TIndexDef> defs = rb.file->readIndexes();
    EXPECT_TRUE(rb.file->warnings().empty()) << rb.file->warnings().front();
    ASSERT_EQ(defs.size(), 6u);
    const char* names[] = {"BYLAST", "CITYDESC", "AMOUNT", "DAYS", "ID", "FULLNAME"};
    const char* fields[] = {"LAST", "CITY", "AMOUNT", "DAY", "ID", ""};
    for (std::size_t i = 0; i < defs.size(); ++i) {
        EXPECT_EQ(defs[i].Name, names[i]);
        EXPECT_EQ(defs[i].Fields, fields[i]);
        EXPECT_TRUE(equalsIgnoreCase(defs[i].Source, stem + ".mdx")) << defs[i].Source;
        EXPECT_TRUE(defs[i].Filter.empty());
    }
    EXPECT_EQ(defs[5].Expression, "LAST+FIRST");
    EXPECT_TRUE(defs[5].has(ixExpression));
    EXPECT_TRUE(defs[1].has(ixDescending));
    EXPECT_TRUE(defs[3].has(ixDescending));
    EXPECT_FALSE(defs[0].has(ixDescending));
    EXPECT_TRUE(defs[4].has(ixUnique));
    EXPECT_FALSE(defs[0].has(ixUnique));

    // The file itself.
    const auto cp = CodePage::find(userCodePage(t.spec.codePage).name);
    const std::string mdxName = stem + (path.substr(path.size() - 4) == ".DBF" ? ".MDX" : ".mdx");
    const MdxFile m = readMdx(folder.file(mdxName), stem, 6);
    ASSERT_EQ(m.tags.size(), 6u);
    const std::size_t n = t.spec.records.size();
    const char types[] = {'C', 'C', 'N', 'D', 'C', 'C'};
    const std::size_t lengths[] = {20, 100, 12, 8, 6, 35};
    for (std::size_t i = 0; i < 6; ++i) {
        const MdxTagInfo& tag = m.tags[i];
        EXPECT_EQ(tag.name, names[i]);
        EXPECT_EQ(tag.keyType, types[i]);
        EXPECT_EQ(tag.keyLength, lengths[i]);
        const bool single = i != 5;
        EXPECT_EQ(tag.tableFormat, single ? 0x10 : 0x00);
        EXPECT_EQ(tag.singleMark, single ? 1 : 0);
        const bool desc = i == 1 || i == 3, unique = i == 4;
        EXPECT_EQ(tag.headerFlags, 0x10 | (desc ? 0x08 : 0) | (unique ? 0x40 : 0)) << tag.name;
        EXPECT_EQ(tag.uniqueByte, unique ? 1 : 0);
        EXPECT_EQ(tag.expression, i == 5 ? "LAST+FIRST" : fields[i]);
    }
    // The tag-name tree: BYLAST first; CITYDESC > BYLAST; AMOUNT < BYLAST; DAYS > CITYDESC;
    // ID > DAYS; FULLNAME > DAYS, < ID.
    auto thread = [&](std::size_t i) {
        return std::vector<int>{m.tags[i].left, m.tags[i].right, m.tags[i].parent};
    };
    EXPECT_EQ(thread(0), (std::vector<int>{3, 2, 0}));
    EXPECT_EQ(thread(1), (std::vector<int>{0, 4, 1}));
    EXPECT_EQ(thread(2), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(thread(3), (std::vector<int>{0, 5, 2}));
    EXPECT_EQ(thread(4), (std::vector<int>{6, 0, 4}));
    EXPECT_EQ(thread(5), (std::vector<int>{0, 0, 5}));

    expectTagEntries(m.tags[0], n, false, [&](std::size_t r) { return charKey(*cp, {{t.last[r], 20}}); });
    expectTagEntries(m.tags[1], n, true, [&](std::size_t r) { return charKey(*cp, {{t.city[r], 100}}); });
    expectTagEntries(m.tags[2], n, false, [&](std::size_t r) { return numericKeyOf(t.amount[r], 2); });
    expectTagEntries(m.tags[3], n, true, [&](std::size_t r) {
        std::string k(8, '\0');
        storeLE64(reinterpret_cast<std::uint8_t*>(k.data()), doubleToBits(static_cast<double>(t.day[r].integer + 1721425)));
        return k;
    });
    expectTagEntries(m.tags[4], n, false, [&](std::size_t r) { return t.spec.records[r][5].text; });
    expectTagEntries(m.tags[5], n, false,
                     [&](std::size_t r) { return charKey(*cp, {{t.last[r], 20}, {t.first[r], 15}}); });
    // N keys in value order: blank amounts count as 0.
    if (n > 20) {
        EXPECT_GE(m.tags[1].depth, 3u) << "the 100-character keys should need a deep tree";
        EXPECT_GE(m.tags[0].depth, 2u);
    }
}

TEST(DBaseWriter, Level4ProductionIndexWithDeepTrees) {
    Folder folder;
    IndexedTable t = indexedTable(4, "CP1252", 1200);
    const std::string path = folder.file("people.dbf");
    dbase::createTable(path, t.spec);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"people.dbf", "people.dbt", "people.mdx"}));
    expectIndexedTable(folder, path, t, "people");
    expectReadBack(path, t.spec);
    expectDbfread(folder, path, t.spec);
}

TEST(DBaseWriter, IndexesOfSmallAndEmptyTables) {
    for (std::size_t records : {0u, 1u, 2u, 84u, 85u}) {
        SCOPED_TRACE(records);
        Folder folder;
        IndexedTable t = indexedTable(4, "437", records);
        const std::string path = folder.file("SMALL.DBF");
        dbase::createTable(path, t.spec);
        EXPECT_EQ(folder.names(), (std::vector<std::string>{"SMALL.DBF", "SMALL.DBT", "SMALL.MDX"}));
        expectIndexedTable(folder, path, t, "SMALL");
        expectReadBack(path, t.spec);
        if (records == 0) {
            const MdxFile m = readMdx(folder.file("SMALL.MDX"), "SMALL", 6);
            for (const MdxTagInfo& tag : m.tags) EXPECT_EQ(tag.nodes, 1u);
        }
    }
}

TEST(DBaseWriter, Level7ProductionIndex) {
    Folder folder;
    IndexedTable t = indexedTable(7, "CP1252", 300);
    const std::string path = folder.file("seven.dbf");
    dbase::createTable(path, t.spec);
    expectIndexedTable(folder, path, t, "seven");
    expectReadBack(path, t.spec);
}

TEST(DBaseWriter, NumericAndDateIndexesUnderAnyLanguageDriver) {
    Folder folder;
    TableSpec spec = makeSpec(4, "CP866", {{"NAME", 'C', 10}, {"SUM", 'N', 6, 1}, {"DAY", 'D'}});
    for (int i = 0; i < 50; ++i)
        spec.records.push_back({S("\xD0\xAF" + std::to_string(i)), R((i * 37 % 101 - 50) / 2.0), Dt(2000 + i % 7, 1, 1 + i)});
    IndexSpec sum;
    sum.name = "SUM";
    sum.fields = {"SUM"};
    IndexSpec day;
    day.name = "DAY";
    day.fields = {"DAY"};
    spec.indexes = {sum, day};
    const std::string path = folder.file("r.dbf");
    dbase::createTable(path, spec);
    const MdxFile m = readMdx(folder.file("r.mdx"), "r", 2);
    ASSERT_EQ(m.tags.size(), 2u);
    expectTagEntries(m.tags[0], 50, false, [&](std::size_t r) { return numericKeyOf(spec.records[r][1], 1); });
    expectTagEntries(m.tags[1], 50, false, [&](std::size_t r) { return dbase::mdxDateKey(spec.records[r][2].integer); });
    expectReadBack(path, spec);
    expectDbfread(folder, path, spec);
}

TEST(DBaseWriter, ShortKeysFillWholeNodes) {
    // Keys of 3 bytes: 8-byte items, 126 to a node; 252 records fill two leaves to the last item.
    Folder folder;
    TableSpec spec = makeSpec(4, "CP437", {{"CODE", 'C', 3}});
    for (int i = 0; i < 252; ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "%03d", (i * 37) % 1000);
        spec.records.push_back({S(code)});
    }
    IndexSpec code;
    code.name = "CODE";
    code.fields = {"CODE"};
    spec.indexes = {code};
    const std::string path = folder.file("codes.dbf");
    dbase::createTable(path, spec);
    const MdxFile m = readMdx(folder.file("codes.mdx"), "codes", 1);
    ASSERT_EQ(m.tags.size(), 1u);
    EXPECT_EQ(m.tags[0].itemLength, 8u);
    EXPECT_EQ(m.tags[0].maxKeys, 126u);
    EXPECT_EQ(m.tags[0].nodes, 3u);  // two full leaves and the root
    EXPECT_EQ(m.tags[0].depth, 2u);
    expectTagEntries(m.tags[0], spec.records.size(), false,
                     [&](std::size_t r) { return spec.records[r][0].text; });
    ReadBack rb = open(path);
    ASSERT_EQ(rb.file->readIndexes().size(), 1u);
}

// --- refusals ------------------------------------------------------------------------------------------

TableSpec simple(int level = 4) {
    TableSpec s = makeSpec(level, "CP437", {{"NAME", 'C', 10}, {"N", 'N', 5}});
    s.records = {{S("a"), I(1)}};
    return s;
}

TEST(DBaseWriter, RefusesNamesAndSizes) {
    TableSpec s = simple();
    s.fields[0].name = "ELEVENCHARS";
    expectRefused(s, "longer than 10 characters");
    s = simple(7);
    s.fields[0].name = std::string(32, 'A');
    expectRefused(s, "longer than 31 characters");
    s = simple();
    s.fields[0].name = "N\xC3\xA4me";
    expectRefused(s, "outside ASCII");
    s = simple();
    s.fields[0].name = "n";
    expectRefused(s, "two fields are named \"N\"");
    s = simple();
    s.fields[0].name = "1ST";
    expectRefused(s, "does not start with a letter");
    s = simple();
    s.fields[0].name = "A-B";
    expectRefused(s, "only letters, digits and underscores");
    s = simple();
    s.fields[0].size = 255;
    expectRefused(s, "1 to 254 characters");
    s = simple();
    s.fields[1].size = 21;
    expectRefused(s, "1 to 20 digits");
    s = simple(3);
    s.fields[1].size = 20;
    expectRefused(s, "1 to 19 digits");
    s = simple();
    s.fields[1].decimals = 4;
    expectRefused(s, "cannot have 4 decimals");
    s = simple();
    s.fields[0].decimals = 1;
    expectRefused(s, "cannot have decimals");
    s = simple();
    s.fields.push_back({"D", 'D', 10, 0});
    for (auto& r : s.records) r.push_back(Null());
    expectRefused(s, "is 8 bytes long, not 10");
    s = simple();
    s.fields.clear();
    s.records.clear();
    expectRefused(s, "at least one field");
    s = simple(3);
    s.records.clear();
    for (int i = 0; i < 129; ++i) s.fields.push_back({"F" + std::to_string(i), 'C', 1, 0});
    expectRefused(s, "at most 128 fields");
    s = simple(4);
    s.records.clear();
    s.fields = {{"A", 'C', 254, 0}};
    for (int i = 0; i < 16; ++i) s.fields.push_back({"F" + std::to_string(i), 'C', 254, 0});
    expectRefused(s, "records hold at most 4000");
}

TEST(DBaseWriter, RefusesTypesALevelDoesNotHave) {
    for (const auto& [level, type] : std::vector<std::pair<int, char>>{{3, 'F'}, {3, 'B'}, {3, 'G'}, {4, 'I'}, {4, '+'},
                                                                       {4, 'O'}, {4, '@'}, {7, 'T'}, {7, 'Y'}, {7, 'X'}}) {
        SCOPED_TRACE(std::string(1, type) + " at level " + std::to_string(level));
        TableSpec s = simple(level);
        s.fields.push_back({"X", type, 0, 0});
        s.records.clear();
        expectRefused(s, "tables do not have");
    }
    TableSpec s = simple();
    s.level = 5;
    expectRefused(s, "level 3, 4 or 7");
    s = simple();
    s.format = TableFormat::Paradox;
    expectRefused(s, "not of a dBase table");
}

TEST(DBaseWriter, RefusesValuesTheFieldsCannotHold) {
    TableSpec s = simple();
    s.records.push_back({S("elevenchars"), I(1)});
    expectRefused(s, "record 2, field NAME: the text is 11 bytes long; the field holds 10");
    s = simple();
    s.records[0][1] = I(123456);
    expectRefused(s, "wider than the field's 5 characters");
    s = simple();
    s.records[0][0] = S("\xD0\x96");  // Ж has no code in cp437
    expectRefused(s, "cannot hold");
    s = simple();
    s.records[0][1] = S("12");
    expectRefused(s, "is not a number");
    s = simple();
    s.records[0].pop_back();
    expectRefused(s, "has 1 values for 2 fields");
    s = simple();
    s.deleted = {true, false};
    expectRefused(s, "deletion marks");
    s = makeSpec(3, "CP437", {{"M", 'M'}});
    s.records = {{S("a\x1A" "b")}};
    expectRefused(s, "0x1A");
    s = makeSpec(4, "CP437", {{"M", 'M'}, {"B", 'B'}});
    s.records = {{Bin("x"), Null()}};
    expectRefused(s, "does not suit");
    s = makeSpec(7, "CP437", {{"ID", '+'}});
    s.records = {{Null()}, {I(1)}};
    expectRefused(s, "autoincrement value 1 is used twice");
    s = makeSpec(7, "CP437", {{"D", 'D'}});
    s.records = {{Dt(10000, 1, 1)}};
    expectRefused(s, "between the years 1 and 9999");
}

TEST(DBaseWriter, RefusesCodePagesWithoutADriver) {
    TableSpec s = simple();
    s.codePage = "UTF-8";
    expectRefused(s, "no dBase language driver");
    s.codePage = "no-such-code-page";
    expectRefused(s, "is not known");
    s = simple(7);
    s.codePage = "CP1251";
    expectRefused(s, "no dBase level 7 language driver name");
}

TEST(DBaseWriter, RefusesIndexesItCannotWriteFaithfully) {
    IndexSpec byName;
    byName.name = "NAME";
    byName.fields = {"NAME"};
    TableSpec s = simple(3);
    s.indexes = {byName};
    expectRefused(s, "dBase III tables keep no production index");
    s = simple();
    s.codePage = "CP866";
    s.indexes = {byName};
    expectRefused(s, "character keys are not written");
    s = simple();
    s.indexes = {byName, byName};
    expectRefused(s, "two indexes are named");
    s = simple();
    IndexSpec bad = byName;
    bad.name = "TOOLONGNAME";
    s.indexes = {bad};
    expectRefused(s, "longer than 10 characters");
    bad = byName;
    bad.caseInsensitive = true;
    s.indexes = {bad};
    expectRefused(s, "case-sensitive");
    bad = byName;
    bad.fields.clear();
    bad.expression = "UPPER(NAME)";
    s.indexes = {bad};
    expectRefused(s, "is not a field or a sum of character fields");
    bad.expression = "NAME+N";
    s.indexes = {bad};
    expectRefused(s, "only character fields can be joined");
    bad.expression = "NAME";
    bad.fields = {"N"};
    s.indexes = {bad};
    expectRefused(s, "disagree");
    s = makeSpec(4, "CP437", {{"OK", 'L'}});
    bad = byName;
    bad.fields = {"OK"};
    s.indexes = {bad};
    expectRefused(s, "cannot be indexed");
    s = makeSpec(4, "CP437", {{"WIDE", 'C', 101}});
    bad.fields = {"WIDE"};
    s.indexes = {bad};
    expectRefused(s, "at most 100");
    s = simple();
    s.records.push_back({S("a"), I(2)});
    bad = byName;
    bad.unique = true;
    s.indexes = {bad};
    expectRefused(s, "records 1 and 2 have the same key in the unique index NAME");
    s = makeSpec(4, "CP437", {{"D", 'D'}});
    s.records = {{Null()}};
    bad = byName;
    bad.fields = {"D"};
    s.indexes = {bad};
    expectRefused(s, "blank date");
    s = simple();
    s.indexes.assign(48, byName);
    expectRefused(s, "at most 47 tags");
}

TEST(DBaseWriter, RefusesChecksOutsideLevel7AndChecksItCannotKeep) {
    CheckSpec c;
    c.field = "NAME";
    c.required = true;
    TableSpec s = simple(4);
    s.checks = {c};
    expectRefused(s, "cannot hold validity checks");
    s = simple(7);
    c.field = "MISSING";
    s.checks = {c};
    expectRefused(s, "which the table lacks");
    c.field = "N";
    c.minKind = BoundKind::Today;
    s.checks = {c};
    expectRefused(s, "today's date");
    c.minKind = BoundKind::Value;
    c.minValue = I(123456);
    s.checks = {c};
    expectRefused(s, "its minimum cannot be stored");
    c = CheckSpec();
    c.field = "NAME";
    c.picture = "!!!";
    s.checks = {c};
    expectRefused(s, "picture");
}

TEST(DBaseWriter, RefusesExistingFilesAndBadPaths) {
    {
        Folder folder;
        writeAll(folder.file("T.MDX"), "stale");  // any case counts
        try {
            dbase::createTable(folder.file("t.dbf"), simple());
            ADD_FAILURE() << "not refused";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(std::string(e.what()).find("T.MDX already exists"), std::string::npos) << e.what();
        }
        EXPECT_EQ(folder.names(), std::vector<std::string>{"T.MDX"});
        EXPECT_EQ(readAll(folder.file("T.MDX")), "stale");
    }
    {
        Folder folder;
        dbase::createTable(folder.file("t.dbf"), simple());
        const std::string before = readAll(folder.file("t.dbf"));
        EXPECT_THROW(dbase::createTable(folder.file("t.dbf"), simple()), EDBEngineError);
        EXPECT_THROW(dbase::createTable(folder.file("T.DBF"), simple()), EDBEngineError);
        EXPECT_EQ(readAll(folder.file("t.dbf")), before);
        EXPECT_EQ(folder.names(), std::vector<std::string>{"t.dbf"});
    }
    expectRefused(simple(), "must end in .dbf", "t.db");
    expectRefused(simple(), "does not exist", "missing/t.dbf");
}

TEST(DBaseWriter, ThroughTheGeneralEntryPoint) {
    Folder folder;
    TableSpec s = simple();
    tavrinth::createTable(folder.file("g.dbf"), s);
    expectReadBack(folder.file("g.dbf"), s);
}

}  // namespace
