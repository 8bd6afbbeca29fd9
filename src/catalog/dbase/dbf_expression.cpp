#include "dbf_expression.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "../path_names.h"
#include "dbf_writer.h"

namespace tavrinth::dbase {

struct KeyExpression::Node {
    // Constant: Text, Number (type N, D or L: a day number, a blank date, a truth).
    // Join: texts joined by "+"; Arith: numbers and dates, `text` the operator before each
    // argument but the first; Compare: `text` the operator; Logic: `text` AND, OR or NOT.
    enum class Kind { Field, Text, Number, Join, Arith, Call, Compare, Logic } kind = Kind::Text;
    char type = 'C';          // C, N, D or L
    std::size_t length = 0;   // C: the most bytes
    std::size_t field = 0;    // Field
    std::string text;         // Text; Call: the function's name; Arith, Compare, Logic: operators
    double number = 0;        // Number: the value, the day number (D) or 1/0 (L)
    bool blank = false;       // Number of type D: the blank date
    std::vector<std::unique_ptr<Node>> args;
};

namespace {

using Node = KeyExpression::Node;

class Parser {
public:
    Parser(const std::string& s, const std::vector<RawField>& fields, const CodePage& codePage)
        : s_(s), fields_(fields), codePage_(codePage) {}

    // A key (`condition` false) or a FOR clause.
    std::unique_ptr<Node> parse(std::string& why, bool condition) {
        condition_ = condition;
        auto n = condition ? disjunction() : sum();
        blanks();
        if (n && pos_ != s_.size()) {
            fail("\"" + s_.substr(pos_) + "\" after the expression");
            n.reset();
        }
        if (!n) why = why_.empty() ? "it is not an expression" : why_;
        return n;
    }
    std::vector<std::size_t> fieldsUsed;
    bool readsDeletion = false;  // DELETED() is called

private:
    void blanks() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
    }
    std::nullptr_t fail(const std::string& why) {
        if (why_.empty()) why_ = why;
        return nullptr;
    }
    bool take(char c) {
        blanks();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // A dot word (.AND., .T. ...) at the position, taken when it is `word`.
    bool takeWord(const char* word) {
        blanks();
        const std::size_t n = std::strlen(word);
        if (s_.size() - pos_ < n || !equalsIgnoreCase(s_.substr(pos_, n), word)) return false;
        pos_ += n;
        return true;
    }
    // An operator of the listed ones, longest first; empty when none is next.
    std::string takeOperator(std::initializer_list<const char*> ops) {
        blanks();
        for (const char* op : ops) {
            const std::size_t n = std::strlen(op);
            if (s_.compare(pos_, n, op) == 0) {
                pos_ += n;
                return op;
            }
        }
        return std::string();
    }
    static std::unique_ptr<Node> combined(Node::Kind kind, const std::string& op, char type, std::unique_ptr<Node> a,
                                          std::unique_ptr<Node> b = nullptr) {
        auto n = std::make_unique<Node>();
        n->kind = kind;
        n->type = type;
        n->text = op;
        n->args.push_back(std::move(a));
        if (b) n->args.push_back(std::move(b));
        return n;
    }

    std::unique_ptr<Node> disjunction() {
        auto n = conjunction();
        while (n && takeWord(".OR.")) {
            auto next = conjunction();
            if (!next) return nullptr;
            if (n->type != 'L' || next->type != 'L') return fail(".OR. joins conditions only");
            n = combined(Node::Kind::Logic, "OR", 'L', std::move(n), std::move(next));
        }
        return n;
    }
    std::unique_ptr<Node> conjunction() {
        auto n = negation();
        while (n && takeWord(".AND.")) {
            auto next = negation();
            if (!next) return nullptr;
            if (n->type != 'L' || next->type != 'L') return fail(".AND. joins conditions only");
            n = combined(Node::Kind::Logic, "AND", 'L', std::move(n), std::move(next));
        }
        return n;
    }
    std::unique_ptr<Node> negation() {
        blanks();
        const bool bang = pos_ < s_.size() && s_[pos_] == '!' && s_.compare(pos_, 2, "!=") != 0;
        if (bang) ++pos_;
        if (bang || takeWord(".NOT.")) {
            auto n = negation();
            if (!n) return nullptr;
            if (n->type != 'L') return fail(".NOT. takes a condition");
            return combined(Node::Kind::Logic, "NOT", 'L', std::move(n));
        }
        return comparison();
    }
    std::unique_ptr<Node> comparison() {
        auto left = sum();
        if (!left) return nullptr;
        std::string op = takeOperator({"==", "<>", "!=", "<=", ">=", "=", "#", "<", ">", "$"});
        if (op.empty()) return left;
        auto right = sum();
        if (!right) return nullptr;
        if (left->type != right->type)
            return fail("\"" + op + "\" compares a " + typeName(left->type) + " with a " + typeName(right->type));
        if (op == "$" && left->type != 'C') return fail("\"$\" looks for a text in a text");
        if (left->type == 'L' && op != "=" && op != "==" && op != "<>" && op != "!=" && op != "#")
            return fail("logical values are compared only for being the same");
        if (op == "!=" || op == "#") op = "<>";
        if (op == "==" && left->type != 'C') op = "=";
        return combined(Node::Kind::Compare, op, 'L', std::move(left), std::move(right));
    }
    static std::string typeName(char type) {
        return type == 'C' ? "text" : type == 'N' ? "number" : type == 'D' ? "date" : "logical value";
    }

    std::unique_ptr<Node> sum() {
        auto first = primary();
        if (!first) return nullptr;
        if (first->type == 'N' || first->type == 'D') return arithmetic(std::move(first));
        if (!take('+')) return first;
        auto join = std::make_unique<Node>();
        join->kind = Node::Kind::Join;
        join->length = first->length;
        if (first->type != 'C') return fail("\"+\" joins texts only");
        join->args.push_back(std::move(first));
        do {
            auto next = primary();
            if (!next) return nullptr;
            if (next->type != 'C') return fail("\"+\" joins texts only");
            join->length += next->length;
            join->args.push_back(std::move(next));
        } while (take('+'));
        return join;
    }

    // Numbers and dates added and taken away: a number to or from a date gives a date, a date
    // from a date the days between.
    std::unique_ptr<Node> arithmetic(std::unique_ptr<Node> first) {
        std::unique_ptr<Node> n;
        for (std::string op; !(op = takeOperator({"+", "-"})).empty();) {
            auto next = primary();
            if (!next) return nullptr;
            const char a = n ? n->type : first->type, b = next->type;
            char type;
            if (a == 'N' && b == 'N') type = 'N';
            else if (a == 'D' && b == 'N') type = 'D';
            else if (a == 'N' && b == 'D' && op == "+") type = 'D';
            else if (a == 'D' && b == 'D' && op == "-") type = 'N';
            else return fail("\"" + op + "\" does not take a " + typeName(a) + " and a " + typeName(b));
            if (!n) {
                n = std::make_unique<Node>();
                n->kind = Node::Kind::Arith;
                n->args.push_back(std::move(first));
            }
            n->type = type;
            n->text += op;
            n->args.push_back(std::move(next));
        }
        return n ? std::move(n) : std::move(first);
    }

    // A date written MM/DD/YY or MM/DD/YYYY (a two-digit year in the 1900s, as dBase reads it
    // by default), or YYYY-MM-DD after "^"; blank: the blank date.
    bool dateOf(std::string text, Node& n) {
        n.kind = Node::Kind::Number;
        n.type = 'D';
        while (!text.empty() && text.back() == ' ') text.pop_back();
        text.erase(0, std::min(text.find_first_not_of(' '), text.size()));
        if (text.empty() || text == "/  /" || text == "/ /" || text == "^") {
            n.blank = true;
            return true;
        }
        int y = 0, m = 0, d = 0, used = 0;
        if (text[0] == '^') {
            if (std::sscanf(text.c_str(), "^%d-%d-%d%n", &y, &m, &d, &used) != 3) return false;
        } else {
            if (std::sscanf(text.c_str(), "%d/%d/%d%n", &m, &d, &y, &used) != 3) return false;
            const std::size_t yearDigits = text.size() - text.rfind('/') - 1;
            if (yearDigits == 2) y += 1900;
            else if (yearDigits != 4) return false;
        }
        if (static_cast<std::size_t>(used) != text.size() || !isValidCivilDate(y, m, d)) return false;
        n.number = static_cast<double>(dayNumberFromCivil(y, m, d));
        return true;
    }

    std::unique_ptr<Node> primary() {
        blanks();
        if (pos_ >= s_.size()) return fail("the expression ends too soon");
        const char c = s_[pos_];
        if (c == '(') {
            ++pos_;
            auto n = disjunction();
            if (!n) return nullptr;
            if (!take(')')) return fail("a \"(\" is not closed");
            return n;
        }
        // .T. .F. (.Y. .N.)
        if (c == '.' && pos_ + 2 < s_.size() && std::isalpha(static_cast<unsigned char>(s_[pos_ + 1])) && s_[pos_ + 2] == '.') {
            const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(s_[pos_ + 1])));
            if (letter != 'T' && letter != 'F' && letter != 'Y' && letter != 'N')
                return fail("\"" + s_.substr(pos_, 3) + "\" is not understood");
            pos_ += 3;
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::Number;
            n->type = 'L';
            n->number = letter == 'T' || letter == 'Y';
            return n;
        }
        if (c == '.' && pos_ + 1 < s_.size() && std::isalpha(static_cast<unsigned char>(s_[pos_ + 1])))
            return fail("\"" + s_.substr(pos_) + "\" is not understood");
        // {MM/DD/YY}, {^YYYY-MM-DD}
        if (c == '{') {
            const std::size_t end = s_.find('}', pos_ + 1);
            if (end == std::string::npos) return fail("a date in braces is not closed");
            auto n = std::make_unique<Node>();
            if (!dateOf(s_.substr(pos_ + 1, end - pos_ - 1), *n))
                return fail("the date {" + s_.substr(pos_ + 1, end - pos_ - 1) + "} is not understood");
            pos_ = end + 1;
            return n;
        }
        if (c == '\'' || c == '"' || c == '[') {
            const char close = c == '[' ? ']' : c;
            const std::size_t end = s_.find(close, pos_ + 1);
            if (end == std::string::npos) return fail("a quoted text is not closed");
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::Text;
            std::string bytes;
            if (!codePage_.encode(s_.substr(pos_ + 1, end - pos_ - 1), bytes)) return fail("a quoted text has a character the code page lacks");
            n->text = bytes;
            n->length = bytes.size();
            pos_ = end + 1;
            return n;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.') {
            const char* begin = s_.c_str() + pos_;
            char* end = nullptr;
            const double v = std::strtod(begin, &end);
            if (end == begin) return fail("a number is not valid");
            pos_ += static_cast<std::size_t>(end - begin);
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::Number;
            n->type = 'N';
            n->number = v;
            return n;
        }
        const std::size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
        const std::string name = s_.substr(start, pos_ - start);
        if (name.empty()) return fail("\"" + std::string(1, c) + "\" is not understood");
        if (take('(')) return call(toUpperAscii(name));
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            std::string fieldName = codePage_.decode(fields_[i].name);
            while (!fieldName.empty() && (fieldName.back() == ' ' || fieldName.back() == '\0')) fieldName.pop_back();
            if (!equalsIgnoreCase(fieldName, name)) continue;
            auto n = std::make_unique<Node>();
            n->kind = Node::Kind::Field;
            n->field = i;
            switch (fields_[i].type) {
                case 'C': n->type = 'C'; n->length = fields_[i].length; break;
                case 'N': case 'F': n->type = 'N'; break;
                case 'D': n->type = 'D'; break;
                case 'L': n->type = 'L'; break;
                case 'I': case '+': case 'O':
                    // Binary numbers (long integers, doubles): in a FOR clause, not in a key.
                    if (!condition_) return fail("field " + name + " of type " + std::string(1, fields_[i].type) + " has no key");
                    n->type = 'N';
                    n->text.assign(1, fields_[i].type);
                    break;
                default: return fail("field " + name + " of type " + std::string(1, fields_[i].type) + " has no key");
            }
            fieldsUsed.push_back(i);
            return n;
        }
        return fail(name + " is no field of the table");
    }

    // A number given as it is (a length or a position).
    bool literalCount(const Node& n, std::size_t& out) {
        if (n.kind != Node::Kind::Number || n.type != 'N' || n.number < 0 || n.number > 255 || std::floor(n.number) != n.number) return false;
        out = static_cast<std::size_t>(n.number);
        return true;
    }

    std::unique_ptr<Node> call(const std::string& name) {
        static const char* const known[] = {"UPPER", "LOWER", "TRIM", "RTRIM", "LTRIM", "ALLTRIM", "LEFT", "RIGHT",
                                            "SUBSTR", "STR", "DTOS", "DTOC", "DELETED", "EMPTY", "YEAR", "MONTH",
                                            "DAY", "VAL", "CTOD", "LEN"};
        if (name == "DATE")
            return fail("DATE() makes what the expression gives depend on the day it is evaluated");
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) return fail(name + "() is not evaluated here");
        auto n = std::make_unique<Node>();
        n->kind = Node::Kind::Call;
        n->text = name;
        if (!take(')')) {
            do {
                auto a = disjunction();
                if (!a) return nullptr;
                n->args.push_back(std::move(a));
            } while (take(','));
            if (!take(')')) return fail(name + "( is not closed");
        }
        const auto argc = n->args.size();
        auto arg = [&](std::size_t i) -> Node& { return *n->args[i]; };
        std::size_t a = 0, b = 0;
        if (name == "UPPER" || name == "LOWER" || name == "TRIM" || name == "RTRIM" || name == "LTRIM" || name == "ALLTRIM") {
            if (argc != 1 || arg(0).type != 'C') return fail(name + "() takes one text");
            n->length = arg(0).length;
        } else if (name == "LEFT" || name == "RIGHT") {
            if (argc != 2 || arg(0).type != 'C' || !literalCount(arg(1), a)) return fail(name + "() takes a text and a count");
            n->length = std::min(a, arg(0).length);
        } else if (name == "SUBSTR") {
            if (argc < 2 || argc > 3 || arg(0).type != 'C' || !literalCount(arg(1), a) || a == 0 ||
                (argc == 3 && !literalCount(arg(2), b)))
                return fail("SUBSTR() takes a text, a position from 1 and a count");
            const std::size_t rest = arg(0).length >= a ? arg(0).length - a + 1 : 0;
            n->length = argc == 3 ? std::min(b, rest) : rest;
        } else if (name == "STR") {
            std::size_t length = 10, decimals = 0;
            if (argc < 1 || argc > 3 || arg(0).type != 'N' || (argc >= 2 && !literalCount(arg(1), length)) ||
                (argc == 3 && !literalCount(arg(2), decimals)) || length == 0)
                return fail("STR() takes a number, a length and decimals");
            n->length = length;
        } else if (name == "DTOS" || name == "DTOC") {
            if (argc != 1 || arg(0).type != 'D') return fail(name + "() takes a date");
            n->length = 8;
        } else if (name == "DELETED") {
            if (argc != 0) return fail("DELETED() takes nothing");
            readsDeletion = true;
            n->type = 'L';
        } else if (name == "EMPTY") {
            if (argc != 1) return fail("EMPTY() takes one value");
            n->type = 'L';
        } else if (name == "YEAR" || name == "MONTH" || name == "DAY") {
            if (argc != 1 || arg(0).type != 'D') return fail(name + "() takes a date");
            n->type = 'N';
        } else if (name == "VAL" || name == "LEN") {
            if (argc != 1 || arg(0).type != 'C') return fail(name + "() takes a text");
            n->type = 'N';
        } else if (name == "CTOD") {
            // A quoted date only: its value is then known here once and for all.
            if (argc != 1 || arg(0).kind != Node::Kind::Text || !dateOf(arg(0).text, *n))
                return fail("CTOD() takes a quoted date MM/DD/YY or MM/DD/YYYY");
            n->args.clear();
            n->text.clear();
        } else {
            return fail(name + "() is not evaluated here");
        }
        return n;
    }

    const std::string& s_;
    const std::vector<RawField>& fields_;
    const CodePage& codePage_;
    std::size_t pos_ = 0;
    std::string why_;
    bool condition_ = false;
};

