#include "core/metrics/ProcessMetrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

void Append(std::string& Out, const char* Name, const char* Type, const char* Help, double Value) {
    char line[256];
    const int length = std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n%s %.15g\n",
                                     Name, Help, Name, Type, Name, Value);
    if (length > 0 && static_cast<size_t>(length) < sizeof line)
        Out.append(line, static_cast<size_t>(length));
}

std::string ReadFile(const char* Path) {
    std::ifstream file(Path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The fields of /proc/self/stat after the command name, which may itself
// hold blanks and parentheses: the first is field 3, the state.
std::vector<std::string> StatFields() {
    const std::string stat = ReadFile("/proc/self/stat");
    const size_t close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

double Number(const std::vector<std::string>& Fields, size_t Field) {
    // Field numbers as proc(5) gives them; Fields starts at field 3.
    if (Field < 3 || Field - 3 >= Fields.size())
        return -1;
    const std::string& text = Fields[Field - 3];
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? static_cast<double>(value)
                                                                    : -1;
}

// When the machine started, in seconds since the Unix epoch.
double BootTime() {
    std::istringstream stat(ReadFile("/proc/stat"));
    for (std::string line; std::getline(stat, line);)
        if (line.rfind("btime ", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr);
    return -1;
}

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own
}

} // namespace

void RenderProcessMetrics(std::string& Out) {
    const auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const auto page = static_cast<double>(sysconf(_SC_PAGESIZE));
    const std::vector<std::string> stat = StatFields();
    const double user = Number(stat, 14);
    const double system = Number(stat, 15);
    if (user >= 0 && system >= 0 && ticks > 0)
        Append(Out, "process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in seconds.", (user + system) / ticks);
    if (const double threads = Number(stat, 20); threads >= 0)
        Append(Out, "process_threads", "gauge", "Number of threads of the process.", threads);
    const double started = Number(stat, 22);
    const double boot = BootTime();
    if (started >= 0 && boot >= 0 && ticks > 0)
        Append(Out, "process_start_time_seconds", "gauge",
               "Start time of the process since the Unix epoch in seconds.",
               boot + started / ticks);
    if (const double virtualBytes = Number(stat, 23); virtualBytes >= 0)
        Append(Out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
               virtualBytes);
    if (const double resident = Number(stat, 24); resident >= 0 && page > 0)
        Append(Out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               resident * page);
    if (const int open = OpenDescriptors(); open >= 0)
        Append(Out, "process_open_fds", "gauge", "Number of open file descriptors.", open);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        Append(Out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
               static_cast<double>(limit.rlim_cur));
}
