#include "dbf_expression.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "../path_names.h"

namespace tavrinth::dbase {

struct KeyExpression::Node {
    enum class Kind { Field, Text, Number, Join, Call } kind = Kind::Text;
    char type = 'C';          // C, N or D
    std::size_t length = 0;   // C: the most bytes
    std::size_t field = 0;    // Field
    std::string text;         // Text; Call: the function's name
    double number = 0;        // Number
    std::vector<std::unique_ptr<Node>> args;
};

namespace {

using Node = KeyExpression::Node;

class Parser {
public:
    Parser(const std::string& s, const std::vector<RawField>& fields, const CodePage& codePage)
        : s_(s), fields_(fields), codePage_(codePage) {}

    std::unique_ptr<Node> parse(std::string& why) {
        auto n = sum();
        blanks();
        if (n && pos_ != s_.size()) {
            fail("\"" + s_.substr(pos_) + "\" after the expression");
            n.reset();
        }
        if (!n) why = why_.empty() ? "it is not an expression" : why_;
        return n;
    }
    std::vector<std::size_t> fieldsUsed;

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

    std::unique_ptr<Node> sum() {
        auto first = primary();
        if (!first) return nullptr;
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

    std::unique_ptr<Node> primary() {
        blanks();
        if (pos_ >= s_.size()) return fail("the expression ends too soon");
        const char c = s_[pos_];
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
                default: return fail("field " + name + " of type " + std::string(1, fields_[i].type) + " has no key");
            }
            fieldsUsed.push_back(i);
            return n;
        }
        return fail(name + " is no field of the table");
    }

    // A number given as it is (a length or a position).
    bool literalCount(const Node& n, std::size_t& out) {
        if (n.kind != Node::Kind::Number || n.number < 0 || n.number > 255 || std::floor(n.number) != n.number) return false;
        out = static_cast<std::size_t>(n.number);
        return true;
    }

    std::unique_ptr<Node> call(const std::string& name) {
        static const char* const known[] = {"UPPER", "LOWER", "TRIM", "RTRIM", "LTRIM", "ALLTRIM", "LEFT",
                                            "RIGHT", "SUBSTR", "STR", "DTOS", "DTOC"};
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) return fail(name + "() is not evaluated here");
        auto n = std::make_unique<Node>();
        n->kind = Node::Kind::Call;
        n->text = name;
        if (!take(')')) {
            do {
                auto a = sum();
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
};

struct Value {
    char type = 'C';
    std::string text;
    double number = 0;
    bool blank = false;  // a blank date
    std::int64_t day = 0;
};

bool evaluate(const Node& n, const std::uint8_t* rec, const std::vector<FieldDef>& defs, const Header& header,
              const CodePage& codePage, Value& out, std::string& why) {
    switch (n.kind) {
        case Node::Kind::Text:
            out.type = 'C';
            out.text = n.text;
            return true;
        case Node::Kind::Number:
            out.type = 'N';
            out.number = n.number;
            return true;
        case Node::Kind::Field: {
            const FieldDef& f = defs[n.field];
            const std::uint8_t* p = rec + f.offset;
            out.type = n.type;
            if (n.type == 'C') {
                out.text.assign(reinterpret_cast<const char*>(p), f.length);
                return true;
            }
            FieldValue v;
            if (!decodeStoredValue(n.type == 'N' ? 'N' : 'D', header, codePage, p, f.length, v)) {
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
            out.type = 'C';
            const std::string& f = n.text;
            std::string& t = out.text;
            auto count = [&](std::size_t i) { return static_cast<std::size_t>(args[i].number); };
            if (f == "UPPER" || f == "LOWER") {
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
    std::unique_ptr<Node> root = p.parse(why);
    if (!root) return nullptr;
    if (root->kind == Node::Kind::Text || root->kind == Node::Kind::Number) {
        why = "it is a constant";
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

}  // namespace tavrinth::dbase
