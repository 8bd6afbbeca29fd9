#pragma once
// The format side of the engine: one open table file (Paradox or dBase) with its companions.
//
// A TableFile knows the table's fields and hands out the raw bytes of its records in table order;
// it decodes one field of a record at a time. The table object (TTable) sits on top of it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codepage.h"
#include "field_types.h"
#include "field_value.h"
#include "file_io.h"
#include "table_meta.h"

namespace tavrinth {

enum class TableFormat { Paradox, DBase };

// New records appended to a table in one change: all of them or none. The change holds the
// table's write lock from begin to commit, and a journal keeps the family's old state until the
// change is made, so a crash or an error on the way leaves the table as it was.
class TableAppend {
public:
    virtual ~TableAppend() = default;
    // Appends one record: values[i] for field i where given[i]; a field left out gets its
    // validity check's default, or stays blank; an auto-increment field gets the table's next
    // value. Throws EDBEngineError (InvalidValue) naming the field when a value cannot be kept;
    // the whole change is then void (destroy it without commit).
    virtual void append(const std::vector<FieldValue>& values, const std::vector<bool>& given) = 0;
    // Records appended so far.
    virtual std::uint64_t appended() const = 0;
    // After commit: the record number the engine reports for the last record appended (dBase its
    // physical number; Paradox its sequence number, where a keyed table placed it in key order).
    virtual std::int64_t lastRecNo() const = 0;
    // Writes the rest (the header last), flushes and makes the change; the table then shows the
    // new records. Without commit, destroying the change leaves every file as it was.
    virtual void commit() = 0;
};

struct FieldDef {
    std::string name;               // UTF-8
    TFieldType dataType = ftUnknown;
    int size = 0;                   // the layer's declared size (characters for strings)
    int dataSize = 0;               // bytes the layer keeps for one value
    bool required = false;
    bool visible = true;
    std::uint16_t logicalType = 0;  // engine logical type code (fld::)
    std::uint16_t subType = 0;      // engine subtype (fld::st...)

    // How the field is stored.
    char typeLetter = 0;            // 'A', 'N', '$' ... (Paradox) or 'C', 'N', 'D' ... (dBase)
    std::uint8_t typeCode = 0;      // Paradox type code (0x01 ...), 0 for dBase
    std::uint32_t offset = 0;       // byte offset in the record
    std::uint32_t length = 0;       // bytes in the record
    int decimals = 0;               // dBase N/F decimals, Paradox BCD decimals
};

// Called before an encrypted table opens: fills `password` and returns true, or returns false
// when the user cancels. `tableName` names the table for the prompt.
using PasswordCallback = bool (*)(void* context, const std::string& tableName, std::string& password);

struct OpenOptions {
    // Overrides the code page the table names (a CodePage name); empty = the table's own.
    std::string codePage;
    // Passwords to try before asking (the ones entered earlier in this run).
    std::vector<std::string> knownPasswords;
    // Asked when none of the known passwords fits; null = do not ask (the open fails).
    PasswordCallback askPassword = nullptr;
    void* askPasswordContext = nullptr;
};

class TableFile {
public:
    virtual ~TableFile() = default;
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    virtual TableFormat format() const = 0;
    const std::vector<FieldDef>& fields() const { return fields_; }
    const CodePage& codePage() const { return *codePage_; }
    const CodePageChoice& codePageChoice() const { return codePageChoice_; }
    // The code page the table itself names (or the default it falls back to), also when the
    // opening overrode it with OpenOptions::codePage.
    const CodePageChoice& ownCodePageChoice() const { return ownCodePageChoice_; }
    // Things found odd but read anyway (a record count that disagrees with the file, ...).
    const std::vector<std::string>& warnings() const { return warnings_; }
    // The file name, for messages.
    const std::string& fileName() const { return fileName_; }
    // The password that opened an encrypted table (empty otherwise).
    const std::string& password() const { return password_; }

