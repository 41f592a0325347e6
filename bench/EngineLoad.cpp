// bench_engine: the probing engine alone: one internet host and its worker
// per address, pinging until SIGINT or SIGTERM, each reply only counted.
// bench_sample measures it from outside, as it does fping and the program.
//
//   bench_engine [-n hosts] [-i interval_ms] [-w timeout_ms] [-s size]
//                [-6 1] [-W warmup_s -t window_s]
//
// The hosts are 127.1.0.1, 127.1.0.2, ... 250 to a block, as scripts/bench
// numbers its devices; with -6 1 every host is ::1. With -t it measures its
// own CPU per reply over the window after the warm-up and ends by itself
// (cpu_us_per_echo=), for IPv6, whose echoes the sampler does not count.

#include "net/qsInternetHost.h"
#include "net/qsWinsock.h"
#include "platform/Process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int hosts = 1000;
    uint32_t interval = 1000, timeout = 1000;
    uint16_t size = 56;
    bool six = false;
    long warmup = 0, window = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (arg == "-n")
            hosts = static_cast<int>(value);
        else if (arg == "-i")
            interval = static_cast<uint32_t>(value);
        else if (arg == "-w")
            timeout = static_cast<uint32_t>(value);
        else if (arg == "-s")
            size = static_cast<uint16_t>(value);
        else if (arg == "-6")
            six = value != 0;
        else if (arg == "-W")
            warmup = value;
        else if (arg == "-t")
            window = value;
    }
    const auto cpuUs = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec;
    };
    // Workers inherit the blocked signals; this thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    platform::RaiseOpenFileLimit();

    TComponent root(nullptr);
    auto* winsock = new TqsWinsock(&root);
    std::atomic<unsigned long> replies{0};
    std::vector<std::unique_ptr<TqsInternetHost>> targets;
    int status = 0;
    double startMs = 0;
    try {
        winsock->SetActive(true);
        TqsPingDefaults settings;
        settings.SetDataSize(size);
        settings.SetTTL(64);
        settings.SetTimeout(timeout);
        settings.SetInterval(interval);
        for (int i = 0; i < hosts; ++i) {
            auto host = std::make_unique<TqsInternetHost>(nullptr);
            host->SetWinsock(winsock);
            host->SetPingSettings(&settings);
            host->SetHostName(six ? std::string("::1")
                                  : "127.1." + std::to_string(i / 250) + "." +
                                        std::to_string(i % 250 + 1));
            host->OnPingReply = [&replies](TObject*, TqsPingReply*) {
                replies.fetch_add(1, std::memory_order_relaxed);
            };
            targets.push_back(std::move(host));
        }
        const auto began = std::chrono::steady_clock::now();
        for (auto& host : targets)
            host->StartPing();
        startMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count();
        if (window > 0) {
            sleep(static_cast<unsigned>(warmup));
            const double cpu = cpuUs();
            const unsigned long before = replies.load();
            sleep(static_cast<unsigned>(window));
            const unsigned long answered = replies.load() - before;
            if (answered > 0)
                std::printf("cpu_us_per_echo=%.2f\n", (cpuUs() - cpu) / answered);
        } else {
            int signal = 0;
            sigwait(&signals, &signal);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_engine: %s\n", e.what());
        status = 1;
    }
    for (auto& host : targets)
        host->TerminatePing();
    for (auto& host : targets)
        host->WaitForPing();
    std::printf("replies=%lu\n", replies.load());
    std::printf("start_ms=%.1f\n", startMs);
    return status;
}
