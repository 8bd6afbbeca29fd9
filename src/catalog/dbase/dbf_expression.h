#pragma once
// dBase key expressions and FOR clauses, as index tags hold them, evaluated on a record's bytes.
// One parser reads both.
//
// Text keys are made of: field names, quoted texts ('x', "x", [x]), "+" joining texts, and the
// functions UPPER(c), LOWER(c), LEFT(c, n), RIGHT(c, n), SUBSTR(c, start[, length]), TRIM(c) and
// RTRIM(c), LTRIM(c), ALLTRIM(c), STR(n[, length[, decimals]]), DTOS(d) and DTOC(d) (MM/DD/YY).
// Texts are the bytes the record stores (space padded, in the table's code page); UPPER() and
// LOWER() change ASCII letters only, and refuse any other letter (its case under the table's
// language driver is not known here). A key shorter than its tag's key length is padded with
// spaces, as dBase pads it. A numeric or date key is one N/F or D field.
//
// FOR clauses (Condition) give true or false. They are made of:
// * values: fields (C, N/F, D, L, and the binary numbers I, + and O), quoted texts, numbers, .T. .F. (.Y. .N.), dates in braces
//   ({MM/DD/YY}, {MM/DD/YYYY}, {^YYYY-MM-DD}, {} the blank date; a two-digit year is one of the
//   1900s, as dBase reads it by default), and the key functions above;
// * the functions DELETED(), EMPTY(x), YEAR(d), MONTH(d), DAY(d), VAL(c), LEN(c) and CTOD("MM/DD/YY")
//   of a quoted date (CTOD of anything else, and DATE(), whose value depends on the day the
//   clause is evaluated, are refused);
// * "+" and "-" on numbers and dates (a date plus or minus days, the days between two dates),
//   "+" joining texts;
// * the comparisons = == <> # != < > <= >= between two values of one type, and $ (the left text
//   is contained in the right one; an empty text is contained in none);
// * .AND. .OR. .NOT. (and ! for .NOT.), parentheses.
// Texts compare as dBase does under SET EXACT OFF: over the length of the right text, the left
// one padded with blanks when shorter ("AB" = "A" is true, "A" = "AB" is not, "A" = "A  " is);
// "==" compares the whole texts byte for byte; <> (# !=) is the opposite of =. Texts are ordered
// (< > <= >=) by byte value, which dBase tables allow only under the language drivers that
// collate so (FoxPro's machine collation is by byte value); another driver refuses the record.
// A blank number is 0, a blank date comes before every date (and equals only a blank date; plus
// or minus days it stays blank; YEAR(), MONTH() and DAY() of it are 0), a logical field holding
// anything but T, t, Y or y is false. Both sides of .AND. and .OR. are always evaluated.

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

// The FOR clause of an index tag: which records the tag holds.
class Condition {
public:
    // Parses `text` over the table's fields. Returns null with `why` set when the clause uses
    // anything not understood here, or gives no true or false.
    static std::unique_ptr<Condition> parse(const std::string& text, const std::vector<RawField>& fields,
                                            const CodePage& codePage, std::string& why);
    ~Condition();

    // The fields the clause reads.
    const std::vector<std::size_t>& fields() const { return fields_; }
    // Whether the clause calls DELETED(): marking a record deleted can then change what the tag holds.
    bool readsDeletion() const { return readsDeletion_; }

    // Whether the tag holds the record (`record` the whole record, its deletion flag first).
    // False with `why` set when the clause cannot be evaluated on it (a date that is not valid,
    // a letter outside ASCII under UPPER(), texts ordered under an unknown collation).
    bool admits(const std::uint8_t* record, const std::vector<FieldDef>& defs, const Header& header, bool& admitted,
                std::string& why) const;

private:
    Condition() = default;
    std::unique_ptr<KeyExpression::Node> root_;
    std::vector<std::size_t> fields_;
    bool readsDeletion_ = false;
    const CodePage* codePage_ = nullptr;
};

}  // namespace tavrinth::dbase
