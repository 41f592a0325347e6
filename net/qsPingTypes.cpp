#include "net/qsPingTypes.h"

#include "net/qsInternetHost.h"
#include "platform/IcmpApi.h"

const std::array<const char*, PingResultCount> PingResultText = {
    "Connected",
    "Buffer Too Small",
    "Network Unreachable",
    "Host Unreachable",
    "Protocol Unreachable",
    "Port Unreachable",
    "No Resources",
    "Bad Option",
    "Hardware Error",
    "Packet Too Big",
    "Timed Out",
    "Bad Request",
    "Bad Route",
    "TTL Expired",
    "TTL Expired",
    "Paramater Problem",
    "Source Quench",
    "Option Too Big",
    "Bad Destination",
    "Bad Reply Data",
    "Reply Size Mismatch",
    "Unknown Error",
    "Unknown",
};

bool InRespondedResults(TPingResult Result) {
    return Result == prSuccess || Result == prBadReplyData || Result == prReplySizeMismatch;
}

template <typename T> void TqsPingDefaults::SetValue(T& Field, T Value) {
    if (Field == Value)
        return;
    Field = Value;
    FChanged = true;
    Changed();
}

void TqsPingDefaults::SetDataSize(uint16_t Value) {
    SetValue(FDataSize, Value);
}
void TqsPingDefaults::SetTTL(uint8_t Value) {
    SetValue(FTTL, Value);
}
void TqsPingDefaults::SetTimeout(uint32_t Value) {
    SetValue(FTimeout, Value);
}
void TqsPingDefaults::SetInterval(uint32_t Value) {
    SetValue(FInterval, Value);
}

void TqsPingDefaults::SetPreference(TAddressPreference Value) {
    SetValue(FPreference, Value);
}
void TqsPingDefaults::SetResolveEvery(uint32_t Value) {
    SetValue(FResolveEvery, Value);
}

void TqsPingDefaults::CopyParameters(const TqsPingDefaults& Source) {
    FDataSize = Source.FDataSize;
    FTTL = Source.FTTL;
    FTimeout = Source.FTimeout;
    FInterval = Source.FInterval;
    FPreference = Source.FPreference;
    FResolveEvery = Source.FResolveEvery;
}

void TqsPingDefaults::Assign(const TPersistent* Source) {
    if (const auto* source = dynamic_cast<const TqsPingDefaults*>(Source)) {
        BeginUpdate();
        CopyParameters(*source);
        // Set even when nothing differs: every Assign ends in one notification.
        FChanged = true;
        EndUpdate();
        return;
    }
    TPersistent::Assign(Source);
}

void TqsPingDefaults::EndUpdate() {
    FUpdating = false;
    if (FChanged)
        Changed();
}

void TqsPingDefaults::Changed() {
    if (FUpdating)
        return;
    if (FOwner != nullptr)
        FOwner->SettingsChanged();
    if (OnChanged)
        OnChanged(this);
    FChanged = false;
}

void TqsPingRequest::Assign(const TPersistent* Source) {
    if (const auto* source = dynamic_cast<const TqsPingRequest*>(Source)) {
        BeginUpdate();
        CopyParameters(*source);
        HostName = source->HostName;
        IPAddress = source->IPAddress;
        Address = source->Address;
        Address6 = source->Address6;
        FChanged = true;
        EndUpdate();
        return;
    }
    TqsPingDefaults::Assign(Source);
}

void TqsPingReply::Assign(const TPersistent* Source) {
    if (const auto* source = dynamic_cast<const TqsPingReply*>(Source)) {
        HostName = source->HostName;
        IPAddress = source->IPAddress;
        Address = source->Address;
        Status = source->Status;
        Result = source->Result;
        DataCheck = source->DataCheck;
        ReplyDataSize = source->ReplyDataSize;
        RoundTripTime = source->RoundTripTime;
        Address6 = source->Address6;
        AddressChanged = source->AddressChanged;
        PreviousIPAddress = source->PreviousIPAddress;
        UpdateResult();
        return;
    }
    TPersistent::Assign(Source);
}

void TqsPingReply::UpdateResult() {
    if (Status >= IP_STATUS_BASE && Status <= IP_BAD_DESTINATION)
        Result = static_cast<TPingResult>(Status - IP_STATUS_BASE);
    else if (Status == 0)
        Result = prSuccess;
    else
        Result = prUnknownError;
    if (Result == prSuccess) {
        if (DataCheck == 1 || DataCheck == 3)
            Result = prBadReplyData;
        else if (DataCheck == 2)
            Result = prReplySizeMismatch;
    }
}

std::string FormatIPAddress(uint32_t Address) {
    const auto* octets = reinterpret_cast<const uint8_t*>(&Address);
    return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
           std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

std::optional<TChosenAddress> ChooseAddress(const platform::TResolvedAddresses& Found,
                                            TAddressPreference Preference) {
    const auto v4 = [&]() -> std::optional<TChosenAddress> {
        if (Found.IPv4.empty())
            return std::nullopt;
        return TChosenAddress{Found.IPv4.front(), std::nullopt};
    };
    const auto v6 = [&]() -> std::optional<TChosenAddress> {
        if (Found.IPv6.empty())
            return std::nullopt;
        const platform::TResolvedAddress6& first = Found.IPv6.front();
        TIPv6Address address;
        address.Bytes = first.Bytes;
        // A link-local answer keeps its interface as a numbered zone.
        if (first.ScopeId != 0)
            address.Zone = std::to_string(first.ScopeId);
        return TChosenAddress{0, address};
    };
    switch (Preference) {
    case TAddressPreference::IPv4Only:
        return v4();
    case TAddressPreference::IPv6First:
        if (auto chosen = v6())
            return chosen;
        return v4();
    case TAddressPreference::IPv4First:
        break;
    }
    if (auto chosen = v4())
        return chosen;
    return v6();
}
