// The SQLite target: a database file through SQLite's C library. Rows go in through one prepared
// INSERT in the table's transaction. SQLite cannot add constraints to a table that exists, so
// when the loaded data keeps some, the table is made again with them and the rows copied over,
// still in the same transaction.

#include <sqlite3.h>

#include <cmath>

#include "number_text.h"
#include "target.h"
#include "target_values.h"

namespace tavrinth::migrate {

namespace {

std::string hexLiteral(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string q = "X'";
    for (const unsigned char c : bytes) {
        q += digits[c >> 4];
        q += digits[c & 15];
    }
    return q + "'";
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr) != SQLITE_OK)
            throw MigrateError(std::string("SQLite: ") + sqlite3_errmsg(db) + " in: " + sql);
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return st_; }
    // True for a row, false when done; throws on an error.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw MigrateError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

class SqliteLoader : public RowLoader {
public:
    SqliteLoader(sqlite3* db, const TablePlan& plan) : plan_(plan) {
        std::string names, marks;
        for (const ColumnPlan& c : plan.columns) {
            names += (names.empty() ? "" : ", ") + Target::quote(c.name);
            marks += marks.empty() ? "?" : ", ?";
        }
        insert_ = std::make_unique<Statement>(db, "INSERT INTO " + Target::quote(plan.name) + " (" + names + ") VALUES (" + marks + ")");
    }
    void add(const std::vector<OutValue>& row) override {
        sqlite3_stmt* st = insert_->get();
        for (std::size_t i = 0; i < row.size(); ++i) {
            const OutValue& v = row[i];
            const int at = static_cast<int>(i) + 1;
            switch (v.type) {
                case OutValue::Null: sqlite3_bind_null(st, at); break;
                case OutValue::Int: sqlite3_bind_int64(st, at, v.i); break;
                case OutValue::Double: sqlite3_bind_double(st, at, v.d); break;
                case OutValue::Text:
                    if (plan_.columns[i].kind == ColumnKind::Bytes)
                        sqlite3_bind_blob64(st, at, v.s.data(), v.s.size(), SQLITE_STATIC);
                    else
                        sqlite3_bind_text64(st, at, v.s.data(), v.s.size(), SQLITE_STATIC, SQLITE_UTF8);
                    break;
            }
        }
        insert_->step();
        sqlite3_reset(st);
    }
    void finish() override { insert_.reset(); }

private:
    const TablePlan& plan_;
    std::unique_ptr<Statement> insert_;
};

class SqliteReader : public RowReader {
public:
    SqliteReader(sqlite3* db, const TablePlan& plan, const std::string& mark) : columns_(plan.columns.size()) {
        std::string names;
        for (const ColumnPlan& c : plan.columns) names += (names.empty() ? "" : ", ") + Target::quote(c.name);
        select_ = std::make_unique<Statement>(db, "SELECT " + names + " FROM " + Target::quote(plan.name) + 
                                                      (mark.empty() ? "" : " WHERE rowid > " + mark) + " ORDER BY rowid");
    }
    bool next(std::vector<Cell>& row) override {
        if (!select_->step()) return false;
        sqlite3_stmt* st = select_->get();
        row.resize(columns_);
        for (std::size_t i = 0; i < columns_; ++i) {
            Cell& c = row[i];
            const int at = static_cast<int>(i);
            c.null = false;
            switch (sqlite3_column_type(st, at)) {
                case SQLITE_NULL: c.null = true; c.text.clear(); break;
                case SQLITE_INTEGER: c.text = std::to_string(sqlite3_column_int64(st, at)); break;
                case SQLITE_FLOAT: c.text = shortestDoubleText(sqlite3_column_double(st, at)); break;
                default: {
                    const void* p = sqlite3_column_blob(st, at);
                    const int n = sqlite3_column_bytes(st, at);
                    c.text.assign(static_cast<const char*>(p), static_cast<std::size_t>(n));
                    break;
                }
            }
        }
        return true;
    }

private:
    std::size_t columns_;
    std::unique_ptr<Statement> select_;
};

