// bench_stop: how long the scanner's Stop takes while every device's echo is
// still in flight to a host that never answers. Stop ends every echo at once,
// so it should take as long as joining the workers and closing their
// handles, whatever the echo timeout.
//
//   bench_stop [-n devices] [-w timeout_ms] [-a first_address] [-N netns]
//
// The devices are first_address, first_address + 1, ...; the caller routes
// them where nothing answers, inside a network namespace of its own, which it
// names with -N. Without it only loopback addresses are accepted, so that
// nothing leaves the machine by mistake. Prints key=value lines.

#include "core/Dispatcher.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "net/qsWinsock.h"
#include "platform/Process.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Whether this process runs in the named namespace that `ip netns` made
// (its file under /run/netns).
bool InNamespace(const std::string& Name) {
    if (Name.empty() || Name.find('/') != std::string::npos)
        return false;
    struct stat own = {};
    struct stat named = {};
    return stat("/proc/self/ns/net", &own) == 0 &&
           stat(("/run/netns/" + Name).c_str(), &named) == 0 && own.st_ino == named.st_ino &&
           own.st_dev == named.st_dev;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Echo requests this network namespace has sent (OutEchos of /proc/net/snmp).
long long EchoRequestsSent() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Icmp: ", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "OutEchos")
                return std::stoll(value);
        }
    }
    return -1;
}

// Waits until Count more echo requests have left than Before, or a few
// seconds have passed; returns how many have.
long long WaitForEchoes(long long Before, long long Count) {
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    long long sent = EchoRequestsSent() - Before;
    while (sent < Count && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sent = EchoRequestsSent() - Before;
    }
    return sent;
}

} // namespace

int main(int argc, char** argv) {
    int devices = 1000;
    int timeout = 3000;
    std::string first = "127.1.0.1";
    std::string netns;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "-n")
            devices = std::atoi(argv[i + 1]);
        else if (arg == "-w")
            timeout = std::atoi(argv[i + 1]);
        else if (arg == "-a")
            first = argv[i + 1];
        else if (arg == "-N")
            netns = argv[i + 1];
    }
    in_addr base{};
    if (inet_pton(AF_INET, first.c_str(), &base) != 1) {
        std::printf("failed=%s is no address\n", first.c_str());
        return 2;
    }
    const uint32_t firstHost = ntohl(base.s_addr);
    const uint32_t lastHost = firstHost + static_cast<uint32_t>(devices > 0 ? devices - 1 : 0);
    const bool loopback = (firstHost >> 24) == 127 && (lastHost >> 24) == 127;
    if (!loopback && !InNamespace(netns)) {
        std::printf("failed=%s is not loopback: run inside a namespace made for it and name it "
                    "with -N\n",
                    first.c_str());
        return 2;
    }
    platform::RaiseOpenFileLimit();

    TComponent owner(nullptr);
    auto* settings = new TSentrelSettings(&owner);
    auto* winsock = new TqsWinsock(&owner);
    auto* scanner = new TSentrelScanner(&owner);
    TQueueDispatcher queue;
    scanner->SetWinsock(winsock);
    scanner->SetDispatcher(&queue);
    settings->EchoTimeOut = timeout;
    settings->PingInterval = 1;
    settings->EchoRequestSize = 56;
    for (int i = 0; i < devices; ++i) {
        in_addr address{htonl(firstHost + static_cast<uint32_t>(i))};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address, text, sizeof(text));
        settings->Devices()->Add()->SetHost(text);
    }
    scanner->LoadFromSettings(settings);
    try {
        winsock->SetActive(true);
        const long long sentBefore = EchoRequestsSent();
        const auto startBegan = Clock::now();
        scanner->SetActive(true);
        // The start goes on in slices through the queue.
        while (scanner->Starting())
            queue.Drain();
        const auto startEnded = Clock::now();
        // Every worker sends as soon as it runs; a silent host never answers.
        // Stop once every echo is out, so that each one is cut short.
        const long long inFlight = WaitForEchoes(sentBefore, devices);
        const size_t answeredBeforeStop = queue.Pending();
        const auto stopBegan = Clock::now();
        scanner->SetActive(false);
        const auto stopEnded = Clock::now();
        std::printf("devices=%d\n", devices);
        std::printf("timeout_ms=%d\n", timeout);
        std::printf("start_ms=%.1f\n", Ms(startEnded - startBegan));
        std::printf("echoes_in_flight=%lld\n", inFlight);
        std::printf("answered_before_stop=%zu\n", answeredBeforeStop);
        std::printf("stop_ms=%.1f\n", Ms(stopEnded - stopBegan));
        // Under the timeout: the echoes were cut short, not waited for.
        std::printf("stop_after_start_ms=%.1f\n", Ms(stopEnded - startEnded));
    } catch (const std::exception& e) {
        std::printf("failed=%s\n", e.what());
        return 1;
    }
    return 0;
}
