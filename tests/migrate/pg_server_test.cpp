// The tests' own PostgreSQL server: it starts, listens on nothing but its Unix socket, and takes a
// database and rows.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "pg_server.h"
#include "test_files.h"

namespace {

using tavrinth::test::PostgresServer;
using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;
using Rows = std::vector<std::vector<std::string>>;

Connection connect(const std::string& conninfo) {
    Connection connection(PQconnectdb(conninfo.c_str()), &PQfinish);
    if (PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect with \"" + conninfo + "\": " + PQerrorMessage(connection.get()));
    return connection;
}

// The rows a statement gives, NULL as "<null>"; throws with the server's message.
Rows query(PGconn* connection, const std::string& sql) {
    const Result result(PQexec(connection, sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(connection));
    Rows rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(result.get()); ++c)
            rows.back().push_back(PQgetisnull(result.get(), r, c) ? "<null>" : PQgetvalue(result.get(), r, c));
    }
    return rows;
}

std::string value(PGconn* connection, const std::string& sql) {
    const Rows rows = query(connection, sql);
    if (rows.size() != 1 || rows[0].size() != 1) throw std::runtime_error(sql + ": not one value");
    return rows[0][0];
}

TEST(PostgresServer, ListensOnlyOnItsOwnUnixSocket) {
    PostgresServer& server = PostgresServer::shared();
    const Connection connection = connect(server.conninfo());
    PGconn* c = connection.get();

    EXPECT_EQ(value(c, "SELECT version()").rfind("PostgreSQL ", 0), 0u);
    EXPECT_EQ(value(c, "SHOW listen_addresses"), "");
    EXPECT_EQ(value(c, "SHOW unix_socket_directories"), PQhost(c));
    EXPECT_EQ(std::string(PQhost(c)).rfind('/', 0), 0u) << "not a socket folder: " << PQhost(c);
    EXPECT_EQ(value(c, "SELECT inet_server_addr() IS NULL"), "t");
    EXPECT_EQ(value(c, "SELECT current_user"), "postgres");
    EXPECT_EQ(value(c, "SHOW server_encoding"), "UTF8");
    EXPECT_EQ(value(c, "SHOW fsync"), "off");

    // PostgreSQL never runs as root: run by root, the test runs it as another user.
    const std::string backend = "/proc/" + value(c, "SELECT pg_backend_pid()");
    EXPECT_NE(tavrinth::test::statOf(backend).st_uid, 0u);
}

TEST(PostgresServer, TakesADatabaseAndCopiedRows) {
    PostgresServer& server = PostgresServer::shared();
    server.createDatabase("copy check");
    EXPECT_THROW(server.createDatabase("copy check"), std::runtime_error);  // already there
    const Connection connection = connect(server.conninfo("copy check"));
    PGconn* c = connection.get();
    EXPECT_EQ(value(c, "SELECT current_database()"), "copy check");
    EXPECT_EQ(value(c, "SELECT pg_encoding_to_char(encoding) FROM pg_database WHERE datname = current_database()"),
              "UTF8");

    query(c, "CREATE TABLE people (id integer PRIMARY KEY, name text, born date)");
    {
        const Result copying(PQexec(c, "COPY people FROM STDIN"), &PQclear);
        ASSERT_EQ(PQresultStatus(copying.get()), PGRES_COPY_IN) << PQerrorMessage(c);
    }
    const std::string rows = "1\t\xC3\x85sa M\xC3\xBCller\t1961-02-03\n"
                             "2\tJoe\t\\N\n"
                             "3\t'quoted' \\\\ back\\tslash\t2000-12-31\n";
    ASSERT_EQ(PQputCopyData(c, rows.data(), static_cast<int>(rows.size())), 1) << PQerrorMessage(c);
    ASSERT_EQ(PQputCopyEnd(c, nullptr), 1) << PQerrorMessage(c);
    {
        const Result copied(PQgetResult(c), &PQclear);
        ASSERT_EQ(PQresultStatus(copied.get()), PGRES_COMMAND_OK) << PQerrorMessage(c);
        EXPECT_STREQ(PQcmdTuples(copied.get()), "3");
    }
    while (PGresult* more = PQgetResult(c)) PQclear(more);

    const Rows expected = {{"1", "\xC3\x85sa M\xC3\xBCller", "1961-02-03"},
                           {"2", "Joe", "<null>"},
                           {"3", "'quoted' \\ back\tslash", "2000-12-31"}};
    EXPECT_EQ(query(c, "SELECT id, name, born FROM people ORDER BY id"), expected);
}

}  // namespace
