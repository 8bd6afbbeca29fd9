#include "dbf_writer.h"

#include "../engine_error.h"

namespace tavrinth::dbase {

void createTable(const std::string& path, const TableSpec&) {
    throw EDBEngineError(EDBEngineError::Code::Unsupported, "Cannot create " + path + " yet");
}

}  // namespace tavrinth::dbase
