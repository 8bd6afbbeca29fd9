#include "dbf_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include <unistd.h>

#include "../atomic_file.h"
#include "../byte_order.h"
#include "../codepage.h"
#include "../engine_error.h"
#include "../file_io.h"
#include "dbf_encode.h"
#include "dbf_mdx_writer.h"
#include "dbf_memo_file.h"
#include "dbf_props.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

namespace {

using Code = EDBEngineError::Code;

// --- language drivers -----------------------------------------------------------------------------
//
// The driver byte (header byte 29, levels 3 and 4) and driver name (header bytes 32-63, level 7)
// written for a code page. Bytes from the usual table of dBase / FoxPro language driver ids; names
// are the engine's dBase drivers for that code page. `byteOrder` marks the drivers whose collation
// is plain byte order (DB437US0, DB850US0, DBWINUS0): only under those are character index keys
// sorted the way other programs expect, so character keys are refused under the others. A code
// page without a name here cannot be written at level 7 (its ANSI drivers have names the readers
// would take for another code page).
struct Driver {
    unsigned codePage;
    std::uint8_t id;
    const char* level7Name;
    bool byteOrder;
};

constexpr Driver kDrivers[] = {
    {437, 0x01, "DB437US0", true},   {850, 0x02, "DB850US0", true},   {852, 0x64, "DB852CZ0", false},
    {857, 0x6B, "DB857TR0", false},  {860, 0x24, "DB860PT0", false},  {861, 0x67, nullptr, false},
    {863, 0x1C, "DB863CF1", false},  {865, 0x66, "DB865NO0", false},  {866, 0x65, "DB866RU0", false},
    {737, 0x6A, nullptr, false},     {874, 0x7C, "DB874TH0", false},  {932, 0x7B, "DB932JP0", false},
    {936, 0x7A, "DB936CN0", false},  {949, 0x79, "DB949KO0", false},  {950, 0x78, "DB950TW0", false},
    {1250, 0xC8, nullptr, false},    {1251, 0xC9, nullptr, false},    {1252, 0x57, "DBWINUS0", true},
    {1253, 0xCB, nullptr, false},    {1254, 0xCA, nullptr, false},    {1255, 0x7D, "DBHEBREW", false},
    {1256, 0x7E, nullptr, false},
};

// The dBase language driver ids of the byte-order drivers above where dBase numbers them apart
// from the ids written here: 0x1B DB437US0 and 0x37 DB850US0 (English US, code pages 437, 850).
constexpr std::uint8_t kByteOrderAliases[] = {0x1B, 0x37};

}  // namespace

bool textSortsInByteOrder(const Header& table) {
    if (table.foxPro) return false;
    for (const Driver& d : kDrivers) {
        if (!d.byteOrder) continue;
        if (table.level7 ? (d.level7Name && table.languageDriverName == d.level7Name) : table.languageDriver == d.id)
            return true;
    }
    if (!table.level7)
        for (std::uint8_t id : kByteOrderAliases)
            if (table.languageDriver == id) return true;
    return false;
}

namespace {

// The number of a code page by the name CodePage uses ("CP866", "BIG5"); 0 when it has none.
unsigned codePageNumber(const std::string& name) {
    if (name == "BIG5") return 950;
    if (name.size() > 2 && name.compare(0, 2, "CP") == 0 &&
        std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }) && name.size() <= 7)
        return static_cast<unsigned>(std::stoul(name.substr(2)));
    return 0;
}

// --- limits of the levels ---------------------------------------------------------------------------

struct LevelLimits {
    std::size_t maxFields;
    std::size_t maxRecordLength;
    std::size_t maxNameLength;
    std::uint32_t maxNumericWidth;
    const char* types;
    const char* label;
};

LevelLimits limitsOf(int level) {
    switch (level) {
        case 3: return {128, 4000, 10, 19, "CNDLM", "dBase III"};
        case 4: return {255, 4000, 10, 20, "CNFDLMBG", "dBase IV"};
        default: return {1024, 32767, 31, 20, "CNFDLMBGI+O@", "dBase level 7"};
    }
}

constexpr std::size_t kMemoBlock = 512;
constexpr std::size_t kMaxExpression = 220;

// --- the plan: what will be written -----------------------------------------------------------------

