// A save of 10,000 devices killed (SIGKILL) at random moments, round after
// round: afterwards the settings file is always the complete old one or the
// complete new one, byte for byte, and it loads. A killed save may leave its
// temporary file behind (settings.reg.tmp-XXXXXX); the test counts those and
// removes them, and the byte comparison of every round shows that none ever
// takes the settings file's place.
//
// SENTREL_SAVE_KILL_ROUNDS sets the number of rounds (default 150),
// SENTREL_SAVE_KILL_SEED repeats the moments of an earlier run. Sanitizer
// builds, where a save takes thirty times as long, run 10 rounds of 1,000
// devices: there the point is what the sanitizers see.

#include "RobustnessHelpers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

#ifndef SENTREL_SAVE_KILL_DEFAULT_ROUNDS
#define SENTREL_SAVE_KILL_DEFAULT_ROUNDS 150
#endif
#ifndef SENTREL_SAVE_KILL_DEVICES
#define SENTREL_SAVE_KILL_DEVICES 10000
#endif

constexpr int DeviceCount = SENTREL_SAVE_KILL_DEVICES;

// How a round ended.
struct Outcome {
    bool Finished = false; // the save completed before the signal came
    std::string Bytes;     // the settings file afterwards
    int TemporaryFiles = 0;
};

// Forks a child that saves Settings; once it reports that it is about to
// save, waits Delay and kills it (without a Delay, lets it finish).
Outcome KillDuringSave(TSentrelSettings& Settings, const TempConfig& Config,
                       std::optional<std::chrono::microseconds> Delay) {
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(ready[0]);
        const char go = 1;
        if (write(ready[1], &go, 1) != 1)
            _exit(3);
        try {
            Settings.Save();
        } catch (...) {
            _exit(2);
        }
        _exit(0);
    }
    close(ready[1]);
    char go = 0;
    const bool started = read(ready[0], &go, 1) == 1;
    close(ready[0]);
    if (started && Delay) {
        std::this_thread::sleep_for(*Delay);
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        throw std::runtime_error("the save failed by itself, exit status " +
                                 std::to_string(WEXITSTATUS(status)));
    Outcome outcome;
    outcome.Finished = WIFEXITED(status);
    outcome.Bytes = Config.Read(Config.SettingsFile());
    for (const std::string& file : FilesLike(Config, "settings.reg.tmp-")) {
        ++outcome.TemporaryFiles;
        std::filesystem::remove(file);
    }
    return outcome;
}

// The duration of a whole save in a child process, as the rounds run it.
std::chrono::microseconds SaveDuration(TSentrelSettings& Settings, const TempConfig& Config) {
    std::vector<std::chrono::microseconds> runs;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        const Outcome outcome = KillDuringSave(Settings, Config, std::nullopt);
        runs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start));
        if (!outcome.Finished)
            throw std::runtime_error("a save that nobody killed did not finish");
    }
    std::sort(runs.begin(), runs.end());
    return runs[1];
}

} // namespace

TEST(SaveKillTest, FileIsAlwaysTheWholeOldOrTheWholeNew) {
    TempConfig config;
    const int rounds = EnvNumber("SENTREL_SAVE_KILL_ROUNDS", SENTREL_SAVE_KILL_DEFAULT_ROUNDS);
    const auto seed =
        static_cast<uint32_t>(EnvNumber("SENTREL_SAVE_KILL_SEED", std::random_device{}()));
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));

    TSentrelSettings first(nullptr), second(nullptr);
    FillSettings(first, "first", DeviceCount);
    FillSettings(second, "second", DeviceCount);
    TSentrelSettings* versions[] = {&first, &second};
    std::string texts[2];
    for (int v = 0; v < 2; ++v) {
        versions[v]->Save();
        texts[v] = config.Read(config.SettingsFile());
    }
    ASSERT_NE(texts[0], texts[1]);

    // Killing anywhere from before the save starts to well after it ends, so
    // both outcomes come often enough to show.
    const auto duration = SaveDuration(first, config);
    const auto window = duration * 3 / 2;
    std::uniform_int_distribution<long> moment(0, window.count());
    int keptOld = 0, tookNew = 0, leftovers = 0;
    int onDisk = 0; // first saved last by SaveDuration
    ASSERT_EQ(config.Read(config.SettingsFile()), texts[0]);

    for (int round = 0; round < rounds; ++round) {
        const int target = 1 - onDisk;
        const auto delay = std::chrono::microseconds(moment(random));
        const Outcome outcome = KillDuringSave(*versions[target], config, delay);
        leftovers += outcome.TemporaryFiles;
        const bool isOld = outcome.Bytes == texts[onDisk];
        const bool isNew = outcome.Bytes == texts[target];
        ASSERT_TRUE(isOld || isNew)
            << "round " << round << " (seed " << seed << ", killed after " << delay.count()
            << " us): the settings file is " << outcome.Bytes.size() << " bytes, neither the old ("
            << texts[onDisk].size() << ") nor the new (" << texts[target].size() << ")";
        ASSERT_TRUE(isNew || !outcome.Finished)
            << "round " << round << ": a finished save left the old file";
        (isNew ? tookNew : keptOld) += 1;
        onDisk = isNew ? target : onDisk;
    }

    TSentrelSettings loaded(nullptr);
    loaded.Load();
    ASSERT_EQ(loaded.Devices()->Count(), DeviceCount);
    EXPECT_EQ(loaded.Devices()->Items(0)->Description(), onDisk == 0 ? "first" : "second");

    std::cout << "[ stats    ] " << rounds << " rounds, save of " << DeviceCount
              << " devices takes " << duration.count() / 1000 << " ms: old file kept " << keptOld
              << " times, new file taken " << tookNew << " times, " << leftovers
              << " temporary files left behind (seed " << seed << ")\n";
    if (rounds >= 20) {
        // Otherwise the moments missed the save, and the test proved nothing.
        EXPECT_GT(keptOld, 0);
        EXPECT_GT(tookNew, 0);
    }
}
