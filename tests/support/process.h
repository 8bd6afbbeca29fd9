#pragma once
// Running a program and collecting what it writes.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrinth::test {

struct ProcessResult {
    int exitStatus = -1;   // the exit status, or -1 when the program did not exit normally
    int signal = 0;        // the signal that ended it, if any
    bool timedOut = false;
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs argv[0] with the arguments argv[1..], standard input empty. `environment` changes the
// inherited environment: a value sets the variable, std::nullopt removes it. The program is
// killed after `timeoutSeconds`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& environment = {},
                         int timeoutSeconds = 60);

}  // namespace tavrinth::test
