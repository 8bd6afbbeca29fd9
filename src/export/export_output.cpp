#include "export_output.h"

#include <cerrno>

#include "delimited_export.h"

namespace tavrinth {

namespace {

// The export's error for a failure of the file writer.
[[noreturn]] void raiseInOut(const EFileWriteError& e) {
    throw EInOutError(e.errorNumber(), inOutErrorMessage(e.errorNumber()));
}

AtomicFile openTarget(const std::string& filename) {
    try {
        return AtomicFile(filename, AtomicFile::Mode::Replace);
    } catch (const EFileWriteError& e) {
        // Creating a file in a folder that does not exist: the name is wrong, not the file.
        if (e.errorNumber() == ENOENT) throw EInOutError(ENOTDIR, inOutErrorMessage(ENOTDIR));
        raiseInOut(e);
    }
}

}  // namespace

ExportOutput::ExportOutput(const std::string& filename) : file_(openTarget(filename)) {
    buffer_.reserve(kFlushSize + 64 * 1024);
}

void ExportOutput::flush() {
    try {
        file_.write(buffer_.data(), buffer_.size());
    } catch (const EFileWriteError& e) {
        raiseInOut(e);
    }
    buffer_.clear();
}

void ExportOutput::write(const std::string& text) {
    flush();
    try {
        file_.write(text.data(), text.size());
    } catch (const EFileWriteError& e) {
        raiseInOut(e);
    }
}

void ExportOutput::commit() {
    flush();
    try {
        file_.commit();
    } catch (const EFileWriteError& e) {
        raiseInOut(e);
    }
}

}  // namespace tavrinth
