#pragma once
// Writing a new dBase table family.

#include <string>

#include "../table_writer.h"

namespace tavrinth::dbase {

void createTable(const std::string& path, const TableSpec& spec);

}  // namespace tavrinth::dbase
