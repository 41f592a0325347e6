#pragma once
// One probed host: its text (a name, a dotted IPv4 address or an IPv6
// literal), the address it stands for, its echo parameters and the one worker
// that pings it.

#include "framework/Exceptions.h"
#include "net/qsPingThread.h"
#include "net/qsPingTypes.h"
#include "net/qsWinsock.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class EDNSError : public Exception {
public:
    using Exception::Exception;
};

using TPingReplyEvent = std::function<void(TObject* Sender, TqsPingReply* Reply)>;
using TDNSBeginResolveEvent = std::function<void(TObject* Sender, const std::string& Message)>;
using TDNSEndResolveEvent = std::function<void(TObject* Sender)>;

class TqsInternetHost : public TqsWinsockComponent {
public:
    explicit TqsInternetHost(TComponent* AOwner);
    ~TqsInternetHost() override;
    const char* ClassName() const override { return "TqsInternetHost"; }

    TqsPingDefaults* PingSettings() const { return FPingSettings.get(); }
    // Copies Value's parameters; stops a running worker, even when nothing differs.
    void SetPingSettings(const TqsPingDefaults* Value);

    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& Value);
    void SetIPAddress(const std::string& Text);
    // The address and Resolved may change on the worker while it pings: it
    // looks a name up that was not resolved yet, and again when it may have
    // moved. Address is 0 while the address is an IPv6 one.
    uint32_t Address() const { return FAddress.load(std::memory_order_acquire); }
    void SetAddress(uint32_t Value);
    std::optional<TIPv6Address> Address6() const;
    bool IsIPv6() const;
    // The current address as text, dotted or canonical IPv6 with its zone.
    std::string IPAddress() const;
    bool Resolved() const { return FResolved.load(std::memory_order_acquire); }
    void SetResolved(bool Value);
    bool Pinging() const { return FPinging; }

    bool IsIPAddress(const std::string& Text);
    // Accepts a dotted quad with optional blanks around each number.
    virtual bool ParseIPAddress(const std::string& Text, uint32_t& Address);

    // Look the name up on the caller's thread, which waits for the answer.
    void Resolve();
    void LookupHost();
    // Starts the worker at once; a name not yet resolved is looked up on
    // the worker, so that neither this nor StopPing waits for a name server.
    void StartPing();
    void StopPing();
    void TerminatePing();
    void WaitForPing();
    void SettingsChanged();

    TPingReplyEvent OnPingReply;
    // Fire around each lookup: on the caller's thread for Resolve and
    // LookupHost, on the worker's thread for a lookup that StartPing leaves
    // to it (there also when StopPing cuts the lookup short).
    TDNSBeginResolveEvent OnBeginResolve;
    TDNSEndResolveEvent OnEndResolve;

protected:
    virtual void RaiseError(const std::string& Message);
    virtual void RaiseDNSError(const std::string& Message);
    virtual void DoBeginResolve(const std::string& Message);
    virtual void DoEndResolve();
    virtual void DoPingReply(TqsPingReply* Reply);

private:
    void ReplyReceived(TObject* Sender);
    void DestroyWorker();
    // What OnBeginResolve says, wherever the lookup runs.
    std::string LookingUpMessage() const;
    // Takes a lookup's outcome: the address when one was found.
    void LookupEnded(std::optional<TChosenAddress> Found);
    void SetAddresses(uint32_t Address, std::optional<TIPv6Address> Address6);
    // Takes Value as an IPv6 literal when it looks like one; false when not.
    bool SetIPv6Literal(const std::string& Value);
    bool IsLiteral(const std::string& Text);

    std::unique_ptr<TqsPingThread> FWorker;
    std::unique_ptr<TqsPingRequest> FRequest;
    std::unique_ptr<TqsPingReply> FReply;
    std::unique_ptr<TqsPingDefaults> FPingSettings;
    bool FPinging = false;
    std::atomic<uint32_t> FAddress{0};
    mutable std::mutex FAddress6Lock;
    std::optional<TIPv6Address> FAddress6;
    std::string FHostName;
    std::atomic<bool> FResolved{false};
};

// Parses a dotted quad as the host does; exposed for tools and benchmarks.
bool ParseDottedQuad(const std::string& Text, uint32_t& Address);
