#include "process.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrinth::test {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         int timeoutSeconds) {
    if (argv.empty()) throw std::invalid_argument("runProcess needs a program");

    // The child's environment, built before fork so that the child only calls exec.
    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (environment.count(name)) continue;
        envStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment)
        if (value) envStrings.push_back(name + "=" + *value);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        static const char msg[] = "runProcess: exec failed\n";
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    ProcessResult result;
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p[2];
        nfds_t count = 0;
        int which[2];
        for (int k = 0; k < 2; ++k)
            if (fds[k] >= 0) {
                p[count] = {fds[k], POLLIN, 0};
                which[count++] = k;
            }
        const int r = ::poll(p, count, static_cast<int>(left.count()));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t k = 0; k < count; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            const ssize_t got = ::read(p[k].fd, buf, sizeof buf);
            if (got > 0)
                sinks[which[k]]->append(buf, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                closeIfOpen(fds[which[k]]);
        }
    }
    closeIfOpen(fds[0]);
    closeIfOpen(fds[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace tavrinth::test
