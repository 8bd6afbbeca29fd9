#include "dbf_index.h"

namespace tavrinth::dbase {

std::vector<TIndexDef> readIndexes(const Header&, const std::vector<FieldDef>&, const FileFamily&, const CodePage&,
                                   std::vector<std::string>&) {
    return {};
}

}  // namespace tavrinth::dbase
