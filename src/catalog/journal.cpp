#include "journal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "atomic_file.h"
#include "byte_order.h"
#include "engine_error.h"
#include "spool.h"

namespace tavrinth {

namespace {

constexpr char kMagic[] = "TVRJRNL1";
constexpr char kEndMagic[] = "TVRJEND1";
constexpr std::size_t kMagicSize = 8;

std::uint32_t crc32Update(std::uint32_t c, const std::uint8_t* p, std::size_t n) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t {};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    c ^= 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) { return crc32Update(0, p, n); }

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void putText(std::vector<std::uint8_t>& out, const std::string& s) {
    put32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

// Reads the journal's fields, every length checked against what is left.
class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool u8(std::uint8_t& v) { return take(1) && (v = p_[at_ - 1], true); }
    bool u32(std::uint32_t& v) { return take(4) && (v = loadLE32(p_ + at_ - 4), true); }
    bool u64(std::uint64_t& v) {
        if (!take(8)) return false;
        v = static_cast<std::uint64_t>(loadLE32(p_ + at_ - 8)) | static_cast<std::uint64_t>(loadLE32(p_ + at_ - 4)) << 32;
        return true;
    }
    bool bytes(std::size_t n, const std::uint8_t*& out) { return take(n) && (out = p_ + at_ - n, true); }
    bool text(std::string& s) {
        std::uint32_t n;
        const std::uint8_t* b;
        if (!u32(n) || n > 4096 || !bytes(n, b)) return false;
        s.assign(reinterpret_cast<const char*>(b), n);
        return true;
    }
    std::size_t at() const { return at_; }

private:
    bool take(std::size_t n) {
        if (n > n_ - at_) return false;
        at_ += n;
        return true;
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& out, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    out.clear();
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    return true;
}

[[noreturn]] void rollBackFailed(const std::string& path, const std::string& what) {
    throw EDBEngineError(EDBEngineError::Code::Io,
                         "Cannot undo the unfinished change of " + fileNamePart(path) + ": " + what);
}

}  // namespace

std::vector<std::uint8_t> Journal::serialize() const {
    std::vector<std::uint8_t> out;
    writeTo([&](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); }, nullptr);
    return out;
}

void Journal::writeTo(const std::function<void(const std::uint8_t*, std::size_t)>& sink, const SpoolFile* spool) const {
    std::uint32_t crc = 0;
    std::vector<std::uint8_t> out(kMagic, kMagic + kMagicSize);
    const auto emit = [&] {
        crc = crc32Update(crc, out.data(), out.size());
        sink(out.data(), out.size());
        out.clear();
    };
    putText(out, tableName);
    put32(out, static_cast<std::uint32_t>(files.size()));
    for (const File& f : files) {
        putText(out, f.name);
        out.push_back(f.existed ? 1 : 0);
        put64(out, f.size);
    }
    put32(out, static_cast<std::uint32_t>(ranges.size()));
    for (const Range& r : ranges) {
        put32(out, r.file);
        put64(out, r.offset);
        put32(out, static_cast<std::uint32_t>(r.size()));
        if (!r.spooled) {
            out.insert(out.end(), r.bytes.begin(), r.bytes.end());
            if (out.size() >= (1u << 20)) emit();
            continue;
        }
        emit();
        if (!spool) throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Internal error: a journal range kept in no spool file");
        for (std::uint64_t done = 0; done < r.spooled;) {
            out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, r.spooled - done)));
            spool->read(r.spoolAt + done, out.data(), out.size());
            done += out.size();
            emit();
        }
    }
    emit();
    put32(out, crc);
    out.insert(out.end(), kEndMagic, kEndMagic + kMagicSize);
    sink(out.data(), out.size());
}

JournalState readJournal(const std::string& tablePath, Journal& journal, std::string& problem) {
    const std::string path = journalPathFor(tablePath);
    std::vector<std::uint8_t> bytes;
    int error = 0;
    if (!readWholeFile(path, bytes, error)) {
        if (error == ENOENT) return JournalState::None;
        problem = "the journal " + fileNamePart(path) + " cannot be read: " + std::strerror(error);
        return JournalState::Damaged;
    }
    return parseJournal(bytes.data(), bytes.size(), fileNamePart(tablePath), journal, problem);
}

