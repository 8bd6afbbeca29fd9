#pragma once
// Writing a new Paradox table family.

#include <string>

#include "../table_writer.h"

namespace tavrinth::paradox {

void createTable(const std::string& path, const TableSpec& spec);

}  // namespace tavrinth::paradox
