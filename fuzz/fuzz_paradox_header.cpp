// libFuzzer target: the Paradox header reader alone.
//
// Input: the bytes of any Paradox file with a header (.DB, .PX, .Xnn, .Ynn, .XGn, .YGn), as is.
// readHeader must either return a header whose parts agree with each other or throw
// EDBEngineError; anything else (another exception, a crash, a sanitizer report, a hang, a huge
// allocation) is a bug.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine_error.h"
#include "file_io.h"
#include "paradox/px_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrinth;
    try {
        const MemorySource source("fuzz.db", data, size);
        const paradox::Header h = paradox::readHeader(source);
        // What the readers built on the header rely on.
        if (h.fields.size() != static_cast<std::size_t>(h.numFields)) std::abort();
        if (h.hasFieldNames() && h.fieldNames.size() != h.fields.size()) std::abort();
        if (h.blockSize() < 1024 || h.recordSize == 0 || h.recordSize + 6u > h.blockSize()) std::abort();
        unsigned total = 0;
        for (const paradox::FieldDescriptor& d : h.fields) total += paradox::fieldBytes(d);
        if (total > h.recordSize || (h.isTable() && total != h.recordSize)) std::abort();
        volatile int level = h.level();
        (void)level;
    } catch (const EDatabaseError&) {
        // A clear refusal of a damaged header.
    }
    return 0;
}
