#include "px_val.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "../byte_order.h"
#include "../engine_error.h"
#include "px_values.h"

namespace tavrinth::paradox {

namespace {

constexpr std::size_t kHeaderSize = 0x35;
constexpr std::size_t kEntryFixed = 0x1C;
constexpr std::size_t kLookupName = 80;
constexpr std::size_t kLongLookupName = 261;
// The largest entry: fixed part, long lookup name, three values of 255 bytes, a 255-byte picture.
constexpr std::size_t kMaxEntry = kEntryFixed + kLongLookupName + 3 * 255 + 255;
constexpr std::uint32_t kTodayWord = 2;
constexpr std::uint32_t kNowWord = 3;

// A .VAL outside the format; the message says what and where.
struct Damaged {
    std::string what;
};

[[noreturn]] void damaged(std::string what) { throw Damaged{std::move(what)}; }

std::string hexByte(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

std::string offsetText(std::size_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%zX", v);
    return buf;
}

// One bound (minimum, maximum or default) as stored.
struct RawBound {
    std::uint32_t word = 0;     // 0 = absent
    const std::uint8_t* value = nullptr;  // null when no value bytes follow
};

struct RawEntry {
    std::uint8_t field = 0;
    bool required = false;
    std::uint8_t lookupFlags = 0;
    bool hasLookup = false;
    const std::uint8_t* lookupName = nullptr;
    std::size_t lookupNameSize = 0;
    RawBound bounds[3];  // min, max, default
    bool hasPicture = false;
    const std::uint8_t* picture = nullptr;
    std::size_t pictureSize = 0;

    bool empty() const {
        return !required && !hasLookup && !hasPicture && bounds[0].word == 0 && bounds[1].word == 0 &&
               bounds[2].word == 0;
    }
};

// Reads the entries of bytes [0, size) (the bytes from offset 0x35), which must end exactly at
// `size`. Where the layout leaves a choice (value bytes after a TODAY/NOW word, the size of a
// level 7 lookup name) every choice is tried; the first that ends right wins.
class EntryParser {
public:
    EntryParser(const std::vector<std::uint8_t>& bytes, std::size_t count, const std::vector<FieldDef>& fields,
                bool longLookupPossible)
        : bytes_(bytes), count_(count), fields_(fields), longLookup_(longLookupPossible) {}

    bool parse(std::vector<RawEntry>& out) {
        entries_.assign(count_, RawEntry{});
        if (!step(0, 0)) return false;
        out = entries_;
        return true;
    }

    // Why the last attempt failed (the furthest one), for the message.
    const std::string& problem() const { return problem_; }

private:
    void fail(std::size_t index, std::size_t pos, const std::string& why) {
        // The furthest failure tells most; at one position the first (most likely) reading's.
        if (problem_.empty() || pos > problemPos_) {
            problem_ = "entry " + std::to_string(index + 1) + " at offset " + offsetText(kHeaderSize + pos) + ": " + why;
            problemPos_ = pos;
        }
    }

    bool step(std::size_t index, std::size_t pos) {
        if (index == count_) {
            if (pos == bytes_.size()) return true;
            fail(index == 0 ? 0 : index - 1, pos,
                 "the entries end at " + offsetText(kHeaderSize + pos) + " but should end at " +
                     offsetText(kHeaderSize + bytes_.size()));
            return false;
        }
        if (failed_.count({index, pos})) return false;
        // Real files leave a choice in a handful of entries; a file that keeps thousands of
        // readings open is not one the engine wrote.
        if (++steps_ > kMaxSteps) {
            fail(index, bytes_.size(), "the entries allow too many readings");
            return false;
        }
        const std::size_t size = bytes_.size();
        if (pos > size || size - pos < kEntryFixed) {
            fail(index, pos, "the entry runs past its section");
            failed_.insert({index, pos});
            return false;
        }
        const std::uint8_t* p = bytes_.data() + pos;
        RawEntry e;
        e.field = p[0];
        const std::size_t pictureLength = p[1];
        if (p[2] > 1) {
            fail(index, pos, "required byte " + hexByte(p[2]) + " is neither 0 nor 1");
            failed_.insert({index, pos});
            return false;
        }
        e.required = p[2] == 1;
        e.lookupFlags = p[3];
        e.hasLookup = loadLE32(p + 0x04) != 0;
        e.bounds[0].word = loadLE32(p + 0x0C);
        e.bounds[1].word = loadLE32(p + 0x10);
        e.bounds[2].word = loadLE32(p + 0x14);
        e.hasPicture = loadLE32(p + 0x18) != 0;
        if (e.field >= fields_.size()) {
            fail(index, pos, "field position " + std::to_string(e.field) + " is outside the table's " +
                                 std::to_string(fields_.size()) + " fields");
            failed_.insert({index, pos});
            return false;
        }
        if (e.hasLookup && e.lookupFlags > 3) {
            fail(index, pos, "lookup flags " + hexByte(e.lookupFlags) + " are unknown");
            failed_.insert({index, pos});
            return false;
        }
        if (e.hasPicture && pictureLength == 0) {
            fail(index, pos, "a picture is present but its length is 0");
            failed_.insert({index, pos});
            return false;
        }
        const std::size_t valueSize = fields_[e.field].length;

        // Choices: lookup name size; for each TODAY/NOW word, value bytes or none.
        const int lookupChoices = e.hasLookup && longLookup_ ? 2 : 1;
        int ambiguous = 0;
        for (const RawBound& b : e.bounds)
            if (b.word == kTodayWord || b.word == kNowWord) ++ambiguous;
        for (int lc = 0; lc < lookupChoices; ++lc) {
            for (int mask = 0; mask < (1 << ambiguous); ++mask) {
                std::size_t q = pos + kEntryFixed;
                RawEntry v = e;
                bool fits = true;
                if (v.hasLookup) {
                    v.lookupNameSize = lc == 0 ? kLookupName : kLongLookupName;
                    if (size - q < v.lookupNameSize) fits = false;
                    else {
                        v.lookupName = bytes_.data() + q;
                        q += v.lookupNameSize;
                    }
                }
                int bit = 0;
                for (RawBound& b : v.bounds) {
                    if (!fits || b.word == 0) continue;
                    bool withBytes = true;
                    // Bit set = no value bytes after this TODAY/NOW word (value bytes are tried first).
                    if (b.word == kTodayWord || b.word == kNowWord) withBytes = ((mask >> bit++) & 1) == 0;
                    if (!withBytes) continue;
                    if (size - q < valueSize) {
                        fits = false;
                        continue;
                    }
                    b.value = bytes_.data() + q;
                    q += valueSize;
                }
                if (fits && v.hasPicture) {
                    if (size - q < pictureLength) fits = false;
                    else {
                        v.picture = bytes_.data() + q;
                        v.pictureSize = pictureLength;
                        q += pictureLength;
                    }
                }
                if (!fits) {
                    fail(index, pos, "its values run past the end of the entries");
                    continue;
                }
                if (v.hasLookup && !hasNul(v.lookupName, v.lookupNameSize)) {
                    fail(index, pos, "the lookup table name is not terminated");
                    continue;
                }
                if (v.hasPicture && !hasNul(v.picture, v.pictureSize)) {
                    fail(index, pos, "the picture is not terminated");
                    continue;
                }
                entries_[index] = v;
                if (step(index + 1, q)) return true;
            }
        }
        failed_.insert({index, pos});
        return false;
    }

    static bool hasNul(const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (p[i] == 0) return true;
        return false;
    }

    const std::vector<std::uint8_t>& bytes_;
    std::size_t count_;
    const std::vector<FieldDef>& fields_;
    bool longLookup_;
    std::vector<RawEntry> entries_;
    std::set<std::pair<std::size_t, std::size_t>> failed_;
    std::string problem_;
    std::size_t problemPos_ = 0;
    std::size_t steps_ = 0;
    static constexpr std::size_t kMaxSteps = 200000;
};

std::vector<std::uint8_t> readRange(const ByteSource& src, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    if (n != 0 && src.readAt(offset, out.data(), n) != n) damaged("the file ends early");
    return out;
}

std::string cString(const std::uint8_t* p, std::size_t n) {
    std::size_t k = 0;
    while (k < n && p[k] != 0) ++k;
    return std::string(reinterpret_cast<const char*>(p), k);
}

bool allZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Checks the footer (levels 4 on) against the table: the field count, the key count, the field
// numbers and the field descriptors must match. The names are only checked for their size: a
// field renamed by a restructure keeps its old name here while the engine still uses the file
// (the field numbers identify the fields).
void checkFooter(const ByteSource& src, std::uint64_t footer, std::uint8_t version, const Header& table) {
    const std::uint64_t size = src.size();
    if (footer > size || size - footer < 6) damaged("the footer at " + offsetText(footer) + " runs past the end of the file");
    const std::size_t n = static_cast<std::size_t>(table.numFields);
    const std::size_t tableNameSize = version >= 0x0C ? 261 : 79;
    // Count, key count, size word, field numbers, descriptors, table name, then at most 64 KB of names.
    const std::size_t fixed = 6 + 4 * n + tableNameSize;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - footer, fixed + 65536));
    const std::vector<std::uint8_t> f = readRange(src, footer, want);
    const std::uint16_t count = loadLE16(f.data());
    const std::uint16_t keys = loadLE16(f.data() + 2);
    const std::uint16_t namesSize = loadLE16(f.data() + 4);
    if (count != n)
        damaged("its footer lists " + std::to_string(count) + " fields but the table has " + std::to_string(n));
    if (keys != static_cast<std::uint16_t>(table.primaryKeyFields))
        damaged("its footer counts " + std::to_string(keys) + " key fields but the table has " +
                std::to_string(table.primaryKeyFields));
    if (f.size() < fixed) damaged("the footer runs past the end of the file");
    std::size_t pos = 6;
    if (table.fieldNumbers.size() == n)
        for (std::size_t i = 0; i < n; ++i)
            if (loadLE16(f.data() + pos + 2 * i) != table.fieldNumbers[i])
                damaged("its footer gives field " + std::to_string(i + 1) + " another number than the table");
    pos += 2 * n;
    for (std::size_t i = 0; i < n; ++i)
        if (f[pos + 2 * i] != table.fields[i].type || f[pos + 2 * i + 1] != table.fields[i].size)
            damaged("its footer gives field " + std::to_string(i + 1) + " another type or size than the table");
    pos += 2 * n + tableNameSize;
    std::size_t names = tableNameSize;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t end = pos;
        while (end < f.size() && f[end] != 0) ++end;
        if (end >= f.size()) damaged("the field names of its footer run past the end of the file");
        names += end - pos + 1;
        pos = end + 1;
    }
    if (names != namesSize)
        damaged("its footer's name size " + std::to_string(namesSize) + " does not match the names (" +
                std::to_string(names) + " bytes)");
}

