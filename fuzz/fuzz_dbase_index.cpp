// Fuzz target: the index definitions of a dBase table read from arbitrary .MDX / .CDX bytes.
// The first input byte chooses the index kind (odd: a Visual FoxPro table and its .CDX, even: a
// dBase table and its .MDX); the rest is the index file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codepage.h"
#include "dbase/dbf_index.h"
#include "file_io.h"
#include "table_file.h"

using namespace tavrinth;

namespace {

std::vector<FieldDef> tableFields() {
    std::vector<FieldDef> fields;
    for (const char* name : {"SYMBOL", "PROJ_GRTH", "ROOMNAME", "FACILITY", "CONTACT_ID", "EMPLOYEEID", "ID", "AUTHOR"}) {
        FieldDef f;
        f.name = name;
        fields.push_back(f);
    }
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<const CodePage> codePage = CodePage::find("CP437");
    static const std::vector<FieldDef> fields = tableFields();
    if (size < 1 || !codePage) return 0;
    const bool foxPro = (data[0] & 1) != 0;
    dbase::Header header;
    header.version = foxPro ? 0x30 : 0x03;
    header.foxPro = header.visualFoxPro = foxPro;
    header.tableFlags = 0x01;
    MemoryFamily family;
    family.add(foxPro ? ".cdx" : ".mdx", std::vector<std::uint8_t>(data + 1, data + size));
    std::vector<std::string> warnings;
    const std::vector<TIndexDef> defs = dbase::readIndexes(header, fields, family, *codePage, warnings);
    // A damaged file gives nothing but a warning; what is given is well formed.
    if (!defs.empty() && !warnings.empty()) __builtin_trap();
    for (const TIndexDef& d : defs) {
        if (d.Name.empty()) __builtin_trap();
        if (d.has(ixExpression)) {
            if (d.Expression.empty() || !d.Fields.empty() || !d.fieldIndexes.empty()) __builtin_trap();
        } else if (d.fieldIndexes.size() != 1 || d.fieldIndexes[0] < 0 ||
                   static_cast<std::size_t>(d.fieldIndexes[0]) >= fields.size() ||
                   d.Fields != fields[static_cast<std::size_t>(d.fieldIndexes[0])].name) {
            __builtin_trap();
        }
    }
    return 0;
}
