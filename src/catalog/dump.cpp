#include "dump.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "chunk_pipeline.h"
#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "value_text.h"

namespace tavrinth {

namespace {

bool digitsAt(const std::string& s, std::size_t at, std::size_t n, int& value) {
    if (at + n > s.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// YYYY-MM-DD (years 0001..9999, or with a minus sign and more digits) at the start of s.
bool parseDate(const std::string& s, std::size_t& end, std::int64_t& dayNumber) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && s[i] == '-') {
        negative = true;
        ++i;
    }
    const std::size_t yearStart = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i - yearStart < 4 || i - yearStart > 6 || i >= s.size() || s[i] != '-') return false;
    std::int64_t year = std::stoll(s.substr(yearStart, i - yearStart));
    if (negative) year = -year;
    int month, day;
    if (!digitsAt(s, i + 1, 2, month) || s.size() < i + 6 || s[i + 3] != '-' || !digitsAt(s, i + 4, 2, day)) return false;
    if (!isValidCivilDate(year, month, day)) return false;
    dayNumber = dayNumberFromCivil(year, month, day);
    end = i + 6;
    return true;
}

// HH:MM:SS with an optional .m, .mm or .mmm, from `at` to the end of s.
bool parseTime(const std::string& s, std::size_t at, std::int64_t& ms) {
    int h, m, sec, frac = 0;
    if (!digitsAt(s, at, 2, h) || s.size() < at + 8 || s[at + 2] != ':' || !digitsAt(s, at + 3, 2, m) ||
        s[at + 5] != ':' || !digitsAt(s, at + 6, 2, sec))
        return false;
    std::size_t i = at + 8;
    if (i < s.size()) {
        if (s[i] != '.' || s.size() - i - 1 < 1 || s.size() - i - 1 > 3) return false;
        const std::size_t n = s.size() - i - 1;
        if (!digitsAt(s, i + 1, n, frac)) return false;
        for (std::size_t k = n; k < 3; ++k) frac *= 10;
    }
    if (h > 23 || m > 59 || sec > 59) return false;
    ms = ((h * 60 + m) * 60 + sec) * 1000LL + frac;
    return true;
}

bool isIntegerText(const std::string& s) {
    std::size_t i = s.size() > 0 && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool isDecimalText(const std::string& s) {
    std::size_t i = s.size() > 0 && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    bool digits = false, point = false;
    for (; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9') digits = true;
        else if (s[i] == '.' && !point) point = true;
        else return false;
    }
    return digits;
}

}  // namespace

bool parseDumpValue(const FieldDef& f, const std::string& text, FieldValue& out, std::string& error) {
    if (text == "\\N") {
        out.setNull();
        return true;
    }
    auto bad = [&](const char* what) {
        error = "'" + text + "' is not " + what;
        return false;
    };
    switch (f.dataType) {
        case ftString: case ftFixedChar: case ftWideString: case ftMemo: case ftFmtMemo:
            out.setText(ValueKind::String);
            out.text = text;
            return true;
        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: {
            if (!isIntegerText(text)) return bad("a whole number");
            // isIntegerText allows a leading '+', which from_chars does not read.
            long long v = 0;
            const char* from = text.data() + (text[0] == '+' ? 1 : 0);
            const auto [at, ec] = std::from_chars(from, text.data() + text.size(), v);
            if (ec != std::errc() || at != text.data() + text.size()) return bad("a number in range");
            out.setInteger(v);
            return true;
        }
        case ftFloat: case ftCurrency: {
            if (f.typeLetter == 'Y') {  // FoxPro currency: an exact decimal with up to 4 places
                if (!isDecimalText(text)) return bad("a number");
                const auto point = text.find('.');
                std::string whole = point == std::string::npos ? text : text.substr(0, point);
                std::string frac = point == std::string::npos ? std::string() : text.substr(point + 1);
                if (frac.size() > 4) return bad("a currency value with at most 4 decimals");
                frac.append(4 - frac.size(), '0');
                errno = 0;
                const long long v = std::strtoll((whole + frac).c_str(), nullptr, 10);
                if (errno == ERANGE) return bad("a currency value in range");
                out.setInteger(v, ValueKind::Currency);
                return true;
            }
            if (isIntegerText(text)) {
                long long v = 0;
                const char* from = text.data() + (text[0] == '+' ? 1 : 0);
                const auto [at, ec] = std::from_chars(from, text.data() + text.size(), v);
                if (ec == std::errc() && at == text.data() + text.size()) {
                    out.setInteger(v);
                    return true;
                }
            }
            {
                // A plain decimal number read at once (the same correctly rounded double).
                double d = 0;
                const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
                if (ec == std::errc() && at == text.data() + text.size() && std::isfinite(d) &&
                    text.find_first_of("nN") == std::string::npos) {
                    out.setReal(d);
                    return true;
                }
            }
            char* end = nullptr;
            const double d = std::strtod(text.c_str(), &end);
            if (text.empty() || !end || *end != 0 || !std::isfinite(d) || text.find_first_of("xXpPnN") != std::string::npos)
                return bad("a number");
            out.setReal(d);
            return true;
        }
        case ftBCD:
            if (!isDecimalText(text)) return bad("a decimal number");
            out.setText(ValueKind::Bcd);
            out.text = text;
            return true;
        case ftBoolean:
            if (text == "T") out.setInteger(1, ValueKind::Boolean);
            else if (text == "F") out.setInteger(0, ValueKind::Boolean);
            else return bad("a logical value (T or F)");
            return true;
        case ftDate: {
            std::size_t end = 0;
            std::int64_t day;
            if (!parseDate(text, end, day) || end != text.size()) return bad("a date (YYYY-MM-DD)");
            out.setInteger(day, ValueKind::Date);
            return true;
        }
        case ftTime: {
            std::int64_t ms;
            if (!parseTime(text, 0, ms)) return bad("a time (HH:MM:SS or HH:MM:SS.mmm)");
            out.setInteger(ms, ValueKind::Time);
            return true;
        }
        case ftDateTime: {
            std::size_t end = 0;
            std::int64_t day, ms;
            if (!parseDate(text, end, day) || end >= text.size() || text[end] != 'T' || !parseTime(text, end + 1, ms))
                return bad("a timestamp (YYYY-MM-DDTHH:MM:SS or with .mmm)");
            out.setReal(static_cast<double>(day * kMillisecondsPerDay + ms), ValueKind::DateTime);
            return true;
        }
        case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
        case ftTypedBinary: {
            // Bytes as <hex 0A1B...> (the dump's <binary ...> summary cannot be read back).
            if (text.size() < 6 || text.compare(0, 5, "<hex ") != 0 || text.back() != '>' || text.size() % 2 != 0)
                return bad("binary data given as <hex HEX>");
            out.setText(ValueKind::Binary);
            auto nibble = [](char c) {
                return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            };
            for (std::size_t i = 5; i + 1 < text.size(); i += 2) {
                const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
                if (hi < 0 || lo < 0) return bad("binary data given as <hex HEX>");
                out.text.push_back(static_cast<char>(hi * 16 + lo));
            }
            return true;
        }
        default:
            error = std::string("values of ") + fieldTypeName(f.dataType) + " fields cannot be given as text";
            return false;
    }
}

void appendCsvField(std::string& line, const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        line += field;
        return;
    }
    line.push_back('"');
    for (char c : field) {
        if (c == '"') line.push_back('"');
        line.push_back(c);
    }
    line.push_back('"');
}

