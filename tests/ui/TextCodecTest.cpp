#include "ui/TextCodec.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(TextCodec, AnyBytesComeBackExactly) {
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() % 256);
        EXPECT_EQ(ToBytes(ToQString(bytes)), bytes);
    }
    for (const std::string& bytes :
         {std::string("caf\xC3\xA9"), std::string("\xF0\x9F\x98\x80"), std::string("\xC0\x80"),
          std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string(65536, 'h')})
        EXPECT_EQ(ToBytes(ToQString(bytes)), bytes);
}

TEST(TextCodec, UnicodeTextShowsAsItselfAndStrayBytesAsEscapes) {
    EXPECT_EQ(ToQString("caf\xC3\xA9"), QStringLiteral("caf\u00E9"));
    EXPECT_EQ(ToQString("\xF0\x9F\x98\x80").size(), 2); // one character beyond the BMP
    const QString stray = ToQString("a\xff");
    ASSERT_EQ(stray.size(), 2);
    EXPECT_EQ(stray[1].unicode(), 0xDCFF);
    EXPECT_EQ(ToBytes(QStringLiteral("Flur \u2013 2F")), "Flur \xE2\x80\x93 2F");
}

} // namespace
