#include "table_update.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "engine_error.h"
#include "table_file.h"
#include "value_text.h"

namespace tavrinth {

std::string foreignLockReason(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    std::string reason;
    // A lock of an open file (pid -1) is another change of this program's: changes wait for it.
    if (::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK && fl.l_pid > 0)
        reason = "another program (process " + std::to_string(fl.l_pid) + ") holds a lock on " + fileNamePart(path);
    ::close(fd);
    return reason;
}

// --- values -------------------------------------------------------------------------------------

int compareValues(const FieldValue& a, const FieldValue& b, bool& comparable) {
    comparable = false;
    if (a.isNull() || b.isNull()) return 0;
    auto number = [](const FieldValue& v, long double& out) {
        switch (v.kind) {
            case ValueKind::Integer: case ValueKind::Date: case ValueKind::Time: case ValueKind::Boolean:
                out = static_cast<long double>(v.integer);
                return true;
            case ValueKind::Currency: out = static_cast<long double>(v.integer) / 10000.0L; return true;
            case ValueKind::Float: case ValueKind::DateTime: out = v.real; return true;
            case ValueKind::Bcd: out = std::strtold(v.text.c_str(), nullptr); return true;
            default: return false;
        }
    };
    if (a.kind == ValueKind::String && b.kind == ValueKind::String) {
        comparable = true;
        const int c = a.text.compare(b.text);
        return c < 0 ? -1 : c > 0;
    }
    const bool aDate = a.kind == ValueKind::Date || a.kind == ValueKind::Time || a.kind == ValueKind::DateTime;
    const bool bDate = b.kind == ValueKind::Date || b.kind == ValueKind::Time || b.kind == ValueKind::DateTime;
    if (aDate != bDate || (aDate && a.kind != b.kind)) return 0;
    long double x, y;
    if (!number(a, x) || !number(b, y)) return 0;
    comparable = true;
    return x < y ? -1 : x > y;
}

std::int64_t todayDayNumber() {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return dayNumberFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::int64_t nowMilliseconds() {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000;
}

namespace testing {
namespace {
void (*updateHook)(const char*) = nullptr;
}
void setUpdateHook(void (*hook)(const char* stage)) { updateHook = hook; }
void runUpdateHook(const char* stage) {
    if (updateHook) updateHook(stage);
}
}  // namespace testing

// --- TableFile::updateRecord ----------------------------------------------------------------------

namespace {

// The value a bound stands for at this moment.
bool boundValue(BoundKind kind, const FieldValue& stored, const FieldDef& f, FieldValue& out) {
    switch (kind) {
        case BoundKind::None: return false;
        case BoundKind::Value: out = stored; return !stored.isNull();
        case BoundKind::Today:
        case BoundKind::Now:
            if (f.dataType == ftDate) out.setInteger(todayDayNumber(), ValueKind::Date);
            else if (f.dataType == ftTime) out.setInteger(nowMilliseconds(), ValueKind::Time);
            else if (f.dataType == ftDateTime)
                out.setReal(static_cast<double>(todayDayNumber() * kMillisecondsPerDay + nowMilliseconds()),
                            ValueKind::DateTime);
            else return false;
            return true;
    }
    return false;
}

}  // namespace

std::string TableFile::writeRefusal(bool indexFiles) {
    if (!journalProblem_.empty()) return journalProblem_;
    return tableReadOnlyReason(indexFiles);
}

std::string TableFile::diskPath() const {
    if (path_.empty()) throw EDBEngineError(EDBEngineError::Code::Io, "Cannot change " + fileName_ + ": not a file on disk");
    return path_;
}

std::string TableFile::validityProblem(std::size_t field, const FieldValue& value) const {
    const FieldDef& f = fields_[field];
    for (const ValidityCheck& check : checks_) {
        if (static_cast<std::size_t>(check.field) != field) continue;
        if (check.required && value.isNull()) return f.name + " must have a value";
        FieldValue bound;
        bool comparable = false;
        auto limit = [&](BoundKind kind) {
            return kind == BoundKind::Today ? std::string("today") : kind == BoundKind::Now ? std::string("now")
                                                                                            : displayValueText(bound);
        };
        if (boundValue(check.minKind, check.minValue, f, bound) && compareValues(value, bound, comparable) < 0 &&
            comparable)
            return f.name + " must be at least " + limit(check.minKind);
        if (boundValue(check.maxKind, check.maxValue, f, bound) && compareValues(value, bound, comparable) > 0 &&
            comparable)
            return f.name + " must be at most " + limit(check.maxKind);
    }
    return std::string();
}

bool TableFile::defaultValue(std::size_t field, FieldValue& out) const {
    for (const ValidityCheck& check : checks_)
        if (static_cast<std::size_t>(check.field) == field) return boundValue(check.defaultKind, check.defaultValue, fields_[field], out);
    return false;
}

void TableFile::updateRecord(std::uint32_t index, const std::vector<FieldChange>& changes, const std::uint8_t* seen) {
    const std::string table = fileName_;
    auto refuse = [&](const std::string& why) {
        throw EDBEngineError(EDBEngineError::Code::InvalidValue, "Cannot change " + table + ": " + why);
    };
    if (index >= recordCount()) refuse("record " + std::to_string(index + 1) + " does not exist");
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot change " + table + ": " + why);

    const std::vector<std::uint8_t> before = [&] {
        const std::uint8_t* r = seen ? seen : record(index);
        return std::vector<std::uint8_t>(r, r + recordSize());
    }();
    std::vector<std::uint8_t> bytes = before;
    std::vector<FieldChange> outside;
    for (const FieldChange& c : changes) {
        if (c.field >= fields_.size()) refuse("no field number " + std::to_string(c.field + 1));
        const FieldDef& f = fields_[c.field];
        if (const std::string why = fieldReadOnlyReason(c.field); !why.empty())
            refuse("field " + f.name + " cannot be changed: " + why);
        if (const std::string why = validityProblem(c.field, c.value); !why.empty()) refuse(why);
        if (keptOutsideRecord(c.field)) {
            outside.push_back(c);
            continue;
        }
        std::string error;
        if (!encodeField(c.field, c.value, bytes.data(), error)) refuse("field " + f.name + ": " + error);
    }
    testing::runUpdateHook("before-write");
    writeRecord(index, bytes.data(), before.data(), outside);
    testing::runUpdateHook("after-write");
}

std::int64_t TableFile::insertRecord(const std::vector<FieldValue>& values, const std::vector<bool>& given) {
    std::unique_ptr<TableAppend> append = beginAppend();
    append->append(values, given);
    append->commit();
    return append->lastRecNo();
}

void TableFile::deleteRecord(std::uint32_t index, const std::uint8_t* seen) {
    const std::string table = fileName_;
    if (index >= recordCount())
        throw EDBEngineError(EDBEngineError::Code::InvalidValue,
                             "Cannot delete from " + table + ": record " + std::to_string(index + 1) + " does not exist");
    if (const std::string why = writeRefusal(); !why.empty())
        throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot delete from " + table + ": " + why);
    const std::vector<std::uint8_t> before = [&] {
        const std::uint8_t* r = seen ? seen : record(index);
        return std::vector<std::uint8_t>(r, r + recordSize());
    }();
    removeRecord(index, before.data());
}

std::uint64_t TableFile::pack() {
    throw EDBEngineError(EDBEngineError::Code::Unsupported,
                         "Cannot pack " + fileName_ + ": only dBase tables keep records marked deleted");
}

}  // namespace tavrinth
