#pragma once
// Index definitions of a Paradox table, read from the headers of its index files.
//
// The primary index is the table's leading key fields (header 0x23); its .PX only confirms it.
// Secondary indexes are found by their headers: every companion named .Xnn (nn two hex digits)
// or .XGn (any one character), any case, whose header is a secondary index of this table:
//
//   .Xnn  file type 3 (non-maintained) or 5 (maintained): one field, named after that field;
//         header byte 0x15 gives its 1-based position in the table (trusted over the name).
//   .XGn  file type 6 (non-maintained) or 8 (maintained): named (stored after the sort order
//         name); the first m entries of the field-number array are the 1-based positions of the
//         index fields, bit 15 marking a descending field.
//
// The record of an index file holds the m index fields, then for a keyed table the table's key
// fields and "Blk Num" (S), for an unkeyed table "Tup No" (I), "Blk Num" (S), "Tup Offset" (S).
// Each file is checked against that layout and the table's field descriptors; byte 0x55 gives
// the options (0x01 case-insensitive, 0x10 descending, 0x20 unique).

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "px_header.h"

namespace tavrinth::paradox {

// The primary index first (empty name, the leading key fields, Source the .PX file's name, or
// empty when the .PX is missing), then the secondary indexes: the .Xnn ones by their number
// (hexadecimal), then the .XGn ones by their character. Index files whose header does not match
// the table are left out with a warning; a missing or mismatching .PX is reported with a warning
// and the primary index is still given from the table header.
std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields,
                                   const FileFamily& family, const CodePage& codePage,
                                   std::vector<std::string>& warnings);

// What an index-file extension names: Kind::None for other extensions. `number` is the hex
// value of an .Xnn, the upper-cased character of an .XGn.
struct IndexFileName {
    enum class Kind { None, Single, Composite };
    Kind kind = Kind::None;
    int number = 0;
};
IndexFileName classifyIndexExtension(const std::string& extension);

// The secondary index files among a family's extensions, in the order readIndexes reports them:
// the .Xnn ones by number, then the .XGn ones; of one name in several cases the first listed.
std::vector<std::string> secondaryIndexExtensions(const std::vector<std::string>& extensions);

// Reads the secondary index file `file` (extension `extension`) and checks it against the table
// as readIndexes does: false, with `problem` saying why, when it does not belong to the table.
// Throws EDBEngineError when its header is damaged.
bool readSecondaryIndex(const Header& table, const std::vector<FieldDef>& fields, const CodePage& codePage,
                        const ByteSource& file, const std::string& extension, TIndexDef& def, std::string& problem);

}  // namespace tavrinth::paradox
