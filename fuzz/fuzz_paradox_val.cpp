// libFuzzer target: the validity checks of a Paradox table (paradox::readValidityChecks, run when
// the table opens).
//
// Input: the .DB bytes, then "\n#COMPANION#\n" and the .VAL bytes (see fuzz_input.h). A damaged
// .VAL must count as absent with a warning; the checks that are read must be well-formed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_error.h"
#include "file_io.h"
#include "fuzz_input.h"
#include "table_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrinth;
    fuzz::SplitInput in = fuzz::splitInput(data, size);
    auto family = std::make_unique<MemoryFamily>();
    if (in.hasCompanion) family->add(".VAL", std::move(in.companion));
    OpenOptions options;
    options.knownPasswords = {"123"};
    std::unique_ptr<TableFile> table;
    try {
        table = openTableFile(std::make_unique<MemorySource>("fuzz.db", std::move(in.table)), std::move(family),
                              TableFormat::Paradox, options);
    } catch (const EDatabaseError&) {
        return 0;  // a clear refusal of a damaged table
    }
    const std::vector<ValidityCheck>& checks = table->validityChecks();
    const auto& fields = table->fields();
    int last = -1;
    for (const ValidityCheck& c : checks) {
        // One check per field, in field order, each with something set.
        if (c.field <= last || static_cast<std::size_t>(c.field) >= fields.size() || c.empty()) __builtin_trap();
        last = c.field;
        if (c.lookupType > 4) __builtin_trap();
        // The layer's Required flag: required, no default, never an auto-increment field.
        const FieldDef& f = fields[static_cast<std::size_t>(c.field)];
        if (f.required != (c.required && c.defaultKind == BoundKind::None && f.dataType != ftAutoInc)) __builtin_trap();
    }
    return 0;
}
