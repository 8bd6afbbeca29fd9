#pragma once
// Writing whole files safely: a file is written under a temporary name in its target's folder,
// flushed to the disk, then renamed into place, and the folder is flushed so that the new name
// lasts. A failure at any step is reported with the system's error and leaves nothing behind:
// the temporary file is removed and the target is as it was. A crash leaves the old file or the
// new one, never a mixture (and at worst a stray temporary file whose name starts with a dot).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine_error.h"

namespace tavrinth {

// The operating system refused to write a file. The message reads "cannot write PATH: reason"
// or the like (for the caller to put behind what it was doing); errorNumber() is the errno
// behind it (EEXIST for a target that must not exist and does).
class EFileWriteError : public EDBEngineError {
public:
    EFileWriteError(int errorNumber, const std::string& message)
        : EDBEngineError(Code::Io, message), errorNumber_(errorNumber) {}
    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

// A new file of a family written together (writeNewFiles).
struct NewFile {
    std::string path;
    const std::vector<std::uint8_t>* bytes;
};

class AtomicFile {
public:
    enum class Mode {
        CreateNew,  // the target must not exist, and is never replaced (not even by a file that
                    // appears while writing)
        Replace,    // an existing target is replaced (through a link: the file it points at), and
                    // keeps its permissions; a target the user may not write is refused
    };

    // Creates the temporary file. Throws EFileWriteError.
    AtomicFile(const std::string& target, Mode mode);
    // Without commit() (or after a failure): removes the temporary file.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Appends bytes to the temporary file. Throws EFileWriteError (a full disk, say).
    void write(const void* data, std::size_t size);
    // Flushes the file's bytes to the disk and closes it. Throws EFileWriteError.
    void sync();
    // sync(), then gives the file its target's name and flushes the folder.
    void commit();

    // The path the file gets (for Replace through a link: the file the link points at).
    const std::string& target() const { return target_; }

private:
    friend void writeNewFiles(const std::vector<NewFile>& files);
    // Renames the synced file to its target (Mode decides whether it may replace one).
    void place();
    // Removes the file placed by place() (a family whose other files failed).
    void withdraw() noexcept;

    std::string target_;
    std::string folder_;
    std::string temp_;
    Mode mode_;
    int fd_ = -1;
    bool keepMode_ = false;
    unsigned permissions_ = 0;
    bool placed_ = false;
    std::uint64_t written_ = 0, flushStarted_ = 0;
};

// Writes new files all or none: each to a temporary file, all flushed, then all renamed into
// place, never over an existing file (compared ignoring case, as the table files are found). On
// any failure the files already placed are removed again and EFileWriteError is raised.
void writeNewFiles(const std::vector<NewFile>& files);

// Flushes a folder's entries (new names, removed names) to the disk; errors are ignored, as some
// file systems cannot.
void syncFolder(const std::string& folder);

}  // namespace tavrinth
