// Putting a new table family on disk: every file to a temporary name in the target folder first,
// then all of them renamed into place, never over an existing file. When anything fails on the
// way, the temporary files and the files already renamed are removed again, so no part of the
// family is left behind.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "../file_io.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox::writer {

namespace {

[[noreturn]] void ioError(const std::string& message) { throw EDBEngineError(EDBEngineError::Code::Io, message); }

std::string errnoText() { return std::strerror(errno); }

bool writeAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Renames `from` to `to` unless `to` exists. Returns 0 or an errno value.
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
#endif
    // The file system cannot rename without replacing: a hard link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    // No hard links either (FAT and the like): check, then rename.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    return errno;
}

class Transaction {
public:
    explicit Transaction(std::string folder) : folder_(std::move(folder)) {}
    ~Transaction() { rollback(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void stage(const OutputFile& file) {
        std::random_device rd;
        std::string temp;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
            temp = joinPath(folder_, "." + file.name + suffix);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                ioError("Cannot create " + joinPath(folder_, file.name) + ": cannot create a temporary file in " +
                        folder_ + ": " + errnoText());
        }
        if (fd < 0) ioError("Cannot create " + joinPath(folder_, file.name) + ": no free temporary file name");
        staged_.push_back({temp, joinPath(folder_, file.name), false});
        const bool ok = writeAll(fd, file.bytes.data(), file.bytes.size()) && ::fsync(fd) == 0;
        const std::string why = ok ? std::string() : errnoText();
        if (::close(fd) != 0 && ok) ioError("Cannot write " + joinPath(folder_, file.name) + ": " + errnoText());
        if (!ok) ioError("Cannot write " + joinPath(folder_, file.name) + ": " + why);
    }

    void commit() {
        for (Entry& e : staged_) {
            // Another program may have created a file of the family meanwhile, in any case.
            const std::string name = fileNamePart(e.target);
            const std::string clash = findInFolder(folder_, name);
            if (!clash.empty())
                ioError("Cannot create " + e.target + ": " + joinPath(folder_, clash) + " appeared while writing");
            const int error = renameNoReplace(e.temp, e.target);
            if (error == EEXIST) ioError("Cannot create " + e.target + ": the file exists");
            if (error != 0) ioError("Cannot create " + e.target + ": " + std::strerror(error));
            e.committed = true;
        }
        // Make the new names durable.
        const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        staged_.clear();
    }

private:
    struct Entry {
        std::string temp, target;
        bool committed;
    };

    void rollback() noexcept {
        for (const Entry& e : staged_) ::unlink(e.committed ? e.target.c_str() : e.temp.c_str());
        staged_.clear();
    }

    std::string folder_;
    std::vector<Entry> staged_;
};

}  // namespace

void writeFamily(const Layout& layout, const std::vector<OutputFile>& files) {
    Transaction t(layout.folder);
    for (const OutputFile& f : files) t.stage(f);
    t.commit();
}

}  // namespace tavrinth::paradox::writer
