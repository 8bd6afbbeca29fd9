#include "pg_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <signal.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <libpq-fe.h>

#include "test_files.h"

namespace tavrinth::test {

namespace {

// Only names the socket file (.s.PGSQL.<port>) and its lock file, both in the server's own socket
// folder: with no TCP listener, parallel servers never meet on it. Not 5432, so that a connection
// string that lost its host fails rather than reaching a system server.
constexpr int kPort = 55432;
constexpr const char* kServerUser = "nobody";  // who runs the server when the test runs as root
constexpr const char* kFolderPrefix = "/tavrinth-pg-";
constexpr int kToolTimeoutSeconds = 120;

[[noreturn]] void systemError(const std::string& what) {
    throw std::runtime_error("test PostgreSQL server: " + what + ": " + std::strerror(errno));
}

bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

bool hasServerPrograms(const std::string& bindir) {
    return !bindir.empty() && isExecutable(bindir + "/initdb") && isExecutable(bindir + "/pg_ctl") &&
           isExecutable(bindir + "/postgres");
}

// Moves a descriptor to 3 or above, so that setting up a child's 0, 1 and 2 never overwrites it.
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// What a forked child does before exec: only async-signal-safe calls. Every string is made
// before the fork.
struct ChildSetup {
    int in = -1, out = -1, err = -1;  // become 0, 1 and 2
    const char* cwd = "/";
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    bool newSession = false;
    int maxFd = 1024;
};

void writeError(const char* what) {
    char number[24];
    char* at = number + sizeof number;
    *--at = '\n';
    for (int e = errno; at == number + sizeof number - 1 || e > 0; e /= 10) *--at = static_cast<char>('0' + e % 10);
    (void)!::write(2, what, std::strlen(what));
    (void)!::write(2, ": errno ", 8);
    (void)!::write(2, at, static_cast<std::size_t>(number + sizeof number - at));
}

[[noreturn]] void execChild(const ChildSetup& setup, char* const argv[], char* const envp[]) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &byDefault, nullptr);
    if (setup.newSession) ::setsid();
    ::dup2(setup.in, 0);
    ::dup2(setup.out, 1);
    ::dup2(setup.err, 2);
    if (::close_range(3, ~0U, 0) != 0)
        for (int fd = 3; fd < setup.maxFd; ++fd) ::close(fd);
    if (::chdir(setup.cwd) != 0) {
        writeError("cannot enter the server folder");
        ::_exit(127);
    }
    if (setup.switchUser) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(setup.gid) != 0 || ::setuid(setup.uid) != 0) {
            writeError("cannot switch to the server's user");
            ::_exit(127);
        }
    }
    ::execve(argv[0], argv, envp);
    writeError(argv[0]);
    ::_exit(127);
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The server programs' whole environment: nothing of the test's PG* variables, a fixed locale
// and time zone (initdb writes both into the cluster).
std::vector<std::string> toolEnvironment(const std::string& home) {
    return {"PATH=/usr/bin:/bin", "HOME=" + home, "LC_ALL=C.UTF-8", "TZ=UTC"};
}

int maxDescriptor() {
    const long open = ::sysconf(_SC_OPEN_MAX);
    return open > 0 ? static_cast<int>(std::min(open, 65536L)) : 1024;
}

struct ToolResult {
    std::string command;
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    std::string output;  // standard output and standard error, interleaved

    bool ok() const { return exitStatus == 0; }
    std::string describe() const {
        std::string text = "`" + command + "` ";
        if (timedOut)
            text += "was killed after " + std::to_string(kToolTimeoutSeconds) + " s";
        else if (signal)
            text += "was killed by signal " + std::to_string(signal);
        else
            text += "exited with status " + std::to_string(exitStatus);
        return text + (output.empty() ? std::string(" and wrote nothing") : ":\n" + output);
    }
};

std::string readWhole(int fd) {
    std::string text;
    char buf[8192];
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buf, sizeof buf, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buf, static_cast<std::size_t>(got));
        at += got;
    }
    return text;
}

