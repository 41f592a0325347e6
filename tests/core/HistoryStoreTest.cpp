// The history store on disk: records come back byte for byte and survive a
// restart and a SIGKILL; roll-up and retention follow a faked clock; a
// damaged file, a read-only folder and a full disk never stop it.

#include "core/history/HistoryStore.h"

#include "tests/support/InChild.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A zone with daylight saving, for every test of this program.
const bool ZoneSet = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

TDateTime At(int Year, int Month, int Day, int Hour, int Minute = 0, int Second = 0,
             int Millisecond = 0) {
    return EncodeDateTime({Year, Month, Day, Hour, Minute, Second, Millisecond});
}

constexpr double Hour = 1.0 / 24;

class HistoryStoreTest : public ::testing::Test {
protected:
    void TearDown() override { SetClock({}); }

    std::string Folder() const { return Config.Home() + "/state"; }
    std::string File() const { return Folder() + "/history.sqlite"; }

    TempConfig Config;
    std::vector<std::string> Problems;
    THistoryStore::TProblemEvent Collect() {
        return [this](const std::string& Text) { Problems.push_back(Text); };
    }
};

int Mode(const std::string& Path) {
    struct stat status {};
    return stat(Path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 0777) : -1;
}

} // namespace

TEST_F(HistoryStoreTest, RecordsComeBackByteForByteAfterARestart) {
    const std::vector<std::string> hosts = {"plain.example", "it's \"quoted\"",
                                            "two\nlines\ttab\x01\x1f", "\xff\xfe bad \xc3(",
                                            std::string(300, 'x')};
    // Across the spring change of 2024: 02:00 local does not exist.
    const std::vector<TDateTime> times = {At(2024, 3, 31, 1, 59, 59, 500),
                                          At(2024, 3, 31, 3, 0, 0, 250), At(2024, 10, 27, 1, 30),
                                          At(2024, 10, 27, 3, 30)};
    SetClock([&] { return At(2024, 11, 1, 0); });
    const THistoryLimits limits{365, 400};
    {
        THistoryStore store(File(), limits, Collect());
        for (const std::string& host : hosts)
            for (size_t i = 0; i < times.size(); ++i)
                store.AddProbe({times[i], host, i == 1 ? prTimedOut : prSuccess,
                                i == 1 ? 0 : static_cast<uint32_t>(100000 + i)});
        store.AddChange({times[0], hosts[2], prTimedOut});
        store.AddChange({times[1], hosts[3], prSuccess});
        store.Flush();
        EXPECT_TRUE(store.Working());
    }
    EXPECT_EQ(Mode(File()), 0600);
    EXPECT_EQ(Mode(Folder()), 0700);

    THistoryStore store(File(), limits, Collect());
    for (const std::string& host : hosts) {
        const auto probes = store.Probes(host, At(2024, 3, 1, 0), At(2024, 11, 1, 0));
        ASSERT_EQ(probes.size(), times.size()) << host;
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(probes[i].Host, host);
            EXPECT_EQ(probes[i].Time, times[i]) << i;
            EXPECT_EQ(probes[i].Result, i == 1 ? prTimedOut : prSuccess);
            EXPECT_EQ(probes[i].RoundTripMs, i == 1 ? 0 : 100000 + i);
        }
    }
    EXPECT_TRUE(store.Probes("plain.exampl", 0, 100000).empty());
    const auto changes = store.Changes("", 0, 100000);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].Host, hosts[2]);
    EXPECT_EQ(changes[0].Status, prTimedOut);
    EXPECT_EQ(changes[1].Host, hosts[3]);
    EXPECT_EQ(changes[1].Time, times[1]);
    EXPECT_EQ(store.Changes(hosts[3], 0, 100000).size(), 1u);
    EXPECT_TRUE(Problems.empty());
}

