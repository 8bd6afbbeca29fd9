#pragma once
// Read-only access to the bytes of a table file and its companions.
//
// The readers never hold a whole file in memory: they ask a ByteSource for the blocks they need.
// FileSource reads a file on disk with pread and never changes it (not even its access time where
// the system allows that); MemorySource serves bytes held by the caller, for tests and fuzzing.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavrinth {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads up to n bytes at offset into buf; returns the number read (short only at the end).
    // Throws EDBEngineError on an operating-system error.
    virtual std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const = 0;
    // The name used in error messages (the file name).
    virtual const std::string& name() const = 0;

    // Reads exactly n bytes; the bytes past the end of the source are zero-filled.
    // Returns the number of bytes that really came from the source.
    std::size_t readZeroFilled(std::uint64_t offset, void* buf, std::size_t n) const;
};

class FileSource final : public ByteSource {
public:
    // Opens the file read-only; throws EDBEngineError (NotFound or Io) when it cannot.
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::uint64_t size() const override { return size_; }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override;
    const std::string& name() const override { return name_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string path_;
    std::string name_;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(std::string name, std::vector<std::uint8_t> bytes)
        : name_(std::move(name)), bytes_(std::move(bytes)) {}
    MemorySource(std::string name, const std::uint8_t* data, std::size_t n)
        : name_(std::move(name)), bytes_(data, data + n) {}

    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override;
    const std::string& name() const override { return name_; }

private:
    std::string name_;
    std::vector<std::uint8_t> bytes_;
};

// A family of files around one table: its companions (".MB", ".DBT", ".PX", ".X02" ...) found by
// extension. Files on disk are matched case-insensitively; in memory the caller provides them.
class FileFamily {
public:
    virtual ~FileFamily() = default;
    // The companion with this extension (with the dot, any case), or null when there is none.
    virtual std::unique_ptr<ByteSource> open(const std::string& extension) const = 0;
    // The extensions (with the dot, as stored) of every companion present.
    virtual std::vector<std::string> extensions() const = 0;
};

// Companions of a table on disk: files in the same folder with the same stem, any case.
class DiskFamily final : public FileFamily {
public:
    explicit DiskFamily(const std::string& tablePath);
    std::unique_ptr<ByteSource> open(const std::string& extension) const override;
    std::vector<std::string> extensions() const override;
    // The full path of a companion (any case), or empty when it does not exist.
    std::string path(const std::string& extension) const;
    const std::string& folder() const { return folder_; }
    const std::string& stem() const { return stem_; }

private:
    std::string folder_;
    std::string stem_;
};

// Companions held in memory (tests and fuzzing).
class MemoryFamily final : public FileFamily {
public:
    void add(const std::string& extension, std::vector<std::uint8_t> bytes);
    std::unique_ptr<ByteSource> open(const std::string& extension) const override;
    std::vector<std::string> extensions() const override;

private:
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files_;
};

// --- Paths and names ---------------------------------------------------------------------------

std::string toLowerAscii(std::string s);
std::string toUpperAscii(std::string s);
bool equalsIgnoreCase(const std::string& a, const std::string& b);
// "/a/b/c.db" -> "c.db"
std::string fileNamePart(const std::string& path);
// "/a/b/c.db" -> "/a/b" ("." for a bare name)
std::string folderPart(const std::string& path);
// "c.db" -> ".db" (empty when none)
std::string extensionPart(const std::string& name);
// "c.db" -> "c"
std::string stemPart(const std::string& name);
std::string joinPath(const std::string& folder, const std::string& name);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);

// The entry of folder whose name equals name ignoring ASCII case (an exact match first);
// empty when there is none.
std::string findInFolder(const std::string& folder, const std::string& name);
// The names of the regular files in folder (not sorted).
std::vector<std::string> listFolder(const std::string& folder);

}  // namespace tavrinth
