#pragma once
// Field properties of dBase 7 tables (required, minimum, maximum, default), kept in the header
// after the field descriptors.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

// One check per field that has any property, in field order. Tables without the block give
// none; a damaged block gives none, with a warning.
std::vector<ValidityCheck> readFieldProperties(const ByteSource& dbf, const Header& table,
                                               const std::vector<RawField>& raw, const std::vector<FieldDef>& fields,
                                               const CodePage& codePage, std::vector<std::string>& warnings);

}  // namespace tavrinth::dbase