struct FieldPlan {
    std::string name;  // ASCII, upper case
    RawField raw;      // type, length, decimals as stored
    std::uint32_t offset = 0;
    bool memo = false;
    bool mdxFlag = false;
    std::uint32_t nextAutoIncrement = 0;
};

struct Plan {
    std::string path, folder, stem, extension;
    std::string dbtName, mdxName;  // file names in the folder
    int level = 0;
    LevelLimits limits{};
    std::shared_ptr<const CodePage> codePage;
    const Driver* driver = nullptr;
    Header header;  // for encodeValue
    std::vector<FieldPlan> fields;
    std::uint32_t recordLength = 1;
    bool hasMemo = false;
};

class Refusal {
public:
    explicit Refusal(std::string path) : path_(std::move(path)) {}
    [[noreturn]] void operator()(const std::string& why, Code code = Code::General) const {
        throw EDBEngineError(code, "Cannot create the table " + path_ + ": " + why);
    }

private:
    std::string path_;
};

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// An upper-case name of letters, digits and underscores starting with a letter, or empty with
// `why` set.
std::string checkedName(const std::string& given, std::size_t maxLength, const std::string& what, std::string& why) {
    if (given.empty()) {
        why = what + " has no name";
        return {};
    }
    for (unsigned char c : given)
        if (c >= 0x80) {
            why = what + " " + quoted(given) + " has a character outside ASCII";
            return {};
        }
    if (given.size() > maxLength) {
        why = what + " " + quoted(given) + " is longer than " + std::to_string(maxLength) + " characters";
        return {};
    }
    if (!isAsciiLetter(given[0])) {
        why = what + " " + quoted(given) + " does not start with a letter";
        return {};
    }
    for (char c : given)
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '_') {
            why = what + " " + quoted(given) + " may hold only letters, digits and underscores";
            return {};
        }
    return toUpperAscii(given);
}

std::string trimmedAscii(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

MdxDate today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    MdxDate d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    if (d.year < 1900 || d.year > 2155) d.year = std::clamp(d.year, 1900, 2155);
    return d;
}

// --- planning ---------------------------------------------------------------------------------------

void planFile(Plan& plan, const std::string& path, const Refusal& refuse) {
    plan.path = path;
    plan.folder = folderPart(path);
    const std::string name = fileNamePart(path);
    plan.extension = extensionPart(name);
    plan.stem = stemPart(name);
    if (!equalsIgnoreCase(plan.extension, ".dbf")) refuse("a dBase table's file name must end in .dbf");
    if (plan.stem.empty()) refuse("the file name has no stem before .dbf");
    if (!isDirectory(plan.folder)) refuse("the folder " + plan.folder + " does not exist", Code::NotFound);
    const bool upper = plan.extension == ".DBF";
    plan.dbtName = plan.stem + (upper ? ".DBT" : ".dbt");
    plan.mdxName = plan.stem + (upper ? ".MDX" : ".mdx");
    // A file of the family that is already there, in any case, would be taken for this table's.
    for (const std::string& n : {name, plan.dbtName, plan.mdxName}) {
        const std::string found = findInFolder(plan.folder, n);
        if (!found.empty() || ::access(joinPath(plan.folder, n).c_str(), F_OK) == 0)
            refuse("the file " + joinPath(plan.folder, found.empty() ? n : found) + " already exists");
    }
}

void planCodePage(Plan& plan, const TableSpec& spec, const Refusal& refuse) {
    const CodePageChoice choice = userCodePage(spec.codePage);
    if (choice.name.empty()) refuse("the code page " + quoted(spec.codePage) + " is not known");
    plan.codePage = CodePage::find(choice.name);
    if (!plan.codePage) refuse("the code page " + quoted(spec.codePage) + " is not known");
    const unsigned number = codePageNumber(choice.name);
    for (const Driver& d : kDrivers)
        if (d.codePage == number) plan.driver = &d;
    if (!plan.driver) refuse("code page " + choice.name + " has no dBase language driver");
    if (plan.level == 7 && !plan.driver->level7Name)
        refuse("code page " + choice.name + " has no dBase level 7 language driver name");
    // The readers must find the same code page in the header.
    const std::uint8_t version = plan.level == 7 ? 0x04 : 0x03;
    const CodePageChoice back = plan.level == 7 ? dbaseCodePage(version, 0, plan.driver->level7Name)
                                                : dbaseCodePage(version, plan.driver->id, "");
    if (!equalsIgnoreCase(back.name, choice.name))
        refuse("code page " + choice.name + " would be read back as " + back.name);
}

