// The administrator's policy file over a user's settings: its values win
// and stay locked whatever the user's file holds, its devices are always
// listed and never saved, and a file that cannot be believed or read is
// ignored as a whole and said so.

#include "core/SentrelSettingsCM.h"
#include "platform/FileTrust.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;
using platform::TRegistry;

namespace {

const std::string PolicyHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string MachineKey = "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0]\n";
const std::string UserKey = "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n";

class PolicyTest : public ::testing::Test {
protected:
    // Run by a user other than root, the test's own files stand for root's:
    // the rest of the judgement (who may write) stays as it is.
    void SetUp() override { platform::SetTrustedOwner(static_cast<long>(getuid())); }
    void TearDown() override { platform::SetTrustedOwner(-1); }

    // An administrator's file: written by its owner alone, whatever the umask.
    void WritePolicy(const std::string& Body) {
        Config.Write(Config.PolicyFile(), PolicyHeader + Body);
        chmod(Config.PolicyFile().c_str(), 0644);
        for (fs::path folder = fs::path(Config.PolicyFile()).parent_path();
             folder != fs::path(Config.Home()); folder = folder.parent_path())
            chmod(folder.c_str(), 0755);
    }

    void WriteUser(const std::string& Body) {
        Config.Write(Config.SettingsFile(), PolicyHeader + Body);
    }

    // Every value of the settings key but the ones the test leaves out.
    static std::string UserSettings(const std::set<std::string>& Without = {}) {
        std::string key = UserKey;
        for (const char* name :
             {"AutoScan", "ShowWindow", "AllowEchoChange", "AllowDeviceChanges", "AllowClearLog",
              "AllowChangeLogSize", "ECHORequestSize", "IPTimeToLive", "ECHOTimeout",
              "PingInterval", "SystemLogSize", "DeviceLogSize"})
            if (!Without.contains(name))
                key += std::string("\"") + name + "\"=dword:00000001\n";
        return key;
    }

    // The files beside the user's settings other than the settings and the lock.
    std::vector<std::string> Aside() const {
        std::vector<std::string> names;
        for (const auto& entry :
             fs::directory_iterator(fs::path(Config.SettingsFile()).parent_path()))
            if (const std::string name = entry.path().filename().string();
                name != "settings.reg" && !name.ends_with(".lock"))
                names.push_back(name);
        return names;
    }

