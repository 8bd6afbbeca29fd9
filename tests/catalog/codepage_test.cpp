// Code pages: decoding table text to UTF-8, encoding it back, and choosing a table's code page.

#include <gtest/gtest.h>

#include <cerrno>
#include <iconv.h>
#include <string>

#include "codepage.h"

using namespace tavrinth;

namespace {

std::shared_ptr<const CodePage> page(const std::string& name) {
    auto p = CodePage::find(name);
    if (!p) ADD_FAILURE() << "code page " << name << " is not known";
    return p;
}

std::string decode(const std::string& name, const std::string& bytes) {
    const auto p = page(name);
    return p ? p->decode(bytes) : std::string("<no code page>");
}

// One byte converted by iconv directly, or U+FFFD when iconv refuses it.
std::string iconvByte(const char* codePage, unsigned char byte) {
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv cannot open>";
    char in[1] = {static_cast<char>(byte)};
    char out[16];
    char* ip = in;
    char* op = out;
    std::size_t il = 1, ol = sizeof out;
    const std::size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || il != 0) return "\xEF\xBF\xBD";
    return std::string(out, static_cast<std::size_t>(op - out));
}

TEST(CodePage, FindIsCaseInsensitiveSharedAndRefusesUnknownNames) {
    const auto a = CodePage::find("cp1252");
    const auto b = CodePage::find("CP1252");
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->name(), "CP1252");
    EXPECT_TRUE(a->isSingleByte());
    EXPECT_FALSE(CodePage::find("NO-SUCH-CODE-PAGE"));
}

TEST(CodePage, SingleByteTablesAgreeWithIconvForEveryByte) {
    for (const char* name : {"CP437", "CP850", "CP852", "CP866", "CP1250", "CP1251", "CP1252", "CP874", "CP865"}) {
        SCOPED_TRACE(name);
        const auto p = page(name);
        ASSERT_TRUE(p);
        ASSERT_TRUE(p->isSingleByte());
        for (int b = 0; b < 256; ++b) {
            const std::string bytes(1, static_cast<char>(b));
            EXPECT_EQ(p->decode(bytes), iconvByte(name, static_cast<unsigned char>(b))) << "byte " << b;
        }
    }
}

TEST(CodePage, KnownCharacters) {
    EXPECT_EQ(decode("CP437", "Caf\x82 \xE1 \xB0\xFF"), "Café ß ░\u00A0");
    EXPECT_EQ(decode("CP850", "\x9D\xD0\xE7"), "Øðþ");
    EXPECT_EQ(decode("CP866", "\x8F\xE0\xA8\xA2\xA5\xE2"), "Привет");
    EXPECT_EQ(decode("CP1251", "\xCF\xF0\xE8\xE2\xE5\xF2"), "Привет");
    EXPECT_EQ(decode("CP1252", "\x80 \x9F \xE9"), "€ Ÿ é");
    EXPECT_EQ(decode("HP-ROMAN8", "\xC5\xD5\xB4\xFC"), "éíÇ■");
    // Text stays text: ASCII, embedded controls, nothing dropped.
    EXPECT_EQ(decode("CP1252", std::string("a\tb\r\nc\0d", 9)), std::string("a\tb\r\nc\0d", 9));
}

TEST(CodePage, BytesTheCodePageDoesNotDefineBecomeReplacementCharacters) {
    // 0x81, 0x8D, 0x8F, 0x90 and 0x9D are undefined in cp1252.
    EXPECT_EQ(decode("CP1252", "a\x81" "b\x8D\x8F\x90\x9D"), "a\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD");
    std::string out;
    EXPECT_FALSE(page("CP1252")->encode("\uFFFD", out)) << "an undefined byte must not come back";
}

