// Fuzz target: a table's rollback journal read from arbitrary bytes (a journal left beside a table
// may be damaged in any way), and when it is taken for a journal of the table, the table's files
// read through it as they were before the unfinished change.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "journal.h"

using namespace tavrinth;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Journal journal;
    std::string problem;
    if (parseJournal(data, size, "T.DB", journal, problem) != JournalState::Valid) return 0;
    const JournalOverlay overlay(".", journal);
    for (const Journal::File& f : journal.files) {
        // The file as it is now: shorter or longer than it was.
        std::vector<std::uint8_t> now(static_cast<std::size_t>(f.size % 4096 + (size & 7)), 0x5A);
        auto source = overlay.wrap(f.name, std::make_unique<MemorySource>(f.name, std::move(now)));
        if (!source) continue;
        std::vector<std::uint8_t> buf(512);
        for (std::uint64_t at = 0; at < source->size() && at < (1u << 20); at += 300) source->readZeroFilled(at, buf.data(), buf.size());
    }
    return 0;
}