    TempConfig Config;
};

TEST_F(PolicyTest, ValuesWinOverTheUsersHandEditsAndTheUsersOwnComeBackWithoutIt) {
    // Relative and empty entries are passed over; the first folder holding the file counts.
    setenv("XDG_CONFIG_DIRS",
           ("relative/xdg::" + Config.Home() + "/none:" + Config.Home() + "/xdg").c_str(), 1);
    WritePolicy(MachineKey +
                "\"AllowEchoChange\"=dword:00000000\n\"AllowDeviceChanges\"=dword:00000000\n"
                "\"PingInterval\"=dword:0000003c\n\"EchoTimeOut\"=dword:000001f4\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0\\Alerts]\n"
                "\"DownAfter\"=dword:00000005\n\"Command\"=\"/usr/bin/logger sentrel\"\n"
                "\"AllowAlertChanges\"=dword:00000000\n");
    // The user's own file lifts what it can: other values, other types, a
    // locked value deleted.
    const std::string user = UserSettings({"PingInterval", "AllowDeviceChanges"}) +
                             "\"PingInterval\"=\"5\"\n" +
                             "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Alerts]\n"
                             "\"DownAfter\"=dword:00000009\n\"Command\"=dword:00000001\n"
                             "\"AllowAlertChanges\"=dword:00000001\n\"UpAfter\"=dword:00000004\n";
    WriteUser(user);

    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_TRUE(s.PolicyProblems().empty());
    EXPECT_FALSE(s.AllowEchoChange);
    EXPECT_FALSE(s.AllowDeviceChanges);
    EXPECT_EQ(s.PingInterval, 60);
    EXPECT_EQ(s.EchoTimeOut, 500);
    EXPECT_EQ(s.Alerts.DownAfter, 5);
    EXPECT_EQ(s.Alerts.Command, "/usr/bin/logger sentrel");
    EXPECT_FALSE(s.Alerts.AllowAlertChanges);
    EXPECT_EQ(s.Alerts.UpAfter, 4); // not locked: the user's
    EXPECT_EQ(s.IPTimeToLive, 1);
    EXPECT_TRUE(s.Locked(SettingsKey, "pinginterval"));
    EXPECT_TRUE(s.Locked(SettingsKey, "ECHOTimeout"));
    EXPECT_FALSE(s.Locked(SettingsKey, "IPTimeToLive"));
    EXPECT_FALSE(s.Locked(AlertsKey, "UpAfter"));
    // Loading changed nothing of the user's file and moved nothing aside.
    EXPECT_EQ(Config.Read(Config.SettingsFile()), PolicyHeader + user);
    EXPECT_TRUE(Aside().empty());

    // Whatever is changed in memory, a save puts the policy's values back
    // and leaves the user's own in the user's file.
    s.PingInterval = 1;
    s.AllowEchoChange = true;
    s.Alerts.DownAfter = 2;
    s.IPTimeToLive = 33;
    s.Save();
    EXPECT_EQ(s.PingInterval, 60);
    EXPECT_FALSE(s.AllowEchoChange);
    EXPECT_EQ(s.Alerts.DownAfter, 5);
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(SettingsKey, false));
        EXPECT_EQ(registry.ReadInteger("AllowEchoChange"), 1);
        EXPECT_EQ(registry.ReadInteger("PingInterval"), 15); // the user's did not read
        EXPECT_EQ(registry.ReadInteger("IPTimeToLive"), 33);
        ASSERT_TRUE(registry.OpenKey(AlertsKey, false));
        EXPECT_EQ(registry.ReadInteger("DownAfter"), 9);
        EXPECT_EQ(registry.ReadInteger("AllowAlertChanges"), 1);
    }

    // The administrator takes the policy away: the user's own come back,
    // on the same object too.
    fs::remove(Config.PolicyFile());
    s.Load();
    EXPECT_TRUE(s.AllowEchoChange);
    EXPECT_TRUE(s.AllowDeviceChanges);
    EXPECT_EQ(s.PingInterval, 15);
    EXPECT_EQ(s.Alerts.DownAfter, 9);
    EXPECT_EQ(s.Alerts.Command, "");
    EXPECT_TRUE(s.Alerts.AllowAlertChanges);
    EXPECT_FALSE(s.Locked(SettingsKey, "PingInterval"));
    EXPECT_TRUE(s.PolicyProblems().empty());
}

