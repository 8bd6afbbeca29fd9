#pragma once
// Validity checks of a Paradox table, read from its .VAL file.
//
// Two layouts share a 0x35-byte header (byte 0 = the table header's byte 0x2E, byte 1 the
// version, byte 2 the number of entries) and the entries after it:
//   version 0x01 (Paradox 3 tables): the entries run to the end of the file;
//   versions 0x05..0x0F (level 4 on): the entries end where the referential-integrity section
//   (offset at 0x0D, 0 = none) or else the footer (offset at 0x09) begins; the footer repeats the
//   table's field list and must still match the table.
// An entry is 0x1C bytes (field position, picture length, required, lookup flags, then the
// presence words of lookup, an auxiliary pointer, minimum, maximum, default and picture)
// followed by what is present: the lookup table name (an 80-byte field), the minimum, maximum and
// default in the record encoding of the field, and the NUL-terminated picture.
//
// How a TODAY or NOW bound is stored is not known from any sample. A date, time or timestamp
// bound whose presence word is 2 (TODAY) or 3 (NOW), or whose value bytes are all zero, is read
// as the current date (date fields) or the current time (time and timestamp fields); a presence
// word of 2 or 3 on another type is read as TODAY or NOW. Whether value bytes follow such a word,
// and whether a level 7 lookup name takes 80 or 261 bytes, is settled by the layout: the entries
// must end exactly where the header says.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "px_header.h"

namespace tavrinth::paradox {

// One check per field that has any, in field order (entries of the same field merged, later
// ones winning for each item they set, required or-ed). A missing .VAL gives none; a stale one
// (its first byte differs from the table header's byte 0x2E) or a damaged one counts as absent,
// with a warning. `references`, when given, receives the referential-integrity rules in which
// this table is the dependent side.
std::vector<ValidityCheck> readValidityChecks(const Header& table, const std::vector<FieldDef>& fields,
                                              const FileFamily& family, const CodePage& codePage,
                                              std::vector<std::string>& warnings,
                                              std::vector<TableReference>* references = nullptr);

}  // namespace tavrinth::paradox
