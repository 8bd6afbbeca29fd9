#pragma once
// Field values on their way into a target column and back: the column a field becomes, a value
// as the target takes it, and a cell read back as the field value it stands for.

#include <string>
#include <vector>

#include "field_value.h"
#include "table_file.h"
#include "target.h"

namespace tavrinth::migrate {

// The column a field becomes (the name is left to the caller).
ColumnPlan columnForField(const FieldDef& field, TableFormat format, int position);

// The columns a table becomes: "_deleted" first when dBase deleted records go too (and the
// table is dBase), then one per field, named as the fields are (in lower case when asked).
std::vector<ColumnPlan> columnsOf(const TableFile& table, const MigrateOptions& options);

// The value as the column takes it. False when the column cannot take it (a value that is no
// valid value of its field, one kept in a missing file, a date out of the years 1 to 9999, a
// number out of the column's range ...), with why in `why`; the target then gets NULL.
bool toOutValue(const ColumnPlan& column, const FieldValue& value, OutValue& out, std::string& why);

// The field value a cell read back stands for. `hint` is the kind of the source value the cell
// was loaded from (a number column holds integers and reals alike; a byte column texts and bytes).
FieldValue fromCell(const ColumnPlan& column, const Cell& cell, ValueKind hint);

// A plain decimal [-]digits[.digits] from a number text (an exponent is worked in, leading zeros
// and a trailing point are dropped); false when the text is no finite number.
bool plainDecimal(const std::string& text, std::string& out);

// Text forms of dates and times the targets read: YYYY-MM-DD, HH:MM:SS.mmm, YYYY-MM-DD HH:MM:SS.mmm.
std::string dateText(std::int64_t dayNumber);
std::string timeText(std::int64_t msOfDay);

}  // namespace tavrinth::migrate