// Runs a program, its output caught in a memory file rather than a pipe: pg_ctl leaves the
// server running behind it, and nothing of ours must be held open by the server.
ToolResult runTool(std::vector<std::string> argv, const std::string& cwd, bool switchUser, uid_t uid, gid_t gid,
                   const std::string& home) {
    ToolResult result;
    for (const std::string& a : argv) result.command += (result.command.empty() ? "" : " ") + a;

    std::vector<std::string> env = toolEnvironment(home);
    std::vector<char*> argp = pointersTo(argv);
    std::vector<char*> envp = pointersTo(env);
    const int in = aboveStandardStreams(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (in < 0) systemError("cannot open /dev/null");
    const int out = aboveStandardStreams(::memfd_create("tavrinth-pg-tool", MFD_CLOEXEC));
    if (out < 0) {
        ::close(in);
        systemError("cannot make a memory file");
    }
    ChildSetup setup;
    setup.in = in;
    setup.out = setup.err = out;
    setup.cwd = cwd.c_str();
    setup.switchUser = switchUser;
    setup.uid = uid;
    setup.gid = gid;
    setup.maxFd = maxDescriptor();

    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(in);
        ::close(out);
        systemError("fork failed");
    }
    if (pid == 0) execChild(setup, argp.data(), envp.data());
    ::close(in);

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kToolTimeoutSeconds);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.timedOut) {
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    result.output = readWhole(out);
    ::close(out);
    return result;
}

// The folder of `pg_config --bindir` when it has the server programs, else the newest
// /usr/lib/postgresql/<version>/bin that has them.
std::string findServerPrograms() {
    std::string tried = " (no pg_config on the PATH)";
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t from = 0; from <= dirs.size();) {
        std::size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        const std::string pgConfig = dirs.substr(from, to - from) + "/pg_config";
        from = to + 1;
        if (pgConfig[0] != '/' || !isExecutable(pgConfig)) continue;
        const ToolResult r = runTool({pgConfig, "--bindir"}, "/", false, 0, 0, "/");
        std::string bindir = r.output;
        while (!bindir.empty() && (bindir.back() == '\n' || bindir.back() == '\r')) bindir.pop_back();
        if (r.ok() && hasServerPrograms(bindir)) return bindir;
        tried = " (`" + pgConfig + " --bindir` names " + (bindir.empty() ? "nothing" : bindir) + ")";
        break;
    }

    const std::string root = "/usr/lib/postgresql";
    std::string best;
    std::pair<long, long> bestVersion{-1, -1};
    if (DIR* dir = ::opendir(root.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            char* end = nullptr;
            const long major = std::strtol(name.c_str(), &end, 10);
            if (end == name.c_str()) continue;
            const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
            const std::string bindir = root + "/" + name + "/bin";
            if (std::make_pair(major, minor) > bestVersion && hasServerPrograms(bindir)) {
                bestVersion = {major, minor};
                best = bindir;
            }
        }
        ::closedir(dir);
    }
    if (!best.empty()) return best;
    throw std::runtime_error("test PostgreSQL server: initdb, pg_ctl and postgres are neither in the folder of "
                             "pg_config --bindir" + tried + " nor in any " + root +
                             "/<version>/bin; install the Debian package postgresql (scripts/install-deps does)");
}

// Whether a path has only characters that need no quoting anywhere (pg_ctl puts the data folder
// and the log into a shell command line, postgresql.conf quotes the socket folder).
bool plainPath(const std::string& path) {
    return std::all_of(path.begin(), path.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
               c == '.' || c == '_' || c == '-' || c == '+';
    });
}

