#pragma once
// dBase key expressions, as index tags hold them, evaluated on a record's bytes.
//
// Text keys are made of: field names, quoted texts ('x', "x", [x]), "+" joining texts, and the
// functions UPPER(c), LOWER(c), LEFT(c, n), RIGHT(c, n), SUBSTR(c, start[, length]), TRIM(c) and
// RTRIM(c), LTRIM(c), ALLTRIM(c), STR(n[, length[, decimals]]), DTOS(d) and DTOC(d) (MM/DD/YY).
// Texts are the bytes the record stores (space padded, in the table's code page); UPPER() and
// LOWER() change ASCII letters only, and refuse any other letter (its case under the table's
// language driver is not known here). A key shorter than its tag's key length is padded with
// spaces, as dBase pads it. A numeric or date key is one N/F or D field.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_table.h"

namespace tavrinth::dbase {

class KeyExpression {
public:
    // Parses `text` over the table's fields. Returns null with `why` set when the expression is
    // none of the forms above.
    static std::unique_ptr<KeyExpression> parse(const std::string& text, const std::vector<RawField>& fields,
                                                const CodePage& codePage, std::string& why);
    ~KeyExpression();

    // 'C' for text, 'N' or 'D' for one numeric or date field.
    char type() const { return type_; }
    // The most bytes the text can have (the key length a new tag would get).
    std::size_t length() const { return length_; }
    // The fields the expression reads.
    const std::vector<std::size_t>& fields() const { return fields_; }

    // The text of the expression for a record (`record` holds the whole record, `defs` give
    // where each field lies in it). False with `why` set when it cannot be computed (a letter
    // outside ASCII under UPPER(), a date that is not valid).
    bool text(const std::uint8_t* record, const std::vector<FieldDef>& defs, const Header& header, std::string& out,
              std::string& why) const;

    struct Node;

private:
    KeyExpression() = default;
    std::unique_ptr<Node> root_;
    char type_ = 'C';
    std::size_t length_ = 0;
    std::vector<std::size_t> fields_;
    const CodePage* codePage_ = nullptr;
};

}  // namespace tavrinth::dbase