    // Records in table order (for dBase the records not marked deleted).
    virtual std::uint32_t recordCount() const = 0;
    // The size of one record: the Paradox header's record size, the dBase header's record length.
    virtual std::uint32_t recordSize() const = 0;
    // The raw bytes of the record at this 0-based position in table order. The bytes stay valid
    // until the next call of record(). Throws EDBEngineError when the file cannot be read.
    virtual const std::uint8_t* record(std::uint32_t index) = 0;
    // The record number the engine reports: Paradox the 1-based sequence number, dBase the
    // 1-based physical record number.
    virtual std::int32_t recNo(std::uint32_t index) = 0;
    // Decodes field `field` of a record returned by record().
    virtual void decode(const std::uint8_t* record, std::size_t field, FieldValue& out) = 0;

    // --- Changing records -------------------------------------------------------------------

    struct FieldChange {
        std::size_t field;
        FieldValue value;
    };
    // Why a field cannot be changed (a key or indexed field, a memo, an auto-increment field ...);
    // empty when it can.
    virtual std::string fieldReadOnlyReason(std::size_t field) = 0;
    // Writes new values for some fields of the record at position `index` of the table order;
    // only those fields' bytes change (and what the format must keep in step with them). The file
    // is opened for writing on the first change. Every check runs before anything is written:
    // a value the field cannot hold, a validity check's minimum, maximum or required flag, a field
    // that cannot be changed, a table another program has locked. Throws EDBEngineError then,
    // with the files unchanged.
    // `seen`: the record's bytes as the change was made on them (recordSize() bytes; null: the
    // record as this table last read it). Under the write lock the record is read again from the
    // file; when another program (or another table object) has changed it since, nothing is
    // written and the change is refused (kRecordChangedMessage), so no change is silently lost.
    void updateRecord(std::uint32_t index, const std::vector<FieldChange>& changes, const std::uint8_t* seen = nullptr);
    // Begins appending records: a keyed Paradox table places each in key order; every index file
    // the table has is brought up to date in the same change. Throws EDBEngineError (with the
    // files unchanged) when the table cannot take records from this program: locked by another
    // program, damaged, or with index files this program cannot keep up to date.
    virtual std::unique_ptr<TableAppend> beginAppend() = 0;
    // Inserts one record (as beginAppend, append and commit) and returns its record number.
    std::int64_t insertRecord(const std::vector<FieldValue>& values, const std::vector<bool>& given);
    // Deletes the record at this position of the table order, keeping every index file up to
    // date: a dBase record is marked deleted (pack() removes it); a Paradox record leaves its
    // block. `seen` as for updateRecord. Throws EDBEngineError with the files unchanged when
    // refused.
    void deleteRecord(std::uint32_t index, const std::uint8_t* seen = nullptr);
    // Removes the records marked deleted (dBase) and the memo blocks only they used, through the
    // journal, and rebuilds the indexes; returns the number removed. Paradox tables keep no
    // deleted records: refused.
    virtual std::uint64_t pack();
    // Reads the table's files again: after a change made through this object, or when another
    // program changed them. Throws EDBEngineError when the table's structure changed.
    virtual void reload() = 0;
    // Why the table cannot be written (a journal that cannot be applied, locks of another program,
    // write protection, damage, and with `indexFiles` index files this program cannot keep up to
    // date); empty when it can.
    std::string writeRefusal(bool indexFiles = true);
    // Where the bytes of the record at this position lie in the table file.
    virtual std::uint64_t recordFileOffset(std::uint32_t index) = 0;
    // The position in table order of the record with this record number; -1 when there is none
    // (or, for dBase, when it is marked deleted).
    virtual std::int64_t positionOfRecNo(std::int64_t recNo) = 0;

    // The index definitions, read afresh from the index files (the primary index first).
    // A damaged or stale index file is left out with a warning, never fatal.
    virtual std::vector<TIndexDef> readIndexes() = 0;
    // The validity checks, one per field that has any, in field order. Read when the table opens
    // and kept; a damaged or stale source counts as absent (with a warning).
    const std::vector<ValidityCheck>& validityChecks() const { return checks_; }
    // The referential-integrity rules in which this table is the dependent side (Paradox), read
    // with the validity checks.
    const std::vector<TableReference>& references() const { return references_; }

protected:
    TableFile() = default;

