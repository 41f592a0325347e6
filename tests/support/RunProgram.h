#pragma once
// For tests that run the real executables: starting one in a forked child,
// and waiting until it has set up its signal handling.

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// A settings file the programs load without a word: every permission
// granted, scanning and the window off, no device yet.
inline constexpr const char* QuietSettings =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n"
    "\"AutoScan\"=dword:00000000\n\"ShowWindow\"=dword:00000000\n"
    "\"AllowEchoChange\"=dword:00000001\n\"AllowDeviceChanges\"=dword:00000001\n"
    "\"AllowClearLog\"=dword:00000001\n\"AllowChangeLogSize\"=dword:00000001\n"
    "\"ECHORequestSize\"=dword:00000020\n\"IPTimeToLive\"=dword:00000040\n"
    "\"ECHOTimeout\"=dword:000003e8\n\"PingInterval\"=dword:00000001\n"
    "\"SystemLogSize\"=dword:00000064\n\"DeviceLogSize\"=dword:00000031\n";

// Runs Program with Arguments in this process; exits 127 when it cannot.
[[noreturn]] inline void ExecProgram(const char* Program,
                                     const std::vector<std::string>& Arguments) {
    std::vector<char*> argv{const_cast<char*>(Program)};
    for (const std::string& argument : Arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(Program, argv.data());
    _exit(127);
}

// Waits, at most 30 s, until process Pid catches SIGTERM: the programs set
// their handler once they are up. False when it ended or never did.
inline bool WaitUntilCatchingSigterm(pid_t Pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(Pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos)
                return false;
            if (line.rfind("SigCgt:", 0) == 0 &&
                ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) != 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
