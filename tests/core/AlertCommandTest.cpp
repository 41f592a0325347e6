#include "core/AlertCommand.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using Words = std::vector<std::string>;

constexpr auto Generous = 20s;

TEST(SplitCommandLine, SplitsWordsWithoutExpandingAnything) {
    const std::vector<std::pair<std::string, Words>> table = {
        {"", {}},
        {" \t\n ", {}},
        {"page  -x\t'a b'", {"page", "-x", "a b"}},
        {R"(a'b'"c"d)", {"abcd"}},
        {"'' \"\"", {"", ""}},
        {R"("a \" \\ \$ \` \n b")", {R"(a " \ $ ` \n b)"}},
        {R"('\"' a\ b \' \$x)", {R"(\")", "a b", "'", "$x"}},
        {"a\\\nb \"c\\\nd\"", {"ab", "cd"}},
        {"echo $(touch x); `id` | cat && ~ *",
         {"echo", "$(touch", "x);", "`id`", "|", "cat", "&&", "~", "*"}},
        {"$HOME \"$HOME\"", {"$HOME", "$HOME"}},
    };
    for (const auto& [line, words] : table)
        EXPECT_EQ(SplitCommandLine(line), words) << line;
    for (const char* bad : {"page 'a", "page \"a\\\"", "page a\\"})
        EXPECT_THROW(SplitCommandLine(bad), EAlertCommand) << bad;
    EXPECT_EQ(CommandProblem("page 'a"), "The alert command \"page 'a\" has an unclosed quote.");
}

