#pragma once
// Runs a piece of a test in a forked child, for what must not touch the test
// process itself (a private mount namespace, a full file system).

#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>
#include <utility>

// The exit status a child uses to say it had to skip.
inline constexpr int ChildSkipStatus = 77;

// Runs Body in a child and returns its exit status and the text it returned;
// a text beginning "SKIP:" makes the child exit with ChildSkipStatus.
inline std::pair<int, std::string> InChild(const std::function<std::string()>& Body) {
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, "pipe failed"};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        try {
            out = Body();
        } catch (const std::exception& e) {
            out = std::string("unexpected: ") + e.what();
        }
        if (write(fds[1], out.data(), out.size()) < 0)
            _exit(2);
        _exit(out.starts_with("SKIP:") ? ChildSkipStatus : 0);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}
