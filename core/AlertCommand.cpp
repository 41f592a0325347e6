#include "core/AlertCommand.h"

#include "platform/SystemLog.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* EnvNames[] = {
    "SENTREL_HOST=", "SENTREL_STATE=", "SENTREL_OLD_STATE=", "SENTREL_RESULT=", "SENTREL_SINCE="};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

std::string ErrorText(int Error) {
    char buffer[256];
    return strerror_r(Error, buffer, sizeof buffer); // the GNU form returns the text
}

std::string LimitText(std::chrono::milliseconds Limit) {
    if (Limit.count() % 1000 == 0)
        return std::to_string(Limit.count() / 1000) + " s";
    return std::to_string(Limit.count()) + " ms";
}

std::string Quoted(const std::string& Program) {
    return "Alert command \"" + Program + "\"";
}

// Why Path cannot be run, or "" when it can.
std::string FileProblem(const std::string& Path) {
    struct stat info {};
    if (stat(Path.c_str(), &info) != 0)
        return "was not found";
    if (S_ISDIR(info.st_mode))
        return "is a folder";
    if (!S_ISREG(info.st_mode) || access(Path.c_str(), X_OK) != 0)
        return "is not executable";
    return {};
}

// The folders execvp searches: PATH, or the system's default without it.
std::string SearchPath() {
    if (const char* path = std::getenv("PATH"))
        return path;
    char buffer[PATH_MAX];
    const size_t n = confstr(_CS_PATH, buffer, sizeof buffer);
    return n > 0 && n <= sizeof buffer ? std::string(buffer) : std::string("/bin:/usr/bin");
}

// Appends the text of the "..." opening at Open to Word; returns the index of
// the closing quote, npos when there is none.
size_t AppendDoubleQuoted(const std::string& Line, size_t Open, std::string& Word) {
    for (size_t i = Open + 1; i < Line.size(); ++i) {
        const char c = Line[i];
        if (c == '"')
            return i;
        const bool escape = c == '\\' && i + 1 < Line.size() && Line[i + 1] != '\0' &&
                            std::strchr("\"\\$`\n", Line[i + 1]) != nullptr;
        if (escape) {
            if (Line[++i] != '\n') // a backslash before a newline joins the lines
                Word += Line[i];
        } else {
            Word += c;
        }
    }
    return std::string::npos;
}

} // namespace

std::vector<std::string> SplitCommandLine(const std::string& Line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false; // also for an empty word given as '' or ""
    const auto unclosed = [&Line] {
        return EAlertCommand("The alert command \"" + Line + "\" has an unclosed quote.");
    };
    for (size_t i = 0; i < Line.size(); ++i) {
        const char c = Line[i];
        if (IsBlank(c)) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else if (c == '\\') {
            if (++i == Line.size())
                throw EAlertCommand("The alert command \"" + Line + "\" ends with a backslash.");
            if (Line[i] != '\n') {
                word += Line[i];
                inWord = true;
            }
        } else if (c == '\'') {
            const size_t close = Line.find('\'', i + 1);
            if (close == std::string::npos)
                throw unclosed();
            word.append(Line, i + 1, close - i - 1);
            inWord = true;
            i = close;
        } else if (c == '"') {
            i = AppendDoubleQuoted(Line, i, word);
            if (i == std::string::npos)
                throw unclosed();
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

std::string CommandProblem(const std::string& Line) {
    std::vector<std::string> words;
    try {
        words = SplitCommandLine(Line);
    } catch (const EAlertCommand& e) {
        return e.Message();
    }
    if (words.empty())
        return {};
    const std::string& program = words.front();
    if (program.find('/') != std::string::npos) {
        const std::string problem = FileProblem(program);
        return problem.empty() ? problem : "The alert program \"" + program + "\" " + problem + ".";
    }
    // As execvp: the first executable file along PATH, an empty entry being
    // the current folder.
    bool seen = false;
    const std::string path = SearchPath();
    for (size_t start = 0;;) {
        const size_t end = std::min(path.find(':', start), path.size());
        std::string file = end == start ? "." : path.substr(start, end - start);
        file += '/';
        file += program;
        const std::string problem = FileProblem(file);
        if (problem.empty())
            return {};
        seen = seen || problem != "was not found";
        if (end == path.size())
            break;
        start = end + 1;
    }
    if (seen)
        return "The alert program \"" + program + "\" is not executable.";
    return "The alert program \"" + program + "\" is not in any folder of the search path.";
}

std::string AlertTimeText(TDateTime When) {
    if (When <= 0)
        return {};
    // TDateTime is local time: mktime makes it an instant, localtime_r gives
    // back the wall time and offset in force then (a time inside a clock
    // change's gap moves forward, its text and offset agreeing).
    std::tm local = CalendarTime(When);
    const std::time_t instant = std::mktime(&local);
    std::tm shown{};
    if (instant == -1 || localtime_r(&instant, &shown) == nullptr)
        shown = local;
    const long offset = shown.tm_gmtoff / 60;
    const long absolute = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  shown.tm_year + 1900, shown.tm_mon + 1, shown.tm_mday, shown.tm_hour,
                  shown.tm_min, shown.tm_sec, offset < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return text;
}

TAlertCommandRunner::TAlertCommandRunner(int MaxRunning, std::chrono::milliseconds Limit,
                                         size_t MaxQueued)
    : FMaxRunning(static_cast<size_t>(std::max(1, MaxRunning))), FLimit(Limit),
      FMaxQueued(std::max<size_t>(1, MaxQueued)) {
    FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWakeFd < 0)
        throw Exception("Cannot create the alert command's event: " + ErrorText(errno));
    FSupervisor = std::thread([this] { Supervise(); });
}

// Running commands are neither waited for nor killed: the program is ending,
// and an operator must not watch it hang for up to the time limit on exit;
// a paging command cut short at exit could lose the very alert it carries.
// They end on their own, and init reaps them once the program has gone (the
// runner lives as long as the program). Commands not yet started are dropped.
TAlertCommandRunner::~TAlertCommandRunner() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopping = true;
    }
    Wake();
    FSupervisor.join();
    close(FWakeFd);
}

