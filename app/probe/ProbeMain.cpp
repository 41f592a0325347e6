// sentrel-probe: pings hosts the way the program does, one internet host and
// one worker per host, and prints every reply.

#include "app/probe/ProbeIPv6.h"
#include "app/probe/ProbeOptions.h"
#include "net/IPv6Address.h"
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
    std::string Name;
    std::unique_ptr<TqsInternetHost> Host; // an IPv4 target
    std::unique_ptr<TIPv6Pinger> Pinger6;  // an IPv6 target
    bool Six = false;
    sockaddr_in6 To6{};
    std::string Shown6;
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
        for (Target* target : finished) {
            if (target->Host)
                target->Host->TerminatePing();
            if (target->Pinger6)
                target->Pinger6->Stop();
        }
        stopped += finished.size();
        finished.clear();
    }
}

// Stops every worker, then prints each host's summary; 1 when a host never
// answered.
int StopAndSummarize(std::vector<Target>& targets) {
    for (Target& target : targets) {
        if (target.Host)
            target.Host->TerminatePing();
        if (target.Pinger6)
            target.Pinger6->Stop();
    }
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
        if (!target.Host && !target.Six)
            continue;
        std::printf("--- %s: %u replies, %u answered\n", target.Name.c_str(), target.Replies,
                    target.Answered);
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

    // Which hosts go over IPv6, and where to: a malformed literal is the
    // user's typo, refused before anything is pinged.
    std::vector<Target> targets(options.Hosts.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        Target& target = targets[i];
        target.Name = options.Hosts[i];
        const bool literal6 = LooksLikeIPv6(target.Name);
        if (literal6 && options.Family == 4) {
            std::fprintf(stderr, "sentrel-probe: %s is an IPv6 address, but -4 was given\n",
                         target.Name.c_str());
            return 2;
        }
        target.Six = literal6 || options.Family == 6;
        if (!target.Six)
            continue;
        bool notFound = false;
        if (!ResolveIPv6(target.Name, target.To6, target.Shown6, error, notFound)) {
            std::fprintf(stderr, "sentrel-probe: %s\n", error.c_str());
            if (!notFound)
                return 2;
            target.Shown6.clear();
        }
    }

    platform::RaiseOpenFileLimit();
    // Start-up cost per worker, paid a thousand times over: one heap for all
    // (a worker allocates only when it starts, so a heap each buys nothing
    // but fresh pages to fault in), and the module folder found once rather
    // than by each worker loading the ICMP module.
    mallopt(M_ARENA_MAX, 1);
    platform::SetModuleDirectory(platform::ModuleDirectory());
    TComponent root(nullptr);
    auto* winsock = new TqsWinsock(&root);
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
            if (target.Six) {
                if (target.Shown6.empty())
                    continue; // no address: reported above, no replies
                target.Pinger6 =
                    std::make_unique<TIPv6Pinger>(target.Name, target.To6, target.Shown6, options,
                                                  [&target, &options](const TqsPingReply& reply) {
                                                      CountReply(target, options, reply);
                                                  });
                if (!target.Pinger6->Start(error)) {
                    std::fprintf(stderr, "sentrel-probe: %s: %s\n", target.Name.c_str(),
                                 error.c_str());
                    target.Pinger6.reset();
                    status = 1;
                }
                continue;
            }
            target.Host = std::make_unique<TqsInternetHost>(nullptr);
            target.Host->SetWinsock(winsock);
            target.Host->SetPingSettings(&settings);
            target.Host->SetHostName(options.Hosts[i]);
            target.Host->OnPingReply = [&target, &options](TObject*, TqsPingReply* reply) {
                CountReply(target, options, *reply);
            };
        }
        size_t unanswerable = 0;
        for (Target& target : targets) {
            if (!target.Host) {
                // Done at once: an IPv6 host without an address or a socket.
                if (!target.Pinger6) {
                    target.Done = true;
                    ++unanswerable;
                }
                continue;
            }
            target.Host->Resolve();
            target.Host->StartPing();
            if (!target.Host->Resolved())
                std::fprintf(stderr, "sentrel-probe: %s: name not found\n",
                             target.Host->HostName().c_str());
        }
        WaitAndStopFinished(targets.size() - unanswerable);
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
