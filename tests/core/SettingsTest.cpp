#include "core/SentrelSettingsCM.h"
#include "platform/Process.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using platform::TRegistry;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    TempConfig Config;

    // Writes a settings file with the given body below the header.
    void WriteFile(const std::string& body) {
        Config.Write(Config.SettingsFile(), "Windows Registry Editor Version 5.00\n\n" + body);
    }
    // A complete settings key, as the program writes it.
    static std::string FullSettingsKey() {
        std::string key = "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n";
        for (const char* name :
             {"AutoScan", "ShowWindow", "AllowEchoChange", "AllowDeviceChanges", "AllowClearLog",
              "AllowChangeLogSize", "ECHORequestSize", "IPTimeToLive", "ECHOTimeout",
              "PingInterval", "SystemLogSize", "DeviceLogSize"})
            key += std::string("\"") + name + "\"=dword:00000001\n";
        return key;
    }
};

TEST_F(SettingsTest, FirstStartKeepsDefaultsButAutostartIsOff) {
    TSentrelSettings s(nullptr);
    int loaded = 0;
    s.AfterLoad = [&](TObject* sender) {
        EXPECT_EQ(sender, &s);
        ++loaded;
    };
    s.Load();
    EXPECT_EQ(loaded, 1);
    EXPECT_FALSE(s.AutoStart);
    EXPECT_TRUE(s.AutoScan);
    EXPECT_TRUE(s.ShowWindow);
    EXPECT_TRUE(s.AllowClearLog);
    EXPECT_EQ(s.EchoRequestSize, 4);
    EXPECT_EQ(s.IPTimeToLive, 64);
    EXPECT_EQ(s.EchoTimeOut, 3000);
    EXPECT_EQ(s.PingInterval, 15);
    EXPECT_EQ(s.DeviceLogSize, 50);
    EXPECT_EQ(s.SystemLogSize, 100);
    EXPECT_EQ(s.FormWidth, 0);
    EXPECT_EQ(s.Devices()->Count(), 0);
}

TEST_F(SettingsTest, EveryPropertyRoundTrips) {
    TSentrelSettings s(nullptr);
    s.AutoStart = false;
    s.AutoScan = false;
    s.ShowWindow = false;
    s.AllowEchoChange = false;
    s.AllowDeviceChanges = true;
    s.AllowClearLog = false;
    s.AllowChangeLogSize = true;
    s.FormTop = -20;
    s.FormLeft = 1900;
    s.FormWidth = 312;
    s.FormHeight = 259;
    s.EchoRequestSize = 4096;
    s.IPTimeToLive = 1;
    s.EchoTimeOut = 30000;
    s.PingInterval = 1000;
    s.DeviceLogSize = -3;
    s.SystemLogSize = 2147483647;
    TDeviceData* d = s.Devices()->Add();
    d->SetHost("printer1");
    d->SetDescription("2nd floor \"east\" C:\\spool");
    d->SetDeviceType(dtInterface);
    d->SetMonitored(false);
    s.Save();

    TSentrelSettings t(nullptr);
    t.Load();
    EXPECT_FALSE(t.AutoStart);
    EXPECT_FALSE(t.AutoScan);
    EXPECT_FALSE(t.ShowWindow);
    EXPECT_FALSE(t.AllowEchoChange);
    EXPECT_TRUE(t.AllowDeviceChanges);
    EXPECT_FALSE(t.AllowClearLog);
    EXPECT_TRUE(t.AllowChangeLogSize);
    EXPECT_EQ(t.FormTop, -20);
    EXPECT_EQ(t.FormLeft, 1900);
    EXPECT_EQ(t.FormWidth, 312);
    EXPECT_EQ(t.FormHeight, 259);
    EXPECT_EQ(t.EchoRequestSize, 4096);
    EXPECT_EQ(t.IPTimeToLive, 1);
    EXPECT_EQ(t.EchoTimeOut, 30000);
    EXPECT_EQ(t.PingInterval, 1000);
    EXPECT_EQ(t.DeviceLogSize, -3);
    EXPECT_EQ(t.SystemLogSize, 2147483647);
    ASSERT_EQ(t.Devices()->Count(), 1);
    TDeviceData* e = t.Devices()->Items(0);
    EXPECT_EQ(e->Host(), "printer1");
    EXPECT_EQ(e->Description(), "2nd floor \"east\" C:\\spool");
    EXPECT_EQ(e->DeviceType(), dtInterface);
    EXPECT_FALSE(e->Monitored());
}

