// libFuzzer target: the dBase table reader.
//
// Input: the .DBF bytes, optionally followed by "\n#COMPANION#\n" and the memo file's bytes (see
// fuzz_input.h). The memo bytes are offered both as .DBT and as .FPT; the reader takes the one its
// table version asks for. The table is opened from memory, then every record and every field is
// decoded and the whole dump written (deleted records included).
//
// A damaged table may only end in EDBEngineError (or EDatabaseError); anything else (another
// exception, a crash, a sanitizer report, a hang, a huge allocation) is a bug.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine_error.h"
#include "file_io.h"
#include "fuzz_input.h"
#include "table_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrinth;
    fuzz::SplitInput in = fuzz::splitInput(data, size);
    auto family = std::make_unique<MemoryFamily>();
    if (in.hasCompanion) {
        family->add(".DBT", in.companion);
        family->add(".FPT", std::move(in.companion));
    }
    try {
        auto table = openTableFile(std::make_unique<MemorySource>("fuzz.dbf", std::move(in.table)), std::move(family),
                                   TableFormat::DBase);
        fuzz::readEverything(*table);
    } catch (const EDatabaseError&) {
        // A clear refusal of a damaged table.
    }
    return 0;
}
