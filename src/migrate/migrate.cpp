// The run of a migration: the tables' plans, the load, the constraints the data keeps, the check
// of every row read back. The target does the SQL of its own kind (target.h).

#include "migrate.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>

#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "session.h"
#include "table_file.h"
#include "target.h"
#include "target_values.h"
#include "value_text.h"

namespace tavrinth::migrate {

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& path) {
    std::string name = baseName(path);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One source table as the run knows it before loading.
struct Source {
    std::string path;
    std::string stem;    // the file name without extension
    TablePlan plan;
    bool planned = false;
    std::string error;   // why it cannot be migrated
    std::vector<std::string> planNotes;  // indexes and checks left out while planning
    // Foreign keys not yet tied to a master: the master's stem, this table's columns, the
    // master's field positions (empty: its first field), and what for the message.
    struct Reference {
        std::string masterStem;  // in lower case
        std::string masterName;  // as the table names it
        std::vector<int> columns;
        std::vector<int> masterFields;
        std::string what;
    };
    std::vector<Reference> references;
};

OpenOptions openOptions(const MigrateOptions& o) {
    OpenOptions open;
    open.codePage = o.codePage;
    open.knownPasswords = o.passwords;
    return open;
}

std::string joinNames(const TablePlan& plan, const std::vector<int>& columns) {
    std::string s;
    for (const int c : columns) s += (s.empty() ? "" : ", ") + plan.columns[static_cast<std::size_t>(c)].name;
    return s;
}

// A dBase key expression as columns, when it is plain: FIELD, UPPER(FIELD), LOWER(FIELD),
// DTOS(FIELD) and such terms joined by "+". False for anything else.
bool plainKey(const std::string& expression, const std::vector<FieldDef>& fields, std::vector<int>& out,
              bool& caseInsensitive) {
    out.clear();
    caseInsensitive = false;
    std::string e;
    for (const char c : expression)
        if (c != ' ') e += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    std::size_t p = 0;
    bool anyFolded = false, anyPlain = false;
    while (p <= e.size()) {
        const std::size_t plus = e.find('+', p);
        std::string term = e.substr(p, plus == std::string::npos ? std::string::npos : plus - p);
        bool folded = false;
        for (const char* fn : {"UPPER(", "LOWER(", "DTOS("}) {
            const std::size_t n = std::strlen(fn);
            if (term.size() > n && term.compare(0, n, fn) == 0 && term.back() == ')') {
                folded = fn[0] != 'D';
                term = term.substr(n, term.size() - n - 1);
                break;
            }
        }
        int found = -1;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::string upper = fields[i].name;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (upper == term) found = static_cast<int>(i);
        }
        if (found < 0) return false;
        if (folded && fields[static_cast<std::size_t>(found)].dataType != ftString) return false;
        (folded ? anyFolded : anyPlain) = true;
        out.push_back(found);
        if (plus == std::string::npos) break;
        p = plus + 1;
    }
    if (anyFolded && anyPlain) return false;  // folded and unfolded terms mixed: no plain form
    caseInsensitive = anyFolded;
    return !out.empty();
}

std::string shortened(std::string name, std::size_t limit) {
    if (limit > 0 && name.size() > limit) {
        name.resize(limit);
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) name.pop_back();
        if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
    }
    return name;
}

