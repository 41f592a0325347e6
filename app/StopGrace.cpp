#include "app/StopGrace.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace stopgrace {

namespace {

std::atomic<bool> gAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from signal handlers");

// Only async-signal-safe calls: this runs in a signal handler on any thread.
[[noreturn]] void EndNow(const char* Line, size_t Length) {
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, Line, Length);
    // Ended by SIGTERM, as if it had never been caught; the thread that runs
    // this may block the signal (the console's threads all do).
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    _exit(128 + SIGTERM);
}

void OnGraceOver(int) {
    static constexpr char Line[] =
        "Kestrava Sentrel: still running 5 s after being asked to stop; ending now\n";
    static_assert(GracePeriod.count() == 5, "the line names the grace period");
    EndNow(Line, sizeof(Line) - 1);
}

} // namespace

void Install() {
    struct sigaction action {};
    action.sa_handler = OnGraceOver;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
}

void StopAsked() {
    if (!gAsked.exchange(true)) {
        alarm(static_cast<unsigned>(GracePeriod.count()));
        return;
    }
    static constexpr char Line[] = "Kestrava Sentrel: asked to stop again; ending now\n";
    EndNow(Line, sizeof(Line) - 1);
}

} // namespace stopgrace