void planFields(Plan& plan, const TableSpec& spec, const Refusal& refuse) {
    const LevelLimits& lim = plan.limits;
    if (spec.fields.empty()) refuse("a table needs at least one field");
    if (spec.fields.size() > lim.maxFields)
        refuse(std::string(lim.label) + " tables hold at most " + std::to_string(lim.maxFields) + " fields, not " +
               std::to_string(spec.fields.size()));
    std::set<std::string> names;
    std::uint64_t offset = 1;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const ColumnSpec& c = spec.fields[i];
        std::string why;
        FieldPlan f;
        f.name = checkedName(c.name, lim.maxNameLength, "field " + std::to_string(i + 1), why);
        if (f.name.empty()) refuse(why);
        if (!names.insert(f.name).second) refuse("two fields are named " + quoted(f.name));
        const std::string label = "field " + f.name;
        char type = c.type;
        if (type >= 'a' && type <= 'z') type = static_cast<char>(type - 'a' + 'A');
        if (type == 0 || !std::strchr(lim.types, type)) {
            const std::string shown = c.type >= 0x20 && c.type < 0x7F ? std::string(1, c.type) : "?";
            refuse(label + " has the type '" + shown + "', which " + lim.label + " tables do not have");
        }
        if (c.decimals != 0 && type != 'N' && type != 'F') refuse(label + " of type " + type + " cannot have decimals");
        std::uint32_t length = 0;
        auto fixed = [&](std::uint32_t n) {
            if (c.size != 0 && c.size != static_cast<int>(n))
                refuse(label + " of type " + type + " is " + std::to_string(n) + " bytes long, not " + std::to_string(c.size));
            length = n;
        };
        switch (type) {
            case 'C':
                if (c.size < 1 || c.size > 254) refuse(label + " must be 1 to 254 characters wide, not " + std::to_string(c.size));
                length = static_cast<std::uint32_t>(c.size);
                break;
            case 'N': case 'F':
                if (c.size < 1 || c.size > static_cast<int>(lim.maxNumericWidth))
                    refuse(label + " must be 1 to " + std::to_string(lim.maxNumericWidth) + " digits wide, not " +
                           std::to_string(c.size));
                if (c.decimals < 0 || (c.decimals > 0 && c.decimals > c.size - 2))
                    refuse(label + " of width " + std::to_string(c.size) + " cannot have " + std::to_string(c.decimals) +
                           " decimals (at most the width less 2)");
                length = static_cast<std::uint32_t>(c.size);
                break;
            case 'D': fixed(8); break;
            case 'L': fixed(1); break;
            case 'M': case 'B': case 'G': fixed(10); f.memo = true; break;
            case 'I': case '+': fixed(4); break;
            case 'O': case '@': fixed(8); break;
            default: refuse(label + " has an unknown type");
        }
        f.raw.name = f.name;
        f.raw.type = type;
        f.raw.length = length;
        f.raw.decimals = static_cast<std::uint8_t>(type == 'N' || type == 'F' ? c.decimals : 0);
        f.offset = static_cast<std::uint32_t>(offset);
        offset += length;
        plan.hasMemo = plan.hasMemo || f.memo;
        plan.fields.push_back(std::move(f));
    }
    if (offset > lim.maxRecordLength)
        refuse("the record would be " + std::to_string(offset) + " bytes long; " + lim.label + " records hold at most " +
               std::to_string(lim.maxRecordLength));
    plan.recordLength = static_cast<std::uint32_t>(offset);
}

std::size_t fieldIndex(const Plan& plan, const std::string& name) {
    const std::string n = toUpperAscii(trimmedAscii(name));
    for (std::size_t i = 0; i < plan.fields.size(); ++i)
        if (plan.fields[i].name == n) return i;
    return plan.fields.size();
}

struct IndexPlan {
    MdxTag tag;
    std::vector<std::size_t> fields;  // key fields, in key order
};

