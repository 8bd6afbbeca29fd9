// The RFC 4180 reader the corpus tests compare dumps with: it must take what the writers write and
// refuse what they never write, or the comparisons would prove nothing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "csv.h"
#include "dump.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

std::vector<CsvRecord> parsed(const std::string& text, bool minimal = false) {
    CsvOptions options;
    options.minimalQuoting = minimal;
    const CsvResult r = parseCsv(text, options);
    EXPECT_TRUE(r.ok()) << r.error << " at " << r.errorOffset;
    return r.records;
}

std::string errorOf(const std::string& text, bool minimal = false) {
    CsvOptions options;
    options.minimalQuoting = minimal;
    return parseCsv(text, options).error;
}

TEST(CsvReader, RecordsAndFields) {
    EXPECT_EQ(parsed(""), std::vector<CsvRecord>{});
    EXPECT_EQ(parsed("a,b\r\n1,2\r\n"), (std::vector<CsvRecord>{{"a", "b"}, {"1", "2"}}));
    EXPECT_EQ(parsed(",\r\n"), (std::vector<CsvRecord>{{"", ""}}));
    EXPECT_EQ(parsed("\"\"\r\n", true), (std::vector<CsvRecord>{{""}}));
    EXPECT_EQ(parsed("\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\"lf\nonly\"\r\n", true),
              (std::vector<CsvRecord>{{"a,b", "say \"hi\"", "two\r\nlines", "lf\nonly"}}));
    EXPECT_EQ(parsed("\\N, x ,<binary 3 bytes sha1=a9>\r\n", true), (std::vector<CsvRecord>{{"\\N", " x ", "<binary 3 bytes sha1=a9>"}}));
}

TEST(CsvReader, RefusesWhatTheWritersNeverWrite) {
    EXPECT_FALSE(errorOf("a,b").empty()) << "no CR LF after the last record";
    EXPECT_FALSE(errorOf("a,b\n").empty()) << "LF alone";
    EXPECT_FALSE(errorOf("a\rb\r\n").empty()) << "CR alone";
    EXPECT_FALSE(errorOf("a\"b\r\n").empty()) << "a quote in a plain field";
    EXPECT_FALSE(errorOf("\"ab\r\n").empty()) << "unterminated quotes";
    EXPECT_FALSE(errorOf("\"a\"b\r\n").empty()) << "text after the closing quote";
    EXPECT_FALSE(errorOf("\"plain\"\r\n", true).empty()) << "quotes without need";
    EXPECT_FALSE(errorOf("\r\n", true).empty()) << "a lone empty field must be written \"\"";
    EXPECT_TRUE(errorOf("\"plain\"\r\n").empty()) << "allowed unless minimal quoting is asked for";
    EXPECT_EQ(parseCsv("ok\r\n\"bad\r\n").errorOffset, 4u);
}

TEST(CsvReader, ReadsBackWhatTheDumpWriterWrites) {
    const std::vector<std::string> fields = {"", "plain", "a,b", "\"", "x\r\ny", "\n", "\r", " ", "\\N", "é,\"\"\r\n"};
    std::string text;
    for (const std::string& f : fields) {
        std::string line;
        appendCsvField(line, f);
        line += ",end";
        text += line + "\r\n";
    }
    const auto records = parsed(text, true);
    ASSERT_EQ(records.size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(records[i], (CsvRecord{fields[i], "end"}));
}

TEST(CsvReader, SameCellValue) {
    EXPECT_TRUE(sameCellValue("abc", "abc"));
    EXPECT_TRUE(sameCellValue("40.0", "40"));
    EXPECT_TRUE(sameCellValue("1e+16", "1e16"));
    EXPECT_TRUE(sameCellValue("-0.0", "0.0")) << "equal as doubles";
    EXPECT_FALSE(sameCellValue("1.34", "1.3400001"));
    EXPECT_FALSE(sameCellValue("abc", "abd"));
    EXPECT_FALSE(sameCellValue("", "0"));
    EXPECT_FALSE(sameCellValue("nan", "nan2"));
    EXPECT_FALSE(sameCellValue("12 ", "12"));
}

}  // namespace
