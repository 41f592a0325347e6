#include "app/Console.h"

#include "app/StopGrace.h"
#include "core/AlertCommand.h"
#include "core/Dispatcher.h"
#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "core/history/HistoryStore.h"
#include "core/metrics/MetricsRegistry.h"
#include "core/metrics/MetricsServer.h"
#include "net/qsPingThread.h"
#include "net/qsWinsock.h"
#include "platform/IcmpAccess.h"
#include "platform/Process.h"
#include "platform/ServiceManager.h"
#include "platform/registry/Registry.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
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

// Text as it is printed: as is on a terminal or into a file; for the journal,
// which stamps each line itself, with the priority it reads from a leading <N>.
std::string ForStream(bool Journal, platform::TLogPriority Priority, const std::string& Text) {
    return Journal ? platform::JournalLines(Priority, Text) : Text;
}

void PrintError(const std::exception& e, bool Journal) {
    std::string text = std::string("Kestrava Sentrel: ") + e.what();
    if (dynamic_cast<const EICMPError*>(&e) != nullptr) {
        const std::string advice = platform::IcmpAccessAdvice();
        if (!advice.empty())
            text += "\n" + advice;
    }
    std::fprintf(stderr, "%s\n", ForStream(Journal, platform::TLogPriority::Error, text).c_str());
}

// False once the reader has gone (a closed pipe gives EPIPE, SIGPIPE being ignored).
bool Print(std::FILE* out, const std::string& line) {
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    return std::fflush(out) == 0 && std::ferror(out) == 0;
}

// "       127.0.0.1   Connected" after the date and time; "127.0.0.1   Connected"
// for the journal.
std::string StatusLine(bool Journal, const std::string& Host, TPingResult Status) {
    if (!Journal)
        return FormatRecord({Now(), Host, Status}, true);
    const char* text = Status < PingResultCount ? PingResultText[Status] : "";
    return platform::JournalLines(platform::TLogPriority::Info, VisibleText(Host) + "   " + text);
}

// "       printer-2F now 10.0.0.9" after the date and time; the same without
// them for the journal.
std::string AddressLine(bool Journal, const std::string& Host, const std::string& Address) {
    if (!Journal)
        return FormatRecord({Now(), Host, prSuccess, Address}, true);
    return platform::JournalLines(platform::TLogPriority::Info, AddressChangeText(Host, Address));
}

// "08/12/2026 14:02:11 Down: printer-2F is down (Timed Out) since 14:02:11";
// for the journal without the date and time, a Down line as a warning.
std::string AlertLine(bool Journal, const TAlertChange& Change) {
    const std::string text =
        std::string(AlertStateName(Change.NewState)) + ": " + VisibleText(AlertMessage(Change));
    if (!Journal)
        return FormatDateTime(Now()) + " " + text;
    return platform::JournalLines(Change.NewState == TAlertState::Down
                                      ? platform::TLogPriority::Warning
                                      : platform::TLogPriority::Info,
                                  text);
}

// What the service manager shows: "Scanning 30 devices, 2 down".
std::string ScanningStatus(const TSentrelScanner& Scanner) {
    const int devices = Scanner.MonitoredCount();
    return "Scanning " + std::to_string(devices) + (devices == 1 ? " device, " : " devices, ") +
           std::to_string(Scanner.AlertCount(TAlertState::Down)) + " down";
}

// Starts serving the metrics on Address, "ADDRESS:PORT", and says where on
// Out (OutputClosed when that fails); an empty address serves none. Throws
// with a sentence for the user when the address is no address or the server
// cannot listen there.
void StartMetrics(TMetricsServer& Server, const std::string& Address, bool FromCommandLine,
                  std::FILE* Out, bool Journal, bool& OutputClosed) {
    if (Address.empty())
        return;
    std::string error;
    const std::optional<TMetricsEndpoint> endpoint = ParseMetricsEndpoint(Address, error);
    if (!endpoint)
        throw EMetricsError(
            std::string(FromCommandLine ? "--metrics: " : "The metrics address of the settings: ") +
            error);
    Server.Start(*endpoint);
    // The port as listened on, should the system have picked it.
    const std::string where = FormatMetricsEndpoint(Server.Endpoint().value_or(*endpoint));
    if (!OutputClosed &&
        !Print(Out, ForStream(Journal, platform::TLogPriority::Info,
                              "Kestrava Sentrel: metrics on http://" + where + "/metrics")))
        OutputClosed = true;
}

// How often the service manager's status text is brought up to date.
constexpr std::chrono::seconds StatusEvery{5};

} // namespace

