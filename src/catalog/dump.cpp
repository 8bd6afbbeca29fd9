#include "dump.h"

#include <cmath>
#include <cstring>

#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "number_text.h"
#include "sha1.h"

namespace tavrinth {

namespace {

void appendTwo(std::string& s, int v) {
    s.push_back(static_cast<char>('0' + v / 10));
    s.push_back(static_cast<char>('0' + v % 10));
}

void appendDate(std::string& s, std::int64_t dayNumber) {
    const CivilDate c = civilFromDayNumber(dayNumber);
    char buf[32];
    if (c.year < 0)
        std::snprintf(buf, sizeof buf, "-%04lld", static_cast<long long>(-c.year));
    else
        std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(c.year));
    s += buf;
    s.push_back('-');
    appendTwo(s, c.month);
    s.push_back('-');
    appendTwo(s, c.day);
}

void appendTime(std::string& s, std::int64_t ms) {
    appendTwo(s, static_cast<int>(ms / 3600000));
    s.push_back(':');
    appendTwo(s, static_cast<int>(ms / 60000 % 60));
    s.push_back(':');
    appendTwo(s, static_cast<int>(ms / 1000 % 60));
    s.push_back('.');
    const int frac = static_cast<int>(ms % 1000);
    s.push_back(static_cast<char>('0' + frac / 100));
    appendTwo(s, frac % 100);
}

void appendHex(std::string& s, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 0xF]);
    }
}

}  // namespace

std::string dumpValueText(const FieldValue& v) {
    std::string s;
    switch (v.kind) {
        case ValueKind::Null: return "\\N";
        case ValueKind::String: case ValueKind::Bcd: return v.text;
        case ValueKind::Integer: return std::to_string(v.integer);
        case ValueKind::Float: return shortestDoubleText(v.real);
        case ValueKind::Currency: return scaledIntegerText(v.integer, 4);
        case ValueKind::Boolean: return v.integer ? "T" : "F";
        case ValueKind::Date: appendDate(s, v.integer); return s;
        case ValueKind::Time:
            if (v.integer < 0 || v.integer >= kMillisecondsPerDay) return "<invalid time " + std::to_string(v.integer) + ">";
            appendTime(s, v.integer);
            return s;
        case ValueKind::DateTime: {
            if (!std::isfinite(v.real) || std::fabs(v.real) > 1e17) return "<invalid timestamp>";
            const auto ms = static_cast<std::int64_t>(std::llround(v.real));
            std::int64_t days = ms / kMillisecondsPerDay;
            std::int64_t rest = ms % kMillisecondsPerDay;
            if (rest < 0) {
                rest += kMillisecondsPerDay;
                --days;
            }
            appendDate(s, days);
            s.push_back('T');
            appendTime(s, rest);
            return s;
        }
        case ValueKind::Binary:
            return "<binary " + std::to_string(v.text.size()) + " bytes sha1=" + sha1Hex(v.text) + ">";
        case ValueKind::Invalid:
            s = "<invalid ";
            appendHex(s, v.text);
            s.push_back('>');
            return s;
        case ValueKind::MissingBlob: return "<missing blob>";
    }
    return s;
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
    // Ends the record that began at lineStart; a record whose only field is empty is written "".
    auto finish = [&](std::size_t lineStart) {
        if (columns == 1 && buf.size() == lineStart) buf += "\"\"";
        buf += "\r\n";
        if (buf.size() >= (1 << 16) - 4096) {
            sink(buf);
            buf.clear();
        }
    };

    if (dbf) buf += "_deleted";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (dbf || i > 0) buf.push_back(',');
        appendCsvField(buf, fields[i].name);
    }
    finish(0);

    FieldValue value;
    auto writeFields = [&](const std::uint8_t* rec, bool leadingComma) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (leadingComma || i > 0) buf.push_back(',');
            table.decode(rec, i, value);
            appendCsvField(buf, dumpValueText(value));
        }
    };
    if (dbf) {
        for (std::uint32_t r = 0; r < dbf->physicalCount(); ++r) {
            const std::uint8_t* rec = dbf->physicalRecord(r);
            const std::size_t lineStart = buf.size();
            if (rec[0] == '*') {
                buf.push_back('*');
            } else if (rec[0] != ' ') {
                char flag[16];
                std::snprintf(flag, sizeof flag, "flag=%02X", rec[0]);
                buf += flag;
            }
            writeFields(rec, true);
            finish(lineStart);
        }
    } else {
        for (std::uint32_t r = 0; r < table.recordCount(); ++r) {
            const std::size_t lineStart = buf.size();
            writeFields(table.record(r), false);
            finish(lineStart);
        }
    }
    if (!buf.empty()) sink(buf);
}

void writeDump(TableFile& table, std::FILE* out) {
    writeDump(table, [out](const std::string& piece) {
        if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size())
            throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write the dump: output error");
    });
}

}  // namespace tavrinth
