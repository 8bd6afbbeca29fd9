#pragma once
// A Paradox table (.DB) with its BLOB file (.MB), read through its block chain.

#include <cstdint>
#include <memory>
#include <vector>

#include "../table_file.h"
#include "../table_update.h"
#include "px_header.h"

namespace tavrinth::paradox {

class ParadoxTable final : public TableFile {
public:
    // Throws EDBEngineError when the header is damaged, the file is no table, or an encrypted
    // table gets no fitting password.
    ParadoxTable(std::unique_ptr<ByteSource> db, std::unique_ptr<FileFamily> family, const OpenOptions& options);

    TableFormat format() const override { return TableFormat::Paradox; }
    std::uint32_t recordCount() const override { return totalRecords_; }
    std::uint32_t recordSize() const override { return header_.recordSize; }
    const std::uint8_t* record(std::uint32_t index) override;
    std::int32_t recNo(std::uint32_t index) override { return static_cast<std::int32_t>(index) + 1; }
    void decode(const std::uint8_t* record, std::size_t field, FieldValue& out) override;
    std::vector<TIndexDef> readIndexes() override;
    std::string fieldReadOnlyReason(std::size_t field) override;
    std::int64_t positionOfRecNo(std::int64_t recNo) override;
    std::uint64_t recordFileOffset(std::uint32_t index) override;

    const Header& header() const { return header_; }
    const FileFamily& family() const { return *family_; }
    // The chain of data blocks in table order, and the records each holds.
    const std::vector<std::uint16_t>& chain() const { return chainBlocks_; }

protected:
    std::string tableReadOnlyReason(bool indexFiles) override;
    bool encodeField(std::size_t field, const FieldValue& value, std::uint8_t* record, std::string& error) override;
    bool keptOutsideRecord(std::size_t field) const override;
    void writeRecord(std::uint32_t index, const std::uint8_t* record, const std::uint8_t* seen,
                     const std::vector<FieldChange>& outside) override;
    void removeRecord(std::uint32_t index, const std::uint8_t* seen) override;

public:
    std::unique_ptr<TableAppend> beginAppend() override;
    void reload() override;

private:
    // Whether the table has index files a change of its records must keep up to date: a keyed
    // table's primary index (also when its .PX is missing: the change makes it), secondary indexes.
    bool hasIndexFiles() const;
    // The leading key fields the header counts, within the fields there are.
    std::size_t keyFieldCount() const;
    // Why changes that touch the indexes cannot keep them up to date (an index the index rebuild
    // cannot order, a secondary index of an unkeyed table); empty when they can. Such changes
    // (adding and deleting records, changing a key or indexed field) are refused up front.
    std::string indexUpkeepProblem();
    std::size_t chainPositionOf(std::uint32_t index);
    void checkPassword(const OpenOptions& options);
    void buildFields();
    void walkChain();
    void loadBlock(std::size_t chainPosition);
    void decodeBlob(const FieldDef& f, const std::uint8_t* p, FieldValue& out);
    // Reads n bytes of the .MB at offset into out (unscrambled); false when the file ends first.
    bool readBlobBytes(std::uint64_t offset, std::size_t n, std::string& out);

    std::unique_ptr<ByteSource> db_;
    std::unique_ptr<FileFamily> family_;
    std::unique_ptr<ByteSource> mb_;
    Header header_;

    std::vector<std::uint16_t> chainBlocks_;  // block numbers in chain order
    std::vector<std::uint32_t> chainStart_;   // index of the first record of each, plus the total
    std::uint32_t totalRecords_ = 0;

    std::vector<std::uint8_t> block_;
    std::size_t loadedPosition_ = SIZE_MAX;  // chain position held in block_
    std::size_t lastPosition_ = 0;           // where the last lookup ended (sequential reading)
    std::vector<std::uint8_t> chunkBuffer_;
    bool damaged_ = false;  // the block chain had to be read around damage
    std::uint8_t loadedHeader_[0x58] = {};  // the header's fixed part as read (to see changes by others)
    class Change;
};

}  // namespace tavrinth::paradox
