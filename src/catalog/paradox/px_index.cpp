#include "px_index.h"

#include <algorithm>
#include <cstdio>

#include "../engine_error.h"

namespace tavrinth::paradox {

namespace {

constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::uint8_t kOptionCaseInsensitive = 0x01;
constexpr std::uint8_t kOptionDescending = 0x10;
constexpr std::uint8_t kOptionUnique = 0x20;

constexpr std::uint8_t kTypeShort = 0x03;
constexpr std::uint8_t kTypeLong = 0x04;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool sameDescriptor(const FieldDescriptor& a, const FieldDescriptor& b) { return a.type == b.type && a.size == b.size; }

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out.push_back(';');
        out += names[i];
    }
    return out;
}

// The file's own name for messages and TIndexDef::Source.
std::string describe(const ByteSource& src) { return src.name(); }

// Opens a companion; null (with a warning) when it cannot be opened.
std::unique_ptr<ByteSource> openCompanion(const FileFamily& family, const std::string& ext,
                                          std::vector<std::string>& warnings) {
    try {
        return family.open(ext);
    } catch (const EDBEngineError& e) {
        warnings.push_back(std::string("index file ") + ext + " cannot be opened (" + e.what() + "); it is left out");
        return nullptr;
    }
}

// The primary index from the table header, checked against the .PX.
TIndexDef primaryIndex(const Header& table, const std::vector<FieldDef>& fields, const FileFamily& family,
                       std::vector<std::string>& warnings) {
    const auto keys = static_cast<std::size_t>(table.primaryKeyFields);
    TIndexDef def;
    def.Options = ixPrimary | ixUnique;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < keys; ++i) {
        names.push_back(fields[i].name);
        def.fieldIndexes.push_back(static_cast<int>(i));
    }
    def.Fields = joinNames(names);

    std::unique_ptr<ByteSource> px = openCompanion(family, ".px", warnings);
    if (!px) {
        warnings.push_back("the primary index file (.PX) of this keyed table is missing; the key is taken from the "
                           "table header");
        return def;
    }
    def.Source = describe(*px);
    try {
        const Header h = readHeader(*px);
        std::string problem;
        if (h.fileType != kPrimaryIndex) {
            problem = "it is no primary index (file type " + std::to_string(h.fileType) + ")";
        } else if (static_cast<std::size_t>(h.numFields) != keys) {
            problem = "it holds " + std::to_string(h.numFields) + " key fields but the table has " +
                      std::to_string(keys);
        } else {
            for (std::size_t i = 0; i < keys; ++i)
                if (!sameDescriptor(h.fields[i], table.fields[i])) {
                    problem = "its key field " + std::to_string(i + 1) + " differs from the table's";
                    break;
                }
        }
        if (!problem.empty())
            warnings.push_back("primary index " + def.Source + " does not match the table: " + problem +
                               "; the key is taken from the table header");
    } catch (const EDBEngineError& e) {
        warnings.push_back("primary index " + def.Source + " is damaged (" + e.what() +
                           "); the key is taken from the table header");
    }
    return def;
}

struct Candidate {
    std::string extension;
    IndexFileName name;
};

