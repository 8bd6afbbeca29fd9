#pragma once
// The rollback journal of a table family: the original bytes of every range a change is about to
// overwrite, and the sizes the files had, kept beside the table while the change is written.
//
// A change writes its journal whole (under a temporary name, flushed, then renamed into place, so
// a journal that exists is complete), and only then changes the files of the family. Neither the
// writer nor a reader holds a big journal in memory: a change keeps old bytes beyond a few
// megabytes in a spool file until it writes the journal, and a journal read back is checked a
// piece at a time, its old bytes read from the file when they are put back or shown. When the
// files are changed and flushed the journal is removed: that removal is the moment the change
// happens. A journal found later belongs to a change that did not finish; putting its bytes back
// and cutting the files to their old sizes gives the family as it was before that change.
//
// Layout (integers little-endian):
//   "TVRJRNL1"                         8 bytes
//   u32 n, n bytes                     the table file's name
//   u32 files; per file: u32 n, n bytes (its name in the folder), u8 existed, u64 size before
//   u32 ranges; per range: u32 file, u64 offset, u32 n, n bytes (the bytes there before)
//   u32 CRC-32 of every byte before it, "TVRJEND1"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"

namespace tavrinth {

// The journal of the table at `tablePath`: the table file's name followed by "-journal", in the
// same folder ("/data/CUSTOMER.DB" -> "/data/CUSTOMER.DB-journal").
inline std::string journalPathFor(const std::string& tablePath) { return tablePath + "-journal"; }

struct Journal {
    struct File {
        std::string name;          // in the table's folder
        bool existed = true;       // false: the change creates it (rolling back removes it)
        std::uint64_t size = 0;    // its size before the change
    };
    struct Range {
        std::uint32_t file = 0;    // into files
        std::uint64_t offset = 0;
        std::vector<std::uint8_t> bytes;  // what the file held there before the change
        // Or, for ranges too big to hold in memory, `spooled` bytes at `spoolAt` of `store`
        // (`bytes` is then empty): a change's spool file, or the journal file read back.
        std::uint64_t spoolAt = 0;
        std::uint32_t spooled = 0;
        std::uint64_t size() const { return spooled ? spooled : bytes.size(); }
    };
    std::string tableName;
    std::vector<File> files;
    std::vector<Range> ranges;
    std::shared_ptr<const ByteSource> store;

    // The journal's bytes as they are written.
    std::vector<std::uint8_t> serialize() const;
    // The same a piece at a time.
    void writeTo(const std::function<void(const std::uint8_t*, std::size_t)>& out) const;
    // n bytes of a range from `at` on, wherever they are kept.
    void readRange(const Range& range, std::uint64_t at, std::uint8_t* out, std::size_t n) const;
};

enum class JournalState {
    None,     // no journal: the family is as the last finished change left it
    Valid,    // a complete journal of this family: the files may be half-changed
    Damaged,  // a journal that cannot be read, or belongs to another family: never applied
};

// Reads the journal of the table at `tablePath`. `problem` tells why a journal is Damaged.
JournalState readJournal(const std::string& tablePath, Journal& journal, std::string& problem);

// The same over a journal's bytes, for the table file named `tableName` (the fuzz target uses it),
// and over a journal file open as `source` (the ranges' bytes are read from it when needed, not
// held).
JournalState parseJournal(std::shared_ptr<const ByteSource> source, const std::string& tableName, Journal& journal,
                          std::string& problem);
JournalState parseJournal(const std::uint8_t* data, std::size_t size, const std::string& tableName, Journal& journal,
                          std::string& problem);

// Puts the family back as the journal says (the old bytes, the old sizes, files the change made
// removed), flushes every file, then removes the journal and flushes the folder. The caller holds
// the family's write lock. Throws EDBEngineError when a file cannot be written; the journal then
// stays, and the next attempt starts again from it.
void rollBack(const std::string& tablePath, const Journal& journal);

// The family as it was before an unfinished change, read without writing a byte: the sources of
// its files show the journal's old bytes and sizes over the files' present ones.
class JournalOverlay {
public:
    JournalOverlay(std::string folder, Journal journal);
    // The source of the file `name` (in the table's folder) as it was before the change; null when
    // the change created the file. `source` reads the file as it is now.
    std::unique_ptr<ByteSource> wrap(const std::string& name, std::unique_ptr<ByteSource> source) const;
    bool createdByChange(const std::string& name) const;

private:
    const Journal::File* fileNamed(const std::string& name, std::uint32_t& index) const;
    std::string folder_;
    std::shared_ptr<const Journal> journal_;
};

// The companions of a table on disk as they were before an unfinished change.
class JournalFamily final : public FileFamily {
public:
    JournalFamily(const std::string& tablePath, std::shared_ptr<const JournalOverlay> overlay);
    std::unique_ptr<ByteSource> open(const std::string& extension) const override;
    std::vector<std::string> extensions() const override;

private:
    DiskFamily disk_;
    std::shared_ptr<const JournalOverlay> overlay_;
};

}  // namespace tavrinth
