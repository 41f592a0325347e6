#include "tests/platform/Netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace netns {
namespace {

const char* const NetnsDir = "/var/run/netns";

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Reads Fd to its end, or until Deadline; false when the deadline passed.
bool ReadAll(int fd, std::string& out, std::chrono::steady_clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Join(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

} // namespace

int Run(const std::vector<std::string>& Argv, std::string* Output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& arg : Argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    ReadAll(fds[0], text, std::chrono::steady_clock::now() + std::chrono::seconds(30));
    close(fds[0]);
    const int rc = WaitExit(pid);
    if (Output != nullptr)
        *Output = text;
    return rc;
}

std::string UnavailableReason() {
    if (geteuid() != 0)
        return "building network namespaces needs root";
    std::string output;
    if (Run({"ip", "netns", "list"}, &output) != 0)
        return "`ip netns` is not available: " + output;
    // Root in a container may still be refused a namespace of its own.
    const pid_t pid = fork();
    if (pid == 0)
        _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    if (pid < 0 || WaitExit(pid) != 0)
        return "this process may not create network namespaces";
    return {};
}

void RemoveLeftovers(const std::string& Prefix) {
    DIR* dir = opendir(NetnsDir);
    if (dir == nullptr)
        return;
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, Prefix.size(), Prefix) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + Prefix.size(), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(name);
    }
    closedir(dir);
    for (const auto& name : stale)
        Run({"ip", "netns", "del", name});
}

Process& Process::operator=(Process&& Other) noexcept {
    if (this != &Other) {
        Stop();
        Pid = Other.Pid;
        Other.Pid = -1;
    }
    return *this;
}

void Process::Stop() {
    if (Pid <= 0)
        return;
    kill(Pid, SIGKILL);
    WaitExit(Pid);
    Pid = -1;
}

Namespace::Namespace(std::string Name) : NameValue(std::move(Name)) {
    std::string output;
    if (Run({"ip", "netns", "add", NameValue}, &output) != 0)
        throw std::runtime_error("ip netns add " + NameValue + ": " + output);
    Ip({"link", "set", "lo", "up"});
}

Namespace::~Namespace() {
    Run({"ip", "netns", "del", NameValue});
}

void Namespace::Ip(const std::vector<std::string>& Args) const {
    std::vector<std::string> argv{"ip", "-n", NameValue};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::string output;
    if (Run(argv, &output) != 0)
        throw std::runtime_error(Join(argv) + ": " + output);
}

void Namespace::Sysctl(const std::string& Key, const std::string& Value) const {
    // /proc/sys/net belongs to the namespace of the process that opens it.
    std::string path = "/proc/sys/" + Key;
    std::replace(path.begin() + 10, path.end(), '.', '/');
    const std::string result = RunInside([&] {
        std::ofstream file(path);
        file << Value << '\n';
        file.flush();
        return std::string(file ? "ok" : "failed");
    });
    if (result != "ok")
        throw std::runtime_error("sysctl " + Key + "=" + Value + " in " + NameValue + " failed");
}

pid_t Namespace::Fork(const std::function<void()>& Body) const {
    const std::string path = std::string(NetnsDir) + "/" + NameValue;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The child must not outlive the test, nor return into it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
        _exit(90);
    close(fd);
    try {
        Body();
    } catch (...) {
        _exit(91);
    }
    _exit(0);
}

std::string Namespace::RunInside(const std::function<std::string()>& Body,
                                 std::chrono::milliseconds Limit) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    const pid_t pid = Fork([&] {
        close(fds[0]);
        WriteAll(fds[1], Body());
    });
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }
    std::string result;
    const bool finished = ReadAll(fds[0], result, std::chrono::steady_clock::now() + Limit);
    close(fds[0]);
    if (!finished)
        kill(pid, SIGKILL);
    const int rc = WaitExit(pid);
    if (!finished)
        throw std::runtime_error("child in " + NameValue + " did not finish in time");
    if (rc != 0)
        throw std::runtime_error("child in " + NameValue + " failed with " + std::to_string(rc));
    return result;
}

Process Namespace::Start(const std::function<void(int ReadyFd)>& Body) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    Process process(Fork([&] {
        close(fds[0]);
        Body(fds[1]);
    }));
    close(fds[1]);
    char byte = 0;
    pollfd p{fds[0], POLLIN, 0};
    const bool ok = poll(&p, 1, 5000) == 1 && read(fds[0], &byte, 1) == 1;
    close(fds[0]);
    if (!ok)
        throw std::runtime_error("process in " + NameValue + " did not start");
    return process;
}

} // namespace netns
