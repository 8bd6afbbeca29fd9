#include "table_change.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "atomic_file.h"
#include "engine_error.h"
#include "spool.h"

namespace tavrinth {

namespace testing {
namespace {
WriteAction (*writeHook)(std::uint64_t) = nullptr;
std::uint64_t writeNumber = 0;
}  // namespace
void setWriteHook(WriteAction (*hook)(std::uint64_t writeNumber)) {
    writeHook = hook;
    writeNumber = 0;
}
namespace {
std::size_t flushBytes = 1 << 20;
}
void setAppendFlushBytes(std::size_t bytes) { flushBytes = bytes == 0 ? std::size_t{1} << 20 : bytes; }
std::size_t appendFlushBytes() { return flushBytes; }
namespace {
std::uint64_t heldBytes = 4u << 20;
}
void setHeldJournalBytes(std::uint64_t bytes) { heldBytes = bytes == 0 ? std::uint64_t{4} << 20 : bytes; }
std::uint64_t heldJournalBytes() { return heldBytes; }
}  // namespace testing

namespace {

testing::WriteAction nextWriteAction() {
    if (!testing::writeHook) return testing::WriteAction::Go;
    const testing::WriteAction a = testing::writeHook(++testing::writeNumber);
    if (a == testing::WriteAction::KillBefore) ::raise(SIGKILL);
    return a;
}

[[noreturn]] void writeFailed(const std::string& path, int error) {
    throw EDBEngineError(EDBEngineError::Code::Io, "Cannot write " + path + ": " + std::strerror(error));
}

void writeAll(int fd, const std::string& path, std::uint64_t offset, const std::uint8_t* p, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) writeFailed(path, errno);
        if (w == 0) writeFailed(path, ENOSPC);
        done += static_cast<std::size_t>(w);
    }
}

}  // namespace

struct FamilyChange::File {
    std::string path;
    std::uint32_t index = 0;  // in journal_.files
    int fd = -1;
    bool written = false;
    ~File() {
        if (fd >= 0) ::close(fd);
    }
};

FamilyChange::FamilyChange(const std::string& tablePath, int lockWaitMs)
    : tablePath_(tablePath), journalPath_(journalPathFor(tablePath)) {
    journal_.tableName = fileNamePart(tablePath);
    lockFd_ = ::open(tablePath.c_str(), O_RDWR | O_CLOEXEC);
    if (lockFd_ < 0)
        throw EDBEngineError(errno == ENOENT ? EDBEngineError::Code::NotFound : EDBEngineError::Code::Io,
                             "Cannot open " + tablePath + " for writing: " + std::strerror(errno));
    // One write lock on the table file guards the whole family and its journal. Locks of the open
    // file (not of the process), so that two table objects in one program exclude each other too.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockWaitMs);
    for (;;) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(lockFd_, F_OFD_SETLK, &fl) == 0) break;
        if ((errno != EAGAIN && errno != EACCES) || std::chrono::steady_clock::now() >= deadline) {
            ::close(lockFd_);
            throw EDBEngineError(EDBEngineError::Code::Locked,
                                 "The table is in use by another program: " + tablePath + " is locked");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    try {
        // A journal under the lock belongs to a writer that did not finish: undo its change.
        Journal left;
        std::string problem;
        switch (readJournal(tablePath, left, problem)) {
            case JournalState::None: break;
            case JournalState::Valid:
                rollBack(tablePath, left);
                rolledBack_ = true;
                break;
            case JournalState::Damaged:
                throw EDBEngineError(EDBEngineError::Code::Locked,
                                     "Cannot change " + fileNamePart(tablePath) + ": " + problem +
                                         "; the table stays read-only until it is examined");
        }
        // Temporary journals of writers that stopped before putting theirs in place.
        const std::string folder = folderPart(tablePath), tempStart = "." + fileNamePart(journalPath_) + ".";
        for (const std::string& name : listFolder(folder))
            if (name.compare(0, tempStart.size(), tempStart) == 0 && name.size() > 4 &&
                name.compare(name.size() - 4, 4, ".tmp") == 0)
                ::unlink(joinPath(folder, name).c_str());
    } catch (...) {
        ::close(lockFd_);
        throw;
    }
}

