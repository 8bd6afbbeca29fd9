#pragma once
// Index definitions of a Paradox table, read from the headers of its index files.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "px_header.h"

namespace tavrinth::paradox {

// The primary index first (empty name, the leading key fields), then the secondary indexes: the
// .Xnn ones by their number, then the .XGn ones by their number. Index files whose header does
// not match the table are left out with a warning.
std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields,
                                   const FileFamily& family, const CodePage& codePage,
                                   std::vector<std::string>& warnings);

}  // namespace tavrinth::paradox
