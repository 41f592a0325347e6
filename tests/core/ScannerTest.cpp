#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/metrics/MetricsRegistry.h"
#include "tests/support/FakeIcmp.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono;

rlim_t OpenFileLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// A scanner wired to a queue the test drains, recording every event in order.
class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Winsock = new TqsWinsock(&Owner);
        Scanner = new TSentrelScanner(&Owner);
        Settings = new TSentrelSettings(&Owner);
        Scanner->SetDispatcher(&Queue);
        Scanner->OnPingReply = [this](TObject* sender, TqsPingReply* reply) {
            Events.push_back("reply " + Item(sender) + " " + reply->ResultText());
        };
        Scanner->OnStatusChange = [this](TObject* sender, const std::string& host,
                                         TPingResult oldStatus, TPingResult newStatus) {
            auto* item = static_cast<TDeviceScanner*>(sender);
            EXPECT_EQ(item->LastStatus, oldStatus); // still the old one during the event
            Events.push_back("change " + host + " " + PingResultText[oldStatus] + " -> " +
                             PingResultText[newStatus]);
        };
    }

    std::string Item(TObject* sender) {
        return static_cast<TDeviceScanner*>(sender)->DisplayName();
    }

    TDeviceData* AddDevice(const std::string& host, bool monitored = true,
                           TDeviceType type = dtComputer) {
        TDeviceData* d = Settings->Devices()->Add();
        d->SetHost(host);
        d->SetMonitored(monitored);
        d->SetDeviceType(type);
        return d;
    }

    // Makes every item ping fast, as the settings cannot (their unit is seconds).
    void FastIntervals(uint32_t ms = 5) {
        TqsPingDefaults fast;
        fast.Assign(Scanner->PingDefaults());
        fast.SetInterval(ms);
        for (int i = 0; i < Scanner->Scanners()->Count(); ++i)
            Scanner->Scanners()->Items(i)->SetPingDefaults(&fast);
    }

    size_t CountOf(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& e : Events)
            n += e.rfind(prefix, 0) == 0;
        return n;
    }

    void DrainUntil(const std::function<bool()>& done) {
        const auto deadline = steady_clock::now() + seconds(20);
        while (!done()) {
            ASSERT_LT(steady_clock::now(), deadline) << "events seen: " << Events.size();
            Queue.WaitAndDrain(milliseconds(50));
        }
    }

    TQueueDispatcher Queue;
    TComponent Owner{nullptr};
    TqsWinsock* Winsock = nullptr;
    TSentrelScanner* Scanner = nullptr;
    TSentrelSettings* Settings = nullptr;
    std::vector<std::string> Events;
};

TEST_F(ScannerTest, OnlyMonitoredDevicesPingAndEveryDeviceHasAnItem) {
    AddDevice("127.0.0.1");
    AddDevice("127.0.0.2", false, dtPrinter);
    AddDevice("127.0.0.3", true, dtRouter);
    Scanner->LoadFromSettings(Settings);
    ASSERT_EQ(Scanner->Scanners()->Count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Scanner->Scanners()->Items(i)->Device, Settings->Devices()->Items(i));
        EXPECT_EQ(Scanner->Scanners()->Items(i)->Log()->Capacity(), 50);
        EXPECT_FALSE(Scanner->Scanners()->Items(i)->Log()->RecordHost());
    }
    EXPECT_EQ(Scanner->Winsock(), Winsock);
    Scanner->SetActive(true);
    EXPECT_TRUE(Scanner->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(0)->Active());
    EXPECT_FALSE(Scanner->Scanners()->Items(1)->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(2)->Active());

    DrainUntil([&] { return CountOf("change") == 2; });
    // Each device's first reply comes before its change, which starts from Unknown.
    for (const std::string host : {"127.0.0.1", "127.0.0.3"}) {
        const auto reply = std::find(Events.begin(), Events.end(), "reply " + host + " Connected");
        const auto change =
            std::find(Events.begin(), Events.end(), "change " + host + " Unknown -> Connected");
        ASSERT_NE(reply, Events.end());
        ASSERT_NE(change, Events.end());
        EXPECT_LT(reply, change);
    }
    EXPECT_EQ(Scanner->Scanners()->Items(0)->Log()->Count(), 1);
    EXPECT_EQ(Scanner->Scanners()->Items(1)->Log()->Count(), 0);
    EXPECT_EQ(Scanner->Scanners()->Items(0)->Log()->Records(0).Host, "127.0.0.1");
    EXPECT_EQ(Scanner->Scanners()->Items(0)->Log()->Records(0).Status, prSuccess);

    Scanner->SetActive(false);
    EXPECT_FALSE(Scanner->Active());
    const size_t seen = Events.size();
    Queue.Drain(); // replies still queued from the stopped workers are dropped
    EXPECT_EQ(Events.size(), seen);
}

