#include "dbf_props.h"

namespace tavrinth::dbase {

std::vector<ValidityCheck> readFieldProperties(const ByteSource&, const Header&, const std::vector<RawField>&,
                                               const std::vector<FieldDef>&, const CodePage&,
                                               std::vector<std::string>&) {
    return {};
}

}  // namespace tavrinth::dbase
