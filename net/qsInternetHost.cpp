#include "net/qsInternetHost.h"

#include "platform/Sockets.h"

#include <cstring>
#include <utility>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool ParseDottedQuad(const std::string& Text, uint32_t& Address) {
    for (char c : Text)
        if (c != ' ' && c != '.' && !IsDigit(c))
            return false;
    if (Text.size() < 7)
        return false;
    size_t pos = 0;
    const size_t end = Text.size();
    auto skipBlanks = [&] {
        while (pos < end && Text[pos] == ' ')
            ++pos;
    };
    std::string runs[4];
    for (int i = 0; i < 4; ++i) {
        skipBlanks();
        if (i > 0) {
            if (pos >= end || Text[pos] != '.')
                return false;
            ++pos;
            skipBlanks();
        }
        const size_t start = pos;
        while (pos < end && IsDigit(Text[pos]))
            ++pos;
        if (pos == start)
            return false;
        runs[i] = Text.substr(start, pos - start);
    }
    skipBlanks();
    if (pos != end)
        return false;
    uint8_t octets[4];
    for (int i = 0; i < 4; ++i) {
        // Decimal whatever the leading zeros ("010" is 10); stop counting once
        // the value is out of range, so a long run cannot overflow.
        unsigned value = 0;
        for (char c : runs[i]) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value >= 256)
                return false;
        }
        octets[i] = static_cast<uint8_t>(value);
    }
    std::memcpy(&Address, octets, 4);
    return true;
}

TqsInternetHost::TqsInternetHost(TComponent* AOwner)
    : TqsWinsockComponent(AOwner), FRequest(std::make_unique<TqsPingRequest>()),
      FReply(std::make_unique<TqsPingReply>()),
      FPingSettings(std::make_unique<TqsPingDefaults>(this)) {
    FReply->OnReply = [this](TObject* Sender) { ReplyReceived(Sender); };
}

TqsInternetHost::~TqsInternetHost() {
    try {
        StopPing();
    } catch (...) {
        // A handle the module would not close is gone with the worker anyway.
    }
}

void TqsInternetHost::SetPingSettings(const TqsPingDefaults* Value) {
    if (Value != nullptr)
        FPingSettings->Assign(Value);
}

void TqsInternetHost::SetHostName(const std::string& Value) {
    if (Value == FHostName)
        return;
    if (IsIPAddress(Value)) {
        SetIPAddress(Value);
        return;
    }
    if (SetIPv6Literal(Value))
        return;
    if (FPinging)
        StopPing();
    FHostName = Value;
    FResolved = false;
}

void TqsInternetHost::SetIPAddress(const std::string& Text) {
    uint32_t address = 0;
    if (ParseIPAddress(Text, address))
        SetAddress(address);
    else
        RaiseError(Text + " is not a valid IP address");
}

void TqsInternetHost::SetAddress(uint32_t Value) {
    if (Value == FAddress && !IsIPv6())
        return;
    if (FPinging)
        StopPing();
    SetAddresses(Value, std::nullopt);
    FHostName = IPAddress();
}

bool TqsInternetHost::SetIPv6Literal(const std::string& Value) {
    if (!LooksLikeIPv6(Value))
        return false;
    if (FPinging)
        StopPing();
    TIPv6Address address;
    std::string reason;
    if (ParseIPv6Address(Value, address, reason)) {
        SetAddresses(0, address);
        FHostName = IPAddress();
    } else {
        // Never asked of a resolver: probing it says "Bad Destination".
        SetAddresses(0, std::nullopt);
        FHostName = Value;
    }
    FResolved = true;
    return true;
}

void TqsInternetHost::SetAddresses(uint32_t Address, std::optional<TIPv6Address> Address6) {
    std::lock_guard<std::mutex> lock(FAddress6Lock);
    FAddress6 = std::move(Address6);
    FAddress.store(Address, std::memory_order_release);
}

std::optional<TIPv6Address> TqsInternetHost::Address6() const {
    std::lock_guard<std::mutex> lock(FAddress6Lock);
    return FAddress6;
}

bool TqsInternetHost::IsIPv6() const {
    std::lock_guard<std::mutex> lock(FAddress6Lock);
    return FAddress6.has_value();
}

std::string TqsInternetHost::IPAddress() const {
    std::lock_guard<std::mutex> lock(FAddress6Lock);
    if (FAddress6)
        return FormatIPv6Address(*FAddress6);
    return FormatIPAddress(FAddress.load(std::memory_order_acquire));
}

