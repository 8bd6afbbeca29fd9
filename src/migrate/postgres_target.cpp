// The PostgreSQL target, through libpq. Rows go in through COPY in the binary format (no text to
// parse on the server), in the table's transaction; the keys, indexes and checks the loaded data
// keeps are added afterwards with ALTER TABLE and CREATE INDEX, each under a savepoint so that
// one the server refuses is left out without undoing the rest. Rows are read back with COPY TO
// in the order they were loaded: the rows of the loading transaction, in their physical order.

#include <libpq-fe.h>

#include <cmath>
#include <cstring>

#include "number_text.h"
#include "target.h"
#include "target_values.h"

namespace tavrinth::migrate {

namespace {

void put16(std::string& b, std::uint16_t v) {
    b += static_cast<char>(v >> 8);
    b += static_cast<char>(v & 0xFF);
}
void put32(std::string& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b += static_cast<char>((v >> s) & 0xFF);
}
void put64(std::string& b, std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) b += static_cast<char>((v >> s) & 0xFF);
}

// A plain decimal [-]digits[.digits] in PostgreSQL's binary numeric form: the number of base
// 10 000 digits, the weight of the first, the sign, the display scale, then the digits.
void putNumeric(std::string& b, const std::string& plain) {
    const bool negative = !plain.empty() && plain[0] == '-';
    const std::string body = negative ? plain.substr(1) : plain;
    const std::size_t dot = body.find('.');
    std::string whole = dot == std::string::npos ? body : body.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : body.substr(dot + 1);
    const auto dscale = static_cast<std::uint16_t>(fraction.size());
    if (whole == "0") whole.clear();
    // Group by 4 digits from the point outward.
    whole.insert(0, (4 - whole.size() % 4) % 4, '0');
    fraction.append((4 - fraction.size() % 4) % 4, '0');
    std::vector<std::uint16_t> digits;
    for (std::size_t i = 0; i < whole.size(); i += 4) digits.push_back(static_cast<std::uint16_t>(std::stoi(whole.substr(i, 4))));
    for (std::size_t i = 0; i < fraction.size(); i += 4)
        digits.push_back(static_cast<std::uint16_t>(std::stoi(fraction.substr(i, 4))));
    int weight = static_cast<int>(whole.size() / 4) - 1;
    // Leading and trailing zero groups are not kept.
    std::size_t first = 0;
    while (first < digits.size() && digits[first] == 0) {
        ++first;
        --weight;
    }
    std::size_t last = digits.size();
    while (last > first && digits[last - 1] == 0) --last;
    if (first == last) weight = 0;
    put16(b, static_cast<std::uint16_t>(last - first));
    put16(b, static_cast<std::uint16_t>(static_cast<std::int16_t>(weight)));
    put16(b, negative && first != last ? 0x4000 : 0x0000);
    put16(b, dscale);
    for (std::size_t i = first; i < last; ++i) put16(b, digits[i]);
}

const std::int64_t kPostgresEpochDay = dayNumberFromCivil(2000, 1, 1);

class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }

private:
    PGresult* r_;
};

std::string serverMessage(PGconn* conn, PGresult* r) {
    std::string m = r ? PQresultErrorMessage(r) : PQerrorMessage(conn);
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return "PostgreSQL: " + m;
}

