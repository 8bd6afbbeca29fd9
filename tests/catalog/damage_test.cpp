// Damaged files: corpus tables cut short and with header bytes changed, opened from memory and
// dumped in full. Each must either read or fail with the engine's error and a message; nothing
// may crash, hang, allocate without bound or trip the sanitizers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <typeinfo>
#include <string>
#include <vector>

#include "dump.h"
#include "engine_error.h"
#include "file_io.h"
#include "table_file.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct DamageCase {
    std::string table;                   // full path
    std::vector<std::string> companions;  // extensions of the companions, as stored
    TableFormat format;
    bool encrypted = false;
    // Header bytes get only the flipped top bit, not all three changes: for a table whose every
    // full read is costly (half a megabyte of memo text to decrypt and decode).
    bool oneChangePerByte = false;
};

std::vector<DamageCase> damageCases() {
    const std::string px = "leonhad__paradoxdriver/src/test/resources/";
    return {
        // Paradox level 7 with a .MB; level 5 memo; every BLOB type; level 3; a chain out of order.
        {paradoxCorpus(px + "db/CUSTOMER.DB"), {".MB"}, TableFormat::Paradox},
        {paradoxCorpus(px + "fields/memo.db"), {".mb"}, TableFormat::Paradox},
        {paradoxCorpus("leonhad__paradoxdriver/_history/5535a29d/src/test/resources/db/fields.db"), {".mb"},
         TableFormat::Paradox},
        {paradoxCorpus(px + "mtdemo/CUSTOMER.DB"), {}, TableFormat::Paradox},
        {paradoxCorpus("teverett__paradoxReader/src/test/resources/examples/PCLDATA/PCL.DB"), {}, TableFormat::Paradox},
        // Encrypted: level 4 with an encrypted .MB, level 5, level 3.5.
        {paradoxCorpus(px + "encrypt/encryptedmemo.db"), {".mb"}, TableFormat::Paradox, true, true},
        {paradoxCorpus(px + "encrypt/encrypted.db"), {}, TableFormat::Paradox, true},
        {paradoxCorpus(px + "encrypt/encrypted35.db"), {}, TableFormat::Paradox, true},
        // dBase III + .dbt, IV + .dbt, level 7 + .dbt, Visual FoxPro + .fpt (one with _NullFlags,
        // varchar, varbinary and blob fields), FoxPro wide character fields.
        {dbaseCorpus("infused__dbf/spec/fixtures/dbase_83.dbf"), {".dbt"}, TableFormat::DBase},
        {dbaseCorpus("infused__dbf/spec/fixtures/dbase_8b.dbf"), {".dbt"}, TableFormat::DBase},
        {dbaseCorpus("albfernandez__javadbf/src/test/resources/inventory.dbf"), {".dbt"}, TableFormat::DBase},
        {dbaseCorpus("yortus__DBFFile/test/fixtures/vfp9_30_memo.dbf"), {".fpt"}, TableFormat::DBase},
        {dbaseCorpus("Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF"), {".FPT"}, TableFormat::DBase},
        {dbaseCorpus("yortus__DBFFile/test/fixtures/vfp9_memo_bs1.dbf"), {".fpt"}, TableFormat::DBase},
        {dbaseCorpus("yellowfeather__DbfDataReader/test/fixtures/FolderRoot.dbf"), {}, TableFormat::DBase},
    };
}

// Companions served from one shared copy: the runs below open a table thousands of times, and
// copying a half-megabyte .MB for each would dominate the run time.
class SharedSource final : public ByteSource {
public:
    SharedSource(std::string name, std::shared_ptr<const Bytes> bytes) : name_(std::move(name)), bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_->size(); }
    std::size_t readAt(std::uint64_t offset, void* buf, std::size_t n) const override {
        if (offset >= bytes_->size()) return 0;
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_->size() - offset));
        std::memcpy(buf, bytes_->data() + offset, k);
        return k;
    }
    const std::string& name() const override { return name_; }

private:
    std::string name_;
    std::shared_ptr<const Bytes> bytes_;
};