// Whether the server's user, not the test's, can reach `folder` and remove its own entries there
// (its watcher does when the test program dies): a folder like /tmp.
bool serverUserCanUse(const std::string& folder, uid_t uid) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !(st.st_uid == uid || (st.st_mode & S_IWOTH))) return false;
    for (std::size_t end = folder.size(); end != std::string::npos && end > 0; end = folder.rfind('/', end - 1))
        if (::stat(folder.substr(0, end).c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    return true;
}

// $TMPDIR, unless the socket's path would be too long for a Unix socket (107 bytes), it needs
// quoting, or a server run by another user could not use it: then /tmp.
std::string temporaryBase(bool switchUser, uid_t uid) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = tmpdir && *tmpdir ? tmpdir : "/tmp";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const std::size_t socketPath =
        base.size() + std::strlen(kFolderPrefix) + 6 + std::strlen("/socket/.s.PGSQL.") + std::to_string(kPort).size();
    if (base[0] != '/' || socketPath > 107 || !plainPath(base) || (switchUser && !serverUserCanUse(base, uid)))
        return "/tmp";
    return base;
}

std::string quotedConnValue(const std::string& value) {
    const bool plain = !value.empty() && value.find_first_of(" '\\\t\n") == std::string::npos;
    if (plain) return value;
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "'";
}

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

}  // namespace

PostgresServer::PostgresServer() : owner_(::getpid()) {
    try {
        start();
    } catch (...) {
        stopAndRemove();
        throw;
    }
}

PostgresServer::~PostgresServer() { stopAndRemove(); }

void PostgresServer::start() {
    bindir_ = findServerPrograms();
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam(kServerUser);
        if (!user)
            throw std::runtime_error(std::string("test PostgreSQL server: PostgreSQL does not run as root, and there "
                                                 "is no user \"") +
                                     kServerUser + "\" to run it as");
        switchUser_ = true;
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
    }

    std::string folder = temporaryBase(switchUser_, uid_) + kFolderPrefix + "XXXXXX";
    if (!::mkdtemp(folder.data())) systemError("cannot create a temporary folder " + folder);
    folder_ = folder;
    const std::string socketDir = folder_ + "/socket";
    if (::mkdir(socketDir.c_str(), 0700) != 0) systemError("cannot create " + socketDir);
    if (switchUser_) {
        // The data folder (made by initdb) stays the server user's alone; root reaches the socket.
        for (const std::string& dir : {folder_, socketDir})
            if (::chown(dir.c_str(), uid_, gid_) != 0 || ::chmod(dir.c_str(), 0755) != 0)
                systemError("cannot hand " + dir + " to the user " + kServerUser);
    }
    startWatcher();

    const std::string data = folder_ + "/data";
    const ToolResult initdb = runTool({bindir_ + "/initdb", "-D", data, "-U", "postgres", "-E", "UTF8",
                                       "--locale=C.UTF-8", "--auth=trust", "-N"},
                                      folder_, switchUser_, uid_, gid_, folder_);
    if (!initdb.ok()) throw std::runtime_error("test PostgreSQL server: initdb failed: " + initdb.describe());

    // The settings go into postgresql.conf rather than through pg_ctl -o, which passes them
    // through a shell.
    std::string settings =
        "\n# A private server of a test: a Unix socket in its own folder, no TCP, nothing kept safe on disk.\n"
        "listen_addresses = ''\n"
        "unix_socket_directories = '" + socketDir + "'\n"
        "port = " + std::to_string(kPort) + "\n"
        "fsync = off\n"
        "synchronous_commit = off\n"
        "full_page_writes = off\n";
    const std::string conf = data + "/postgresql.conf";
    const int fd = ::open(conf.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) systemError("cannot open " + conf);
    const bool written = ::write(fd, settings.data(), settings.size()) == static_cast<ssize_t>(settings.size());
    if (::close(fd) != 0 || !written) systemError("cannot write " + conf);

    const ToolResult start = runTool({bindir_ + "/pg_ctl", "start", "-D", data, "-w", "-t", "60", "-l",
                                      folder_ + "/server.log"},
                                     folder_, switchUser_, uid_, gid_, folder_);
    if (!start.ok()) {
        const std::string log = serverLog();
        throw std::runtime_error("test PostgreSQL server: the server did not start: " + start.describe() +
                                 "\nserver.log:\n" + (log.empty() ? "(empty)" : log));
    }
}