FamilyChange::~FamilyChange() {
    undo();
    files_.clear();
    ::close(lockFd_);  // releases the lock
}

FamilyChange::File& FamilyChange::file(const std::string& path) {
    auto it = files_.find(path);
    if (it != files_.end()) return *it->second;
    auto f = std::make_unique<File>();
    f->path = path;
    f->index = static_cast<std::uint32_t>(journal_.files.size());
    Journal::File entry;
    entry.name = fileNamePart(path);
    if (!equalsIgnoreCase(stemPart(entry.name), stemPart(journal_.tableName)) || folderPart(path) != folderPart(tablePath_))
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             "Cannot change " + journal_.tableName + ": " + path + " is no file of its family");
    f->fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (f->fd < 0 && errno == EACCES) f->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f->fd >= 0) {
        struct stat st {};
        if (::fstat(f->fd, &st) != 0) writeFailed(path, errno);
        entry.size = static_cast<std::uint64_t>(st.st_size);
    } else if (errno == ENOENT) {
        entry.existed = false;
    } else {
        writeFailed(path, errno);
    }
    journal_.files.push_back(entry);
    return *files_.emplace(path, std::move(f)).first->second;
}

std::uint64_t FamilyChange::sizeOf(const std::string& path) {
    File& f = file(path);
    if (f.fd < 0) return 0;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) writeFailed(path, errno);
    return static_cast<std::uint64_t>(st.st_size);
}

void FamilyChange::read(const std::string& path, std::uint64_t offset, void* buf, std::size_t n) {
    File& f = file(path);
    auto* out = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (f.fd >= 0 && done < n) {
        const ssize_t r = ::pread(f.fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0)
            throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read " + path + ": " + std::strerror(errno));
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    std::fill(out + done, out + n, 0);
}

void FamilyChange::preserve(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    if (journalWritten_)
        throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Internal error: a range saved after the change began");
    File& f = file(path);
    const std::uint64_t size = journal_.files[f.index].size;
    if (offset >= size) return;
    length = std::min(length, size - offset);
    Journal::Range r;
    r.file = f.index;
    r.offset = offset;
    if (heldBytes_ + length <= testing::heldJournalBytes()) {
        r.bytes.resize(static_cast<std::size_t>(length));
        read(path, offset, r.bytes.data(), r.bytes.size());
        heldBytes_ += length;
        journal_.ranges.push_back(std::move(r));
        return;
    }
    // Beyond what a change holds in memory: the old bytes go to a spool file beside the table,
    // copied into the journal when it is put in place (ranges of at most 4 GB each).
    if (!spool_) {
        spool_ = std::make_shared<SpoolFile>(folderPart(tablePath_));
        journal_.store = spool_;
    }
    std::vector<std::uint8_t> chunk;
    while (length > 0) {
        const std::uint64_t part = std::min<std::uint64_t>(length, 0xFFFF0000u);
        r.offset = offset;
        r.spoolAt = spool_->size();
        r.spooled = static_cast<std::uint32_t>(part);
        for (std::uint64_t done = 0; done < part;) {
            chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, part - done)));
            read(path, offset + done, chunk.data(), chunk.size());
            spool_->append(chunk.data(), chunk.size());
            done += chunk.size();
        }
        journal_.ranges.push_back(r);
        offset += part;
        length -= part;
    }
}

void FamilyChange::preserveWhole(const std::string& path) { preserve(path, 0, sizeOf(path)); }

void FamilyChange::willCreate(const std::string& path) {
    if (journalWritten_)
        throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Internal error: a file named after the change began");
    File& f = file(path);
    if (journal_.files[f.index].existed)
        throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot create " + path + ": it exists");
}

