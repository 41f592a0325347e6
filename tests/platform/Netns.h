#pragma once
// Private network namespaces for tests that need routers and hosts of their
// own: they are created with `ip netns`, joined only by forked children, and
// removed again, so nothing a test sends ever reaches the machine's network.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace netns {

// Runs a program (no shell) and returns its exit status, or -1 when it could
// not be run; Output, when given, receives what it wrote.
int Run(const std::vector<std::string>& Argv, std::string* Output = nullptr);

// Why namespaces cannot be built here, or empty when they can.
std::string UnavailableReason();

// Removes namespaces named Prefix<pid>-... whose creating process is gone:
// the leftovers of a run that crashed before it could clean up.
void RemoveLeftovers(const std::string& Prefix);

// A process started inside a namespace; killed and reaped when dropped.
class Process {
public:
    explicit Process(pid_t Pid = -1) : Pid(Pid) {}
    Process(Process&& Other) noexcept : Pid(Other.Pid) { Other.Pid = -1; }
    Process& operator=(Process&& Other) noexcept;
    ~Process() { Stop(); }
    void Stop();

private:
    pid_t Pid;
};

// One namespace, created by the constructor and deleted by the destructor.
// Failures throw std::runtime_error carrying the failed command's output.
class Namespace {
public:
    explicit Namespace(std::string Name);
    ~Namespace();
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    const std::string& Name() const { return NameValue; }

    // Runs `ip -n <name> Args...`.
    void Ip(const std::vector<std::string>& Args) const;
    // Writes a sysctl of this namespace (key in dotted form).
    void Sysctl(const std::string& Key, const std::string& Value) const;

    // Runs Body in a forked child that has joined this namespace and returns
    // what Body returned. The calling process stays where it is.
    std::string RunInside(const std::function<std::string()>& Body,
                          std::chrono::milliseconds Limit = std::chrono::seconds(20)) const;

    // Starts Body in a forked child inside this namespace and returns once
    // Body has written one byte to the descriptor it is given (it is ready).
    Process Start(const std::function<void(int ReadyFd)>& Body) const;

private:
    // Forks a child that joins this namespace and runs Body; returns its pid.
    pid_t Fork(const std::function<void()>& Body) const;

    std::string NameValue;
};

} // namespace netns
