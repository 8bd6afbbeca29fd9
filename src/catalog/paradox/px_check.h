#pragma once
// Verifying a Paradox table family (table_check.h says what is verified).

#include <string>

#include "../check_report.h"
#include "../file_io.h"

namespace tavrinth::paradox {

class ParadoxTable;

// Checks the table open as `table`, whose file's bytes `tableBytes` gives (as the table shows
// them), and its companions, reading them only; appends a line to `report` for every problem.
void checkFamily(ParadoxTable& table, const ByteSource& tableBytes, CheckReport& report);

}  // namespace tavrinth::paradox
