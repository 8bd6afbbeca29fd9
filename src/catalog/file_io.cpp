#include "file_io.h"

#include "engine_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrinth {

std::size_t ByteSource::readZeroFilled(std::uint64_t offset, void* buf, std::size_t n) const {
    std::size_t got = 0;
    if (offset < size()) got = readAt(offset, buf, n);
    if (got < n) std::memset(static_cast<std::uint8_t*>(buf) + got, 0, n - got);
    return got;
}

FileSource::FileSource(const std::string& path) : path_(path), name_(fileNamePart(path)) {
    // O_NOATIME keeps the access time unchanged; the system allows it only to the file's owner.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd_ < 0 && errno == EPERM) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            throw EDBEngineError(EDBEngineError::Code::NotFound, "File not found: " + path);
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot open file " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read file " + path + ": " + std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Not a file: " + path);
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileSource::readAt(std::uint64_t offset, void* buf, std::size_t n) const {
    std::size_t done = 0;
    auto* out = static_cast<std::uint8_t*>(buf);
    while (done < n) {
        const ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            throw EDBEngineError(EDBEngineError::Code::Io,
                                 "Cannot read file " + path_ + ": " + std::strerror(errno));
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

std::size_t MemorySource::readAt(std::uint64_t offset, void* buf, std::size_t n) const {
    if (offset >= bytes_.size()) return 0;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_.size() - offset));
    std::memcpy(buf, bytes_.data() + offset, k);
    return k;
}

namespace {

struct FolderEntry {
    std::string lower;  // the name in lower case (ASCII), the sort key
    std::string name;
    bool regular;       // known to be a regular file (false also when the folder entry does not say)
};
using FolderListing = std::vector<FolderEntry>;  // sorted by lower-case name

// The listing of the folder read last. Opening a table looks for its companions by name ignoring
// case; in a folder of thousands of tables, reading the folder again for every companion of every
// table would cost more than the tables themselves. The listing is reused only while the folder's
// status-change time is unchanged and was already a second old when it was read: any change after
// the reading (an entry added, removed or renamed) then moves that time on, and unlike the
// modification time it cannot be set back, so a reused listing is never stale.
struct FolderCache {
    std::mutex mutex;
    std::string folder;
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec changed {};
    std::shared_ptr<const FolderListing> listing;
};

FolderCache& folderCache() {
    static FolderCache cache;
    return cache;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::shared_ptr<const FolderListing> readFolder(const std::string& folder) {
    auto out = std::make_shared<FolderListing>();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return out;
    while (const dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        out->push_back({toLowerAscii(name), std::string(name), e->d_type == DT_REG});
    }
    ::closedir(dir);
    std::sort(out->begin(), out->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.lower < b.lower; });
    return out;
}

// The entries of a folder (but "." and ".."), sorted by lower-case name.
std::shared_ptr<const FolderListing> folderListing(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::make_shared<FolderListing>();
    FolderCache& cache = folderCache();
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.listing && cache.folder == folder && cache.device == st.st_dev && cache.inode == st.st_ino &&
            sameTime(cache.changed, st.st_ctim))
            return cache.listing;
    }
    auto listing = readFolder(folder);
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (st.st_ctim.tv_sec + 1 < now.tv_sec) {
        std::lock_guard<std::mutex> lock(cache.mutex);
        cache.folder = folder;
        cache.device = st.st_dev;
        cache.inode = st.st_ino;
        cache.changed = st.st_ctim;
        cache.listing = listing;
    }
    return listing;
}

// The entries whose lower-case name starts with `lowerPrefix`.
std::pair<FolderListing::const_iterator, FolderListing::const_iterator> entriesStartingWith(
    const FolderListing& listing, const std::string& lowerPrefix) {
    auto first = std::lower_bound(listing.begin(), listing.end(), lowerPrefix,
                                  [](const FolderEntry& e, const std::string& key) { return e.lower < key; });
    auto last = first;
    while (last != listing.end() && last->lower.compare(0, lowerPrefix.size(), lowerPrefix) == 0) ++last;
    return {first, last};
}

}  // namespace

// --- families -----------------------------------------------------------------------------------

DiskFamily::DiskFamily(const std::string& tablePath)
    : folder_(folderPart(tablePath)), stem_(stemPart(fileNamePart(tablePath))) {}

std::string DiskFamily::path(const std::string& extension) const {
    const std::string found = findInFolder(folder_, stem_ + extension);
    return found.empty() ? std::string() : joinPath(folder_, found);
}

std::unique_ptr<ByteSource> DiskFamily::open(const std::string& extension) const {
    const std::string p = path(extension);
    if (p.empty() || !isRegularFile(p)) return nullptr;
    return std::make_unique<FileSource>(p);
}

std::vector<std::string> DiskFamily::extensions() const {
    std::vector<std::string> out;
    const std::string prefix = toLowerAscii(stem_) + ".";
    const auto listing = folderListing(folder_);
    for (auto [it, end] = entriesStartingWith(*listing, prefix); it != end; ++it) {
        if (it->lower.size() > prefix.size() && it->lower.find('.', prefix.size()) == std::string::npos)
            out.push_back(it->name.substr(stem_.size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

void MemoryFamily::add(const std::string& extension, std::vector<std::uint8_t> bytes) {
    files_.emplace_back(extension, std::move(bytes));
}

std::unique_ptr<ByteSource> MemoryFamily::open(const std::string& extension) const {
    for (const auto& f : files_)
        if (equalsIgnoreCase(f.first, extension)) return std::make_unique<MemorySource>("memory" + f.first, f.second);
    return nullptr;
}

std::vector<std::string> MemoryFamily::extensions() const {
    std::vector<std::string> out;
    for (const auto& f : files_) out.push_back(f.first);
    return out;
}

// --- paths --------------------------------------------------------------------------------------

std::string toLowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string toUpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && toLowerAscii(a) == toLowerAscii(b);
}

std::string fileNamePart(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderPart(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string extensionPart(const std::string& name) {
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return std::string();
    return name.substr(dot);
}

std::string stemPart(const std::string& name) {
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}


std::vector<std::string> listFolder(const std::string& folder) {
    std::vector<std::string> out;
    const auto listing = folderListing(folder);
    for (const FolderEntry& e : *listing) {
        // Symbolic links and file systems that give no entry type need a stat.
        if (e.regular || isRegularFile(joinPath(folder, e.name))) out.push_back(e.name);
    }
    return out;
}

std::string findInFolder(const std::string& folder, const std::string& name) {
    if (isRegularFile(joinPath(folder, name))) return name;
    const auto listing = folderListing(folder);
    const std::string lower = toLowerAscii(name);
    std::string best;
    for (auto [it, end] = entriesStartingWith(*listing, lower); it != end; ++it) {
        if (it->lower.size() != lower.size() || !(best.empty() || it->name < best)) continue;
        if (it->regular || isRegularFile(joinPath(folder, it->name))) best = it->name;
    }
    return best;
}

}  // namespace tavrinth
