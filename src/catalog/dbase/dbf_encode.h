#pragma once
// dBase field values as records store them.

#include <cstdint>
#include <string>

#include "../codepage.h"
#include "../field_value.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

// Encodes a value for a non-memo field into its `field.length` bytes at p. NULL gives the type's
// blank form (spaces, or zeros for the binary types of dBase 7). Returns false with a message in
// `error` when the field cannot hold the value (too long or wide, out of range, a character the
// code page lacks, no blank form, a wrong kind of value); p is then unspecified.
bool encodeValue(const RawField& field, const Header& table, const CodePage& codePage, const FieldValue& value,
                 std::uint8_t* p, std::string& error);

}  // namespace tavrinth::dbase