struct Value {
    char type = 'C';
    std::string text;
    double number = 0;
    bool blank = false;  // a blank date
    std::int64_t day = 0;
    bool truth = false;  // L
};

bool evaluate(const Node& n, const std::uint8_t* rec, const std::vector<FieldDef>& defs, const Header& header,
              const CodePage& codePage, Value& out, std::string& why);

// Texts compared over the length of the right one, the left one padded with blanks when it is
// shorter (SET EXACT OFF); "==" compares the whole texts.
int compareTexts(const std::string& a, const std::string& b, bool exact) {
    if (exact) {
        const int c = a.compare(b);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    std::string left = a.substr(0, b.size());
    left.resize(b.size(), ' ');
    const int c = std::memcmp(left.data(), b.data(), b.size());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool compareValues(const Node& n, const Value& a, const Value& b, const Header& header, bool& out, std::string& why) {
    const std::string& op = n.text;
    if (op == "$") {
        out = !a.text.empty() && b.text.find(a.text) != std::string::npos;
        return true;
    }
    int c = 0;
    switch (a.type) {
        case 'C':
            if (op != "=" && op != "==" && op != "<>" && !header.foxPro && !textSortsInByteOrder(header)) {
                why = "\"" + op + "\" orders texts under the table's language driver, whose collation is not known here";
                return false;
            }
            c = compareTexts(a.text, b.text, op == "==");
            break;
        case 'N': c = a.number < b.number ? -1 : a.number > b.number ? 1 : 0; break;
        case 'D': {
            // The blank date comes before every date.
            const std::int64_t x = a.blank ? INT64_MIN : a.day, y = b.blank ? INT64_MIN : b.day;
            c = x < y ? -1 : x > y ? 1 : 0;
            break;
        }
        default: c = a.truth == b.truth ? 0 : 1; break;
    }
    if (op == "=" || op == "==") out = c == 0;
    else if (op == "<>") out = c != 0;
    else if (op == "<") out = c < 0;
    else if (op == ">") out = c > 0;
    else if (op == "<=") out = c <= 0;
    else out = c >= 0;
    return true;
}

bool evaluate(const Node& n, const std::uint8_t* rec, const std::vector<FieldDef>& defs, const Header& header,
              const CodePage& codePage, Value& out, std::string& why) {
    switch (n.kind) {
        case Node::Kind::Text:
            out.type = 'C';
            out.text = n.text;
            return true;
        case Node::Kind::Number:
            out.type = n.type;
            out.number = n.number;
            out.truth = n.number != 0;
            out.blank = n.blank;
            out.day = n.type == 'D' ? static_cast<std::int64_t>(n.number) : 0;
            return true;
        case Node::Kind::Arith: {
            if (!evaluate(*n.args[0], rec, defs, header, codePage, out, why)) return false;
            for (std::size_t i = 1; i < n.args.size(); ++i) {
                Value v;
                if (!evaluate(*n.args[i], rec, defs, header, codePage, v, why)) return false;
                const bool minus = n.text[i - 1] == '-';
                if (out.type == 'N' && v.type == 'N') {
                    out.number = minus ? out.number - v.number : out.number + v.number;
                } else if (out.type == 'D' && v.type == 'D') {
                    // The days between; a blank date counts as day 0.
                    out.type = 'N';
                    out.number = static_cast<double>((out.blank ? 0 : out.day) - (v.blank ? 0 : v.day));
                } else {
                    // A date and a number of days: a blank date stays blank.
                    const Value& date = out.type == 'D' ? out : v;
                    const double days = out.type == 'D' ? v.number : out.number;
                    if (!(std::fabs(days) < 4e6)) {
                        why = "a date " + std::string(minus ? "minus" : "plus") + " days lies outside the calendar";
                        return false;
                    }
                    Value r;
                    r.type = 'D';
                    r.blank = date.blank;
                    r.day = date.blank ? 0 : date.day + static_cast<std::int64_t>(std::floor(minus ? -days : days));
                    out = r;
                }
            }
            return true;
        }
        case Node::Kind::Compare: {
            Value a, b;
            if (!evaluate(*n.args[0], rec, defs, header, codePage, a, why) ||
                !evaluate(*n.args[1], rec, defs, header, codePage, b, why))
                return false;
            out.type = 'L';
            return compareValues(n, a, b, header, out.truth, why);
        }
        case Node::Kind::Logic: {
            // Both sides are evaluated (a record either side cannot read is not taken on a guess).
            Value a, b;
            if (!evaluate(*n.args[0], rec, defs, header, codePage, a, why)) return false;
            if (n.args.size() == 2 && !evaluate(*n.args[1], rec, defs, header, codePage, b, why)) return false;
            out.type = 'L';
            out.truth = n.text == "NOT" ? !a.truth : n.text == "AND" ? a.truth && b.truth : a.truth || b.truth;
            return true;
        }
        case Node::Kind::Field: {
            const FieldDef& f = defs[n.field];
            const std::uint8_t* p = rec + f.offset;
            out.type = n.type;
            if (n.type == 'C') {
                out.text.assign(reinterpret_cast<const char*>(p), f.length);
                return true;
            }
            if (n.type == 'L') {
                // T and Y are true; F, N, "?" and a blank are not.
                out.truth = f.length > 0 && std::strchr("TtYy", static_cast<char>(p[0])) != nullptr && p[0] != 0;
                return true;
            }
            FieldValue v;
            const char stored = !n.text.empty() ? n.text[0] : n.type == 'N' ? 'N' : 'D';
            if (!decodeStoredValue(stored, header, codePage, p, f.length, v)) {
                why = "field " + f.name + " cannot be read";
                return false;
            }
            if (n.type == 'N') {
                out.number = v.kind == ValueKind::Integer ? static_cast<double>(v.integer) : v.kind == ValueKind::Float ? v.real : 0;
                if (v.kind == ValueKind::Invalid) {
                    why = "field " + f.name + " holds no number";
                    return false;
                }
                return true;
            }
            out.blank = v.isNull();
            if (!out.blank && v.kind != ValueKind::Date) {
                why = "field " + f.name + " holds no valid date";
                return false;
            }
            out.day = v.integer;
            return true;
        }
        case Node::Kind::Join: {
            std::string joined;
            for (const auto& a : n.args) {
                Value v;
                if (!evaluate(*a, rec, defs, header, codePage, v, why)) return false;
                joined += v.text;
            }
            out.type = 'C';
            out.text = std::move(joined);
            return true;
        }
        case Node::Kind::Call: {
            std::vector<Value> args(n.args.size());
            for (std::size_t i = 0; i < n.args.size(); ++i)
                if (!evaluate(*n.args[i], rec, defs, header, codePage, args[i], why)) return false;
            out.type = n.type;
            const std::string& f = n.text;
            std::string& t = out.text;
            auto count = [&](std::size_t i) { return static_cast<std::size_t>(args[i].number); };
            if (f == "DELETED") {
                out.truth = rec[0] == '*';
            } else if (f == "EMPTY") {
                const Value& v = args[0];
                out.truth = v.type == 'C'   ? v.text.find_first_not_of(" \t\r\n", 0) == std::string::npos
                            : v.type == 'N' ? v.number == 0
                            : v.type == 'D' ? v.blank
                                            : !v.truth;
            } else if (f == "YEAR" || f == "MONTH" || f == "DAY") {
                // A blank date gives 0.
                const CivilDate d = args[0].blank ? CivilDate{0, 0, 0} : civilFromDayNumber(args[0].day);
                out.number = static_cast<double>(f == "YEAR" ? d.year : f == "MONTH" ? d.month : d.day);
            } else if (f == "VAL") {
                // The number the text starts with (after blanks); 0 when there is none.
                const std::string& s = args[0].text;
                const char* begin = s.c_str();
                char* end = nullptr;
                const double v = std::strtod(begin, &end);
                out.number = end == begin || !std::isfinite(v) ? 0 : v;
            } else if (f == "LEN") {
                out.number = static_cast<double>(args[0].text.size());
            } else if (f == "UPPER" || f == "LOWER") {
                t = args[0].text;
                for (char& c : t) {
                    const auto u = static_cast<unsigned char>(c);
                    if (u >= 0x80) {
                        why = f + "() meets a character outside ASCII, whose case under the table's language driver is not known here";
                        return false;
                    }
                    if (f == "UPPER" && u >= 'a' && u <= 'z') c = static_cast<char>(u - 32);
                    if (f == "LOWER" && u >= 'A' && u <= 'Z') c = static_cast<char>(u + 32);
                }
            } else if (f == "TRIM" || f == "RTRIM" || f == "LTRIM" || f == "ALLTRIM") {
                t = args[0].text;
                if (f != "LTRIM")
                    while (!t.empty() && t.back() == ' ') t.pop_back();
                if (f == "LTRIM" || f == "ALLTRIM") t.erase(0, std::min(t.find_first_not_of(' '), t.size()));
            } else if (f == "LEFT") {
                t = args[0].text.substr(0, count(1));
            } else if (f == "RIGHT") {
                const std::string& s = args[0].text;
                t = s.substr(s.size() - std::min(count(1), s.size()));
            } else if (f == "SUBSTR") {
                const std::string& s = args[0].text;
                const std::size_t from = count(1) - 1;
                t = from < s.size() ? s.substr(from, args.size() == 3 ? count(2) : std::string::npos) : std::string();
            } else if (f == "STR") {
                const std::size_t length = args.size() >= 2 ? count(1) : 10;
                const int decimals = args.size() == 3 ? static_cast<int>(count(2)) : 0;
                char buf[64];
                // Rounded half away from zero, as dBase rounds.
                const double scale = std::pow(10.0, decimals);
                const double rounded = std::round(args[0].number * scale) / scale;
                std::snprintf(buf, sizeof buf, "%.*f", decimals, rounded);
                t = buf;
                if (t == "-0" || t.find_first_not_of("-0.") == std::string::npos) t.erase(0, t[0] == '-' ? 1 : 0);
                t = t.size() > length ? std::string(length, '*') : std::string(length - t.size(), ' ') + t;
            } else if (f == "DTOS" || f == "DTOC") {
                if (args[0].blank) {
                    t = f == "DTOS" ? std::string(8, ' ') : std::string("  /  /  ");
                } else {
                    const CivilDate d = civilFromDayNumber(args[0].day);
                    char buf[16];
                    if (f == "DTOS")
                        std::snprintf(buf, sizeof buf, "%04d%02d%02d", static_cast<int>(d.year % 10000), d.month, d.day);
                    else
                        std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", d.month, d.day, static_cast<int>(d.year % 100));
                    t = buf;
                }
            }
            return true;
        }
    }
    return false;
}

}  // namespace

KeyExpression::~KeyExpression() = default;

std::unique_ptr<KeyExpression> KeyExpression::parse(const std::string& text, const std::vector<RawField>& fields,
                                                    const CodePage& codePage, std::string& why) {
    Parser p(text, fields, codePage);
    std::unique_ptr<Node> root = p.parse(why, false);
    if (!root) return nullptr;
    if (root->kind == Node::Kind::Text || root->kind == Node::Kind::Number) {
        why = "it is a constant";
        return nullptr;
    }
    if (root->type == 'L') {
        why = "a logical value gives no key";
        return nullptr;
    }
    if (root->type != 'C' && root->kind != Node::Kind::Field) {
        why = "only one numeric or date field gives a numeric or date key";
        return nullptr;
    }
    std::unique_ptr<KeyExpression> e(new KeyExpression());
    e->type_ = root->type;
    e->length_ = root->length;
    e->fields_ = p.fieldsUsed;
    e->codePage_ = &codePage;
    e->root_ = std::move(root);
    return e;
}

bool KeyExpression::text(const std::uint8_t* record, const std::vector<FieldDef>& defs, const Header& header, std::string& out,
                         std::string& why) const {
    Value v;
    if (!evaluate(*root_, record, defs, header, *codePage_, v, why)) return false;
    out = std::move(v.text);
    return true;
}

Condition::~Condition() = default;

std::unique_ptr<Condition> Condition::parse(const std::string& text, const std::vector<RawField>& fields,
                                            const CodePage& codePage, std::string& why) {
    Parser p(text, fields, codePage);
    std::unique_ptr<Node> root = p.parse(why, true);
    if (!root) return nullptr;
    if (root->type != 'L') {
        why = "it gives a " + std::string(root->type == 'C' ? "text" : root->type == 'N' ? "number" : "date") +
              ", not true or false";
        return nullptr;
    }
    std::unique_ptr<Condition> c(new Condition());
    c->fields_ = p.fieldsUsed;
    c->readsDeletion_ = p.readsDeletion;
    c->codePage_ = &codePage;
    c->root_ = std::move(root);
    return c;
}

bool Condition::admits(const std::uint8_t* record, const std::vector<FieldDef>& defs, const Header& header, bool& admitted,
                       std::string& why) const {
    Value v;
    if (!evaluate(*root_, record, defs, header, *codePage_, v, why)) return false;
    admitted = v.truth;
    return true;
}

}  // namespace tavrinth::dbase
