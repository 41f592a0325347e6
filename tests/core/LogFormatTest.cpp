#include "core/LogFormat.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

// The C locale's formats: %m/%d/%y and %H:%M:%S.
class LogFormatTest : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
    static TDeviceStatusRecord Record(const std::string& host, TPingResult status, int hour = 9,
                                      int minute = 5, int second = 7) {
        return {EncodeDateTime({2026, 12, 8, hour, minute, second, 0}), host, status};
    }
};

TEST_F(LogFormatTest, SystemLogLineHasThreeColumns) {
    EXPECT_EQ(FormatRecord(Record("printer1", prSuccess), true),
              "12/08/26 09:05:07          printer1   Connected");
}

TEST_F(LogFormatTest, DeviceLogLineHasNoHost) {
    EXPECT_EQ(FormatRecord(Record("printer1", prTimedOut), false), "12/08/26 09:05:07  Timed Out");
}

TEST_F(LogFormatTest, AnAddressChangeNamesTheHostInEitherLogAndIPv6TextsStayWhole) {
    TDeviceStatusRecord moved = Record("printer-2F", prTimedOut);
    moved.NewAddress = "10.0.0.9";
    EXPECT_EQ(FormatRecord(moved, false), "12/08/26 09:05:07  printer-2F now 10.0.0.9");
    EXPECT_EQ(FormatRecord(moved, true), "12/08/26 09:05:07  printer-2F now 10.0.0.9");
    moved.Host = "nas";
    moved.NewAddress = "fe80::1%eth0";
    EXPECT_EQ(FormatRecord(moved, true), "12/08/26 09:05:07  nas now fe80::1%eth0");
    EXPECT_EQ(FormatRecord(Record("[fd00::1]", prSuccess), true),
              "12/08/26 09:05:07         [fd00::1]   Connected");
}

TEST_F(LogFormatTest, MidnightShowsTheDateAlonePaddedTo16) {
    EXPECT_EQ(FormatRecord(Record("h", prSuccess, 0, 0, 0), false), "        12/08/26  Connected");
    // One second later the time is back.
    EXPECT_EQ(FormatRecord(Record("h", prSuccess, 0, 0, 1), false), "12/08/26 00:00:01  Connected");
}

TEST_F(LogFormatTest, LongHostsAreWrittenInFullAndFormatCharactersStayText) {
    const std::string host = "a-very-long-host-name.example.org";
    EXPECT_EQ(FormatRecord(Record(host, prSuccess), true),
              "12/08/26 09:05:07  " + host + "   Connected");
    EXPECT_EQ(FormatRecord(Record("%s%n%d", prSuccess), true),
              "12/08/26 09:05:07            %s%n%d   Connected");
}

TEST_F(LogFormatTest, PaddingCountsCharactersNotBytes) {
    EXPECT_EQ(PadLeft("Flur\xE2\x80\x93", 6), " Flur\xE2\x80\x93");
    EXPECT_EQ(PadLeft("", 3), "   ");
    // A stray byte or a cut-off sequence is one character, as the windows show it.
    EXPECT_EQ(PadLeft("\x80", 4), "   \x80");
    EXPECT_EQ(PadLeft("\xE2\x82", 4), "  \xE2\x82");
    EXPECT_EQ(PadLeft("abcd", 2), "abcd");
}

} // namespace

namespace {

TEST(VisibleText, ControlCharactersShowAsPicturesAndNothingElseChanges) {
    EXPECT_EQ(VisibleText("a\nb"), "a\xE2\x90\x8A"
                                   "b");
    EXPECT_EQ(VisibleText(std::string("\x1b[2J\x7f", 5)), "\xE2\x90\x9B[2J\xE2\x90\xA1");
    EXPECT_EQ(VisibleText(std::string("\0", 1)), "\xE2\x90\x80");
    const std::string odd = "%s%n \"quoted\" back\\slash \xff\xfe caf\xC3\xA9";
    EXPECT_EQ(VisibleText(odd), odd);
    TDeviceStatusRecord record{EncodeDateTime({2026, 12, 8, 9, 5, 7, 0}), "two\nlines", prSuccess};
    EXPECT_EQ(FormatRecord(record, true).find('\n'), std::string::npos);
}

} // namespace