class ScriptedScannerTest : public ScannerTest {
protected:
    FakeIcmp Fake;
};

TEST_F(ScriptedScannerTest, ChangesAreLoggedOnceEachAndRepeatsOnlyReply) {
    AddDevice("127.0.0.1");
    Settings->DeviceLogSize = 10;
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return CountOf("reply") >= 3; });
    EXPECT_EQ(CountOf("change"), 1u); // the same result again changes nothing

    Fake.Script({.Count = 0, .LastError = 11010});
    DrainUntil([&] { return CountOf("change") == 2; });
    Fake.Script({});
    DrainUntil([&] { return CountOf("change") == 3; });
    Scanner->SetActive(false);

    std::vector<std::string> changes;
    for (const auto& e : Events)
        if (e.rfind("change", 0) == 0)
            changes.push_back(e);
    EXPECT_EQ(changes, (std::vector<std::string>{"change 127.0.0.1 Unknown -> Connected",
                                                 "change 127.0.0.1 Connected -> Timed Out",
                                                 "change 127.0.0.1 Timed Out -> Connected"}));
    TStatusLog* log = Scanner->Scanners()->Items(0)->Log();
    ASSERT_EQ(log->Count(), 3);
    EXPECT_EQ(log->Records(1).Status, prTimedOut);
    EXPECT_EQ(log->Records(2).Status, prSuccess);
}

TEST_F(ScriptedScannerTest, StopThenStartReportsEveryDeviceAfresh) {
    AddDevice("127.0.0.1");
    AddDevice("127.0.0.2");
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return CountOf("change") == 2; });
    Scanner->SetActive(false);
    Scanner->SetActive(true);
    DrainUntil([&] { return CountOf("change") == 4; });
    EXPECT_EQ(CountOf("change 127.0.0.1 Unknown -> Connected"), 2u);
    EXPECT_EQ(CountOf("change 127.0.0.2 Unknown -> Connected"), 2u);
}

TEST_F(ScriptedScannerTest, ReloadOnARunningScannerStopsItWithEmptyLogs) {
    AddDevice("127.0.0.1");
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return CountOf("change") == 1; });
    Settings->DeviceLogSize = 7;
    AddDevice("127.0.0.9");
    Scanner->LoadFromSettings(Settings);
    EXPECT_FALSE(Scanner->Active());
    ASSERT_EQ(Scanner->Scanners()->Count(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(Scanner->Scanners()->Items(i)->Active());
        EXPECT_EQ(Scanner->Scanners()->Items(i)->Log()->Count(), 0);
        EXPECT_EQ(Scanner->Scanners()->Items(i)->Log()->Capacity(), 7);
    }
    const size_t seen = Events.size();
    Queue.Drain(); // replies of the destroyed items go nowhere
    EXPECT_EQ(Events.size(), seen);
}

TEST_F(ScriptedScannerTest, ReplyOfAHostStoppedByNewParametersIsDropped) {
    AddDevice("127.0.0.1");
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    Fake.WaitForSend(2);
    TqsPingDefaults same;
    same.Assign(Scanner->PingDefaults());
    Scanner->Scanners()->Items(0)->SetPingDefaults(&same); // stops the host
    Queue.Drain();
    EXPECT_TRUE(Events.empty());
}