// Reads one secondary index file; false (with `problem` set) when it does not belong to the table.
bool readSecondary(const Header& table, const std::vector<FieldDef>& fields, const CodePage& codePage,
                   const ByteSource& src, const Candidate& c, TIndexDef& def, std::string& problem) {
    const Header x = readHeader(src);
    const bool composite = c.name.kind == IndexFileName::Kind::Composite;
    if (composite ? (x.fileType != kCompositeIndexNonMaintained && x.fileType != kCompositeIndexMaintained)
                  : (x.fileType != kSecondaryIndexNonMaintained && x.fileType != kSecondaryIndexMaintained)) {
        problem = "file type " + std::to_string(x.fileType) + " is no " + (composite ? "composite" : "single-field") +
                  " secondary index";
        return false;
    }

    const int tableFields = table.numFields;
    const int keys = table.primaryKeyFields;
    const bool keyed = keys > 0;
    const int trailing = keyed ? keys + 1 : 3;
    const int m = x.numFields - trailing;
    if (m < 1) {
        problem = "it holds " + std::to_string(x.numFields) + " fields, too few for an index of this table";
        return false;
    }
    if (m > tableFields) {
        problem = "it holds " + std::to_string(m) + " index fields but the table has only " + std::to_string(tableFields);
        return false;
    }
    if (x.primaryKeyFields != m + (keyed ? keys : 2)) {
        problem = "its key-field count " + std::to_string(x.primaryKeyFields) + " does not fit its " +
                  std::to_string(x.numFields) + " fields";
        return false;
    }
    // The trailing fields: the table's key and Blk Num, or Tup No, Blk Num and Tup Offset.
    const auto um = static_cast<std::size_t>(m);
    if (keyed) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(keys); ++i)
            if (!sameDescriptor(x.fields[um + i], table.fields[i])) {
                problem = "its copy of key field " + std::to_string(i + 1) + " differs from the table's";
                return false;
            }
        if (!sameDescriptor(x.fields[um + static_cast<std::size_t>(keys)], {kTypeShort, 2})) {
            problem = "its block-number field is missing";
            return false;
        }
    } else if (!sameDescriptor(x.fields[um], {kTypeLong, 4}) || !sameDescriptor(x.fields[um + 1], {kTypeShort, 2}) ||
               !sameDescriptor(x.fields[um + 2], {kTypeShort, 2})) {
        problem = "its record-position fields are missing";
        return false;
    }

    // The index fields: 1-based table positions, bit 15 = descending.
    std::vector<std::uint16_t> numbers;
    if (!x.fieldNumbers.empty()) {
        numbers.assign(x.fieldNumbers.begin(), x.fieldNumbers.begin() + m);
    } else if (composite) {
        problem = "it has no field-number list";
        return false;
    } else {
        numbers.push_back(x.indexFieldNumber);
    }
    if (!composite && m != 1) {
        problem = "a single-field index file holds " + std::to_string(m) + " index fields";
        return false;
    }
    if ((numbers[0] & ~kDescendingBit) != x.indexFieldNumber) {
        problem = "its first field number " + std::to_string(numbers[0] & ~kDescendingBit) +
                  " differs from header byte 0x15 (" + std::to_string(x.indexFieldNumber) + ")";
        return false;
    }

    std::vector<std::string> names, descNames;
    for (std::size_t i = 0; i < um; ++i) {
        const int number = numbers[i] & ~kDescendingBit;
        if (number < 1 || number > tableFields) {
            problem = "its field number " + std::to_string(number) + " is outside the table's 1.." +
                      std::to_string(tableFields);
            return false;
        }
        const auto pos = static_cast<std::size_t>(number - 1);
        if (!sameDescriptor(x.fields[i], table.fields[pos])) {
            problem = "its field " + std::to_string(i + 1) + " differs from table field " + fields[pos].name;
            return false;
        }
        if (std::find(def.fieldIndexes.begin(), def.fieldIndexes.end(), number - 1) != def.fieldIndexes.end()) {
            problem = "it names table field " + fields[pos].name + " twice";
            return false;
        }
        def.fieldIndexes.push_back(number - 1);
        names.push_back(fields[pos].name);
        if (numbers[i] & kDescendingBit) descNames.push_back(fields[pos].name);
    }
    def.Fields = joinNames(names);

    // Byte 0x55 carries the options from level 4 on; older files leave it unused.
    const std::uint8_t options = x.versionByte >= 0x05 ? x.indexOptions : 0;
    if (options & kOptionCaseInsensitive) def.Options |= ixCaseInsensitive;
    if (options & kOptionUnique) def.Options |= ixUnique;
    const bool allDescending = descNames.size() == names.size();
    if ((options & kOptionDescending) || allDescending) def.Options |= ixDescending;
    if (!(allDescending && def.has(ixDescending))) def.DescFields = joinNames(descNames);
    if (x.fileType == kSecondaryIndexNonMaintained || x.fileType == kCompositeIndexNonMaintained)
        def.Options |= ixNonMaintained;

    if (composite) {
        def.Name = codePage.decode(x.indexName);
        // A composite index always has a name; a blank one must not pass for the primary index.
        if (def.Name.empty()) def.Name = def.Fields;
    } else {
        def.Name = def.Fields;
    }
    def.Source = describe(src);
    return true;
}

}  // namespace

