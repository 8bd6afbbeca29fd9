#include "px_index.h"

namespace tavrinth::paradox {

std::vector<TIndexDef> readIndexes(const Header&, const std::vector<FieldDef>&, const FileFamily&, const CodePage&,
                                   std::vector<std::string>&) {
    return {};
}

}  // namespace tavrinth::paradox
