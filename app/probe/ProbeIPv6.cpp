#include "app/probe/ProbeIPv6.h"

#include "net/IPv6Address.h"
#include "platform/IcmpApi.h"
#include "platform/Module.h"
#include "platform/Sockets.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

bool ResolveIPv6(const std::string& Text, sockaddr_in6& To, std::string& Shown, std::string& Error,
                 bool& NotFound) {
    NotFound = false;
    To = sockaddr_in6{};
    To.sin6_family = AF_INET6;
    if (LooksLikeIPv6(Text)) {
        TIPv6Address address;
        std::string reason;
        if (!ParseIPv6Address(Text, address, reason)) {
            Error = Text + ": not an IPv6 address: " + reason;
            return false;
        }
        std::memcpy(To.sin6_addr.s6_addr, address.Bytes.data(), 16);
        if (!address.Zone.empty()) {
            To.sin6_scope_id = IPv6ZoneIndex(address.Zone);
            if (To.sin6_scope_id == 0) {
                Error = Text + ": no interface \"" + address.Zone + "\" here";
                return false;
            }
        } else if (IN6_IS_ADDR_LINKLOCAL(&To.sin6_addr)) {
            Error = Text + ": a link-local address needs its interface, as in fe80::1%eth0";
            return false;
        }
        Shown = FormatIPv6Address(address);
        return true;
    }
    // The lookup the monitor's workers use, with only its IPv6 answers taken.
    platform::WSAData session;
    const bool started = platform::WSAStartup(platform::MakeWord(2, 2), &session) == 0;
    const std::optional<platform::TResolvedAddresses> found = platform::GetHostAddresses(Text);
    if (started)
        platform::WSACleanup();
    std::optional<TChosenAddress> chosen;
    if (found)
        chosen = ChooseAddress(*found, TAddressPreference::IPv6First);
    if (!chosen || !chosen->IPv6) {
        NotFound = true;
        Error = Text + ": no IPv6 address found";
        return false;
    }
    const TIPv6Address& address = *chosen->IPv6;
    To = sockaddr_in6{};
    To.sin6_family = AF_INET6;
    std::memcpy(To.sin6_addr.s6_addr, address.Bytes.data(), 16);
    To.sin6_scope_id = address.Zone.empty() ? 0 : IPv6ZoneIndex(address.Zone);
    Shown = FormatIPv6Address(address);
    return true;
}

TIPv6Pinger::TIPv6Pinger(std::string Name, const sockaddr_in6& To, std::string Shown,
                         ProbeOptions Options, TReplyEvent OnReply)
    : FName(std::move(Name)), FShown(std::move(Shown)), FTo(To), FOptions(std::move(Options)),
      FOnReply(std::move(OnReply)) {}

bool TIPv6Pinger::Start(std::string& Error) {
    platform::ModuleHandle module = platform::LoadLibrary("icmp.dll");
    FModule = module;
    void* create = module ? platform::GetProcAddress(module, "Icmp6CreateFile") : nullptr;
    FSend = module ? platform::GetProcAddress(module, "Icmp6SendEcho2") : nullptr;
    FClose = module ? platform::GetProcAddress(module, "IcmpCloseHandle") : nullptr;
    FCancel = module ? platform::GetProcAddress(module, "IcmpCancelEcho") : nullptr;
    if (create == nullptr || FSend == nullptr || FClose == nullptr || FCancel == nullptr) {
        Error = "the ICMP module offers no ICMPv6 echo";
        return false;
    }
    FHandle = reinterpret_cast<PIcmp6CreateFile>(create)();
    if (FHandle == ICMP_INVALID_HANDLE) {
        FHandle = nullptr;
        Error = std::string("no ICMPv6 socket opens: ") + std::strerror(errno);
        return false;
    }
    FWorker = std::thread(&TIPv6Pinger::Run, this);
    return true;
}

void TIPv6Pinger::Stop() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    if (FHandle != nullptr)
        reinterpret_cast<PIcmpCancelEcho>(FCancel)(FHandle);
    if (FWorker.joinable())
        FWorker.join();
    if (FHandle != nullptr)
        reinterpret_cast<PIcmpCloseHandle>(FClose)(FHandle);
    FHandle = nullptr;
    if (FModule != nullptr)
        platform::FreeLibrary(FModule);
    FModule = nullptr;
}

void TIPv6Pinger::Run() {
    const auto send = reinterpret_cast<PIcmp6SendEcho2>(FSend);
    std::vector<uint8_t> data(FOptions.Size);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('a' + i % 23);
    // Room for a reply larger than the request, which the check below reports.
    const size_t room = sizeof(ICMPV6_ECHO_REPLY) + data.size() + 256;
    std::vector<uint64_t> buffer(room / 8 + 1);
    IP_OPTION_INFORMATION options{};
    options.Ttl = FOptions.Ttl;
    sockaddr_in6 to = FTo;
    for (;;) {
        errno = 0;
        const uint32_t n =
            send(FHandle, nullptr, nullptr, nullptr, nullptr, &to, data.data(), FOptions.Size,
                 &options, buffer.data(), static_cast<uint32_t>(room), FOptions.Timeout);
        const int error = errno;
        if (n == 0 && error == ECANCELED)
            return;
        TqsPingReply reply;
        reply.HostName = FName;
        reply.IPAddress = FShown;
        if (n == 0) {
            reply.Status = static_cast<uint32_t>(error);
        } else {
            const auto* record = reinterpret_cast<const ICMPV6_ECHO_REPLY*>(buffer.data());
            reply.Status = record->Status;
            reply.RoundTripTime = record->RoundTripTime;
            reply.ReplyDataSize = record->DataSize;
            if (record->Status == IP_SUCCESS) {
                const size_t common = std::min<size_t>(record->DataSize, data.size());
                const bool same = std::memcmp(record + 1, data.data(), common) == 0;
                reply.DataCheck = !same ? 3 : record->DataSize != data.size() ? 2 : 0;
            }
        }
        reply.UpdateResult();
        FOnReply(reply);
        std::unique_lock<std::mutex> lock(FLock);
        if (FWake.wait_for(lock, std::chrono::milliseconds(FOptions.Interval),
                           [this] { return FStopping; }))
            return;
    }
}
