// What a scrape shows of the devices, and that rendering beside the main
// thread's writes is safe.

#include "core/metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// The lines of Text that start with Prefix.
std::vector<std::string> Lines(const std::string& Text, const std::string& Prefix) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos)
            end = Text.size();
        if (Text.compare(start, Prefix.size(), Prefix) == 0)
            lines.push_back(Text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(MetricsRegistry, DevicesShowTheirStateResultsAndCountsWithEscapedLabels) {
    TMetricsRegistry registry;
    registry.SetDevices({{"printer-2F", "Floor 2", "Printer"},
                         {"a\"b\\c\nd\x01\xff", "", "Router"},
                         {"idle", "never probed", "Computer"}});
    registry.SetScanning(true);
    registry.AddResult(0, prSuccess, 12, TAlertState::Unknown, 0, false);
    registry.AddResult(1, prTTLExpiredTransit, 0, TAlertState::Unknown, 0, true);
    registry.AddResult(1, prTTLExpiredReassem, 0, TAlertState::Down, 45000.5, false);
    const std::string text = registry.Render();

    const std::string printer = R"({host="printer-2F",description="Floor 2",type="Printer"})";
    const std::string hostile = "{host=\"a\\\"b\\\\c\\nd\xE2\x90\x81\xEF\xBF\xBD\","
                                "description=\"\",type=\"Router\"}";
    EXPECT_EQ(Lines(text, "sentrel_device_up{"),
              (std::vector<std::string>{"sentrel_device_up" + printer + " 1",
                                        "sentrel_device_up" + hostile + " 0"}));
    // A round trip only for an answered echo; the device never probed shows no state.
    EXPECT_EQ(Lines(text, "sentrel_device_rtt_seconds{"),
              (std::vector<std::string>{"sentrel_device_rtt_seconds" + printer + " 0.012"}));
    EXPECT_EQ(Lines(text, "sentrel_device_result{"),
              (std::vector<std::string>{"sentrel_device_result" + printer + " 0",
                                        "sentrel_device_result" + hostile + " 14"}));
    EXPECT_EQ(Lines(text, "sentrel_device_state_since_seconds{").size(), 1u);
    // Both kinds of "TTL Expired" in one series, as a scrape may hold a series once.
    const std::string hostileTtl =
        hostile.substr(0, hostile.size() - 1) + ",result=\"TTL Expired\"}";
    EXPECT_EQ(Lines(text, "sentrel_device_echoes_total{"),
              (std::vector<std::string>{"sentrel_device_echoes_total" +
                                            printer.substr(0, printer.size() - 1) +
                                            ",result=\"Connected\"} 1",
                                        "sentrel_device_echoes_total" + hostileTtl + " 2"}));
    EXPECT_EQ(Lines(text, "sentrel_device_state_changes_total{").size(), 3u);
    EXPECT_EQ(Lines(text, "# TYPE sentrel_device_up gauge").size(), 1u);
    EXPECT_EQ(Lines(text, "process_cpu_seconds_total ").size(), 1u);
    EXPECT_EQ(Lines(text, "sentrel_devices 3").size(), 1u);

    // Stopped: no state to show, the counters stay; a new list starts afresh.
    registry.SetScanning(false);
    const std::string stopped = registry.Render();
    EXPECT_TRUE(Lines(stopped, "sentrel_device_up{").empty());
    EXPECT_EQ(Lines(stopped, "sentrel_device_echoes_total{").size(), 2u);
    EXPECT_EQ(Lines(stopped, "sentrel_scanning 0").size(), 1u);
    registry.SetDevices({{"printer-2F", "Floor 2", "Printer"}});
    registry.AddResult(5, prSuccess, 1, TAlertState::Up, 45000.5, false); // past the end
    EXPECT_TRUE(Lines(registry.Render(), "sentrel_device_echoes_total{").empty());
}

TEST(MetricsRegistry, ScrapesWhileTheListIsReplacedAndFed) {
    TMetricsRegistry registry;
    std::atomic<bool> done{false};
    std::thread scraper([&] {
        std::string body;
        while (!done) {
            body.clear();
            registry.Render(body);
            ASSERT_NE(body.find("sentrel_devices "), std::string::npos);
        }
    });
    std::vector<TMetricsDevice> devices(200, TMetricsDevice{"host", "", "Computer"});
    for (int round = 0; round < 200; ++round) {
        if (round % 20 == 0)
            registry.SetDevices(devices);
        for (size_t i = 0; i < devices.size(); ++i)
            registry.AddResult(i, round % 3 == 0 ? prTimedOut : prSuccess, 5, TAlertState::Up,
                               45000 + round, round % 3 == 0);
    }
    done = true;
    scraper.join();
}

} // namespace
