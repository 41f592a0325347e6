#pragma once
// The worker that probes one host: one ICMP echo per cycle through the ICMP
// module, each outcome copied into the owner's reply object and announced
// there, then a pause of Interval milliseconds, until it is told to stop.
// When its host is a name not yet resolved, it looks the name up first.

#include "framework/Exceptions.h"
#include "framework/Thread.h"
#include "net/NameLookup.h"
#include "net/qsPingTypes.h"
#include "platform/IcmpApi.h"
#include "platform/Module.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class EICMPError : public Exception {
public:
    using Exception::Exception;
};

// How a worker looks its host's name up before its first echo. Both run on
// the worker, Begin before the lookup and End after it, also when the lookup
// was cut short by Terminate.
struct TqsPingLookup {
    std::function<void()> Begin;
    // The address found, in network order, or nothing (not found, or stopped).
    std::function<void(std::optional<uint32_t> Found)> End;
};

class TqsPingThread : public TThread {
public:
    // Loads the module, opens a handle, copies Request and starts at once.
    // Raises EICMPError when the module or handle cannot be had. With Lookup,
    // Request's host name is looked up on the worker and echoes go to the
    // address found, or to Request's address when none was.
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
        return sizeof(ICMP_ECHO_REPLY) + DataSize + 8;
    }

protected:
    void Execute() override;
    void WakeForTerminate() override;

private:
    void LookUpHost();
    void AbandonLookup();
    void LoadIcmpModule();
    void OpenIcmpHandle();
    void ReleaseModule();
    void SendEcho();
    void DeliverReply();
    void WaitInterval();
    void CancelEcho();

    platform::ModuleHandle FModule = nullptr;
    PIcmpCreateFile FIcmpCreateFile = nullptr;
    PIcmpCloseHandle FIcmpCloseHandle = nullptr;
    PIcmpSendEcho FIcmpSendEcho = nullptr;
    PIcmpCancelEcho FIcmpCancelEcho = nullptr; // optional: null in modules without it
    IcmpHandle FHandle = ICMP_INVALID_HANDLE;
    std::atomic<bool> FEchoCancelled{false}; // Terminate cut the echo in progress short
    std::unique_ptr<TqsPingRequest> FRequest;
    std::unique_ptr<TqsPingReply> FReply;
    TqsPingReply* FTarget = nullptr;
    std::vector<uint8_t> FData;        // the request's data, sent every cycle
    std::vector<uint8_t> FReplyBuffer; // where the module writes each reply
    // Set before the thread starts and kept, so Terminate can always reach it.
    std::shared_ptr<TNameLookup> FLookup;
    TqsPingLookup FLookupEvents;
};