using Companions = std::map<std::string, std::shared_ptr<const Bytes>>;

class SharedFamily final : public FileFamily {
public:
    explicit SharedFamily(Companions files) : files_(std::move(files)) {}
    std::unique_ptr<ByteSource> open(const std::string& extension) const override {
        for (const auto& [ext, bytes] : files_)
            if (equalsIgnoreCase(ext, extension)) return std::make_unique<SharedSource>("damaged" + ext, bytes);
        return nullptr;
    }
    std::vector<std::string> extensions() const override {
        std::vector<std::string> out;
        for (const auto& f : files_) out.push_back(f.first);
        return out;
    }

private:
    Companions files_;
};

// A dump that grows past this is a runaway.
constexpr std::size_t kDumpLimit = 64u << 20;

struct DumpTooLarge {};

enum class Outcome { Read, Refused };

// Opens the files from memory and dumps the table. Returns how it ended; anything other than a
// full read or the engine's error (with a message) is a test failure naming the damage.
Outcome openAndDump(const DamageCase& c, const Bytes& table, const Companions& companions, const std::string& damage) {
    OpenOptions options;
    if (c.encrypted) options.knownPasswords = {"123"};
    try {
        auto t = openTableFile(std::make_unique<MemorySource>("damaged" + stemPart(fileNamePart(c.table)), table),
                               std::make_unique<SharedFamily>(companions), c.format, options);
        std::size_t total = 0;
        writeDump(*t, [&](const std::string& piece) {
            total += piece.size();
            if (total > kDumpLimit) throw DumpTooLarge{};
        });
        return Outcome::Read;
    } catch (const EDatabaseError& e) {
        if (std::string(e.what()).empty()) ADD_FAILURE() << damage << ": an error without a message";
        return Outcome::Refused;
    } catch (const DumpTooLarge&) {
        ADD_FAILURE() << damage << ": the dump grows past " << kDumpLimit << " bytes";
    } catch (const std::exception& e) {
        ADD_FAILURE() << damage << ": " << typeid(e).name() << ": " << e.what();
    } catch (...) {
        ADD_FAILURE() << damage << ": an unknown exception";
    }
    return Outcome::Refused;
}

// Lengths 0..all up to `every`, then `steps` lengths spread over the rest.
std::vector<std::size_t> cutLengths(std::size_t size, std::size_t every, std::size_t steps) {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= std::min(every, size); ++n) out.push_back(n);
    if (size > every)
        for (std::size_t k = 1; k <= steps; ++k) out.push_back(every + (size - every) * k / (steps + 1));
    return out;
}

std::size_t headerSizeOf(const DamageCase& c, const Bytes& b) {
    if (b.size() < 12) return b.size();
    const std::size_t h = c.format == TableFormat::Paradox ? (b[2] | (b[3] << 8)) : (b[8] | (b[9] << 8));
    return std::min(h, b.size());
}

class DamagedTable : public ::testing::TestWithParam<int> {};

struct Tally {
    int read = 0, refused = 0;
    double slowest = 0;
    std::string slowestDamage;
};

void run(const DamageCase& c, const Bytes& table, const Companions& companions, const std::string& damage,
         Tally& tally) {
    const auto start = std::chrono::steady_clock::now();
    (openAndDump(c, table, companions, damage) == Outcome::Read ? tally.read : tally.refused)++;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > tally.slowest) {
        tally.slowest = seconds;
        tally.slowestDamage = damage;
    }
}

Companions readCompanions(const DamageCase& c) {
    Companions companions;
    for (const std::string& ext : c.companions)
        companions[ext] = std::make_shared<const Bytes>(readFileBytes(stemPart(c.table) + ext));
    return companions;
}

// The bytes of the header that carry something: for a Paradox table up to the end of the used
// part (the rest of its header block is padding), for a dBase table the header and the records.
std::size_t usedHeaderBytes(const DamageCase& c, const Bytes& b) {
    if (c.format == TableFormat::DBase || b.size() < 0x58) return b.size();
    const std::size_t headerSize = headerSizeOf(c, b);
    const std::size_t used = b[0x39] >= 5 ? static_cast<std::size_t>(b[0x51] | (b[0x52] << 8)) : 0;
    return used > 0 && used <= headerSize ? used : headerSize;
}