TEST_F(HistoryStoreTest, RollsUpHourlyAndTrimsByTheClock) {
    const TDateTime now = At(2024, 6, 15, 12);
    SetClock([&] { return now; });
    const TDateTime old = At(2024, 6, 5, 10), recent = At(2024, 6, 14, 10),
                    ancient = At(2023, 1, 1, 10);
    auto store = std::make_unique<THistoryStore>(File(), THistoryLimits{7, 400}, Collect());
    const auto probe = [&](TDateTime t, TPingResult r, uint32_t rtt) {
        store->AddProbe({t, "dev", r, rtt});
    };
    probe(old + 0.001, prSuccess, 10);
    probe(old + 0.002, prTimedOut, 0);
    probe(old + 0.003, prSuccess, 31);
    probe(old + 0.004, prSuccess, 20);
    probe(old + Hour + 0.001, prDestHostUnreachable, 0); // the next hour: all lost
    probe(recent + 0.001, prSuccess, 5);
    probe(ancient, prSuccess, 5);
    store->AddChange({ancient, "dev", prTimedOut});
    store->AddChange({recent, "dev", prSuccess});
    store->Flush();

    // Raw probes past seven days are gone; their hours remain.
    EXPECT_TRUE(store->Probes("dev", old, old + 2 * Hour).empty());
    EXPECT_EQ(store->Probes("dev", recent, recent + Hour).size(), 1u);
    auto hours = store->Buckets("dev", old, old + 2 * Hour);
    ASSERT_EQ(hours.size(), 2u);
    EXPECT_EQ(hours[0].Start, old);
    EXPECT_EQ(hours[0].Probes, 4u);
    EXPECT_EQ(hours[0].Losses, 1u);
    EXPECT_EQ(hours[0].MinRtt, 10u);
    EXPECT_EQ(hours[0].MaxRtt, 31u);
    EXPECT_DOUBLE_EQ(hours[0].AvgRtt, 61.0 / 3);
    EXPECT_EQ(hours[1].Start, At(2024, 6, 5, 11));
    EXPECT_EQ(hours[1].Losses, 1u);
    EXPECT_EQ(hours[1].MaxRtt, 0u);
    // Past 400 days nothing is kept at all.
    EXPECT_TRUE(store->Buckets("dev", ancient - 1, ancient + 1).empty());
    EXPECT_EQ(store->Changes("dev", 0, 100000).size(), 1u);

    // A year comes back in whole local days.
    const auto days = store->Buckets("dev", now - 365, now);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].Start, At(2024, 6, 5, 0));
    EXPECT_EQ(days[0].Probes, 5u);
    EXPECT_EQ(days[0].Losses, 2u);
    EXPECT_EQ(days[1].Start, At(2024, 6, 14, 0));

    // A restart a year on trims what was kept of that day at the start.
    store.reset();
    const TDateTime later = now + 395;
    SetClock([&] { return later; });
    store = std::make_unique<THistoryStore>(File(), THistoryLimits{7, 400}, Collect());
    store->Flush();
    EXPECT_TRUE(store->Buckets("dev", old, old + 2 * Hour).empty());
    EXPECT_EQ(store->Buckets("dev", recent, recent + Hour).size(), 1u);
    EXPECT_TRUE(Problems.empty());
}

TEST_F(HistoryStoreTest, DamagedFileIsMovedAsideAndANewOneKept) {
    fs::create_directories(Folder());
    const std::string garbage(20000, '\x5a');
    std::ofstream(File(), std::ios::binary) << garbage;
    THistoryStore store(File(), {}, Collect());
    store.AddProbe({Now(), "dev", prSuccess, 3});
    store.Flush();
    store.Flush();
    ASSERT_EQ(Problems.size(), 1u);
    EXPECT_NE(Problems[0].find("moved aside"), std::string::npos) << Problems[0];
    EXPECT_TRUE(store.Working());
    EXPECT_EQ(store.Probes("dev", 0, 100000).size(), 1u);
    int aside = 0;
    for (const auto& entry : fs::directory_iterator(Folder()))
        if (entry.path().filename().string().starts_with("history.sqlite.corrupt-")) {
            ++aside;
            EXPECT_EQ(Config.Read(entry.path()), garbage);
        }
    EXPECT_EQ(aside, 1);
}

TEST_F(HistoryStoreTest, ReadOnlyFolderGoesOnWithoutHistory) {
    const auto [status, out] = InChild([&]() -> std::string {
        fs::create_directories(Folder());
        if (geteuid() == 0) {
            // Root writes anywhere: a read-only mount it is.
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", Folder().c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
                return "SKIP: cannot mount a read-only file system here";
        } else {
            chmod(Folder().c_str(), 0500);
        }
        int problems = 0;
        {
            THistoryStore store(Folder() + "/sub/history.sqlite", {},
                                [&](const std::string&) { ++problems; });
            for (int i = 0; i < 3; ++i) {
                store.AddProbe({Now(), "dev", prSuccess, 3});
                store.Flush();
            }
            if (store.Working() || store.Problem().empty())
                return "the store says it works";
            if (!store.Probes("dev", 0, 100000).empty())
                return "records from nowhere";
        }
        return problems == 1 ? "" : std::to_string(problems) + " problems reported";
    });
    chmod(Folder().c_str(), 0700);
    if (status == ChildSkipStatus)
        GTEST_SKIP() << out.substr(6);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
}

