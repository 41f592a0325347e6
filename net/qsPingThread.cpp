#include "net/qsPingThread.h"

#include "platform/LastError.h"

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr uint8_t RequestDataByte = 0xAA;
} // namespace

TqsPingThread::TqsPingThread(const TqsPingRequest* Request, TqsPingReply* Target,
                             const TqsPingLookup* Lookup) {
    LoadIcmpModule();
    try {
        OpenIcmpHandle();
    } catch (...) {
        ReleaseModule();
        throw;
    }
    FRequest = std::make_unique<TqsPingRequest>();
    FReply = std::make_unique<TqsPingReply>();
    FTarget = Target;
    FRequest->Assign(Request);
    // Sized once: a cycle allocates nothing, so thousands of workers waking
    // together do not queue on the allocator's locks.
    FData.assign(FRequest->DataSize(), RequestDataByte);
    FReplyBuffer.assign(ReplyBufferSize(FRequest->DataSize()), 0);
    FReply->HostName = FRequest->HostName;
    FReply->IPAddress = FRequest->IPAddress;
    FReply->Address = FRequest->Address;
    if (Lookup != nullptr) {
        FLookup = std::make_shared<TNameLookup>(FRequest->HostName);
        FLookupEvents = *Lookup;
    }
    try {
        Start();
    } catch (...) {
        try {
            CloseIcmp();
        } catch (...) {
        }
        throw;
    }
}

TqsPingThread::~TqsPingThread() {
    // Normally the owner has closed already; never leave a handle behind.
    Terminate();
    WaitFor();
    try {
        CloseIcmp();
    } catch (...) {
    }
}

void TqsPingThread::LoadIcmpModule() {
    FModule = platform::LoadLibrary("icmp.dll");
    if (FModule == nullptr)
        throw EICMPError("ICMP Error: Unable to load icmp.dll");
    FIcmpCreateFile =
        reinterpret_cast<PIcmpCreateFile>(platform::GetProcAddress(FModule, "IcmpCreateFile"));
    FIcmpCloseHandle =
        reinterpret_cast<PIcmpCloseHandle>(platform::GetProcAddress(FModule, "IcmpCloseHandle"));
    FIcmpSendEcho =
        reinterpret_cast<PIcmpSendEcho>(platform::GetProcAddress(FModule, "IcmpSendEcho"));
    FIcmpCancelEcho =
        reinterpret_cast<PIcmpCancelEcho>(platform::GetProcAddress(FModule, "IcmpCancelEcho"));
    if (FIcmpCreateFile == nullptr || FIcmpCloseHandle == nullptr || FIcmpSendEcho == nullptr) {
        ReleaseModule();
        throw EICMPError("ICMP Error: Unable to load ICMP module");
    }
}

void TqsPingThread::OpenIcmpHandle() {
    platform::SetLastError(0);
    FHandle = FIcmpCreateFile();
    if (FHandle == ICMP_INVALID_HANDLE)
        throw EICMPError("ICMP Error: Could not open handle" +
                         OpenFailureReason(static_cast<int>(platform::GetLastError())));
}

std::string TqsPingThread::OpenFailureReason(int Error) {
    // Thousands of workers each want a socket: running out of descriptors
    // is the one failure the user can do something about here.
    if (Error == EMFILE) {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            return ": too many open files (limit " + std::to_string(limit.rlim_cur) + ")";
        return ": too many open files";
    }
    if (Error == ENFILE)
        return ": too many open files in the system";
    return {};
}

void TqsPingThread::ReleaseModule() {
    if (FModule != nullptr)
        platform::FreeLibrary(FModule);
    FModule = nullptr;
    FIcmpCreateFile = nullptr;
    FIcmpCloseHandle = nullptr;
    FIcmpSendEcho = nullptr;
    FIcmpCancelEcho = nullptr;
}

void TqsPingThread::CloseIcmp() {
    if (FModule == nullptr)
        return;
    const bool closed = FHandle == ICMP_INVALID_HANDLE || FIcmpCloseHandle(FHandle) != 0;
    FHandle = ICMP_INVALID_HANDLE;
    ReleaseModule();
    if (!closed)
        throw EICMPError("ICMP Error: Could not close handle");
}

