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

[[noreturn]] void rollBackFailed(const std::string& path, const std::string& what) {
    throw EDBEngineError(EDBEngineError::Code::Io,
                         "Cannot undo the unfinished change of " + fileNamePart(path) + ": " + what);
}

}  // namespace

std::vector<std::uint8_t> Journal::serialize() const {
    std::vector<std::uint8_t> out;
    writeTo([&](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); });
    return out;
}

void Journal::readRange(const Range& range, std::uint64_t at, std::uint8_t* out, std::size_t n) const {
    if (!range.spooled) {
        std::memcpy(out, range.bytes.data() + at, n);
        return;
    }
    if (!store || store->readZeroFilled(range.spoolAt + at, out, n) != n)
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read the old bytes the journal of " + tableName + " keeps");
}

void Journal::writeTo(const std::function<void(const std::uint8_t*, std::size_t)>& sink) const {
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
        for (std::uint64_t done = 0; done < r.spooled;) {
            out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, r.spooled - done)));
            readRange(r, done, out.data(), out.size());
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
    std::shared_ptr<const ByteSource> source;
    try {
        source = std::make_shared<FileSource>(path);
    } catch (const EDBEngineError& e) {
        if (e.code() == EDBEngineError::Code::NotFound) return JournalState::None;
        problem = "the journal " + fileNamePart(path) + " cannot be read: " + e.what();
        return JournalState::Damaged;
    }
    return parseJournal(std::move(source), fileNamePart(tablePath), journal, problem);
}

JournalState parseJournal(const std::uint8_t* data, std::size_t size, const std::string& tableName, Journal& journal,
                          std::string& problem) {
    return parseJournal(std::make_shared<MemorySource>("journal", data, size), tableName, journal, problem);
}

JournalState parseJournal(std::shared_ptr<const ByteSource> source, const std::string& tableName, Journal& journal,
                          std::string& problem) {
    const std::string path = tableName + "-journal";
    auto damaged = [&](const std::string& why) {
        problem = "the journal " + fileNamePart(path) + " " + why;
        return JournalState::Damaged;
    };
    const std::uint64_t n = source->size();
    std::uint8_t magic[kMagicSize], end[4 + kMagicSize];
    if (n < 2 * kMagicSize + 4 || source->readZeroFilled(0, magic, kMagicSize) != kMagicSize ||
        std::memcmp(magic, kMagic, kMagicSize) != 0 || source->readZeroFilled(n - sizeof end, end, sizeof end) != sizeof end ||
        std::memcmp(end + 4, kEndMagic, kMagicSize) != 0)
        return damaged("is damaged (not a complete journal)");
    // The checksum over everything before it, a piece at a time.
    {
        std::vector<std::uint8_t> chunk;
        std::uint32_t crc = 0;
        for (std::uint64_t at = 0; at < n - sizeof end;) {
            chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, n - sizeof end - at)));
            if (source->readZeroFilled(at, chunk.data(), chunk.size()) != chunk.size())
                return damaged("is damaged (not a complete journal)");
            crc = crc32Update(crc, chunk.data(), chunk.size());
            at += chunk.size();
        }
        if (crc != loadLE32(end)) return damaged("is damaged (its checksum does not match)");
    }

    // The header and the file list, then each range's place (its bytes stay in the file).
    const std::uint64_t body = n - sizeof end;
    std::uint64_t at = kMagicSize;
    std::vector<std::uint8_t> small;
    const auto take = [&](std::size_t k) -> const std::uint8_t* {
        if (k > body - at) return nullptr;
        small.resize(k);
        source->readZeroFilled(at, small.data(), k);
        at += k;
        return small.data();
    };
    const auto u32 = [&](std::uint32_t& v) { const std::uint8_t* p = take(4); return p && (v = loadLE32(p), true); };
    const auto u64 = [&](std::uint64_t& v) {
        const std::uint8_t* p = take(8);
        return p && (v = static_cast<std::uint64_t>(loadLE32(p)) | static_cast<std::uint64_t>(loadLE32(p + 4)) << 32, true);
    };
    const auto text = [&](std::string& t) {
        std::uint32_t k;
        if (!u32(k) || k > 4096) return false;
        const std::uint8_t* p = take(k);
        return p && (t.assign(reinterpret_cast<const char*>(p), k), true);
    };

    Journal j;
    std::uint32_t fileCount = 0, rangeCount = 0;
    if (!text(j.tableName) || !u32(fileCount) || fileCount > 4096)
        return damaged("is damaged (its header cannot be read)");
    if (j.tableName != tableName)
        return damaged("belongs to another table (" + j.tableName + ")");
    for (std::uint32_t i = 0; i < fileCount; ++i) {
        Journal::File f;
        const std::uint8_t* existed;
        if (!text(f.name) || !(existed = take(1))) return damaged("is damaged (its file list)");
        f.existed = *existed != 0;
        if (!u64(f.size)) return damaged("is damaged (its file list)");
        // Only files of this family, in this folder.
        if (f.name.empty() || f.name.find('/') != std::string::npos ||
            !equalsIgnoreCase(stemPart(f.name), stemPart(tableName)))
            return damaged("names a file of another table (" + f.name + ")");
        j.files.push_back(std::move(f));
    }
    if (!u32(rangeCount)) return damaged("is damaged (its ranges)");
    for (std::uint32_t i = 0; i < rangeCount; ++i) {
        Journal::Range range;
        std::uint32_t length;
        if (!u32(range.file) || !u64(range.offset) || !u32(length) || length > body - at ||
            range.file >= j.files.size() || range.offset > j.files[range.file].size ||
            length > j.files[range.file].size - range.offset)
            return damaged("is damaged (range " + std::to_string(i + 1) + ")");
        range.spoolAt = at;
        range.spooled = length;
        at += length;
        j.ranges.push_back(std::move(range));
    }
    if (at != body) return damaged("is damaged (bytes after its end)");
    j.store = std::move(source);
    journal = std::move(j);
    return JournalState::Valid;
}

void rollBack(const std::string& tablePath, const Journal& journal) {
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
                    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1u << 20, r.spooled - at)));
                    try {
                        journal.readRange(r, at, chunk.data(), chunk.size());
                    } catch (const EDBEngineError& e) {
                        ::close(fd);
                        rollBackFailed(path, e.what());
                    }
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
            const std::uint64_t to = std::min(offset + n, r->offset + r->size());
            if (from < to) keep_->readRange(*r, from - r->offset, out + (from - offset), static_cast<std::size_t>(to - from));
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
