#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>

#include "file_io.h"

namespace tavrinth {

namespace {

// Writing out is started in the background every this many bytes, so that the final flush to
// the disk finds little left to do.
constexpr std::uint64_t kWriteBehind = std::uint64_t{1} << 20;

std::string errnoText(int errorNumber) { return std::strerror(errorNumber); }

[[noreturn]] void raise(int errorNumber, const std::string& what) {
    throw EFileWriteError(errorNumber, what + ": " + errnoText(errorNumber));
}

[[noreturn]] void raiseExists(const std::string& path) {
    throw EFileWriteError(EEXIST, "the file " + path + " already exists");
}

// A name of its own for a temporary file next to `name`, starting with a dot.
std::string temporaryName(const std::string& name) {
    thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid()) << 32 ^
                                        static_cast<std::uint64_t>(std::time(nullptr))};
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08llx.tmp", static_cast<unsigned long long>(random() & 0xFFFFFFFFull));
    return "." + name + suffix;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& target, Mode mode) : target_(target), mode_(mode) {
    struct stat st {};
    if (mode_ == Mode::Replace && ::lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace the file the link points at, not the link.
        if (char* real = ::realpath(target_.c_str(), nullptr)) {
            target_ = real;
            std::free(real);
        }
    }
    const std::string name = fileNamePart(target_);
    if (name.empty() || target_.back() == '/') raise(EINVAL, "cannot write " + target_);
    folder_ = folderPart(target_);
    if (::stat(target_.c_str(), &st) == 0) {
        if (mode_ == Mode::CreateNew) raiseExists(target_);
        if (S_ISDIR(st.st_mode)) raise(EISDIR, "cannot write " + target_);
        // A file the user may not write stays as it is.
        if (::access(target_.c_str(), W_OK) != 0) raise(errno, "cannot write " + target_);
        keepMode_ = true;
        permissions_ = st.st_mode & 07777;
    } else if (mode_ == Mode::CreateNew && ::lstat(target_.c_str(), &st) == 0) {
        raiseExists(target_);  // a link that points nowhere
    }
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = joinPath(folder_, temporaryName(name));
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        const int error = errno;
        temp_.clear();
        raise(error, "cannot create a file in " + folder_);
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void AtomicFile::write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise(errno, "cannot write " + target_);
        }
        if (n == 0) raise(EIO, "cannot write " + target_);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    written_ += size;
    if (written_ - flushStarted_ >= kWriteBehind) {
        // Only a hint: an error shows at the flush in sync().
        ::sync_file_range(fd_, static_cast<off_t>(flushStarted_), static_cast<off_t>(written_ - flushStarted_),
                          SYNC_FILE_RANGE_WRITE);
        flushStarted_ = written_;
    }
}

void AtomicFile::sync() {
    if (fd_ < 0) return;
    if (keepMode_ && ::fchmod(fd_, static_cast<mode_t>(permissions_)) != 0) raise(errno, "cannot write " + target_);
    if (::fsync(fd_) != 0) raise(errno, "cannot write " + target_);
    const int r = ::close(fd_);
    fd_ = -1;
    if (r != 0) raise(errno, "cannot write " + target_);
}

void AtomicFile::place() {
    if (mode_ == Mode::Replace) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) raise(errno, "cannot name the file " + target_);
    } else {
#ifdef RENAME_NOREPLACE
        if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) raiseExists(target_);
            if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) raise(errno, "cannot name the file " + target_);
#else
        {
#endif
            // A file system that cannot rename without replacing: a hard link fails on an
            // existing name; without hard links either (FAT and the like): check, then rename.
            if (::link(temp_.c_str(), target_.c_str()) == 0) {
                ::unlink(temp_.c_str());
            } else {
                if (errno == EEXIST) raiseExists(target_);
                struct stat st {};
                if (::lstat(target_.c_str(), &st) == 0) raiseExists(target_);
                if (::rename(temp_.c_str(), target_.c_str()) != 0) raise(errno, "cannot name the file " + target_);
            }
        }
    }
    temp_.clear();
    placed_ = true;
}

void AtomicFile::withdraw() noexcept {
    if (placed_) ::unlink(target_.c_str());
    placed_ = false;
}

void AtomicFile::commit() {
    sync();
    place();
    syncFolder(folder_);
}

void syncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void writeNewFiles(const std::vector<NewFile>& files) {
    std::vector<std::unique_ptr<AtomicFile>> staged;
    try {
        for (const NewFile& f : files) {
            staged.push_back(std::make_unique<AtomicFile>(f.path, AtomicFile::Mode::CreateNew));
            staged.back()->write(f.bytes->data(), f.bytes->size());
            staged.back()->sync();
        }
        for (const auto& file : staged) {
            // Another program may have made a file of that name meanwhile, in any case.
            const std::string clash = findInFolder(file->folder_, fileNamePart(file->target_));
            if (!clash.empty()) raiseExists(joinPath(file->folder_, clash));
            file->place();
        }
    } catch (...) {
        for (const auto& file : staged) file->withdraw();
        throw;
    }
    std::vector<std::string> folders;
    for (const auto& file : staged)
        if (std::find(folders.begin(), folders.end(), file->folder_) == folders.end()) folders.push_back(file->folder_);
    for (const std::string& folder : folders) syncFolder(folder);
}

}  // namespace tavrinth
