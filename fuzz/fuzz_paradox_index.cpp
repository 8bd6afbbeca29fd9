// libFuzzer target: the index definitions of a Paradox table (paradox::readIndexes).
//
// Input: the .DB bytes, then any number of companions, each "\n#COMPANION#\n", its extension and
// a "\n" (".PX\n", ".X02\n", ".XG0\n" ...), then its bytes. The table is opened from memory and
// its index definitions read; a damaged index file must be left out with a warning.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine_error.h"
#include "file_io.h"
#include "fuzz_input.h"
#include "table_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrinth;
    // The table, then the companions between markers.
    std::vector<std::pair<const std::uint8_t*, const std::uint8_t*>> pieces;
    const std::uint8_t* end = data + size;
    const std::uint8_t* start = data;
    for (const std::uint8_t* p = data; p + fuzz::kCompanionMarkerSize <= end; ++p)
        if (*p == '\n' && std::memcmp(p, fuzz::kCompanionMarker, fuzz::kCompanionMarkerSize) == 0) {
            pieces.emplace_back(start, p);
            start = p + fuzz::kCompanionMarkerSize;
            p = start - 1;
        }
    pieces.emplace_back(start, end);

    auto family = std::make_unique<MemoryFamily>();
    for (std::size_t i = 1; i < pieces.size() && i <= 16; ++i) {
        const std::uint8_t* b = pieces[i].first;
        const std::uint8_t* e = pieces[i].second;
        const std::uint8_t* nl = b;
        while (nl < e && nl - b < 8 && *nl != '\n') ++nl;
        if (nl == e || *nl != '\n') continue;
        family->add(std::string(b, nl), std::vector<std::uint8_t>(nl + 1, e));
    }
    OpenOptions options;
    options.knownPasswords = {"123"};
    std::unique_ptr<TableFile> table;
    try {
        table = openTableFile(
            std::make_unique<MemorySource>("fuzz.db", std::vector<std::uint8_t>(pieces[0].first, pieces[0].second)),
            std::move(family), TableFormat::Paradox, options);
    } catch (const EDatabaseError&) {
        return 0;  // a clear refusal of a damaged table
    }
    const std::vector<TIndexDef> defs = table->readIndexes();
    const std::size_t fields = table->fields().size();
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const TIndexDef& d = defs[i];
        // Only the first definition can be the primary index; every index has fields.
        if (d.has(ixPrimary) && (i != 0 || !d.Name.empty() || !d.has(ixUnique))) __builtin_trap();
        if (d.fieldIndexes.empty()) __builtin_trap();
        for (int f : d.fieldIndexes)
            if (f < 0 || static_cast<std::size_t>(f) >= fields) __builtin_trap();
    }
    return 0;
}