void FamilyChange::putJournalInPlace() {
    AtomicFile out(journalPath_, AtomicFile::Mode::CreateNew);
    const bool tear = nextWriteAction() == testing::WriteAction::TearAndKill;
    std::uint64_t total = 0;
    if (tear) journal_.writeTo([&](const std::uint8_t*, std::size_t n) { total += n; });
    std::uint64_t written = 0;
    journal_.writeTo(
        [&](const std::uint8_t* p, std::size_t n) {
            if (tear && written + n > total / 2) {
                out.write(p, static_cast<std::size_t>(total / 2 - written));
                ::raise(SIGKILL);
            }
            out.write(p, n);
            written += n;
        });
    out.commit();
    journalWritten_ = true;
}

void FamilyChange::write(const std::string& path, std::uint64_t offset, const void* data, std::size_t n) {
    File& f = file(path);
    const Journal::File& entry = journal_.files[f.index];
    // Every old byte this write covers must be in the journal.
    if (entry.existed && offset < entry.size) {
        std::uint64_t from = offset;
        const std::uint64_t to = std::min<std::uint64_t>(offset + n, entry.size);
        bool progress = true;
        while (from < to && progress) {
            progress = false;
            for (const Journal::Range& r : journal_.ranges)
                if (r.file == f.index && r.offset <= from && from < r.offset + r.size()) {
                    from = r.offset + r.size();
                    progress = true;
                }
        }
        if (from < to)
            throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                 "Internal error: a change to " + entry.name + " at byte " + std::to_string(from) +
                                     " was not saved in the journal first");
    }
    if (!journalWritten_) putJournalInPlace();
    if (f.fd < 0) {
        f.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (f.fd < 0) writeFailed(path, errno);
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (nextWriteAction() == testing::WriteAction::TearAndKill) {
        writeAll(f.fd, path, offset, p, n / 2);
        ::raise(SIGKILL);
    }
    f.written = true;
    writeAll(f.fd, path, offset, p, n);
}

void FamilyChange::copyIn(const std::string& path, std::uint64_t offset, const ByteSource& from) {
    const std::uint64_t size = from.size();
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1u << 20)));
    for (std::uint64_t at = 0; at < size; at += chunk.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
        from.readZeroFilled(at, chunk.data(), n);
        write(path, offset + at, chunk.data(), n);
    }
}

void FamilyChange::resize(const std::string& path, std::uint64_t size) {
    File& f = file(path);
    const Journal::File& entry = journal_.files[f.index];
    if (entry.existed && size < entry.size) {
        bool saved = false;
        for (const Journal::Range& r : journal_.ranges)
            if (r.file == f.index && r.offset <= size && r.offset + r.size() >= entry.size) saved = true;
        if (!saved)
            throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                                 "Internal error: " + entry.name + " cut without its end saved in the journal");
    }
    if (!journalWritten_) putJournalInPlace();
    if (f.fd < 0) {
        f.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (f.fd < 0) writeFailed(path, errno);
    }
    if (nextWriteAction() != testing::WriteAction::Go) ::raise(SIGKILL);
    f.written = true;
    if (::ftruncate(f.fd, static_cast<off_t>(size)) != 0) writeFailed(path, errno);
}

void FamilyChange::commit() {
    if (committed_) return;
    if (journalWritten_) {
        bool created = false;
        for (auto& [path, f] : files_) {
            if (!f->written) continue;
            if (::fsync(f->fd) != 0) writeFailed(path, errno);
            created = created || !journal_.files[f->index].existed;
        }
        if (created) syncFolder(folderPart(tablePath_));
        // Removing the journal is the moment the change is made.
        if (nextWriteAction() != testing::WriteAction::Go) ::raise(SIGKILL);
        if (::unlink(journalPath_.c_str()) != 0) writeFailed(journalPath_, errno);
        syncFolder(folderPart(tablePath_));
    }
    committed_ = true;
}

void FamilyChange::undo() noexcept {
    if (committed_ || !journalWritten_) return;
    try {
        // The journal in memory is the one on disk; when this fails it stays for the next writer.
        rollBack(tablePath_, journal_);
    } catch (...) {
    }
    committed_ = true;
}

}  // namespace tavrinth