TEST_F(SettingsTest, AutostartEntryFollowsTheFlagAndItsRemovalOutside) {
    TSentrelSettings s(nullptr);
    s.AutoStart = true;
    s.Save();
    const std::string entry = TRegistry::AutostartPath("Sentrel");
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_NE(Config.Read(entry).find(platform::ExecutablePath()), std::string::npos);
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(RunKey, false));
        EXPECT_EQ(registry.ReadString("Sentrel"), platform::ExecutablePath());
    }
    TSentrelSettings t(nullptr);
    t.Load();
    EXPECT_TRUE(t.AutoStart);

    fs::remove(entry); // the user switched it off in the desktop's own settings
    t.Load();
    EXPECT_FALSE(t.AutoStart);
    t.AutoStart = true;
    t.Save();
    t.AutoStart = false;
    t.Save();
    EXPECT_FALSE(fs::exists(entry));
}

TEST_F(SettingsTest, MissingValueStopsLoadAfterWhatCameBefore) {
    WriteFile("[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n"
              "\"AutoScan\"=dword:00000000\n\"ShowWindow\"=dword:00000000\n"
              "\"AllowEchoChange\"=dword:00000000\n\"AllowDeviceChanges\"=dword:00000000\n"
              "\"AllowClearLog\"=dword:00000000\n\"AllowChangeLogSize\"=dword:00000000\n"
              "\"ECHORequestSize\"=dword:00000020\n\"IPTimeToLive\"=dword:00000020\n"
              "\"ECHOTimeout\"=dword:00000020\n\"PingInterval\"=dword:00000020\n"
              "\"SystemLogSize\"=dword:00000020\n");
    TSentrelSettings s(nullptr);
    int loaded = 0;
    s.AfterLoad = [&](TObject*) { ++loaded; };
    try {
        s.Load();
        FAIL() << "no error";
    } catch (const platform::ERegistryException& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Failed to get data for 'DeviceLogSize' ("))
            << e.what();
    }
    EXPECT_EQ(loaded, 0);
    EXPECT_FALSE(s.AutoScan);
    EXPECT_EQ(s.SystemLogSize, 32);
    EXPECT_EQ(s.DeviceLogSize, 50);
}

TEST_F(SettingsTest, WrongTypesAreReportedByName) {
    WriteFile("[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n"
              "\"AutoScan\"=\"yes\"\n");
    TSentrelSettings s(nullptr);
    try {
        s.Load();
        FAIL() << "no error";
    } catch (const platform::ERegistryException& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Invalid data type for 'AutoScan' ("))
            << e.what();
    }
    WriteFile(FullSettingsKey() +
              "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\a]\n"
              "\"Host\"=dword:00000001\n");
    try {
        s.Load();
        FAIL() << "no error";
    } catch (const platform::ERegistryException& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Invalid data type for 'Host' ("))
            << e.what();
    }
}

TEST_F(SettingsTest, DevicesThatWouldShareAKeyAllComeBack) {
    TSentrelSettings s(nullptr);
    const std::vector<std::string> hosts = {"Printer1", "printer1", "PRINTER1", "a\\b",
                                            "a/b",      "",         "x\ny",     "(no host)"};
    for (const auto& host : hosts)
        s.Devices()->Add()->SetHost(host);
    s.Save();
    TSentrelSettings t(nullptr);
    t.Load();
    std::multiset<std::string> loaded, saved(hosts.begin(), hosts.end());
    for (int i = 0; i < t.Devices()->Count(); ++i)
        loaded.insert(t.Devices()->Items(i)->Host());
    EXPECT_EQ(loaded, saved);
}

TEST_F(SettingsTest, DeviceTypeOutsideTheKnownOnesIsKeptAsRead) {
    WriteFile(FullSettingsKey() +
              "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\odd]\n"
              "\"Host\"=\"odd\"\n\"DeviceType\"=dword:00000109\n\"Monitored\"=dword:00000002\n"
              "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\nic]\n"
              "\"Host\"=\"nic\"\n\"DeviceType\"=dword:00000005\n\"Monitored\"=dword:00000000\n");
    TSentrelSettings s(nullptr);
    s.Load();
    ASSERT_EQ(s.Devices()->Count(), 2);
    EXPECT_EQ(s.Devices()->Items(0)->Host(), "nic");
    EXPECT_EQ(s.Devices()->Items(0)->DeviceType(), dtInterface);
    EXPECT_EQ(static_cast<int>(s.Devices()->Items(1)->DeviceType()), 9);
    EXPECT_TRUE(s.Devices()->Items(1)->Monitored());
}

TEST_F(SettingsTest, DeletedDeviceIsGoneAfterSave) {
    TSentrelSettings s(nullptr);
    s.Devices()->Add()->SetHost("a");
    s.Devices()->Add()->SetHost("b");
    s.Save();
    delete s.Devices()->Items(0);
    s.Save();
    TSentrelSettings t(nullptr);
    t.Load();
    ASSERT_EQ(t.Devices()->Count(), 1);
    EXPECT_EQ(t.Devices()->Items(0)->Host(), "b");
}

TEST_F(SettingsTest, BeforeSaveChangesAreSaved) {
    TSentrelSettings s(nullptr);
    s.BeforeSave = [&](TObject*) { s.PingInterval = 77; };
    s.Save();
    TSentrelSettings t(nullptr);
    t.Load();
    EXPECT_EQ(t.PingInterval, 77);
}

TEST_F(SettingsTest, BrokenFileIsReportedAndKeptAside) {
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\x]\n"
                               "\"AutoScan\"=dword:zz\n";
    Config.Write(Config.SettingsFile(), broken);
    TSentrelSettings s(nullptr);
    try {
        s.Load();
        FAIL() << "no error";
    } catch (const platform::ERegistryException& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(Config.SettingsFile()), std::string::npos) << message;
        EXPECT_NE(message.find("line 4"), std::string::npos) << message;
    }
    s.Save();
    bool kept = false;
    for (const auto& entry : fs::directory_iterator(fs::path(Config.SettingsFile()).parent_path()))
        if (entry.path().filename().string().find("broken") != std::string::npos)
            kept = kept || Config.Read(entry.path()) == broken;
    EXPECT_TRUE(kept);
    TSentrelSettings t(nullptr);
    EXPECT_NO_THROW(t.Load());
}

TEST_F(SettingsTest, TenThousandDevicesComeBack) {
    TSentrelSettings s(nullptr);
    for (int i = 0; i < 10000; ++i) {
        TDeviceData* d = s.Devices()->Add();
        d->SetHost("host-" + std::to_string(i));
        d->SetDeviceType(static_cast<TDeviceType>(i % 6));
    }
    const auto t0 = std::chrono::steady_clock::now();
    s.Save();
    const auto t1 = std::chrono::steady_clock::now();
    TSentrelSettings t(nullptr);
    t.Load();
    const auto t2 = std::chrono::steady_clock::now();
    ASSERT_EQ(t.Devices()->Count(), 10000);
    std::set<std::string> hosts;
    for (int i = 0; i < 10000; ++i)
        hosts.insert(t.Devices()->Items(i)->Host());
    EXPECT_EQ(hosts.size(), 10000u);
    using ms = std::chrono::milliseconds;
    std::printf("10,000 devices: save %lld ms, load %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<ms>(t1 - t0).count()),
                static_cast<long long>(std::chrono::duration_cast<ms>(t2 - t1).count()));
}

TEST(DeviceKeyNames, UniqueWithoutRegardToCaseAndFreeOfSeparators) {
    TDeviceDataCollection devices(nullptr);
    for (const char* host : {"a\\b", "A/B", "x", "X", "x (2)", ""})
        devices.Add()->SetHost(host);
    const auto names = DeviceKeyNames(devices);
    std::set<std::string> lowered;
    for (std::string name : names) {
        EXPECT_EQ(name.find('\\'), std::string::npos);
        EXPECT_FALSE(name.empty());
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        lowered.insert(name);
    }
    EXPECT_EQ(lowered.size(), names.size());
    EXPECT_EQ(names[2], "x"); // an unshared host keeps its own name
}

TEST(DeviceKeyNames, EachSharedHostTakesTheFirstFreeNumber) {
    TDeviceDataCollection devices(nullptr);
    for (const char* host : {"a", "A", "a (3)", "a", "x", "a", "A (5)"})
        devices.Add()->SetHost(host);
    EXPECT_EQ(DeviceKeyNames(devices), (std::vector<std::string>{"a", "A (2)", "a (3)", "a (4)",
                                                                 "x", "a (5)", "A (5) (2)"}));
}

TEST(DeviceKeyNames, ALongHostIsCutBeforeTheCharacterThatWouldCrossTheLimit) {
    TDeviceDataCollection devices(nullptr);
    devices.Add()->SetHost(std::string(199, 'a') + "\xC3\xA9"); // 2-byte e-acute at 199-200
    EXPECT_EQ(DeviceKeyNames(devices), std::vector<std::string>{std::string(199, 'a')});
}

} // namespace

