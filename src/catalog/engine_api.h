#pragma once
// Direct engine operations and the engine's own records, for code that reads what the data-access
// layer does not offer (validity checks, field descriptors, date and time decoding).
//
// Each operation returns a result code, DBIERR_NONE (0) meaning success; Check() turns any other
// code into a raised EDBEngineError. The records have the engine's byte layouts (little-endian),
// checked at compile time.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrinth {

class TableFile;

using DBIResult = std::uint16_t;
inline constexpr DBIResult DBIERR_NONE = 0;
inline constexpr DBIResult DBIERR_INVALIDPARAM = 0x2102;
inline constexpr DBIResult DBIERR_INVALIDHNDL = 0x2106;
inline constexpr DBIResult DBIERR_INVALIDDATE = 0x2208;
inline constexpr DBIResult DBIERR_INVALIDTIME = 0x2209;
inline constexpr DBIResult DBIERR_EOF = 0x2202;
inline constexpr DBIResult DBIERR_NOSUCHTABLE = 0x2729;
inline constexpr DBIResult DBIERR_READERR = 0x2802;

using DBIDATE = std::int32_t;    // day number, 1 January 0001 = 1
using DBITIME = std::int32_t;    // milliseconds since midnight
using DBITIMESTAMP = double;     // milliseconds: day number x 86 400 000 + time

// Values of bHasMinVal, bHasMaxVal and bHasDefVal beyond true: the bound is today / now.
inline constexpr std::uint16_t TODAYVAL = 2;
inline constexpr std::uint16_t NOWVAL = 3;

// The table type texts of the two drivers.
inline constexpr const char* szPARADOX = "PARADOX";
inline constexpr const char* szDBASE = "DBASE";

struct DbiCursor;
struct DbiDatabase;
using hDBICur = DbiCursor*;
using hDBIDb = DbiDatabase*;

#pragma pack(push, 1)

// Cursor properties.
struct CURProps {
    char szName[261];        // table name
    std::uint16_t iFNameSize;
    char szTableType[32];    // "PARADOX" / "DBASE"
    std::uint16_t iFields;
    std::uint16_t iRecSize;
    std::uint16_t iRecBufSize;
    std::uint16_t iKeySize;
    std::uint16_t iIndexes;
    std::uint16_t iValChecks;
    std::uint16_t iRefIntChecks;
    std::uint16_t iBookMarkSize;
    std::uint16_t bBookMarkStable;
    std::uint32_t eOpenMode;
    std::uint32_t eShareMode;
    std::uint16_t bIndexed;
    std::int16_t iSeqNums;
    std::uint16_t bSoftDeletes;
    std::uint16_t bDeletedOn;
    std::uint16_t iRefRange;
    std::uint32_t exltMode;
    std::uint16_t iRestrVersion;
    std::uint16_t bUniDirectional;
    std::uint16_t eprvRights;
    std::uint16_t Dummy4;
    std::uint16_t iFmlRights;
    std::uint16_t iPasswords;
    std::uint16_t iCodePage;
    std::uint16_t bProtected;
    std::uint16_t iTblLevel;
    char szLangDriver[32];
    std::uint16_t bFieldMap;
    std::uint16_t iBlockSize;
    std::uint16_t bStrictRefInt;
    std::uint16_t iFilters;
    std::uint16_t bTempTable;
    std::uint16_t iUnUsed[16];
};

// One validity check of a field.
struct VCHKDesc {
    std::uint16_t iFldNum;      // the field's number, from 1
    std::uint16_t bRequired;
    std::uint16_t bHasMinVal;   // 0, 1, TODAYVAL or NOWVAL
    std::uint16_t bHasMaxVal;
    std::uint16_t bHasDefVal;
    std::uint8_t aMinVal[256];  // values in the engine's native form for the field's logical type
    std::uint8_t aMaxVal[256];
    std::uint8_t aDefVal[256];
    char szPict[176];
    std::uint32_t elkupType;
    char szLkupTblName[261];
};

