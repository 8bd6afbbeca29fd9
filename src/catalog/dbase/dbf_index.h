#pragma once
// Index definitions of a dBase table: the tags of its production .MDX.

#include <string>
#include <vector>

#include "../codepage.h"
#include "../file_io.h"
#include "../table_file.h"
#include "../table_meta.h"
#include "dbf_table.h"

namespace tavrinth::dbase {

// The tags of the production .MDX when the header says there is one and the file is there, in
// the order of the tag table. A damaged .MDX gives none, with a warning.
std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields,
                                   const FileFamily& family, const CodePage& codePage,
                                   std::vector<std::string>& warnings);

}  // namespace tavrinth::dbase