TEST(AlertTimeText, GivesLocalTimeWithTheOffsetInForceThen) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(AlertTimeText(EncodeDateTime({2026, 12, 8, 14, 2, 11, 0})),
              "2026-12-08T14:02:11+01:00");
    EXPECT_EQ(AlertTimeText(EncodeDateTime({2026, 7, 8, 0, 0, 5, 0})), "2026-07-08T00:00:05+02:00");
    setenv("TZ", "XYZ+3:30", 1);
    tzset();
    EXPECT_EQ(AlertTimeText(EncodeDateTime({2026, 1, 1, 23, 59, 59, 0})),
              "2026-01-01T23:59:59-03:30");
    if (old != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

class AlertCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sentrel-alert.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        FDir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }

    std::string Script(const std::string& Name, const std::string& Body) const {
        const std::string path = FDir + "/" + Name;
        std::ofstream(path) << "#!/bin/sh\n" << Body;
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string Read(const std::string& Name) const {
        std::ifstream in(FDir + "/" + Name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static TAlertChange Change(const std::string& Host) {
        TAlertChange change;
        change.Host = Host;
        change.OldState = TAlertState::Up;
        change.NewState = TAlertState::Down;
        change.Result = prTimedOut;
        change.Since = EncodeDateTime({2026, 12, 8, 14, 2, 11, 0});
        return change;
    }
    // The failures the runner reports, collected from its thread.
    void Watch(TAlertCommandRunner& Runner) {
        Runner.SetOnFailure([this](const std::string& Message) {
            std::lock_guard<std::mutex> lock(FLock);
            FFailures.push_back(Message);
        });
    }
    Words Failures() {
        std::lock_guard<std::mutex> lock(FLock);
        return FFailures;
    }

    std::string FDir;
    std::mutex FLock;
    Words FFailures;
};

Words SplitNul(const std::string& Text) {
    Words words;
    std::istringstream in(Text);
    for (std::string word; std::getline(in, word, '\0');)
        words.push_back(word);
    return words;
}

TEST_F(AlertCommandTest, HostileHostTextsArriveAsPlainArgumentsAndRunNothingElse) {
    const std::string dump =
        Script("dump", "printf '%s\\0' \"$@\" > \"" + FDir + "/args\"\ncat /proc/$$/environ > \"" +
                           FDir + "/env\"\n");
    const std::string pwned = FDir + "/pwned";
    setenv("SENTREL_HOST", "inherited", 1);
    TAlertCommandRunner runner;
    Watch(runner);
    runner.SetCommand("'" + dump + "' \"a b\" $(touch " + pwned + ")");
    const std::string since = AlertTimeText(Change("").Since);
    for (const std::string& host :
         Words{"a'b\"c", "$(touch " + pwned + ")", "`touch " + pwned + "`", "x; touch " + pwned,
               "x\ntouch " + pwned, "-rf --help", "x && touch " + pwned + " | cat > " + pwned}) {
        std::filesystem::remove(FDir + "/args");
        runner.Run(Change(host));
        ASSERT_TRUE(runner.WaitIdle(Generous));
        EXPECT_EQ(SplitNul(Read("args")),
                  Words({"a b", "$(touch", pwned + ")", host, "Down", "Timed Out", since}));
        Words env;
        for (const std::string& entry : SplitNul(Read("env")))
            if (entry.starts_with("SENTREL_"))
                env.push_back(entry);
        std::sort(env.begin(), env.end());
        EXPECT_EQ(env,
                  Words({"SENTREL_HOST=" + host, "SENTREL_OLD_STATE=Up", "SENTREL_RESULT=Timed Out",
                         "SENTREL_SINCE=" + since, "SENTREL_STATE=Down"}));
    }
    unsetenv("SENTREL_HOST");
    EXPECT_FALSE(std::filesystem::exists(pwned));
    EXPECT_EQ(Failures(), Words());
}

bool GoneOrZombie(pid_t Pid) {
    std::ifstream stat("/proc/" + std::to_string(Pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const size_t paren = text.rfind(')');
    return !stat || paren == std::string::npos || text.substr(paren + 2, 1) == "Z";
}

TEST_F(AlertCommandTest, KillsTheWholeGroupAtTheLimitAndReportsOnce) {
    const std::string slow =
        Script("slow", "sleep 30 &\necho $! > \"" + FDir + "/grandchild\"\nwait\n");
    TAlertCommandRunner runner(4, 500ms);
    Watch(runner);
    runner.SetCommand(slow);
    runner.Run(Change("a"));
    runner.Run(Change("b"));
    ASSERT_TRUE(runner.WaitIdle(Generous));
    EXPECT_EQ(Failures(), Words({"Alert command \"" + slow + "\" was killed after 500 ms."}));
    const std::string grandchild = Read("grandchild");
    ASSERT_FALSE(grandchild.empty()) << "the script did not start its child within the limit";
    const pid_t pid = std::stoi(grandchild);
    // The kill is sent; its arrival is only waited for.
    for (auto end = std::chrono::steady_clock::now() + Generous;
         !GoneOrZombie(pid) && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(GoneOrZombie(pid));
}

TEST_F(AlertCommandTest, ReportsAFailureOnceUntilTheCommandChanges) {
    TAlertCommandRunner runner;
    Watch(runner);
    runner.SetCommand(FDir + "/missing --flag");
    runner.Run(Change("a"));
    runner.Run(Change("b"));
    ASSERT_TRUE(runner.WaitIdle(Generous));
    runner.SetCommand("sh -c 'exit 2'");
    runner.Run(Change("a"));
    runner.Run(Change("b"));
    ASSERT_TRUE(runner.WaitIdle(Generous));
    runner.SetCommand("'unclosed");
    runner.Run(Change("a"));
    ASSERT_TRUE(runner.WaitIdle(Generous));
    EXPECT_EQ(Failures(), Words({"Alert command \"" + FDir +
                                     "/missing\" could not start: No such file or directory.",
                                 "Alert command \"sh\" failed: exit status 2.",
                                 "The alert command \"'unclosed\" has an unclosed quote."}));
    EXPECT_EQ(CommandProblem(FDir + "/missing"),
              "The alert program \"" + FDir + "/missing\" was not found.");
    EXPECT_EQ(CommandProblem(FDir), "The alert program \"" + FDir + "\" is a folder.");
    EXPECT_EQ(
        CommandProblem("sentrel-no-such-program"),
        "The alert program \"sentrel-no-such-program\" is not in any folder of the search path.");
    EXPECT_EQ(CommandProblem("sh -c true"), "");
}

TEST_F(AlertCommandTest, NeverRunsMoreThanTheLimitAtOnce) {
    const std::string marks = FDir + "/running";
    std::filesystem::create_directory(marks);
    const std::string busy =
        Script("busy", "mkdir \"" + marks + "/$$\"\nls \"" + marks + "\" | wc -l >> \"" + FDir +
                           "/counts\"\nsleep 0.2\nrmdir \"" + marks + "/$$\"\n");
    TAlertCommandRunner runner(2);
    Watch(runner);
    runner.SetCommand(busy);
    for (int i = 0; i < 6; ++i)
        runner.Run(Change(std::to_string(i)));
    ASSERT_TRUE(runner.WaitIdle(Generous));
    std::istringstream counts(Read("counts"));
    std::vector<int> seen;
    for (int count = 0; counts >> count;)
        seen.push_back(count);
    ASSERT_EQ(seen.size(), 6U);
    EXPECT_LE(*std::max_element(seen.begin(), seen.end()), 2);
    EXPECT_EQ(Failures(), Words());
}

} // namespace
