// Paradox values as records store them (big-endian, sign bit flipped, BCD), and the scrambling of
// encrypted tables.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "byte_order.h"
#include "codepage.h"
#include "field_value.h"
#include "paradox/px_crypt.h"
#include "paradox/px_values.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::paradox;

namespace {

std::vector<std::uint8_t> hexBytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hexOf(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// --- Integers -----------------------------------------------------------------------------------

TEST(ParadoxValues, FlippedIntegers) {
    const std::pair<std::int64_t, const char*> shorts[] = {
        {0, "8000"}, {1, "8001"}, {-1, "7FFF"}, {40, "8028"}, {-40, "7FD8"}, {32767, "FFFF"}, {-32767, "0001"},
    };
    for (const auto& [value, hex] : shorts) {
        std::uint8_t b[2];
        encodeFlippedInt(value, b, 2);
        EXPECT_EQ(hexOf(b, 2), hex) << value;
        std::int64_t back = 12345;
        ASSERT_TRUE(decodeFlippedInt(hexBytes(hex).data(), 2, back)) << hex;
        EXPECT_EQ(back, value) << hex;
    }
    const std::pair<std::int64_t, const char*> longs[] = {
        {0, "80000000"},          {40, "80000028"},    {-40, "7FFFFFD8"},
        {-366, "7FFFFE92"},       {40271000, "82667C98"},  // 11:11:11 in milliseconds
        {2147483647, "FFFFFFFF"}, {-2147483647, "00000001"},
    };
    for (const auto& [value, hex] : longs) {
        std::uint8_t b[4];
        encodeFlippedInt(value, b, 4);
        EXPECT_EQ(hexOf(b, 4), hex) << value;
        std::int64_t back = 12345;
        ASSERT_TRUE(decodeFlippedInt(hexBytes(hex).data(), 4, back)) << hex;
        EXPECT_EQ(back, value) << hex;
    }
    const std::uint8_t zeros[4] = {};
    std::int64_t v = 0;
    EXPECT_FALSE(decodeFlippedInt(zeros, 2, v)) << "all-zero bytes are a blank";
    EXPECT_FALSE(decodeFlippedInt(zeros, 4, v)) << "all-zero bytes are a blank";
}

TEST(ParadoxValues, EveryShortRoundTripsAndSortsLikeItsBytes) {
    std::uint8_t previous[2] = {0, 0};
    for (std::int64_t v = -32767; v <= 32767; ++v) {
        std::uint8_t b[2];
        encodeFlippedInt(v, b, 2);
        std::int64_t back = 0;
        ASSERT_TRUE(decodeFlippedInt(b, 2, back)) << v;
        ASSERT_EQ(back, v);
        ASSERT_GT(std::memcmp(b, previous, 2), 0) << "bytes must sort like the values: " << v;
        std::memcpy(previous, b, 2);
    }
}

// --- Doubles ------------------------------------------------------------------------------------

TEST(ParadoxValues, FlippedDoubles) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "8000000000000000"},
        {-0.0, "7FFFFFFFFFFFFFFF"},
        {40.0, "C044000000000000"},
        {-40.0, "3FBBFFFFFFFFFFFF"},
        {719163.0 * 86400000 + 39600000, "C2CC418CD7B9C000"},  // 1970-01-01 11:00:00 as a timestamp
    };
    for (const auto& [value, hex] : cases) {
        std::uint8_t b[8];
        encodeFlippedDouble(value, b);
        EXPECT_EQ(hexOf(b, 8), hex) << value;
        double back = 12345;
        ASSERT_TRUE(decodeFlippedDouble(hexBytes(hex).data(), back)) << hex;
        EXPECT_EQ(back, value) << hex;
        EXPECT_EQ(std::signbit(back), std::signbit(value)) << hex << ": +0.0 and -0.0 are different values";
    }
    const std::uint8_t zeros[8] = {};
    double v = 1;
    EXPECT_FALSE(decodeFlippedDouble(zeros, v)) << "eight zero bytes are NULL, +0.0 is not";
}

TEST(ParadoxValues, DoublesRoundTripAndSortLikeTheirBytes) {
    std::mt19937_64 random(42);
    for (int i = 0; i < 20000; ++i) {
        const double a = bitsToDouble(random()), b = bitsToDouble(random());
        if (std::isnan(a) || std::isnan(b)) continue;
        std::uint8_t ea[8], eb[8];
        encodeFlippedDouble(a, ea);
        encodeFlippedDouble(b, eb);
        double back = 0;
        ASSERT_TRUE(decodeFlippedDouble(ea, back));
        ASSERT_EQ(doubleToBits(back), doubleToBits(a));
        if (a < b) {
            ASSERT_LT(std::memcmp(ea, eb, 8), 0) << a << " " << b;
        } else if (a > b) {
            ASSERT_GT(std::memcmp(ea, eb, 8), 0) << a << " " << b;
        }
    }
}

