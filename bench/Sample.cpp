// bench_sample: starts a program, lets it settle, then measures what it costs
// over a window: CPU time of all its threads, context switches, resident
// memory, and the ICMP counters of the network namespace it runs in (the
// namespace of this process, which the program inherits). Ends it with a
// signal afterwards and says how long it took to exit.
//
//   bench_sample [-w warmup_s] [-t window_s] [-s INT|TERM] [-o out_file] [-e err_file]
//                -- program args...
//
// Prints key=value lines on standard output.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    Clock::time_point At;
    unsigned long long RunNs = 0;     // summed over live threads (schedstat)
    unsigned long long StatTicks = 0; // utime + stime of the process, exited threads too
    unsigned long long Voluntary = 0;
    unsigned long long Involuntary = 0;
    int Threads = 0;
    std::map<std::string, long long> Icmp;
};

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A "Name:   value" field of a /proc status file, or -1.
long long StatusField(const std::string& text, const char* name) {
    const std::string key = std::string(name) + ":";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    return std::strtoll(text.c_str() + at + key.size(), nullptr, 10);
}

// The Icmp lines of /proc/net/snmp: a line of names, then a line of values.
std::map<std::string, long long> IcmpCounters() {
    std::map<std::string, long long> counters;
    std::istringstream lines(ReadText("/proc/net/snmp"));
    std::string names, values;
    while (std::getline(lines, names)) {
        if (names.rfind("Icmp: ", 0) != 0)
            continue;
        std::getline(lines, values);
        std::istringstream n(names), v(values);
        std::string name, value;
        n >> name;
        v >> value;
        while (n >> name && v >> value)
            counters[name] = std::strtoll(value.c_str(), nullptr, 10);
        break;
    }
    return counters;
}

Sample Take(pid_t pid) {
    Sample s;
    s.At = Clock::now();
    const std::string base = "/proc/" + std::to_string(pid);
    // utime and stime are fields 14 and 15; the name in parentheses may hold blanks.
    const std::string stat = ReadText(base + "/stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14)
                s.StatTicks += std::strtoull(field.c_str(), nullptr, 10);
    }
    if (DIR* dir = opendir((base + "/task").c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string task = base + "/task/" + entry->d_name;
            s.RunNs += std::strtoull(ReadText(task + "/schedstat").c_str(), nullptr, 10);
            const std::string status = ReadText(task + "/status");
            const long long v = StatusField(status, "voluntary_ctxt_switches");
            const long long n = StatusField(status, "nonvoluntary_ctxt_switches");
            s.Voluntary += v > 0 ? static_cast<unsigned long long>(v) : 0;
            s.Involuntary += n > 0 ? static_cast<unsigned long long>(n) : 0;
            ++s.Threads;
        }
        closedir(dir);
    }
    s.Icmp = IcmpCounters();
    return s;
}

bool Alive(pid_t pid, int& status) {
    return waitpid(pid, &status, WNOHANG) == 0;
}

void Usage() {
    std::fprintf(stderr, "usage: bench_sample [-w warmup_s] [-t window_s] [-s INT|TERM] "
                         "[-o out_file] [-e err_file] -- program args...\n");
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    double warmup = 3, window = 10;
    int stopSignal = SIGINT;
    std::string output = "/dev/null";
    std::string errors;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc)
            Usage();
        const char* value = argv[++i];
        if (arg == "-w")
            warmup = std::atof(value);
        else if (arg == "-t")
            window = std::atof(value);
        else if (arg == "-s")
            stopSignal = std::strcmp(value, "TERM") == 0 ? SIGTERM : SIGINT;
        else if (arg == "-o")
            output = value;
        else if (arg == "-e")
            errors = value;
        else
            Usage();
    }
    if (i >= argc)
        Usage();

    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        // Never outlive the sampler, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0)
            dup2(fd, STDOUT_FILENO);
        if (!errors.empty()) {
            const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (err >= 0)
                dup2(err, STDERR_FILENO);
        }
        execvp(argv[i], argv + i);
        std::perror(argv[i]);
        _exit(127);
    }

    const auto started = Clock::now();
    int status = 0;
    auto sleepUntil = [&](Clock::time_point when) {
        while (Clock::now() < when) {
            if (!Alive(pid, status))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Alive(pid, status);
    };
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    if (!sleepUntil(started + seconds(warmup))) {
        std::printf("failed=exited during warm-up, status %d\n", WEXITSTATUS(status));
        return 1;
    }
    const Sample a = Take(pid);
    if (!sleepUntil(a.At + seconds(window))) {
        std::printf("failed=exited during the window, status %d\n", WEXITSTATUS(status));
        return 1;
    }
    const Sample b = Take(pid);
    const std::string memory = ReadText("/proc/" + std::to_string(pid) + "/status");
    // "Max open files   <soft>   <hard>   files": the limit the program runs with.
    std::string softFiles = "?", hardFiles = "?";
    {
        const std::string limits = ReadText("/proc/" + std::to_string(pid) + "/limits");
        const size_t at = limits.find("Max open files");
        if (at != std::string::npos) {
            std::istringstream line(limits.substr(at + std::strlen("Max open files")));
            line >> softFiles >> hardFiles;
        }
    }

    const auto stopAt = Clock::now();
    kill(pid, stopSignal);
    bool exited = false;
    while (Clock::now() - stopAt < std::chrono::seconds(60)) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double exitMs = std::chrono::duration<double, std::milli>(Clock::now() - stopAt).count();
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }

    const double wall = std::chrono::duration<double>(b.At - a.At).count();
    const long tick = sysconf(_SC_CLK_TCK);
    auto icmp = [&](const char* name) {
        const auto x = b.Icmp.find(name), y = a.Icmp.find(name);
        return x == b.Icmp.end() || y == a.Icmp.end() ? -1 : x->second - y->second;
    };
    std::printf("window_s=%.3f\n", wall);
    std::printf("cpu_ms=%.3f\n", static_cast<double>(b.RunNs - a.RunNs) / 1e6);
    std::printf("cpu_stat_ms=%.1f\n", static_cast<double>(b.StatTicks - a.StatTicks) * 1000.0 /
                                          static_cast<double>(tick));
    std::printf("voluntary_cs=%llu\n", b.Voluntary - a.Voluntary);
    std::printf("involuntary_cs=%llu\n", b.Involuntary - a.Involuntary);
    std::printf("threads=%d\n", b.Threads);
    std::printf("threads_before=%d\n", a.Threads);
    std::printf("echo_replies=%lld\n", icmp("InEchoReps"));
    std::printf("echo_requests=%lld\n", icmp("InEchos"));
    std::printf("hwm_kib=%lld\n", StatusField(memory, "VmHWM"));
    std::printf("rss_kib=%lld\n", StatusField(memory, "VmRSS"));
    std::printf("open_files_soft=%s\n", softFiles.c_str());
    std::printf("open_files_hard=%s\n", hardFiles.c_str());
    std::printf("exit_ms=%.1f\n", exitMs);
    std::printf("exit_status=%d\n", exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