void planTable(Source& s, TableFile& t, const MigrateOptions& o, const Target& target, std::set<std::string>& indexNames) {
    TablePlan& plan = s.plan;
    auto fold = [&](const std::string& n) { return o.lowerCaseNames ? lowerAscii(n) : n; };
    plan.name = fold(s.stem);
    plan.columns = columnsOf(t, o);
    const int offset = plan.columns.empty() || plan.columns[0].field >= 0 ? 0 : 1;
    const auto& fields = t.fields();
    for (const ColumnPlan& c : plan.columns)
        if (c.field >= 0 && c.name != fold(fields[static_cast<std::size_t>(c.field)].name))
            s.planNotes.push_back("field " + std::to_string(c.field + 1) + " is named " + fields[static_cast<std::size_t>(c.field)].name +
                                  " like an earlier one: its column is " + c.name);
    const std::size_t n = plan.columns.size();
    plan.notNull.assign(n, false);
    plan.defaults.assign(n, FieldValue{});
    plan.defaultKinds.assign(n, BoundKind::None);

    // NOT NULL, DEFAULT and CHECK from the validity checks.
    for (const ValidityCheck& v : t.validityChecks()) {
        const int col = v.field + offset;
        const ColumnPlan& c = plan.columns[static_cast<std::size_t>(col)];
        if (v.required) plan.notNull[static_cast<std::size_t>(col)] = true;
        if (v.defaultKind == BoundKind::Value) {
            OutValue out;
            std::string why;
            if (toOutValue(c, v.defaultValue, out, why) && out.type != OutValue::Null) {
                plan.defaults[static_cast<std::size_t>(col)] = v.defaultValue;
                plan.defaultKinds[static_cast<std::size_t>(col)] = BoundKind::Value;
            } else {
                s.planNotes.push_back("default of " + c.name + " left out: " + why);
            }
        } else if (v.defaultKind != BoundKind::None) {
            if (c.kind == ColumnKind::Date || c.kind == ColumnKind::Time || c.kind == ColumnKind::Timestamp)
                plan.defaultKinds[static_cast<std::size_t>(col)] = v.defaultKind;
            else
                s.planNotes.push_back("default of " + c.name + " left out: TODAY or NOW on a field that is no date or time");
        }
        for (int bound = 0; bound < 2; ++bound) {
            const BoundKind kind = bound == 0 ? v.minKind : v.maxKind;
            const FieldValue& value = bound == 0 ? v.minValue : v.maxValue;
            if (kind == BoundKind::None) continue;
            const std::string what = "CHECK (" + c.name + (bound == 0 ? " >= " : " <= ") +
                                     (kind == BoundKind::Value ? dumpValueText(value) : kind == BoundKind::Today ? "TODAY" : "NOW") + ")";
            if (kind != BoundKind::Value) {
                s.planNotes.push_back(what + " left out: a check against the current date or time changes with the day");
                continue;
            }
            OutValue out;
            std::string why;
            if (!toOutValue(c, value, out, why) || out.type == OutValue::Null) {
                s.planNotes.push_back(what + " left out: " + why);
                continue;
            }
            plan.checks.push_back({col, bound == 0, value, what});
        }
        if (!v.lookupTable.empty())
            s.references.push_back({lowerAscii(stemOf(v.lookupTable)), v.lookupTable, {col}, {}, "lookup of " + c.name + " in " + v.lookupTable});
    }
    for (const TableReference& r : t.references()) {
        std::vector<int> cols;
        for (const int f : r.fields) cols.push_back(f + offset);
        s.references.push_back({lowerAscii(stemOf(r.masterTable)), r.masterTable, cols, r.masterFields,
                                "referential integrity " + r.name + " (" + joinNames(plan, cols) + ") to " + r.masterTable});
    }

    // Keys and indexes.
    std::vector<TIndexDef> defs;
    try {
        defs = t.readIndexes();
    } catch (const std::exception& e) {
        s.planNotes.push_back(std::string("indexes left out: ") + e.what());
    }
    for (const TIndexDef& d : defs) {
        IndexPlan ix;
        const std::string label = d.has(ixPrimary) ? "primary key" : "index " + (d.Name.empty() ? d.Source : d.Name);
        std::vector<int> fieldsOfKey;
        bool folded = d.has(ixCaseInsensitive);
        if (!d.fieldIndexes.empty()) {
            fieldsOfKey = d.fieldIndexes;
        } else if (!d.Expression.empty()) {
            bool ci = false;
            if (!plainKey(d.Expression, fields, fieldsOfKey, ci)) {
                s.planNotes.push_back(label + " (" + d.Expression + ") left out: the expression has no plain form in SQL");
                continue;
            }
            folded = folded || ci;
        } else {
            s.planNotes.push_back(label + " left out: its key is not known");
            continue;
        }
        if (!d.Filter.empty()) {
            s.planNotes.push_back(label + " left out: its FOR clause (" + d.Filter + ") has no plain form in SQL");
            continue;
        }
        std::set<std::string> descNames;
        if (!d.DescFields.empty()) {
            std::size_t p = 0;
            while (p <= d.DescFields.size()) {
                const std::size_t semi = d.DescFields.find(';', p);
                descNames.insert(d.DescFields.substr(p, semi == std::string::npos ? std::string::npos : semi - p));
                if (semi == std::string::npos) break;
                p = semi + 1;
            }
        }
        for (const int f : fieldsOfKey) {
            ix.columns.push_back(f + offset);
            ix.descending.push_back(d.has(ixDescending) || descNames.count(fields[static_cast<std::size_t>(f)].name) != 0);
        }
        ix.caseInsensitive = folded;
        ix.primary = d.has(ixPrimary);
        ix.unique = ix.primary || d.has(ixUnique);
        std::string suffix = ix.primary ? "pkey" : d.Name.empty() ? stemOf(d.Source) : d.Name;
        std::string name = shortened(plan.name + "_" + fold(suffix), target.identifierLimit());
        for (int k = 2; indexNames.count(lowerAscii(name)); ++k)
            name = shortened(plan.name + "_" + fold(suffix), target.identifierLimit() - 4) + "_" + std::to_string(k);
        indexNames.insert(lowerAscii(name));
        ix.name = name;
        ix.what = label + " (" + joinNames(plan, ix.columns) + ")";
        if (ix.primary) plan.indexes.insert(plan.indexes.begin(), ix);
        else plan.indexes.push_back(ix);
    }
    s.planned = true;
}

