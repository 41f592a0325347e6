#include "tests/support/FakeIcmp.h"

#include "platform/IcmpApi.h"
#include "platform/Module.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace {

struct State {
    std::mutex Lock;
    std::condition_variable Changed;
    FakeEcho Echo;
    bool FailCreate = false;
    std::set<int> FailingCreates;
    int Creates = 0;
    bool FailClose = false;
    bool Blocked = false;
    bool Cancelled = false;
    int Sends = 0;
    int Open = 0;
    uint32_t LastAddress = 0;
    std::array<uint8_t, 16> LastAddress6{};
    uint32_t LastScopeId = 0;
    int Sends6 = 0;
    uint8_t LastTtl = 0;
    uint32_t LastTimeout = 0;
};

State& S() {
    static State state;
    return state;
}

int gHandleTag;

IcmpHandle FakeCreate() {
    std::lock_guard<std::mutex> lock(S().Lock);
    if (S().FailCreate)
        return ICMP_INVALID_HANDLE;
    if (S().FailingCreates.count(S().Creates++) != 0) {
        errno = EMFILE;
        return ICMP_INVALID_HANDLE;
    }
    ++S().Open;
    return &gHandleTag;
}

int FakeClose(IcmpHandle) {
    std::lock_guard<std::mutex> lock(S().Lock);
    if (S().FailClose)
        return 0;
    --S().Open;
    return 1;
}

// Counts an echo, lets Record note its destination, and waits while echoes
// are held; the echo to answer with.
template <typename Record>
FakeEcho AwaitEcho(const IP_OPTION_INFORMATION* options, uint32_t timeout, Record&& record) {
    std::unique_lock<std::mutex> lock(S().Lock);
    ++S().Sends;
    record(S());
    S().LastTtl = options != nullptr ? options->Ttl : 0;
    S().LastTimeout = timeout;
    S().Changed.notify_all();
    S().Changed.wait(lock, [] { return !S().Blocked || S().Cancelled; });
    return S().Echo;
}

// Writes the echoed bytes at Bytes: the request's data cut or padded to the
// echo's size, one byte changed when asked; returns that size.
size_t WriteEchoed(uint8_t* bytes, const void* data, uint16_t size, const FakeEcho& echo) {
    const size_t echoed = echo.EchoSize < 0 ? size : static_cast<size_t>(echo.EchoSize);
    std::memcpy(bytes, data, std::min<size_t>(echoed, size));
    if (echoed > size)
        std::memset(bytes + size, 0xAA, echoed - size);
    if (echo.ChangeByte >= 0 && static_cast<size_t>(echo.ChangeByte) < echoed)
        bytes[echo.ChangeByte] ^= 0xff;
    return echoed;
}

uint32_t FakeSend(IcmpHandle, uint32_t address, void* data, uint16_t size,
                  IP_OPTION_INFORMATION* options, void* buffer, uint32_t bufferSize,
                  uint32_t timeout) {
    const FakeEcho echo =
        AwaitEcho(options, timeout, [address](State& state) { state.LastAddress = address; });
    if (echo.Count == 0) {
        errno = static_cast<int>(echo.LastError);
        return 0;
    }
    auto* reply = static_cast<ICMP_ECHO_REPLY*>(buffer);
    std::memset(buffer, 0, bufferSize);
    reply->Address = address;
    reply->Status = echo.Status;
    reply->RoundTripTime = echo.RoundTrip;
    reply->Data = reply + 1;
    reply->DataSize =
        static_cast<uint16_t>(WriteEchoed(static_cast<uint8_t*>(reply->Data), data, size, echo));
    errno = 0;
    return echo.Count;
}

