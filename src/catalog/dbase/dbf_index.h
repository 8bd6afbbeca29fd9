#pragma once
// Index definitions of a dBase table: the tags of its production .MDX (dBase IV, 5, 7) or of the
// structural .CDX of a FoxPro / Visual FoxPro table.
//
// Header byte 28 bit 0x01 says the table has such an index; the file is the table's stem with
// ".mdx" (".cdx" for the FoxPro family), any case. Only that file is read, and only when the
// header flags it: an unflagged .MDX/.CDX next to the table, .NDX and .NTX files and
// non-production .MDX files are not reported (the engine uses those only when it is told to).
//
// Each tag becomes one definition: Name = the tag name; a key expression that is exactly one field
// name of the table (spaces around it ignored, any case) makes a field index (Fields = that field
// as the table spells it, fieldIndexes = its position); any other key makes an expression index
// (ixExpression, Expression = the key, Fields empty). A FOR clause goes to Filter. dBase and
// FoxPro indexes are case-sensitive and maintained. Source = the index file's name.
//
// .MDX: file header (544 bytes: version 2 for dBase IV/5, 3 for dBase 7; byte 26 the length of a
// tag-table entry, bytes 28-29 the tags in use), the tag table from offset 544 (entry: tag header
// page, tag name, 11 bytes at level 4, 33 bytes at level 7), then per tag a header at page x 512:
// byte 8 key flags (0x08 descending, 0x40 unique), byte 23 unique/distinct, 24.. key expression
// (NUL-terminated, at most 220 characters), byte 245 FOR clause present, FOR expression at 762.
// Unique when byte 23 or flag 0x40 is set. Tags come in the order of the tag table.
//
// .CDX: a compound compact index whose first index (header at 0) is the tag directory: its keys
// are the tag names and its record numbers the offsets of the tags' own 1024-byte headers (bytes
// 12-13 key length, 14 options: 0x01 unique, 0x04 candidate, 0x08 FOR clause; 502-503 order: 1 =
// descending; 512.. key expression, NUL, FOR expression). Unique or candidate tags are unique.
// Tags come in the order FoxPro numbers them, which is the order of their headers in the file.
//
// Every offset, count and length is checked against the file size and the format's limits; a
// damaged index file gives no definitions and a warning.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

// The tags of the production .MDX (structural .CDX for the FoxPro family) when the header says
// there is one and the file is there, in the order described above. A flagged index file that is
// missing gives none, with a warning; a damaged one gives none, with a warning.
std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields,
                                   const FileFamily& family, const CodePage& codePage,
                                   std::vector<std::string>& warnings);

}  // namespace tavrinth::dbase