bool TqsInternetHost::IsLiteral(const std::string& Text) {
    return IsIPAddress(Text) || LooksLikeIPv6(Text);
}

void TqsInternetHost::SetResolved(bool Value) {
    if (Value && !FResolved)
        Resolve();
}

bool TqsInternetHost::IsIPAddress(const std::string& Text) {
    uint32_t address = 0;
    return ParseIPAddress(Text, address);
}

bool TqsInternetHost::ParseIPAddress(const std::string& Text, uint32_t& Address) {
    return ParseDottedQuad(Text, Address);
}

void TqsInternetHost::Resolve() {
    if (Resolved())
        return;
    if (IsLiteral(FHostName))
        FResolved = true;
    else
        LookupHost();
}

void TqsInternetHost::LookupHost() {
    CheckWinsock();
    DoBeginResolve(LookingUpMessage());
    FResolved.store(false, std::memory_order_release);
    std::optional<TChosenAddress> chosen;
    if (const auto found = platform::GetHostAddresses(FHostName))
        chosen = ChooseAddress(*found, FPingSettings->Preference());
    LookupEnded(chosen);
}

std::string TqsInternetHost::LookingUpMessage() const {
    return "Looking up " + FHostName + "...";
}

void TqsInternetHost::LookupEnded(std::optional<TChosenAddress> Found) {
    // A failed lookup keeps the address it had (0 for a name never resolved).
    if (Found) {
        SetAddresses(Found->IPv4, Found->IPv6);
        FResolved.store(true, std::memory_order_release);
    }
    DoEndResolve();
}

void TqsInternetHost::StartPing() {
    // A literal needs no lookup; a name does, a session first, and the
    // worker looks it up again while it pings.
    const bool named = !IsLiteral(FHostName);
    if (!FResolved && !named)
        FResolved = true;
    const bool lookUp = !FResolved;
    if (lookUp)
        CheckWinsock();
    FRequest->Assign(FPingSettings.get()); // the parameters only
    FRequest->HostName = FHostName;
    FRequest->IPAddress = IPAddress();
    FRequest->Address = Address();
    FRequest->Address6 = Address6();
    if (FWorker)
        StopPing();
    TqsPingLookup lookup;
    lookup.LookUpFirst = lookUp;
    if (lookUp) {
        const std::string message = LookingUpMessage();
        lookup.Begin = [this, message] { DoBeginResolve(message); };
        lookup.End = [this](std::optional<TChosenAddress> found) { LookupEnded(std::move(found)); };
    }
    FWorker =
        std::make_unique<TqsPingThread>(FRequest.get(), FReply.get(), named ? &lookup : nullptr);
    FPinging = true;
}

void TqsInternetHost::DestroyWorker() {
    std::unique_ptr<TqsPingThread> worker = std::move(FWorker);
    worker->WaitFor();
    worker->CloseIcmp();
}

void TqsInternetHost::StopPing() {
    // Also a worker that was told to stop already (or ended by itself) is
    // waited for and released here, so none is ever left behind.
    FPinging = false;
    if (!FWorker)
        return;
    FWorker->Terminate();
    DestroyWorker();
}

void TqsInternetHost::TerminatePing() {
    if (FWorker)
        FWorker->Terminate();
}

void TqsInternetHost::WaitForPing() {
    FPinging = false;
    if (FWorker)
        DestroyWorker();
}

void TqsInternetHost::SettingsChanged() {
    StopPing();
}

void TqsInternetHost::ReplyReceived(TObject*) {
    // The worker moved to a fresh lookup's address: the host's follows.
    if (FReply->AddressChanged)
        SetAddresses(FReply->Address, FReply->Address6);
    DoPingReply(FReply.get());
}

void TqsInternetHost::RaiseError(const std::string& Message) {
    throw Exception(Message);
}

void TqsInternetHost::RaiseDNSError(const std::string& Message) {
    throw EDNSError(Message);
}

void TqsInternetHost::DoBeginResolve(const std::string& Message) {
    if (OnBeginResolve)
        OnBeginResolve(this, Message);
}

void TqsInternetHost::DoEndResolve() {
    if (OnEndResolve)
        OnEndResolve(this);
}

void TqsInternetHost::DoPingReply(TqsPingReply* Reply) {
    if (OnPingReply)
        OnPingReply(this, Reply);
}
