#pragma once
// Errors raised by the table engine and the data-access layer over it.
//
// The message of every error is the text the user sees in the error box: it names the file and,
// for damaged files, what is wrong and where.

#include <stdexcept>
#include <string>

namespace tavrinth {

// An error of the data-access layer (the table object, fields, index definitions).
class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// An error of the table engine itself (files, formats, passwords, aliases).
class EDBEngineError : public EDatabaseError {
public:
    enum class Code {
        General,
        NotFound,       // a file, table, alias or field that does not exist
        Corrupt,        // a file whose bytes are outside its format
        Unsupported,    // a valid file of a kind or level this engine does not read
        Password,       // no password, or a wrong one, for an encrypted table
        Io,             // the operating system refused a read or write
        Locked,         // the table is in use by another program
        InvalidValue,   // a value a field cannot hold
        StartUp,        // the engine could not be started (alias file unreadable)
    };

    EDBEngineError(Code code, const std::string& message, std::string detail = {})
        : EDatabaseError(message), code_(code), detail_(std::move(detail)) {}
    explicit EDBEngineError(const std::string& message) : EDatabaseError(message), code_(Code::General) {}

    Code code() const noexcept { return code_; }
    // More about the cause, where the message must keep a fixed text (the start-up error).
    const std::string& detail() const noexcept { return detail_; }

private:
    Code code_;
    std::string detail_;
};

// The engine's message for a change refused because the record changed in the file since it was
// read (by another program or another table object).
inline constexpr const char* kRecordChangedMessage =
    "The record was changed by another user; reopen the table to see the change";

// The layer's message for any operation on a closed table.
inline constexpr const char* kClosedDatasetMessage = "Cannot perform this operation on a closed dataset";

}  // namespace tavrinth