TEST_F(HistoryStoreTest, FullDiskLosesBatchesOnlyUntilThereIsRoom) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system of its own";
    const auto [status, out] = InChild([&]() -> std::string {
        fs::create_directories(Folder());
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", Folder().c_str(), "tmpfs", 0, "size=1m") != 0)
            return "SKIP: cannot mount a small file system here";
        int problems = 0;
        std::string text;
        THistoryStore store(File(), {}, [&](const std::string& Text) {
            ++problems;
            text = Text;
        });
        store.Flush();
        {
            std::ofstream filler(Folder() + "/filler", std::ios::binary);
            const std::string block(4096, 'x');
            while (filler.write(block.data(), block.size()))
                ;
        }
        const TDateTime start = Now() - 1;
        const auto feed = [&](const std::string& Host) {
            for (int i = 0; i < 2000; ++i)
                store.AddProbe({start + i / 86400.0, Host + std::string(100, 'h'), prSuccess, 1});
            store.Flush();
        };
        feed("lost");
        feed("lost too");
        if (problems != 1 || text.find("disk is full") == std::string::npos)
            return std::to_string(problems) + " problems: " + text;
        if (store.Working())
            return "the store says it works on a full disk";
        fs::remove(Folder() + "/filler");
        feed("kept");
        if (!store.Working())
            return "not working once there is room: " + store.Problem();
        if (store.Probes("kept" + std::string(100, 'h'), 0, 100000).size() != 2000)
            return "the records after the disk had room are not all there";
        return problems == 1 ? "" : std::to_string(problems) + " problems";
    });
    if (status == ChildSkipStatus)
        GTEST_SKIP() << out.substr(6);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
}

// A child feeds records without pause and after each Flush says how many it
// had handed over; killed at a random moment, every record it had confirmed
// is there afterwards, and what is there is a whole prefix of what it fed.
TEST_F(HistoryStoreTest, KilledWhileWritingOpensWithAllButTheLastMoments) {
    std::mt19937 random(std::random_device{}());
    const TDateTime start = Now() - 1;
    for (int round = 0; round < 3; ++round) {
        int confirm[2];
        ASSERT_EQ(pipe(confirm), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(confirm[0]);
            THistoryStore store(File());
            for (int64_t n = 0;;) {
                for (int i = 0; i < 1000; ++i, ++n)
                    store.AddProbe({start + static_cast<double>(n) / 86400000.0,
                                    "host" + std::to_string(n % 50), prSuccess,
                                    static_cast<uint32_t>(n)});
                if (n % 10000 == 0) {
                    store.Flush();
                    if (write(confirm[1], &n, sizeof n) != sizeof n)
                        _exit(2);
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
        }
        close(confirm[1]);
        int64_t confirmed = -1, n = 0;
        ASSERT_EQ(read(confirm[0], &n, sizeof n), static_cast<ssize_t>(sizeof n));
        confirmed = n;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 2500)(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (read(confirm[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n))
            confirmed = n;
        close(confirm[0]);

        THistoryStore store(File(), {}, Collect());
        store.Flush();
        ASSERT_TRUE(store.Working()) << store.Problem();
        int64_t total = 0;
        for (int h = 0; h < 50; ++h) {
            const auto probes = store.Probes("host" + std::to_string(h), 0, 100000);
            total += static_cast<int64_t>(probes.size());
            // Each host's records are h, h + 50, ... with none missing between.
            for (size_t i = 0; i < probes.size(); ++i)
                ASSERT_EQ(probes[i].RoundTripMs, h + 50 * i) << "round " << round;
        }
        EXPECT_GE(total, confirmed) << "round " << round;
        // What a round leaves is fed again by the next: start each afresh.
        fs::remove_all(Folder());
        EXPECT_TRUE(Problems.empty());
    }
}
