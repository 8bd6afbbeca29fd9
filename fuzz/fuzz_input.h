#pragma once
// What the table fuzzers share: splitting an input into a table file and its companion, and
// reading everything a reader of the table can ask for.
//
// Input layout of fuzz_paradox_table and fuzz_dbase_table:
//
//     TABLE-BYTES [ MARKER COMPANION-BYTES ]      MARKER = the 13 bytes "\n#COMPANION#\n"
//
// The bytes before the first MARKER are the table file (.DB or .DBF); the bytes after it are its
// companion (the .MB of a Paradox table, the .DBT or .FPT memo file of a dBase table). Without a
// MARKER the table has no companion. A seed is made with
//     { cat TABLE; printf '\n#COMPANION#\n'; cat COMPANION; } > seed
// (fuzz/make-seeds does this for the corpus tables).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dump.h"
#include "field_value.h"
#include "table_file.h"

namespace tavrinth::fuzz {

inline constexpr char kCompanionMarker[] = "\n#COMPANION#\n";
inline constexpr std::size_t kCompanionMarkerSize = sizeof kCompanionMarker - 1;

struct SplitInput {
    std::vector<std::uint8_t> table;
    bool hasCompanion = false;
    std::vector<std::uint8_t> companion;
};

inline SplitInput splitInput(const std::uint8_t* data, std::size_t size) {
    SplitInput in;
    const std::uint8_t* end = data + size;
    const std::uint8_t* at = nullptr;
    if (size >= kCompanionMarkerSize)
        for (const std::uint8_t* p = data; p + kCompanionMarkerSize <= end; ++p)
            if (*p == '\n' && std::memcmp(p, kCompanionMarker, kCompanionMarkerSize) == 0) {
                at = p;
                break;
            }
    if (!at) {
        in.table.assign(data, end);
        return in;
    }
    in.table.assign(data, at);
    in.hasCompanion = true;
    in.companion.assign(at + kCompanionMarkerSize, end);
    return in;
}

// Reads every record and every field through the table interface (values, record numbers, the
// dump text of each value), then writes the whole dump into a sink that drops it.
inline void readEverything(TableFile& table) {
    FieldValue value;
    std::size_t bytes = 0;
    const std::size_t fields = table.fields().size();
    for (std::uint32_t r = 0; r < table.recordCount(); ++r) {
        const std::uint8_t* rec = table.record(r);
        bytes += static_cast<std::size_t>(table.recNo(r));
        for (std::size_t f = 0; f < fields; ++f) {
            table.decode(rec, f, value);
            bytes += dumpValueText(value).size();
        }
    }
    writeDump(table, [&bytes](const std::string& piece) { bytes += piece.size(); });
    volatile std::size_t keep = bytes;
    (void)keep;
}

}  // namespace tavrinth::fuzz