uint32_t FakeSend6(IcmpHandle, void*, void*, void*, sockaddr_in6*, sockaddr_in6* destination,
                   void* data, uint16_t size, IP_OPTION_INFORMATION* options, void* buffer,
                   uint32_t bufferSize, uint32_t timeout) {
    const FakeEcho echo = AwaitEcho(options, timeout, [destination](State& state) {
        ++state.Sends6;
        std::memcpy(state.LastAddress6.data(), &destination->sin6_addr, 16);
        state.LastScopeId = destination->sin6_scope_id;
    });
    if (echo.Count == 0) {
        errno = static_cast<int>(echo.LastError);
        return 0;
    }
    std::memset(buffer, 0, bufferSize);
    auto* reply = static_cast<ICMPV6_ECHO_REPLY*>(buffer);
    reply->Status = echo.Status;
    reply->RoundTripTime = echo.RoundTrip;
    reply->DataSize =
        static_cast<uint16_t>(WriteEchoed(reinterpret_cast<uint8_t*>(reply + 1), data, size, echo));
    errno = 0;
    return echo.Count;
}

int FakeCancel(IcmpHandle) {
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        S().Cancelled = true;
    }
    S().Changed.notify_all();
    return 1;
}

} // namespace

FakeIcmp::FakeIcmp(const std::string& Missing, bool Cancellable) {
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        S().Echo = FakeEcho{};
        S().FailCreate = S().FailClose = S().Blocked = S().Cancelled = false;
        S().FailingCreates.clear();
        S().Sends = S().Sends6 = S().Open = 0;
    }
    std::map<std::string, void*> entries = {
        {"IcmpCreateFile", reinterpret_cast<void*>(&FakeCreate)},
        {"IcmpCloseHandle", reinterpret_cast<void*>(&FakeClose)},
        {"IcmpSendEcho", reinterpret_cast<void*>(&FakeSend)},
        {"Icmp6CreateFile", reinterpret_cast<void*>(&FakeCreate)},
        {"Icmp6SendEcho2", reinterpret_cast<void*>(&FakeSend6)},
    };
    if (Cancellable)
        entries.emplace("IcmpCancelEcho", reinterpret_cast<void*>(&FakeCancel));
    entries.erase(Missing);
    platform::RegisterModule("icmp.dll", entries);
}

FakeIcmp::~FakeIcmp() {
    Release();
    platform::UnregisterModule("icmp.dll");
}

void FakeIcmp::Script(const FakeEcho& Echo) {
    std::lock_guard<std::mutex> lock(S().Lock);
    S().Echo = Echo;
}

void FakeIcmp::FailCreate(bool Fail) {
    std::lock_guard<std::mutex> lock(S().Lock);
    S().FailCreate = Fail;
}

void FakeIcmp::FailCreateCalls(std::set<int> Calls) {
    std::lock_guard<std::mutex> lock(S().Lock);
    S().FailingCreates = std::move(Calls);
    S().Creates = 0;
}

void FakeIcmp::FailClose(bool Fail) {
    std::lock_guard<std::mutex> lock(S().Lock);
    S().FailClose = Fail;
}

void FakeIcmp::Block() {
    std::lock_guard<std::mutex> lock(S().Lock);
    S().Blocked = true;
}

void FakeIcmp::Release() {
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        S().Blocked = false;
    }
    S().Changed.notify_all();
}

void FakeIcmp::WaitForSend(int Count) {
    std::unique_lock<std::mutex> lock(S().Lock);
    S().Changed.wait(lock, [Count] { return S().Sends >= Count; });
}

bool FakeIcmp::Cancelled() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().Cancelled;
}

int FakeIcmp::Sends() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().Sends;
}

int FakeIcmp::OpenHandles() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().Open;
}

uint32_t FakeIcmp::LastAddress() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().LastAddress;
}

uint8_t FakeIcmp::LastTtl() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().LastTtl;
}

uint32_t FakeIcmp::LastTimeout() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().LastTimeout;
}

int FakeIcmp::Sends6() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().Sends6;
}

std::array<uint8_t, 16> FakeIcmp::LastAddress6() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().LastAddress6;
}

uint32_t FakeIcmp::LastScopeId() const {
    std::lock_guard<std::mutex> lock(S().Lock);
    return S().LastScopeId;
}