TEST_F(SettingsTest, AFileWithAValueThatCannotBeReadIsKeptAsideAndTheNextSaveStartsAfresh) {
    const std::string device = "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // One Boolean removed by hand.
        {"[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n\"AutoScan\"=dword:00000000\n",
         "Failed to get data for 'ShowWindow'"},
        // A device's flag written as a string, with devices before and after it.
        {FullSettingsKey() + device + "a]\n\"Host\"=\"a\"\n\"DeviceType\"=dword:0\n" +
             "\"Monitored\"=dword:1\n" + device + "b]\n\"Host\"=\"b\"\n" +
             "\"DeviceType\"=dword:0\n\"Monitored\"=\"1\"\n" + device +
             "c]\n\"Host\"=\"c\"\n\"DeviceType\"=dword:0\n\"Monitored\"=dword:1\n",
         "Invalid data type for 'Monitored'"},
    };
    const auto folder = fs::path(Config.SettingsFile()).parent_path();
    for (const auto& [body, error] : cases) {
        WriteFile(body);
        const std::string original = Config.Read(Config.SettingsFile());
        TSentrelSettings s(nullptr);
        std::string message;
        try {
            s.Load();
        } catch (const platform::ERegistryException& e) {
            message = e.what();
        }
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().starts_with("settings.reg.broken-"))
                aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u) << message;
        EXPECT_EQ(message,
                  error + " (the settings file was moved aside to \"" + aside[0].string() + "\")");
        EXPECT_EQ(Config.Read(aside[0]), original);
        s.Save(); // as at Shutdown: a new file, the old one left alone
        EXPECT_EQ(Config.Read(aside[0]), original);
        TSentrelSettings t(nullptr);
        EXPECT_NO_THROW(t.Load());
        fs::remove(aside[0]);
    }
}

