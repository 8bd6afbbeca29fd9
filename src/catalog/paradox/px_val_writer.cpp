// The validity-check file (.VAL) of a new table, in the layout of levels 4 to 7: a 0x35-byte
// header, one entry per field that has checks, and the footer that repeats the table's fields.
// No lookups and no referential integrity are written.
//
// Each entry is 0x1C bytes (field position, picture length, required, lookup flags, then six
// words saying what follows: lookup, an auxiliary pointer, minimum, maximum, default, picture),
// followed by the minimum, maximum and default in the record encoding of the field and the
// NUL-terminated picture. The engine stores memory addresses in those words; any non-zero word
// means "present", and 1 is written for a value.
//
// How the engine stores a TODAY or NOW bound is not known from any file. It is written the way
// our reader takes it: the word holds 2 (TODAY, date fields) or 3 (NOW, time and timestamp
// fields) and is followed by value bytes that are all zero. Keeping the value bytes keeps the
// entry's length what a reader that treats every non-zero word as "a value follows" expects, and
// a blank date or time bound means "today"/"now" to readers that look at the value instead.

#include <algorithm>
#include <cstring>

#include "../byte_order.h"
#include "../file_io.h"
#include "px_values.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox::writer {

namespace {

constexpr std::size_t kHeaderSize = 0x35;
constexpr std::size_t kEntryFixed = 0x1C;
constexpr std::uint32_t kValueWord = 1;
constexpr std::uint32_t kTodayWord = 2;
constexpr std::uint32_t kNowWord = 3;
constexpr std::size_t kMaxPicture = 175;  // characters the engine's picture field holds

struct Entry {
    std::size_t field = 0;
    bool required = false;
    std::uint32_t words[3] = {0, 0, 0};  // minimum, maximum, default
    std::vector<std::uint8_t> values[3];
    std::string picture;  // in the code page, without the NUL
};

const char* boundName(int i) { return i == 0 ? "minimum" : i == 1 ? "maximum" : "default"; }

}  // namespace

