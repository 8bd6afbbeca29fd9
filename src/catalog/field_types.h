#pragma once
// Field types as the data-access layer reports them (TFieldType) and as the engine describes
// them (logical type codes and subtypes).

#include <cstdint>
#include <string>

namespace tavrinth {

enum TFieldType : std::uint8_t {
    ftUnknown = 0,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString,
    ftLargeint,
    ftADT,
    ftArray,
    ftReference,
    ftDataSet,
    ftOraBlob,
    ftOraClob,
    ftVariant,
    ftInterface,
    ftIDispatch,
    ftGuid,
};

inline constexpr int kFieldTypeCount = 36;

// "ftString" ...; "ftUnknown" for a value out of range.
const char* fieldTypeName(TFieldType type);

// The engine's logical field types (the codes its field descriptors carry).
namespace fld {
inline constexpr std::uint16_t UNKNOWN = 0;
inline constexpr std::uint16_t ZSTRING = 1;
inline constexpr std::uint16_t DATE = 2;
inline constexpr std::uint16_t BLOB = 3;
inline constexpr std::uint16_t BOOL = 4;
inline constexpr std::uint16_t INT16 = 5;
inline constexpr std::uint16_t INT32 = 6;
inline constexpr std::uint16_t FLOAT = 7;
inline constexpr std::uint16_t BCD = 8;
inline constexpr std::uint16_t BYTES = 9;
inline constexpr std::uint16_t TIME = 10;
inline constexpr std::uint16_t TIMESTAMP = 11;
inline constexpr std::uint16_t UINT16 = 12;
inline constexpr std::uint16_t UINT32 = 13;
inline constexpr std::uint16_t FLOATIEEE = 14;
inline constexpr std::uint16_t VARBYTES = 15;
inline constexpr std::uint16_t LOCKINFO = 16;
inline constexpr std::uint16_t INT64 = 18;

// Subtypes.
inline constexpr std::uint16_t stNONE = 0;
inline constexpr std::uint16_t stMONEY = 21;
inline constexpr std::uint16_t stMEMO = 22;
inline constexpr std::uint16_t stBINARY = 23;
inline constexpr std::uint16_t stFMTMEMO = 24;
inline constexpr std::uint16_t stOLEOBJ = 25;
inline constexpr std::uint16_t stGRAPHIC = 26;
inline constexpr std::uint16_t stDBSOLEOBJ = 27;
inline constexpr std::uint16_t stAUTOINC = 29;
}  // namespace fld

}  // namespace tavrinth
