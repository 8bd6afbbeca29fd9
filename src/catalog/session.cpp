#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "atomic_file.h"
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

// --- Changing the alias file ---------------------------------------------------------------------

namespace {

[[noreturn]] void refuseAlias(const std::string& why) {
    throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot change the aliases: " + why);
}

// Makes a folder and the folders above it that are missing.
void makeFolders(const std::string& folder) {
    if (folder.empty() || isDirectory(folder)) return;
    makeFolders(folderPart(folder));
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot make the folder " + folder + ": " + std::strerror(errno));
}

void checkAliasName(const std::string& name) {
    if (name.empty()) refuseAlias("an alias needs a name");
    if (name.size() > TSession::kMaxAliasLength)
        refuseAlias("the alias name " + name + " is longer than " + std::to_string(TSession::kMaxAliasLength) +
                    " characters");
    if (name.find_first_of("=[]\r\n") != std::string::npos)
        refuseAlias("an alias name cannot hold '=', '[', ']' or a line break: " + name);
    if (trim(name) != name || name[0] == ';' || name[0] == '#')
        refuseAlias("an alias name cannot start with a blank, ';' or '#', nor end with a blank: " + name);
    if (equalsIgnoreCase(name, TSession::kSamplesAlias)) refuseAlias(std::string(TSession::kSamplesAlias) + " is built in");
}

}  // namespace

void TSession::rewriteAliases(const std::function<void(std::vector<AliasLine>&)>& edit) {
    loadAliases();  // a file that cannot be read is refused here, before anything is written
    const std::string path = AliasFilePath();
    std::vector<std::string> lines;
    {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    // The lines of the [Aliases] sections that name aliases, and where the last such section ends.
    std::vector<AliasLine> entries;
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t sectionEnd = kNone;
    bool inAliases = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string t = trim(lines[i]);
        if (!t.empty() && t.front() == '[') {
            if (inAliases) sectionEnd = i;
            inAliases = equalsIgnoreCase(trim(t.substr(1, t.size() - 2)), "Aliases");
            continue;
        }
        if (!inAliases || t.empty() || t[0] == ';' || t[0] == '#') continue;
        const auto eq = t.find('=');
        if (eq != std::string::npos) entries.push_back({trim(t.substr(0, eq)), trim(t.substr(eq + 1)), i});
    }
    if (inAliases) sectionEnd = lines.size();
    std::vector<std::size_t> entryLines;
    for (const AliasLine& e : entries) entryLines.push_back(e.line);
    edit(entries);

    std::vector<std::string> out;
    auto added = [&] {
        for (const AliasLine& e : entries)
            if (e.line == kNone) out.push_back(e.name + "=" + e.folder);
    };
    for (std::size_t i = 0; i <= lines.size(); ++i) {
        if (i == sectionEnd) {
            // New aliases go at the end of the section, before the blank lines that close it.
            std::vector<std::string> blanks;
            while (!out.empty() && trim(out.back()).empty()) {
                blanks.push_back(out.back());
                out.pop_back();
            }
            added();
            out.insert(out.end(), blanks.rbegin(), blanks.rend());
        }
        if (i == lines.size()) break;
        // An alias's line is written as the edit left it, or left out when the edit removed it.
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const AliasLine& e) { return e.line == i; });
        if (it != entries.end()) out.push_back(it->name + "=" + it->folder);
        else if (std::find(entryLines.begin(), entryLines.end(), i) == entryLines.end()) out.push_back(lines[i]);
    }
    if (sectionEnd == kNone) {
        if (!out.empty() && !trim(out.back()).empty()) out.emplace_back();
        out.emplace_back("[Aliases]");
        added();
    }
    std::string text;
    for (const std::string& line : out) text += line + "\n";
    makeFolders(folderPart(path));
    AtomicFile file(path, isRegularFile(path) ? AtomicFile::Mode::Replace : AtomicFile::Mode::CreateNew);
    file.write(text.data(), text.size());
    file.commit();
    loaded_ = false;
}

void TSession::SetAlias(const std::string& name, const std::string& folder) {
    checkAliasName(name);
    if (folder.empty() || !isDirectory(folder)) refuseAlias("the folder " + folder + " does not exist");
    if (folder.find_first_of("\r\n") != std::string::npos) refuseAlias("a folder name cannot hold a line break");
    rewriteAliases([&](std::vector<AliasLine>& entries) {
        for (AliasLine& e : entries)
            if (equalsIgnoreCase(e.name, name)) {
                if (e.name != name) refuseAlias("another alias is named " + e.name);
                e.folder = folder;
                return;
            }
        entries.push_back({name, folder, static_cast<std::size_t>(-1)});
    });
}

void TSession::RenameAlias(const std::string& from, const std::string& to) {
    checkAliasName(to);
    rewriteAliases([&](std::vector<AliasLine>& entries) {
        auto it = std::find_if(entries.begin(), entries.end(), [&](const AliasLine& e) { return e.name == from; });
        if (it == entries.end()) refuseAlias("the alias file holds no alias " + from);
        for (const AliasLine& e : entries)
            if (&e != &*it && equalsIgnoreCase(e.name, to)) refuseAlias("another alias is named " + e.name);
        it->name = to;
    });
}

void TSession::RemoveAlias(const std::string& name) {
    rewriteAliases([&](std::vector<AliasLine>& entries) {
        auto it = std::find_if(entries.begin(), entries.end(), [&](const AliasLine& e) { return e.name == name; });
        if (it == entries.end()) refuseAlias("the alias file holds no alias " + name);
        entries.erase(it);
    });
}

void TSession::AddPassword(const std::string& password) {
    if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end()) passwords_.push_back(password);
}

}  // namespace tavrinth