TEST_F(ScriptedScannerTest, EchoParametersComeFromTheSettings) {
    AddDevice("127.0.0.1");
    Settings->PingInterval = 15;
    Settings->EchoTimeOut = 3000;
    Settings->EchoRequestSize = 65537;
    Settings->IPTimeToLive = 300;
    Scanner->LoadFromSettings(Settings);
    TqsPingDefaults* d = Scanner->Scanners()->Items(0)->InternetHost()->PingSettings();
    EXPECT_EQ(d->Interval(), 15000u);
    EXPECT_EQ(d->Timeout(), 3000u);
    EXPECT_EQ(d->DataSize(), 1u);
    EXPECT_EQ(d->TTL(), 44u);
    Settings->IPTimeToLive = 256;
    Scanner->LoadFromSettings(Settings);
    EXPECT_EQ(Scanner->PingDefaults()->TTL(), 0u);
}

TEST_F(ScriptedScannerTest, AddressSettingsReachTheHostsWithinBounds) {
    AddDevice("127.0.0.1");
    EXPECT_EQ(Scanner->PingDefaults()->Preference(), TAddressPreference::IPv4First);
    for (const auto& [prefer, minutes, preference, every] :
         {std::tuple<int32_t, int32_t, TAddressPreference, uint32_t>{
              1, 10, TAddressPreference::IPv6First, 600000u},
          {2, 0, TAddressPreference::IPv4Only, 0u},
          // A policy's values are not checked on load.
          {7, 100000, TAddressPreference::IPv4First, 1440u * 60000u},
          {-1, -5, TAddressPreference::IPv4First, 0u}}) {
        Settings->Addresses = {prefer, minutes};
        Scanner->LoadFromSettings(Settings);
        const TqsPingDefaults* d = Scanner->Scanners()->Items(0)->InternetHost()->PingSettings();
        EXPECT_EQ(d->Preference(), preference) << prefer;
        EXPECT_EQ(d->ResolveEvery(), every) << minutes;
    }
}

TEST_F(ScriptedScannerTest, AnAddressChangeIsLoggedAndRaisedOnce) {
    AddDevice("printer-2F");
    Scanner->LoadFromSettings(Settings);
    TDeviceScanner* item = Scanner->Scanners()->Items(0);
    item->SetLogSize(10);
    item->LastStatus = prUnknown; // as a start leaves it
    std::vector<std::string> raised;
    Scanner->OnAddressChange = [&](TDeviceScanner* sender, const std::string& host,
                                   const std::string& address) {
        EXPECT_EQ(sender, item);
        raised.push_back(host + " " + address);
    };
    TqsPingReply reply;
    reply.HostName = "printer-2F";
    reply.IPAddress = "10.0.0.9";
    reply.AddressChanged = true;
    reply.PreviousIPAddress = "10.0.0.8";
    item->HostPingReply(item->InternetHost(), &reply);
    reply.AddressChanged = false;
    item->HostPingReply(item->InternetHost(), &reply);
    EXPECT_EQ(raised, std::vector<std::string>{"printer-2F 10.0.0.9"});
    // The status change of the first reply, then the move.
    ASSERT_EQ(item->Log()->Count(), 2);
    EXPECT_FALSE(item->Log()->Records(0).AddressChange());
    EXPECT_EQ(item->Log()->Records(1).Host, "printer-2F");
    EXPECT_EQ(item->Log()->Records(1).NewAddress, "10.0.0.9");
}

TEST_F(ScriptedScannerTest, StoredEchoTimeoutsAreKeptWithinTheDialogsRange) {
    AddDevice("127.0.0.1");
    for (const auto& [stored, used] :
         {std::pair<int32_t, uint32_t>{-1, 30000u}, {30001, 30000u}, {0, 1u}, {30000, 30000u}}) {
        Settings->EchoTimeOut = stored; // -1 is dword:ffffffff as read
        Scanner->LoadFromSettings(Settings);
        EXPECT_EQ(Scanner->PingDefaults()->Timeout(), used) << stored;
        EXPECT_EQ(Settings->EchoTimeOut, stored);
    }
}

TEST(ScannerInterval, StoredIntervalsAreKeptWithinOneSecondToOneDay) {
    EXPECT_EQ(TSentrelScanner::IntervalFromSeconds(15), 15000u);
    EXPECT_EQ(TSentrelScanner::IntervalFromSeconds(0), 1000u);
    EXPECT_EQ(TSentrelScanner::IntervalFromSeconds(-20), 1000u);
    EXPECT_EQ(TSentrelScanner::IntervalFromSeconds(86400), 86400000u);
    EXPECT_EQ(TSentrelScanner::IntervalFromSeconds(2147483647), 86400000u);
}