// --- BCD ----------------------------------------------------------------------------------------

std::string bcdText(const std::string& hex, int decimals) {
    const auto bytes = hexBytes(hex);
    EXPECT_EQ(bytes.size(), 17u) << hex;
    std::string text;
    if (!decodeBcd(bytes.data(), decimals, text)) return "NULL";
    return text;
}

TEST(ParadoxValues, BcdExamples) {
    EXPECT_EQ(bcdText("C6" "000000000000000000000000" "40000000", 6), "40.000000");
    EXPECT_EQ(bcdText("46" "FFFFFFFFFFFFFFFFFFFFFFFF" "BFFFFFFF", 6), "-40.000000");
    EXPECT_EQ(bcdText("C6" "000000000000000000000000" "13123457", 6), "13.123457");
    EXPECT_EQ(bcdText("C0" "000000000000000000000000" "00000040", 0), "40");
    EXPECT_EQ(bcdText("C2" "000000000000000000000000" "00000000", 2), "0.00");
    EXPECT_EQ(bcdText("42" "FFFFFFFFFFFFFFFFFFFFFFFF" "FFFFFFFF", 2), "0.00") << "no negative zero";
    EXPECT_EQ(bcdText("E0" "50000000000000000000000000000000", 32), "0.50000000000000000000000000000000");
    EXPECT_EQ(bcdText("C0" "99999999999999999999999999999999", 0), "99999999999999999999999999999999");
    // NULL: bit 6 of byte 0 clear (the engine also writes the decimals alone).
    EXPECT_EQ(bcdText("00" "00000000000000000000000000000000", 6), "NULL");
    EXPECT_EQ(bcdText("06" "00000000000000000000000000000000", 6), "NULL");
}

TEST(ParadoxValues, BcdGarbageNibblesNeverBecomeCharacters) {
    // Written by the engine from a double: real digits, then nibbles above 9.
    EXPECT_EQ(bcdText("E01229999999999999980B00E00000BF4A", 32), "0.12299999999999999800000000000000");
    EXPECT_EQ(bcdText("60EDD666666666666667F4FF1FFFFF40B5", 32), "-0.12299999999999999800000000000000");
    EXPECT_EQ(bcdText("E09999000000000000118A00E00000EF4A", 32), "0.99990000000000001180000000000000");
    EXPECT_EQ(bcdText("C2" "A0000000000000000000000000000012", 2), "0.00");
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) {
        std::uint8_t b[17];
        for (auto& x : b) x = static_cast<std::uint8_t>(random());
        b[0] |= 0x40;
        const int decimals = static_cast<int>(random() % 33);
        std::string text;
        ASSERT_TRUE(decodeBcd(b, decimals, text));
        for (char c : text) ASSERT_TRUE((c >= '0' && c <= '9') || c == '-' || c == '.') << text;
        const auto point = text.find('.');
        ASSERT_EQ(point == std::string::npos ? 0 : text.size() - point - 1, static_cast<std::size_t>(decimals)) << text;
    }
}

TEST(ParadoxValues, BcdRoundTrips) {
    const struct {
        const char* in;
        int decimals;
        const char* out;
    } cases[] = {
        {"123.45", 2, "123.45"}, {"-0.01", 2, "-0.01"}, {"7", 0, "7"}, {"-7", 0, "-7"}, {"0", 0, "0"},
        {"12.5", 4, "12.5000"}, {"1.230", 2, "1.23"}, {"+3", 1, "3.0"}, {"-0", 2, "0.00"}, {".5", 1, "0.5"},
        {"99999999999999999999999999999999", 0, "99999999999999999999999999999999"},
        {"-0.00000000000000000000000000000001", 32, "-0.00000000000000000000000000000001"},
        {"000042", 0, "42"},
    };
    for (const auto& c : cases) {
        std::uint8_t b[17];
        ASSERT_TRUE(encodeBcd(c.in, c.decimals, b)) << c.in;
        EXPECT_EQ(b[0] & 0x3F, c.decimals) << c.in;
        std::string text;
        ASSERT_TRUE(decodeBcd(b, c.decimals, text)) << c.in;
        EXPECT_EQ(text, c.out) << c.in;
    }
    std::uint8_t b[17];
    EXPECT_TRUE(encodeBcd("40", 6, b));
    EXPECT_EQ(hexOf(b, 17), "C6" "000000000000000000000000" "40000000");
    EXPECT_TRUE(encodeBcd("-40", 6, b));
    EXPECT_EQ(hexOf(b, 17), "46" "FFFFFFFFFFFFFFFFFFFFFFFF" "BFFFFFFF");
}