    // Why the table cannot be written at all (locks, write protection ...); empty when it can.
    // `indexFiles`: also index files this program cannot keep up to date.
    virtual std::string tableReadOnlyReason(bool indexFiles) = 0;
    // Encodes one value into a copy of the record's bytes.
    virtual bool encodeField(std::size_t field, const FieldValue& value, std::uint8_t* record, std::string& error) = 0;
    // Whether a field's value lives outside the record (a memo or BLOB): updateRecord hands its
    // new value to writeRecord instead of encoding it.
    virtual bool keptOutsideRecord(std::size_t field) const = 0;
    // Writes the new bytes of the record at `index` durably, with the new values of fields kept
    // outside the record (`outside`: new blocks in the memo or BLOB file, the record's pointers set
    // to them), and brings the index files up to date (a changed key moves a Paradox record to its
    // place in key order), all in one change under the file's write lock; first reads the record
    // there again and, when it is not `seen`, writes nothing and throws
    // EDBEngineError(kRecordChangedMessage).
    virtual void writeRecord(std::uint32_t index, const std::uint8_t* record, const std::uint8_t* seen,
                             const std::vector<FieldChange>& outside) = 0;
    // Deletes the record at `index` (see deleteRecord), when the file still holds `seen` there.
    virtual void removeRecord(std::uint32_t index, const std::uint8_t* seen) = 0;
    void warn(std::string message) { warnings_.push_back(std::move(message)); }
    // The path of the table file on disk; throws EDBEngineError for a table held in memory.
    std::string diskPath() const;
    // What stops `value` from going into `field` under the field's validity check; empty when
    // nothing does.
    std::string validityProblem(std::size_t field, const FieldValue& value) const;
    // The value a new record's field gets when none is given: its validity check's default.
    bool defaultValue(std::size_t field, FieldValue& out) const;

    std::vector<FieldDef> fields_;
    std::shared_ptr<const CodePage> codePage_;
    CodePageChoice codePageChoice_;
    CodePageChoice ownCodePageChoice_;
    std::vector<std::string> warnings_;
    std::string fileName_;
    std::string password_;
    std::vector<ValidityCheck> checks_;
    std::vector<TableReference> references_;
    // Set when the table was opened beside a journal that cannot be applied.
    std::string journalProblem_;
    std::string path_;  // the table file on disk (empty for a table in memory)
    friend std::unique_ptr<TableFile> openTableFile(const std::string& path, const OpenOptions& options);

    // The index definitions as read the first time they were needed for a change: the files are
    // not read again for every field asked about.
    const std::vector<TIndexDef>& indexesForChanges() {
        if (!indexesRead_) {
            indexesForChanges_ = readIndexes();
            indexesRead_ = true;
        }
        return indexesForChanges_;
    }
    std::vector<TIndexDef> indexesForChanges_;
    bool indexesRead_ = false;

    // Applies checks_ to the fields: a field is required when its check marks it required and
    // gives no default, never when it is an auto-increment field.
    void applyRequiredFlags();
};

// Opens a table file on disk: Paradox by a ".db" extension, dBase by ".dbf"; another extension
// is decided by the file's first bytes. Throws EDBEngineError when the file is missing, is no
// table, is damaged beyond reading, or needs a password that is not given.
std::unique_ptr<TableFile> openTableFile(const std::string& path, const OpenOptions& options = {});

// The same over bytes in memory (tests and fuzzing): `companions` holds the other files.
std::unique_ptr<TableFile> openTableFile(std::unique_ptr<ByteSource> source,
                                         std::unique_ptr<FileFamily> companions, TableFormat format,
                                         const OpenOptions& options = {});

}  // namespace tavrinth
