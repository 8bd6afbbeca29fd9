#pragma once
// Writing a new dBase table family: the .dbf, its .dbt when it has memo fields, and its
// production .mdx when it has indexes.
//
// Levels: 3 (dBase III: version 0x03, 0x83 with a dBase III .dbt), 4 (dBase IV: 0x03, 0x8B with a
// dBase IV .dbt, indexes in a production .mdx) and 7 (0x04, 0x8C; 68-byte header with the language
// driver name, 48-byte field descriptors, field properties for the validity checks).
//
// Field types: C N D L M at every level, F B G from level 4, I + O @ at level 7. Names are ASCII
// letters, digits and underscores starting with a letter, at most 10 characters (31 at level 7),
// and are written in upper case. The code page must have a dBase language driver (see
// dbf_writer.cpp); character keys of an index need one that sorts in byte order (437, 850, 1252).
//
// Everything is checked before the first byte is written; the files are written under temporary
// names in the table's folder and renamed into place only when all of them are complete, so a
// refusal or a failure leaves no table behind. EDBEngineError says why.

#include <string>

#include "../table_writer.h"

namespace tavrinth::dbase {

void createTable(const std::string& path, const TableSpec& spec);

struct Header;
// Whether the table's language driver collates text by its byte values, the order the character
// keys of an index are written in here (its driver is one of the byte-order drivers above).
bool textSortsInByteOrder(const Header& table);

}  // namespace tavrinth::dbase