// Masters before the tables that refer to them (the order given otherwise; a cycle keeps it).
std::vector<std::size_t> loadOrder(const std::vector<Source>& sources) {
    std::map<std::string, std::size_t> byStem;
    for (std::size_t i = 0; i < sources.size(); ++i) byStem.emplace(lowerAscii(sources[i].stem), i);
    std::vector<std::size_t> order;
    std::vector<int> state(sources.size(), 0);  // 0 new, 1 in progress, 2 placed
    std::function<void(std::size_t)> place = [&](std::size_t i) {
        if (state[i] != 0) return;
        state[i] = 1;
        for (const auto& r : sources[i].references) {
            const auto m = byStem.find(r.masterStem);
            if (m != byStem.end() && m->second != i) place(m->second);
        }
        state[i] = 2;
        order.push_back(i);
    };
    for (std::size_t i = 0; i < sources.size(); ++i) place(i);
    return order;
}

// The key columns of the master tables done in this run, as accepted primary or unique keys
// (the target names of their columns), by the master's stem.
struct MasterKeys {
    std::string table;
    std::vector<std::vector<std::string>> keys;
    std::vector<std::string> fieldColumns;  // the column of each field
};

class Run {
public:
    Run(Target& target, const MigrateOptions& o, MigrateObserver* observer)
        : target_(target), o_(o), observer_(observer) {}

    MigrateSummary run(const std::vector<std::string>& files);

private:
    void migrateTable(Source& s, TableOutcome& out);
    void load(Source& s, TableFile& t, TableOutcome& out, std::uint64_t total);
    void constrain(Source& s, TableOutcome& out);
    void verify(Source& s, TableFile& t, TableOutcome& out, const std::string& mark, std::uint64_t total);
    std::int64_t count(const std::string& sql) { return target_.queryNumber(sql); }
    // Whether the target takes the value as the column holds it (else `why`, and NULL goes in).
    bool takes(const ColumnPlan& column, const FieldValue& value, OutValue& out, std::string& why) const {
        if (!toOutValue(column, value, out, why)) return false;
        if (out.type == OutValue::Null) return true;
        why = target_.refusal(column, out);
        return why.empty();
    }
    void progress(const Source& s, const char* phase, std::uint64_t rows, std::uint64_t total) {
        if (!observer_) return;
        MigrateProgress p;
        p.table = tableIndex_;
        p.tables = tableCount_;
        p.tableName = s.plan.name;
        p.phase = phase;
        p.rows = rows;
        p.totalRows = total;
        p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tableStart_).count();
        observer_->progress(p);
    }
    bool cancelled() {
        if (!cancelled_ && observer_ && observer_->cancelled()) cancelled_ = true;
        return cancelled_;
    }
    // Reads the table's records one after another (dBase deleted ones too when asked).
    struct Reader {
        TableFile& t;
        dbase::DBaseTable* dbf;
        bool deleted;
        std::uint64_t count() const { return deleted ? dbf->physicalCount() : t.recordCount(); }
        const std::uint8_t* record(std::uint32_t i) { return deleted ? dbf->physicalRecord(i) : t.record(i); }
        std::int64_t recNo(std::uint32_t i) { return deleted ? static_cast<std::int64_t>(i) + 1 : t.recNo(i); }
    };
    Reader readerOf(TableFile& t) {
        auto* dbf = dynamic_cast<dbase::DBaseTable*>(&t);
        return Reader{t, dbf, dbf != nullptr && o_.includeDeleted};
    }

    Target& target_;
    const MigrateOptions& o_;
    MigrateObserver* observer_;
    std::size_t tableIndex_ = 0, tableCount_ = 0;
    std::chrono::steady_clock::time_point tableStart_;
    bool cancelled_ = false;
    std::map<std::string, MasterKeys> masters_;
    // Plans made while checking the data: keys kept as plain indexes, foreign keys tied to masters.
    std::vector<std::unique_ptr<IndexPlan>> relaxed_;
    std::vector<std::unique_ptr<ForeignKeyPlan>> relaxedKeys_;
    static constexpr std::size_t kMaxReported = 20;
};

