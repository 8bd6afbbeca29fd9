#pragma once
// The table object of the data-access layer: a named table of a database (an alias or a folder),
// opened read-only, with its fields and a cursor over its records.
//
// Every operation that needs the open table raises EDatabaseError("Cannot perform this operation
// on a closed dataset") while the table is closed. Not thread-safe: one table per thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine_api.h"
#include "field_types.h"
#include "field_value.h"
#include "table_file.h"
#include "table_meta.h"

namespace tavrinth {

class TSession;
class TTable;

class TField {
public:
    const std::string& FieldName() const { return def_->name; }
    TFieldType DataType() const { return def_->dataType; }
    // The declared size: characters of a string field, decimals of a BCD field, bytes of a BLOB
    // kept in the record; 0 for types of a fixed size.
    int Size() const { return def_->size; }
    // Bytes the layer keeps for one value (string fields: Size + 1).
    int DataSize() const { return def_->dataSize; }
    bool Required() const { return def_->required; }
    bool Visible() const { return visible_; }
    void SetVisible(bool visible) { visible_ = visible; }
    // The engine's field number: position + 1.
    int FieldNo() const { return index_ + 1; }
    int Index() const { return index_; }
    const FieldDef& Def() const { return *def_; }

    // The value in the current record (NULL when the table has no records).
    const FieldValue& Value() const;
    bool IsNull() const { return Value().isNull(); }
    // The value as people read it (displayValueText): strings and memos as they are, numbers
    // with "." as the decimal point, dates as YYYY-MM-DD, logicals as True/False; empty for NULL;
    // "(invalid value)" for a value no valid value of its field.
    std::string AsString() const;

    // Gives the field a new value in the record being edited (TTable::Edit first); it is written
    // by TTable::Post. Raises EDatabaseError when the table is not in edit mode or the field
    // cannot be changed (the reason says why).
    void SetValue(const FieldValue& value);
    // Why this field cannot be changed; empty when it can.
    std::string ReadOnlyReason() const;

private:
    friend class TTable;
    TField(TTable* table, const FieldDef* def, int index) : table_(table), def_(def), index_(index), visible_(def->visible) {}

    TTable* table_;
    const FieldDef* def_;
    int index_;
    bool visible_;
};

// The index definitions of a table, as the engine reports them (the primary index first).
class TIndexDefs {
public:
    // Reads the definitions afresh from the open table's index files.
    void Update();
    int Count() const { return static_cast<int>(defs_.size()); }
    const TIndexDef& Items(int index) const;
    const TIndexDef& operator[](int index) const { return Items(index); }
    void Clear() { defs_.clear(); }

private:
    friend class TTable;
    explicit TIndexDefs(TTable* table) : table_(table) {}
    TTable* table_;
    std::vector<TIndexDef> defs_;
};

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TTable {
public:
    explicit TTable(TSession* session = nullptr);
    ~TTable();
    TTable(const TTable&) = delete;
    TTable& operator=(const TTable&) = delete;

    // An alias name or a folder path (a trailing "/" allowed); empty: TableName is a path.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& name);
    // A table name without extension (the Paradox table is tried first, then the dBase one) or a
    // file name with extension.
    const std::string& TableName() const { return tableName_; }
    void SetTableName(const std::string& name);
    // A code page to decode the table with instead of the one its header names (empty: none).
    void SetCodePageOverride(const std::string& codePage);
    const std::string& CodePageOverride() const { return codePageOverride_; }

    bool Active() const { return file_ != nullptr; }
    void SetActive(bool active) { active ? Open() : Close(); }
    void Open();
    void Close();

    // The number of records (dBase: the records not marked deleted).
    int RecordCount() const;
    // The size of one record in bytes.
    std::uint16_t RecordSize() const;

    int FieldCount() const;
    TField& Fields(int index);
    TField& FieldByName(const std::string& name);
    // Null when there is no field of that name (names compare ignoring case).
    TField* FindField(const std::string& name);

    void First();
    void Next();
    void Prior();
    void Last();
    bool Eof() const;
    bool Bof() const;
    // Moves to the record at a 0-based position in table order.
    void MoveToPosition(int position);
    // The 0-based position of the current record (-1 when the table has no records).
    int Position() const;
    // Paradox: the record's sequence number; dBase: its physical record number (both from 1).
    int RecNo() const;

    // The index definitions; call IndexDefs().Update() before reading them.
    TIndexDefs& IndexDefs() { return indexDefs_; }

    // The engine cursor of the open table and the engine handle of its database (null while the
    // table is closed), for the direct engine operations.
    hDBICur Handle() const { return handle_; }
    hDBIDb DBHandle() const { return dbHandle_; }

    // Editing: Edit starts changing the current record, TField::SetValue changes values, Post
    // writes the changed fields to the file (opened for writing on the first change) and Cancel
    // drops them. Post raises EDBEngineError, leaving the file unchanged, when a value cannot be
    // written; the record then stays in edit mode. Moving to another record posts first.
    // Insert begins a new record: every field blank (posted blank, a field gets its validity
    // check's default, an auto-increment field the table's next value); Post adds it (a keyed
    // Paradox table puts it in key order) and it becomes the current record; Cancel drops it and
    // goes back to the record that was current. A posted change of a key field moves the record
    // to its place in key order, and it stays the current record there. Delete deletes the
    // current record (dBase marks it deleted); the record after it becomes current (or the last).
    TDataSetState State() const;
    void Edit();
    void Insert();
    void Post();
    void Cancel();
    void Delete();
    bool Modified() const;

    void DisableControls() { ++controlsDisabled_; }
    void EnableControls() {
        if (controlsDisabled_ > 0) --controlsDisabled_;
    }
    bool ControlsDisabled() const { return controlsDisabled_ > 0; }

    // The path of the open table's file.
    const std::string& FilePath() const;
    // The path of the file Open would open now (the table may be closed); raises EDBEngineError
    // when there is none.
    std::string ResolvedPath() const { return resolvePath(); }
    // What the engine found odd in the open table but read anyway.
    const std::vector<std::string>& Warnings() const;
    // The engine's side of the open table.
    TableFile& File() const;

private:
    friend class TField;
    friend class TIndexDefs;
    void checkActive() const;
    void checkInactive() const;
    const FieldValue& value(int field);
    std::string resolvePath() const;
    void reloadRecord();

    TSession* session_;
    std::string databaseName_;
    std::string tableName_;
    std::string codePageOverride_;
    std::string path_;
    std::unique_ptr<TableFile> file_;
    std::vector<TField> fields_;
    TIndexDefs indexDefs_{this};
    hDBIDb dbHandle_ = nullptr;
    hDBICur handle_ = nullptr;

    int position_ = -1;
    bool eof_ = true, bof_ = true;
    int controlsDisabled_ = 0;
    // Values of the current record, decoded when first asked for.
    std::vector<std::uint8_t> record_;
    std::vector<FieldValue> values_;
    std::vector<std::uint8_t> decoded_;  // a byte per field: cheaper to test and set than bits
    bool editing_ = false;
    bool inserting_ = false;     // the record being edited is a new one (Insert)
    int positionBeforeInsert_ = -1;
    std::vector<bool> changed_;  // fields given a new value in the record being edited
    // After a posted change: the position of the record now holding `intended` (it moved when
    // a key changed), searched from `from` outward; -1 when none does.
    int findRecord(const std::vector<FieldValue>& intended, int from);
};

}  // namespace tavrinth