class PostgresLoader : public RowLoader {
public:
    PostgresLoader(PGconn* conn, const TablePlan& plan) : conn_(conn), plan_(plan) {
        std::string names;
        for (const ColumnPlan& c : plan.columns) names += (names.empty() ? "" : ", ") + Target::quote(c.name);
        Result r(PQexec(conn, ("COPY " + Target::quote(plan.name) + " (" + names + ") FROM STDIN (FORMAT binary)").c_str()));
        if (PQresultStatus(r.get()) != PGRES_COPY_IN) throw MigrateError(serverMessage(conn, r.get()));
        copying_ = true;
        buffer_.assign("PGCOPY\n\377\r\n\0", 11);
        put32(buffer_, 0);  // flags
        put32(buffer_, 0);  // header extension
    }
    ~PostgresLoader() override {
        if (copying_) {
            // Abandoned (an error on the way): the COPY fails, and the transaction with it.
            PQputCopyEnd(conn_, "abandoned");
            while (PGresult* r = PQgetResult(conn_)) PQclear(r);
        }
    }
    void add(const std::vector<OutValue>& row) override {
        put16(buffer_, static_cast<std::uint16_t>(row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) {
            const OutValue& v = row[i];
            if (v.type == OutValue::Null) {
                put32(buffer_, 0xFFFFFFFFu);
                continue;
            }
            switch (plan_.columns[i].kind) {
                case ColumnKind::Int16: put32(buffer_, 2); put16(buffer_, static_cast<std::uint16_t>(v.i)); break;
                case ColumnKind::Int32: put32(buffer_, 4); put32(buffer_, static_cast<std::uint32_t>(v.i)); break;
                case ColumnKind::Int64: put32(buffer_, 8); put64(buffer_, static_cast<std::uint64_t>(v.i)); break;
                case ColumnKind::Bool: put32(buffer_, 1); buffer_ += static_cast<char>(v.i ? 1 : 0); break;
                case ColumnKind::Double: {
                    std::uint64_t bits;
                    std::memcpy(&bits, &v.d, 8);
                    put32(buffer_, 8);
                    put64(buffer_, bits);
                    break;
                }
                case ColumnKind::Date:
                    put32(buffer_, 4);
                    put32(buffer_, static_cast<std::uint32_t>(static_cast<std::int32_t>(v.i - kPostgresEpochDay)));
                    break;
                case ColumnKind::Time:
                    put32(buffer_, 8);
                    put64(buffer_, static_cast<std::uint64_t>(v.i * 1000));
                    break;
                case ColumnKind::Timestamp:
                    put32(buffer_, 8);
                    put64(buffer_, static_cast<std::uint64_t>((v.i - kPostgresEpochDay * kMillisecondsPerDay) * 1000));
                    break;
                case ColumnKind::Numeric: {
                    const std::size_t at = buffer_.size();
                    put32(buffer_, 0);
                    putNumeric(buffer_, v.s);
                    const auto n = static_cast<std::uint32_t>(buffer_.size() - at - 4);
                    for (int k = 0; k < 4; ++k) buffer_[at + static_cast<std::size_t>(k)] = static_cast<char>((n >> (24 - 8 * k)) & 0xFF);
                    break;
                }
                case ColumnKind::Text: case ColumnKind::Bytes:
                    put32(buffer_, static_cast<std::uint32_t>(v.s.size()));
                    buffer_ += v.s;
                    break;
            }
        }
        if (buffer_.size() >= (1u << 18)) send();
    }
    void finish() override {
        put16(buffer_, 0xFFFF);
        send();
        copying_ = false;
        if (PQputCopyEnd(conn_, nullptr) != 1) throw MigrateError(serverMessage(conn_, nullptr));
        Result r(PQgetResult(conn_));
        const bool ok = PQresultStatus(r.get()) == PGRES_COMMAND_OK;
        const std::string message = ok ? "" : serverMessage(conn_, r.get());
        while (PGresult* more = PQgetResult(conn_)) PQclear(more);
        if (!ok) throw MigrateError(message);
    }

private:
    void send() {
        if (!buffer_.empty() && PQputCopyData(conn_, buffer_.data(), static_cast<int>(buffer_.size())) != 1)
            throw MigrateError(serverMessage(conn_, nullptr));
        // libpq keeps back what is not a whole number of its blocks; the server cannot start on a
        // message before it has all of it, so the message goes now, and the server works on it
        // while the next one is built.
        if (PQflush(conn_) != 0) throw MigrateError(serverMessage(conn_, nullptr));
        buffer_.clear();
    }

    PGconn* conn_;
    const TablePlan& plan_;
    std::string buffer_;
    bool copying_ = false;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class PostgresReader : public RowReader {
public:
    PostgresReader(PGconn* conn, const TablePlan& plan, const std::string& mark) : conn_(conn), plan_(plan) {
        std::string names;
        for (const ColumnPlan& c : plan.columns) names += (names.empty() ? "" : ", ") + Target::quote(c.name);
        const std::string sql = "COPY (SELECT " + names + " FROM " + Target::quote(plan.name) +
                                (mark.empty() ? "" : " WHERE xmin = '" + mark + "'::xid") + " ORDER BY ctid) TO STDOUT";
        Result r(PQexec(conn, sql.c_str()));
        if (PQresultStatus(r.get()) != PGRES_COPY_OUT) throw MigrateError(serverMessage(conn, r.get()));
        copying_ = true;
    }
    ~PostgresReader() override {
        if (copying_) {
            // Read to the end: the connection is usable again only then.
            char* line = nullptr;
            while (PQgetCopyData(conn_, &line, 0) > 0) PQfreemem(line);
            while (PGresult* r = PQgetResult(conn_)) PQclear(r);
        }
    }
    bool next(std::vector<Cell>& row) override {
        if (!copying_) return false;
        char* line = nullptr;
        const int n = PQgetCopyData(conn_, &line, 0);
        if (n < 0) {
            copying_ = false;
            Result r(PQgetResult(conn_));
            const bool ok = PQresultStatus(r.get()) == PGRES_COMMAND_OK;
            const std::string message = ok ? "" : serverMessage(conn_, r.get());
            while (PGresult* more = PQgetResult(conn_)) PQclear(more);
            if (!ok) throw MigrateError(message);
            return false;
        }
        parse(line, static_cast<std::size_t>(n), row);
        PQfreemem(line);
        return true;
    }

private:
    // One line of COPY's text format: fields split at tabs, \N for NULL, backslash escapes.
    void parse(const char* p, std::size_t n, std::vector<Cell>& row) {
        if (n > 0 && p[n - 1] == '\n') --n;
        row.assign(plan_.columns.size(), Cell{});
        std::size_t column = 0, i = 0;
        while (column < row.size()) {
            Cell& c = row[column];
            std::string& t = c.text;
            t.clear();
            if (i + 1 < n + 1 && i + 2 <= n && p[i] == '\\' && p[i + 1] == 'N' && (i + 2 == n || p[i + 2] == '\t')) {
                c.null = true;
                i += 2;
            } else {
                c.null = false;
                while (i < n && p[i] != '\t') {
                    if (p[i] != '\\' || i + 1 >= n) {
                        t += p[i++];
                        continue;
                    }
                    const char e = p[i + 1];
                    i += 2;
                    switch (e) {
                        case 'b': t += '\b'; break;
                        case 'f': t += '\f'; break;
                        case 'n': t += '\n'; break;
                        case 'r': t += '\r'; break;
                        case 't': t += '\t'; break;
                        case 'v': t += '\v'; break;
                        default:
                            if (e >= '0' && e <= '7') {
                                int v = e - '0';
                                for (int k = 0; k < 2 && i < n && p[i] >= '0' && p[i] <= '7'; ++k) v = v * 8 + (p[i++] - '0');
                                t += static_cast<char>(v);
                            } else {
                                t += e;
                            }
                    }
                }
                const ColumnKind kind = plan_.columns[column].kind;
                if (kind == ColumnKind::Bytes && t.size() >= 2 && t[0] == '\\' && t[1] == 'x') {
                    std::string bytes;
                    for (std::size_t k = 2; k + 1 < t.size(); k += 2)
                        bytes += static_cast<char>(hexDigit(t[k]) * 16 + hexDigit(t[k + 1]));
                    t = std::move(bytes);
                } else if (kind == ColumnKind::Bool) {
                    t = t == "t" ? "1" : t == "f" ? "0" : t;
                }
            }
            ++column;
            if (i < n && p[i] == '\t') ++i;
        }
    }

    PGconn* conn_;
    const TablePlan& plan_;
    bool copying_ = false;
};

class PostgresTarget : public Target {
public:
    explicit PostgresTarget(const std::string& conninfo) {
        conn_ = PQconnectdb(conninfo.c_str());
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
            while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
            PQfinish(conn_);
            throw MigrateError("PostgreSQL connection failed: " + message);
        }
        execute("SET client_encoding = 'UTF8'");
        execute("SET datestyle = 'ISO, YMD'");
        execute("SET extra_float_digits = 3");
        execute("SET client_min_messages = warning");
        const char* db = PQdb(conn_);
        description_ = std::string("PostgreSQL database ") + (db ? db : "");
    }
    ~PostgresTarget() override { PQfinish(conn_); }

    std::string description() const override { return description_; }
    bool isPostgres() const override { return true; }

    std::string typeName(const ColumnPlan& c) const override {
        switch (c.kind) {
            case ColumnKind::Text: return c.length > 0 ? "varchar(" + std::to_string(c.length) + ")" : "text";
            case ColumnKind::Int16: return "smallint";
            case ColumnKind::Int32: return "integer";
            case ColumnKind::Int64: return "bigint";
            case ColumnKind::Double: return "double precision";
            case ColumnKind::Numeric:
                return c.precision > 0 ? "numeric(" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")" : "numeric";
            case ColumnKind::Bool: return "boolean";
            case ColumnKind::Date: return "date";
            case ColumnKind::Time: return "time(3)";
            case ColumnKind::Timestamp: return "timestamp(3)";
            case ColumnKind::Bytes: return "bytea";
        }
        return "text";
    }
    std::string literal(const ColumnPlan& c, const FieldValue& value) const override {
        OutValue v;
        std::string why;
        if (!toOutValue(c, value, v, why)) return "NULL";
        switch (v.type) {
            case OutValue::Null: return "NULL";
            case OutValue::Int:
                if (c.kind == ColumnKind::Bool) return v.i ? "true" : "false";
                return std::to_string(v.i);
            case OutValue::Double:
                if (std::isnan(v.d)) return "'NaN'::double precision";
                if (std::isinf(v.d)) return v.d > 0 ? "'Infinity'::double precision" : "'-Infinity'::double precision";
                return "'" + shortestDoubleText(v.d) + "'::double precision";
            case OutValue::Text:
                switch (c.kind) {
                    case ColumnKind::Numeric: return v.s;
                    case ColumnKind::Date: return "DATE " + textLiteral(v.s);
                    case ColumnKind::Time: return "TIME " + textLiteral(v.s);
                    case ColumnKind::Timestamp: return "TIMESTAMP " + textLiteral(v.s);
                    case ColumnKind::Bytes: {
                        static const char digits[] = "0123456789abcdef";
                        std::string hex = "'\\x";
                        for (const unsigned char b : v.s) {
                            hex += digits[b >> 4];
                            hex += digits[b & 15];
                        }
                        return hex + "'::bytea";
                    }
                    default: return textLiteral(v.s);
                }
        }
        return "NULL";
    }
    std::string currentValue(const ColumnPlan& c) const override {
        if (c.kind == ColumnKind::Date) return "CURRENT_DATE";
        if (c.kind == ColumnKind::Time) return "LOCALTIME(3)";
        return "LOCALTIMESTAMP(3)";
    }
    std::string keyColumn(const std::string& column, bool caseInsensitive) const override {
        return caseInsensitive ? "lower(" + column + ")" : column;
    }
    std::size_t identifierLimit() const override { return 63; }
    std::string refusal(const ColumnPlan& c, const OutValue& v) const override {
        if (c.kind == ColumnKind::Text && v.type == OutValue::Text && v.s.find('\0') != std::string::npos)
            return "PostgreSQL keeps no NUL character in text";
        return {};
    }

    bool tableExists(const std::string& name) override {
        const char* params[] = {name.c_str()};
        Result r(PQexecParams(conn_,
                              "SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                              "WHERE n.nspname = current_schema() AND c.relname = $1 AND c.relkind IN ('r', 'p')",
                              1, nullptr, params, nullptr, nullptr, 0));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) throw MigrateError(serverMessage(conn_, r.get()));
        return std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10) > 0;
    }
    void execute(const std::string& sql) override {
        Result r(PQexec(conn_, sql.c_str()));
        const ExecStatusType st = PQresultStatus(r.get());
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) throw MigrateError(serverMessage(conn_, r.get()));
    }
    std::int64_t queryNumber(const std::string& sql) override {
        Result r(PQexec(conn_, sql.c_str()));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) throw MigrateError(serverMessage(conn_, r.get()));
        if (PQntuples(r.get()) == 0 || PQgetisnull(r.get(), 0, 0)) return 0;
        return std::strtoll(PQgetvalue(r.get(), 0, 0), nullptr, 10);
    }
    void begin() override { execute("BEGIN"); }
    void commit() override { execute("COMMIT"); }
    void rollback() override {
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
    }

    std::vector<std::string> dropTable(const std::string& name) override {
        // Foreign keys of other tables that refer to it go with it (CASCADE drops those
        // constraints, never the other tables or their rows).
        std::vector<std::string> dropped;
        const std::string regclass = textLiteral(quote(name)) + "::regclass";
        Result r(PQexec(conn_, ("SELECT conrelid::regclass::text, conname FROM pg_catalog.pg_constraint WHERE contype = 'f' AND "
                                "confrelid = " + regclass + " AND conrelid <> " + regclass + " ORDER BY 1, 2")
                                   .c_str()));
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) throw MigrateError(serverMessage(conn_, r.get()));
        for (int i = 0; i < PQntuples(r.get()); ++i)
            dropped.push_back(std::string("foreign key ") + PQgetvalue(r.get(), i, 1) + " of " + PQgetvalue(r.get(), i, 0) +
                              " went with the table it referred to");
        execute("DROP TABLE " + quote(name) + " CASCADE");
        return dropped;
    }

    void createTable(const TablePlan& plan) override {
        std::string sql = "CREATE TABLE " + quote(plan.name) + " (";
        for (std::size_t c = 0; c < plan.columns.size(); ++c)
            sql += (c ? ", " : "") + quote(plan.columns[c].name) + " " + typeName(plan.columns[c]);
        execute(sql + ")");
    }

    std::vector<std::string> addConstraints(const TablePlan& plan, const AcceptedConstraints& a) override {
        std::vector<std::string> refused;
        const std::string table = quote(plan.name);
        auto attempt = [&](const std::string& what, const std::string& sql) {
            execute("SAVEPOINT tavrinth_constraint");
            try {
                execute(sql);
                execute("RELEASE SAVEPOINT tavrinth_constraint");
            } catch (const MigrateError& e) {
                execute("ROLLBACK TO SAVEPOINT tavrinth_constraint");
                execute("RELEASE SAVEPOINT tavrinth_constraint");
                refused.push_back(what + " left out: " + e.what());
            }
        };
        for (std::size_t c = 0; c < plan.columns.size(); ++c) {
            const ColumnPlan& col = plan.columns[c];
            const std::string alter = "ALTER TABLE " + table + " ALTER COLUMN " + quote(col.name);
            if (a.notNull[c]) attempt("NOT NULL on " + col.name, alter + " SET NOT NULL");
            if (a.hasDefault[c])
                attempt("default of " + col.name,
                        alter + " SET DEFAULT " +
                            (plan.defaultKinds[c] == BoundKind::Value ? literal(col, plan.defaults[c]) : currentValue(col)));
            if (a.identity[c]) {
                const std::int64_t next = queryNumber("SELECT coalesce(max(" + quote(col.name) + "), 0) + 1 FROM " + table);
                attempt("identity of " + col.name,
                        alter + " ADD GENERATED BY DEFAULT AS IDENTITY (START WITH " + std::to_string(std::max<std::int64_t>(next, 1)) + ")");
            }
        }
        for (const CheckPlan* ch : a.checks) {
            const ColumnPlan& col = plan.columns[static_cast<std::size_t>(ch->column)];
            attempt(ch->what, "ALTER TABLE " + table + " ADD CHECK (" + quote(col.name) + (ch->isMinimum ? " >= " : " <= ") +
                                  literal(col, ch->bound) + ")");
        }
        for (const IndexPlan* ix : a.indexes) {
            std::string cols, plainCols;
            for (std::size_t k = 0; k < ix->columns.size(); ++k) {
                const std::string name = quote(plan.columns[static_cast<std::size_t>(ix->columns[k])].name);
                cols += (k ? ", " : "") + keyColumn(name, foldsCase(*ix, plan.columns[static_cast<std::size_t>(ix->columns[k])])) +
                        (ix->descending[k] ? " DESC" : "");
                plainCols += (k ? ", " : "") + name;
            }
            if (ix->primary && !ix->caseInsensitive)
                attempt(ix->what, "ALTER TABLE " + table + " ADD CONSTRAINT " + quote(ix->name) + " PRIMARY KEY (" + plainCols + ")");
            else
                attempt(ix->what, std::string(ix->unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") + quote(ix->name) + " ON " +
                                      table + " (" + cols + ")");
        }
        for (const ForeignKeyPlan* fk : a.foreignKeys) {
            std::string cols, master;
            for (std::size_t k = 0; k < fk->columns.size(); ++k) {
                cols += (k ? ", " : "") + quote(plan.columns[static_cast<std::size_t>(fk->columns[k])].name);
                master += (k ? ", " : "") + quote(fk->masterColumns[k]);
            }
            attempt(fk->what, "ALTER TABLE " + table + " ADD FOREIGN KEY (" + cols + ") REFERENCES " + quote(fk->masterTable) +
                                  " (" + master + ")");
        }
        return refused;
    }

    std::unique_ptr<RowLoader> load(const TablePlan& plan) override { return std::make_unique<PostgresLoader>(conn_, plan); }
    std::string loadMark(const TablePlan&) override {
        // The loading transaction's id: its rows carry it as xmin.
        return std::to_string(queryNumber("SELECT txid_current()") & 0xFFFFFFFF);
    }
    std::unique_ptr<RowReader> readBack(const TablePlan& plan, const std::string& mark) override {
        return std::make_unique<PostgresReader>(conn_, plan, mark);
    }

private:
    PGconn* conn_ = nullptr;
    std::string description_;
};

}  // namespace

std::unique_ptr<Target> openPostgresTarget(const std::string& conninfo) { return std::make_unique<PostgresTarget>(conninfo); }

}  // namespace tavrinth::migrate