void TAlertCommandRunner::SetCommand(const std::string& Line) {
    std::vector<std::string> words;
    std::string problem;
    try {
        words = SplitCommandLine(Line);
    } catch (const EAlertCommand& e) {
        problem = e.Message();
    }
    std::lock_guard<std::mutex> lock(FLock);
    if (Line == FLine)
        return;
    FLine = Line;
    FWords = std::move(words);
    FLineProblem = std::move(problem);
    FReported = false;
}

void TAlertCommandRunner::SetOnFailure(TAlertCommandFailureEvent Handler) {
    std::lock_guard<std::mutex> lock(FLock);
    FOnFailure = std::move(Handler);
}

void TAlertCommandRunner::Run(const TAlertChange& Change) {
    if (Change.Silent)
        return;
    {
        // Without a command a change costs no more than this look.
        std::lock_guard<std::mutex> lock(FLock);
        if (FWords.empty() && FLineProblem.empty())
            return;
    }
    TJob job;
    const std::string since = AlertTimeText(Change.Since);
    job.Env = {std::string("SENTREL_HOST=") + Change.Host,
               std::string("SENTREL_STATE=") + AlertStateName(Change.NewState),
               std::string("SENTREL_OLD_STATE=") + AlertStateName(Change.OldState),
               std::string("SENTREL_RESULT=") + Change.ResultText(), "SENTREL_SINCE=" + since};
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping)
            return;
        if (!FLineProblem.empty()) {
            if (!FReported)
                FPending.push_back(FLineProblem);
        } else {
            if (FWords.empty())
                return;
            job.Program = FWords.front();
            job.Args = FWords;
            job.Args.insert(job.Args.end(), {Change.Host, AlertStateName(Change.NewState),
                                             Change.ResultText(), since});
            FQueue.push_back(std::move(job));
            if (FQueue.size() > FMaxQueued) {
                FQueue.pop_front();
                ++FDropped;
            }
        }
    }
    Wake();
}

bool TAlertCommandRunner::WaitIdle(std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> lock(FLock);
    return FIdle.wait_for(lock, Timeout, [this] {
        return FQueue.empty() && FRunning == 0 && FPending.empty() && FDropped == 0;
    });
}

void TAlertCommandRunner::Wake() {
    const uint64_t one = 1;
    // A full counter (never in practice) still wakes the supervisor.
    [[maybe_unused]] const ssize_t n = write(FWakeFd, &one, sizeof one);
}

void TAlertCommandRunner::Fail(const std::string& Message) {
    TAlertCommandFailureEvent handler;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FReported)
            return;
        FReported = true;
        handler = FOnFailure;
    }
    platform::SystemLogWarning(Message);
    if (handler)
        handler(Message);
}

