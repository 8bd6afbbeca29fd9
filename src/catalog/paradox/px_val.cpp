#include "px_val.h"

namespace tavrinth::paradox {

std::vector<ValidityCheck> readValidityChecks(const Header&, const std::vector<FieldDef>&, const FileFamily&,
                                              const CodePage&, std::vector<std::string>&) {
    return {};
}

}  // namespace tavrinth::paradox