std::vector<IndexPlan> planIndexes(Plan& plan, const TableSpec& spec, const Refusal& refuse) {
    std::vector<IndexPlan> out;
    if (spec.indexes.empty()) return out;
    if (plan.level == 3) refuse("dBase III tables keep no production index; indexes need level 4 or 7");
    if (spec.indexes.size() > kMdxMaxTags)
        refuse("a production index holds at most " + std::to_string(kMdxMaxTags) + " tags, not " +
               std::to_string(spec.indexes.size()));
    std::set<std::string> names;
    for (std::size_t i = 0; i < spec.indexes.size(); ++i) {
        const IndexSpec& s = spec.indexes[i];
        std::string why;
        IndexPlan ip;
        ip.tag.name = checkedName(s.name, 10, "index " + std::to_string(i + 1), why);
        if (ip.tag.name.empty()) refuse(why);
        if (!names.insert(ip.tag.name).second) refuse("two indexes are named " + quoted(ip.tag.name));
        const std::string label = "index " + ip.tag.name;
        if (s.caseInsensitive) refuse(label + ": dBase indexes are case-sensitive");

        // The key: one field, or fields joined by "+".
        std::vector<std::string> parts;
        if (!trimmedAscii(s.expression).empty()) {
            std::string e = s.expression;
            std::size_t start = 0;
            for (;;) {
                const std::size_t plus = e.find('+', start);
                parts.push_back(trimmedAscii(e.substr(start, plus == std::string::npos ? std::string::npos : plus - start)));
                if (plus == std::string::npos) break;
                start = plus + 1;
            }
        } else {
            parts = s.fields;
        }
        if (parts.empty()) refuse(label + " has no key");
        for (const std::string& p : parts) {
            const std::size_t at = fieldIndex(plan, p);
            if (p.empty() || at == plan.fields.size())
                refuse(label + ": the key " + quoted(s.expression.empty() ? p : s.expression) +
                       " is not a field or a sum of character fields of the table");
            ip.fields.push_back(at);
        }
        if (!trimmedAscii(s.expression).empty() && !s.fields.empty()) {
            bool same = s.fields.size() == ip.fields.size();
            for (std::size_t k = 0; same && k < s.fields.size(); ++k) same = fieldIndex(plan, s.fields[k]) == ip.fields[k];
            if (!same) refuse(label + ": its key expression and its fields disagree");
        }
        std::set<std::size_t> distinct(ip.fields.begin(), ip.fields.end());
        if (distinct.size() != ip.fields.size()) refuse(label + ": a field appears twice in the key");

        ip.tag.singleField = ip.fields.size() == 1;
        ip.tag.descending = s.descending;
        ip.tag.unique = s.unique;
        if (ip.tag.singleField) {
            const FieldPlan& f = plan.fields[ip.fields[0]];
            ip.tag.expression = f.name;
            switch (f.raw.type) {
                case 'C':
                    ip.tag.keyType = 'C';
                    ip.tag.keyLength = f.raw.length;
                    break;
                case 'N': case 'F':
                    ip.tag.keyType = 'N';
                    ip.tag.keyLength = kMdxNumericKeyLength;
                    break;
                case 'D':
                    ip.tag.keyType = 'D';
                    ip.tag.keyLength = kMdxDateKeyLength;
                    break;
                default:
                    refuse(label + ": fields of type " + f.raw.type + " cannot be indexed here (character, numeric, "
                           "float and date fields can)");
            }
        } else {
            ip.tag.keyType = 'C';
            for (std::size_t k = 0; k < ip.fields.size(); ++k) {
                const FieldPlan& f = plan.fields[ip.fields[k]];
                if (f.raw.type != 'C')
                    refuse(label + ": only character fields can be joined into a key, and " + f.name + " is of type " +
                           f.raw.type);
                ip.tag.keyLength += f.raw.length;
                ip.tag.expression += (k ? "+" : "") + f.name;
            }
        }
        if (ip.tag.keyType == 'C') {
            if (ip.tag.keyLength > kMdxMaxCharKeyLength)
                refuse(label + ": its key is " + std::to_string(ip.tag.keyLength) + " characters long; index keys hold at most " +
                       std::to_string(kMdxMaxCharKeyLength));
            if (!plan.driver->byteOrder)
                refuse(label + ": the language driver of code page " + plan.codePage->name() +
                       " sorts text in an order of its own, so character keys are not written for it "
                       "(numeric and date keys are)");
        }
        if (ip.tag.expression.size() > kMaxExpression) refuse(label + ": its key expression is too long");
        if (ip.tag.singleField) plan.fields[ip.fields[0]].mdxFlag = true;
        out.push_back(std::move(ip));
    }
    return out;
}

