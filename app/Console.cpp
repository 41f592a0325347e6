#include "app/Console.h"

#include "app/StopGrace.h"
#include "core/AlertCommand.h"
#include "core/Dispatcher.h"
#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "core/history/HistoryStore.h"
#include "net/qsPingThread.h"
#include "net/qsWinsock.h"
#include "platform/IcmpAccess.h"
#include "platform/Process.h"
#include "platform/registry/Registry.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <clocale>
#include <memory>

namespace {

// Waits for a stop signal or for the reader of the output to go away (a pipe
// whose reader closed reports POLLERR), whichever comes first.
struct SignalWaiter {
    sigset_t Set;
    pthread_t Thread{};
    std::atomic<bool> Stop{false};
    std::atomic<bool> Finished{false}; // then a wake-up is the main thread's, not a stop
    TQueueDispatcher* Queue = nullptr;
    int OutFd = -1;

    static void WaitForStop(SignalWaiter& waiter) {
        const int signals = signalfd(-1, &waiter.Set, SFD_CLOEXEC);
        if (signals < 0) {
            int signal = 0;
            sigwait(&waiter.Set, &signal);
            return;
        }
        std::array<pollfd, 2> fds{{{signals, POLLIN, 0}, {waiter.OutFd, 0, 0}}};
        while (true) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                break;
            if ((fds[0].revents & POLLIN) != 0 || (fds[1].revents & (POLLERR | POLLHUP)) != 0)
                break;
            if ((fds[1].revents & POLLNVAL) != 0)
                fds[1].fd = -1; // No output to watch.
        }
        close(signals);
    }

    static void* Run(void* self) {
        auto* waiter = static_cast<SignalWaiter*>(self);
        WaitForStop(*waiter);
        // A main thread that never gets back to its loop (blocked in a start
        // or a save) must not keep the process from ending.
        if (!waiter->Finished)
            stopgrace::StopAsked();
        waiter->Stop = true;
        waiter->Queue->Wake();
        return nullptr;
    }
};

void PrintError(const std::exception& e) {
    std::fprintf(stderr, "Kestrava Sentrel: %s\n", e.what());
    if (dynamic_cast<const EICMPError*>(&e) != nullptr) {
        const std::string advice = platform::IcmpAccessAdvice();
        if (!advice.empty())
            std::fprintf(stderr, "%s\n", advice.c_str());
    }
}

// False once the reader has gone (a closed pipe gives EPIPE, SIGPIPE being ignored).
bool Print(std::FILE* out, const std::string& line) {
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    return std::fflush(out) == 0 && std::ferror(out) == 0;
}

// "08/12/2026 14:02:11 Down: printer-2F is down (Timed Out) since 14:02:11".
std::string AlertLine(const TAlertChange& Change) {
    return FormatDateTime(Now()) + " " + AlertStateName(Change.NewState) + ": " +
           VisibleText(AlertMessage(Change));
}

} // namespace

