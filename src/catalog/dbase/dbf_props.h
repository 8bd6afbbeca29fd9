#pragma once
// Field properties of dBase 7 tables (required, minimum, maximum, default), kept in the header
// after the field descriptors.
//
// The block starts right after the 0x0D that ends the descriptors and ends at the header length
// at the latest. It opens with a 16-byte header (little-endian words): number of standard
// properties, offset of their array, number and offset of the custom properties, number and
// offset of the referential-integrity rules, offset of the data, size of the whole block. All
// offsets count from the start of the block. A standard property is 15 bytes:
//
//    0  generation number (of several entries for one property the highest one holds)
//    2  field number, from 1 (0 for a table constraint)
//    4  property: 1 required, 2 minimum, 3 maximum, 4 default, 6 constraint
//    5  field type (1 C, 2 N, 3 M, 4 L, 5 D, 6 F, 8 G, 9 B, 11 I, 12 @, 13 O, 14 +)
//    6  constraint marker
//   11  offset of the value, 13 its size (the field's width; nothing for "required")
//
// Values are stored the way the field stores them in a record, and decoded the same way.
// Custom properties and referential-integrity rules are not read.

#include <cstdint>
#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

// The field-type code a standard property gives for a field of this type (0: none known).
std::uint8_t propertyTypeCode(char type);

// One check per field that has any property, in field order. Tables without the block give
// none; a damaged block gives none, with a warning.
std::vector<ValidityCheck> readFieldProperties(const ByteSource& dbf, const Header& table,
                                               const std::vector<RawField>& raw, const std::vector<FieldDef>& fields,
                                               const CodePage& codePage, std::vector<std::string>& warnings);

}  // namespace tavrinth::dbase