TEST(ParadoxValues, BcdRefusesWhatDoesNotFit) {
    std::uint8_t b[17];
    EXPECT_FALSE(encodeBcd(std::string(33, '9'), 0, b)) << "33 integer digits";
    EXPECT_FALSE(encodeBcd("100", 30, b)) << "3 integer digits, room for 2";
    EXPECT_FALSE(encodeBcd("1.234", 2, b)) << "a decimal would be lost";
    EXPECT_FALSE(encodeBcd("", 2, b));
    EXPECT_FALSE(encodeBcd("-", 2, b));
    EXPECT_FALSE(encodeBcd("abc", 2, b));
    EXPECT_FALSE(encodeBcd("1e5", 2, b));
    EXPECT_FALSE(encodeBcd("1,5", 2, b));
}

// --- Whole values by type code ------------------------------------------------------------------

FieldValue decoded(std::uint8_t typeCode, const std::string& hex, int decimals = 0, const char* codePage = "CP850") {
    const auto bytes = hexBytes(hex);
    FieldValue v;
    v.setText(ValueKind::Invalid);
    v.text = "stale";
    decodeValue(typeCode, bytes.data(), bytes.size(), decimals, *CodePage::find(codePage), v);
    return v;
}

TEST(ParadoxValues, DecodeByTypeCode) {
    FieldValue v = decoded(0x01, "4361666582000000");  // Alpha "Cafe" + 0x82, NUL padded
    EXPECT_EQ(v.kind, ValueKind::String);
    EXPECT_EQ(v.text, "Cafeé");
    v = decoded(0x01, "41424320");  // full field, no NUL, trailing space kept
    EXPECT_EQ(v.text, "ABC ");
    EXPECT_TRUE(decoded(0x01, "00414243").isNull()) << "first byte NUL: an empty Alpha is NULL";

    v = decoded(0x02, "800B1ECF");
    EXPECT_EQ(v.kind, ValueKind::Date);
    EXPECT_EQ(v.integer, 728783);
    EXPECT_TRUE(decoded(0x02, "00000000").isNull());
    v = decoded(0x03, "7FD8");
    EXPECT_EQ(v.kind, ValueKind::Integer);
    EXPECT_EQ(v.integer, -40);
    v = decoded(0x04, "80000028");
    EXPECT_EQ(v.integer, 40);
    v = decoded(0x16, "80000001");
    EXPECT_EQ(v.kind, ValueKind::Integer);
    EXPECT_EQ(v.integer, 1);
    v = decoded(0x14, "80000000");
    EXPECT_EQ(v.kind, ValueKind::Time);
    EXPECT_EQ(v.integer, 0) << "midnight is no blank";
    v = decoded(0x05, "C044000000000000");
    EXPECT_EQ(v.kind, ValueKind::Float);
    EXPECT_EQ(v.real, 40.0);
    v = decoded(0x06, "8000000000000000");
    EXPECT_EQ(v.kind, ValueKind::Float);
    EXPECT_EQ(v.real, 0.0);
    EXPECT_TRUE(decoded(0x06, "0000000000000000").isNull());
    v = decoded(0x15, "C2CC418CD7B9C000");
    EXPECT_EQ(v.kind, ValueKind::DateTime);
    EXPECT_EQ(v.real, 719163.0 * 86400000 + 39600000);

    v = decoded(0x09, "81");
    EXPECT_EQ(v.kind, ValueKind::Boolean);
    EXPECT_EQ(v.integer, 1);
    v = decoded(0x09, "80");
    EXPECT_EQ(v.kind, ValueKind::Boolean);
    EXPECT_EQ(v.integer, 0);
    EXPECT_TRUE(decoded(0x09, "00").isNull());

    v = decoded(0x17, "C6" "000000000000000000000000" "13123457", 6);
    EXPECT_EQ(v.kind, ValueKind::Bcd);
    EXPECT_EQ(v.text, "13.123457");
    EXPECT_TRUE(decoded(0x17, "06" "00000000000000000000000000000000", 6).isNull());

    v = decoded(0x18, "0001FF00");
    EXPECT_EQ(v.kind, ValueKind::Binary) << "Bytes starting with 0x00 are a value";
    EXPECT_EQ(v.text, std::string("\x00\x01\xFF\x00", 4));
    EXPECT_TRUE(decoded(0x18, "00000000").isNull());

    v = decoded(0x42, "0102");
    EXPECT_EQ(v.kind, ValueKind::Invalid) << "an unknown type code";
    EXPECT_EQ(v.text, std::string("\x01\x02", 2));
}

