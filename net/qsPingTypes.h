#pragma once
// The value types of echo probing: the outcome of one echo cycle, the echo
// parameters, the parameters plus target handed to a worker, and the reply.

#include "framework/Persistent.h"
#include "net/IPv6Address.h"
#include "platform/Sockets.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum TPingResult : uint8_t {
    prSuccess,
    prBufTooSmall,
    prDestNetUnreachable,
    prDestHostUnreachable,
    prDestProtUnreachable,
    prDestPortUnreachable,
    prNoResources,
    prBadOption,
    prHardwareError,
    pwPacketTooBig,
    prTimedOut,
    prBadRequest,
    prBadRoute,
    prTTLExpiredTransit,
    prTTLExpiredReassem,
    prParamProblem,
    prSourceQuench,
    prOptionTooBig,
    prBadDestination,
    prBadReplyData,
    prReplySizeMismatch,
    prUnknownError,
    prUnknown,
};

constexpr int PingResultCount = prUnknown + 1;

extern const std::array<const char*, PingResultCount> PingResultText;

// The results for which the host answered at all.
bool InRespondedResults(TPingResult Result);

class TqsInternetHost;

// Which address of a name that has both kinds is probed; the other kind is
// the fallback, except for IPv4Only.
enum class TAddressPreference : uint8_t { IPv4First, IPv6First, IPv4Only };

class TqsPingDefaults : public TPersistent {
public:
    TqsPingDefaults() = default;
    // Settings of a host: every change stops that host's pinging.
    explicit TqsPingDefaults(TqsInternetHost* Owner) : FOwner(Owner) {}
    const char* ClassName() const override { return "TqsPingDefaults"; }

    uint16_t DataSize() const { return FDataSize; }
    uint8_t TTL() const { return FTTL; }
    uint32_t Timeout() const { return FTimeout; }
    uint32_t Interval() const { return FInterval; }
    TAddressPreference Preference() const { return FPreference; }
    // Milliseconds between lookups of a named host while it is probed; 0:
    // looked up again only after failed probes.
    uint32_t ResolveEvery() const { return FResolveEvery; }
    void SetDataSize(uint16_t Value);
    void SetTTL(uint8_t Value);
    void SetTimeout(uint32_t Value);
    void SetInterval(uint32_t Value);
    void SetPreference(TAddressPreference Value);
    void SetResolveEvery(uint32_t Value);

    void Assign(const TPersistent* Source) override;
    void BeginUpdate() { FUpdating = true; }
    virtual void EndUpdate();
    virtual void Changed();

    TNotifyEvent OnChanged;

protected:
    void CopyParameters(const TqsPingDefaults& Source);
    bool FChanged = false;

private:
    template <typename T> void SetValue(T& Field, T Value);

    TqsInternetHost* FOwner = nullptr;
    uint16_t FDataSize = 64;
    uint8_t FTTL = 128;
    uint32_t FTimeout = 1000;
    uint32_t FInterval = 2000;
    TAddressPreference FPreference = TAddressPreference::IPv4First;
    uint32_t FResolveEvery = 600000;
    bool FUpdating = false;
};

class TqsPingRequest : public TqsPingDefaults {
public:
    const char* ClassName() const override { return "TqsPingRequest"; }
    void Assign(const TPersistent* Source) override;

    // Target fields are plain values: setting them notifies nobody.
    std::string HostName;
    std::string IPAddress; // dotted quad, no leading zeros
    uint32_t Address = 0;  // network order, first octet in the lowest byte; 0: none
    // Set for an IPv6 target; Address is then 0 and IPAddress the canonical
    // text with its zone.
    std::optional<TIPv6Address> Address6;
};

class TqsPingReply : public TPersistent {
public:
    const char* ClassName() const override { return "TqsPingReply"; }
    // Copies every value but OnReply, then derives Result; fires nothing.
    void Assign(const TPersistent* Source) override;
    void UpdateResult();
    bool Responded() const { return InRespondedResults(Result); }
    const char* ResultText() const { return PingResultText[Result]; }

    std::string HostName;
    std::string IPAddress;
    uint32_t Address = 0;
    uint32_t Status = 0;
    uint8_t DataCheck = 0; // 0 same, 1 not compared, 2 prefix same but size differs, 3 differs
    TPingResult Result = prSuccess;
    uint16_t ReplyDataSize = 0;
    uint32_t RoundTripTime = 0;
    std::optional<TIPv6Address> Address6;
    // True on the first reply after a fresh lookup moved probing to another
    // address; PreviousIPAddress is then the old address's text.
    bool AddressChanged = false;
    std::string PreviousIPAddress;
    TNotifyEvent OnReply;
};

// Dotted form of an address held in network order.
std::string FormatIPAddress(uint32_t Address);

// One address a lookup chose: exactly one of the two is set.
struct TChosenAddress {
    uint32_t IPv4 = 0;
    std::optional<TIPv6Address> IPv6;

    bool operator==(const TChosenAddress&) const = default;
};

// The address to probe among Found, by Preference; nothing when none fits.
std::optional<TChosenAddress> ChooseAddress(const platform::TResolvedAddresses& Found,
                                            TAddressPreference Preference);
