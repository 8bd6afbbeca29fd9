#pragma once
// Creating tables: a whole table family (the table, its BLOB or memo file, its indexes and
// validity checks) written from a description.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "field_value.h"
#include "table_file.h"
#include "table_meta.h"

namespace tavrinth {

struct ColumnSpec {
    std::string name;  // UTF-8
    char type = 0;     // Paradox: A N $ D S I # T @ L + M B F O G Y; dBase: C N F D L M B G I + O @
    int size = 0;      // Alpha, Bytes and BLOB sizes (bytes in the record), dBase widths
    int decimals = 0;  // BCD and dBase N/F decimals
};

inline ColumnSpec columnSpec(std::string name, char type, int size = 0, int decimals = 0) {
    return {std::move(name), type, size, decimals};
}

struct IndexSpec {
    // Paradox: a secondary index named after its single field (and without options) is a .Xnn
    // index; any other is a composite (.XGn) index with this name. dBase: the MDX tag name.
    std::string name;
    std::vector<std::string> fields;  // key fields, in key order
    bool caseInsensitive = false;     // Paradox
    bool descending = false;
    bool unique = false;
    std::string expression;           // dBase: a key expression instead of fields
};

inline IndexSpec indexSpec(std::string name, std::vector<std::string> fields, bool caseInsensitive = false,
                           bool descending = false, bool unique = false, std::string expression = {}) {
    IndexSpec i;
    i.name = std::move(name);
    i.fields = std::move(fields);
    i.caseInsensitive = caseInsensitive;
    i.descending = descending;
    i.unique = unique;
    i.expression = std::move(expression);
    return i;
}

struct CheckSpec {
    std::string field;  // the field's name
    bool required = false;
    BoundKind minKind = BoundKind::None, maxKind = BoundKind::None, defaultKind = BoundKind::None;
    FieldValue minValue, maxValue, defaultValue;
    std::string picture;
};

struct TableSpec {
    TableFormat format = TableFormat::Paradox;
    // Paradox: 5 or 7 (4 also accepted); dBase: 3 (III, with .DBT for memos), 4 (IV, .DBT and
    // a production .MDX for the indexes) or 7 (level 7, .DBT and .MDX).
    int level = 7;
    std::string codePage = "CP1252";  // a CodePage name
    int blockSizeKB = 4;              // Paradox data blocks: 1, 2, 4, 8, 16 or 32 (level 5+)
    std::vector<ColumnSpec> fields;
    int keyFields = 0;                // Paradox: the first keyFields fields form the primary key
    std::vector<IndexSpec> indexes;
    std::vector<CheckSpec> checks;    // Paradox .VAL; dBase 7 field properties
    std::vector<std::vector<FieldValue>> records;  // one value per field; written in key order
    std::vector<bool> deleted;        // dBase: records marked deleted (empty: none)
    std::string password;             // Paradox: an encrypted table (empty: not encrypted)
};

// Writes the table family at `path` (the .db or .dbf file; companions take its stem). Refuses
// (EDBEngineError) to overwrite an existing file, and a description the format cannot hold
// (names, sizes, types, values, duplicate keys) before anything is written.
void createTable(const std::string& path, const TableSpec& spec);

}  // namespace tavrinth