TEST(DamageSelection, UndamagedTablesRead) {
    // The baseline: each table of the selection reads as it is, from memory as from disk.
    for (const DamageCase& c : damageCases()) {
        SCOPED_TRACE(c.table);
        const Bytes table = readFileBytes(c.table);
        const Companions companions = readCompanions(c);
        Tally tally;
        run(c, table, companions, "none", tally);
        EXPECT_EQ(tally.read, 1);
        OpenOptions options;
        if (c.encrypted) options.knownPasswords = {"123"};
        auto family = std::make_unique<MemoryFamily>();
        for (const auto& [ext, bytes] : companions) family->add(ext, *bytes);
        auto fromMemory = openTableFile(std::make_unique<MemorySource>("memory", table), std::move(family), c.format, options);
        const std::string dump = dumpToString(*fromMemory);
        EXPECT_TRUE(dump == dumpToString(*openTableFile(c.table, options)));
        EXPECT_EQ(dump.find("<missing blob>"), std::string::npos);
    }
}

TEST_P(DamagedTable, CutShortAndChangedHeaders) {
    const DamageCase c = damageCases().at(static_cast<std::size_t>(GetParam()));
    SCOPED_TRACE(c.table);
    const Bytes table = readFileBytes(c.table);
    const Companions companions = readCompanions(c);
    const std::size_t header = headerSizeOf(c, table);
    Tally tally;

    // The table cut at every length across the header, then in steps through the records.
    for (std::size_t n : cutLengths(table.size(), header + 64, 64))
        run(c, Bytes(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(n)), companions,
            "table cut to " + std::to_string(n) + " bytes", tally);

    // Each companion cut across its header and in steps, and missing altogether.
    for (const auto& [ext, bytes] : companions) {
        for (std::size_t n : cutLengths(bytes->size(), 64, 64)) {
            auto cut = companions;
            cut[ext] = std::make_shared<const Bytes>(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(n));
            run(c, table, cut, ext + " cut to " + std::to_string(n) + " bytes", tally);
        }
        auto without = companions;
        without.erase(ext);
        run(c, table, without, ext + " missing", tally);
    }

    // Every byte of the first few hundred set to 0x00, to 0xFF, and with its top bit flipped.
    const std::size_t flips = std::min<std::size_t>(usedHeaderBytes(c, table) + 16, std::min<std::size_t>(table.size(), 400));
    for (std::size_t i = 0; i < flips; ++i) {
        for (int kind = c.oneChangePerByte ? 2 : 0; kind < 3; ++kind) {
            Bytes damaged = table;
            const std::uint8_t before = damaged[i];
            damaged[i] = kind == 0 ? 0x00 : kind == 1 ? 0xFF : static_cast<std::uint8_t>(before ^ 0x80);
            if (damaged[i] == before) continue;
            static const char* const names[] = {"0x00", "0xFF", "xor 0x80"};
            run(c, damaged, companions, "byte " + std::to_string(i) + " " + names[kind], tally);
        }
    }

    // Both outcomes occur: damage is refused where the format is broken, read where it is not.
    EXPECT_GT(tally.read, 0);
    EXPECT_GT(tally.refused, 0);
    EXPECT_LT(tally.slowest, 10.0) << "slowest case: " << tally.slowestDamage;
    RecordProperty("read", tally.read);
    RecordProperty("refused", tally.refused);
}

std::string caseName(const ::testing::TestParamInfo<int>& info) {
    const DamageCase c = damageCases().at(static_cast<std::size_t>(info.param));
    std::string name = stemPart(fileNamePart(c.table)) + "_" + std::to_string(info.param);
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(CorpusSelection, DamagedTable, ::testing::Range(0, 15), caseName);

TEST(DamageSelection, CoversEveryCase) { EXPECT_EQ(damageCases().size(), 15u) << "keep the instantiation range in step"; }

}  // namespace
