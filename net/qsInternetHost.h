#pragma once
// One probed host: its text (a name or a dotted IPv4 address), the address
// it stands for, its echo parameters and the one worker that pings it.

#include "framework/Exceptions.h"
#include "net/qsPingThread.h"
#include "net/qsPingTypes.h"
#include "net/qsWinsock.h"

#include <functional>
#include <memory>
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
    uint32_t Address() const { return FAddress; }
    void SetAddress(uint32_t Value);
    std::string IPAddress() const { return FormatIPAddress(FAddress); }
    bool Resolved() const { return FResolved; }
    void SetResolved(bool Value);
    bool Pinging() const { return FPinging; }

    bool IsIPAddress(const std::string& Text);
    // Accepts a dotted quad with optional blanks around each number.
    virtual bool ParseIPAddress(const std::string& Text, uint32_t& Address);

    void Resolve();
    void LookupHost();
    void StartPing();
    void StopPing();
    void TerminatePing();
    void WaitForPing();
    void SettingsChanged();

    TPingReplyEvent OnPingReply;
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

    std::unique_ptr<TqsPingThread> FWorker;
    std::unique_ptr<TqsPingRequest> FRequest;
    std::unique_ptr<TqsPingReply> FReply;
    std::unique_ptr<TqsPingDefaults> FPingSettings;
    bool FPinging = false;
    uint32_t FAddress = 0;
    std::string FHostName;
    bool FResolved = false;
};

// Parses a dotted quad as the host does; exposed for tools and benchmarks.
bool ParseDottedQuad(const std::string& Text, uint32_t& Address);
