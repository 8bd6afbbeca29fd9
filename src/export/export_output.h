#pragma once
// The file the delimited export writes: text gathered in a buffer and written in pieces of about
// 1 MB through the engine's atomic file writer, so the target is replaced only by a complete file.
// Failures are the writer's EFileWriteError.

#include <cstddef>
#include <string>

#include "atomic_file.h"

namespace tavrinth {

class ExportOutput {
public:
    static constexpr std::size_t kFlushSize = std::size_t{1} << 20;

    // Starts the file that replaces `filename`.
    explicit ExportOutput(const std::string& filename) : file_(filename, AtomicFile::Mode::Replace) {
        buffer_.reserve(kFlushSize + 64 * 1024);
    }

    // The text not yet written; append to it, then call flushIfFull().
    std::string& buffer() { return buffer_; }
    void flushIfFull() {
        if (buffer_.size() >= kFlushSize) flush();
    }
    void flush() {
        file_.write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    // Writes what the buffer holds, then `text`.
    void write(const std::string& text) {
        flush();
        file_.write(text.data(), text.size());
    }
    // Writes what is left and puts the file in the target's place.
    void commit() {
        flush();
        file_.commit();
    }

private:
    AtomicFile file_;
    std::string buffer_;
};

}  // namespace tavrinth