IndexFileName classifyIndexExtension(const std::string& extension) {
    IndexFileName out;
    const std::string e = toUpperAscii(extension);
    if (e.size() == 4 && e[0] == '.' && e[1] == 'X' && e[2] == 'G') {
        out.kind = IndexFileName::Kind::Composite;
        out.number = static_cast<unsigned char>(e[3]);
    } else if (e.size() == 4 && e[0] == '.' && e[1] == 'X' && hexDigit(e[2]) >= 0 && hexDigit(e[3]) >= 0) {
        out.kind = IndexFileName::Kind::Single;
        out.number = hexDigit(e[2]) * 16 + hexDigit(e[3]);
    }
    return out;
}

std::vector<std::string> secondaryIndexExtensions(const std::vector<std::string>& extensions) {
    std::vector<Candidate> candidates;
    for (const std::string& ext : extensions) {
        const IndexFileName n = classifyIndexExtension(ext);
        if (n.kind == IndexFileName::Kind::None) continue;
        // The same name in another case is the same index to the engine; the first one counts.
        bool seen = false;
        for (const Candidate& c : candidates) seen = seen || (c.name.kind == n.kind && c.name.number == n.number);
        if (!seen) candidates.push_back({ext, n});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.name.kind != b.name.kind) return a.name.kind == IndexFileName::Kind::Single;
        return a.name.number < b.name.number;
    });
    std::vector<std::string> out;
    for (const Candidate& c : candidates) out.push_back(c.extension);
    return out;
}

bool readSecondaryIndex(const Header& table, const std::vector<FieldDef>& fields, const CodePage& codePage,
                        const ByteSource& file, const std::string& extension, TIndexDef& def, std::string& problem) {
    return readSecondary(table, fields, codePage, file, {extension, classifyIndexExtension(extension)}, def, problem);
}

std::vector<TIndexDef> readIndexes(const Header& table, const std::vector<FieldDef>& fields, const FileFamily& family,
                                   const CodePage& codePage, std::vector<std::string>& warnings) {
    std::vector<TIndexDef> out;
    const int tableFields = table.numFields;
    if (tableFields < 1 || static_cast<std::size_t>(tableFields) != table.fields.size() ||
        fields.size() != table.fields.size()) {
        warnings.push_back("the table's field list is incomplete; its indexes are not read");
        return out;
    }
    if (table.primaryKeyFields < 0 || table.primaryKeyFields > tableFields) {
        warnings.push_back("the table header counts " + std::to_string(table.primaryKeyFields) + " key fields of " +
                           std::to_string(tableFields) + "; its indexes are not read");
        return out;
    }
    if (table.primaryKeyFields > 0) out.push_back(primaryIndex(table, fields, family, warnings));

    std::vector<std::string> extensions;
    try {
        extensions = family.extensions();
    } catch (const EDBEngineError& e) {
        warnings.push_back(std::string("the index files cannot be listed (") + e.what() + ")");
        return out;
    }
    for (const std::string& extension : secondaryIndexExtensions(extensions)) {
        const Candidate c{extension, classifyIndexExtension(extension)};
        std::unique_ptr<ByteSource> src = openCompanion(family, c.extension, warnings);
        if (!src) continue;
        TIndexDef def;
        std::string problem;
        bool ok = false;
        try {
            ok = readSecondary(table, fields, codePage, *src, c, def, problem);
        } catch (const EDBEngineError& e) {
            problem = std::string("it is damaged: ") + e.what();
        }
        if (ok)
            out.push_back(std::move(def));
        else
            warnings.push_back("index file " + describe(*src) + " is left out: " + problem);
    }
    return out;
}

}  // namespace tavrinth::paradox
