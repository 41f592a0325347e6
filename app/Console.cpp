#include "app/Console.h"

#include "core/Dispatcher.h"
#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "net/qsPingThread.h"
#include "net/qsWinsock.h"
#include "platform/IcmpAccess.h"
#include "platform/Process.h"
#include "platform/registry/Registry.h"

#include <csignal>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <clocale>

namespace {

struct SignalWaiter {
    sigset_t Set;
    pthread_t Thread{};
    std::atomic<bool> Stop{false};
    TQueueDispatcher* Queue = nullptr;

    static void* Run(void* self) {
        auto* waiter = static_cast<SignalWaiter*>(self);
        int signal = 0;
        sigwait(&waiter->Set, &signal);
        waiter->Stop = true;
        waiter->Queue->Wake();
        return nullptr;
    }
};

void Print(std::FILE* out, const std::string& line) {
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

} // namespace

int RunConsole(std::FILE* Out) {
    std::setlocale(LC_ALL, "");
    platform::RaiseOpenFileLimit();

    // Only the signal thread takes SIGINT and SIGTERM; workers inherit the mask.
    SignalWaiter waiter;
    sigemptyset(&waiter.Set);
    sigaddset(&waiter.Set, SIGINT);
    sigaddset(&waiter.Set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &waiter.Set, nullptr);
    TQueueDispatcher queue;
    waiter.Queue = &queue;
    pthread_create(&waiter.Thread, nullptr, &SignalWaiter::Run, &waiter);

    int status = 0;
    {
        TComponent owner(nullptr);
        auto* settings = new TSentrelSettings(&owner);
        auto* winsock = new TqsWinsock(&owner);
        auto* scanner = new TSentrelScanner(&owner);
        auto* log = new TStatusLog(&owner);
        scanner->SetWinsock(winsock);
        scanner->SetDispatcher(&queue);
        scanner->OnStatusChange = [&](TObject*, const std::string& host, TPingResult,
                                      TPingResult newStatus) {
            log->Add(host, newStatus);
            Print(Out, FormatRecord({Now(), host, newStatus}, true));
        };
        try {
            settings->Load();
            Print(Out, "Kestrava Sentrel: " + std::to_string(settings->Devices()->Count()) +
                           " devices from " +
                           platform::TRegistry::StorePath(platform::RegistryRoot::CurrentUser) +
                           "; Ctrl-C stops.");
            scanner->LoadFromSettings(settings);
            log->SetCapacity(settings->SystemLogSize);
            winsock->SetActive(true);
            scanner->SetActive(true);
            while (!waiter.Stop)
                queue.WaitAndDrain(std::chrono::hours(1));
            scanner->SetActive(false);
            winsock->SetActive(false);
            settings->Save();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Kestrava Sentrel: %s\n", e.what());
            if (dynamic_cast<const EICMPError*>(&e) != nullptr) {
                const std::string advice = platform::IcmpAccessAdvice();
                if (!advice.empty())
                    std::fprintf(stderr, "%s\n", advice.c_str());
            }
            status = 1;
        }
    }
    if (!waiter.Stop)
        // Wakes the waiter out of sigwait; it ends by returning, not by the signal.
        pthread_kill(waiter.Thread, SIGTERM); // NOLINT(bugprone-bad-signal-to-kill-thread)
    pthread_join(waiter.Thread, nullptr);
    return status;
}