int RunConsole(std::FILE* Out) {
    std::setlocale(LC_ALL, "");
    platform::RaiseOpenFileLimit();

    // Only the signal thread takes SIGINT, SIGTERM and SIGHUP (terminal closed);
    // workers inherit the mask. All three stop, save and exit 0.
    SignalWaiter waiter;
    sigemptyset(&waiter.Set);
    sigaddset(&waiter.Set, SIGINT);
    sigaddset(&waiter.Set, SIGTERM);
    sigaddset(&waiter.Set, SIGHUP);
    // A closed output (`sentrel --console | head -1`) shows as a failed write or
    // in the waiter's poll, and stops like SIGTERM instead of killing the process unsaved.
    std::signal(SIGPIPE, SIG_IGN);
    stopgrace::Install();
    pthread_sigmask(SIG_BLOCK, &waiter.Set, nullptr);
    // Replies gather for a moment before the main thread wakes for them: a
    // status line 50 ms late is not seen, a wake-up per echo is paid for.
    TQueueDispatcher queue(std::chrono::milliseconds(50));
    waiter.Queue = &queue;
    waiter.OutFd = fileno(Out);
    pthread_create(&waiter.Thread, nullptr, &SignalWaiter::Run, &waiter);

    int status = 0;
    bool outputClosed = false;
    {
        TComponent owner(nullptr);
        auto* settings = new TSentrelSettings(&owner);
        auto* winsock = new TqsWinsock(&owner);
        auto* scanner = new TSentrelScanner(&owner);
        auto* log = new TStatusLog(&owner);
        scanner->SetWinsock(winsock);
        scanner->SetDispatcher(&queue);
        // Opened once the settings are read; problems are told once each on stderr.
        std::unique_ptr<THistoryStore> history;
        scanner->OnPingReply = [&](TObject* sender, TqsPingReply* reply) {
            if (history)
                history->AddProbe({Now(), static_cast<TDeviceScanner*>(sender)->DisplayName(),
                                   reply->Result,
                                   reply->Result == prSuccess ? reply->RoundTripTime : 0});
        };
        scanner->OnStatusChange = [&](TObject* sender, const std::string& host, TPingResult,
                                      TPingResult newStatus) {
            log->Add(host, newStatus);
            if (history)
                history->AddChange(
                    {Now(), static_cast<TDeviceScanner*>(sender)->DisplayName(), newStatus});
            if (!outputClosed && !Print(Out, FormatRecord({Now(), host, newStatus}, true)))
                outputClosed = true;
        };
        // Each announced decision is a line of its own; the first decision
        // after the start is shown by the status line that came with it.
        TAlertCommandRunner commands;
        scanner->OnAlertChange = [&](TDeviceScanner*, const TAlertChange& change) {
            if (change.Silent)
                return;
            commands.Run(change);
            if (!outputClosed && !Print(Out, AlertLine(change)))
                outputClosed = true;
        };
        // Devices that failed to start are reported and the rest go on; a
        // start that left nothing probing ends the program as an error.
        std::exception_ptr startFailed;
        scanner->OnStartError = [&](TObject*, const std::exception_ptr& error) {
            if (!scanner->Active()) {
                startFailed = error;
                return;
            }
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                PrintError(e);
            }
        };
        try {
            settings->Load();
            for (const std::string& problem : settings->PolicyProblems())
                std::fprintf(stderr, "Kestrava Sentrel: %s\n", problem.c_str());
            outputClosed = !Print(
                Out, "Kestrava Sentrel: " + std::to_string(settings->Devices()->Count()) +
                         " devices from " +
                         platform::TRegistry::StorePath(platform::RegistryRoot::CurrentUser) +
                         "; Ctrl-C stops.");
            scanner->LoadFromSettings(settings);
            commands.SetCommand(settings->Alerts.Command);
            if (settings->History.Enabled)
                history = std::make_unique<THistoryStore>(
                    THistoryStore::DefaultPath(),
                    THistoryLimits{settings->History.RawDays, settings->History.AggregateDays},
                    [](const std::string& text) {
                        std::fprintf(stderr, "Kestrava Sentrel: %s\n", text.c_str());
                    });
            log->SetCapacity(settings->SystemLogSize);
            winsock->SetActive(true);
            scanner->SetActive(true);
            while (!waiter.Stop && !outputClosed && !startFailed)
                queue.WaitAndDrain(std::chrono::hours(1));
            if (startFailed)
                std::rethrow_exception(startFailed);
            scanner->SetActive(false);
            winsock->SetActive(false);
            settings->Save();
        } catch (const std::exception& e) {
            PrintError(e);
            status = 1;
        }
    }
    waiter.Finished = true;
    if (!waiter.Stop)
        // Wakes the waiter out of sigwait; it ends by returning, not by the signal.
        pthread_kill(waiter.Thread, SIGTERM); // NOLINT(bugprone-bad-signal-to-kill-thread)
    pthread_join(waiter.Thread, nullptr);
    return status;
}
