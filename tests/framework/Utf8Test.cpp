#include "framework/Utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, DecodeTakesTheEdgesOfEachLengthAndRefusesWhatLiesJustBeyond) {
    const struct {
        std::string Bytes;
        size_t Length;
        char32_t CodePoint;
    } cases[] = {
        {"\x7F", 1, 0x7F},
        {"\xC2\x80", 2, 0x80},
        {"\xDF\xBF", 2, 0x7FF},
        {"\xE0\xA0\x80", 3, 0x800},
        {"\xED\x9F\xBF", 3, 0xD7FF},
        {"\xEE\x80\x80", 3, 0xE000},
        {"\xF0\x90\x80\x80", 4, 0x10000},
        {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
        {"\xC1\xBF", 0, 0},         // overlong
        {"\xE0\x9F\xBF", 0, 0},     // overlong
        {"\xF0\x8F\xBF\xBF", 0, 0}, // overlong
        {"\xED\xA0\x80", 0, 0},     // a surrogate
        {"\xF4\x90\x80\x80", 0, 0}, // past U+10FFFF
        {"\xF0\x90\x80", 0, 0},     // cut short
        {"\xE2\x82\x41", 0, 0},     // not a continuation byte
        {"\x80", 0, 0},
    };
    for (const auto& c : cases) {
        char32_t codePoint = 0;
        EXPECT_EQ(utf8::Decode(c.Bytes, 0, codePoint), c.Length) << testing::PrintToString(c.Bytes);
        if (c.Length != 0) {
            EXPECT_EQ(codePoint, c.CodePoint) << testing::PrintToString(c.Bytes);
        }
    }
}

TEST(Utf8, LoneSurrogatesAreKeptOrReplacedButStrayBytesAlwaysComeBack) {
    const std::u16string units = {u'a', 0xD800, u'b', 0xDCFF, 0xDC7F, 0xD83D, 0xDE00};
    EXPECT_EQ(utf8::FromUtf16(units, utf8::LoneSurrogate::Keep),
              "a\xED\xA0\x80"
              "b\xFF\xED\xB1\xBF\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8::FromUtf16(units, utf8::LoneSurrogate::Replace),
              "a\xEF\xBF\xBD"
              "b\xFF\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8::ToUtf16("a\xED\xA0\x80"), (std::u16string{u'a', 0xDCED, 0xDCA0, 0xDC80}));
}

} // namespace
