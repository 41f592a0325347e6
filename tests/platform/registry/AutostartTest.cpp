// The per-user Run key as the desktop's autostart entries.

#include "platform/registry/Autostart.h"

#include "RegistryFixture.h"

using namespace platform;

namespace {

using AutostartTest = RegistryFixture;

const std::string RunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string ExecLine(const std::string& Entry) {
    const size_t at = Entry.find("\nExec=");
    return at == std::string::npos ? "" : Entry.substr(at + 1, Entry.find('\n', at + 1) - at - 1);
}

} // namespace

TEST_F(AutostartTest, EntryIsWrittenAtCommitReadBackAndRemoved) {
    const std::string entry = TRegistry::AutostartPath("Sentrel");
    EXPECT_EQ(entry, Dir + "/autostart/Sentrel.desktop");
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("\\software\\microsoft\\WINDOWS\\currentversion\\run", false));
        EXPECT_EQ(reg.ReadString("Sentrel"), "");
        reg.WriteString("Sentrel", "/opt/kestrava/sentrel");
        EXPECT_EQ(reg.ReadString("sentrel"), "/opt/kestrava/sentrel");
        EXPECT_FALSE(std::filesystem::exists(entry));
        reg.Commit();
    }
    const std::string text = ReadAll(entry);
    EXPECT_TRUE(text.starts_with("#"));
    for (const std::string line :
         {"\n[Desktop Entry]\n", "\nType=Application\n", "\nName=Kestrava Sentrel\n",
          "\nExec=/opt/kestrava/sentrel\n", "\nTerminal=false\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_FALSE(std::filesystem::exists(Store())); // the Run key is not in the settings file

    TRegistry reg;
    EXPECT_TRUE(reg.KeyExists(RunKey));
    ASSERT_TRUE(reg.OpenKey(RunKey, false));
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"Sentrel"});
    EXPECT_EQ(reg.GetDataType("SENTREL"), REG_SZ);
    EXPECT_EQ(reg.ReadString("Sentrel"), "/opt/kestrava/sentrel");
    EXPECT_THROW(reg.ReadInteger("Sentrel"), ERegistryException);
    EXPECT_THROW(reg.WriteInteger("Sentrel", 1), ERegistryException);
    EXPECT_TRUE(reg.DeleteValue("Sentrel"));
    EXPECT_FALSE(reg.ValueExists("Sentrel"));
    EXPECT_TRUE(std::filesystem::exists(entry));
    reg.Commit();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(reg.DeleteValue("Sentrel"));
}

TEST_F(AutostartTest, ProgramPathsRoundTripThroughExec) {
    const std::vector<std::pair<std::string, std::string>> paths = {
        {"/usr/bin/sentrel", "Exec=/usr/bin/sentrel"},
        {"/opt/My Apps/sentrel", "Exec=\"/opt/My Apps/sentrel\""},
        {"/opt/a\"b/c", "Exec=\"/opt/a\\\\\"b/c\""},
        {"/opt/back\\slash", "Exec=\"/opt/back\\\\\\\\slash\""},
        {"/opt/100%/sentrel", "Exec=/opt/100%%/sentrel"},
        {"/opt/$HOME/`x`/it's", "Exec=\"/opt/\\\\$HOME/\\\\`x\\\\`/it's\""},
        {"/opt/new\nline", "Exec=\"/opt/new\\nline\""},
        {"/opt/Fl\xC3\xBCr \xE2\x80\x93 1", "Exec=\"/opt/Fl\xC3\xBCr \xE2\x80\x93 1\""},
    };
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string name = "Entry" + std::to_string(i);
        {
            TRegistry reg;
            ASSERT_TRUE(reg.OpenKey(RunKey, false));
            reg.WriteString(name, paths[i].first);
            reg.Commit();
        }
        EXPECT_EQ(ExecLine(ReadAll(TRegistry::AutostartPath(name))), paths[i].second);
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly(RunKey));
        EXPECT_EQ(reg.ReadString(name), paths[i].first);
    }
    // Entries written by others: the program is the first word.
    EXPECT_EQ(reg::ExecProgram("/usr/bin/sentrel --tray %U"), "/usr/bin/sentrel");
    EXPECT_EQ(reg::ExecProgram("\"/opt/My App/sentrel\" --tray"), "/opt/My App/sentrel");
}

TEST_F(AutostartTest, HiddenOrDisabledEntriesAreAbsent) {
    const std::string body = "[Desktop Entry]\nType=Application\nExec=/usr/bin/other\n";
    WriteAll(Dir + "/autostart/Hidden.desktop", body + "Hidden=true\n");
    WriteAll(Dir + "/autostart/Off.desktop", body + "X-GNOME-Autostart-enabled=false\n");
    WriteAll(Dir + "/autostart/Other.desktop", "[Other Group]\nExec=/x\n[Desktop Entry]\n" + body);
    WriteAll(Dir + "/autostart/notes.txt", body);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(RunKey, false));
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"Other"});
    EXPECT_EQ(reg.ReadString("Other"), "/usr/bin/other");
    EXPECT_EQ(reg.ReadString("Hidden"), "");
    EXPECT_FALSE(reg.ValueExists("Off"));
    // Removing a hidden entry would bring back a system-wide one it switches off.
    EXPECT_FALSE(reg.DeleteValue("Hidden"));
    reg.WriteString("Off", "/usr/bin/sentrel");
    reg.Commit();
    EXPECT_TRUE(std::filesystem::exists(Dir + "/autostart/Hidden.desktop"));
    EXPECT_EQ(reg.ReadString("off"), "/usr/bin/sentrel");
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Off", "Other"}));
    EXPECT_FALSE(reg.OpenKey(RunKey + "\\Sub", true)); // entries have no sub-keys
}

TEST_F(AutostartTest, PathsFollowTheEnvironment) {
    const std::string home = Dir + "/home";
    const char* savedHome = std::getenv("HOME");
    const std::string saved = savedHome ? savedHome : "";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(TRegistry::StorePath(RegistryRoot::CurrentUser),
              home + "/.config/Kestrava/Sentrel/settings.reg");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TRegistry::AutostartPath("S"), home + "/.config/autostart/S.desktop");
    setenv("XDG_CONFIG_HOME", (Dir + "/cfg").c_str(), 1);
    EXPECT_EQ(TRegistry::StorePath(RegistryRoot::ClassesRoot),
              Dir + "/cfg/Kestrava/Sentrel/classes.reg");
    if (savedHome)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
}
