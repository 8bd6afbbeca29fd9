#include "path_names.h"

namespace tavrinth {

std::string LastPathPart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PathWithoutLastPart(const std::string& path) {
    return path.substr(0, path.size() - LastPathPart(path).size());
}

std::string ApplyShortNameRule(const std::string& databaseName, const std::string& current) {
    if (databaseName.empty()) return current;
    const std::string s = databaseName.substr(0, databaseName.size() - 1);
    return s.find('/') != std::string::npos ? LastPathPart(s) : current;
}

}  // namespace tavrinth
