#pragma once
// A PostgreSQL server of the test's own, for the tests that write into a real database.

#include <string>

#include <sys/types.h>

namespace tavrinth::test {

// A cluster made by initdb in a fresh temporary folder, listening on a Unix socket in that folder
// only (no TCP), trusting every local connection, with fsync off. It is stopped (immediate
// shutdown) and its folder removed when the object goes, and also when the test program dies
// without running destructors (a crash, a timeout's SIGKILL): a small watcher process does it.
//
// The server programs come from `pg_config --bindir`, else from the newest
// /usr/lib/postgresql/*/bin. PostgreSQL refuses to run as root: a test run by root runs the
// server as the user "nobody".
class PostgresServer {
public:
    // Throws std::runtime_error, with what the tools wrote, when the server cannot be started
    // (no PostgreSQL installed included).
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The libpq connection string of a database of this server, as the superuser "postgres":
    // "host=<socket folder> port=<port> user=postgres dbname=<database>".
    std::string conninfo(const std::string& database = "postgres") const;

    // CREATE DATABASE (UTF8, from template0); throws std::runtime_error with the server's message.
    void createDatabase(const std::string& name);

    // What the server has written to its log so far.
    std::string serverLog() const;

    // The server shared by the whole test program: started on first use, stopped at exit. When
    // it could not be started, every call throws the same error.
    static PostgresServer& shared();

private:
    void start();
    void startWatcher();
    void stopAndRemove();

    std::string bindir_;
    std::string folder_;      // the temporary folder: data/, socket/, server.log
    bool switchUser_ = false;  // run the server programs as uid_/gid_
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    pid_t owner_ = 0;        // the process that started the server
    pid_t watcher_ = -1;     // stops the server and removes the folder once watcherPipe_ closes
    int watcherPipe_ = -1;
};

}  // namespace tavrinth::test
