#pragma once
// Files for tests: reading and writing whole files, temporary folders, and the dump of a table
// as one string.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace tavrinth {
class TableFile;
}

namespace tavrinth::test {

// The bytes of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
std::vector<std::uint8_t> readFileBytes(const std::string& path);
// Creates or replaces a file; throws std::runtime_error on failure.
void writeFile(const std::string& path, const std::string& bytes);
// Copies a file (bytes only, new file mode 0644).
void copyFile(const std::string& from, const std::string& to);
// Copies a table and every file of its family (same stem, any case; names as they are) into
// `folder`; returns the new path of the table.
std::string copyFamily(const std::string& tablePath, const std::string& folder);
bool fileExists(const std::string& path);
// stat() of a path; throws std::runtime_error when it fails.
struct stat statOf(const std::string& path);

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The bytes of every file of a folder, by file name (to see that a refused change left them all).
std::map<std::string, std::string> folderBytes(const std::string& folder);

// Removes a file or a folder tree; no error when it does not exist.
void removeTree(const std::string& path);

// The whole dump of a table, as writeDump writes it.
std::string dumpToString(TableFile& table);

}  // namespace tavrinth::test
