// bench_metrics: what serving the metrics of 10,000 devices costs. A registry
// of n devices, each fed one result, served on 127.0.0.1 by the metrics server
// and scraped over loopback by a plain HTTP client in this process, the way
// Prometheus asks (gzip, connection kept). Before each scrape every device is
// fed a new result, so the round trips and counts differ each time.
//
//   bench_metrics [-n devices] [-t seconds] [-r scrapes]
//       times r back-to-back scrapes (20): request sent to last byte in;
//       measures the body gzip and plain; then reads the server thread's CPU
//       over t seconds (20) idle, and over t seconds at one scrape a second.
//
// Prints key=value lines.

#include "core/metrics/MetricsRegistry.h"
#include "core/metrics/MetricsServer.h"
#include "core/metrics/ProcessMetrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::set<int> Threads() {
    std::set<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        closedir(dir);
    }
    return ids;
}

// CPU seconds of thread Id of this process: from schedstat in nanoseconds
// where the kernel keeps it, else user + system in clock ticks.
double ThreadCpu(int Id) {
    std::ifstream nanos("/proc/self/task/" + std::to_string(Id) + "/schedstat");
    double ran = 0;
    if (nanos >> ran)
        return ran / 1e9;
    std::ifstream file("/proc/self/task/" + std::to_string(Id) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    // Fields after the name: state is the 3rd of the line; utime the 14th.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        if (space == std::string::npos)
            break;
        at = space + 1;
    }
    if (fields.size() < 13)
        return -1;
    return (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
}

// One connection, kept between scrapes as Prometheus keeps it.
class TScraper {
public:
    explicit TScraper(uint16_t Port) {
        FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        if (connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("connect");
            std::exit(1);
        }
    }
    ~TScraper() { close(FFd); }

    // The body's size as sent, or 0 on any failure.
    size_t Scrape(bool Gzip) {
        const std::string request = std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
                                    (Gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n";
        if (send(FFd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return 0;
        FIn.clear();
        size_t end;
        while ((end = FIn.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return 0;
        const size_t length = FIn.find("Content-Length: ");
        if (FIn.compare(0, 12, "HTTP/1.1 200") != 0 || length == std::string::npos)
            return 0;
        const size_t size = std::stoul(FIn.substr(length + 16));
        while (FIn.size() < end + 4 + size)
            if (!Fill())
                return 0;
        return size;
    }

private:
    bool Fill() {
        pollfd p{FFd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return false;
        char buffer[1 << 16];
        const ssize_t got = recv(FFd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        FIn.append(buffer, static_cast<size_t>(got));
        return true;
    }
    int FFd = -1;
    std::string FIn;
};

} // namespace

int main(int argc, char** argv) {
    int devices = 10000, seconds = 20, runs = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "-n")
            devices = value;
        else if (option == "-t")
            seconds = value;
        else if (option == "-r")
            runs = value;
    }

    static const char* const Types[] = {"Computer", "Printer", "Router",
                                        "Server",   "Switch",  "Other"};
    std::vector<TMetricsDevice> list;
    for (int i = 0; i < devices; ++i)
        list.push_back({"10." + std::to_string(i / 62500 % 256) + "." +
                            std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1),
                        "Device " + std::to_string(i + 1) + " on floor " + std::to_string(i % 40),
                        Types[i % 6]});
    TMetricsRegistry registry;
    registry.SetDevices(list);
    registry.SetScanning(true);
    // A round of probes: every device answers again with a new round trip
    // (one in fifty stays down), as at a one-second interval.
    const TDateTime since = Now();
    int round = 0;
    auto feed = [&] {
        ++round;
        for (int i = 0; i < devices; ++i) {
            const bool up = i % 50 != 0;
            registry.AddResult(static_cast<size_t>(i), up ? prSuccess : prTimedOut,
                               up ? static_cast<uint32_t>(1 + (i + round * 7) % 97) : 0,
                               up ? TAlertState::Up : TAlertState::Down, since, round == 1);
        }
    };
    feed();

    TMetricsServer server([&](std::string& Body) {
        registry.Render(Body);
        RenderProcessMetrics(Body);
    });
    const std::set<int> before = Threads();
    server.Start({"127.0.0.1", 0});
    int serverThread = 0;
    for (int id : Threads())
        if (!before.count(id))
            serverThread = id;
    const uint16_t port = server.Endpoint()->Port;
    std::printf("devices=%d\n", devices);

    auto scraper = std::make_unique<TScraper>(port);
    std::printf("plain_bytes=%zu\n", scraper->Scrape(false));
    std::vector<double> times;
    size_t packed = 0;
    for (int i = 0; i < runs; ++i) {
        feed();
        const auto start = Clock::now();
        packed = scraper->Scrape(true);
        times.push_back(Ms(Clock::now() - start));
        if (packed == 0) {
            std::printf("failed=scrape %d got no body\n", i + 1);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("gzip_bytes=%zu\n", packed);
    std::printf("scrape_median_ms=%.2f\nscrape_max_ms=%.2f\nscrapes=%d\n", times[times.size() / 2],
                times.back(), runs);
    std::fflush(stdout);

    if (serverThread == 0) {
        std::printf("failed=the server's thread was not found\n");
        return 1;
    }
    // Idle, then one scrape a second; each the server thread's CPU over the
    // window.
    auto window = [&](bool Scrape) {
        const double cpu0 = ThreadCpu(serverThread);
        const auto start = Clock::now();
        for (int s = 0; s < seconds; ++s) {
            if (Scrape)
                feed();
            if (Scrape && scraper->Scrape(true) == 0)
                return -1.0;
            std::this_thread::sleep_until(start + std::chrono::seconds(s + 1));
        }
        return (ThreadCpu(serverThread) - cpu0) / seconds * 100;
    };
    const double idle = window(false);
    // The server ended the idle connection after its timeout.
    scraper = std::make_unique<TScraper>(port);
    const double busy = window(true);
    std::printf("idle_cpu_pct=%.3f\nscrape_cpu_pct=%.3f\n", idle, busy);
    std::printf("cpu_pct=%.3f\nwindow_s=%d\n", busy - idle, seconds);
    return 0;
}
