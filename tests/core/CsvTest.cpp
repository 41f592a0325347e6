// CSV out and back: every host text byte for byte, and broken files named by
// their line.

#include "core/Csv.h"
#include "tests/support/HostileTexts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using TRows = std::vector<std::vector<std::string>>;

TEST(CsvTest, HostileTextsComeBackByteForByte) {
    std::vector<std::string> texts = HostileTexts();
    // What CSV itself trips over, beyond the suite's texts.
    for (const char* extra : {"a,b", "\r\n", "cr\ronly", "lf\n", " lead", "trail\t", "\"", "", ","})
        texts.emplace_back(extra);
    texts.emplace_back("\0", 1);

    std::string file;
    TRows expected;
    for (const std::string& text : texts) {
        file += CsvRow({text, "x", text});
        expected.push_back({text, "x", text});
    }
    EXPECT_EQ(ReadCsv(file), expected);
    // A last row without its line end, and LF-only files, read the same.
    EXPECT_EQ(ReadCsv("a,\"b\"\nc,"), (TRows{{"a", "b"}, {"c", ""}}));

    // Plain fields stay bare; blanks at either end are kept by quoting.
    EXPECT_EQ(CsvRow({"plain", "caf\xC3\xA9", "   ", "say \"hi\""}),
              "plain,caf\xC3\xA9,\"   \",\"say \"\"hi\"\"\"\r\n");
}

TEST(CsvTest, MalformedFilesNameTheLine) {
    const auto message = [](const std::string& text) {
        try {
            ReadCsv(text);
        } catch (const ECsvFormat& e) {
            return e.Message();
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("a,b\r\n\"open\r\nstill\r\n"), "Line 2: a quoted field is not closed");
    EXPECT_EQ(message("a\r\n\"x\ny\"z\r\n"), "Line 3: text follows a closing quote");
    EXPECT_EQ(message("a\r\nb\r\nc\"d\r\n"), "Line 3: a quote inside an unquoted field");
    EXPECT_EQ(message("a\rb\r\n"), "Line 1: a carriage return inside an unquoted field");
}

TEST(CsvTest, StatusAndHistoryRowsCarryTimeDescriptionTextAndCode) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const TDateTime time = EncodeDateTime({2026, 12, 8, 14, 2, 11, 0});
    const THostDescriptions descriptions{{"router,1", "Main \"router\""}};
    EXPECT_EQ(
        StatusLogCsv({{time, "router,1", prTimedOut}, {time, "unknown", prSuccess}}, descriptions),
        "Time,Host,Description,Status,Code\r\n"
        "2026-12-08T14:02:11+01:00,\"router,1\",\"Main \"\"router\"\"\",Timed Out,10\r\n"
        "2026-12-08T14:02:11+01:00,unknown,,Connected,0\r\n");
    // An address change keeps the five columns, without a code.
    const std::string moved =
        StatusLogCsv({{time, "nas", prSuccess, "fd00::9"}, {time, "nas", prTimedOut}}, {});
    EXPECT_EQ(moved, "Time,Host,Description,Status,Code\r\n"
                     "2026-12-08T14:02:11+01:00,nas,,now fd00::9,\r\n"
                     "2026-12-08T14:02:11+01:00,nas,,Timed Out,10\r\n");
    for (const auto& row : ReadCsv(moved))
        EXPECT_EQ(row.size(), 5u);
    EXPECT_EQ(HistoryCsvHeader(), "Time,Host,Description,Result,Code,RTT ms\r\n");
    EXPECT_EQ(HistoryCsvRow(THistoryProbe{time, "a", prSuccess, 17}, {}),
              "2026-12-08T14:02:11+01:00,a,,Connected,0,17\r\n");
    EXPECT_EQ(HistoryCsvRow(THistoryProbe{time, "a", prTimedOut, 17}, {}),
              "2026-12-08T14:02:11+01:00,a,,Timed Out,10,\r\n");
    EXPECT_EQ(HistoryCsvRow(THistoryChange{time, "a", prTimedOut}, {}),
              "2026-12-08T14:02:11+01:00,a,,Timed Out,10,\r\n");
    unsetenv("TZ");
    tzset();
}

} // namespace