TEST_F(PolicyTest, MandatoryDevicesTakeThePlaceOfTheUsersAndAreNeverSaved) {
    const std::string devices = "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\";
    const std::string policy = devices +
                               "core]\n\"Host\"=\"router-1\"\n\"Description\"=\"Core router\"\n"
                               "\"DeviceType\"=dword:00000003\n\"Monitored\"=dword:00000001\n" +
                               devices + "dns]\n\"Host\"=\"dns.example\"\n";
    WritePolicy(policy);
    const std::string userDevices =
        "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\";
    WriteUser(UserSettings() + userDevices +
              "mine]\n\"Host\"=\"mine\"\n\"Description\"=\"my own\"\n"
              "\"DeviceType\"=dword:00000000\n\"Monitored\"=dword:00000001\n" +
              userDevices +
              "r]\n\"Host\"=\"ROUTER-1\"\n\"Description\"=\"my router\"\n"
              "\"DeviceType\"=dword:00000001\n\"Monitored\"=dword:00000000\n");

    const auto listed = [](const TSentrelSettings& s) {
        std::set<std::string> hosts;
        for (int i = 0; i < s.Devices()->Count(); ++i) {
            const TDeviceData* d = s.Devices()->Items(i);
            hosts.insert(d->Host() + (d->Mandatory() ? " (mandatory)" : "") + " " +
                         d->Description());
        }
        return hosts;
    };
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_EQ(listed(s), (std::set<std::string>{"mine my own", "router-1 (mandatory) Core router",
                                                "dns.example (mandatory) "}));
    s.Save();
    const std::string saved = Config.Read(Config.SettingsFile());
    EXPECT_EQ(saved.find("dns.example"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Core router"), std::string::npos) << saved;
    EXPECT_NE(saved.find("my router"), std::string::npos) << saved;

    // Dropped from the policy: gone for the user, and the user's own is back.
    WritePolicy("");
    s.Load();
    EXPECT_EQ(listed(s), (std::set<std::string>{"mine my own", "ROUTER-1 my router"}));
    EXPECT_FALSE(s.Devices()->Items(0)->Monitored() && s.Devices()->Items(1)->Monitored());

    // A user who deletes every device from the file still has the policy's.
    WritePolicy(policy);
    WriteUser(UserSettings());
    s.Load();
    EXPECT_EQ(listed(s), (std::set<std::string>{"router-1 (mandatory) Core router",
                                                "dns.example (mandatory) "}));
}

TEST_F(PolicyTest, BrokenFileIsReportedWithItsLineIgnoredAndLeftAsItWas) {
    WriteUser(UserSettings());
    const struct {
        const char* Name;
        std::string Body;
        const char* Line;
    } cases[] = {
        {"does not parse",
         MachineKey + "\"AllowEchoChange\"=dword:00000000\n\"PingInterval\"=dword:zz\n",
         "line 5: "},
        {"wrong type",
         MachineKey + "\"AllowEchoChange\"=dword:00000000\n\n\"PingInterval\"=\"60\"\n",
         "line 6: "},
        {"device without a host",
         MachineKey + "\"AllowEchoChange\"=dword:00000000\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\x]\n"
                      "\"Description\"=\"no host\"\n",
         "no \"Host\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WritePolicy(c.Body);
        const std::string before = Config.Read(Config.PolicyFile());
        TSentrelSettings s(nullptr);
        s.Load();
        ASSERT_EQ(s.PolicyProblems().size(), 1u);
        const std::string& problem = s.PolicyProblems()[0];
        EXPECT_NE(problem.find("\"" + Config.PolicyFile() + "\" is ignored"), std::string::npos)
            << problem;
        EXPECT_NE(problem.find(c.Line), std::string::npos) << problem;
        // Nothing of it applies, not even what came before the fault.
        EXPECT_TRUE(s.AllowEchoChange);
        EXPECT_FALSE(s.Locked(SettingsKey, "AllowEchoChange"));
        EXPECT_EQ(s.Devices()->Count(), 0);
        s.Save();
        EXPECT_EQ(Config.Read(Config.PolicyFile()), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(Config.PolicyFile()).parent_path()),
                                fs::directory_iterator()),
                  1);
    }

    // A value no policy sets is told; the rest holds.
    WritePolicy(MachineKey + "\"AllowEchoChange\"=dword:00000000\n\"PingIntervall\"=dword:1\n");
    TSentrelSettings s(nullptr);
    s.Load();
    ASSERT_EQ(s.PolicyProblems().size(), 1u);
    EXPECT_NE(s.PolicyProblems()[0].find("line 5: \"PingIntervall\""), std::string::npos)
        << s.PolicyProblems()[0];
    EXPECT_FALSE(s.AllowEchoChange);
}

TEST_F(PolicyTest, FileOthersCanChangeIsIgnoredWithTheReason) {
    WriteUser(UserSettings());
    const std::string policy = MachineKey + "\"AllowEchoChange\"=dword:00000000\n";
    const std::string file = Config.PolicyFile();
    const std::string folder = fs::path(file).parent_path().parent_path();
    const struct {
        std::string Path;
        mode_t Mode;
        std::string Reason;
    } cases[] = {
        {file, 0646, "it is writable by every user"},
        {file, 0664, "it is writable by its group"},
        {folder, 0757, "its folder \"" + folder + "\" is writable by every user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reason);
        WritePolicy(policy);
        ASSERT_EQ(chmod(c.Path.c_str(), c.Mode), 0);
        TSentrelSettings s(nullptr);
        s.Load();
        ASSERT_EQ(s.PolicyProblems().size(), 1u);
        EXPECT_EQ(s.PolicyProblems()[0],
                  "The policy file \"" + Config.PolicyFile() + "\" is ignored: " + c.Reason + ".");
        EXPECT_TRUE(s.AllowEchoChange);
    }
}

TEST_F(PolicyTest, FileOwnedByAnotherUserIsIgnored) {
    if (getuid() != 0)
        GTEST_SKIP() << "giving the file to another user needs root";
    WriteUser(UserSettings());
    WritePolicy(MachineKey + "\"AllowEchoChange\"=dword:00000000\n");
    ASSERT_EQ(chown(Config.PolicyFile().c_str(), 65534, 65534), 0);
    TSentrelSettings s(nullptr);
    s.Load();
    ASSERT_EQ(s.PolicyProblems().size(), 1u);
    EXPECT_EQ(s.PolicyProblems()[0], "The policy file \"" + Config.PolicyFile() +
                                         "\" is ignored: it is owned by user 65534, not by root.");
    EXPECT_TRUE(s.AllowEchoChange);
}

} // namespace

TEST_F(PolicyTest, MetricsAddressCanBeForcedOffOrOn) {
    const std::string metricsKey = "\\Software\\Kestrava\\Sentrel\\1.0\\Metrics]\n";
    WriteUser(UserSettings() + "[HKEY_CURRENT_USER" + metricsKey +
              "\"Address\"=\"0.0.0.0:9437\"\n");
    WritePolicy("[HKEY_LOCAL_MACHINE" + metricsKey + "\"Address\"=\"\"\n");
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_TRUE(s.PolicyProblems().empty());
    EXPECT_EQ(s.Metrics.Address, "");
    EXPECT_TRUE(s.Locked(MetricsKey, "address"));
    s.Metrics.Address = "127.0.0.1:1";
    s.Save();
    EXPECT_EQ(s.Metrics.Address, "");
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(MetricsKey, false));
        EXPECT_EQ(registry.ReadString("Address"), "0.0.0.0:9437"); // the user's own kept
    }
    WritePolicy("[HKEY_LOCAL_MACHINE" + metricsKey + "\"Address\"=\"127.0.0.1:9437\"\n");
    s.Load();
    EXPECT_EQ(s.Metrics.Address, "127.0.0.1:9437");
}

