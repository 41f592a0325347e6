// bench_icmp6: the ICMP module's cost per echo, IPv6 beside IPv4. Loads the
// module as the workers do and keeps a handle and a thread per device, each
// echoing once a second to ::1 (-f 6) or 127.0.0.1 (-f 4); the process's CPU
// over the window, divided by the echoes answered in it.
//
//   bench_icmp6 -f 4|6 [-n devices] [-w warm-up_s] [-t window_s] [-s size]
//
// Prints key=value lines.

#include "platform/IcmpApi.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <limits.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

double ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Entries {
    PIcmpCreateFile Create = nullptr;
    PIcmp6CreateFile Create6 = nullptr;
    PIcmpSendEcho Send = nullptr;
    PIcmp6SendEcho2 Send6 = nullptr;
    PIcmpCloseHandle Close = nullptr;
    PIcmpCancelEcho Cancel = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    int family = 4, devices = 1000, warmup = 3, window = 10;
    uint16_t size = 56;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "-f")
            family = value;
        else if (arg == "-n")
            devices = value;
        else if (arg == "-w")
            warmup = value;
        else if (arg == "-t")
            window = value;
        else if (arg == "-s")
            size = static_cast<uint16_t>(value);
    }
    char exe[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    path = path.substr(0, path.rfind('/') + 1) + "icmp.so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    Entries e;
    if (module != nullptr) {
        e.Create = reinterpret_cast<PIcmpCreateFile>(dlsym(module, "IcmpCreateFile"));
        e.Create6 = reinterpret_cast<PIcmp6CreateFile>(dlsym(module, "Icmp6CreateFile"));
        e.Send = reinterpret_cast<PIcmpSendEcho>(dlsym(module, "IcmpSendEcho"));
        e.Send6 = reinterpret_cast<PIcmp6SendEcho2>(dlsym(module, "Icmp6SendEcho2"));
        e.Close = reinterpret_cast<PIcmpCloseHandle>(dlsym(module, "IcmpCloseHandle"));
        e.Cancel = reinterpret_cast<PIcmpCancelEcho>(dlsym(module, "IcmpCancelEcho"));
    }
    if (!e.Create || !e.Create6 || !e.Send || !e.Send6 || !e.Close || !e.Cancel) {
        std::printf("failed=cannot load the ICMP module %s\n", path.c_str());
        return 1;
    }

    std::vector<IcmpHandle> handles(static_cast<size_t>(devices));
    for (IcmpHandle& h : handles) {
        h = family == 6 ? e.Create6() : e.Create();
        if (h == ICMP_INVALID_HANDLE) {
            std::printf("failed=no ICMP handle\n");
            return 1;
        }
    }
    std::atomic<bool> stop{false};
    std::atomic<bool> counting{false};
    std::atomic<unsigned long> answered{0};
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int d = 0; d < devices; ++d) {
        threads.emplace_back([&, d] {
            std::vector<uint8_t> data(size, 0xAA);
            std::vector<uint64_t> reply(
                (sizeof(ICMPV6_ECHO_REPLY) + sizeof(ICMP_ECHO_REPLY) + size + 64) / 8);
            const uint32_t replySize = static_cast<uint32_t>(reply.size() * 8);
            sockaddr_in6 to6{};
            to6.sin6_family = AF_INET6;
            to6.sin6_addr = in6addr_loopback;
            IP_OPTION_INFORMATION options{};
            options.Ttl = 64;
            // Spread over the second, as the program's workers are.
            auto next = start + std::chrono::microseconds(1000000L * d / devices);
            while (!stop.load()) {
                std::this_thread::sleep_until(next);
                next += std::chrono::seconds(1);
                const uint32_t got =
                    family == 6
                        ? e.Send6(handles[static_cast<size_t>(d)], nullptr, nullptr, nullptr,
                                  nullptr, &to6, data.data(), size, &options, reply.data(),
                                  replySize, 1000)
                        : e.Send(handles[static_cast<size_t>(d)], htonl(INADDR_LOOPBACK),
                                 data.data(), size, &options, reply.data(), replySize, 1000);
                if (got > 0 && counting.load())
                    answered.fetch_add(1);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    const double cpuStart = ProcessCpuNs();
    counting.store(true);
    std::this_thread::sleep_for(std::chrono::seconds(window));
    counting.store(false);
    const double cpu = ProcessCpuNs() - cpuStart;
    stop.store(true);
    for (IcmpHandle h : handles)
        e.Cancel(h);
    for (std::thread& t : threads)
        t.join();
    for (IcmpHandle h : handles)
        e.Close(h);
    const unsigned long echoes = answered.load();
    std::printf("family=%d\n", family);
    std::printf("devices=%d\n", devices);
    std::printf("echoes=%lu\n", echoes);
    std::printf("echoes_per_s=%.1f\n", static_cast<double>(echoes) / window);
    if (echoes > 0)
        std::printf("cpu_us_per_echo=%.3f\n", cpu / 1e3 / static_cast<double>(echoes));
    return 0;
}