TEST_F(SettingsTest, AlertValuesAreOptionalAndRoundTripBesideTheOthers) {
    // A file of the older reader: no Alerts key at all.
    WriteFile(FullSettingsKey());
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_EQ(s.Alerts.DownAfter, 3);
    EXPECT_EQ(s.Alerts.UpAfter, 1);
    EXPECT_TRUE(s.Alerts.Notify);
    EXPECT_FALSE(s.Alerts.Sound);
    EXPECT_FALSE(s.Alerts.ProblemsFirst);
    EXPECT_TRUE(s.Alerts.AllowAlertChanges);
    EXPECT_EQ(s.Alerts.Command, "");

    // Values of the wrong type or missing keep their defaults; the rest load.
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Alerts]\n"
              "\"DownAfter\"=\"five\"\n\"UpAfter\"=dword:00000002\n\"Sound\"=dword:00000001\n"
              "\"Command\"=dword:00000001\n");
    s.Load();
    EXPECT_EQ(s.Alerts.DownAfter, 3);
    EXPECT_EQ(s.Alerts.UpAfter, 2);
    EXPECT_TRUE(s.Alerts.Sound);
    EXPECT_EQ(s.Alerts.Command, "");
    EXPECT_EQ(s.PingInterval, 1);

    s.Alerts = {7, 4, false, true, true, "/bin/logger -t 'net alert'", false};
    s.Save();
    const std::string saved = Config.Read(Config.SettingsFile());
    TSentrelSettings again(nullptr);
    again.Load();
    EXPECT_EQ(again.Alerts.DownAfter, 7);
    EXPECT_EQ(again.Alerts.UpAfter, 4);
    EXPECT_FALSE(again.Alerts.Notify);
    EXPECT_TRUE(again.Alerts.ProblemsFirst);
    EXPECT_FALSE(again.Alerts.AllowAlertChanges);
    EXPECT_EQ(again.Alerts.Command, "/bin/logger -t 'net alert'");
    // The older reader's keys are where they were, the alerts in a key of their own.
    EXPECT_NE(saved.find("[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Alerts]"),
              std::string::npos);
    EXPECT_EQ(again.PingInterval, 1);
}

