// bench_engine: the probing engine alone: one internet host and its worker
// per address, pinging until SIGINT or SIGTERM, each reply only counted.
// bench_sample measures it from outside, as it does fping and the program.
//
//   bench_engine [-n hosts] [-i interval_ms] [-w timeout_ms] [-s size]
//
// The hosts are 127.1.0.1, 127.1.0.2, ... 250 to a block, as scripts/bench
// numbers its devices.

#include "net/qsInternetHost.h"
#include "net/qsWinsock.h"
#include "platform/Process.h"

#include <pthread.h>
#include <signal.h>

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
    }
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
            host->SetHostName("127.1." + std::to_string(i / 250) + "." +
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
        int signal = 0;
        sigwait(&signals, &signal);
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