// --- memo files -------------------------------------------------------------------------------------

// The memo file of a new table: its header block, then the memos.
class MemoFile {
public:
    MemoFile(int level, const std::string& stem)
        : level_(level), memos_(level == 3 ? MemoAppender::Kind::DBase3 : MemoAppender::Kind::DBase4, kMemoBlock, 1),
          bytes_(kMemoBlock, 0) {
        if (level_ != 3) {
            std::string name = toUpperAscii(stem.substr(0, 8));
            for (char& c : name)
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '_';
            std::memcpy(bytes_.data() + 8, name.data(), name.size());
            bytes_[18] = 0x02;
            bytes_[19] = 0x01;
            storeLE16(bytes_.data() + 20, static_cast<std::uint16_t>(kMemoBlock));
        }
    }

    // Appends one memo; returns its block number, or 0 with `why` set.
    std::uint64_t add(const std::string& data, std::string& why) {
        const std::uint64_t block = memos_.add(data, true, why);
        if (block != 0) {
            std::uint64_t offset;
            const std::vector<std::uint8_t> b = memos_.take(offset);
            bytes_.insert(bytes_.end(), b.begin(), b.end());
        }
        return block;
    }

    std::vector<std::uint8_t> finish() {
        storeLE32(bytes_.data(), static_cast<std::uint32_t>(memos_.nextBlock()));
        return std::move(bytes_);
    }

private:
    int level_;
    MemoAppender memos_;
    std::vector<std::uint8_t> bytes_;
};

// --- field properties (level 7) ---------------------------------------------------------------------
//
// After the 0x0D that ends the descriptors: a 16-byte header (standard properties: count, start;
// custom properties: count, start; referential rules: count, start; start of the data; size of the
// whole block), then one 15-byte entry per property (generation number, 1-based field number,
// property 1 required / 2 minimum / 3 maximum / 4 default, field type code, 0x02, 4 reserved
// bytes, offset of the data from the block's start, size of the data), then the data: each value
// in the field's own record form, as many bytes as the field. The header length then covers the
// block, rounded up to whole 512-byte units as the engine's files have it.