TEST_F(SettingsTest, ColumnChoicesAreOptionalAndAWrongTypeKeepsItsDefault) {
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Columns]\n"
              "\"RTT\"=\"yes\"\n\"Availability\"=dword:00000001\n");
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_FALSE(s.Columns.Rtt);
    EXPECT_TRUE(s.Columns.Availability);
    EXPECT_FALSE(s.Columns.DownSince);
    EXPECT_EQ(s.PingInterval, 1);
    s.Columns.DownSince = true;
    s.Save();
    TSentrelSettings again(nullptr);
    again.Load();
    EXPECT_TRUE(again.Columns.Availability);
    EXPECT_TRUE(again.Columns.DownSince);
    EXPECT_FALSE(again.Columns.Loss);
}

TEST_F(SettingsTest, HistoryValuesAreOptionalAndRoundTrip) {
    // Wrong types and missing values keep their defaults.
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\History]\n"
              "\"RawDays\"=\"ten\"\n\"AggregateDays\"=dword:00000064\n");
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_EQ(s.History.RawDays, 7);
    EXPECT_EQ(s.History.AggregateDays, 100);
    EXPECT_TRUE(s.History.Enabled);
    EXPECT_EQ(s.PingInterval, 1);

    s.History = {3, 30, false};
    s.Save();
    TSentrelSettings again(nullptr);
    again.Load();
    EXPECT_EQ(again.History.RawDays, 3);
    EXPECT_EQ(again.History.AggregateDays, 30);
    EXPECT_FALSE(again.History.Enabled);
}

TEST_F(SettingsTest, MetricsAddressIsOptionalOffByDefaultAndRoundTrips) {
    // A number where the text belongs keeps the default: off.
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Metrics]\n"
              "\"Address\"=dword:00000001\n");
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_EQ(s.Metrics.Address, "");
    EXPECT_EQ(s.PingInterval, 1);

    s.Metrics.Address = "127.0.0.1:9437";
    s.Save();
    TSentrelSettings again(nullptr);
    again.Load();
    EXPECT_EQ(again.Metrics.Address, "127.0.0.1:9437");
    // Loading anew starts from the default, not from what was there before.
    WriteFile(FullSettingsKey());
    again.Load();
    EXPECT_EQ(again.Metrics.Address, "");
}

TEST_F(SettingsTest, AddressValuesAreOptionalKeptWithinBoundsAndRoundTrip) {
    // A file without the key: IPv4 first, names looked up every 10 minutes.
    WriteFile(FullSettingsKey());
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_EQ(s.Addresses.Prefer, 0);
    EXPECT_EQ(s.Addresses.ResolveMinutes, 10);

    // Values no version writes fall back or are bounded, and load the rest.
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Addresses]\n"
              "\"Prefer\"=dword:00000003\n\"ResolveMinutes\"=dword:ffffffff\n");
    s.Load();
    EXPECT_EQ(s.Addresses.Prefer, 0);
    EXPECT_EQ(s.Addresses.ResolveMinutes, 0);
    EXPECT_EQ(s.PingInterval, 1);
    WriteFile(FullSettingsKey() +
              "\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Addresses]\n"
              "\"Prefer\"=\"2\"\n\"ResolveMinutes\"=dword:00100000\n");
    s.Load();
    EXPECT_EQ(s.Addresses.Prefer, 0); // text where the number belongs
    EXPECT_EQ(s.Addresses.ResolveMinutes, 1440);

    s.Addresses = {2, 0};
    s.Save();
    TSentrelSettings again(nullptr);
    again.Load();
    EXPECT_EQ(again.Addresses.Prefer, 2);
    EXPECT_EQ(again.Addresses.ResolveMinutes, 0);
}
