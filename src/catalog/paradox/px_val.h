#pragma once
// Validity checks of a Paradox table, read from its .VAL file.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "px_header.h"

namespace tavrinth::paradox {

// One check per field that has any, in field order (entries of the same field merged, later
// ones winning). A missing .VAL gives none; a stale one (its first byte differs from the table
// header's byte 0x2E) or a damaged one counts as absent, with a warning.
std::vector<ValidityCheck> readValidityChecks(const Header& table, const std::vector<FieldDef>& fields,
                                              const FileFamily& family, const CodePage& codePage,
                                              std::vector<std::string>& warnings);

}  // namespace tavrinth::paradox