// --- Encryption ---------------------------------------------------------------------------------

TEST(ParadoxCrypt, PasswordChecksumOfKnownPassword) {
    // The encrypted sample tables were made with the password "123".
    EXPECT_EQ(passwordChecksum("123"), 0x0A25E09Au);
    EXPECT_EQ(passwordChecksum(""), 0u);
    for (const char* other : {"124", "1234", "12", "321", "abc", "123 "})
        EXPECT_NE(passwordChecksum(other), 0x0A25E09Au) << other;
    EXPECT_NE(passwordChecksum(std::string(300, 'x')), 0u) << "longer than a chunk";
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(random());
    return v;
}

TEST(ParadoxCrypt, BlocksRoundTripAndDependOnKeyAndBlockNumber) {
    for (std::uint32_t checksum : {0x0A25E09Au, 0x00010001u, 0xFFFFFFFFu}) {
        for (std::uint32_t block : {1u, 2u, 255u, 256u, 4000u}) {
            const auto plain = randomBytes(2048, checksum ^ block);
            auto bytes = plain;
            encryptBlock(bytes.data(), bytes.size(), checksum, block);
            for (std::size_t chunk = 0; chunk < bytes.size(); chunk += 256)
                EXPECT_NE(std::memcmp(bytes.data() + chunk, plain.data() + chunk, 256), 0) << "chunk " << chunk / 256;
            auto wrongBlock = bytes;
            decryptBlock(wrongBlock.data(), wrongBlock.size(), checksum, block + 1);
            EXPECT_NE(wrongBlock, plain);
            auto wrongKey = bytes;
            decryptBlock(wrongKey.data(), wrongKey.size(), checksum ^ 0x0101, block);
            EXPECT_NE(wrongKey, plain);
            decryptBlock(bytes.data(), bytes.size(), checksum, block);
            EXPECT_EQ(bytes, plain) << "checksum " << checksum << " block " << block;
        }
    }
}

TEST(ParadoxCrypt, BlobChunksRoundTripWhereverTheyAre) {
    const auto plain = randomBytes(4096, 99);
    auto whole = plain;
    encryptBlobChunks(whole.data(), whole.size(), 0x0A25E09Au);
    EXPECT_NE(whole, plain);
    // The same chunk scrambles the same way at any position of the file.
    auto piece = std::vector<std::uint8_t>(plain.begin() + 1024, plain.begin() + 1536);
    encryptBlobChunks(piece.data(), piece.size(), 0x0A25E09Au);
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + 1024));
    decryptBlobChunks(whole.data(), whole.size(), 0x0A25E09Au);
    EXPECT_EQ(whole, plain);
}

TEST(ParadoxCrypt, DecryptsTheFirstBlockOfAnEncryptedCorpusTable) {
    // encrypted.db: 34-byte records (+4 Id, A30 Text) in 2 KB blocks after a 2 KB header.
    const auto file = test::readFileBytes(test::paradoxCorpus("leonhad__paradoxdriver/src/test/resources/encrypt/encrypted.db"));
    ASSERT_GE(file.size(), 4096u);
    ASSERT_EQ(loadLE16(file.data() + 2), 0x0800);
    ASSERT_EQ(loadLE32(file.data() + 0x25), 0xFF00FF00u) << "the level 4+ marker";
    ASSERT_EQ(loadLE32(file.data() + 0x5C), passwordChecksum("123"));
    std::vector<std::uint8_t> block(file.begin() + 0x800, file.begin() + 0x1000);
    decryptBlock(block.data(), block.size(), loadLE32(file.data() + 0x5C), 1);
    EXPECT_EQ(loadLE16(block.data()), 0) << "next block";
    EXPECT_EQ(loadLE16(block.data() + 2), 0) << "previous block";
    EXPECT_EQ(loadLE16(block.data() + 4), 3 * 34) << "four records";
    const char* texts[] = {"Value 1", "Value 2", "Value 3", "Last one"};
    for (int r = 0; r < 4; ++r) {
        const std::uint8_t* rec = block.data() + 6 + 34 * r;
        std::int64_t id = 0;
        ASSERT_TRUE(decodeFlippedInt(rec, 4, id));
        EXPECT_EQ(id, r + 1);
        EXPECT_STREQ(reinterpret_cast<const char*>(rec + 4), texts[r]);
    }
}

}  // namespace
