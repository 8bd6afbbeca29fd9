#include "table.h"

#include <algorithm>

#include "engine_error.h"
#include "session.h"
#include "value_text.h"

namespace tavrinth {

// --- TField -------------------------------------------------------------------------------------

const FieldValue& TField::Value() const { return table_->value(index_); }

std::string TField::AsString() const { return displayValueText(Value()); }

void TField::SetValue(const FieldValue& value) {
    table_->checkActive();
    if (!table_->editing_) throw EDatabaseError("Dataset not in edit or insert mode");
    if (const std::string why = ReadOnlyReason(); !why.empty())
        throw EDatabaseError("Field '" + FieldName() + "' cannot be modified: " + why);
    const auto i = static_cast<std::size_t>(index_);
    table_->values_[i] = value;
    table_->decoded_[i] = true;
    table_->changed_[i] = true;
}

std::string TField::ReadOnlyReason() const {
    table_->checkActive();
    return table_->file_->fieldReadOnlyReason(static_cast<std::size_t>(index_));
}

// --- TIndexDefs ---------------------------------------------------------------------------------

void TIndexDefs::Update() {
    table_->checkActive();
    defs_ = table_->file_->readIndexes();
}

const TIndexDef& TIndexDefs::Items(int index) const {
    if (index < 0 || index >= Count()) throw EDatabaseError("Index definition out of range: " + std::to_string(index));
    return defs_[static_cast<std::size_t>(index)];
}

// --- TTable -------------------------------------------------------------------------------------

TTable::TTable(TSession* session) : session_(session ? session : &TSession::Default()) {}

TTable::~TTable() { Close(); }

void TTable::checkActive() const {
    if (!file_) throw EDatabaseError(kClosedDatasetMessage);
}

void TTable::checkInactive() const {
    if (file_) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

void TTable::SetDatabaseName(const std::string& name) {
    checkInactive();
    databaseName_ = name;
}

void TTable::SetTableName(const std::string& name) {
    checkInactive();
    tableName_ = name;
}

void TTable::SetCodePageOverride(const std::string& codePage) {
    checkInactive();
    codePageOverride_ = codePage;
}

std::string TTable::resolvePath() const {
    if (tableName_.empty()) throw EDBEngineError(EDBEngineError::Code::NotFound, "No table name given");
    std::string folder;
    std::string name = tableName_;
    if (databaseName_.empty()) {
        folder = folderPart(tableName_);
        name = fileNamePart(tableName_);
    } else {
        folder = session_->DatabaseFolder(databaseName_);
    }
    if (!extensionPart(name).empty()) {
        const std::string found = findInFolder(folder, name);
        if (!found.empty()) return joinPath(folder, found);
    } else {
        for (const char* ext : {".db", ".dbf"}) {
            const std::string found = findInFolder(folder, name + ext);
            if (!found.empty()) return joinPath(folder, found);
        }
    }
    throw EDBEngineError(EDBEngineError::Code::NotFound,
                         "Table does not exist: " + name + " (in " + folder + ")");
}

void TTable::Open() {
    if (file_) return;
    const std::string path = resolvePath();
    OpenOptions options;
    options.codePage = codePageOverride_;
    options.knownPasswords = session_->Passwords();
    struct PromptContext {
        TSession* session;
    } context{session_};
    if (session_->Prompt()) {
        options.askPassword = [](void* c, const std::string& table, std::string& password) {
            return static_cast<PromptContext*>(c)->session->Prompt()(table, password);
        };
        options.askPasswordContext = &context;
    }
    file_ = openTableFile(path, options);
    if (!file_->password().empty()) session_->AddPassword(file_->password());
    path_ = path;
    dbHandle_ = DbiNewDatabase(folderPart(path));
    handle_ = DbiNewTableCursor(dbHandle_, *file_, tableName_.empty() ? fileNamePart(path) : fileNamePart(tableName_));
    fields_.clear();
    const auto& defs = file_->fields();
    fields_.reserve(defs.size());
    for (std::size_t i = 0; i < defs.size(); ++i) fields_.push_back(TField(this, &defs[i], static_cast<int>(i)));
    values_.assign(defs.size(), FieldValue());
    decoded_.assign(defs.size(), false);
    First();
}

TDataSetState TTable::State() const {
    if (!file_) return TDataSetState::dsInactive;
    return inserting_ ? TDataSetState::dsInsert : editing_ ? TDataSetState::dsEdit : TDataSetState::dsBrowse;
}

void TTable::Edit() {
    checkActive();
    if (editing_) return;
    if (position_ < 0) throw EDatabaseError("Cannot edit: the table has no records");
    editing_ = true;
    changed_.assign(fields_.size(), false);
}

bool TTable::Modified() const {
    return editing_ && std::find(changed_.begin(), changed_.end(), true) != changed_.end();
}

void TTable::Post() {
    checkActive();
    if (!editing_) return;
    if (inserting_) {
        // Fields not given get their defaults from the engine.
        const std::int64_t recNo = file_->insertRecord(values_, changed_);
        editing_ = inserting_ = false;
        changed_.clear();
        const std::int64_t at = file_->positionOfRecNo(recNo);
        position_ = -1;
        record_.clear();
        if (at >= 0) MoveToPosition(static_cast<int>(at));
        else Last();
        return;
    }
    std::vector<TableFile::FieldChange> changes;
    for (std::size_t i = 0; i < changed_.size(); ++i)
        if (changed_[i]) changes.push_back({i, values_[i]});
    // The record as it is meant to read after the change, to find it again when it moved.
    std::vector<FieldValue> intended(fields_.size());
    if (!changes.empty())
        for (std::size_t i = 0; i < fields_.size(); ++i) intended[i] = value(static_cast<int>(i));
    // The change is made on the record as this table showed it (record_): when the file holds
    // another record there now, it is refused rather than undoing the other change.
    if (!changes.empty()) file_->updateRecord(static_cast<std::uint32_t>(position_), changes, record_.data());
    editing_ = false;
    changed_.clear();
    if (!changes.empty()) {
        const int at = findRecord(intended, position_);
        if (at >= 0) position_ = at;
        else if (position_ >= static_cast<int>(file_->recordCount())) position_ = static_cast<int>(file_->recordCount()) - 1;
    }
    reloadRecord();
}

void TTable::Insert() {
    checkActive();
    if (editing_) Post();
    positionBeforeInsert_ = position_;
    editing_ = inserting_ = true;
    changed_.assign(fields_.size(), false);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        values_[i].setNull();
        decoded_[i] = true;
    }
}

void TTable::Cancel() {
    if (!editing_) return;
    editing_ = false;
    changed_.clear();
    if (inserting_) {
        inserting_ = false;
        position_ = positionBeforeInsert_;
        std::fill(decoded_.begin(), decoded_.end(), false);
    }
    if (file_) reloadRecord();
}

void TTable::Delete() {
    checkActive();
    if (inserting_) return Cancel();
    if (position_ < 0) throw EDatabaseError("Cannot delete: the table has no records");
    editing_ = false;
    changed_.clear();
    file_->deleteRecord(static_cast<std::uint32_t>(position_), record_.data());
    const int count = static_cast<int>(file_->recordCount());
    if (count == 0) {
        position_ = -1;
        record_.clear();
        eof_ = bof_ = true;
        std::fill(decoded_.begin(), decoded_.end(), false);
        return;
    }
    if (position_ >= count) position_ = count - 1;
    reloadRecord();
}

int TTable::findRecord(const std::vector<FieldValue>& intended, int from) {
    const int count = static_cast<int>(file_->recordCount());
    FieldValue v;
    auto holds = [&](int position) {
        const std::uint8_t* rec = file_->record(static_cast<std::uint32_t>(position));
        for (std::size_t i = 0; i < intended.size(); ++i) {
            file_->decode(rec, i, v);
            if (dumpValueText(v) != dumpValueText(intended[i])) return false;
        }
        return true;
    };
    for (int d = 0; d < count; ++d) {
        if (from + d < count && from + d >= 0 && holds(from + d)) return from + d;
        if (d > 0 && from - d >= 0 && from - d < count && holds(from - d)) return from - d;
        if (from - d < 0 && from + d >= count) break;
    }
    return -1;
}

void TTable::reloadRecord() {
    if (position_ < 0) return;
    const std::uint8_t* rec = file_->record(static_cast<std::uint32_t>(position_));
    record_.assign(rec, rec + file_->recordSize());
    std::fill(decoded_.begin(), decoded_.end(), false);
}

void TTable::Close() {
    editing_ = inserting_ = false;
    changed_.clear();
    DbiFreeTableCursor(handle_);
    DbiFreeDatabase(dbHandle_);
    indexDefs_.Clear();
    file_.reset();
    fields_.clear();
    values_.clear();
    decoded_.clear();
    record_.clear();
    position_ = -1;
    eof_ = bof_ = true;
    path_.clear();
}

int TTable::RecordCount() const {
    checkActive();
    return static_cast<int>(file_->recordCount());
}

std::uint16_t TTable::RecordSize() const {
    checkActive();
    return static_cast<std::uint16_t>(file_->recordSize());
}

int TTable::FieldCount() const {
    checkActive();
    return static_cast<int>(fields_.size());
}

TField& TTable::Fields(int index) {
    checkActive();
    if (index < 0 || index >= static_cast<int>(fields_.size()))
        throw EDatabaseError("Field index out of range: " + std::to_string(index));
    return fields_[static_cast<std::size_t>(index)];
}

TField* TTable::FindField(const std::string& name) {
    checkActive();
    for (TField& f : fields_)
        if (f.FieldName() == name) return &f;
    for (TField& f : fields_)
        if (equalsIgnoreCase(f.FieldName(), name)) return &f;
    return nullptr;
}

TField& TTable::FieldByName(const std::string& name) {
    TField* f = FindField(name);
    if (!f) throw EDatabaseError(tableName_ + ": Field '" + name + "' not found");
    return *f;
}

void TTable::MoveToPosition(int position) {
    checkActive();
    const int count = static_cast<int>(file_->recordCount());
    if (count == 0) {
        position_ = -1;
        eof_ = bof_ = true;
        record_.clear();
        return;
    }
    if (position < 0) position = 0;
    if (position >= count) position = count - 1;
    if (editing_ && position != position_) Post();
    if (position != position_ || record_.empty()) {
        const std::uint8_t* rec = file_->record(static_cast<std::uint32_t>(position));
        record_.assign(rec, rec + file_->recordSize());
        std::fill(decoded_.begin(), decoded_.end(), false);
    }
    position_ = position;
    eof_ = bof_ = false;
}

void TTable::First() {
    MoveToPosition(0);
    bof_ = true;
    eof_ = file_->recordCount() == 0;
}

void TTable::Last() {
    checkActive();
    MoveToPosition(static_cast<int>(file_->recordCount()) - 1);
    eof_ = true;
}

void TTable::Next() {
    checkActive();
    if (position_ + 1 >= static_cast<int>(file_->recordCount())) {
        eof_ = true;
        return;
    }
    MoveToPosition(position_ + 1);
}

void TTable::Prior() {
    checkActive();
    if (position_ <= 0) {
        bof_ = true;
        return;
    }
    MoveToPosition(position_ - 1);
}

bool TTable::Eof() const {
    checkActive();
    return eof_;
}

bool TTable::Bof() const {
    checkActive();
    return bof_;
}

int TTable::Position() const {
    checkActive();
    return position_;
}

int TTable::RecNo() const {
    checkActive();
    if (position_ < 0) return 0;
    return file_->recNo(static_cast<std::uint32_t>(position_));
}

const FieldValue& TTable::value(int field) {
    checkActive();
    const auto i = static_cast<std::size_t>(field);
    if (inserting_) return values_[i];
    if (position_ < 0) {
        values_[i].setNull();
        return values_[i];
    }
    if (!decoded_[i]) {
        file_->decode(record_.data(), i, values_[i]);
        decoded_[i] = true;
    }
    return values_[i];
}

const std::string& TTable::FilePath() const {
    checkActive();
    return path_;
}

const std::vector<std::string>& TTable::Warnings() const {
    checkActive();
    return file_->warnings();
}

TableFile& TTable::File() const {
    checkActive();
    return *file_;
}

}  // namespace tavrinth