TEST(CodePage, MazoviaHasThePolishLettersAndKeepsTheRestOfCp437) {
    EXPECT_EQ(decode("MAZOVIA", "\x86\x8D\x91\x92\xA4\xA2\x9E\xA6\xA7"), "ąćęłńóśźż");
    EXPECT_EQ(decode("MAZOVIA", "\x8F\x95\x90\x9C\xA5\xA3\x98\xA0\xA1"), "ĄĆĘŁŃÓŚŹŻ");
    EXPECT_EQ(decode("MAZOVIA", "\x82\xE1\xB0 abc"), "éß░ abc");
    std::string bytes;
    ASSERT_TRUE(page("MAZOVIA")->encode("Zażółć gęślą jaźń", bytes));
    EXPECT_EQ(bytes, "Za\xA7\xA2\x92\x8D g\x91\x9El\x86 ja\xA6\xA4");
    // The letters Mazovia replaced are gone from it.
    EXPECT_FALSE(page("MAZOVIA")->encode("å", bytes));  // cp437 0x86
}

TEST(CodePage, MultiByteCodePages) {
    const auto gbk = page("CP936");
    ASSERT_TRUE(gbk);
    EXPECT_FALSE(gbk->isSingleByte());
    EXPECT_EQ(gbk->decode(std::string("\xD6\xD0\xCE\xC4 ok")), "中文 ok");
    // A lead byte cut off at the end of the value.
    EXPECT_EQ(gbk->decode(std::string("\xD6\xD0\xCE")), "中\uFFFD");
    EXPECT_EQ(decode("BIG5", "\xA4\xA4\xA4\xE5"), "中文");
    EXPECT_EQ(decode("UTF-8", "\xD0\xA8\xD0\x90\xD0\xA0"), "ШАР");
    EXPECT_EQ(decode("UTF-8", "a\xFF" "b"), "a\uFFFDb");
    std::string bytes;
    ASSERT_TRUE(gbk->encode("中文", bytes));
    EXPECT_EQ(bytes, "\xD6\xD0\xCE\xC4");
    EXPECT_FALSE(gbk->encode("\U0001F600", bytes)) << "GBK has no emoji";
}

TEST(CodePage, EncodeRefusesCharactersThePageLacksAndBadUtf8) {
    std::string bytes;
    ASSERT_TRUE(page("CP1251")->encode("Жук", bytes));
    EXPECT_EQ(bytes, "\xC6\xF3\xEA");
    EXPECT_FALSE(page("CP1252")->encode("Жук", bytes));
    EXPECT_FALSE(page("CP437")->encode("€", bytes));
    ASSERT_TRUE(page("CP1252")->encode("€uro", bytes));
    EXPECT_EQ(bytes, "\x80uro");
    EXPECT_FALSE(page("CP1252")->encode("\xC3", bytes)) << "cut-off UTF-8";
    EXPECT_FALSE(page("CP1252")->encode("\xC0\xA9", bytes)) << "overlong UTF-8";
    EXPECT_FALSE(page("CP1252")->encode("\xED\xA0\x80", bytes)) << "a surrogate";
}

TEST(CodePage, EveryDefinedByteRoundTrips) {
    for (const char* name : {"CP437", "CP850", "CP866", "CP1250", "CP1251", "CP1252", "MAZOVIA", "HP-ROMAN8"}) {
        SCOPED_TRACE(name);
        const auto p = page(name);
        ASSERT_TRUE(p);
        for (int b = 0; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            const std::string text = p->decode(byte);
            if (text == "\uFFFD") continue;
            std::string back;
            ASSERT_TRUE(p->encode(text, back)) << "byte " << b;
            EXPECT_EQ(back, byte) << "byte " << b;
        }
    }
}

