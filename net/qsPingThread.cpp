#include "net/qsPingThread.h"

#include "platform/LastError.h"

#include <netinet/in.h>
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
        if (Request->Address6) {
            // Failures to open show in the replies, as after a move to IPv6.
            UseHandleFor(true);
        } else {
            OpenIcmpHandle();
        }
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
    FReply->Address6 = FRequest->Address6;
    if (Lookup != nullptr) {
        FNamed = true;
        if (Lookup->LookUpFirst)
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
    FIcmp6CreateFile =
        reinterpret_cast<PIcmp6CreateFile>(platform::GetProcAddress(FModule, "Icmp6CreateFile"));
    FIcmp6SendEcho2 =
        reinterpret_cast<PIcmp6SendEcho2>(platform::GetProcAddress(FModule, "Icmp6SendEcho2"));
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
    FIcmp6CreateFile = nullptr;
    FIcmp6SendEcho2 = nullptr;
}

bool TqsPingThread::UseHandleFor(bool IPv6) {
    IcmpHandle& wanted = IPv6 ? FHandle6 : FHandle;
    // Only this thread opens handles, so the common case needs no lock.
    if (wanted != ICMP_INVALID_HANDLE)
        return true;
    std::lock_guard<std::mutex> lock(FHandleLock);
    CloseHandle(IPv6 ? FHandle : FHandle6);
    if (IPv6 && (FIcmp6CreateFile == nullptr || FIcmp6SendEcho2 == nullptr)) {
        // This module reaches no IPv6 address at all: for it the
        // destination is as bad as one it cannot use.
        FOpenError = IP_BAD_DESTINATION;
        return false;
    }
    platform::SetLastError(0);
    wanted = IPv6 ? FIcmp6CreateFile() : FIcmpCreateFile();
    if (wanted == ICMP_INVALID_HANDLE) {
        // Mostly descriptors running out: the system's resources.
        FOpenError = IP_NO_RESOURCES;
        return false;
    }
    // Terminate may have cancelled the handle this one replaces.
    if (FEchoCancelled.load() && FIcmpCancelEcho != nullptr)
        FIcmpCancelEcho(wanted);
    FOpenError = 0;
    return true;
}

void TqsPingThread::CloseHandle(IcmpHandle& Handle) {
    if (Handle != ICMP_INVALID_HANDLE)
        FIcmpCloseHandle(Handle);
    Handle = ICMP_INVALID_HANDLE;
}

void TqsPingThread::CloseIcmp() {
    if (FModule == nullptr)
        return;
    std::unique_lock<std::mutex> lock(FHandleLock);
    bool closed = FHandle == ICMP_INVALID_HANDLE || FIcmpCloseHandle(FHandle) != 0;
    closed = (FHandle6 == ICMP_INVALID_HANDLE || FIcmpCloseHandle(FHandle6) != 0) && closed;
    FHandle = FHandle6 = ICMP_INVALID_HANDLE;
    lock.unlock();
    ReleaseModule();
    if (!closed)
        throw EICMPError("ICMP Error: Could not close handle");
}

void TqsPingThread::Execute() {
    FLastLookup = std::chrono::steady_clock::now();
    if (FLookup && !Terminated())
        LookUpHost();
    // A cycle that has begun is completed and delivered, unless Terminate cut
    // its echo short: that echo has no outcome to tell.
    while (!Terminated()) {
        TakeLookup();
        SendEcho();
        if (FEchoCancelled.load())
            break;
        CountOutcome();
        DeliverReply();
        FReply->AddressChanged = false;
        WaitInterval();
    }
    // A later lookup still being asked finishes in the pool; nobody takes it.
    if (FPending)
        FPending->Abandon();
}

void TqsPingThread::LookUpHost() {
    if (FLookupEvents.Begin)
        FLookupEvents.Begin();
    TNameLookup::Start(FLookup);
    std::optional<TChosenAddress> chosen;
    if (const auto found = FLookup->Wait())
        chosen = ChooseAddress(*found, FRequest->Preference());
    if (chosen) {
        FRequest->Address = chosen->IPv4;
        FRequest->Address6 = chosen->IPv6;
        FReply->Address = chosen->IPv4;
        FReply->Address6 = chosen->IPv6;
        FReply->IPAddress =
            chosen->IPv6 ? FormatIPv6Address(*chosen->IPv6) : FormatIPAddress(chosen->IPv4);
    }
    if (FLookupEvents.End)
        FLookupEvents.End(chosen);
}

