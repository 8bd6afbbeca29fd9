#include <gtest/gtest.h>

#include "paradox/px_crypt.h"

TEST(ParadoxCrypt, PasswordChecksumOfKnownPassword) {
    // The encrypted sample tables were made with the password "123".
    EXPECT_EQ(tavrinth::paradox::passwordChecksum("123"), 0x0A25E09Au);
    EXPECT_EQ(tavrinth::paradox::passwordChecksum(""), 0u);
}
