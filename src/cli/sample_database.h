#pragma once
// The sample database that comes with the program: a small trading company's tables, in
// Paradox and dBase, made with the engine's own writer. The built-in alias "Samples" points at it.

#include <string>
#include <vector>

#include "table_writer.h"

namespace tavrinth {

struct SampleTable {
    std::string fileName;  // "CUSTOMER.DB", "supplier.dbf" ...
    TableSpec spec;
};

// The tables of the sample database, in the order they are written.
std::vector<SampleTable> sampleTables();

// Writes the sample database into `folder` (created when missing). Refuses, through the
// writer's EDBEngineError, to overwrite a table that is already there.
void writeSampleDatabase(const std::string& folder);

// The password of the sample's encrypted table.
inline constexpr const char* kSamplePassword = "tavrinth";

}  // namespace tavrinth
