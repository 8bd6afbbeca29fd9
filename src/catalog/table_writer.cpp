#include "table_writer.h"

#include "dbase/dbf_writer.h"
#include "paradox/px_writer.h"

namespace tavrinth {

void createTable(const std::string& path, const TableSpec& spec) {
    if (spec.format == TableFormat::Paradox)
        paradox::createTable(path, spec);
    else
        dbase::createTable(path, spec);
}

}  // namespace tavrinth
