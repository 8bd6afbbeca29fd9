#pragma once
// The validity check of one field of the open table, with its values as text, for the structure
// reports.

#include <cstdint>
#include <string>

namespace tavrinth {

class TTable;
class TField;

struct TValCheck {
    bool Required = false;
    bool HasDefault = false;
    bool HasMin = false;
    bool HasMax = false;
    std::string DefaultValue;  // meaningful only when HasDefault is set
    std::string MinValue;      // meaningful only when HasMin is set
    std::string MaxValue;      // meaningful only when HasMax is set
};

// Looks up the validity check of `field` in the validity-check list of the open `table`. Returns
// true when the list has an entry for the field: the four flags are then set from it and each text
// whose flag is set is filled (a later entry of the same field wins). Returns false and leaves
// `check` untouched otherwise. Engine errors are raised as EDBEngineError after the list is closed.
// `decimalSeparator` is the user's, for floating-point values.
bool GetFieldValCheck(TTable& table, TField& field, TValCheck& check, const std::string& decimalSeparator);

// A 256-byte value area of a validity-check record as text, by the field's engine logical type
// code: strings as they are; dates month/day/year ("TODAY" when negative); booleans True/False;
// integers in decimal; floats in the general format with up to 15 significant digits; times
// "h:m:s AM/PM" ("NOW" when negative); timestamps "m/d/y @ h:m:s AM/PM" ("NOW" when 0); other
// codes give an empty text.
std::string NativeValueText(const std::uint8_t* area, std::uint16_t typeCode, const std::string& decimalSeparator);

// A double in the general number format: up to 15 significant digits, no trailing zeros, the
// decimal separator only when needed, scientific notation ("1E20", "2.5E-7") when the number has
// more than 15 digits before the separator or is smaller than 0.00001.
std::string GeneralFloatText(double value, const std::string& decimalSeparator);

}  // namespace tavrinth
