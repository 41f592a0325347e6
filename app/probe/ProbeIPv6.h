#pragma once
// IPv6 targets of sentrel-probe: the destination a literal or a name's AAAA
// record stands for, and a worker that echoes it through the ICMP module's
// ICMPv6 entry points until stopped.

#include "app/probe/ProbeOptions.h"
#include "net/qsPingTypes.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Fills To and Shown (the address as printed) from Text: an IPv6 literal,
// bracketed or not, with a zone for a link-local one, or a name looked up
// for IPv6 only. False with Error on a malformed literal or a name without
// an IPv6 address; NotFound tells the latter.
bool ResolveIPv6(const std::string& Text, sockaddr_in6& To, std::string& Shown, std::string& Error,
                 bool& NotFound);

class TIPv6Pinger {
public:
    using TReplyEvent = std::function<void(const TqsPingReply&)>;

    TIPv6Pinger(std::string Name, const sockaddr_in6& To, std::string Shown, ProbeOptions Options,
                TReplyEvent OnReply);
    ~TIPv6Pinger() { Stop(); }
    TIPv6Pinger(const TIPv6Pinger&) = delete;
    TIPv6Pinger& operator=(const TIPv6Pinger&) = delete;

    // Loads the module, opens a handle and starts echoing; false with Error
    // when the module or a socket cannot be had.
    bool Start(std::string& Error);
    // Ends the echo in progress at once and joins the worker.
    void Stop();

private:
    void Run();

    const std::string FName, FShown;
    const sockaddr_in6 FTo;
    const ProbeOptions FOptions;
    const TReplyEvent FOnReply;
    void* FModule = nullptr; // released by Stop, after the handle is closed
    void* FHandle = nullptr;
    void* FSend = nullptr;
    void* FClose = nullptr;
    void* FCancel = nullptr;
    std::mutex FLock;
    std::condition_variable FWake;
    bool FStopping = false;
    std::thread FWorker;
};
