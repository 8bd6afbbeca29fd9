// Damaged tables that once crashed the engine or read outside their bytes, found by the fuzz
// targets (fuzz/). Each input is built here, byte by byte, down to what made the engine fail;
// the tests check that it now gives an error or a tolerant read. The over-reads show as wrong
// values here and as reports in the sanitizer build.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump.h"
#include "engine_error.h"
#include "field_value.h"
#include "file_io.h"
#include "table_file.h"

using namespace tavrinth;

namespace {

using Bytes = std::vector<std::uint8_t>;

void putLE16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void putLE32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

struct DbfFieldSpec {
    const char* name;
    char type;
    std::uint8_t length;  // as the descriptor declares it
};

// A dBase table: 32-byte header, 32-byte descriptors, 0x0D, then the records as given. The record
// length is given separately, so fields can be declared longer than the records are.
Bytes dbaseTable(std::uint8_t version, const std::vector<DbfFieldSpec>& fields, unsigned recordLength,
                 const std::vector<std::string>& records) {
    Bytes b(32 + 32 * fields.size() + 1, 0);
    b[0] = version;
    b[1] = 124;
    b[2] = 1;
    b[3] = 1;
    putLE32(b, 4, static_cast<std::uint32_t>(records.size()));
    putLE16(b, 8, static_cast<unsigned>(b.size()));
    putLE16(b, 10, recordLength);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::uint8_t* d = &b[32 + 32 * i];
        std::memcpy(d, fields[i].name, std::strlen(fields[i].name));
        d[11] = static_cast<std::uint8_t>(fields[i].type);
        d[16] = fields[i].length;
    }
    b.back() = 0x0D;
    for (const std::string& r : records) {
        EXPECT_EQ(r.size(), recordLength);
        b.insert(b.end(), r.begin(), r.end());
    }
    b.push_back(0x1A);
    return b;
}

std::unique_ptr<TableFile> openDBase(Bytes table, std::unique_ptr<MemoryFamily> family = nullptr) {
    if (!family) family = std::make_unique<MemoryFamily>();
    return openTableFile(std::make_unique<MemorySource>("damaged.dbf", std::move(table)), std::move(family),
                         TableFormat::DBase);
}

std::string dumpOf(TableFile& table) {
    std::string out;
    writeDump(table, [&out](const std::string& piece) { out += piece; });
    return out;
}

}  // namespace

// A memo field declared with 10 bytes in records of 4: the memo pointer was read with its
// declared length, past the end of the record (into the next record, or past the buffer).
TEST(DamageRegressions, DBaseMemoFieldRunningPastTheRecord) {
    // Record 1 holds three blanks where the pointer starts; record 2 a pointer "  7" in the same
    // place. Reading 10 bytes from record 1 used to take record 2's bytes as its pointer.
    auto table = openDBase(dbaseTable(0x83, {{"NOTES", 'M', 10}}, 4, {"    ", "   7"}));
    ASSERT_EQ(table->recordCount(), 2u);
    ASSERT_FALSE(table->warnings().empty());  // the fields take more bytes than the record has

    FieldValue v;
    table->decode(table->record(0), 0, v);
    EXPECT_EQ(v.kind, ValueKind::Null);  // three blanks: no memo
    table->decode(table->record(1), 0, v);
    EXPECT_EQ(v.kind, ValueKind::MissingBlob);  // block 7 of a memo file that is not there
    EXPECT_EQ(dumpOf(*table), "_deleted,NOTES\r\n,\\N\r\n,<missing blob>\r\n");
}

// The same with a Visual FoxPro 4-byte memo pointer of which the record holds only 2 bytes.
TEST(DamageRegressions, FoxProMemoPointerCutByTheRecordEnd) {
    auto family = std::make_unique<MemoryFamily>();
    Bytes fpt(512, 0);
    fpt[7] = 64;  // block size 64
    family->add(".fpt", fpt);
    auto table = openDBase(dbaseTable(0x30, {{"NOTES", 'M', 4}}, 3, {std::string(" \x01\x00", 3)}), std::move(family));
    ASSERT_EQ(table->recordCount(), 1u);
    FieldValue v;
    table->decode(table->record(0), 0, v);
    EXPECT_EQ(v.kind, ValueKind::Invalid);
    EXPECT_EQ(v.text, std::string("\x01\x00", 2));
}
