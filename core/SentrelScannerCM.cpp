#include "core/SentrelScannerCM.h"

#include "core/DeviceData.h"
#include "core/SentrelSettingsCM.h"

#include <algorithm>

namespace {

constexpr int32_t MaxPingIntervalSeconds = 24 * 60 * 60;
// The options dialog's range for the stored dword, taken unsigned as the workers
// take it: 4294967295 (read as -1) would make Stop and exit wait practically for ever.
constexpr uint32_t MinEchoTimeoutMs = 1;
constexpr uint32_t MaxEchoTimeoutMs = 30000;

} // namespace

// ---- TDeviceScanner

TDeviceScanner::TDeviceScanner(TCollection* Collection)
    : TCollectionItem(Collection), FLink(std::make_shared<Link>()) {
    FLink->Item = this;
    FLog = std::make_unique<TStatusLog>(nullptr);
    FLog->SetRecordHost(false);
    FInternetHost = std::make_unique<TqsInternetHost>(nullptr);
    FInternetHost->OnPingReply = [this](TObject*, TqsPingReply* reply) { ReplyArrived(reply); };
    if (TSentrelScanner* scanner = Scanner()) {
        FInternetHost->SetPingSettings(scanner->PingDefaults());
        FInternetHost->SetWinsock(scanner->Winsock());
    }
}

TDeviceScanner::~TDeviceScanner() {
    try {
        if (FInternetHost->Pinging())
            FInternetHost->StopPing();
    } catch (...) {
        // The worker is gone either way; nothing else to release.
    }
    FLink->Item = nullptr;
    FInternetHost.reset();
    FLog.reset();
}

TSentrelScanner* TDeviceScanner::Scanner() const {
    if (Collection() == nullptr)
        return nullptr;
    return dynamic_cast<TSentrelScanner*>(Collection()->Owner());
}

void TDeviceScanner::SetDisplayName(const std::string& Value) {
    if (Value == FInternetHost->HostName())
        return;
    FInternetHost->SetHostName(Value);
    Changed();
}

void TDeviceScanner::SetActive(bool Value) {
    if (Value == Active())
        return;
    if (Value)
        Start();
    else
        Stop();
}

void TDeviceScanner::SetPingDefaults(const TqsPingDefaults* Value) {
    FInternetHost->SetPingSettings(Value);
}

void TDeviceScanner::SetUseDefaults(bool Value) {
    if (Value && !FUseDefaults)
        if (TSentrelScanner* scanner = Scanner())
            SetPingDefaults(scanner->PingDefaults());
    FUseDefaults = Value;
}

void TDeviceScanner::Start() {
    LastStatus = prUnknown;
    NewRun();
    FInternetHost->StartPing();
}

void TDeviceScanner::Stop() {
    FInternetHost->StopPing();
    NewRun();
}

void TDeviceScanner::ReplyArrived(TqsPingReply* Reply) {
    TSentrelScanner* scanner = Scanner();
    TDispatcher* dispatcher = scanner != nullptr ? scanner->Dispatcher() : nullptr;
    if (dispatcher == nullptr)
        return;
    // The worker reuses its reply for the next echo, so a copy crosses to the
    // main thread; Assign leaves the handler behind.
    auto copy = std::make_shared<TqsPingReply>();
    copy->Assign(Reply);
    std::weak_ptr<Link> weak = FLink;
    const uint32_t run = FLink->Run.load();
    dispatcher->Post([weak, run, copy = std::move(copy)] {
        // Dropped when the item is gone, was stopped or restarted since, or
        // its host no longer pings.
        std::shared_ptr<Link> link = weak.lock();
        if (!link || link->Item == nullptr || link->Run.load() != run)
            return;
        TDeviceScanner* item = link->Item;
        if (!item->InternetHost()->Pinging())
            return;
        item->HostPingReply(item->InternetHost(), copy.get());
    });
}

