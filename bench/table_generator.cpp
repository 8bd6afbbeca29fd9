#include "table_generator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "field_value.h"
#include "table_file.h"

namespace tavrinth::bench {

namespace {

// --- the records ------------------------------------------------------------------------------

std::uint64_t mix(std::uint64_t x) {  // splitmix64
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

const char* const kFirstNames[] = {
    "Anna",  "Bernd",   "Chloé", "Dmitri", "Élise", "Farid",  "Greta",    "Hiroshi", "Inès",  "Jürgen", "Kåre",
    "Lena",  "Marcus",  "Nuño",  "Olga",   "Pål",   "Quentin", "Renée",   "Søren",   "Tomás", "Ulla",   "Vera",
    "Wiebke", "Xavier", "Yusuf", "Zoë",    "Ángel", "Björn",  "Cécile",   "Dörte",
};
const char* const kLastNames[] = {
    "Müller",   "Schmidt", "Åberg",  "Dubois", "García",  "Rossi",    "Nowak",   "Jensen",  "O'Brien", "Ñúñez",
    "Lefèvre",  "Öztürk",  "Kowalski", "Svensson", "Fernández", "Weiß", "Andersen", "Martín", "Bianchi", "Håkansson",
    "de la Cruz", "Van Dijk", "Çelik", "Ødegård", "Smith",  "Brontë",  "Lindqvist", "Ferreira", "Moreau",  "Köhler",
};
const char* const kCities[] = {
    "Zürich",  "München", "Göteborg", "Málaga",   "Besançon", "København", "Århus",   "Kraków", "São Paulo",
    "Reykjavík", "Lyon",   "Porto",   "Düsseldorf", "Bruxelles", "Tromsø",  "Córdoba", "Genève", "Nîmes",
    "Wien",    "Oslo",    "Sevilla", "Linköping", "Brno",     "Köln",      "Québec",  "Bergen", "Toulouse",
};

template <typename T, std::size_t N>
constexpr std::size_t countOf(T (&)[N]) {
    return N;
}

struct Person {
    std::uint32_t id = 0;
    std::string name;      // UTF-8; empty = blank
    std::string city;      // UTF-8; empty = blank
    bool amountBlank = false;
    std::int64_t amountCents = 0;
    bool qtyBlank = false;
    int qty = 0;
    bool bornBlank = false;
    int year = 0, month = 0, day = 0;
    int active = -1;       // -1 blank, 0 false, 1 true
    char activeLetter = '?';
    bool priceBlank = false;
    std::int64_t priceCents = 0;
    bool startBlank = false;
    std::int32_t startMs = 0;
    bool stampBlank = false;
    std::int64_t stampDay = 0;  // day number
    std::int32_t stampMs = 0;
    std::string code;      // ASCII; empty = blank
    bool deleted = false;  // dBase only
};

Person person(std::uint32_t i) {
    Person p;
    const std::uint64_t a = mix(i), b = mix(a), c = mix(b);
    p.id = i + 1;
    if (a % 53 != 7)
        p.name = std::string(kFirstNames[(a >> 8) % countOf(kFirstNames)]) + " " +
                 kLastNames[(a >> 16) % countOf(kLastNames)];
    if (a % 41 != 3) p.city = kCities[(a >> 24) % countOf(kCities)];
    p.amountBlank = (a >> 32) % 37 == 0;
    p.amountCents = static_cast<std::int64_t>((a >> 33) % 200'000'000) - 20'000'000;  // -200000.00 .. 1799999.99
    p.qtyBlank = (b & 0xFF) % 61 == 0;
    p.qty = static_cast<int>((b >> 8) % 33'000) - 999;
    p.bornBlank = (b >> 24) % 29 == 0;
    p.year = 1900 + static_cast<int>((b >> 28) % 131);
    p.month = 1 + static_cast<int>((b >> 36) % 12);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    p.day = 1 + static_cast<int>((b >> 40) % kDays[p.month - 1]);
    switch ((b >> 48) % 7) {
        case 0: p.active = -1; p.activeLetter = (b >> 52) % 2 ? '?' : ' '; break;
        case 1: p.active = 1; p.activeLetter = 'y'; break;
        case 2: case 3: p.active = 1; p.activeLetter = 'T'; break;
        default: p.active = 0; p.activeLetter = (b >> 52) % 5 ? 'F' : 'n'; break;
    }
    p.priceBlank = c % 31 == 0;
    p.priceCents = static_cast<std::int64_t>((c >> 8) % 50'000'000);  // 0.00 .. 499999.99
    p.startBlank = (c >> 36) % 43 == 0;
    p.startMs = static_cast<std::int32_t>((c >> 40) % 86'400) * 1000 + ((c >> 20) % 4 == 0 ? static_cast<std::int32_t>((c >> 24) % 1000) : 0);
    p.stampBlank = (c >> 12) % 47 == 0;
    p.stampDay = 693'596 + static_cast<std::int64_t>((c >> 16) % 47'000);  // 1900 .. 2028
    p.stampMs = static_cast<std::int32_t>((a >> 4) % 86'400'000);
    if ((c >> 60) != 5) {
        char code[16];
        std::snprintf(code, sizeof code, "%c%c-%05u", 'A' + static_cast<int>((a >> 40) % 26),
                      'A' + static_cast<int>((b >> 44) % 26), static_cast<unsigned>((c >> 28) % 100'000));
        p.code = code;
    }
    p.deleted = i % 97 == 13;
    return p;
}

// UTF-8 text of Latin-1 letters to cp1252 bytes (the two agree on the letters used here).
std::string toCp1252(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else if ((b & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            const unsigned cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
            if (cp > 0xFF) throw std::logic_error("character outside Latin-1 in the bench data");
            out.push_back(static_cast<char>(cp));
        } else {
            throw std::logic_error("character outside Latin-1 in the bench data");
        }
    }
    return out;
}

std::string centsText(std::int64_t cents) {
    char buf[32];
    const std::int64_t whole = cents / 100, frac = cents % 100;
    std::snprintf(buf, sizeof buf, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(whole < 0 ? -whole : whole),
                  static_cast<long long>(frac < 0 ? -frac : frac));
    return buf;
}

// Days from 0001-01-01 (= day 1), proleptic Gregorian.
std::int64_t dayNumber(int y, int m, int d) {
    static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const std::int64_t py = y - 1;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return py * 365 + py / 4 - py / 100 + py / 400 + before[m - 1] + (leap && m > 2 ? 1 : 0) + d;
}

// --- writing ------------------------------------------------------------------------------------

class Output {
public:
    explicit Output(const std::string& path) : path_(path), f_(std::fopen(path.c_str(), "wb")) {
        if (!f_) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
        std::setvbuf(f_, nullptr, _IOFBF, 1 << 18);
    }
    ~Output() {
        if (f_) std::fclose(f_);
    }
    void write(const void* p, std::size_t n) {
        if (std::fwrite(p, 1, n, f_) != n) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }
    void write(const std::vector<std::uint8_t>& v) { write(v.data(), v.size()); }
    void close() {
        const int r = std::fclose(f_);
        f_ = nullptr;
        if (r != 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }

private:
    std::string path_;
    std::FILE* f_;
};

void le16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void le32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}
// Paradox's big-endian values with the top bit flipped.
void flipped(std::uint8_t* p, std::int64_t v, int bytes) {
    const std::uint64_t u = static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << (8 * bytes - 1));
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<std::uint8_t>(u >> (8 * (bytes - 1 - k)));
}
void flippedDouble(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    if (bits & 0x8000000000000000ull)
        bits = ~bits;
    else
        bits |= 0x8000000000000000ull;
    for (int k = 0; k < 8; ++k) p[k] = static_cast<std::uint8_t>(bits >> (56 - 8 * k));
}

// Left-justified text padded to n bytes.
void putText(std::uint8_t* p, std::size_t n, const std::string& bytes, std::uint8_t pad) {
    if (bytes.size() > n) throw std::logic_error("bench value longer than its field");
    std::memset(p, pad, n);
    std::memcpy(p, bytes.data(), bytes.size());
}
// Right-justified text padded with spaces.
void putRight(std::uint8_t* p, std::size_t n, const std::string& text) {
    if (text.size() > n) throw std::logic_error("bench number wider than its field");
    std::memset(p, ' ', n);
    std::memcpy(p + n - text.size(), text.data(), text.size());
}

// --- dBase --------------------------------------------------------------------------------------

struct DbfField {
    const char* name;
    char type;
    std::uint8_t length;
    std::uint8_t decimals;
};
const DbfField kDbfFields[] = {
    {"ID", 'N', 8, 0},     {"NAME", 'C', 28, 0}, {"CITY", 'C', 18, 0}, {"AMOUNT", 'N', 12, 2}, {"QTY", 'N', 6, 0},
    {"BORN", 'D', 8, 0},   {"ACTIVE", 'L', 1, 0}, {"PRICE", 'N', 10, 2}, {"CODE", 'C', 8, 0},
};
constexpr std::size_t kDbfRecord = 100;

void encodeDbfRecord(const Person& p, std::uint8_t* r) {
    std::uint8_t* q = r;
    *q++ = p.deleted ? '*' : ' ';
    putRight(q, 8, std::to_string(p.id)); q += 8;
    putText(q, 28, toCp1252(p.name), ' '); q += 28;
    putText(q, 18, toCp1252(p.city), ' '); q += 18;
    if (p.amountBlank) std::memset(q, ' ', 12); else putRight(q, 12, centsText(p.amountCents));
    q += 12;
    if (p.qtyBlank) std::memset(q, ' ', 6); else putRight(q, 6, std::to_string(p.qty));
    q += 6;
    if (p.bornBlank) {
        std::memset(q, ' ', 8);
    } else {
        char d[16];
        std::snprintf(d, sizeof d, "%04d%02d%02d", p.year, p.month, p.day);
        std::memcpy(q, d, 8);
    }
    q += 8;
    *q++ = static_cast<std::uint8_t>(p.activeLetter);
    if (p.priceBlank) std::memset(q, ' ', 10); else putRight(q, 10, centsText(p.priceCents));
    q += 10;
    putText(q, 8, p.code, ' '); q += 8;
    if (q != r + kDbfRecord) throw std::logic_error("dBase bench record size");
}

// --- Paradox ------------------------------------------------------------------------------------

struct PxField {
    const char* name;
    std::uint8_t type;
    std::uint8_t size;
};
const PxField kPxFields[] = {
    {"Id", 0x04, 4},     {"Name", 0x01, 32},  {"City", 0x01, 20}, {"Amount", 0x06, 8}, {"Born", 0x02, 4},
    {"Qty", 0x03, 2},    {"Active", 0x09, 1}, {"Price", 0x05, 8}, {"Start", 0x14, 4},  {"Stamp", 0x15, 8},
    {"Code", 0x01, 9},
};
constexpr std::size_t kPxRecord = 100;
constexpr std::uint32_t kPxBlockSize = 16 * 1024;
constexpr std::uint32_t kPxHeaderSize = 0x800;
constexpr std::uint32_t kPxPerBlock = (kPxBlockSize - 6) / kPxRecord;

void encodePxRecord(const Person& p, std::uint8_t* r) {
    std::memset(r, 0, kPxRecord);
    std::uint8_t* q = r;
    flipped(q, p.id, 4); q += 4;
    putText(q, 32, toCp1252(p.name), 0); q += 32;
    putText(q, 20, toCp1252(p.city), 0); q += 20;
    if (!p.amountBlank) flippedDouble(q, static_cast<double>(p.amountCents) / 100.0);
    q += 8;
    if (!p.bornBlank) flipped(q, dayNumber(p.year, p.month, p.day), 4);
    q += 4;
    if (!p.qtyBlank) flipped(q, p.qty, 2);
    q += 2;
    *q++ = p.active < 0 ? 0x00 : p.active ? 0x81 : 0x80;
    if (!p.priceBlank) flippedDouble(q, static_cast<double>(p.priceCents) / 100.0);
    q += 8;
    if (!p.startBlank) flipped(q, p.startMs, 4);
    q += 4;
    if (!p.stampBlank) flippedDouble(q, static_cast<double>(p.stampDay * 86'400'000 + p.stampMs));
    q += 8;
    putText(q, 9, p.code, 0); q += 9;
    if (q != r + kPxRecord) throw std::logic_error("Paradox bench record size");
}

// --- checking -----------------------------------------------------------------------------------

std::string describe(const FieldValue& v) {
    char buf[64];
    switch (v.kind) {
        case ValueKind::Null: return "NULL";
        case ValueKind::String: return "'" + v.text + "'";
        case ValueKind::Float: case ValueKind::DateTime:
            std::snprintf(buf, sizeof buf, "real %.17g", v.real);
            return buf;
        default:
            std::snprintf(buf, sizeof buf, "kind %d integer %lld", static_cast<int>(v.kind), static_cast<long long>(v.integer));
            return buf;
    }
}

bool sameValue(const FieldValue& a, const FieldValue& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::Null: case ValueKind::MissingBlob: return true;
        case ValueKind::String: case ValueKind::Bcd: case ValueKind::Binary: case ValueKind::Invalid: return a.text == b.text;
        case ValueKind::Float: case ValueKind::DateTime: return a.real == b.real;
        default: return a.integer == b.integer;
    }
}

FieldValue nullValue() { return FieldValue(); }
FieldValue textValue(const std::string& s) {
    FieldValue v;
    v.setText(ValueKind::String);
    v.text = s;
    return v;
}
FieldValue intValue(std::int64_t i, ValueKind k = ValueKind::Integer) {
    FieldValue v;
    v.setInteger(i, k);
    return v;
}
FieldValue realValue(double d, ValueKind k = ValueKind::Float) {
    FieldValue v;
    v.setReal(d, k);
    return v;
}
FieldValue dbfNumber(std::int64_t cents) { return realValue(std::strtod(centsText(cents).c_str(), nullptr)); }

std::vector<FieldValue> expectedDbf(const Person& p) {
    return {
        intValue(p.id),
        textValue(p.name),
        textValue(p.city),
        p.amountBlank ? nullValue() : dbfNumber(p.amountCents),
        p.qtyBlank ? nullValue() : intValue(p.qty),
        p.bornBlank ? nullValue() : intValue(dayNumber(p.year, p.month, p.day), ValueKind::Date),
        p.active < 0 ? nullValue() : intValue(p.active, ValueKind::Boolean),
        p.priceBlank ? nullValue() : dbfNumber(p.priceCents),
        textValue(p.code),
    };
}

std::vector<FieldValue> expectedPx(const Person& p) {
    auto text = [](const std::string& s) { return s.empty() ? nullValue() : textValue(s); };
    return {
        intValue(p.id),
        text(p.name),
        text(p.city),
        p.amountBlank ? nullValue() : realValue(static_cast<double>(p.amountCents) / 100.0),
        p.bornBlank ? nullValue() : intValue(dayNumber(p.year, p.month, p.day), ValueKind::Date),
        p.qtyBlank ? nullValue() : intValue(p.qty),
        p.active < 0 ? nullValue() : intValue(p.active, ValueKind::Boolean),
        p.priceBlank ? nullValue() : realValue(static_cast<double>(p.priceCents) / 100.0),
        p.startBlank ? nullValue() : intValue(p.startMs, ValueKind::Time),
        p.stampBlank ? nullValue() : realValue(static_cast<double>(p.stampDay * 86'400'000 + p.stampMs), ValueKind::DateTime),
        text(p.code),
    };
}

// The sample of positions: the first, the last and `samples` spread between.
std::vector<std::uint32_t> samplePositions(std::uint32_t count, std::uint32_t samples) {
    std::vector<std::uint32_t> out;
    if (count == 0) return out;
    out.push_back(0);
    const std::uint64_t step = std::max<std::uint64_t>(1, count / (samples + 1));
    for (std::uint64_t k = step; k < count; k += step + (mix(k) % 3)) out.push_back(static_cast<std::uint32_t>(k));
    out.push_back(count - 1);
    return out;
}

std::string checkFields(TableFile& table, const std::vector<std::string>& names, const std::vector<char>& letters) {
    const auto& f = table.fields();
    if (f.size() != names.size())
        return "the table has " + std::to_string(f.size()) + " fields, not " + std::to_string(names.size());
    for (std::size_t i = 0; i < f.size(); ++i)
        if (f[i].name != names[i] || f[i].typeLetter != letters[i])
            return "field " + std::to_string(i) + " is " + f[i].name + " " + f[i].typeLetter;
    if (!table.warnings().empty()) return "the engine warns: " + table.warnings().front();
    return {};
}

std::string checkRecord(TableFile& table, std::uint32_t position, const std::vector<FieldValue>& expected) {
    const std::uint8_t* rec = table.record(position);
    FieldValue got;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        table.decode(rec, i, got);
        if (!sameValue(got, expected[i]))
            return "record " + std::to_string(position) + " field " + table.fields()[i].name + ": read " + describe(got) +
                   ", written " + describe(expected[i]);
    }
    return {};
}

}  // namespace

// --- the interface ------------------------------------------------------------------------------

std::uint32_t dbaseLiveRecords(std::uint32_t records) {
    return records - (records / 97 + (records % 97 > 13 ? 1 : 0));
}

void writeDBaseTable(const std::string& path, std::uint32_t records) {
    constexpr std::size_t nFields = sizeof kDbfFields / sizeof kDbfFields[0];
    std::vector<std::uint8_t> header(32 + 32 * nFields + 1, 0);
    header[0] = 0x03;
    header[1] = 125;  // 2025-06-30
    header[2] = 6;
    header[3] = 30;
    le32(&header[4], records);
    le16(&header[8], static_cast<unsigned>(header.size()));
    le16(&header[10], kDbfRecord);
    header[29] = 0x57;  // language driver: cp1252
    std::size_t total = 1;
    for (std::size_t i = 0; i < nFields; ++i) {
        std::uint8_t* d = &header[32 + 32 * i];
        std::memcpy(d, kDbfFields[i].name, std::strlen(kDbfFields[i].name));
        d[11] = static_cast<std::uint8_t>(kDbfFields[i].type);
        d[16] = kDbfFields[i].length;
        d[17] = kDbfFields[i].decimals;
        total += kDbfFields[i].length;
    }
    if (total != kDbfRecord) throw std::logic_error("dBase bench fields do not add up to the record");
    header.back() = 0x0D;

    Output out(path);
    out.write(header);
    std::vector<std::uint8_t> chunk;
    chunk.reserve(kDbfRecord * 1024);
    for (std::uint32_t i = 0; i < records; ++i) {
        chunk.resize(chunk.size() + kDbfRecord);
        encodeDbfRecord(person(i), chunk.data() + chunk.size() - kDbfRecord);
        if (chunk.size() == kDbfRecord * 1024) {
            out.write(chunk);
            chunk.clear();
        }
    }
    chunk.push_back(0x1A);
    out.write(chunk);
    out.close();
}

void writeParadoxTable(const std::string& path, std::uint32_t records, int level) {
    if (level != 5 && level != 7) throw std::invalid_argument("Paradox bench tables are level 5 or 7");
    constexpr std::size_t n = sizeof kPxFields / sizeof kPxFields[0];
    const std::uint32_t blocks = (records + kPxPerBlock - 1) / kPxPerBlock;
    if (blocks > 0xFFFF) throw std::invalid_argument("too many records for one Paradox table with 16 KB blocks");
    const std::uint8_t version = level == 7 ? 0x0C : 0x0B;

    std::vector<std::uint8_t> h(kPxHeaderSize, 0);
    le16(&h[0x00], kPxRecord);
    le16(&h[0x02], kPxHeaderSize);
    h[0x04] = 2;  // unkeyed table
    h[0x05] = kPxBlockSize / 1024;
    le32(&h[0x06], records);
    le16(&h[0x0A], blocks);  // blocks in use
    le16(&h[0x0C], blocks);  // blocks in the file
    le16(&h[0x0E], blocks ? 1 : 0);
    le16(&h[0x10], blocks);
    le16(&h[0x21], n);
    le16(&h[0x23], 0);
    le32(&h[0x25], 0xFF00FF00u);  // level 4+: the checksum word is at 0x5C
    h[0x29] = 0x4C;               // sort order DBWINUS0
    h[0x39] = version;
    le16(&h[0x3A], blocks);
    le16(&h[0x3E], 0x0F1F);
    h[0x56] = 0x20;
    le16(&h[0x58], 0x0100u | version);
    le16(&h[0x5A], 0x0100u | version);
    le32(&h[0x5C], 0);  // not encrypted
    le32(&h[0x60], 0x5ADE6000u);
    le16(&h[0x64], n + 1);
    le16(&h[0x68], n);
    le16(&h[0x6A], 1252);

    std::size_t pos = 0x78;
    std::size_t total = 0;
    for (const PxField& f : kPxFields) {
        h[pos++] = f.type;
        h[pos++] = f.size;
        total += f.size;
    }
    if (total != kPxRecord) throw std::logic_error("Paradox bench fields do not add up to the record");
    pos += 4;      // table-name pointer
    pos += 4 * n;  // field-name pointers
    const std::size_t tableNameSize = level == 7 ? 261 : 79;
    std::memcpy(&h[pos], "bench", 5);
    pos += tableNameSize;
    for (const PxField& f : kPxFields) {
        std::memcpy(&h[pos], f.name, std::strlen(f.name));
        pos += std::strlen(f.name) + 1;
    }
    le16(&h[0x66], static_cast<unsigned>(pos - 0x58));  // where the field numbers start, less 0x58
    for (std::size_t i = 0; i < n; ++i, pos += 2) le16(&h[pos], static_cast<unsigned>(i + 1));
    std::memcpy(&h[pos], "DBWINUS0", 8);
    pos += 9;
    le16(&h[0x51], static_cast<unsigned>(pos));  // the header bytes in use

    Output out(path);
    out.write(h);
    std::vector<std::uint8_t> block(kPxBlockSize);
    std::uint32_t next = 0;
    for (std::uint32_t b = 1; b <= blocks; ++b) {
        std::fill(block.begin(), block.end(), 0);
        const std::uint32_t count = std::min(kPxPerBlock, records - next);
        le16(&block[0], b < blocks ? b + 1 : 0);
        le16(&block[2], b - 1);
        le16(&block[4], (count - 1) * kPxRecord);
        for (std::uint32_t k = 0; k < count; ++k) encodePxRecord(person(next + k), &block[6 + k * kPxRecord]);
        next += count;
        out.write(block);
    }
    out.close();
}

std::string verifyDBaseTable(const std::string& path, std::uint32_t records, std::uint32_t samples) {
    try {
        auto table = openTableFile(path);
        if (table->format() != TableFormat::DBase) return "not opened as a dBase table";
        std::vector<std::string> names;
        std::vector<char> letters;
        for (const DbfField& f : kDbfFields) {
            names.emplace_back(f.name);
            letters.push_back(f.type);
        }
        if (std::string e = checkFields(*table, names, letters); !e.empty()) return e;
        const std::uint32_t live = dbaseLiveRecords(records);
        if (table->recordCount() != live)
            return "the engine counts " + std::to_string(table->recordCount()) + " records, not " + std::to_string(live);
        for (std::uint32_t position : samplePositions(live, samples)) {
            // 96 live records in every run of 97: the deleted one is the 14th.
            const std::uint32_t r = position % 96;
            const std::uint32_t physical = position / 96 * 97 + (r >= 13 ? r + 1 : r);
            if (table->recNo(position) != static_cast<std::int32_t>(physical) + 1)
                return "record " + std::to_string(position) + " has number " + std::to_string(table->recNo(position)) +
                       ", not " + std::to_string(physical + 1);
            if (std::string e = checkRecord(*table, position, expectedDbf(person(physical))); !e.empty()) return e;
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string verifyParadoxTable(const std::string& path, std::uint32_t records, std::uint32_t samples) {
    try {
        auto table = openTableFile(path);
        if (table->format() != TableFormat::Paradox) return "not opened as a Paradox table";
        static const char kLetters[] = {'I', 'A', 'A', 'N', 'D', 'S', 'L', '$', 'T', '@', 'A'};
        std::vector<std::string> names;
        std::vector<char> letters(std::begin(kLetters), std::end(kLetters));
        for (const PxField& f : kPxFields) names.emplace_back(f.name);
        if (std::string e = checkFields(*table, names, letters); !e.empty()) return e;
        if (table->codePage().name() != "CP1252") return "code page " + table->codePage().name() + ", not CP1252";
        if (table->recordCount() != records)
            return "the engine counts " + std::to_string(table->recordCount()) + " records, not " + std::to_string(records);
        for (std::uint32_t position : samplePositions(records, samples)) {
            if (table->recNo(position) != static_cast<std::int32_t>(position) + 1)
                return "record " + std::to_string(position) + " has number " + std::to_string(table->recNo(position));
            if (std::string e = checkRecord(*table, position, expectedPx(person(position))); !e.empty()) return e;
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace tavrinth::bench
