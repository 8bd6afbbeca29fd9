#pragma once
// Path texts as the window uses them: "/" separated, a folder database ending in "/".

#include <string>

namespace tavrinth {

// The characters after the last "/" of `path`; the whole path when it holds no "/"; empty when it
// ends in "/".
std::string LastPathPart(const std::string& path);

// `path` without its LastPathPart, so that it keeps its final "/" ("/data/Firma.DB" gives
// "/data/").
std::string PathWithoutLastPart(const std::string& path);

// The short-name rule: for a folder database name ("/data/") the last folder name ("data"); for
// any other name (an alias, or "/" itself) `current` unchanged.
std::string ApplyShortNameRule(const std::string& databaseName, const std::string& current);

}  // namespace tavrinth
