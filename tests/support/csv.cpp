#include "csv.h"

#include <charconv>

namespace tavrinth::test {

CsvResult parseCsv(const std::string& text, const CsvOptions& options) {
    CsvResult result;
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto fail = [&](const std::string& what, std::size_t at) {
        result.error = what;
        result.errorOffset = at;
        return result;
    };
    while (i < n) {
        CsvRecord record;
        bool singleQuotedEmpty = false;
        for (;;) {
            std::string field;
            bool quoted = false;
            const std::size_t fieldStart = i;
            if (i < n && text[i] == '"') {
                quoted = true;
                ++i;
                for (;;) {
                    if (i >= n) return fail("unterminated quoted field", fieldStart);
                    if (text[i] == '"') {
                        if (i + 1 < n && text[i + 1] == '"') {
                            field.push_back('"');
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    field.push_back(text[i++]);
                }
                if (i < n && text[i] != ',' && text[i] != '\r')
                    return fail("a character follows the closing quote", i);
            } else {
                while (i < n && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                    if (text[i] == '"') return fail("a quote inside an unquoted field", i);
                    field.push_back(text[i++]);
                }
                if (i < n && text[i] == '\n') return fail("a line feed without a carriage return", i);
            }
            if (quoted && options.minimalQuoting &&
                field.find_first_of(",\"\r\n") == std::string::npos) {
                // Allowed only for the lone empty field of a record.
                const bool lone = record.empty() && field.empty() && i < n && text[i] == '\r';
                if (!lone) return fail("a field is quoted without need", fieldStart);
                singleQuotedEmpty = true;
            }
            record.push_back(std::move(field));
            if (i >= n) return fail("the last record does not end with CR LF", i);
            if (text[i] == ',') {
                ++i;
                continue;
            }
            // text[i] == '\r'
            if (i + 1 >= n || text[i + 1] != '\n') return fail("a carriage return without a line feed", i);
            i += 2;
            break;
        }
        if (options.minimalQuoting && record.size() == 1 && record[0].empty() && !singleQuotedEmpty)
            return fail("a record whose only field is empty must be written \"\"", i);
        result.records.push_back(std::move(record));
    }
    return result;
}

namespace {
bool parseDouble(const std::string& s, double& v) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}
}  // namespace

bool sameCellValue(const std::string& a, const std::string& b) {
    if (a == b) return true;
    double x, y;
    return parseDouble(a, x) && parseDouble(b, y) && x == y;
}

}  // namespace tavrinth::test
