#pragma once
// The worker that probes one host: one ICMP echo per cycle through the ICMP
// module, each outcome copied into the owner's reply object and announced
// there, then a pause of Interval milliseconds, until it is told to stop.

#include "framework/Exceptions.h"
#include "framework/Thread.h"
#include "net/qsPingTypes.h"
#include "platform/IcmpApi.h"
#include "platform/Module.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class EICMPError : public Exception {
public:
    using Exception::Exception;
};

class TqsPingThread : public TThread {
public:
    // Loads the module, opens a handle, copies Request and starts at once.
    // Raises EICMPError when the module or handle cannot be had.
    TqsPingThread(const TqsPingRequest* Request, TqsPingReply* Target);
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
};
