#include "session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "engine_error.h"
#include "file_io.h"

#ifndef TAVRINTH_SAMPLES_INSTALL_DIR
#define TAVRINTH_SAMPLES_INSTALL_DIR ""
#endif
#ifndef TAVRINTH_SAMPLES_BUILD_DIR
#define TAVRINTH_SAMPLES_BUILD_DIR ""
#endif

namespace tavrinth {

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool lessIgnoreCase(const std::string& a, const std::string& b) {
    const std::string la = toLowerAscii(a), lb = toLowerAscii(b);
    return la != lb ? la < lb : a < b;
}

[[noreturn]] void startUpError(const std::string& detail) {
    char message[160];
    std::snprintf(message, sizeof message, TSession::kStartUpMessage, TSession::kStartUpErrorCode);
    throw EDBEngineError(EDBEngineError::Code::StartUp, message, detail);
}

}  // namespace

TSession& TSession::Default() {
    static TSession session;
    return session;
}

std::string TSession::AliasFilePath() {
    if (const char* p = std::getenv("TAVRINTH_ALIASES"); p && *p) return p;
    std::string config;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
        config = x;
    } else {
        const char* home = std::getenv("HOME");
        config = joinPath(home && *home ? home : ".", ".config");
    }
    return joinPath(joinPath(config, "Kelvora"), "aliases.conf");
}

std::string TSession::SamplesFolder() {
    if (const char* p = std::getenv("TAVRINTH_SAMPLES"); p && *p) return p;
    const std::string installed = TAVRINTH_SAMPLES_INSTALL_DIR;
    if (!installed.empty() && isDirectory(installed)) return installed;
    const std::string built = TAVRINTH_SAMPLES_BUILD_DIR;
    if (!built.empty() && isDirectory(built)) return built;
    return installed.empty() ? built : installed;
}

void TSession::loadAliases() {
    const std::string path = AliasFilePath();
    if (loaded_ && loadedFrom_ == path) return;
    aliases_.clear();
    std::ifstream in(path);
    if (in) {
        std::string line;
        bool inAliases = false;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            const std::string t = trim(line);
            const std::string where = path + " line " + std::to_string(number);
            if (t.empty() || t[0] == ';' || t[0] == '#') continue;
            if (t.front() == '[') {
                if (t.back() != ']') startUpError(where + ": unterminated section name");
                inAliases = equalsIgnoreCase(trim(t.substr(1, t.size() - 2)), "Aliases");
                continue;
            }
            const auto eq = t.find('=');
            if (eq == std::string::npos) startUpError(where + ": expected Name=/folder/path");
            if (!inAliases) continue;
            const std::string name = trim(t.substr(0, eq));
            const std::string folder = trim(t.substr(eq + 1));
            if (name.empty()) startUpError(where + ": empty alias name");
            if (name.size() > kMaxAliasLength)
                startUpError(where + ": alias name longer than " + std::to_string(kMaxAliasLength) + " characters");
            aliases_[name] = folder;
        }
        if (in.bad()) startUpError(path + ": cannot be read");
    } else if (isRegularFile(path)) {
        startUpError(path + ": cannot be opened");
    }
    if (aliases_.find(kSamplesAlias) == aliases_.end()) aliases_[kSamplesAlias] = SamplesFolder();
    loaded_ = true;
    loadedFrom_ = path;
}

void TSession::GetAliasNames(std::vector<std::string>& list) {
    list.clear();
    loadAliases();
    for (const auto& a : aliases_) list.push_back(a.first);
    std::sort(list.begin(), list.end(), lessIgnoreCase);
}

bool TSession::IsAlias(const std::string& name) {
    loadAliases();
    if (aliases_.count(name)) return true;
    for (const auto& a : aliases_)
        if (equalsIgnoreCase(a.first, name)) return true;
    return false;
}

std::string TSession::DatabaseFolder(const std::string& databaseName) {
    loadAliases();
    auto it = aliases_.find(databaseName);
    if (it == aliases_.end())
        it = std::find_if(aliases_.begin(), aliases_.end(),
                          [&](const auto& a) { return equalsIgnoreCase(a.first, databaseName); });
    if (it != aliases_.end()) {
        if (!isDirectory(it->second))
            throw EDBEngineError(EDBEngineError::Code::NotFound,
                                 "The folder of alias " + it->first + " does not exist: " + it->second);
        return it->second;
    }
    std::string folder = databaseName.empty() ? std::string(".") : databaseName;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!isDirectory(folder))
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Unknown database: " + databaseName +
                                                                 " is neither an alias nor a folder");
    return folder;
}

void TSession::GetTableNames(const std::string& databaseName, const std::string& pattern, bool extensions,
                             bool systemTables, std::vector<std::string>& list) {
    (void)systemTables;  // desktop tables have no system tables
    list.clear();
    const std::string folder = DatabaseFolder(databaseName);
    const std::string stemPattern = stemPart(pattern);
    const bool all = pattern.empty() || pattern == "*.*" || pattern == "*" || stemPattern == "*";
    std::vector<std::string> names;
    for (const std::string& file : listFolder(folder)) {
        const std::string ext = toLowerAscii(extensionPart(file));
        if (ext != ".db" && ext != ".dbf") continue;
        const std::string stem = stemPart(file);
        if (!all && !equalsIgnoreCase(stem, stemPattern)) continue;
        names.push_back(extensions ? file : stem);
    }
    std::sort(names.begin(), names.end(), lessIgnoreCase);
    // Without extensions a Paradox and a dBase table of the same name are listed once.
    for (const std::string& n : names)
        if (list.empty() || !equalsIgnoreCase(list.back(), n)) list.push_back(n);
}

void TSession::AddPassword(const std::string& password) {
    if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end()) passwords_.push_back(password);
}

}  // namespace tavrinth