void decodeBound(const RawBound& b, const FieldDef& f, const CodePage& codePage, BoundKind& kind, FieldValue& value) {
    value.setNull();
    if (b.word == 0) {
        kind = BoundKind::None;
        return;
    }
    const bool isDate = f.typeCode == 0x02;
    const bool isTime = f.typeCode == 0x14 || f.typeCode == 0x15;
    if (b.word == kTodayWord || b.word == kNowWord) {
        if (isDate) kind = BoundKind::Today;
        else if (isTime) kind = BoundKind::Now;
        else kind = b.word == kTodayWord ? BoundKind::Today : BoundKind::Now;
        return;
    }
    if ((isDate || isTime) && allZero(b.value, f.length)) {
        kind = isDate ? BoundKind::Today : BoundKind::Now;
        return;
    }
    kind = BoundKind::Value;
    decodeValue(f.typeCode, b.value, f.length, f.decimals, codePage, value);
}

// The child entries of the referential-integrity section at `offset`, up to `end`: a count word,
// then 0x1E0 bytes each (the rule's name at 0, the master table's file name at 0xD4, the update
// rule at 0x19A, the number of fields at 0x19E, this table's and the master's 1-based field
// numbers at 0x1A0 and 0x1C0).
std::vector<TableReference> parseReferences(const ByteSource& src, std::uint64_t offset, std::uint64_t end,
                                            std::size_t fieldCount, const CodePage& codePage) {
    constexpr std::size_t kEntry = 0x1E0;
    if (end - offset < 2) damaged("the referential-integrity section is shorter than its count");
    const std::vector<std::uint8_t> head = readRange(src, offset, 2);
    const std::size_t count = loadLE16(head.data());
    if (end - offset - 2 < count * kEntry)
        damaged("its " + std::to_string(count) + " referential-integrity entries run past " + offsetText(end));
    const std::vector<std::uint8_t> bytes = readRange(src, offset + 2, count * kEntry);
    std::vector<TableReference> out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + i * kEntry;
        TableReference r;
        r.name = codePage.decode(cString(e, 64));
        r.masterTable = codePage.decode(cString(e + 0xD4, 0x72));
        r.cascade = loadLE32(e + 0x19A) == 1;
        const std::size_t n = loadLE16(e + 0x19E);
        if (n == 0 || n > 16) damaged("referential-integrity entry " + std::to_string(i + 1) + " has " + std::to_string(n) + " fields");
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t child = loadLE16(e + 0x1A0 + 2 * k), master = loadLE16(e + 0x1C0 + 2 * k);
            if (child == 0 || child > fieldCount || master == 0)
                damaged("referential-integrity entry " + std::to_string(i + 1) + " names field " + std::to_string(child) +
                        " of " + std::to_string(fieldCount));
            r.fields.push_back(static_cast<int>(child) - 1);
            r.masterFields.push_back(static_cast<int>(master) - 1);
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<ValidityCheck> parse(const ByteSource& src, const Header& table, const std::vector<FieldDef>& fields,
                                 const CodePage& codePage, bool& stale, std::vector<TableReference>* references) {
    const std::uint64_t size = src.size();
    if (size < kHeaderSize) damaged("the file is shorter than its header");
    const std::vector<std::uint8_t> h = readRange(src, 0, kHeaderSize);
    if (h[0] != table.changeCount2) {
        stale = true;
        damaged("its first byte " + hexByte(h[0]) + " differs from the table header's change count " +
                hexByte(table.changeCount2) + ", so it belongs to another state of the table");
    }
    const std::uint8_t version = h[1];
    const std::size_t count = h[2];
    const bool tableHasExtension = table.versionByte >= 0x05;
    std::uint64_t entriesEnd = size;
    if (version == 0x01) {
        if (tableHasExtension) damaged("a level 3 layout (version 0x01) does not fit a level 4 or later table");
    } else if (version >= 0x05 && version <= 0x0F) {
        if (!tableHasExtension) damaged("version " + hexByte(version) + " does not fit a level 3 table");
        const std::uint64_t footer = loadLE32(h.data() + 0x09);
        const std::uint64_t ri = loadLE32(h.data() + 0x0D);
        if (footer < kHeaderSize || footer > size)
            damaged("the footer offset " + offsetText(footer) + " is outside the file");
        if (ri != 0 && (ri < kHeaderSize || ri > footer))
            damaged("the referential-integrity offset " + offsetText(ri) + " is outside the entries and the footer");
        entriesEnd = ri != 0 ? ri : footer;
        checkFooter(src, footer, version, table);
        // A referential-integrity section this reader cannot follow costs the references only,
        // never the validity checks.
        if (ri != 0 && references) {
            try {
                *references = parseReferences(src, ri, footer, fields.size(), codePage);
            } catch (const Damaged&) {
                references->clear();
            }
        }
    } else {
        damaged("version " + hexByte(version) + " is unknown");
    }
    const std::uint64_t entriesSize = entriesEnd - kHeaderSize;
    if (entriesSize > count * kMaxEntry)
        damaged("its " + std::to_string(count) + " entries cannot fill the " + std::to_string(entriesSize) + " bytes up to " +
                offsetText(entriesEnd));
    const std::vector<std::uint8_t> bytes = readRange(src, kHeaderSize, static_cast<std::size_t>(entriesSize));

    EntryParser parser(bytes, count, fields, version >= 0x0C);
    std::vector<RawEntry> entries;
    if (!parser.parse(entries)) damaged(parser.problem());

    std::vector<ValidityCheck> byField(fields.size());
    std::vector<bool> used(fields.size(), false);
    for (const RawEntry& e : entries) {
        if (e.empty()) continue;
        const FieldDef& f = fields[e.field];
        ValidityCheck& c = byField[e.field];
        used[e.field] = true;
        c.field = e.field;
        c.required = c.required || e.required;
        if (e.hasLookup) {
            c.lookupType = static_cast<std::uint8_t>(1 + e.lookupFlags);
            c.lookupTable = codePage.decode(cString(e.lookupName, e.lookupNameSize));
        }
        if (e.bounds[0].word) decodeBound(e.bounds[0], f, codePage, c.minKind, c.minValue);
        if (e.bounds[1].word) decodeBound(e.bounds[1], f, codePage, c.maxKind, c.maxValue);
        if (e.bounds[2].word) decodeBound(e.bounds[2], f, codePage, c.defaultKind, c.defaultValue);
        // An empty picture (a lone NUL) is no picture.
        if (e.hasPicture && e.picture[0] != 0) c.picture = codePage.decode(cString(e.picture, e.pictureSize));
    }
    std::vector<ValidityCheck> out;
    for (std::size_t i = 0; i < byField.size(); ++i)
        if (used[i] && !byField[i].empty()) out.push_back(std::move(byField[i]));
    return out;
}

}  // namespace