void writeDump(TableFile& table, const std::function<void(const std::string&)>& sink) {
    const auto& fields = table.fields();
    auto* dbf = dynamic_cast<dbase::DBaseTable*>(&table);
    const std::size_t columns = fields.size() + (dbf ? 1 : 0);
    std::string buf;
    buf.reserve(1 << 16);
    // The field names; a single name that is empty is written "".
    if (dbf) buf += "_deleted";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (dbf || i > 0) buf.push_back(',');
        appendCsvField(buf, fields[i].name);
    }
    if (buf.empty()) buf += "\"\"";
    buf += "\r\n";

    // The records are decoded by this thread and written as text by a second one, a chunk at a
    // time (runChunkPipeline). Decoding a dBase table takes longer than writing its text, so of
    // every third chunk this thread only copies the records, and the second thread decodes their
    // values (those in the record alone; this thread decodes the memos, which need the table).
    constexpr std::uint32_t kChunkRecords = 1024;
    constexpr int kChunks = 4;
    struct Chunk {
        std::vector<FieldValue> values;  // record by record
        std::vector<std::uint8_t> flags;  // dBase: the flag byte of each record
        std::vector<std::uint8_t> bytes;  // the records, when the second thread decodes them
        bool deferred = false;
        std::uint32_t records = 0;
    };
    Chunk chunks[kChunks];
    const std::uint32_t total = dbf ? dbf->physicalCount() : table.recordCount();
    const std::size_t recordSize = table.recordSize();
    std::vector<char> inRecord(fields.size(), 0);
    std::exception_ptr readError;
    if (dbf)
        for (std::size_t i = 0; i < fields.size(); ++i) inRecord[i] = dbf->valueInRecord(i);
    runChunkPipeline(
        total, kChunkRecords, kChunks,
        [&](int slot, std::uint32_t chunk, std::uint32_t first, std::uint32_t count) {
            Chunk& c = chunks[slot];
            c.records = 0;
            if (readError) return;  // after a record that cannot be read, nothing more is
            c.deferred = dbf && chunk % 3 == 2;
            c.values.resize(static_cast<std::size_t>(count) * fields.size());
            c.flags.resize(count);
            if (c.deferred) c.bytes.resize(static_cast<std::size_t>(count) * recordSize);
            FieldValue* v = c.values.data();
            try {
                for (std::uint32_t r = 0; r < count; ++r, ++c.records) {
                    const std::uint8_t* rec = dbf ? dbf->physicalRecord(first + r) : table.record(first + r);
                    if (dbf) c.flags[r] = rec[0];
                    if (c.deferred) std::memcpy(c.bytes.data() + r * recordSize, rec, recordSize);
                    for (std::size_t i = 0; i < fields.size(); ++i, ++v)
                        if (!c.deferred || !inRecord[i]) table.decode(rec, i, *v);
                }
            } catch (...) {
                // The records before it are still written; the error comes after them.
                readError = std::current_exception();
            }
        },
        [&](int slot) {
            Chunk& c = chunks[slot];
            if (c.deferred) {
                FieldValue* d = c.values.data();
                for (std::uint32_t r = 0; r < c.records; ++r)
                    for (std::size_t i = 0; i < fields.size(); ++i, ++d)
                        if (inRecord[i]) dbf->decodeFromRecord(c.bytes.data() + r * recordSize, i, *d);
            }
            const FieldValue* v = c.values.data();
            // The text is written into room made ahead at the end of buf: up to p, room to limit.
            char* p = buf.data() + buf.size();
            char* limit = p;
            auto makeRoom = [&](std::size_t n) {
                if (static_cast<std::size_t>(limit - p) >= n) return;
                const auto used = static_cast<std::size_t>(p - buf.data());
                buf.resize(used + std::max<std::size_t>(n, 1 << 16));
                p = buf.data() + used;
                limit = buf.data() + buf.size();
            };
            for (std::uint32_t r = 0; r < c.records; ++r) {
                makeRoom(24);
                const auto lineStart = static_cast<std::size_t>(p - buf.data());
                if (dbf) {
                    if (c.flags[r] == '*') {
                        *p++ = '*';
                    } else if (c.flags[r] != ' ') {
                        p += std::snprintf(p, 16, "flag=%02X", c.flags[r]);
                    }
                }
                for (std::size_t i = 0; i < fields.size(); ++i, ++v) {
                    makeRoom(dumpValueTextBound(*v) + 1);
                    if (dbf || i > 0) *p++ = ',';
                    p = writeDumpValueText(p, *v, true);
                }
                makeRoom(4);
                // A record whose only field is empty is written "".
                if (columns == 1 && static_cast<std::size_t>(p - buf.data()) == lineStart) {
                    *p++ = '"';
                    *p++ = '"';
                }
                *p++ = '\r';
                *p++ = '\n';
                if (static_cast<std::size_t>(p - buf.data()) >= (1 << 16) - 4096) {
                    buf.resize(static_cast<std::size_t>(p - buf.data()));
                    sink(buf);
                    buf.clear();
                    p = limit = buf.data();
                }
            }
            buf.resize(static_cast<std::size_t>(p - buf.data()));
        });
    if (!buf.empty()) sink(buf);
    if (readError) std::rethrow_exception(readError);
}

void writeDump(TableFile& table, std::FILE* out) {
    writeDump(table, [out](const std::string& piece) {
        if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size())
            throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write the dump: output error");
    });
}

}  // namespace tavrinth
