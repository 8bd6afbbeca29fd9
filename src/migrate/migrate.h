#pragma once
// Moving tables into a live database: SQLite (through its C library) or PostgreSQL (libpq).
//
// One target table per source table, named after the table file without its extension. The data
// is loaded first, in one transaction per table, and then the keys, indexes and checks the table
// declares are added, each only when the loaded data keeps it (a constraint the data breaks is
// reported with the number of rows that break it, and left out). A value the target cannot take
// is stored as NULL and reported with its table, record number and field. The source files are
// only read.

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrinth::migrate {

// A target that cannot be opened or a run that cannot start (an unknown target, a table that
// exists without --replace ...).
struct MigrateError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct MigrateOptions {
    bool schemaOnly = false;      // create the tables, load nothing
    bool dataOnly = false;        // load into tables that exist, create nothing
    bool replace = false;         // drop and create again a target table that exists
    bool includeDeleted = false;  // dBase deleted records too, with a boolean "_deleted" column
    bool lowerCaseNames = false;  // table and column names in lower case
    bool verify = false;          // read every row back and compare it with the source
    std::string codePage;         // overrides every table's code page (a code page name)
    std::vector<std::string> passwords;  // tried on encrypted tables
};

// What happened to one table.
struct TableOutcome {
    std::string source;  // the table file as given
    std::string target;  // the target table's name
    bool done = false;   // created and loaded (the transaction committed)
    std::uint64_t rows = 0;  // records loaded
    std::string error;   // why the table failed (its transaction was rolled back)
    // Values the target could not take (stored as NULL): one line each.
    std::vector<std::string> problems;
    // Keys, indexes and checks left out (with why), columns renamed: one line each.
    std::vector<std::string> notes;
    bool verified = false;  // --verify ran on it
    std::uint64_t verifiedRows = 0, differences = 0;
    std::vector<std::string> differenceSamples;  // the first few differences, for the report
};

struct MigrateSummary {
    std::vector<TableOutcome> tables;
    bool cancelled = false;
    // 0 when every table was done with every value and no difference; 1 otherwise (a failed
    // table, a value the target could not take, a difference, a cancelled run).
    int exitStatus() const;
    // The summary lines the command prints at the end.
    std::string text() const;
};

// Where a run is: reported between records (not for every record) and at each table's start and end.
struct MigrateProgress {
    std::size_t table = 0, tables = 0;  // 0-based position of the table in progress, and the count
    std::string tableName;              // the target name
    const char* phase = "";             // "loading", "constraints", "verifying"
    std::uint64_t rows = 0, totalRows = 0;  // rows of this table done, and in all
    double seconds = 0;                 // since the table began
};

class MigrateObserver {
public:
    virtual ~MigrateObserver() = default;
    virtual void progress(const MigrateProgress&) {}
    // A line about the run as it goes (a table done, a value left out ...).
    virtual void note(const std::string&) {}
    // Asked between records: true stops the run; the table in progress is rolled back.
    virtual bool cancelled() { return false; }
};

// The tables named: table files as they are, a folder as its tables (.db and .dbf, in name order).
// Throws MigrateError for a path that is neither.
std::vector<std::string> expandSources(const std::vector<std::string>& filesOrFolders);

class Target;
// Opens "sqlite:PATH" (the file is created when missing) or "postgresql:CONNINFO" (a libpq
// connection string or URI). Throws MigrateError with the target's own message.
std::unique_ptr<Target> openTarget(const std::string& spec);

// Moves the tables into the target. Throws MigrateError before anything is written when the run
// cannot start; a table that fails on the way is recorded in its outcome and the run goes on.
MigrateSummary migrate(const std::vector<std::string>& tableFiles, Target& target, const MigrateOptions& options,
                       MigrateObserver* observer = nullptr);

}  // namespace tavrinth::migrate