std::vector<std::uint8_t> buildProperties(const Plan& plan, const TableSpec& spec, const Refusal& refuse) {
    if (spec.checks.empty()) return {};
    if (plan.level != 7) refuse(std::string(plan.limits.label) + " tables cannot hold validity checks (level 7 can)");
    struct Entry {
        std::size_t field;
        std::uint8_t property;
        std::string data;
    };
    std::vector<Entry> entries;
    std::set<std::size_t> seen;
    std::vector<const CheckSpec*> byField(plan.fields.size(), nullptr);
    for (const CheckSpec& c : spec.checks) {
        const std::size_t at = fieldIndex(plan, c.field);
        if (at == plan.fields.size()) refuse("a validity check names the field " + quoted(c.field) + ", which the table lacks");
        if (byField[at]) refuse("two validity checks name the field " + plan.fields[at].name);
        byField[at] = &c;
    }
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        const CheckSpec* c = byField[i];
        if (!c) continue;
        const FieldPlan& f = plan.fields[i];
        const std::string label = "the validity check of field " + f.name;
        const char t = f.raw.type;
        if (!c->picture.empty()) refuse(label + " has a picture; dBase tables keep none");
        const bool noBounds = t == 'L' || f.memo || t == '+';
        auto value = [&](BoundKind kind, const FieldValue& v, const char* what) {
            if (kind == BoundKind::Today || kind == BoundKind::Now)
                refuse(label + ": a " + what + " of today's date or the current time cannot be kept");
            if (v.isNull()) refuse(label + ": its " + what + " has no value");
            std::string bytes(f.raw.length, '\0');
            std::string why;
            if (!encodeValue(f.raw, plan.header, *plan.codePage, v, reinterpret_cast<std::uint8_t*>(bytes.data()), why))
                refuse(label + ": its " + what + " cannot be stored: " + why, Code::InvalidValue);
            return bytes;
        };
        if (c->required) {
            if (t == '+') refuse(label + ": an autoincrement field cannot be marked required");
            entries.push_back({i, 1, {}});
        }
        if (c->minKind != BoundKind::None) {
            if (noBounds) refuse(label + ": fields of type " + t + " have no minimum");
            entries.push_back({i, 2, value(c->minKind, c->minValue, "minimum")});
        }
        if (c->maxKind != BoundKind::None) {
            if (noBounds) refuse(label + ": fields of type " + t + " have no maximum");
            entries.push_back({i, 3, value(c->maxKind, c->maxValue, "maximum")});
        }
        if (c->defaultKind != BoundKind::None) {
            if (f.memo || t == '+') refuse(label + ": fields of type " + t + " have no default");
            entries.push_back({i, 4, value(c->defaultKind, c->defaultValue, "default")});
        }
    }
    if (entries.empty()) return {};
    constexpr std::size_t kHeader = 16, kEntry = 15;
    const std::size_t dataStart = kHeader + entries.size() * kEntry;
    std::size_t size = dataStart;
    for (const Entry& e : entries) size += e.data.size();
    if (size > 0xFFFF) refuse("the validity checks take too much room in the header");
    std::vector<std::uint8_t> block((size + 511) / 512 * 512, 0);
    std::uint8_t* h = block.data();
    storeLE16(h + 0, static_cast<std::uint16_t>(entries.size()));
    storeLE16(h + 2, static_cast<std::uint16_t>(kHeader));
    storeLE16(h + 4, 0);
    storeLE16(h + 6, static_cast<std::uint16_t>(dataStart));
    storeLE16(h + 8, 0);
    storeLE16(h + 10, static_cast<std::uint16_t>(dataStart));
    storeLE16(h + 12, static_cast<std::uint16_t>(dataStart));
    storeLE16(h + 14, static_cast<std::uint16_t>(size));
    std::size_t dataAt = dataStart;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const Entry& e = entries[k];
        const FieldPlan& f = plan.fields[e.field];
        std::uint8_t* p = h + kHeader + k * kEntry;
        storeLE16(p + 0, static_cast<std::uint16_t>(k));
        storeLE16(p + 2, static_cast<std::uint16_t>(e.field + 1));
        p[4] = e.property;
        p[5] = propertyTypeCode(f.raw.type);
        p[6] = 0x02;
        storeLE16(p + 11, static_cast<std::uint16_t>(e.data.empty() ? 0 : dataAt));
        storeLE16(p + 13, static_cast<std::uint16_t>(f.raw.length));
        std::memcpy(h + dataAt, e.data.data(), e.data.size());
        dataAt += e.data.size();
    }
    return block;
}

// --- the table ----------------------------------------------------------------------------------------

struct Built {
    std::vector<std::uint8_t> dbf, dbt, mdx;
};


