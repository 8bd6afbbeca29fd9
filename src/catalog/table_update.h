#pragma once
// Shared pieces of changing records in place.

#include <string>

#include "field_value.h"
#include "file_io.h"

namespace tavrinth {

// A file of a table opened for writing, with an advisory lock held while a change is written.
class WritableFile {
public:
    // Opens the file read-write; throws EDBEngineError when it cannot.
    explicit WritableFile(const std::string& path);
    ~WritableFile();
    WritableFile(const WritableFile&) = delete;
    WritableFile& operator=(const WritableFile&) = delete;

    // Writes all n bytes at offset and flushes them to the disk; throws EDBEngineError on failure.
    void writeDurably(std::uint64_t offset, const void* data, std::size_t n);
    // Takes the write lock on the whole file (released by unlock); throws EDBEngineError when
    // another process holds a lock on it.
    void lock();
    void unlock();
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Whether another process holds a lock on any byte of the file (the old engines lock records and
// the header with byte-range locks); the reason, or empty.
std::string foreignLockReason(const std::string& path);

// Compares two values of the same field: <0, 0, >0; `comparable` is false when they cannot be
// compared (different kinds, NULL).
int compareValues(const FieldValue& a, const FieldValue& b, bool& comparable);

// Today's date as a day number, and the current time of day in milliseconds (local time).
std::int64_t todayDayNumber();
std::int64_t nowMilliseconds();

namespace testing {
// Called at the stages of writing a change ("before-write", "after-write"), for the tests that
// kill a process in the middle of a change. Null (the default) does nothing.
void setUpdateHook(void (*hook)(const char* stage));
void runUpdateHook(const char* stage);
}  // namespace testing

}  // namespace tavrinth