MigrateSummary Run::run(const std::vector<std::string>& files) {
    if (o_.schemaOnly && o_.dataOnly) throw MigrateError("--schema-only and --data-only exclude each other");
    std::vector<Source> sources(files.size());
    std::set<std::string> indexNames, targetNames;
    for (std::size_t i = 0; i < files.size(); ++i) {
        Source& s = sources[i];
        s.path = files[i];
        s.stem = stemOf(files[i]);
        try {
            auto t = openTableFile(s.path, openOptions(o_));
            planTable(s, *t, o_, target_, indexNames);
            if (!targetNames.insert(lowerAscii(s.plan.name)).second) {
                s.planned = false;
                s.error = "another table of this run has the target name " + s.plan.name;
            }
        } catch (const std::exception& e) {
            s.error = e.what();
        }
    }
    // Tables that exist: an error before anything is written, unless they are to be replaced
    // (or loaded into).
    std::string problems;
    for (const Source& s : sources) {
        if (!s.planned) continue;
        const bool exists = target_.tableExists(s.plan.name);
        if (exists && !o_.replace && !o_.dataOnly)
            problems += "\n  " + s.plan.name + " (from " + s.path + ") exists; --replace drops and creates it again";
        if (!exists && o_.dataOnly) problems += "\n  " + s.plan.name + " (from " + s.path + ") does not exist for --data-only";
    }
    if (!problems.empty()) throw MigrateError("nothing was written: " + problems.substr(3));

    MigrateSummary summary;
    summary.tables.resize(sources.size());
    tableCount_ = sources.size();
    for (const std::size_t i : loadOrder(sources)) {
        Source& s = sources[i];
        TableOutcome& out = summary.tables[i];
        out.source = s.path;
        out.target = s.planned ? s.plan.name : s.stem;
        if (cancelled()) {
            out.error = "not migrated: the run was cancelled";
            continue;
        }
        if (!s.planned) {
            out.error = s.error;
            if (observer_) observer_->note(s.path + ": " + s.error);
            continue;
        }
        migrateTable(s, out);
        ++tableIndex_;
    }
    summary.cancelled = cancelled_;
    return summary;
}

void Run::migrateTable(Source& s, TableOutcome& out) {
    tableStart_ = std::chrono::steady_clock::now();
    out.notes = s.planNotes;
    std::string mark;
    std::uint64_t total = 0;
    bool open = false;
    try {
        auto t = openTableFile(s.path, openOptions(o_));
        Reader reader = readerOf(*t);
        total = reader.count();
        progress(s, "loading", 0, o_.schemaOnly ? 0 : total);
        target_.begin();
        open = true;
        if (!o_.dataOnly) {
            if (o_.replace && target_.tableExists(s.plan.name))
                for (std::string& note : target_.dropTable(s.plan.name)) out.notes.push_back(std::move(note));
            target_.createTable(s.plan);
        }
        if (!o_.schemaOnly) {
            mark = target_.loadMark(s.plan);
            load(s, *t, out, total);
        }
        if (cancelled()) throw MigrateError("cancelled");
        if (!o_.dataOnly) constrain(s, out);
        target_.commit();
        open = false;
        out.done = true;
        if (observer_) observer_->note(s.plan.name + ": " + std::to_string(out.rows) + " rows");
        if (o_.verify && !o_.schemaOnly) verify(s, *t, out, mark, total);
    } catch (const std::exception& e) {
        if (open) target_.rollback();
        out.done = false;
        out.rows = 0;
        out.error = cancelled_ ? "cancelled; the table was rolled back" : std::string(e.what()) + "; the table was rolled back";
        if (observer_) observer_->note(s.plan.name + ": " + out.error);
    }
}

