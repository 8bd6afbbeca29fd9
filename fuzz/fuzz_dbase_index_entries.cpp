// Fuzz target: the entries of dBase index files (.MDX, .CDX, .NDX) read from arbitrary bytes, as
// `tavrinth-cli check` reads them. The first input byte chooses the kind; the rest is the file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "dbase/dbf_index_entries.h"
#include "file_io.h"

using namespace tavrinth;
using namespace tavrinth::dbase;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const IndexFileKind kind = data[0] % 3 == 0 ? IndexFileKind::Mdx : data[0] % 3 == 1 ? IndexFileKind::Cdx : IndexFileKind::Ndx;
    const MemorySource src("T.IDX", data + 1, size - 1);
    try {
        const IndexFileReader reader(src, kind);
        for (const IndexTag& tag : reader.tags()) {
            std::size_t entries = 0;
            reader.readEntries(
                tag, [&](const std::string& a, const std::string& b) { return compareIndexKeys(kind, tag.keyType, a, b); },
                ' ', [&](const IndexKeyEntry& e) {
                    ++entries;
                    (void)e;
                });
        }
    } catch (const IndexFileError&) {
    }
    return 0;
}