TEST(CodePageChoice, Paradox) {
    EXPECT_EQ(paradoxCodePage(850, 0, "ascii").name, "CP850");
    EXPECT_EQ(paradoxCodePage(936, 0x03, "china").name, "CP936");
    EXPECT_EQ(paradoxCodePage(1252, 0x4C, "DBWINUS0").name, "CP1252");
    // Level 3 headers have no code page: the sort order may name one.
    EXPECT_EQ(paradoxCodePage(0, 0xC0, "").name, "CP866");
    EXPECT_EQ(paradoxCodePage(0, 0x14, "BLROM800").name, "HP-ROMAN8");
    EXPECT_EQ(paradoxCodePage(0, 0x00, "").name, "CP437");
    EXPECT_FALSE(paradoxCodePage(0, 0x00, "").fallback);
    EXPECT_TRUE(paradoxCodePage(0, 0x00, "").guessed) << "the header names no code page";
    EXPECT_FALSE(paradoxCodePage(850, 0, "ascii").guessed);
    EXPECT_FALSE(paradoxCodePage(0, 0xC0, "").guessed) << "the sort order names one";
    const CodePageChoice unknown = paradoxCodePage(12345, 0, "ascii");
    EXPECT_EQ(unknown.name, "CP437");
    EXPECT_TRUE(unknown.fallback);
    EXPECT_NE(unknown.reason.find("12345"), std::string::npos) << unknown.reason;
}

TEST(CodePageChoice, DBase) {
    EXPECT_EQ(dbaseCodePage(0x03, 0x00, "").name, "CP437");
    EXPECT_EQ(dbaseCodePage(0x30, 0x00, "").name, "CP1252") << "Visual FoxPro default";
    EXPECT_TRUE(dbaseCodePage(0x03, 0x00, "").guessed && dbaseCodePage(0x30, 0x00, "").guessed);
    EXPECT_FALSE(dbaseCodePage(0x03, 0x65, "").guessed || dbaseCodePage(0x8C, 0x00, "DB866RU0").guessed);
    EXPECT_EQ(dbaseCodePage(0x03, 0x03, "").name, "CP1252");
    EXPECT_EQ(dbaseCodePage(0x03, 0x1B, "").name, "CP437");
    EXPECT_EQ(dbaseCodePage(0x03, 0x65, "").name, "CP866");
    EXPECT_EQ(dbaseCodePage(0x30, 0x69, "").name, "MAZOVIA");
    EXPECT_EQ(dbaseCodePage(0x03, 0x4D, "").name, "CP936");
    EXPECT_EQ(dbaseCodePage(0x30, 0xC9, "").name, "CP1251");
    EXPECT_EQ(dbaseCodePage(0x03, 0xF0, "").name, "UTF-8");
    EXPECT_EQ(dbaseCodePage(0x8C, 0x00, "DBWINUS0").name, "CP1252");
    EXPECT_EQ(dbaseCodePage(0x8C, 0x00, "DB437US0").name, "CP437");
    EXPECT_EQ(dbaseCodePage(0x8C, 0x00, "DB866RU0").name, "CP866");
    const CodePageChoice db0 = dbaseCodePage(0x04, 0x00, "DB0");
    EXPECT_EQ(db0.name, "CP1252");
    EXPECT_TRUE(db0.fallback);
    const CodePageChoice unknownByte = dbaseCodePage(0x31, 0x7F, "");
    EXPECT_EQ(unknownByte.name, "CP1252");
    EXPECT_TRUE(unknownByte.fallback);
    EXPECT_NE(unknownByte.reason.find("0x7F"), std::string::npos) << unknownByte.reason;
    EXPECT_TRUE(dbaseCodePage(0x03, 0x7F, "").fallback);
    EXPECT_EQ(dbaseCodePage(0x03, 0x7F, "").name, "CP437");
}

TEST(CodePageChoice, GivenByTheUser) {
    EXPECT_EQ(userCodePage("cp866").name, "CP866");
    EXPECT_EQ(userCodePage("866").name, "CP866");
    EXPECT_EQ(userCodePage("1251").name, "CP1251");
    EXPECT_EQ(userCodePage("utf-8").name, "UTF-8");
    EXPECT_EQ(userCodePage("620").name, "MAZOVIA");
    EXPECT_EQ(userCodePage("950").name, "BIG5");
    EXPECT_TRUE(userCodePage("no-such-page").name.empty());
    EXPECT_TRUE(userCodePage("").name.empty());
}

}  // namespace