void Run::load(Source& s, TableFile& t, TableOutcome& out, std::uint64_t total) {
    Reader reader = readerOf(t);
    const std::vector<ColumnPlan>& columns = s.plan.columns;
    auto loader = target_.load(s.plan);
    std::vector<OutValue> row(columns.size());
    FieldValue value;
    std::string why;
    std::size_t reported = 0, unreported = 0;
    for (std::uint64_t r = 0; r < total; ++r) {
        if ((r & 4095) == 0 && r > 0) {
            progress(s, "loading", r, total);
            if (cancelled()) throw MigrateError("cancelled");
        }
        const auto index = static_cast<std::uint32_t>(r);
        const std::uint8_t* rec = reader.record(index);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const ColumnPlan& col = columns[c];
            if (col.field < 0) {
                row[c].type = OutValue::Int;
                row[c].i = rec[0] == '*' ? 1 : 0;
                continue;
            }
            t.decode(rec, static_cast<std::size_t>(col.field), value);
            if (!takes(col, value, row[c], why)) {
                row[c].type = OutValue::Null;
                if (reported < kMaxReported) {
                    out.problems.push_back("record " + std::to_string(reader.recNo(index)) + ", field " +
                                           t.fields()[static_cast<std::size_t>(col.field)].name + ": " + why + "; stored as NULL");
                    ++reported;
                } else {
                    ++unreported;
                }
            }
        }
        loader->add(row);
        ++out.rows;
    }
    loader->finish();
    if (unreported) out.problems.push_back(std::to_string(unreported) + " more values stored as NULL");
    progress(s, "loading", total, total);
}