TEST_F(ScriptedScannerTest, DottedHostsShowInTheirNormalForm) {
    AddDevice("127.000.000.001");
    Scanner->LoadFromSettings(Settings);
    EXPECT_EQ(Scanner->Scanners()->Items(0)->DisplayName(), "127.0.0.1");
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return CountOf("change") == 1; });
    EXPECT_EQ(Events.back(), "change 127.0.0.1 Unknown -> Connected");
    EXPECT_EQ(Scanner->Scanners()->Items(0)->Log()->Records(0).Host, "127.0.0.1");
}

TEST_F(ScriptedScannerTest, IPv6HostsShowInTheirCanonicalFormInTheListAndTheMetricsLabels) {
    TMetricsRegistry metrics;
    Scanner->SetMetrics(&metrics);
    AddDevice("FE80:0::1%eth0");
    AddDevice("[fd00::1]");
    Scanner->LoadFromSettings(Settings);
    // The list's row, the history and the logs take the host from here: as
    // a dotted address, one spelling of each address, the zone kept.
    EXPECT_EQ(Scanner->Scanners()->Items(0)->DisplayName(), "fe80::1%eth0");
    EXPECT_EQ(Scanner->Scanners()->Items(1)->DisplayName(), "fd00::1");
    const std::string body = metrics.Render();
    EXPECT_NE(body.find("host=\"fe80::1%eth0\""), std::string::npos) << body;
    EXPECT_NE(body.find("host=\"fd00::1\""), std::string::npos) << body;
    Scanner->SetMetrics(nullptr);
}