class SqliteTarget : public Target {
public:
    explicit SqliteTarget(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw MigrateError("SQLite cannot open " + path + ": " + message);
        }
        sqlite3_busy_timeout(db_, 10000);
        try {
            // A file that is no SQLite database fails here, before anything is written.
            queryNumber("SELECT count(*) FROM sqlite_master");
            execute("PRAGMA cache_size = -8192");
        } catch (const MigrateError& e) {
            sqlite3_close(db_);
            throw MigrateError("SQLite cannot use " + path + ": " + e.what());
        }
    }
    ~SqliteTarget() override { sqlite3_close(db_); }

    std::string description() const override { return "SQLite " + path_; }
    bool isPostgres() const override { return false; }

    std::string typeName(const ColumnPlan& c) const override {
        switch (c.kind) {
            case ColumnKind::Int16: case ColumnKind::Int32: case ColumnKind::Int64: return "INTEGER";
            case ColumnKind::Double: return "REAL";
            case ColumnKind::Bool: return "BOOLEAN";
            case ColumnKind::Bytes: return "BLOB";
            default: return "TEXT";  // texts, exact decimals, dates and times
        }
    }
    std::string literal(const ColumnPlan& c, const FieldValue& value) const override {
        OutValue v;
        std::string why;
        if (!toOutValue(c, value, v, why)) return "NULL";
        switch (v.type) {
            case OutValue::Null: return "NULL";
            case OutValue::Int: return std::to_string(v.i);
            case OutValue::Double:
                if (std::isnan(v.d)) return "NULL";
                if (std::isinf(v.d)) return v.d > 0 ? "9e999" : "-9e999";
                return shortestDoubleText(v.d);
            case OutValue::Text:
                return c.kind == ColumnKind::Bytes ? hexLiteral(v.s) : c.kind == ColumnKind::Numeric ? v.s : textLiteral(v.s);
        }
        return "NULL";
    }
    std::string currentValue(const ColumnPlan& c) const override {
        if (c.kind == ColumnKind::Date) return "(date('now', 'localtime'))";
        if (c.kind == ColumnKind::Time) return "(strftime('%H:%M:%f', 'now', 'localtime'))";
        return "(strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))";
    }
    std::string keyColumn(const std::string& column, bool caseInsensitive) const override {
        return caseInsensitive ? column + " COLLATE NOCASE" : column;
    }
    std::string comparable(const ColumnPlan& c, const std::string& column) const override {
        // Exact decimals are kept as text: compared as numbers.
        return c.kind == ColumnKind::Numeric ? "CAST(" + column + " AS NUMERIC)" : column;
    }
    std::size_t identifierLimit() const override { return 0; }
    std::string refusal(const ColumnPlan&, const OutValue& v) const override {
        if (v.type == OutValue::Double && std::isnan(v.d)) return "SQLite keeps no NaN (it would be NULL)";
        if (v.type == OutValue::Double && v.d == 0 && std::signbit(v.d)) return "SQLite keeps no negative zero";
        return {};
    }

    bool tableExists(const std::string& name) override {
        Statement st(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND lower(name) = lower(?)");
        sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
        return st.step() && sqlite3_column_int64(st.get(), 0) > 0;
    }
    void execute(const std::string& sql) override {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw MigrateError("SQLite: " + message);
        }
    }
    std::int64_t queryNumber(const std::string& sql) override {
        Statement st(db_, sql);
        return st.step() ? sqlite3_column_int64(st.get(), 0) : 0;
    }
    void begin() override { execute("BEGIN IMMEDIATE"); }
    void commit() override { execute("COMMIT"); }
    void rollback() override {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

    void createTable(const TablePlan& plan) override { execute(createSql(plan, plan.name, nullptr)); }

    std::vector<std::string> addConstraints(const TablePlan& plan, const AcceptedConstraints& a) override {
        std::vector<std::string> refused;
        bool tableLevel = !a.checks.empty() || !a.foreignKeys.empty();
        for (std::size_t c = 0; c < plan.columns.size(); ++c) tableLevel = tableLevel || a.notNull[c] || a.hasDefault[c];
        for (const IndexPlan* ix : a.indexes) tableLevel = tableLevel || ix->primary;
        if (tableLevel) {
            // Made again with its constraints, the rows copied in their order.
            const std::string fresh = plan.name + "__tavrinth_new";
            try {
                execute("SAVEPOINT tavrinth_constraints");
                execute(createSql(plan, fresh, &a));
                execute("INSERT INTO " + quote(fresh) + " SELECT * FROM " + quote(plan.name) + " ORDER BY rowid");
                execute("DROP TABLE " + quote(plan.name));
                execute("ALTER TABLE " + quote(fresh) + " RENAME TO " + quote(plan.name));
                execute("RELEASE tavrinth_constraints");
            } catch (const MigrateError& e) {
                execute("ROLLBACK TO tavrinth_constraints");
                execute("RELEASE tavrinth_constraints");
                refused.push_back(std::string("keys and checks left out: SQLite refused them: ") + e.what());
            }
        }
        for (const IndexPlan* ix : a.indexes) {
            if (ix->primary) continue;
            std::string cols;
            for (std::size_t k = 0; k < ix->columns.size(); ++k)
                cols += (k ? ", " : "") + keyColumn(quote(plan.columns[static_cast<std::size_t>(ix->columns[k])].name),
                                            foldsCase(*ix, plan.columns[static_cast<std::size_t>(ix->columns[k])])) +
                        (ix->descending[k] ? " DESC" : "");
            try {
                execute(std::string(ix->unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") + quote(ix->name) + " ON " +
                        quote(plan.name) + " (" + cols + ")");
            } catch (const MigrateError& e) {
                refused.push_back(ix->what + " left out: " + e.what());
            }
        }
        return refused;
    }

    std::unique_ptr<RowLoader> load(const TablePlan& plan) override { return std::make_unique<SqliteLoader>(db_, plan); }
    std::string loadMark(const TablePlan& plan) override {
        // Rows go in after the last one there; into an empty table, every row is the load's
        // (a key that is the rowid may be 0 or below).
        if (queryNumber("SELECT count(*) FROM " + quote(plan.name)) == 0) return {};
        return std::to_string(queryNumber("SELECT max(rowid) FROM " + quote(plan.name)));
    }
    std::unique_ptr<RowReader> readBack(const TablePlan& plan, const std::string& mark) override {
        return std::make_unique<SqliteReader>(db_, plan, mark);
    }

private:
    // CREATE TABLE with the columns, and with `a` the accepted constraints.
    std::string createSql(const TablePlan& plan, const std::string& name, const AcceptedConstraints* a) const {
        std::string sql = "CREATE TABLE " + quote(name) + " (";
        for (std::size_t c = 0; c < plan.columns.size(); ++c) {
            const ColumnPlan& col = plan.columns[c];
            sql += (c ? ", " : "") + quote(col.name) + " " + typeName(col);
            if (!a) continue;
            if (a->notNull[c]) sql += " NOT NULL";
            if (a->hasDefault[c])
                sql += " DEFAULT " + (plan.defaultKinds[c] == BoundKind::Value ? literal(col, plan.defaults[c]) : currentValue(col));
        }
        if (a) {
            for (const IndexPlan* ix : a->indexes) {
                if (!ix->primary) continue;
                std::string cols;
                for (std::size_t k = 0; k < ix->columns.size(); ++k)
                    cols += (k ? ", " : "") + keyColumn(quote(plan.columns[static_cast<std::size_t>(ix->columns[k])].name),
                                            foldsCase(*ix, plan.columns[static_cast<std::size_t>(ix->columns[k])]));
                sql += ", PRIMARY KEY (" + cols + ")";
            }
            for (const CheckPlan* ch : a->checks) {
                const ColumnPlan& col = plan.columns[static_cast<std::size_t>(ch->column)];
                sql += ", CHECK (" + comparable(col, quote(col.name)) + (ch->isMinimum ? " >= " : " <= ") + literal(col, ch->bound) + ")";
            }
            for (const ForeignKeyPlan* fk : a->foreignKeys) {
                std::string cols, master;
                for (std::size_t k = 0; k < fk->columns.size(); ++k) {
                    cols += (k ? ", " : "") + quote(plan.columns[static_cast<std::size_t>(fk->columns[k])].name);
                    master += (k ? ", " : "") + quote(fk->masterColumns[k]);
                }
                sql += ", FOREIGN KEY (" + cols + ") REFERENCES " + quote(fk->masterTable) + " (" + master + ")";
            }
        }
        return sql + ")";
    }

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Target> openSqliteTarget(const std::string& path) { return std::make_unique<SqliteTarget>(path); }

}  // namespace tavrinth::migrate