void Run::constrain(Source& s, TableOutcome& out) {
    const TablePlan& plan = s.plan;
    progress(s, "constraints", out.rows, out.rows);
    const std::string table = Target::quote(plan.name);
    auto col = [&](int c) { return Target::quote(plan.columns[static_cast<std::size_t>(c)].name); };
    AcceptedConstraints a;
    const std::size_t n = plan.columns.size();
    a.notNull.assign(n, false);
    a.hasDefault.assign(n, false);
    a.identity.assign(n, false);
    auto leftOut = [&](const std::string& what, std::int64_t rows) {
        out.notes.push_back(what + " left out: " + std::to_string(rows) + (rows == 1 ? " row breaks it" : " rows break it"));
    };
    for (std::size_t c = 0; c < n; ++c) {
        a.hasDefault[c] = plan.defaultKinds[c] != BoundKind::None;
        if (!plan.notNull[c]) continue;
        const std::int64_t nulls = count("SELECT count(*) FROM " + table + " WHERE " + col(static_cast<int>(c)) + " IS NULL");
        if (nulls == 0) a.notNull[c] = true;
        else leftOut("NOT NULL on " + plan.columns[c].name, nulls);
    }
    for (const CheckPlan& ch : plan.checks) {
        const std::string cond = target_.comparable(plan.columns[static_cast<std::size_t>(ch.column)], col(ch.column)) +
                                 (ch.isMinimum ? " >= " : " <= ") +
                                 target_.literal(plan.columns[static_cast<std::size_t>(ch.column)], ch.bound);
        const std::int64_t broken = count("SELECT count(*) FROM " + table + " WHERE NOT (" + cond + ")");
        if (broken == 0) a.checks.push_back(&ch);
        else leftOut(ch.what, broken);
    }
    MasterKeys keys;
    keys.table = plan.name;
    for (const ColumnPlan& c : plan.columns)
        if (c.field >= 0) {
            if (keys.fieldColumns.size() <= static_cast<std::size_t>(c.field)) keys.fieldColumns.resize(static_cast<std::size_t>(c.field) + 1);
            keys.fieldColumns[static_cast<std::size_t>(c.field)] = c.name;
        }
    for (const IndexPlan& ix : plan.indexes) {
        if (ix.unique) {
            std::string group, notNull;
            for (const int c : ix.columns) {
                group += (group.empty() ? "" : ", ") +
                         target_.keyColumn(col(c), foldsCase(ix, plan.columns[static_cast<std::size_t>(c)]));
                if (!ix.primary) notNull += std::string(notNull.empty() ? " WHERE " : " AND ") + col(c) + " IS NOT NULL";
            }
            std::int64_t broken = count("SELECT coalesce(sum(n), 0) FROM (SELECT count(*) AS n FROM " + table + notNull +
                                        " GROUP BY " + group + " HAVING count(*) > 1) AS d");
            if (ix.primary) {
                std::string anyNull;
                for (const int c : ix.columns) anyNull += (anyNull.empty() ? "" : " OR ") + col(c) + " IS NULL";
                broken += count("SELECT count(*) FROM " + table + " WHERE " + anyNull);
            }
            if (broken != 0) {
                leftOut(std::string(ix.primary ? "PRIMARY KEY" : "UNIQUE") + " of " + ix.what, broken);
                // Still an index, for the lookups the key served.
                auto plain = std::make_unique<IndexPlan>(ix);
                plain->unique = plain->primary = false;
                relaxed_.push_back(std::move(plain));
                a.indexes.push_back(relaxed_.back().get());
                continue;
            }
            if (!ix.caseInsensitive) {
                std::vector<std::string> names;
                for (const int c : ix.columns) names.push_back(plan.columns[static_cast<std::size_t>(c)].name);
                keys.keys.push_back(names);
            }
        }
        a.indexes.push_back(&ix);
    }
    // Auto-increment columns become identity columns (PostgreSQL) when they hold no NULL.
    for (std::size_t c = 0; c < n; ++c) {
        if (!plan.columns[c].autoIncrement) continue;
        if (!target_.isPostgres()) continue;
        const std::int64_t nulls = count("SELECT count(*) FROM " + table + " WHERE " + col(static_cast<int>(c)) + " IS NULL");
        if (nulls == 0) a.identity[c] = a.notNull[c] = true;
        else leftOut("identity of " + plan.columns[c].name, nulls);
    }
    // Foreign keys to masters done in this run.
    for (const Source::Reference& r : s.references) {
        const auto m = masters_.find(r.masterStem);
        if (m == masters_.end()) {
            out.notes.push_back("foreign key (" + r.what + ") left out: " + r.masterName + " is not among the tables migrated before it");
            continue;
        }
        const MasterKeys& master = m->second;
        std::vector<std::string> masterColumns;
        if (r.masterFields.empty()) {
            if (!master.fieldColumns.empty()) masterColumns.push_back(master.fieldColumns[0]);
        } else {
            for (const int f : r.masterFields)
                if (static_cast<std::size_t>(f) < master.fieldColumns.size()) masterColumns.push_back(master.fieldColumns[static_cast<std::size_t>(f)]);
        }
        if (masterColumns.size() != r.columns.size() ||
            std::find(master.keys.begin(), master.keys.end(), masterColumns) == master.keys.end()) {
            out.notes.push_back("foreign key (" + r.what + ") left out: the master's columns are not its primary or unique key in the target");
            continue;
        }
        std::string childNotNull, match;
        for (std::size_t k = 0; k < r.columns.size(); ++k) {
            childNotNull += std::string(k ? " AND " : "") + "c." + col(r.columns[k]) + " IS NOT NULL";
            match += std::string(k ? " AND " : "") + "m." + Target::quote(masterColumns[k]) + " = c." + col(r.columns[k]);
        }
        const std::int64_t orphans = count("SELECT count(*) FROM " + table + " AS c WHERE " + childNotNull +
                                           " AND NOT EXISTS (SELECT 1 FROM " + Target::quote(master.table) + " AS m WHERE " + match + ")");
        if (orphans != 0) {
            leftOut("FOREIGN KEY (" + r.what + ")", orphans);
            continue;
        }
        auto fk = std::make_unique<ForeignKeyPlan>();
        fk->columns = r.columns;
        fk->masterTable = master.table;
        fk->masterColumns = masterColumns;
        fk->what = "FOREIGN KEY (" + r.what + ")";
        relaxedKeys_.push_back(std::move(fk));
        a.foreignKeys.push_back(relaxedKeys_.back().get());
    }
    for (std::string& note : target_.addConstraints(plan, a)) out.notes.push_back(std::move(note));
    masters_[lowerAscii(s.stem)] = keys;
}