std::vector<ValidityCheck> readValidityChecks(const Header& table, const std::vector<FieldDef>& fields,
                                              const FileFamily& family, const CodePage& codePage,
                                              std::vector<std::string>& warnings,
                                              std::vector<TableReference>* references) {
    std::unique_ptr<ByteSource> src;
    try {
        src = family.open(".val");
    } catch (const EDBEngineError& e) {
        warnings.push_back(std::string("the validity checks (.VAL) cannot be opened (") + e.what() + "); none are applied");
        return {};
    }
    if (!src) return {};
    if (fields.size() != table.fields.size() || table.fields.empty()) {
        warnings.push_back("validity checks in " + src->name() + " are ignored: the table's field list is incomplete");
        return {};
    }
    bool stale = false;
    try {
        std::vector<TableReference> found;
        std::vector<ValidityCheck> checks = parse(*src, table, fields, codePage, stale, &found);
        if (references) *references = std::move(found);
        return checks;
    } catch (const Damaged& d) {
        warnings.push_back((stale ? "validity checks in " + src->name() + " are stale and ignored: "
                                  : "validity checks in " + src->name() + " are damaged and ignored: ") +
                           d.what);
    } catch (const EDBEngineError& e) {
        warnings.push_back("validity checks in " + src->name() + " cannot be read and are ignored: " + e.what());
    }
    return {};
}

}  // namespace tavrinth::paradox