void TqsPingThread::Execute() {
    if (FLookup && !Terminated())
        LookUpHost();
    // A cycle that has begun is completed and delivered, unless Terminate cut
    // its echo short: that echo has no outcome to tell.
    while (!Terminated()) {
        SendEcho();
        if (FEchoCancelled.load())
            break;
        DeliverReply();
        WaitInterval();
    }
}

void TqsPingThread::LookUpHost() {
    if (FLookupEvents.Begin)
        FLookupEvents.Begin();
    TNameLookup::Start(FLookup);
    const std::optional<uint32_t> found = FLookup->Wait();
    if (found) {
        FRequest->Address = *found;
        FReply->Address = *found;
        FReply->IPAddress = FormatIPAddress(*found);
    }
    if (FLookupEvents.End)
        FLookupEvents.End(found);
}

void TqsPingThread::WakeForTerminate() {
    AbandonLookup();
    CancelEcho();
}

void TqsPingThread::AbandonLookup() {
    // The lookup itself goes on in the pool; only the wait for it ends.
    if (FLookup)
        FLookup->Abandon();
}

void TqsPingThread::CancelEcho() {
    // The owner closes the handle only after WaitFor, so it cannot close under
    // this call; once it is closed there is no echo left to end.
    if (FIcmpCancelEcho == nullptr || FHandle == ICMP_INVALID_HANDLE)
        return;
    FEchoCancelled.store(true);
    FIcmpCancelEcho(FHandle);
}

void TqsPingThread::SendEcho() {
    TqsPingReply& reply = *FReply;
    reply.DataCheck = 1;
    reply.ReplyDataSize = 0;
    reply.RoundTripTime = 0;
    const uint16_t size = FRequest->DataSize();
    if (size == 0) {
        reply.Status = IP_BUF_TOO_SMALL;
        return;
    }
    if (FRequest->Address == 0) {
        reply.Status = IP_BAD_DESTINATION;
        return;
    }
    IP_OPTION_INFORMATION options{};
    options.Ttl = FRequest->TTL();
    const uint32_t count =
        FIcmpSendEcho(FHandle, FRequest->Address, FData.data(), size, &options, FReplyBuffer.data(),
                      static_cast<uint32_t>(FReplyBuffer.size()), FRequest->Timeout());
    reply.Status = platform::GetLastError();
    if (count > 0) {
        const auto* echo = reinterpret_cast<const ICMP_ECHO_REPLY*>(FReplyBuffer.data());
        reply.RoundTripTime = echo->RoundTripTime > FRequest->Timeout() ? 0 : echo->RoundTripTime;
        reply.DataCheck = CheckReplyData(FData.data(), size, count, echo);
        reply.Status = echo->Status;
        reply.ReplyDataSize = echo->DataSize;
    }
}

uint8_t TqsPingThread::CheckReplyData(const uint8_t* Data, uint16_t Length, uint32_t,
                                      const ICMP_ECHO_REPLY* EchoReply) {
    const uint16_t echoed = EchoReply->DataSize;
    const auto* echoedData = static_cast<const uint8_t*>(EchoReply->Data);
    const size_t common = std::min(echoed, Length);
    const bool same =
        common == 0 || (echoedData != nullptr && std::memcmp(Data, echoedData, common) == 0);
    if (echoed == Length)
        return same ? 0 : 3;
    return same ? 2 : 3;
}

void TqsPingThread::DeliverReply() {
    FTarget->Assign(FReply.get());
    if (FTarget->OnReply)
        FTarget->OnReply(FTarget);
}

void TqsPingThread::WaitInterval() {
    const uint32_t interval = FRequest->Interval();
    if (interval == 0) {
        Terminate();
        return;
    }
    // One wait that Terminate cuts short, rather than polling in slices.
    WaitForTerminate(std::chrono::milliseconds(interval));
}