void Run::verify(Source& s, TableFile& t, TableOutcome& out, const std::string& mark, std::uint64_t total) {
    Reader reader = readerOf(t);
    const std::vector<ColumnPlan>& columns = s.plan.columns;
    out.verified = true;
    auto rows = target_.readBack(s.plan, mark);
    std::vector<Cell> cells(columns.size());
    FieldValue value;
    OutValue sent;
    std::string why;
    auto differ = [&](const std::string& text) {
        ++out.differences;
        if (out.differenceSamples.size() < 10) out.differenceSamples.push_back(text);
    };
    std::uint64_t r = 0;
    for (; r < total; ++r) {
        if ((r & 4095) == 0 && r > 0) progress(s, "verifying", r, total);
        if (!rows->next(cells)) {
            differ("the target has " + std::to_string(r) + " rows, the table " + std::to_string(total));
            break;
        }
        const auto index = static_cast<std::uint32_t>(r);
        const std::uint8_t* rec = reader.record(index);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const ColumnPlan& col = columns[c];
            if (col.field < 0) {
                value.setInteger(rec[0] == '*' ? 1 : 0, ValueKind::Boolean);
            } else {
                t.decode(rec, static_cast<std::size_t>(col.field), value);
                // A value the target could not take went in as NULL (and was reported).
                if (!takes(col, value, sent, why)) value.setNull();
            }
            const FieldValue back = fromCell(col, cells[c], value.kind);
            const std::string expected = dumpValueText(value), got = dumpValueText(back);
            if (expected != got)
                differ("record " + std::to_string(reader.recNo(index)) + ", " + col.name + ": the table holds " + expected +
                       ", the target " + got);
        }
    }
    if (r == total && rows->next(cells)) differ("the target has more rows than the table's " + std::to_string(total));
    out.verifiedRows = r;
    progress(s, "verifying", total, total);
    if (observer_)
        observer_->note(s.plan.name + ": verified: " + std::to_string(out.verifiedRows) + " rows, " +
                        std::to_string(out.differences) + " differences");
}

}  // namespace

std::string Target::quote(const std::string& name) {
    std::string q = "\"";
    for (const char c : name) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

int MigrateSummary::exitStatus() const {
    if (cancelled) return 1;
    for (const TableOutcome& t : tables)
        if (!t.done || !t.problems.empty() || t.differences != 0) return 1;
    return 0;
}

std::string MigrateSummary::text() const {
    std::string s;
    std::size_t done = 0, withProblems = 0;
    std::uint64_t rows = 0;
    for (const TableOutcome& t : tables) {
        s += t.source + " -> " + t.target + ": ";
        if (t.done) {
            ++done;
            rows += t.rows;
            s += std::to_string(t.rows) + (t.rows == 1 ? " row\n" : " rows\n");
        } else {
            s += "failed: " + t.error + "\n";
        }
        for (const std::string& n : t.notes) s += "  " + n + "\n";
        for (const std::string& p : t.problems) s += "  " + p + "\n";
        if (!t.problems.empty()) ++withProblems;
        if (t.verified) {
            s += "verified: " + std::to_string(t.verifiedRows) + " rows, " + std::to_string(t.differences) + " differences\n";
            for (const std::string& d : t.differenceSamples) s += "  " + d + "\n";
        }
    }
    s += std::to_string(done) + " of " + std::to_string(tables.size()) + " tables migrated, " + std::to_string(rows) +
         " rows";
    if (withProblems) s += ", " + std::to_string(withProblems) + " with values stored as NULL";
    if (cancelled) s += "; cancelled";
    return s + "\n";
}

std::vector<std::string> expandSources(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) {
        if (isFolder(p)) {
            TSession session;
            std::vector<std::string> names;
            session.GetTableNames(p, "*", true, false, names);
            std::sort(names.begin(), names.end());
            for (const std::string& n : names) out.push_back(p + (p.back() == '/' ? "" : "/") + n);
            continue;
        }
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0) throw MigrateError(p + ": no such table file or folder");
        out.push_back(p);
    }
    return out;
}

std::unique_ptr<Target> openTarget(const std::string& spec) {
    if (spec.rfind("sqlite:", 0) == 0) {
        if (spec.size() == 7) throw MigrateError("sqlite: needs a file path");
        return openSqliteTarget(spec.substr(7));
    }
    if (spec.rfind("postgresql:", 0) == 0) return openPostgresTarget(spec.substr(11));
    throw MigrateError("unknown target " + spec + " (sqlite:PATH or postgresql:CONNINFO)");
}

MigrateSummary migrate(const std::vector<std::string>& files, Target& target, const MigrateOptions& options,
                       MigrateObserver* observer) {
    Run run(target, options, observer);
    return run.run(files);
}

}  // namespace tavrinth::migrate
