// bench_micro: the small pieces that run for every device or every reply,
// timed with Google Benchmark: dotted-quad parsing, a status log's Add once
// the log is full, the device list's comparison, and the alert evaluation of
// each reply.

#include "bench/Offscreen.h"
#include "core/AlertState.h"
#include "core/StatusLogCM.h"
#include "net/qsInternetHost.h"
#include "ui/Images.h"
#include "ui/ListView.h"
#include "ui/MainFM.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

TMain* gMain = nullptr;

void BM_ParseDottedQuad(benchmark::State& state) {
    const std::vector<std::string> texts{"127.1.2.3", "192.168.100.254", " 10 . 0 . 0 . 1 ",
                                         "010.001.002.003"};
    size_t i = 0;
    uint32_t address = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseDottedQuad(texts[i++ & 3], address));
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK(BM_ParseDottedQuad);

void BM_ParseDottedQuadRefused(benchmark::State& state) {
    const std::vector<std::string> texts{"printer.example.com", "localhost", "10.0.0",
                                         "10.0.0.256"};
    size_t i = 0;
    uint32_t address = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseDottedQuad(texts[i++ & 3], address));
}
BENCHMARK(BM_ParseDottedQuadRefused);

void BM_StatusLogAddFull(benchmark::State& state) {
    TStatusLog log(nullptr);
    log.SetCapacity(static_cast<int32_t>(state.range(0)));
    const std::string host = "127.1.2.3";
    for (int i = 0; i < log.Capacity(); ++i)
        log.Add(host, prSuccess);
    int i = 0;
    for (auto _ : state)
        log.Add(host, (++i & 1) != 0 ? prTimedOut : prSuccess);
    if (log.Count() != log.Capacity())
        state.SkipWithError("the log did not stay full");
}
BENCHMARK(BM_StatusLogAddFull)->Arg(50)->Arg(100)->Arg(10000);

void BM_ListCompare(benchmark::State& state) {
    // Rows as the device list holds them: a device-type icon, a lamp, an address.
    TListView view;
    std::mt19937 random(7);
    std::vector<TListItem*> rows;
    for (int i = 0; i < 1000; ++i) {
        TListItem* row = view.AddItem();
        row->SetCaption(QStringLiteral("127.1.%1.%2").arg(i / 250).arg(i % 250 + 1));
        row->SetImageIndex(images::DeviceTypeImage(static_cast<int>(random() % 6)));
        row->AddSubItem(QString());
        row->SetSubItemImage(0, static_cast<int>(random() % 4));
        rows.push_back(row);
    }
    std::vector<std::pair<TListItem*, TListItem*>> pairs;
    pairs.reserve(4096);
    for (int i = 0; i < 4096; ++i)
        pairs.emplace_back(rows[random() % rows.size()], rows[random() % rows.size()]);
    size_t i = 0;
    for (auto _ : state) {
        const auto& [a, b] = pairs[i++ & 4095];
        benchmark::DoNotOptimize(gMain->ListCompare(a, b));
    }
}
BENCHMARK(BM_ListCompare);

// What TDeviceScanner::HostPingReply adds for alerting to every reply: the
// clock read, the tracker's Feed and, on a decision, the host name copied and
// the scanner's counts moved (TSentrelScanner::AlertChanged, whose handler is
// the front end's announcement and not timed here). 1000 devices in turn, so
// that their trackers come from memory as in the program; each device's
// results follow one pattern, shifted per device: a lone loss now and then,
// which decides nothing, and an outage of six results, which makes it Down
// and Up again: two decisions in 1024 replies, an outage every 17 minutes at
// a 1 s interval, more than a network sees.
void BM_AlertFeed(benchmark::State& state) {
    constexpr size_t Devices = 1000;
    constexpr size_t Pattern = 1024;
    std::array<TPingResult, Pattern> pattern{};
    pattern.fill(prSuccess);
    pattern[100] = prTimedOut;
    for (size_t i = 300; i < 306; ++i)
        pattern[i] = prTimedOut;
    pattern[700] = prDestHostUnreachable;
    std::vector<TAlertTracker> trackers(Devices);
    std::vector<std::string> hosts;
    for (size_t i = 0; i < Devices; ++i)
        hosts.push_back("127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    const TAlertThresholds thresholds;
    int up = 0;
    int down = 0;
    size_t device = 0;
    size_t step = 0;
    int64_t changes = 0;
    for (auto _ : state) {
        const TPingResult result = pattern[(step + device * 37) % Pattern];
        if (std::optional<TAlertChange> change = trackers[device].Feed(result, Now(), thresholds)) {
            change->Host = hosts[device];
            if (change->OldState == TAlertState::Up)
                --up;
            else if (change->OldState == TAlertState::Down)
                --down;
            if (change->NewState == TAlertState::Up)
                ++up;
            else if (change->NewState == TAlertState::Down)
                ++down;
            benchmark::DoNotOptimize(*change);
            ++changes;
        }
        if (++device == Devices) {
            device = 0;
            ++step;
        }
    }
    benchmark::DoNotOptimize(up);
    benchmark::DoNotOptimize(down);
    state.counters["changes_per_1000"] =
        benchmark::Counter(static_cast<double>(changes) * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_AlertFeed);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The window saves its settings when it goes: into a folder of its own.
    char folder[] = "/tmp/sentrel-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("XDG_CONFIG_HOME", folder, 1);
    bench::RunHeadless();
    int status = 0;
    {
        TApplication app(argc, argv);
        int errors = 0;
        bench::PrintErrors(errors);
        TMain::SetTrayAvailability(false);
        auto main = std::make_unique<TMain>(QStringList{});
        gMain = main.get();
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        gMain = nullptr;
        status = errors == 0 ? 0 : 1;
    }
    std::filesystem::remove_all(folder);
    return status;
}