void TAlertCommandRunner::Supervise() {
    std::vector<TChild> children;
    for (;;) {
        // Reaped first, so that the places of ended children go to waiting changes.
        Check(children);
        std::vector<TJob> starting;
        std::vector<std::string> failures;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (FStopping)
                break;
            while (children.size() + starting.size() < FMaxRunning && !FQueue.empty()) {
                starting.push_back(std::move(FQueue.front()));
                FQueue.pop_front();
            }
            failures.swap(FPending);
            if (FDropped > 0 && !FReported)
                failures.push_back(Quoted(FWords.empty() ? FLine : FWords.front()) +
                                   " was not run for " + std::to_string(FDropped) +
                                   " changes: more than " + std::to_string(FMaxQueued) +
                                   " were waiting.");
            FDropped = 0;
            FRunning = children.size() + starting.size();
        }
        for (TJob& job : starting)
            Start(job, children);
        for (const std::string& failure : failures)
            Fail(failure);
        bool more = false;
        {
            std::lock_guard<std::mutex> lock(FLock);
            FRunning = children.size();
            if (FRunning == 0 && FQueue.empty() && FPending.empty() && FDropped == 0)
                FIdle.notify_all();
            // Places left free by commands that could not start.
            more = FRunning < FMaxRunning && !FQueue.empty();
        }
        if (more)
            continue;

        // Sleep until a change comes, a child ends or the nearest deadline.
        std::vector<pollfd> fds{{FWakeFd, POLLIN, 0}};
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const TChild& child : children) {
            if (child.PidFd >= 0)
                fds.push_back({child.PidFd, POLLIN, 0});
            // Without a pidfd an ended child is noticed on a short tick.
            auto wait = child.PidFd >= 0 && !child.Killed ? child.Deadline - now
                                                          : std::chrono::milliseconds(50);
            const auto ms =
                std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wait).count());
            const int bounded = static_cast<int>(std::min<long long>(ms, INT_MAX));
            timeout = timeout < 0 ? bounded : std::min(timeout, bounded);
        }
        if (poll(fds.data(), fds.size(), timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(FWakeFd, &count, sizeof count);
        }
    }
    for (const TChild& child : children)
        if (child.PidFd >= 0)
            close(child.PidFd);
    std::lock_guard<std::mutex> lock(FLock);
    FQueue.clear();
    FRunning = 0;
    FIdle.notify_all();
}

void TAlertCommandRunner::Start(TJob& Job, std::vector<TChild>& Children) {
    // The environment is ours with the SENTREL_ values replaced.
    std::vector<char*> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const bool replaced =
            std::any_of(std::begin(EnvNames), std::end(EnvNames), [entry](const char* name) {
                return std::strncmp(*entry, name, std::strlen(name)) == 0;
            });
        if (!replaced)
            env.push_back(*entry);
    }
    for (std::string& value : Job.Env)
        env.push_back(value.data());
    env.push_back(nullptr);
    std::vector<char*> argv;
    argv.reserve(Job.Args.size() + 1);
    for (std::string& arg : Job.Args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // A process group of its own, so that the time limit's kill reaches what
    // the command starts; signals as a fresh program has them, not as the
    // console mode's threads block or ignore them.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    // Nothing to read; its output goes to our error output, never among the
    // console mode's results; none of our sockets or files.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (fcntl(STDERR_FILENO, F_GETFD) != -1) {
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv.front(), &actions, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0) {
        Fail(Quoted(Job.Program) + " could not start: " + ErrorText(error) + ".");
        return;
    }
    TChild child;
    child.Program = std::move(Job.Program);
    child.Pid = pid;
    // The system call itself: Debian 12's <sys/pidfd.h> declares its wrapper
    // without C linkage. Without pidfds (old kernels) the supervisor ticks.
    child.PidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    child.Deadline = std::chrono::steady_clock::now() + FLimit;
    Children.push_back(std::move(child));
}

void TAlertCommandRunner::Check(std::vector<TChild>& Children) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = Children.begin(); it != Children.end();) {
        int status = 0;
        // This child only: other parts of the program own other children.
        const pid_t done = waitpid(it->Pid, &status, WNOHANG);
        if (done == 0) {
            if (!it->Killed && now >= it->Deadline) {
                // Until reaped the child keeps its pid, so the group is still its.
                kill(-it->Pid, SIGKILL);
                it->Killed = true;
            }
            ++it;
            continue;
        }
        if (done == it->Pid)
            Ended(*it, status);
        // Else ECHILD: reaped elsewhere (SIGCHLD ignored); nothing to tell.
        if (it->PidFd >= 0)
            close(it->PidFd);
        it = Children.erase(it);
    }
}

void TAlertCommandRunner::Ended(const TChild& Child, int Status) {
    if (Child.Killed) {
        Fail(Quoted(Child.Program) + " was killed after " + LimitText(FLimit) + ".");
    } else if (WIFEXITED(Status) && WEXITSTATUS(Status) == 0) {
        std::lock_guard<std::mutex> lock(FLock);
        FReported = false;
    } else if (WIFEXITED(Status)) {
        Fail(Quoted(Child.Program) + " failed: exit status " + std::to_string(WEXITSTATUS(Status)) +
             ".");
    } else if (WIFSIGNALED(Status)) {
        const char* name = sigabbrev_np(WTERMSIG(Status));
        Fail(Quoted(Child.Program) + " was ended by signal " +
             (name != nullptr ? std::string("SIG") + name : std::to_string(WTERMSIG(Status))) +
             ".");
    }
}