TEST_F(ScriptedScannerTest, StartFailureSkipsOnlyTheFailingDeviceAndALaterStartResumes) {
    AddDevice("127.0.0.1");
    AddDevice("printer1"); // needs a name lookup, and the scanner has no session
    AddDevice("127.0.0.3");
    Scanner->SetWinsock(nullptr);
    delete Winsock;
    Winsock = nullptr;
    Scanner->LoadFromSettings(Settings);
    // Without a handler the error leaves Start, of its own class.
    try {
        Scanner->SetActive(true);
        ADD_FAILURE() << "no error";
    } catch (const EWinsockError& e) {
        EXPECT_NE(std::string(e.what()).find("\nNot started: printer1"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(Scanner->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(0)->Active());
    EXPECT_FALSE(Scanner->Scanners()->Items(1)->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(2)->Active());

    Scanner->SetActive(false);
    Scanner->Scanners()->Items(1)->Monitored = false; // what an operator would then do
    Scanner->SetActive(true);
    EXPECT_TRUE(Scanner->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(0)->Active());
    EXPECT_TRUE(Scanner->Scanners()->Items(2)->Active());
}

// Slices of two devices each, the rest handed to the queue.
class SlicedStartTest : public ScriptedScannerTest {
protected:
    void SetUp() override {
        ScriptedScannerTest::SetUp();
        Scanner->SetStartSlice(2, microseconds(0));
        Scanner->OnStartError = [this](TObject*, const std::exception_ptr& error) {
            try {
                std::rethrow_exception(error);
            } catch (const EICMPError& e) {
                Errors.push_back(e.what());
            } catch (...) {
                Errors.push_back("not an ICMP error");
            }
        };
        for (int i = 1; i <= 8; ++i)
            AddDevice("127.0.0." + std::to_string(i));
        Scanner->LoadFromSettings(Settings);
    }

    int Probing() const {
        int n = 0;
        for (int i = 0; i < Scanner->Scanners()->Count(); ++i)
            n += Scanner->Scanners()->Items(i)->Active();
        return n;
    }

    std::vector<std::string> Errors;
};

TEST_F(SlicedStartTest, DevicesThatFailToStartAreNamedOnceAndTheOthersProbeUntilStop) {
    Fake.FailCreateCalls({1, 3, 4, 5, 6});
    Scanner->SetActive(true);
    EXPECT_TRUE(Scanner->Active());
    EXPECT_TRUE(Scanner->Starting());
    DrainUntil([&] { return !Scanner->Starting(); });
    Queue.Drain();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "ICMP Error: Could not open handle: too many open files (limit " +
                             std::to_string(OpenFileLimit()) +
                             ")\nNot started: 127.0.0.2, 127.0.0.4, 127.0.0.5 and 2 more");
    EXPECT_TRUE(Scanner->Active()); // so Stop stays offered
    EXPECT_EQ(Probing(), 3);
    EXPECT_EQ(Fake.OpenHandles(), 3);
    DrainUntil([&] { return CountOf("change") == 3; });

    Scanner->SetActive(false);
    EXPECT_FALSE(Scanner->Active());
    EXPECT_EQ(Probing(), 0);
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST_F(SlicedStartTest, AStartWhereNothingStartsCountsAsStopped) {
    Fake.FailCreate(true);
    Scanner->SetActive(true);
    DrainUntil([&] { return !Scanner->Starting(); });
    EXPECT_EQ(Errors, std::vector<std::string>{"ICMP Error: Could not open handle"});
    EXPECT_FALSE(Scanner->Active());
}

TEST_F(SlicedStartTest, StopRebuildOrDestructionDuringAStartStartsNothingMore) {
    Scanner->SetActive(true);
    EXPECT_EQ(Probing(), 2);
    Scanner->SetActive(false);
    EXPECT_FALSE(Scanner->Starting());
    Queue.Drain();
    EXPECT_EQ(Probing(), 0);
    EXPECT_EQ(Fake.OpenHandles(), 0);

    // A new start after a cancelled one takes up every device.
    Scanner->SetActive(true);
    Scanner->SetActive(false);
    Scanner->SetActive(true);
    DrainUntil([&] { return !Scanner->Starting(); });
    EXPECT_EQ(Probing(), 8);
    Scanner->SetActive(false);

    Scanner->SetActive(true);
    Scanner->LoadFromSettings(Settings);
    Queue.Drain();
    EXPECT_FALSE(Scanner->Active());
    EXPECT_EQ(Probing(), 0);
    EXPECT_EQ(Fake.OpenHandles(), 0);

    Scanner->SetActive(true);
    delete Scanner;
    Scanner = nullptr;
    Queue.Drain();
    EXPECT_EQ(Fake.OpenHandles(), 0);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(ScriptedScannerTest, DestructionStopsEverything) {
    for (int i = 1; i <= 20; ++i)
        AddDevice("127.0.0." + std::to_string(i));
    Scanner->LoadFromSettings(Settings);
    Scanner->SetActive(true);
    delete Scanner;
    Scanner = nullptr;
    EXPECT_EQ(Fake.OpenHandles(), 0);
    Queue.Drain(); // replies of the destroyed items must go nowhere
    EXPECT_TRUE(Events.empty());
}

} // namespace

TEST_F(ScriptedScannerTest, RepliesFeedTheStatisticsBeforeTheyAreRaisedAndAStartResetsThem) {
    AddDevice("127.0.0.1");
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Fake.Script({.RoundTrip = 7});
    const TDeviceScanner* device = Scanner->Scanners()->Items(0);
    uint64_t probesAtReply = 0;
    Scanner->OnPingReply = [&](TObject*, TqsPingReply*) {
        probesAtReply = device->Stats().Probes();
    };
    Scanner->SetActive(true);
    DrainUntil([&] { return probesAtReply >= 2; });
    EXPECT_EQ(device->Stats().LastRtt(), 7u);
    Scanner->SetActive(false);
    Scanner->SetActive(true);
    EXPECT_EQ(device->Stats().Probes(), 0u);
    EXPECT_DOUBLE_EQ(device->Stats().Availability(Now()).value_or(0), 100.0);
    Scanner->SetActive(false);
}

TEST_F(ScriptedScannerTest, AlertStatesAreCountedAndAStopForgetsThem) {
    AddDevice("127.0.0.1");
    AddDevice("127.0.0.2");
    AddDevice("127.0.0.3", false);
    Settings->Alerts.DownAfter = 2;
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    std::vector<TAlertChange> changes;
    Scanner->OnAlertChange = [&](TDeviceScanner*, const TAlertChange& change) {
        changes.push_back(change);
    };
    const auto count = [&](TAlertState state, bool silent) {
        return std::count_if(changes.begin(), changes.end(), [&](const TAlertChange& c) {
            return c.NewState == state && c.Silent == silent;
        });
    };
    Scanner->SetActive(true);
    DrainUntil([&] { return changes.size() == 2; });
    EXPECT_EQ(count(TAlertState::Up, true), 2);
    EXPECT_EQ(Scanner->AlertCount(TAlertState::Up), 2);
    EXPECT_EQ(Scanner->MonitoredCount(), 2);

    Fake.Script({.Count = 0, .LastError = 11010});
    DrainUntil([&] { return Scanner->AlertCount(TAlertState::Down) == 2; });
    EXPECT_EQ(count(TAlertState::Down, false), 2);
    EXPECT_EQ(Scanner->AlertCount(TAlertState::Up), 0);
    EXPECT_EQ(Scanner->DownHosts(1), std::vector<std::string>{"127.0.0.1"});

    Scanner->SetActive(false);
    EXPECT_EQ(Scanner->AlertCount(TAlertState::Down), 0);
    EXPECT_EQ(Scanner->AlertCount(TAlertState::Unknown), 2);
    // Down from the start: shown, not announced.
    Scanner->SetActive(true);
    DrainUntil([&] { return count(TAlertState::Down, true) == 2; });
    Scanner->SetActive(false);
}

// The line of Host in the series sentrel_device_up, "" when there is none.
std::string UpLine(const TMetricsRegistry& Metrics, const std::string& Host) {
    const std::string body = "\n" + Metrics.Render();
    const std::string host = "host=\"" + EscapeLabelValue(Host) + "\"";
    for (size_t at = body.find("\nsentrel_device_up{"); at != std::string::npos;
         at = body.find("\nsentrel_device_up{", at + 1)) {
        const std::string line = body.substr(at + 1, body.find('\n', at + 1) - at - 1);
        if (line.find(host) != std::string::npos)
            return line;
    }
    return "";
}

TEST_F(ScriptedScannerTest, RepliesAndScanningFeedTheMetricsOfTheDevicesLoaded) {
    TMetricsRegistry metrics;
    Scanner->SetMetrics(&metrics);
    AddDevice("127.0.0.1")->SetDescription("desk \"A\" \\ 1");
    AddDevice("127.0.0.2", false);
    AddDevice("127.0.0.3", true, dtRouter);
    Settings->Alerts.DownAfter = 1;
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return UpLine(metrics, "127.0.0.3").ends_with(" 1"); });
    DrainUntil([&] { return UpLine(metrics, "127.0.0.1").ends_with(" 1"); });
    const std::string desk = UpLine(metrics, "127.0.0.1");
    EXPECT_NE(desk.find("description=\"desk \\\"A\\\" \\\\ 1\""), std::string::npos) << desk;
    EXPECT_NE(desk.find("type=\"Computer\""), std::string::npos) << desk;
    EXPECT_NE(UpLine(metrics, "127.0.0.3").find("type=\"Router\""), std::string::npos);
    EXPECT_FALSE(UpLine(metrics, "127.0.0.2").ends_with(" 1")); // not monitored: never up

    Fake.Script({.Count = 0, .LastError = 11010});
    DrainUntil([&] {
        return UpLine(metrics, "127.0.0.1").ends_with(" 0") &&
               UpLine(metrics, "127.0.0.3").ends_with(" 0");
    });
    // Stopped, the devices show no state.
    Scanner->SetActive(false);
    EXPECT_FALSE(UpLine(metrics, "127.0.0.1").ends_with(" 0")) << metrics.Render();
    // A reload hands the new list over: a device gone is gone from the
    // figures, and the others' replies land on their own new places.
    delete Settings->Devices()->Items(0);
    Scanner->LoadFromSettings(Settings);
    FastIntervals();
    Scanner->SetActive(true);
    DrainUntil([&] { return UpLine(metrics, "127.0.0.3").ends_with(" 0"); });
    EXPECT_EQ(UpLine(metrics, "127.0.0.1"), "");
    EXPECT_FALSE(UpLine(metrics, "127.0.0.2").ends_with(" 0"));
    Scanner->SetActive(false);
    Scanner->SetMetrics(nullptr);
}