// One field of a cursor.
struct FLDDesc {
    std::uint16_t iFldNum;
    char szName[32];
    std::uint16_t iFldType;   // logical type code
    std::uint16_t iSubType;
    std::int16_t iUnits1;     // characters, precision ...
    std::int16_t iUnits2;     // decimals
    std::uint16_t iOffset;
    std::uint16_t iLen;
    std::uint16_t iNullOffset;
    std::uint32_t efldvVchk;
    std::uint32_t efldrRights;
    std::uint16_t bCalcField;
    std::uint16_t iUnUsed[2];
};

#pragma pack(pop)

static_assert(offsetof(CURProps, szTableType) == 263, "table type text at byte 263");
static_assert(offsetof(CURProps, iFields) == 295, "field count at byte 295");
static_assert(offsetof(CURProps, iValChecks) == 305, "validity-check count at byte 305");
static_assert(sizeof(VCHKDesc) == 1219, "a validity-check record is 1219 bytes");
static_assert(offsetof(VCHKDesc, iFldNum) == 0 && offsetof(VCHKDesc, bRequired) == 2 &&
                  offsetof(VCHKDesc, bHasMinVal) == 4 && offsetof(VCHKDesc, bHasMaxVal) == 6 &&
                  offsetof(VCHKDesc, bHasDefVal) == 8,
              "the validity-check flags");
static_assert(offsetof(VCHKDesc, aMinVal) == 10 && offsetof(VCHKDesc, aMaxVal) == 266 &&
                  offsetof(VCHKDesc, aDefVal) == 522 && offsetof(VCHKDesc, szPict) == 778,
              "the validity-check value areas");
static_assert(sizeof(FLDDesc) == 62, "a field descriptor is 62 bytes");
static_assert(offsetof(FLDDesc, iFldType) == 34, "logical type code at byte 34");

enum DBILockType : std::uint32_t { dbiNOLOCK = 0, dbiREADLOCK = 1, dbiWRITELOCK = 2 };

// 1. The properties of a table's cursor.
DBIResult DbiGetCursorProps(hDBICur cursor, CURProps& props);
// 2. A cursor over the validity checks (VCHKDesc records) of a table of the database. The engine
//    answers from the table when it is open in that database.
DBIResult DbiOpenVchkList(hDBIDb database, const char* tableName, const char* tableType, hDBICur& cursor);
// 3. The next record of a list cursor into `buffer` (one whole record); DBIERR_EOF at the end.
DBIResult DbiGetNextRecord(hDBICur cursor, DBILockType lock, void* buffer, void* recordProperties);
// 4. The field descriptors of a table's cursor, in table order, into an array of iFields entries.
DBIResult DbiGetFieldDescs(hDBICur cursor, FLDDesc* descriptors);
// 5. Closes a list cursor (table cursors belong to their table object) and clears the handle.
DBIResult DbiCloseCursor(hDBICur& cursor);
// 6-8. Date and time decoding.
DBIResult DbiDateDecode(DBIDATE date, std::uint16_t& month, std::uint16_t& day, std::int16_t& year);
DBIResult DbiTimeDecode(DBITIME time, std::uint16_t& hour, std::uint16_t& minute, std::uint16_t& milliseconds);
DBIResult DbiTimeStampDecode(DBITIMESTAMP timeStamp, DBIDATE& date, DBITIME& time);

// The data-access layer's check: raises EDBEngineError carrying the engine's message for any
// result but DBIERR_NONE.
void Check(DBIResult result);
// The engine's message for a result code.
std::string DbiErrorMessage(DBIResult result);

// --- handles (made by the table object) ----------------------------------------------------------

// A database: the folder of its tables and the tables open in it.
hDBIDb DbiNewDatabase(const std::string& folder);
void DbiFreeDatabase(hDBIDb& database);
// A cursor over an open table file, registered with its database under the table's name.
hDBICur DbiNewTableCursor(hDBIDb database, TableFile& table, const std::string& tableName);
void DbiFreeTableCursor(hDBICur& cursor);

}  // namespace tavrinth
