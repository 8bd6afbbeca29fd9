#pragma once
// The target side of a migration: what a table becomes (its plan) and what a database must do
// for it. The SQLite and PostgreSQL targets implement Target; the run (migrate.cpp) is the same
// for both.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "field_value.h"
#include "migrate.h"
#include "table_meta.h"

namespace tavrinth::migrate {

// What a column holds in the target.
enum class ColumnKind : std::uint8_t { Text, Int16, Int32, Int64, Double, Numeric, Bool, Date, Time, Timestamp, Bytes };

struct ColumnPlan {
    std::string name;  // the target's column name (not quoted)
    int field = -1;    // the source field; -1 for the "_deleted" column
    ColumnKind kind = ColumnKind::Text;
    int length = 0;             // Text: the most characters (0: unlimited)
    int precision = 0, scale = 0;  // Numeric: numeric(precision, scale); precision 0: unconstrained
    bool autoIncrement = false;
    bool rawBytes = false;  // a field of a type the engine does not know: its stored bytes
};

// A value as it goes into the target.
struct OutValue {
    enum Type : std::uint8_t { Null, Int, Double, Text } type = Null;
    std::int64_t i = 0;
    double d = 0;
    std::string s;  // Text: UTF-8 text, a decimal number, a date/time in the target's text form, or bytes
};

// A cell read back from the target, in one form for both targets: NULL, or text (integers and
// reals in decimal, booleans "0"/"1", dates YYYY-MM-DD, times HH:MM:SS[.fff], timestamps
// "YYYY-MM-DD HH:MM:SS[.fff]", numerics as the target writes them, bytes as they are).
struct Cell {
    bool null = true;
    std::string text;
};

struct IndexPlan {
    std::string name;                      // the target's index name
    std::vector<int> columns;              // positions in the plan's columns
    std::vector<bool> descending;          // per column
    bool caseInsensitive = false;          // per column lower(c) / COLLATE NOCASE
    bool unique = false;
    bool primary = false;
    std::string what;                      // for messages: "primary key (Customer #)"
};

// Whether a key column of an index is compared ignoring case (texts only).
inline bool foldsCase(const IndexPlan& index, const ColumnPlan& column) {
    return index.caseInsensitive && column.kind == ColumnKind::Text;
}

struct CheckPlan {
    int column = 0;
    bool isMinimum = true;
    FieldValue bound;
    std::string what;  // "CHECK (Year >= 1900)"
};

struct ForeignKeyPlan {
    std::vector<int> columns;          // positions in this plan's columns
    std::string masterTable;           // the master's target name
    std::vector<std::string> masterColumns;
    std::string what;
};

struct TablePlan {
    std::string name;
    std::vector<ColumnPlan> columns;
    std::vector<bool> notNull;            // per column: the field is required
    std::vector<FieldValue> defaults;     // per column: Null = none (the kind tells TODAY/NOW below)
    std::vector<BoundKind> defaultKinds;  // per column: None, Value, Today, Now
    std::vector<IndexPlan> indexes;       // the primary key first when there is one
    std::vector<CheckPlan> checks;
    std::vector<ForeignKeyPlan> foreignKeys;
};

// The constraints that survived the loaded data, handed to the target to make.
struct AcceptedConstraints {
    std::vector<bool> notNull;    // per column
    std::vector<bool> hasDefault; // per column
    std::vector<bool> identity;   // per column: an auto-increment column made an identity
    std::vector<const CheckPlan*> checks;
    std::vector<const IndexPlan*> indexes;  // the primary key (if accepted) first
    std::vector<const ForeignKeyPlan*> foreignKeys;
};

// Loads one table's rows: one call per row, values in the plan's column order.
class RowLoader {
public:
    virtual ~RowLoader() = default;
    virtual void add(const std::vector<OutValue>& row) = 0;
    // Sends what is buffered and ends the load (still inside the table's transaction).
    virtual void finish() = 0;
};

// Reads a table's rows back in the order they were loaded.
class RowReader {
public:
    virtual ~RowReader() = default;
    // Fills `row` (one cell per plan column); false at the end.
    virtual bool next(std::vector<Cell>& row) = 0;
};

class Target {
public:
    virtual ~Target() = default;
    // "SQLite" or "PostgreSQL", and where (for the summary).
    virtual std::string description() const = 0;
    virtual bool isPostgres() const = 0;

    // SQL pieces.
    static std::string quote(const std::string& name);  // "name" with " doubled
    virtual std::string typeName(const ColumnPlan& column) const = 0;
    // A literal of a value for a column (a default or a check's bound).
    virtual std::string literal(const ColumnPlan& column, const FieldValue& value) const = 0;
    // The current date or time for a column's default.
    virtual std::string currentValue(const ColumnPlan& column) const = 0;
    // A key column of an index: "c", lower("c") or "c" COLLATE NOCASE.
    virtual std::string keyColumn(const std::string& quotedColumn, bool caseInsensitive) const = 0;
    // A column as compared with a bound in a check.
    virtual std::string comparable(const ColumnPlan&, const std::string& quotedColumn) const { return quotedColumn; }
    // The most characters of an identifier (0: no limit).
    virtual std::size_t identifierLimit() const = 0;
    // Whether a value fits the target: empty when it does, else why not. Covers what the value
    // conversion cannot see (SQLite keeps no NaN, PostgreSQL no NUL in text).
    virtual std::string refusal(const ColumnPlan& column, const OutValue& value) const = 0;

    virtual bool tableExists(const std::string& name) = 0;
    virtual void execute(const std::string& sql) = 0;
    // The first column of the first row of a query, as a number.
    virtual std::int64_t queryNumber(const std::string& sql) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;  // quiet: used on the way out of an error

    // Drops a table that exists (in the open transaction); returns a line for each thing of other
    // tables that went with it (a foreign key that referred to it).
    virtual std::vector<std::string> dropTable(const std::string& name) {
        execute("DROP TABLE " + quote(name));
        return {};
    }
    // Creates the table with its columns only (no constraints).
    virtual void createTable(const TablePlan& plan) = 0;
    // Makes the accepted constraints on the loaded table (in the open transaction).
    // Returns a line for each one the target refused (it is then left out).
    virtual std::vector<std::string> addConstraints(const TablePlan& plan, const AcceptedConstraints& accepted) = 0;
    // Starts loading rows (in the open transaction) into the plan's columns.
    virtual std::unique_ptr<RowLoader> load(const TablePlan& plan) = 0;
    // Marks where a load begins, so that readBack reads the rows loaded after it only.
    virtual std::string loadMark(const TablePlan& plan) = 0;
    // Reads the rows loaded after `mark` back, in load order (an empty mark: every row).
    virtual std::unique_ptr<RowReader> readBack(const TablePlan& plan, const std::string& mark) = 0;
};

// A text as an SQL string literal: in single quotes, a quote inside doubled.
inline std::string textLiteral(const std::string& s) {
    std::string q = "'";
    for (const char c : s) {
        if (c == '\'') q += '\'';
        q += c;
    }
    return q + "'";
}

std::unique_ptr<Target> openSqliteTarget(const std::string& path);
std::unique_ptr<Target> openPostgresTarget(const std::string& conninfo);

}  // namespace tavrinth::migrate