// A process of the server's user that waits for the end of a pipe whose writing end only this
// process holds, then stops the server and removes the folder: when the object goes, and also
// when the test program dies without running destructors. In a session of its own, so that a
// Ctrl-C at the terminal leaves it to do its work.
void PostgresServer::startWatcher() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) systemError("cannot make a pipe");
    ends[0] = aboveStandardStreams(ends[0]);
    const int devNull = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (ends[0] < 0 || devNull < 0) {
        for (const int fd : {ends[0], ends[1], devNull})
            if (fd >= 0) ::close(fd);
        systemError("cannot open /dev/null");
    }
    std::vector<std::string> argv = {
        "/bin/sh", "-c", "cat >/dev/null; \"$1\" stop -D \"$2\" -m immediate -w; rm -rf -- \"$3\"", "sh",
        bindir_ + "/pg_ctl", folder_ + "/data", folder_};
    std::vector<std::string> env = toolEnvironment(folder_);
    std::vector<char*> argp = pointersTo(argv);
    std::vector<char*> envp = pointersTo(env);
    ChildSetup setup;
    setup.in = ends[0];
    setup.out = setup.err = devNull;
    setup.switchUser = switchUser_;
    setup.uid = uid_;
    setup.gid = gid_;
    setup.newSession = true;
    setup.maxFd = maxDescriptor();

    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        ::close(devNull);
        systemError("fork failed");
    }
    if (pid == 0) execChild(setup, argp.data(), envp.data());
    ::close(ends[0]);
    ::close(devNull);
    watcher_ = pid;
    watcherPipe_ = ends[1];
}

void PostgresServer::stopAndRemove() {
    if (::getpid() != owner_) return;  // a forked child of the test: the server is not its own
    if (watcherPipe_ >= 0) {
        ::close(watcherPipe_);
        watcherPipe_ = -1;
        while (::waitpid(watcher_, nullptr, 0) < 0 && errno == EINTR) {
        }
        watcher_ = -1;
    }
    if (!folder_.empty()) removeTree(folder_);  // what the watcher left, if anything
    folder_.clear();
}

std::string PostgresServer::conninfo(const std::string& database) const {
    return "host=" + quotedConnValue(folder_ + "/socket") + " port=" + std::to_string(kPort) +
           " user=postgres dbname=" + quotedConnValue(database);
}

void PostgresServer::createDatabase(const std::string& name) {
    const Connection connection(PQconnectdb(conninfo().c_str()), &PQfinish);
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the test PostgreSQL server: " +
                                 std::string(connection ? PQerrorMessage(connection.get()) : "out of memory"));
    char* quoted = PQescapeIdentifier(connection.get(), name.data(), name.size());
    if (!quoted) throw std::runtime_error("cannot quote the database name " + name);
    const std::string sql = "CREATE DATABASE " + std::string(quoted) + " TEMPLATE template0 ENCODING 'UTF8'";
    PQfreemem(quoted);
    const Result result(PQexec(connection.get(), sql.c_str()), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(connection.get()));
}

std::string PostgresServer::serverLog() const {
    try {
        return readFile(folder_ + "/server.log");
    } catch (const std::exception&) {
        return {};
    }
}

PostgresServer& PostgresServer::shared() {
    struct Shared {
        std::unique_ptr<PostgresServer> server;
        std::string failure;
        Shared() {
            try {
                server = std::make_unique<PostgresServer>();
            } catch (const std::exception& e) {
                failure = e.what();
            }
        }
    };
    static Shared shared;  // its destructor, at exit, stops the server
    if (!shared.server) throw std::runtime_error(shared.failure);
    return *shared.server;
}

}  // namespace tavrinth::test
