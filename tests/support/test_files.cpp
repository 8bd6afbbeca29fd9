#include "test_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "dump.h"
#include "file_io.h"
#include "table_file.h"

namespace tavrinth::test {

namespace {
[[noreturn]] void systemError(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}
}  // namespace

std::string readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) systemError("cannot open", path);
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            systemError("cannot read", path);
        }
        if (r == 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    ::close(fd);
    return out;
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    const std::string s = readFile(path);
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

void writeFile(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) systemError("cannot create", path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            systemError("cannot write", path);
        }
        done += static_cast<std::size_t>(w);
    }
    if (::close(fd) != 0) systemError("cannot close", path);
}

void copyFile(const std::string& from, const std::string& to) { writeFile(to, readFile(from)); }

std::string copyFamily(const std::string& tablePath, const std::string& folder) {
    const std::string from = folderPart(tablePath), stem = toLowerAscii(stemPart(fileNamePart(tablePath)));
    for (const std::string& name : listFolder(from))
        if (toLowerAscii(stemPart(name)) == stem) copyFile(joinPath(from, name), joinPath(folder, name));
    return joinPath(folder, fileNamePart(tablePath));
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) systemError("cannot stat", path);
    return st;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tavrinth-test-XXXXXX";
    if (!::mkdtemp(templ.data())) systemError("cannot create a temporary folder", templ);
    path_ = templ;
}

TempDir::~TempDir() { removeTree(path_); }

void removeTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* dir = ::opendir(path.c_str())) {
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") removeTree(path + "/" + name);
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

std::string dumpToString(TableFile& table) {
    std::string out;
    writeDump(table, [&out](const std::string& piece) { out += piece; });
    return out;
}

std::map<std::string, std::string> folderBytes(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : listFolder(folder)) files[name] = readFile(joinPath(folder, name));
    return files;
}

}  // namespace tavrinth::test
