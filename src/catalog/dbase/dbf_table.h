#pragma once
// A dBase / FoxPro table (.dbf) with its memo file (.dbt or .fpt).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../table_file.h"
#include "../table_update.h"

namespace tavrinth::dbase {

struct Header {
    std::uint8_t version = 0;
    int year = 0, month = 0, day = 0;  // last update (year as stored + 1900)
    std::uint32_t numRecords = 0;      // as the header says
    std::uint16_t headerLength = 0;
    std::uint16_t recordLength = 0;
    std::uint8_t transactionFlag = 0;
    std::uint8_t encryptionFlag = 0;
    std::uint8_t tableFlags = 0;       // byte 28: production MDX (dBase) / CDX, memo, DBC (FoxPro)
    std::uint8_t languageDriver = 0;   // byte 29
    std::string languageDriverName;    // level 7
    bool level7 = false;
    bool visualFoxPro = false;         // 0x30, 0x31, 0x32
    bool foxPro = false;               // any FoxPro family (also 0xF5, 0xFB)
    bool terminatorMissing = false;    // the descriptors ended without 0x0D
    std::uint32_t descriptorsEnd = 0;  // offset of the 0x0D (or where the descriptors stopped)
};

// The fields as the header describes them, in the order of the file.
struct RawField {
    std::string name;       // bytes, in the table's code page
    char type = 0;          // upper case
    std::uint32_t length = 0;
    std::uint8_t decimals = 0;
    std::uint8_t flags = 0;  // Visual FoxPro field flags
    std::uint8_t mdxFlag = 0;
    int nullBit = -1;        // bit in _NullFlags that says NULL
    int varLengthBit = -1;   // bit in _NullFlags that says the last byte holds the length
};

// Decodes a value kept in the field's own encoding: the n bytes at p, for a field of type `type`
// (upper case) in a table with this header. Values kept in a memo file (M, G, P, W, and B outside
// Visual FoxPro) are not decoded here: the function returns false and leaves `out` alone.
// Whether a field of this type keeps its value in the memo file (the record holds a pointer).
bool keptInMemoFile(char type, const Header& header);
bool decodeStoredValue(char type, const Header& header, const CodePage& codePage, const std::uint8_t* p,
                       std::size_t n, FieldValue& out);

class DBaseTable final : public TableFile {
public:
    DBaseTable(std::unique_ptr<ByteSource> dbf, std::unique_ptr<FileFamily> family, const OpenOptions& options);
    ~DBaseTable() override;

    TableFormat format() const override { return TableFormat::DBase; }
    std::uint32_t recordCount() const override { return liveCount_; }
    std::uint32_t recordSize() const override { return header_.recordLength; }
    const std::uint8_t* record(std::uint32_t index) override;
    std::int32_t recNo(std::uint32_t index) override { return static_cast<std::int32_t>(physicalIndex(index)) + 1; }
    void decode(const std::uint8_t* record, std::size_t field, FieldValue& out) override;
    // decode() for a field whose value lies in the record alone; false (out unset) for one kept in
    // the memo file. It reads nothing but the record, so it may run beside the table's other
    // work in another thread.
    bool decodeFromRecord(const std::uint8_t* record, std::size_t field, FieldValue& out) const;
    // Whether decodeFromRecord decodes the field (its value is not kept in the memo file).
    bool valueInRecord(std::size_t field) const;
    std::vector<TIndexDef> readIndexes() override;
    std::string fieldReadOnlyReason(std::size_t field) override;
    std::int64_t positionOfRecNo(std::int64_t recNo) override;
    std::uint64_t recordFileOffset(std::uint32_t index) override {
        return header_.headerLength + static_cast<std::uint64_t>(physicalIndex(index)) * header_.recordLength;
    }

    // Every record in the file, deleted ones included (byte 0 is the deletion flag).
    std::uint32_t physicalCount() const { return physicalCount_; }
    const std::uint8_t* physicalRecord(std::uint32_t index);
    // The physical record (0-based) at a position among the live records.
    std::uint32_t physicalIndex(std::uint32_t liveIndex);

    const Header& header() const { return header_; }
    const std::vector<RawField>& rawFields() const { return raw_; }
    const FileFamily& family() const { return *family_; }
    bool memoFileMissing() const { return memoNeeded_ && !memo_; }

protected:
    std::string tableReadOnlyReason(bool indexFiles) override;
    bool encodeField(std::size_t field, const FieldValue& value, std::uint8_t* record, std::string& error) override;
    bool keptOutsideRecord(std::size_t field) const override;
    void writeRecord(std::uint32_t index, const std::uint8_t* record, const std::uint8_t* seen,
                     const std::vector<FieldChange>& outside) override;
    void removeRecord(std::uint32_t index, const std::uint8_t* seen) override;

public:
    std::unique_ptr<TableAppend> beginAppend() override;
    std::uint64_t pack() override;
    // The raw bytes of a memo field's value: 1 read, 0 no memo (a blank pointer), -1 a pointer
    // that leads nowhere (or no memo file).
    int rawMemo(const std::uint8_t* record, std::size_t field, std::string& data, bool& binary);
    // Throws EDBEngineError (`action`: why not) when the table has an .ndx beside it.
    void refuseUnkeptNdx(const std::string& action);
    // A FoxPro table whose header names its structural .cdx (kept up to date by changes).
    bool structuralCdx() const;
    // Whether two versions of a record differ in a field an index tag covers.
    bool keyBytesDiffer(const std::uint8_t* a, const std::uint8_t* b);
    void reload() override;

private:
    void readHeader();
    void buildFields();
    void scanRecords();
    void openMemo();
    // n: the bytes of the field the record holds (fewer than declared when it runs past the record).
    void decodeMemo(const RawField& rf, const std::uint8_t* p, std::size_t n, FieldValue& out);
    bool nullFlag(const std::uint8_t* record, int bit) const;

    class Memo;
    class Change;
    std::unique_ptr<ByteSource> dbf_;
    std::unique_ptr<FileFamily> family_;
    std::unique_ptr<Memo> memo_;
    bool memoNeeded_ = false;
    Header header_;
    std::vector<RawField> raw_;
    int nullFlagsField_ = -1;  // index of the _NullFlags field

    std::uint32_t physicalCount_ = 0;
    std::uint32_t liveCount_ = 0;
    // Live records before each stretch of kStretch physical records (empty when none is deleted).
    std::vector<std::uint32_t> liveBefore_;
    std::uint32_t cursorLive_ = 0, cursorPhysical_ = 0;  // the last live -> physical answer
    bool cursorValid_ = false;

    std::vector<std::uint8_t> buffer_;  // a run of whole records
    std::uint32_t bufferFirst_ = 0, bufferCount_ = 0;
    std::uint8_t loadedHeader_[32] = {};  // the header's first bytes as read (to see changes by others)
};

}  // namespace tavrinth::dbase
