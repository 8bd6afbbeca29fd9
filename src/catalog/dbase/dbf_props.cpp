#include "dbf_props.h"

#include <algorithm>
#include <cstdint>

#include "../byte_order.h"
#include "../engine_error.h"

namespace tavrinth::dbase {

namespace {

constexpr std::size_t kBlockHeader = 16;   // the header of the property block
constexpr std::size_t kStandardEntry = 15;  // one standard property

enum Property : std::uint8_t { kRequired = 1, kMinimum = 2, kMaximum = 3, kDefault = 4 };

// Why the block cannot be read; caught in readFieldProperties, which turns it into a warning.
struct Damaged {
    std::string what;
};

[[noreturn]] void damaged(std::string what) { throw Damaged{std::move(what)}; }


const char* propertyName(unsigned kind) {
    switch (kind) {
        case kRequired: return "required";
        case kMinimum: return "minimum";
        case kMaximum: return "maximum";
        case kDefault: return "default";
        default: return "property";
    }
}

// The entry holding one value property of one field: the one with the highest generation.
struct ValueEntry {
    bool present = false;
    unsigned generation = 0;
    std::size_t at = 0, size = 0;  // the value's bytes in the block
};

struct FieldProperties {
    bool required = false;
    ValueEntry values[3];  // minimum, maximum, default
};

}  // namespace

std::uint8_t propertyTypeCode(char type) {
    switch (type) {
        case 'C': return 1;
        case 'N': return 2;
        case 'M': return 3;
        case 'L': return 4;
        case 'D': return 5;
        case 'F': return 6;
        case 'G': return 8;
        case 'B': return 9;
        case 'I': return 11;
        case '@': return 12;
        case 'O': return 13;
        case '+': return 14;
        default: return 0;
    }
}

std::vector<ValidityCheck> readFieldProperties(const ByteSource& dbf, const Header& table,
                                               const std::vector<RawField>& raw, const std::vector<FieldDef>& fields,
                                               const CodePage& codePage, std::vector<std::string>& warnings) {
    // Only dBase 7 keeps properties there; without the 0x0D the descriptors ran to the header's end.
    if (!table.level7 || table.terminatorMissing) return {};
    const std::uint64_t start = static_cast<std::uint64_t>(table.descriptorsEnd) + 1;
    const std::uint64_t end = std::min<std::uint64_t>(table.headerLength, dbf.size());
    if (end < start || end - start < kBlockHeader) return {};  // no room for a block: nothing, or padding

    std::vector<std::uint8_t> block(static_cast<std::size_t>(end - start));
    if (dbf.readZeroFilled(start, block.data(), block.size()) != block.size()) return {};
    const std::size_t length = block.size();

    auto fieldName = [&](std::size_t i) {
        return i < fields.size() ? fields[i].name : codePage.decode(raw[i].name);
    };

    try {
        const std::size_t count = loadLE16(block.data());
        const std::size_t arrayAt = loadLE16(block.data() + 2);
        const std::size_t size = loadLE16(block.data() + 14);
        if (size > length)
            damaged("the block claims " + std::to_string(size) + " bytes but the header leaves room for " +
                    std::to_string(length));
        if (count == 0) return {};
        if (arrayAt < kBlockHeader || arrayAt + count * kStandardEntry > length)
            damaged(std::to_string(count) + " standard properties at offset " + std::to_string(arrayAt) +
                    " run past the header");

        std::vector<FieldProperties> found(raw.size());
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* e = block.data() + arrayAt + i * kStandardEntry;
            const unsigned generation = loadLE16(e);
            const std::size_t fieldNumber = loadLE16(e + 2);
            const unsigned kind = e[4];
            const std::uint8_t typeCode = e[5];
            const std::size_t valueAt = loadLE16(e + 11), valueSize = loadLE16(e + 13);
            const std::string label = "standard property " + std::to_string(i + 1);
            if (fieldNumber == 0) continue;  // a table constraint
            if (fieldNumber > raw.size())
                damaged(label + " is for field " + std::to_string(fieldNumber) + " of a table with " +
                        std::to_string(raw.size()) + " fields");
            if (kind < kRequired || kind > kDefault) continue;  // constraints, and kinds not known here
            const std::size_t field = fieldNumber - 1;
            const std::uint8_t expected = propertyTypeCode(raw[field].type);
            if (typeCode != 0 && expected != 0 && typeCode != expected)
                damaged(label + " has the type code " + std::to_string(typeCode) + ", which does not fit field " +
                        fieldName(field));
            FieldProperties& fp = found[field];
            if (kind == kRequired) {
                fp.required = true;
                continue;
            }
            if (valueSize == 0 || valueAt < kBlockHeader || valueAt + valueSize > length)
                damaged("the " + std::string(propertyName(kind)) + " of field " + fieldName(field) + " (" +
                        std::to_string(valueSize) + " bytes at offset " + std::to_string(valueAt) +
                        ") lies outside the header");
            ValueEntry& v = fp.values[kind - kMinimum];
            if (!v.present || generation >= v.generation) v = {true, generation, valueAt, valueSize};
        }

        std::vector<ValidityCheck> checks;
        for (std::size_t field = 0; field < found.size(); ++field) {
            const FieldProperties& fp = found[field];
            ValidityCheck c;
            c.field = static_cast<int>(field);
            c.required = fp.required;
            for (unsigned kind = kMinimum; kind <= kDefault; ++kind) {
                const ValueEntry& v = fp.values[kind - kMinimum];
                if (!v.present) continue;
                // The value has the field's width; a shorter one is taken as it is (text and
                // numbers), which leaves fixed-size types invalid.
                const RawField& rf = raw[field];
                const std::size_t n = std::min<std::size_t>(v.size, rf.length);
                FieldValue value;
                if (!decodeStoredValue(rf.type, table, codePage, block.data() + v.at, n, value))
                    continue;  // a memo field: its values live in the memo file, not here
                if (value.kind == ValueKind::Invalid)
                    damaged("the " + std::string(propertyName(kind)) + " of field " + fieldName(field) +
                            " is no valid value of the field");
                if (value.isNull()) continue;  // a blank value bounds nothing
                BoundKind& boundKind =
                    kind == kMinimum ? c.minKind : kind == kMaximum ? c.maxKind : c.defaultKind;
                FieldValue& bound = kind == kMinimum ? c.minValue : kind == kMaximum ? c.maxValue : c.defaultValue;
                boundKind = BoundKind::Value;
                bound = std::move(value);
            }
            if (!c.empty()) checks.push_back(std::move(c));
        }
        return checks;
    } catch (const Damaged& d) {
        warnings.push_back("the field properties in the header of " + dbf.name() + " are damaged (" + d.what +
                           "); they are ignored");
    }
    return {};
}

}  // namespace tavrinth::dbase