void TDeviceScanner::HostPingReply(TObject*, TqsPingReply* Reply) {
    TSentrelScanner* scanner = Scanner();
    if (scanner != nullptr)
        scanner->DoPingReply(this, Reply);
    if (Reply->Result != LastStatus) {
        FLog->Add(Reply->HostName, Reply->Result);
        if (scanner != nullptr && scanner->OnStatusChange)
            scanner->OnStatusChange(this, Reply->HostName, LastStatus, Reply->Result);
    }
    LastStatus = Reply->Result;
}

// ---- TScannerCollection

TScannerCollection::TScannerCollection(TSentrelScanner* Owner) : TCollection(Owner) {}

TDeviceScanner* TScannerCollection::Add() {
    auto* item = new TDeviceScanner(this);
    Added(item);
    return item;
}

// ---- TSentrelScanner

TSentrelScanner::TSentrelScanner(TComponent* AOwner)
    : TqsWinsockComponent(AOwner), FPingDefaults(std::make_unique<TqsPingDefaults>()),
      FScanners(std::make_unique<TScannerCollection>(this)) {}

TSentrelScanner::~TSentrelScanner() {
    try {
        SetActive(false);
    } catch (...) {
    }
    FScanners.reset();
    FPingDefaults.reset();
}

void TSentrelScanner::SetPingDefaults(const TqsPingDefaults* Value) {
    if (Value != nullptr)
        FPingDefaults->Assign(Value);
}

TDispatcher* TSentrelScanner::Dispatcher() const {
    return FDispatcher != nullptr ? FDispatcher : MainThreadDispatcher();
}

void TSentrelScanner::SetActive(bool Value) {
    if (Value == FActive)
        return;
    if (Value)
        Start();
    else
        Stop();
}

uint32_t TSentrelScanner::IntervalFromSeconds(int32_t Seconds) {
    return static_cast<uint32_t>(std::clamp(Seconds, 1, MaxPingIntervalSeconds)) * 1000u;
}

void TSentrelScanner::LoadFromSettings(TSentrelSettings* Settings) {
    Clear();
    FPingDefaults->BeginUpdate();
    FPingDefaults->SetDataSize(static_cast<uint16_t>(Settings->EchoRequestSize));
    FPingDefaults->SetTTL(static_cast<uint8_t>(Settings->IPTimeToLive));
    FPingDefaults->SetTimeout(std::clamp(static_cast<uint32_t>(Settings->EchoTimeOut),
                                         MinEchoTimeoutMs, MaxEchoTimeoutMs));
    FPingDefaults->SetInterval(IntervalFromSeconds(Settings->PingInterval));
    FPingDefaults->EndUpdate();
    TDeviceDataCollection* devices = Settings->Devices();
    FScanners->BeginUpdate();
    try {
        for (int i = 0; i < devices->Count(); ++i) {
            TDeviceData* device = devices->Items(i);
            TDeviceScanner* item = FScanners->Add();
            item->Device = device;
            item->SetDisplayName(device->DisplayName());
            item->Monitored = device->Monitored();
            item->SetUseDefaults(true);
            item->SetPingDefaults(FPingDefaults.get());
            item->SetLogSize(Settings->DeviceLogSize);
        }
    } catch (...) {
        FScanners->EndUpdate();
        throw;
    }
    FScanners->EndUpdate();
}

void TSentrelScanner::Clear() {
    SetActive(false);
    FScanners->Clear();
}

void TSentrelScanner::Start() {
    for (int i = 0; i < FScanners->Count(); ++i) {
        TDeviceScanner* item = FScanners->Items(i);
        item->SetActive(item->Monitored);
    }
    FActive = true;
}

void TSentrelScanner::Stop() {
    // Telling every worker first, which also ends its echo, lets them all
    // wind down together while the loop below joins them one by one.
    for (int i = 0; i < FScanners->Count(); ++i)
        FScanners->Items(i)->InternetHost()->TerminatePing();
    for (int i = 0; i < FScanners->Count(); ++i) {
        TDeviceScanner* item = FScanners->Items(i);
        item->InternetHost()->WaitForPing();
        item->NewRun();
    }
    FActive = false;
}

void TSentrelScanner::DoPingReply(TObject* Sender, TqsPingReply* Reply) {
    if (OnPingReply)
        OnPingReply(Sender, Reply);
}
