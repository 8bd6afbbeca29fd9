#include "engine_api.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "byte_order.h"
#include "engine_error.h"
#include "file_io.h"
#include "table_file.h"
#include "value_text.h"

namespace tavrinth {

struct DbiDatabase {
    std::string folder;
    std::vector<DbiCursor*> tables;  // cursors of the tables open in this database
};

struct DbiCursor {
    enum class Kind { Table, CheckList } kind = Kind::Table;
    DbiDatabase* database = nullptr;
    // A table cursor.
    TableFile* table = nullptr;
    std::string tableName;
    // A list cursor.
    std::vector<VCHKDesc> checks;
    std::size_t next = 0;
};

namespace {

// The detail of the last failure on this thread, for the raised error's message.
thread_local std::string lastErrorContext;

DBIResult fail(DBIResult code, std::string context) {
    lastErrorContext = std::move(context);
    return code;
}

std::uint16_t boundFlag(BoundKind k) {
    switch (k) {
        case BoundKind::None: return 0;
        case BoundKind::Value: return 1;
        case BoundKind::Today: return TODAYVAL;
        case BoundKind::Now: return NOWVAL;
    }
    return 0;
}

void copyText(char* out, std::size_t capacity, const std::string& text) {
    // Cut at a character boundary so that the text stays valid UTF-8.
    std::size_t n = std::min(text.size(), capacity - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

double asDouble(const FieldValue& v) {
    switch (v.kind) {
        case ValueKind::Float: case ValueKind::DateTime: return v.real;
        case ValueKind::Currency: return static_cast<double>(v.integer) / 10000.0;
        case ValueKind::Bcd: case ValueKind::String: return std::atof(v.text.c_str());
        default: return static_cast<double>(v.integer);
    }
}

// The engine's native form of a bound for a field of this logical type.
void nativeValue(const FieldDef& f, BoundKind kind, const FieldValue& v, std::uint8_t* area) {
    std::memset(area, 0, 256);
    if (kind == BoundKind::Today || kind == BoundKind::Now) {
        // The current date / time: a negative date or time, a zero timestamp.
        if (f.logicalType == fld::DATE || f.logicalType == fld::TIME) storeLE32(area, static_cast<std::uint32_t>(-1));
        return;
    }
    if (kind == BoundKind::None || v.isNull()) return;
    switch (f.logicalType) {
        case fld::ZSTRING:
            copyText(reinterpret_cast<char*>(area), 256, v.text);
            break;
        case fld::DATE: case fld::TIME: case fld::INT32: case fld::UINT32:
            storeLE32(area, static_cast<std::uint32_t>(static_cast<std::int32_t>(
                                v.kind == ValueKind::Float ? std::llround(v.real) : v.integer)));
            break;
        case fld::INT16: case fld::UINT16: case fld::BOOL:
            storeLE16(area, static_cast<std::uint16_t>(static_cast<std::int16_t>(
                                v.kind == ValueKind::Float ? std::llround(v.real) : v.integer)));
            break;
        case fld::FLOAT: case fld::TIMESTAMP:
            storeLE64(area, doubleToBits(asDouble(v)));
            break;
        case fld::BCD: {
            // Precision, sign and places, then the digits two to a byte.
            const std::string& t = v.text;
            const bool negative = !t.empty() && t[0] == '-';
            const auto point = t.find('.');
            const int places = point == std::string::npos ? 0 : static_cast<int>(t.size() - point - 1);
            std::string digits;
            for (char c : t)
                if (c >= '0' && c <= '9') digits.push_back(c);
            if (digits.size() > 64) digits.resize(64);
            area[0] = static_cast<std::uint8_t>(digits.size());
            area[1] = static_cast<std::uint8_t>((negative ? 0x80 : 0) | (places & 0x3F));
            for (std::size_t i = 0; i < digits.size(); ++i) {
                const auto d = static_cast<std::uint8_t>(digits[i] - '0');
                area[2 + i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : d);
            }
            break;
        }
        case fld::BYTES: case fld::VARBYTES:
            std::memcpy(area, v.text.data(), std::min<std::size_t>(v.text.size(), 256));
            break;
        default:
            break;
    }
}

VCHKDesc toRecord(const ValidityCheck& c, const FieldDef& f) {
    VCHKDesc d;
    std::memset(&d, 0, sizeof d);
    d.iFldNum = static_cast<std::uint16_t>(c.field + 1);
    d.bRequired = c.required ? 1 : 0;
    d.bHasMinVal = boundFlag(c.minKind);
    d.bHasMaxVal = boundFlag(c.maxKind);
    d.bHasDefVal = boundFlag(c.defaultKind);
    nativeValue(f, c.minKind, c.minValue, d.aMinVal);
    nativeValue(f, c.maxKind, c.maxValue, d.aMaxVal);
    nativeValue(f, c.defaultKind, c.defaultValue, d.aDefVal);
    copyText(d.szPict, sizeof d.szPict, c.picture);
    d.elkupType = c.lookupType;
    copyText(d.szLkupTblName, sizeof d.szLkupTblName, c.lookupTable);
    return d;
}

// Two names of a table: equal ignoring case, or equal stems when one of them has no extension.
bool sameTable(const std::string& a, const std::string& b) {
    if (equalsIgnoreCase(a, b)) return true;
    return (extensionPart(a).empty() || extensionPart(b).empty()) && equalsIgnoreCase(stemPart(a), stemPart(b));
}

std::vector<VCHKDesc> checkRecords(const TableFile& table) {
    std::vector<VCHKDesc> out;
    for (const ValidityCheck& c : table.validityChecks())
        if (c.field >= 0 && static_cast<std::size_t>(c.field) < table.fields().size())
            out.push_back(toRecord(c, table.fields()[static_cast<std::size_t>(c.field)]));
    return out;
}

}  // namespace

// --- handles ------------------------------------------------------------------------------------

hDBIDb DbiNewDatabase(const std::string& folder) {
    auto* db = new DbiDatabase();
    db->folder = folder;
    return db;
}

void DbiFreeDatabase(hDBIDb& database) {
    delete database;
    database = nullptr;
}

hDBICur DbiNewTableCursor(hDBIDb database, TableFile& table, const std::string& tableName) {
    auto* c = new DbiCursor();
    c->kind = DbiCursor::Kind::Table;
    c->database = database;
    c->table = &table;
    c->tableName = tableName;
    if (database) database->tables.push_back(c);
    return c;
}

void DbiFreeTableCursor(hDBICur& cursor) {
    if (!cursor) return;
    if (cursor->database) {
        auto& t = cursor->database->tables;
        t.erase(std::remove(t.begin(), t.end(), cursor), t.end());
    }
    delete cursor;
    cursor = nullptr;
}

// --- operations ---------------------------------------------------------------------------------

DBIResult DbiGetCursorProps(hDBICur cursor, CURProps& props) {
    if (!cursor || cursor->kind != DbiCursor::Kind::Table || !cursor->table)
        return fail(DBIERR_INVALIDHNDL, "the cursor is not a table cursor");
    const TableFile& t = *cursor->table;
    std::memset(&props, 0, sizeof props);
    copyText(props.szName, sizeof props.szName, cursor->tableName);
    props.iFNameSize = sizeof props.szName;
    copyText(props.szTableType, sizeof props.szTableType, t.format() == TableFormat::Paradox ? szPARADOX : szDBASE);
    props.iFields = static_cast<std::uint16_t>(t.fields().size());
    props.iRecSize = static_cast<std::uint16_t>(t.recordSize());
    props.iRecBufSize = props.iRecSize;
    props.iValChecks = static_cast<std::uint16_t>(std::count_if(
        t.validityChecks().begin(), t.validityChecks().end(),
        [&](const ValidityCheck& c) { return c.field >= 0 && static_cast<std::size_t>(c.field) < t.fields().size(); }));
    props.iSeqNums = t.format() == TableFormat::Paradox ? 1 : 0;
    props.bSoftDeletes = t.format() == TableFormat::DBase ? 1 : 0;
    props.bProtected = t.password().empty() ? 0 : 1;
    props.iCodePage = 0;
    copyText(props.szLangDriver, sizeof props.szLangDriver, t.codePage().name());
    return DBIERR_NONE;
}

DBIResult DbiOpenVchkList(hDBIDb database, const char* tableName, const char* tableType, hDBICur& cursor) {
    cursor = nullptr;
    if (!database) return fail(DBIERR_INVALIDHNDL, "no database");
    if (!tableName) return fail(DBIERR_INVALIDPARAM, "no table name");
    (void)tableType;  // the table is found by name; its type is the table's own
    const std::string name = fileNamePart(tableName);
    auto list = std::make_unique<DbiCursor>();
    list->kind = DbiCursor::Kind::CheckList;
    list->database = database;
    // Answer from the table when it is open in this database.
    for (DbiCursor* open : database->tables) {
        if (open->table && sameTable(open->tableName, name)) {
            list->checks = checkRecords(*open->table);
            cursor = list.release();
            return DBIERR_NONE;
        }
    }
    // Otherwise read it from the table's files.
    std::string file = findInFolder(database->folder, name);
    if (file.empty() && extensionPart(name).empty())
        for (const char* ext : {".db", ".dbf"})
            if (file.empty()) file = findInFolder(database->folder, name + ext);
    if (file.empty()) return fail(DBIERR_NOSUCHTABLE, name);
    try {
        auto table = openTableFile(joinPath(database->folder, file));
        list->checks = checkRecords(*table);
    } catch (const EDBEngineError& e) {
        return fail(DBIERR_READERR, e.what());
    }
    cursor = list.release();
    return DBIERR_NONE;
}

DBIResult DbiGetNextRecord(hDBICur cursor, DBILockType, void* buffer, void*) {
    if (!cursor || cursor->kind != DbiCursor::Kind::CheckList) return fail(DBIERR_INVALIDHNDL, "not a list cursor");
    if (cursor->next >= cursor->checks.size()) return DBIERR_EOF;
    std::memcpy(buffer, &cursor->checks[cursor->next++], sizeof(VCHKDesc));
    return DBIERR_NONE;
}

DBIResult DbiGetFieldDescs(hDBICur cursor, FLDDesc* descriptors) {
    if (!cursor || cursor->kind != DbiCursor::Kind::Table || !cursor->table)
        return fail(DBIERR_INVALIDHNDL, "the cursor is not a table cursor");
    std::uint16_t offset = 0;
    const auto& fields = cursor->table->fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldDef& f = fields[i];
        FLDDesc& d = descriptors[i];
        std::memset(&d, 0, sizeof d);
        d.iFldNum = static_cast<std::uint16_t>(i + 1);
        copyText(d.szName, sizeof d.szName, f.name);
        d.iFldType = f.logicalType;
        d.iSubType = f.subType;
        d.iUnits1 = static_cast<std::int16_t>(f.dataType == ftBCD ? 32 : f.size);
        d.iUnits2 = static_cast<std::int16_t>(f.dataType == ftBCD ? f.size : f.decimals);
        d.iOffset = offset;
        d.iLen = static_cast<std::uint16_t>(f.dataSize);
        offset = static_cast<std::uint16_t>(offset + f.dataSize);
    }
    return DBIERR_NONE;
}

DBIResult DbiCloseCursor(hDBICur& cursor) {
    if (!cursor) return fail(DBIERR_INVALIDHNDL, "no cursor");
    if (cursor->kind != DbiCursor::Kind::CheckList)
        return fail(DBIERR_INVALIDPARAM, "a table cursor is closed by closing its table");
    delete cursor;
    cursor = nullptr;
    return DBIERR_NONE;
}

DBIResult DbiDateDecode(DBIDATE date, std::uint16_t& month, std::uint16_t& day, std::int16_t& year) {
    const CivilDate c = civilFromDayNumber(date);
    if (c.year < -32768 || c.year > 32767) return fail(DBIERR_INVALIDDATE, std::to_string(date));
    month = static_cast<std::uint16_t>(c.month);
    day = static_cast<std::uint16_t>(c.day);
    year = static_cast<std::int16_t>(c.year);
    return DBIERR_NONE;
}

DBIResult DbiTimeDecode(DBITIME time, std::uint16_t& hour, std::uint16_t& minute, std::uint16_t& milliseconds) {
    if (time < 0 || time >= kMillisecondsPerDay) return fail(DBIERR_INVALIDTIME, std::to_string(time));
    hour = static_cast<std::uint16_t>(time / 3600000);
    minute = static_cast<std::uint16_t>(time / 60000 % 60);
    milliseconds = static_cast<std::uint16_t>(time % 60000);
    return DBIERR_NONE;
}

DBIResult DbiTimeStampDecode(DBITIMESTAMP timeStamp, DBIDATE& date, DBITIME& time) {
    std::int64_t days, ms;
    if (!splitTimestamp(timeStamp, days, ms)) return fail(DBIERR_INVALIDDATE, "timestamp");
    date = static_cast<DBIDATE>(days);
    time = static_cast<DBITIME>(ms);
    return DBIERR_NONE;
}

std::string DbiErrorMessage(DBIResult result) {
    switch (result) {
        case DBIERR_NONE: return "No error";
        case DBIERR_EOF: return "At end of table";
        case DBIERR_INVALIDPARAM: return "Invalid parameter";
        case DBIERR_INVALIDHNDL: return "Invalid handle to the function";
        case DBIERR_INVALIDDATE: return "Invalid date";
        case DBIERR_INVALIDTIME: return "Invalid time";
        case DBIERR_NOSUCHTABLE: return "Table does not exist";
        case DBIERR_READERR: return "Cannot read the table";
        default: {
            char buf[48];
            std::snprintf(buf, sizeof buf, "Engine error $%04X", result);
            return buf;
        }
    }
}

void Check(DBIResult result) {
    if (result == DBIERR_NONE) return;
    std::string message = DbiErrorMessage(result);
    if (!lastErrorContext.empty()) message += ".\n" + lastErrorContext;
    lastErrorContext.clear();
    throw EDBEngineError(result == DBIERR_NOSUCHTABLE ? EDBEngineError::Code::NotFound : EDBEngineError::Code::General,
                         message);
}

}  // namespace tavrinth
