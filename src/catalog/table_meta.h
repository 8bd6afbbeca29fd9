#pragma once
// What a table says about itself beyond its fields: index definitions and validity checks.

#include <cstdint>
#include <string>
#include <vector>

#include "field_value.h"

namespace tavrinth {

// Index options as the data-access layer names them (a set of flags).
enum TIndexOption : std::uint8_t {
    ixPrimary = 0x01,
    ixUnique = 0x02,
    ixDescending = 0x04,
    ixCaseInsensitive = 0x08,
    ixExpression = 0x10,
    ixNonMaintained = 0x20,
};
using TIndexOptions = std::uint8_t;

struct TIndexDef {
    std::string Name;         // empty for a Paradox primary index
    std::string Fields;       // key field names joined by ";" (empty for an expression index)
    std::string Expression;   // the key expression of a dBase expression index
    std::string DescFields;   // fields sorted descending, joined by ";" (when only some are)
    std::string Filter;       // a dBase FOR clause
    std::string Source;       // the file the index lives in (".PX", ".X02", ".MDX" ...)
    TIndexOptions Options = 0;
    std::vector<int> fieldIndexes;  // 0-based positions of the key fields, in key order

    bool has(TIndexOption o) const { return (Options & o) != 0; }
};

// A bound of a validity check: absent, a value, or the current date / time at the moment of use.
enum class BoundKind : std::uint8_t { None, Value, Today, Now };

struct ValidityCheck {
    int field = 0;  // 0-based position of the field
    bool required = false;
    BoundKind minKind = BoundKind::None, maxKind = BoundKind::None, defaultKind = BoundKind::None;
    FieldValue minValue, maxValue, defaultValue;  // decoded as field values
    std::string picture;      // UTF-8
    std::uint8_t lookupType = 0;  // 0 none; else 1 + the lookup flags (private, all fields, help ...)
    std::string lookupTable;  // UTF-8

    bool empty() const {
        return !required && minKind == BoundKind::None && maxKind == BoundKind::None &&
               defaultKind == BoundKind::None && picture.empty() && lookupType == 0;
    }
};

// A referential-integrity rule of a Paradox table: this table's fields refer to the key of a master
// table (read from the dependent table's .VAL).
struct TableReference {
    std::string name;               // UTF-8
    std::vector<int> fields;        // 0-based positions of this table's fields
    std::string masterTable;        // the master table's file name as stored ("primary.db")
    std::vector<int> masterFields;  // 0-based positions of the master table's fields
    bool cascade = false;           // changes of the master's key cascade (else they are prohibited)
};

}  // namespace tavrinth