TEST_F(PolicyTest, AddressValuesAreLockedAndTheUsersOwnKept) {
    const std::string key = "\\Software\\Kestrava\\Sentrel\\1.0\\Addresses]\n";
    WriteUser(UserSettings() + "[HKEY_CURRENT_USER" + key +
              "\"Prefer\"=dword:00000001\n\"ResolveMinutes\"=dword:00000005\n");
    WritePolicy("[HKEY_LOCAL_MACHINE" + key + "\"Prefer\"=dword:00000002\n");
    TSentrelSettings s(nullptr);
    s.Load();
    EXPECT_TRUE(s.PolicyProblems().empty());
    EXPECT_EQ(s.Addresses.Prefer, 2);
    EXPECT_EQ(s.Addresses.ResolveMinutes, 5); // not locked: the user's
    EXPECT_TRUE(s.Locked(AddressesKey, "prefer"));
    EXPECT_FALSE(s.Locked(AddressesKey, "ResolveMinutes"));
    s.Addresses = {0, 30};
    s.Save();
    EXPECT_EQ(s.Addresses.Prefer, 2);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(AddressesKey, false));
    EXPECT_EQ(registry.ReadInteger("Prefer"), 1); // the user's own, back when the policy goes
    EXPECT_EQ(registry.ReadInteger("ResolveMinutes"), 30);
}
