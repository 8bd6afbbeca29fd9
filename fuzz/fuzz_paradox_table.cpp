// libFuzzer target: the Paradox table reader.
//
// Input: the .DB bytes, optionally followed by "\n#COMPANION#\n" and the .MB bytes (see
// fuzz_input.h). The table is opened from memory (MemorySource, with the .MB in a MemoryFamily),
// with the password "123" known (the encrypted corpus tables use it), then every record and every
// field is decoded and the whole dump written.
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
    if (in.hasCompanion) family->add(".MB", std::move(in.companion));
    OpenOptions options;
    options.knownPasswords = {"123"};
    try {
        auto table = openTableFile(std::make_unique<MemorySource>("fuzz.db", std::move(in.table)), std::move(family),
                                   TableFormat::Paradox, options);
        fuzz::readEverything(*table);
    } catch (const EDatabaseError&) {
        // A clear refusal of a damaged table.
    }
    return 0;
}