void TqsPingThread::CountOutcome() {
    if (!FNamed)
        return;
    FFailures = FReply->Status == IP_SUCCESS ? 0 : FFailures + 1;
    if (FPending)
        return;
    const auto now = std::chrono::steady_clock::now();
    const uint32_t every = FRequest->ResolveEvery();
    const bool due = every != 0 && now - FLastLookup >= std::chrono::milliseconds(every);
    if (!due && FFailures < FailuresBeforeLookup)
        return;
    FFailures = 0;
    FLastLookup = now;
    FPending = std::make_shared<TNameLookup>(FRequest->HostName);
    TNameLookup::Start(FPending);
}

void TqsPingThread::TakeLookup() {
    if (!FPending || !FPending->Finished())
        return;
    const std::optional<platform::TResolvedAddresses> found = FPending->Wait();
    FPending.reset();
    // Nothing found keeps the address probed so far.
    if (!found)
        return;
    const std::optional<TChosenAddress> chosen = ChooseAddress(*found, FRequest->Preference());
    if (chosen && (chosen->IPv4 != FRequest->Address || chosen->IPv6 != FRequest->Address6))
        MoveTo(*chosen);
}

void TqsPingThread::MoveTo(const TChosenAddress& Found) {
    FReply->PreviousIPAddress = FReply->IPAddress;
    FReply->AddressChanged = true;
    FRequest->Address = Found.IPv4;
    FRequest->Address6 = Found.IPv6;
    FReply->Address = Found.IPv4;
    FReply->Address6 = Found.IPv6;
    FReply->IPAddress = Found.IPv6 ? FormatIPv6Address(*Found.IPv6) : FormatIPAddress(Found.IPv4);
    FRequest->IPAddress = FReply->IPAddress;
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
    // The owner closes the handles only after WaitFor, so they cannot close
    // under this call; once closed there is no echo left to end.
    std::lock_guard<std::mutex> lock(FHandleLock);
    if (FIcmpCancelEcho == nullptr ||
        (FHandle == ICMP_INVALID_HANDLE && FHandle6 == ICMP_INVALID_HANDLE))
        return;
    FEchoCancelled.store(true);
    for (IcmpHandle handle : {FHandle, FHandle6})
        if (handle != ICMP_INVALID_HANDLE)
            FIcmpCancelEcho(handle);
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
    IP_OPTION_INFORMATION options{};
    options.Ttl = FRequest->TTL();
    if (FRequest->Address6) {
        SendEcho6(size, options);
        return;
    }
    if (FRequest->Address == 0) {
        reply.Status = IP_BAD_DESTINATION;
        return;
    }
    if (!UseHandleFor(false)) {
        reply.Status = FOpenError;
        return;
    }
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

void TqsPingThread::SendEcho6(uint16_t Size, IP_OPTION_INFORMATION& Options) {
    TqsPingReply& reply = *FReply;
    if (!UseHandleFor(true)) {
        reply.Status = FOpenError;
        return;
    }
    const TIPv6Address& target = *FRequest->Address6;
    sockaddr_in6 destination{};
    destination.sin6_family = AF_INET6;
    std::memcpy(&destination.sin6_addr, target.Bytes.data(), target.Bytes.size());
    // Looked up at each send: the interface may come and go while probing.
    if (!target.Zone.empty())
        destination.sin6_scope_id = IPv6ZoneIndex(target.Zone);
    const uint32_t count = FIcmp6SendEcho2(
        FHandle6, nullptr, nullptr, nullptr, nullptr, &destination, FData.data(), Size, &Options,
        FReplyBuffer.data(), static_cast<uint32_t>(FReplyBuffer.size()), FRequest->Timeout());
    reply.Status = platform::GetLastError();
    if (count == 0)
        return;
    const auto* echo = reinterpret_cast<const ICMPV6_ECHO_REPLY*>(FReplyBuffer.data());
    // The IPv4 record's view of the same reply, so one data check serves both.
    ICMP_ECHO_REPLY view{};
    view.Status = echo->Status;
    view.RoundTripTime = echo->RoundTripTime;
    view.DataSize = echo->DataSize;
    view.Data = FReplyBuffer.data() + sizeof(ICMPV6_ECHO_REPLY);
    reply.RoundTripTime = echo->RoundTripTime > FRequest->Timeout() ? 0 : echo->RoundTripTime;
    reply.DataCheck = CheckReplyData(FData.data(), Size, count, &view);
    reply.Status = echo->Status;
    reply.ReplyDataSize = echo->DataSize;
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
