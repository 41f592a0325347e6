#pragma once
// A scripted ICMP module, registered in-process under "icmp.dll" so the echo
// worker loads it exactly as it loads the real one.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

struct FakeEcho {
    uint32_t Count = 1;     // reply records returned
    uint32_t LastError = 0; // errno left when Count is 0
    uint32_t Status = 0;    // the record's status
    uint32_t RoundTrip = 1; // ms
    int EchoSize = -1;      // echoed bytes; -1: as many as were sent
    int ChangeByte = -1;    // index of an echoed byte to alter
};

class FakeIcmp {
public:
    // Registers the module, IPv6 pair included; Missing names an entry point
    // to leave out. The
    // optional IcmpCancelEcho is offered only when Cancellable.
    explicit FakeIcmp(const std::string& Missing = "", bool Cancellable = false);
    ~FakeIcmp();

    // Outcome of every following echo.
    void Script(const FakeEcho& Echo);
    void FailCreate(bool Fail);
    // The handle opens of these numbers fail as when descriptors ran out;
    // 0 is the next open from now.
    void FailCreateCalls(std::set<int> Calls);
    void FailClose(bool Fail);
    // While blocked, sends wait inside the module until Release.
    void Block();
    void Release();
    // Waits until a send is inside the module (blocked or not).
    void WaitForSend(int Count);

    // Whether IcmpCancelEcho was called; it frees blocked sends for good, and
    // they then return the scripted echo.
    bool Cancelled() const;
    int Sends() const;
    int OpenHandles() const;
    uint32_t LastAddress() const;
    // Sends over IPv6 (also counted in Sends), and the last one's target.
    int Sends6() const;
    std::array<uint8_t, 16> LastAddress6() const;
    uint32_t LastScopeId() const;
    uint8_t LastTtl() const;
    uint32_t LastTimeout() const;
};
