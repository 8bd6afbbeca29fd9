#include "field_types.h"

namespace tavrinth {

const char* fieldTypeName(TFieldType type) {
    static const char* const names[kFieldTypeCount] = {
        "ftUnknown",  "ftString",     "ftSmallint",  "ftInteger",    "ftWord",      "ftBoolean",
        "ftFloat",    "ftCurrency",   "ftBCD",       "ftDate",       "ftTime",      "ftDateTime",
        "ftBytes",    "ftVarBytes",   "ftAutoInc",   "ftBlob",       "ftMemo",      "ftGraphic",
        "ftFmtMemo",  "ftParadoxOle", "ftDBaseOle",  "ftTypedBinary", "ftCursor",   "ftFixedChar",
        "ftWideString", "ftLargeint", "ftADT",       "ftArray",      "ftReference", "ftDataSet",
        "ftOraBlob",  "ftOraClob",    "ftVariant",   "ftInterface",  "ftIDispatch", "ftGuid",
    };
    const int i = static_cast<int>(type);
    return i < kFieldTypeCount ? names[i] : names[0];
}

}  // namespace tavrinth
