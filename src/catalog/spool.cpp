#include "spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine_error.h"

namespace tavrinth {

namespace {

[[noreturn]] void spoolFailed(const std::string& folder, int error) {
    throw EDBEngineError(EDBEngineError::Code::Io,
                         "Cannot write a temporary file in " + folder + ": " + std::strerror(error));
}

}  // namespace

SpoolFile::SpoolFile(const std::string& folder) : folder_(folder.empty() ? std::string(".") : folder) {
#ifdef O_TMPFILE
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd_ < 0) {
        // A file system without unnamed files: a named one, removed at once.
        std::string name = folder_ + "/.tavrinth-spool-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0) spoolFailed(folder_, errno);
        ::unlink(name.c_str());
    }
}

SpoolFile::~SpoolFile() {
    if (fd_ >= 0) ::close(fd_);
}

void SpoolFile::write(std::uint64_t offset, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) spoolFailed(folder_, w < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(w);
    }
    size_ = std::max<std::uint64_t>(size_, offset + n);
}

void SpoolFile::read(std::uint64_t offset, void* buf, std::size_t n) const {
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < n && offset + done < size_) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, size_ - offset - done));
        const ssize_t r = ::pread(fd_, p + done, want, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot read a temporary file in " + folder_ + ": " + std::strerror(errno));
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    std::memset(p + done, 0, n - done);
}

std::size_t SpoolFile::readAt(std::uint64_t offset, void* buf, std::size_t n) const {
    if (offset >= size_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    read(offset, buf, n);
    return n;
}

// --- ExternalSorter ------------------------------------------------------------------------------

struct ExternalSorter::Run {
    std::uint64_t at = 0, end = 0;  // the part of the spool still to read
    std::vector<std::uint8_t> buffer;
    std::size_t pos = 0, filled = 0;
};

std::size_t& ExternalSorter::memoryLimitForTesting() {
    static std::size_t limit = 0;
    return limit;
}

ExternalSorter::ExternalSorter(std::string folder, std::size_t entryBytes, Less less, std::size_t memoryBytes)
    : folder_(std::move(folder)), entryBytes_(entryBytes), less_(std::move(less)) {
    if (memoryLimitForTesting()) memoryBytes = memoryLimitForTesting();
    capacity_ = std::max<std::size_t>(2, memoryBytes / (entryBytes_ + sizeof(std::uint32_t)));
}

ExternalSorter::~ExternalSorter() = default;

void ExternalSorter::add(const std::uint8_t* entry) {
    if (held_ == capacity_) spill();
    if (buffer_.size() < (held_ + 1) * entryBytes_)
        buffer_.resize(std::min(capacity_, std::max<std::size_t>(64, held_ * 2)) * entryBytes_);
    std::memcpy(buffer_.data() + held_ * entryBytes_, entry, entryBytes_);
    ++held_;
    ++count_;
}

void ExternalSorter::sortHeld() {
    order_.resize(held_);
    for (std::size_t i = 0; i < held_; ++i) order_[i] = static_cast<std::uint32_t>(i);
    const std::uint8_t* base = buffer_.data();
    const std::size_t size = entryBytes_;
    std::sort(order_.begin(), order_.end(),
              [&](std::uint32_t a, std::uint32_t b) { return less_(base + a * size, base + b * size); });
}

void ExternalSorter::spill() {
    sortHeld();
    if (held_ == 0) return;
    const std::uint8_t* base = buffer_.data();
    const std::size_t size = entryBytes_;
    if (!spool_) spool_ = std::make_unique<SpoolFile>(folder_);
    auto run = std::make_unique<Run>();
    run->at = spool_->size();
    std::vector<std::uint8_t> out;
    out.reserve(std::min<std::size_t>(held_ * size, 1u << 20));
    for (std::size_t i = 0; i < held_; ++i) {
        out.insert(out.end(), base + order_[i] * size, base + (order_[i] + 1) * size);
        if (out.size() >= (1u << 20)) {
            spool_->append(out.data(), out.size());
            out.clear();
        }
    }
    spool_->append(out.data(), out.size());
    run->end = spool_->size();
    runs_.push_back(std::move(run));
    held_ = 0;
}

void ExternalSorter::startReading() {
    reading_ = true;
    if (runs_.empty()) {
        // Everything fits in memory: sorted in place, read from the buffer.
        sortHeld();
        return;
    }
    spill();
    buffer_ = {};
    order_ = {};
    const std::size_t chunk = std::max<std::size_t>(1, (64u << 10) / entryBytes_) * entryBytes_;
    for (std::size_t r = 0; r < runs_.size(); ++r) {
        runs_[r]->buffer.resize(chunk);
        if (refill(*runs_[r])) live_.push_back(r);
    }
}

bool ExternalSorter::refill(Run& run) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(run.buffer.size(), run.end - run.at));
    if (n == 0) return false;
    spool_->read(run.at, run.buffer.data(), n);
    run.at += n;
    run.filled = n;
    run.pos = 0;
    return true;
}

const std::uint8_t* ExternalSorter::next() {
    if (!reading_) startReading();
    if (runs_.empty()) return memoryNext_ < order_.size() ? buffer_.data() + order_[memoryNext_++] * entryBytes_ : nullptr;
    if (last_ < live_.size()) {
        // The run whose entry went out last moves on.
        Run& run = *runs_[live_[last_]];
        run.pos += entryBytes_;
        if (run.pos == run.filled && !refill(run)) live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(last_));
    }
    if (live_.empty()) return nullptr;
    // Few runs: the smallest entry by a scan.
    last_ = 0;
    for (std::size_t i = 1; i < live_.size(); ++i) {
        const Run& a = *runs_[live_[i]];
        const Run& b = *runs_[live_[last_]];
        if (less_(a.buffer.data() + a.pos, b.buffer.data() + b.pos)) last_ = i;
    }
    const Run& best = *runs_[live_[last_]];
    return best.buffer.data() + best.pos;
}

}  // namespace tavrinth
