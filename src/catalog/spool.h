#pragma once
// Room on disk for the big intermediate results of a change, so that memory does not grow with
// the number of records of a table: a spool file (an unnamed temporary file, gone when closed or
// when the process dies), and a sorter of fixed-size entries that spills sorted runs to one and
// merges them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"

namespace tavrinth {

// An unnamed temporary file in `folder` (the folder of the files being changed, so that it lies
// on their disk, not in memory), read and written at offsets. Throws EFileWriteError when it
// cannot be made or written.
class SpoolFile final : public ByteSource {
public:
    explicit SpoolFile(const std::string& folder);
    ~SpoolFile() override;
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    void write(std::uint64_t offset, const void* data, std::size_t n);
    void append(const void* data, std::size_t n) { write(size_, data, n); }
    // Reads n bytes at offset; zeros past the end.
    void read(std::uint64_t offset, void* buf, std::size_t n) const;
    std::uint64_t size() const override { return size_; }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override;
    const std::string& name() const override { return folder_; }

private:
    std::string folder_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Sorts entries of `entryBytes` bytes each by `less`: held in memory up to `memoryBytes`, sorted
// runs spilled to a spool file beyond that, merged when read. Equal entries keep no particular
// order (make the entries distinct, e.g. with a record number, for a stable result).
class ExternalSorter {
public:
    using Less = std::function<bool(const std::uint8_t*, const std::uint8_t*)>;
    ExternalSorter(std::string folder, std::size_t entryBytes, Less less, std::size_t memoryBytes = kDefaultMemory);
    ~ExternalSorter();

    void add(const std::uint8_t* entry);
    std::uint64_t count() const { return count_; }

    // After the last add: the entries in order, one at a time; null after the last one.
    const std::uint8_t* next();

    static constexpr std::size_t kDefaultMemory = 4u << 20;
    // Tests make the runs small to exercise the merge.
    static std::size_t& memoryLimitForTesting();

private:
    struct Run;
    void sortHeld();  // order_ over the entries held
    void spill();
    void startReading();
    bool refill(Run& run);

    std::string folder_;
    std::size_t entryBytes_;
    Less less_;
    std::size_t capacity_;  // entries held in memory
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint32_t> order_;
    std::size_t held_ = 0;
    std::uint64_t count_ = 0;
    std::unique_ptr<SpoolFile> spool_;
    std::vector<std::unique_ptr<Run>> runs_;
    std::vector<std::size_t> live_;  // the runs not read to their end
    std::size_t last_ = SIZE_MAX;    // into live_: the run of the entry handed out last
    bool reading_ = false;
    std::size_t memoryNext_ = 0;
};

}  // namespace tavrinth
