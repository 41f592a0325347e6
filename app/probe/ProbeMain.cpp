// sentrel-probe: pings hosts the way the program does, one internet host and
// one worker per host, and prints every reply.

#include "app/probe/ProbeOptions.h"
#include "net/qsInternetHost.h"
#include "net/qsWinsock.h"
#include "platform/IcmpAccess.h"
#include "platform/Module.h"
#include "platform/Process.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace {

struct Target {
    std::unique_ptr<TqsInternetHost> Host;
    uint32_t Replies = 0;
    uint32_t Answered = 0;
    bool Done = false;
};

std::mutex gLock;
std::condition_variable gWake;
bool gInterrupted = false;
// Targets that got their count of replies and whose worker the main thread
// has yet to stop. Reserved for every target up front: a reply allocates
// nothing.
std::vector<Target*> gFinished;

void* WaitForSignal(void* set) {
    int signal = 0;
    sigwait(static_cast<sigset_t*>(set), &signal);
    {
        std::lock_guard<std::mutex> lock(gLock);
        gInterrupted = true;
    }
    gWake.notify_all();
    return nullptr;
}

// Prints one reply and counts it; the target is done after Count replies.
void CountReply(Target& target, const ProbeOptions& options, const TqsPingReply& reply) {
    std::unique_lock<std::mutex> lock(gLock);
    if (target.Done)
        return;
    ++target.Replies;
    if (reply.Responded())
        ++target.Answered;
    if (!options.Quiet) {
        std::printf("%s (%s): %s, time=%u ms, bytes=%u\n", reply.HostName.c_str(),
                    reply.IPAddress.c_str(), reply.ResultText(), reply.RoundTripTime,
                    reply.ReplyDataSize);
        std::fflush(stdout);
    }
    if (options.Count != 0 && target.Replies >= options.Count) {
        target.Done = true;
        gFinished.push_back(&target);
        lock.unlock();
        gWake.notify_all();
    }
}

// Stops each worker as soon as its host has its count of replies, so that
// no host is pinged more often than asked while the slowest finish; returns
// when every host is done or on SIGINT/SIGTERM.
void WaitAndStopFinished(size_t Targets) {
    std::vector<Target*> finished;
    finished.reserve(Targets);
    size_t stopped = 0;
    while (stopped < Targets) {
        {
            std::unique_lock<std::mutex> lock(gLock);
            gWake.wait(lock, [] { return gInterrupted || !gFinished.empty(); });
            if (gInterrupted)
                return;
            finished.swap(gFinished);
        }
        // Outside the lock: the workers that are still pinging need it.
        for (Target* target : finished)
            target->Host->TerminatePing();
        stopped += finished.size();
        finished.clear();
    }
}

// Stops every worker, then prints each host's summary; 1 when a host never
// answered.
int StopAndSummarize(std::vector<Target>& targets) {
    for (Target& target : targets)
        if (target.Host)
            target.Host->TerminatePing();
    for (Target& target : targets) {
        if (!target.Host)
            continue;
        try {
            target.Host->WaitForPing();
        } catch (const Exception& e) {
            std::fprintf(stderr, "sentrel-probe: %s\n", e.what());
        }
    }
    int status = 0;
    for (const Target& target : targets) {
        if (!target.Host)
            continue;
        std::printf("--- %s: %u replies, %u answered\n", target.Host->HostName().c_str(),
                    target.Replies, target.Answered);
        if (target.Answered == 0)
            status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    ProbeOptions options;
    std::string error;
    if (!ParseProbeOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "sentrel-probe: %s (sentrel-probe --help lists the options)\n",
                     error.c_str());
        return 2;
    }
    if (options.Help) {
        std::fputs(ProbeUsage, stdout);
        return 0;
    }
    if (options.Version) {
        std::puts("sentrel-probe (Kestrava Sentrel) " SENTREL_VERSION);
        return 0;
    }
    if (options.Interval == 0)
        options.Count = 1; // an interval of 0 means a single echo per host

    // Workers inherit the blocked signals; only the signal thread takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    pthread_t signalThread;
    pthread_create(&signalThread, nullptr, WaitForSignal, &signals);

    platform::RaiseOpenFileLimit();
    // Start-up cost per worker, paid a thousand times over: one heap for all
    // (a worker allocates only when it starts, so a heap each buys nothing
    // but fresh pages to fault in), and the module folder found once rather
    // than by each worker loading the ICMP module.
    mallopt(M_ARENA_MAX, 1);
    platform::SetModuleDirectory(platform::ModuleDirectory());
    TComponent root(nullptr);
    auto* winsock = new TqsWinsock(&root);
    std::vector<Target> targets(options.Hosts.size());
    gFinished.reserve(targets.size());
    int status = 0;
    try {
        winsock->SetActive(true);
        TqsPingDefaults settings;
        settings.SetDataSize(options.Size);
        settings.SetTTL(options.Ttl);
        settings.SetTimeout(options.Timeout);
        settings.SetInterval(options.Interval);
        for (size_t i = 0; i < targets.size(); ++i) {
            Target& target = targets[i];
            target.Host = std::make_unique<TqsInternetHost>(nullptr);
            target.Host->SetWinsock(winsock);
            target.Host->SetPingSettings(&settings);
            target.Host->SetHostName(options.Hosts[i]);
            target.Host->OnPingReply = [&target, &options](TObject*, TqsPingReply* reply) {
                CountReply(target, options, *reply);
            };
        }
        for (Target& target : targets) {
            target.Host->Resolve();
            target.Host->StartPing();
            if (!target.Host->Resolved())
                std::fprintf(stderr, "sentrel-probe: %s: name not found\n",
                             target.Host->HostName().c_str());
        }
        WaitAndStopFinished(targets.size());
    } catch (const Exception& e) {
        std::fprintf(stderr, "sentrel-probe: %s\n", e.what());
        if (dynamic_cast<const EICMPError*>(&e) != nullptr) {
            const std::string advice = platform::IcmpAccessAdvice();
            if (!advice.empty())
                std::fprintf(stderr, "%s\n", advice.c_str());
        }
        status = 1;
    }
    if (StopAndSummarize(targets) != 0)
        status = 1;
    // Wakes the signal thread out of sigwait; it ends by returning.
    pthread_kill(signalThread, SIGTERM); // NOLINT(bugprone-bad-signal-to-kill-thread)
    pthread_join(signalThread, nullptr);
    return status;
}
