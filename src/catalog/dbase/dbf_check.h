#pragma once
// Verifying a dBase / FoxPro table family (table_check.h says what is verified).

#include <string>

#include "../check_report.h"
#include "../file_io.h"

namespace tavrinth::dbase {

class DBaseTable;

// Checks the table open as `table`, whose file's bytes `tableBytes` gives (as the table shows
// them), and its companions, reading them only; appends a line to `report` for every problem.
void checkFamily(DBaseTable& table, const ByteSource& tableBytes, CheckReport& report);

}  // namespace tavrinth::dbase
