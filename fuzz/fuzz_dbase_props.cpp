// Fuzz target: the field properties of a dBase 7 table read from an arbitrary property block.
// The input is everything after the 0x0D that ends the field descriptors of a fixed table with a
// field of each level-7 type; the header ends with the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codepage.h"
#include "dbase/dbf_props.h"
#include "dbase/dbf_table.h"
#include "file_io.h"
#include "table_file.h"

using namespace tavrinth;

namespace {

struct Layout {
    std::vector<dbase::RawField> raw;
    std::vector<FieldDef> fields;
};

Layout tableLayout() {
    struct Spec {
        const char* name;
        char type;
        std::uint32_t length;
    };
    const Spec specs[] = {{"NAME", 'C', 20}, {"QTY", 'N', 10},  {"RATE", 'F', 12}, {"BORN", 'D', 8},
                          {"FLAG", 'L', 1},  {"NOTE", 'M', 10}, {"CODE", 'I', 4},  {"ID", '+', 4},
                          {"VALUE", 'O', 8}, {"STAMP", '@', 8}, {"PIC", 'B', 10},  {"OLE", 'G', 10}};
    Layout l;
    for (const Spec& s : specs) {
        dbase::RawField r;
        r.name = s.name;
        r.type = s.type;
        r.length = s.length;
        l.raw.push_back(r);
        FieldDef f;
        f.name = s.name;
        f.typeLetter = s.type;
        f.length = s.length;
        l.fields.push_back(f);
    }
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<const CodePage> codePage = CodePage::find("CP1252");
    static const Layout layout = tableLayout();
    if (!codePage) return 0;
    const std::size_t descriptorsEnd = 68 + 48 * layout.raw.size();
    const std::size_t room = std::min<std::size_t>(size, 0xFFFF - descriptorsEnd - 1);
    std::vector<std::uint8_t> bytes(descriptorsEnd, 0);
    bytes.push_back(0x0D);
    bytes.insert(bytes.end(), data, data + room);
    dbase::Header header;
    header.version = 0x04;
    header.level7 = true;
    header.descriptorsEnd = static_cast<std::uint32_t>(descriptorsEnd);
    header.headerLength = static_cast<std::uint16_t>(bytes.size());
    MemorySource source("fuzz.dbf", std::move(bytes));
    std::vector<std::string> warnings;
    const std::vector<ValidityCheck> checks =
        dbase::readFieldProperties(source, header, layout.raw, layout.fields, *codePage, warnings);
    // A damaged block gives nothing but a warning; the checks come one per field, in field order.
    if (!checks.empty() && !warnings.empty()) __builtin_trap();
    int previous = -1;
    for (const ValidityCheck& c : checks) {
        if (c.field <= previous || static_cast<std::size_t>(c.field) >= layout.fields.size() || c.empty())
            __builtin_trap();
        previous = c.field;
    }
    return 0;
}
