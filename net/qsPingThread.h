#pragma once
// The worker that probes one host: one ICMP echo per cycle through the ICMP
// module, each outcome copied into the owner's reply object and announced
// there, then a pause of Interval milliseconds, until it is told to stop.
// When its host is a name not yet resolved, it looks the name up first; a
// named host is looked up again every ResolveEvery milliseconds and after
// FailuresBeforeLookup failed echoes in a row, without holding up the echoes,
// and probing follows the address when it moves (IPv4 or IPv6).

#include "framework/Exceptions.h"
#include "framework/Thread.h"
#include "net/NameLookup.h"
#include "net/qsPingTypes.h"
#include "platform/IcmpApi.h"
#include "platform/Module.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class EICMPError : public Exception {
public:
    using Exception::Exception;
};

// How a worker looks its host's name up. Begin and End run on the worker
// around the lookup before the first echo (when LookUpFirst), End also when
// that lookup was cut short by Terminate; the later lookups fire neither.
struct TqsPingLookup {
    bool LookUpFirst = true;
    std::function<void()> Begin;
    // The address chosen, or nothing (not found, or stopped).
    std::function<void(std::optional<TChosenAddress> Found)> End;
};

class TqsPingThread : public TThread {
public:
    // Loads the module, opens a handle for the request's kind of address,
    // copies Request and starts at once. Raises EICMPError when the module or
    // handle cannot be had. With Lookup, Request's host name is a name: it is
    // looked up on the worker and echoes go to the address found, or to
    // Request's address when none was.
    TqsPingThread(const TqsPingRequest* Request, TqsPingReply* Target,
                  const TqsPingLookup* Lookup = nullptr);
    // The owner calls Terminate and WaitFor first, then CloseIcmp, then deletes.
    ~TqsPingThread() override;
    const char* ClassName() const override { return "TqsPingThread"; }

    // Closes the handle and releases the module; raises EICMPError
    // "ICMP Error: Could not close handle" when the module refuses. Runs once.
    void CloseIcmp();

    virtual uint8_t CheckReplyData(const uint8_t* Data, uint16_t Length, uint32_t ReplyCount,
                                   const ICMP_ECHO_REPLY* EchoReply);

    // What is appended to "ICMP Error: Could not open handle" for the
    // module's error code: the open-file limit when it ran out, else nothing.
    static std::string OpenFailureReason(int Error);

    // Size of the reply buffer for DataSize bytes: one reply record, the
    // echoed data and 8 spare bytes.
    static size_t ReplyBufferSize(uint16_t DataSize) {
        return std::max(sizeof(ICMP_ECHO_REPLY), sizeof(ICMPV6_ECHO_REPLY)) + DataSize + 8;
    }

    // Echoes in a row that fail before a named host is looked up again.
    static constexpr int FailuresBeforeLookup = 3;

protected:
    void Execute() override;
    void WakeForTerminate() override;

private:
    void LookUpHost();
    void AbandonLookup();
    void LoadIcmpModule();
    void OpenIcmpHandle();
    void ReleaseModule();
    // Opens the handle the target's kind of address needs and closes the
    // other; false when it cannot be had.
    bool UseHandleFor(bool IPv6);
    void CloseHandle(IcmpHandle& Handle);
    // Later lookups: started after an echo, taken before the next.
    void CountOutcome();
    void TakeLookup();
    void MoveTo(const TChosenAddress& Found);
    void SendEcho();
    void SendEcho6(uint16_t Size, IP_OPTION_INFORMATION& Options);
    void DeliverReply();
    void WaitInterval();
    void CancelEcho();

    platform::ModuleHandle FModule = nullptr;
    PIcmpCreateFile FIcmpCreateFile = nullptr;
    PIcmpCloseHandle FIcmpCloseHandle = nullptr;
    PIcmpSendEcho FIcmpSendEcho = nullptr;
    PIcmpCancelEcho FIcmpCancelEcho = nullptr; // optional: null in modules without it
    // Optional too: a module without them cannot probe IPv6 addresses.
    PIcmp6CreateFile FIcmp6CreateFile = nullptr;
    PIcmp6SendEcho2 FIcmp6SendEcho2 = nullptr;
    // At most one of the two is open: the one the target's kind needs. The
    // lock keeps Terminate's cancel off a handle being swapped.
    std::mutex FHandleLock;
    IcmpHandle FHandle = ICMP_INVALID_HANDLE;
    IcmpHandle FHandle6 = ICMP_INVALID_HANDLE;
    uint32_t FOpenError = 0;                 // why the handle the target needs is missing
    std::atomic<bool> FEchoCancelled{false}; // Terminate cut the echo in progress short
    std::unique_ptr<TqsPingRequest> FRequest;
    std::unique_ptr<TqsPingReply> FReply;
    TqsPingReply* FTarget = nullptr;
    std::vector<uint8_t> FData;        // the request's data, sent every cycle
    std::vector<uint8_t> FReplyBuffer; // where the module writes each reply
    // Set before the thread starts and kept, so Terminate can always reach it.
    std::shared_ptr<TNameLookup> FLookup;
    TqsPingLookup FLookupEvents;
    bool FNamed = false;
    std::shared_ptr<TNameLookup> FPending; // a later lookup, the worker's own
    std::chrono::steady_clock::time_point FLastLookup;
    int FFailures = 0;
};