JournalState parseJournal(const std::uint8_t* data, std::size_t size, const std::string& tableName, Journal& journal,
                          std::string& problem) {
    const std::string path = tableName + "-journal";
    auto damaged = [&](const std::string& why) {
        problem = "the journal " + fileNamePart(path) + " " + why;
        return JournalState::Damaged;
    };
    const std::size_t n = size;
    if (n < 2 * kMagicSize + 4 || std::memcmp(data, kMagic, kMagicSize) != 0 ||
        std::memcmp(data + n - kMagicSize, kEndMagic, kMagicSize) != 0)
        return damaged("is damaged (not a complete journal)");
    if (crc32(data, n - kMagicSize - 4) != loadLE32(data + n - kMagicSize - 4))
        return damaged("is damaged (its checksum does not match)");

    Journal j;
    Reader r(data + kMagicSize, n - 2 * kMagicSize - 4);
    std::uint32_t fileCount = 0, rangeCount = 0;
    if (!r.text(j.tableName) || !r.u32(fileCount) || fileCount > 4096)
        return damaged("is damaged (its header cannot be read)");
    if (j.tableName != tableName)
        return damaged("belongs to another table (" + j.tableName + ")");
    for (std::uint32_t i = 0; i < fileCount; ++i) {
        Journal::File f;
        std::uint8_t existed;
        if (!r.text(f.name) || !r.u8(existed) || !r.u64(f.size)) return damaged("is damaged (its file list)");
        f.existed = existed != 0;
        // Only files of this family, in this folder.
        if (f.name.empty() || f.name.find('/') != std::string::npos ||
            !equalsIgnoreCase(stemPart(f.name), stemPart(tableName)))
            return damaged("names a file of another table (" + f.name + ")");
        j.files.push_back(std::move(f));
    }
    if (!r.u32(rangeCount)) return damaged("is damaged (its ranges)");
    for (std::uint32_t i = 0; i < rangeCount; ++i) {
        Journal::Range range;
        std::uint32_t length;
        const std::uint8_t* data;
        if (!r.u32(range.file) || !r.u64(range.offset) || !r.u32(length) || !r.bytes(length, data) ||
            range.file >= j.files.size() || range.offset > j.files[range.file].size ||
            length > j.files[range.file].size - range.offset)
            return damaged("is damaged (range " + std::to_string(i + 1) + ")");
        range.bytes.assign(data, data + length);
        j.ranges.push_back(std::move(range));
    }
    if (r.at() != n - 2 * kMagicSize - 4) return damaged("is damaged (bytes after its end)");
    journal = std::move(j);
    return JournalState::Valid;
}

void rollBack(const std::string& tablePath, const Journal& journal, const SpoolFile* spool) {
    const std::string folder = folderPart(tablePath);
    for (std::uint32_t i = 0; i < journal.files.size(); ++i) {
        const Journal::File& f = journal.files[i];
        const std::string path = joinPath(folder, f.name);
        if (!f.existed) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) rollBackFailed(path, std::strerror(errno));
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) rollBackFailed(path, "cannot open " + f.name + ": " + std::strerror(errno));
        auto fail = [&](const std::string& what) {
            const int e = errno;
            ::close(fd);
            rollBackFailed(path, what + " " + f.name + ": " + std::strerror(e));
        };
        std::vector<std::uint8_t> chunk;
        for (const Journal::Range& r : journal.ranges) {
            if (r.file != i) continue;
            for (std::uint64_t at = 0; at < r.size();) {
                const std::uint8_t* p = r.bytes.data() + at;
                std::size_t n = r.bytes.size() - static_cast<std::size_t>(at);
                if (r.spooled) {
                    if (!spool) rollBackFailed(path, "the old bytes of " + f.name + " are not at hand");
                    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, r.spooled - at)));
                    spool->read(r.spoolAt + at, chunk.data(), chunk.size());
                    p = chunk.data();
                    n = chunk.size();
                }
                std::size_t done = 0;
                while (done < n) {
                    const ssize_t w = ::pwrite(fd, p + done, n - done, static_cast<off_t>(r.offset + at + done));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) fail("cannot write");
                    done += static_cast<std::size_t>(w);
                }
                at += n;
            }
        }
        if (::ftruncate(fd, static_cast<off_t>(f.size)) != 0) fail("cannot set the size of");
        if (::fsync(fd) != 0) fail("cannot flush");
        ::close(fd);
    }
    const std::string journalPath = journalPathFor(tablePath);
    if (::unlink(journalPath.c_str()) != 0 && errno != ENOENT)
        rollBackFailed(tablePath, "cannot remove " + fileNamePart(journalPath) + ": " + std::strerror(errno));
    syncFolder(folder);
}