Built build(Plan& plan, const TableSpec& spec, std::vector<IndexPlan>& indexes, const Refusal& refuse) {
    Built out;
    const std::size_t nRecords = spec.records.size();
    if (nRecords > 0xFFFFFFFFull) refuse("too many records");
    if (!spec.deleted.empty() && spec.deleted.size() != nRecords)
        refuse("the deletion marks (" + std::to_string(spec.deleted.size()) + ") do not match the records (" +
               std::to_string(nRecords) + ")");
    const bool level7 = plan.level == 7;
    const std::size_t descriptorBytes = level7 ? 48 : 32;
    const std::size_t fixedBytes = level7 ? 68 : 32;
    const std::vector<std::uint8_t> properties = buildProperties(plan, spec, refuse);
    const std::size_t headerLength = fixedBytes + plan.fields.size() * descriptorBytes + 1 + properties.size();
    if (headerLength > 0xFFFF) refuse("the header would be " + std::to_string(headerLength) + " bytes long, more than a dBase header holds");
    const std::uint64_t total = headerLength + static_cast<std::uint64_t>(nRecords) * plan.recordLength + 1;
    if (total > 0x7FFFFFFFull) refuse("the table would be larger than 2 GB");

    out.dbf.assign(headerLength, 0);
    out.dbf.reserve(static_cast<std::size_t>(total));
    MemoFile memo(plan.level, plan.stem);

    // Records.
    std::vector<std::int64_t> autoIncrement(plan.fields.size(), 1);
    std::vector<std::set<std::int64_t>> autoValues(plan.fields.size());
    std::vector<std::uint8_t> rec(plan.recordLength);
    for (std::size_t r = 0; r < nRecords; ++r) {
        const std::vector<FieldValue>& values = spec.records[r];
        const std::string where = "record " + std::to_string(r + 1);
        if (values.size() != plan.fields.size())
            refuse(where + " has " + std::to_string(values.size()) + " values for " + std::to_string(plan.fields.size()) +
                   " fields");
        rec[0] = (!spec.deleted.empty() && spec.deleted[r]) ? '*' : ' ';
        for (std::size_t i = 0; i < plan.fields.size(); ++i) {
            const FieldPlan& f = plan.fields[i];
            const FieldValue& v = values[i];
            std::uint8_t* p = rec.data() + f.offset;
            const std::string label = where + ", field " + f.name;
            std::string why;
            if (f.memo) {
                std::string data;
                if (!v.isNull()) {
                    if (f.raw.type == 'M') {
                        if (v.kind != ValueKind::String) refuse(label + ": the value does not suit the field's type", Code::InvalidValue);
                        if (!plan.codePage->encode(v.text, data))
                            refuse(label + ": the text has a character that code page " + plan.codePage->name() +
                                       " cannot hold",
                                   Code::InvalidValue);
                    } else {
                        if (v.kind != ValueKind::Binary) refuse(label + ": the value does not suit the field's type", Code::InvalidValue);
                        data = v.text;
                    }
                }
                std::memset(p, ' ', f.raw.length);
                if (!data.empty()) {
                    const std::uint64_t block = memo.add(data, why);
                    if (block == 0) refuse(label + ": " + why, Code::InvalidValue);
                    const std::string text = memoPointerBytes(block, 10);
                    if (text.size() != f.raw.length) refuse(label + ": the memo file is too large");
                    std::memcpy(p, text.data(), f.raw.length);
                }
                continue;
            }
            if (f.raw.type == '+') {
                FieldValue assigned = v;
                if (v.isNull()) {
                    assigned.setInteger(autoIncrement[i]);
                } else if (v.kind != ValueKind::Integer) {
                    refuse(label + ": the value does not suit the field's type", Code::InvalidValue);
                }
                RawField asLong = f.raw;
                asLong.type = 'I';
                if (!encodeValue(asLong, plan.header, *plan.codePage, assigned, p, why))
                    refuse(label + ": " + why, Code::InvalidValue);
                if (!autoValues[i].insert(assigned.integer).second)
                    refuse(label + ": the autoincrement value " + std::to_string(assigned.integer) + " is used twice",
                           Code::InvalidValue);
                autoIncrement[i] = std::max(autoIncrement[i], assigned.integer + 1);
                continue;
            }
            if (!encodeValue(f.raw, plan.header, *plan.codePage, v, p, why)) refuse(label + ": " + why, Code::InvalidValue);
        }
        out.dbf.insert(out.dbf.end(), rec.begin(), rec.end());

        // Index keys from the bytes just stored.
        for (IndexPlan& ip : indexes) {
            std::string key;
            if (ip.tag.keyType == 'C') {
                for (std::size_t k : ip.fields) {
                    const FieldPlan& f = plan.fields[k];
                    key.append(reinterpret_cast<const char*>(rec.data() + f.offset), f.raw.length);
                }
            } else {
                const FieldPlan& f = plan.fields[ip.fields[0]];
                const std::string_view text(reinterpret_cast<const char*>(rec.data() + f.offset), f.raw.length);
                if (ip.tag.keyType == 'N') {
                    if (!mdxNumericKey(text, key)) refuse(where + ": index " + ip.tag.name + " cannot take the number " + std::string(text));
                } else {
                    const FieldValue& v = values[ip.fields[0]];
                    if (v.isNull())
                        refuse(where + ": index " + ip.tag.name + " cannot take a blank date (its key is not "
                                       "settled for dBase indexes)",
                               Code::InvalidValue);
                    key = mdxDateKey(v.integer);
                }
            }
            ip.tag.keys.push_back(std::move(key));
        }
    }
    out.dbf.push_back(0x1A);

    // Unique tags: no key twice.
    for (const IndexPlan& ip : indexes) {
        if (!ip.tag.unique) continue;
        std::vector<std::size_t> order(ip.tag.keys.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return compareMdxKeys(ip.tag.keyType, ip.tag.keys[a], ip.tag.keys[b]) < 0;
        });
        for (std::size_t k = 1; k < order.size(); ++k)
            if (compareMdxKeys(ip.tag.keyType, ip.tag.keys[order[k - 1]], ip.tag.keys[order[k]]) == 0)
                refuse("records " + std::to_string(order[k - 1] + 1) + " and " + std::to_string(order[k] + 1) +
                           " have the same key in the unique index " + ip.tag.name,
                       Code::InvalidValue);
    }
    for (std::size_t i = 0; i < plan.fields.size(); ++i)
        if (plan.fields[i].raw.type == '+') plan.fields[i].nextAutoIncrement = static_cast<std::uint32_t>(autoIncrement[i]);

    // Header.
    const MdxDate date = today();
    std::uint8_t* h = out.dbf.data();
    h[0] = static_cast<std::uint8_t>(level7 ? (plan.hasMemo ? 0x8C : 0x04) : (plan.hasMemo ? (plan.level == 3 ? 0x83 : 0x8B) : 0x03));
    h[1] = static_cast<std::uint8_t>(date.year - 1900);
    h[2] = static_cast<std::uint8_t>(date.month);
    h[3] = static_cast<std::uint8_t>(date.day);
    storeLE32(h + 4, static_cast<std::uint32_t>(nRecords));
    storeLE16(h + 8, static_cast<std::uint16_t>(headerLength));
    storeLE16(h + 10, static_cast<std::uint16_t>(plan.recordLength));
    h[28] = indexes.empty() ? 0 : 1;
    if (level7)
        std::memcpy(h + 32, plan.driver->level7Name, std::strlen(plan.driver->level7Name));
    else
        h[29] = plan.driver->id;
    std::uint8_t* d = h + fixedBytes;
    for (const FieldPlan& f : plan.fields) {
        std::memcpy(d, f.name.data(), f.name.size());
        if (level7) {
            d[32] = static_cast<std::uint8_t>(f.raw.type);
            d[33] = static_cast<std::uint8_t>(f.raw.length);
            d[34] = f.raw.decimals;
            d[37] = f.mdxFlag ? 1 : 0;
            storeLE32(d + 42, f.nextAutoIncrement);
        } else {
            d[11] = static_cast<std::uint8_t>(f.raw.type);
            d[16] = static_cast<std::uint8_t>(f.raw.length);
            d[17] = f.raw.decimals;
            if (plan.level == 4) d[31] = f.mdxFlag ? 1 : 0;
        }
        d += descriptorBytes;
    }
    *d++ = 0x0D;
    if (!properties.empty()) std::memcpy(d, properties.data(), properties.size());

    if (plan.hasMemo) out.dbt = memo.finish();
    if (!indexes.empty()) {
        std::vector<MdxTag> tags;
        for (IndexPlan& ip : indexes) tags.push_back(std::move(ip.tag));
        std::string name = toUpperAscii(plan.stem.substr(0, 8));
        for (char& c : name)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '_';
        out.mdx = buildMdx(name, tags, static_cast<std::uint32_t>(nRecords), date);
    }
    return out;
}

}  // namespace