OutputFile buildValidityFile(const Layout& layout, const TableSpec& spec) {
    const std::size_t n = layout.fields.size();
    std::vector<Entry> entries;
    std::vector<bool> seen(n, false);
    for (const CheckSpec& c : spec.checks) {
        const std::string folded = foldName(c.field);
        std::size_t fi = n;
        for (std::size_t i = 0; i < n; ++i)
            if (foldName(layout.fields[i].name) == folded) fi = i;
        const std::string where = "Cannot create " + layout.path + ": the validity check of field " + c.field;
        if (fi == n) refuse(where + ": the table has no such field");
        if (seen[fi]) refuse(where + " is given twice");
        seen[fi] = true;
        const Field& f = layout.fields[fi];

        Entry e;
        e.field = fi;
        e.required = c.required;
        const BoundKind kinds[3] = {c.minKind, c.maxKind, c.defaultKind};
        const FieldValue* values[3] = {&c.minValue, &c.maxValue, &c.defaultValue};
        for (int b = 0; b < 3; ++b) {
            if (kinds[b] == BoundKind::None) continue;
            if (f.isBlob()) refuse(where + ": a " + std::string(1, f.letter) + " field takes no " + boundName(b));
            e.values[b].assign(f.length, 0);
            switch (kinds[b]) {
                case BoundKind::Value: {
                    if (values[b]->isNull()) refuse(where + ": its " + boundName(b) + " has no value");
                    std::string error;
                    if (!encodeValue(f.code, f.length, f.decimals, *layout.codePage, *values[b], e.values[b].data(), error))
                        refuse(where + ": its " + boundName(b) + " cannot be stored: " + error);
                    e.words[b] = kValueWord;
                    break;
                }
                case BoundKind::Today:
                    if (f.code != kDate) refuse(where + ": TODAY is a bound of date fields only");
                    e.words[b] = kTodayWord;
                    break;
                case BoundKind::Now:
                    if (f.code != kTime && f.code != kTimestamp)
                        refuse(where + ": NOW is a bound of time and timestamp fields only");
                    e.words[b] = kNowWord;
                    break;
                case BoundKind::None:
                    break;
            }
        }
        if (!c.picture.empty()) {
            if (f.isBlob()) refuse(where + ": a " + std::string(1, f.letter) + " field takes no picture");
            if (!layout.codePage->encode(c.picture, e.picture))
                refuse(where + ": its picture has a character that code page " + layout.codePage->name() + " cannot hold");
            if (e.picture.find('\0') != std::string::npos) refuse(where + ": its picture holds a NUL character");
            if (e.picture.size() > kMaxPicture)
                refuse(where + ": its picture is longer than " + std::to_string(kMaxPicture) + " characters");
        }
        if (!e.required && e.picture.empty() && e.words[0] == 0 && e.words[1] == 0 && e.words[2] == 0) continue;
        entries.push_back(std::move(e));
    }
    if (entries.empty()) return {};
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.field < b.field; });

    std::vector<std::uint8_t> out(kHeaderSize, 0);
    out[0x00] = layout.changeCount2;
    out[0x01] = layout.versionByte;
    out[0x02] = static_cast<std::uint8_t>(entries.size());
    storeLE32(out.data() + 0x03, layout.updateTime);
    storeLE16(out.data() + 0x07, static_cast<std::uint16_t>(n + 1));
    for (const Entry& e : entries) {
        const std::size_t at = out.size();
        out.resize(at + kEntryFixed, 0);
        std::uint8_t* p = out.data() + at;
        p[0x00] = static_cast<std::uint8_t>(e.field);
        p[0x01] = static_cast<std::uint8_t>(e.picture.empty() ? 0 : e.picture.size() + 1);
        p[0x02] = e.required ? 1 : 0;
        storeLE32(p + 0x0C, e.words[0]);
        storeLE32(p + 0x10, e.words[1]);
        storeLE32(p + 0x14, e.words[2]);
        storeLE32(p + 0x18, e.picture.empty() ? 0 : kValueWord);
        for (int b = 0; b < 3; ++b)
            if (e.words[b] != 0) out.insert(out.end(), e.values[b].begin(), e.values[b].end());
        if (!e.picture.empty()) {
            out.insert(out.end(), e.picture.begin(), e.picture.end());
            out.push_back(0);
        }
    }

    // The footer: the table's field list, so that a reader can tell the file still fits it.
    const std::size_t footer = out.size();
    storeLE32(out.data() + 0x09, static_cast<std::uint32_t>(footer));
    const std::size_t tableNameSize = layout.tableNameSize();
    std::size_t namesSize = tableNameSize;
    for (const Field& f : layout.fields) namesSize += f.nameBytes.size() + 1;
    out.resize(footer + 6 + 4 * n + tableNameSize, 0);
    std::uint8_t* p = out.data() + footer;
    storeLE16(p + 0, static_cast<std::uint16_t>(n));
    storeLE16(p + 2, static_cast<std::uint16_t>(layout.keyFields));
    storeLE16(p + 4, static_cast<std::uint16_t>(namesSize));
    for (std::size_t i = 0; i < n; ++i) {
        storeLE16(p + 6 + 2 * i, static_cast<std::uint16_t>(i + 1));
        p[6 + 2 * n + 2 * i] = layout.fields[i].code;
        p[6 + 2 * n + 2 * i + 1] = layout.fields[i].sizeByte;
    }
    const std::string tableName = layout.storedName(fileNamePart(layout.path));
    std::memcpy(p + 6 + 4 * n, tableName.data(), tableName.size());
    for (const Field& f : layout.fields) {
        out.insert(out.end(), f.nameBytes.begin(), f.nameBytes.end());
        out.push_back(0);
    }

    OutputFile file;
    file.name = layout.fileName("val");
    file.bytes = std::move(out);
    return file;
}

}  // namespace tavrinth::paradox::writer