// --- Reading the family as it was --------------------------------------------------------------

namespace {

class OverlaySource final : public ByteSource {
public:
    OverlaySource(std::unique_ptr<ByteSource> source, std::uint64_t size, std::vector<const Journal::Range*> ranges,
                  std::shared_ptr<const Journal> keep)
        : source_(std::move(source)), size_(size), ranges_(std::move(ranges)), keep_(std::move(keep)) {}
    std::uint64_t size() const override { return size_; }
    const std::string& name() const override { return source_->name(); }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override {
        if (offset >= size_) return 0;
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
        auto* out = static_cast<std::uint8_t*>(buf);
        // The file may be shorter now than it was (a change that cut it): zeros, then the journal.
        source_->readZeroFilled(offset, out, n);
        for (const Journal::Range* r : ranges_) {
            const std::uint64_t from = std::max(offset, r->offset);
            const std::uint64_t to = std::min(offset + n, r->offset + r->bytes.size());
            if (from < to)
                std::memcpy(out + (from - offset), r->bytes.data() + (from - r->offset), static_cast<std::size_t>(to - from));
        }
        return n;
    }

private:
    std::unique_ptr<ByteSource> source_;
    std::uint64_t size_;
    std::vector<const Journal::Range*> ranges_;
    std::shared_ptr<const Journal> keep_;
};

}  // namespace

JournalOverlay::JournalOverlay(std::string folder, Journal journal)
    : folder_(std::move(folder)), journal_(std::make_shared<const Journal>(std::move(journal))) {}

const Journal::File* JournalOverlay::fileNamed(const std::string& name, std::uint32_t& index) const {
    for (std::uint32_t i = 0; i < journal_->files.size(); ++i)
        if (journal_->files[i].name == name) {
            index = i;
            return &journal_->files[i];
        }
    return nullptr;
}

bool JournalOverlay::createdByChange(const std::string& name) const {
    std::uint32_t index;
    const Journal::File* f = fileNamed(name, index);
    return f && !f->existed;
}

std::unique_ptr<ByteSource> JournalOverlay::wrap(const std::string& name, std::unique_ptr<ByteSource> source) const {
    std::uint32_t index;
    const Journal::File* f = fileNamed(name, index);
    if (!f) return source;
    if (!f->existed) return nullptr;
    std::vector<const Journal::Range*> ranges;
    for (const Journal::Range& r : journal_->ranges)
        if (r.file == index) ranges.push_back(&r);
    return std::make_unique<OverlaySource>(std::move(source), f->size, std::move(ranges), journal_);
}

JournalFamily::JournalFamily(const std::string& tablePath, std::shared_ptr<const JournalOverlay> overlay)
    : disk_(tablePath), overlay_(std::move(overlay)) {}

std::unique_ptr<ByteSource> JournalFamily::open(const std::string& extension) const {
    const std::string path = disk_.path(extension);
    if (path.empty()) return nullptr;
    return overlay_->wrap(fileNamePart(path), disk_.open(extension));
}

std::vector<std::string> JournalFamily::extensions() const {
    std::vector<std::string> out;
    for (const std::string& ext : disk_.extensions())
        if (!overlay_->createdByChange(fileNamePart(disk_.path(ext)))) out.push_back(ext);
    return out;
}

}  // namespace tavrinth