void createTable(const std::string& path, const TableSpec& spec) {
    const Refusal refuse(path);
    if (spec.format != TableFormat::DBase) refuse("the description is not of a dBase table");
    Plan plan;
    if (spec.level != 3 && spec.level != 4 && spec.level != 7)
        refuse("dBase tables are written at level 3, 4 or 7, not " + std::to_string(spec.level));
    plan.level = spec.level;
    plan.limits = limitsOf(spec.level);
    planFile(plan, path, refuse);
    planCodePage(plan, spec, refuse);
    plan.header.level7 = plan.level == 7;
    plan.header.version = plan.level == 7 ? 0x04 : 0x03;
    planFields(plan, spec, refuse);
    std::vector<IndexPlan> indexes = planIndexes(plan, spec, refuse);
    const Built built = build(plan, spec, indexes, refuse);

    // The table last: until it is in place, nothing reads the companions.
    std::vector<NewFile> files;
    if (!built.dbt.empty()) files.push_back({joinPath(plan.folder, plan.dbtName), &built.dbt});
    if (!built.mdx.empty()) files.push_back({joinPath(plan.folder, plan.mdxName), &built.mdx});
    files.push_back({path, &built.dbf});
    try {
        writeNewFiles(files);
    } catch (const EFileWriteError& e) {
        refuse(e.what(), Code::Io);
    }
}

}  // namespace tavrinth::dbase