int RunConsole(std::FILE* Out, const std::optional<std::string>& Metrics) {
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
    // Under systemd: the readiness, status and watchdog messages, and lines
    // for the journal.
    const platform::TServiceManager service;
    const bool journal = platform::IsJournalStream(fileno(Out));
    const bool errorJournal = platform::IsJournalStream(STDERR_FILENO);

    int status = 0;
    bool outputClosed = false;
    // Prints Line unless the reader has gone; a failed write means it has.
    auto say = [&](const std::string& Line) {
        if (!outputClosed && !Print(Out, Line))
            outputClosed = true;
    };
    {
        // Outlives the scanner, which tells it of the stop as it goes.
        TMetricsRegistry figures;
        TComponent owner(nullptr);
        auto* settings = new TSentrelSettings(&owner);
        auto* winsock = new TqsWinsock(&owner);
        auto* scanner = new TSentrelScanner(&owner);
        auto* log = new TStatusLog(&owner);
        scanner->SetWinsock(winsock);
        scanner->SetDispatcher(&queue);
        scanner->SetMetrics(&figures);
        // Gone before the scanner: no scrape reads a scanner being torn down.
        TMetricsServer server([&figures](std::string& body) { figures.Render(body); });
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
            say(StatusLine(journal, host, newStatus));
        };
        scanner->OnAddressChange = [&](TDeviceScanner*, const std::string& host,
                                       const std::string& address) {
            log->AddAddressChange(host, address);
            say(AddressLine(journal, host, address));
        };
        // Each announced decision is a line of its own; the first decision
        // after the start is shown by the status line that came with it.
        TAlertCommandRunner commands;
        scanner->OnAlertChange = [&](TDeviceScanner*, const TAlertChange& change) {
            if (change.Silent)
                return;
            commands.Run(change);
            say(AlertLine(journal, change));
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
                PrintError(e, errorJournal);
            }
        };
        try {
            settings->Load();
            for (const std::string& problem : settings->PolicyProblems())
                std::fprintf(stderr, "Kestrava Sentrel: %s\n", problem.c_str());
            outputClosed = !Print(
                Out,
                ForStream(journal, platform::TLogPriority::Info,
                          "Kestrava Sentrel: " + std::to_string(settings->Devices()->Count()) +
                              " devices from " +
                              platform::TRegistry::StorePath(platform::RegistryRoot::CurrentUser) +
                              "; Ctrl-C stops."));
            scanner->LoadFromSettings(settings);
            // Before the first echo: an address that cannot serve ends the
            // program with status 1, which the service unit does not restart.
            StartMetrics(server, Metrics.value_or(settings->Metrics.Address), Metrics.has_value(),
                         Out, journal, outputClosed);
            commands.SetCommand(settings->Alerts.Command);
            if (settings->History.Enabled)
                history = std::make_unique<THistoryStore>(
                    THistoryStore::DefaultPath(),
                    THistoryLimits{settings->History.RawDays, settings->History.AggregateDays},
                    [errorJournal](const std::string& text) {
                        std::fprintf(stderr, "%s\n",
                                     ForStream(errorJournal, platform::TLogPriority::Warning,
                                               "Kestrava Sentrel: " + text)
                                         .c_str());
                    });
            log->SetCapacity(settings->SystemLogSize);
            winsock->SetActive(true);
            scanner->SetActive(true);
            // Ready once every monitored device has started; the status and
            // the watchdog's pings come from this loop, so a loop that hangs
            // is caught.
            std::chrono::milliseconds wait = std::chrono::hours(1);
            if (service.Listening())
                wait = StatusEvery;
            const auto watchdog =
                std::chrono::duration_cast<std::chrono::milliseconds>(service.WatchdogInterval());
            if (watchdog.count() > 0)
                wait = std::clamp(watchdog / 3, std::chrono::milliseconds(1), wait);
            bool ready = false;
            std::string shown;
            auto nextStatus = std::chrono::steady_clock::now();
            auto nextPing = nextStatus;
            while (!waiter.Stop && !outputClosed && !startFailed) {
                const auto now = std::chrono::steady_clock::now();
                if (!ready && !scanner->Starting()) {
                    ready = true;
                    shown = ScanningStatus(*scanner);
                    service.Ready(shown);
                    nextStatus = now + StatusEvery;
                } else if (ready && service.Listening() && now >= nextStatus) {
                    nextStatus = now + StatusEvery;
                    if (std::string text = ScanningStatus(*scanner); text != shown) {
                        shown = std::move(text);
                        service.Status(shown);
                    }
                }
                if (watchdog.count() > 0 && now >= nextPing) {
                    nextPing = now + wait;
                    service.WatchdogPing();
                }
                queue.WaitAndDrain(wait);
            }
            if (startFailed)
                std::rethrow_exception(startFailed);
            service.Stopping();
            server.Stop();
            scanner->SetActive(false);
            winsock->SetActive(false);
            settings->Save();
        } catch (const std::exception& e) {
            service.Status(std::string("Failed: ") + e.what());
            PrintError(e, errorJournal);
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
