#include "core/SentrelScannerCM.h"

#include "core/DeviceData.h"
#include "core/SentrelSettingsCM.h"
#include "core/import/DeviceImport.h"
#include "core/metrics/MetricsRegistry.h"

#include <algorithm>

namespace {

constexpr int32_t MaxPingIntervalSeconds = 24 * 60 * 60;
// The options dialog's range for the stored dword, taken unsigned as the workers
// take it: 4294967295 (read as -1) would make Stop and exit wait practically for ever.
constexpr uint32_t MinEchoTimeoutMs = 1;
constexpr uint32_t MaxEchoTimeoutMs = 30000;
// Names a failed start lists before it only counts the rest.
constexpr size_t NotStartedNamesShown = 3;

// "a", "a and b", "a, b and c", "a, b, c and 47 more".
std::string NotStartedList(const std::vector<std::string>& Names) {
    const size_t shown = std::min(Names.size(), NotStartedNamesShown);
    const size_t more = Names.size() - shown;
    std::string text;
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0)
            text += (i + 1 == shown && more == 0) ? " and " : ", ";
        text += Names[i];
    }
    if (more > 0)
        text += " and " + std::to_string(more) + " more";
    return text;
}

// The first failure with the devices not started added to its text, of the
// first failure's own class, so that whoever reports it still gives the
// advice that belongs to that kind of error.
std::exception_ptr NotStartedError(const std::exception_ptr& First,
                                   const std::vector<std::string>& Names) {
    const std::string added = "\nNot started: " + NotStartedList(Names);
    try {
        std::rethrow_exception(First);
    } catch (const EICMPError& e) {
        return std::make_exception_ptr(EICMPError(e.what() + added));
    } catch (const EWinsockError& e) {
        return std::make_exception_ptr(EWinsockError(e.what() + added));
    } catch (const EDNSError& e) {
        return std::make_exception_ptr(EDNSError(e.what() + added));
    } catch (const std::exception& e) {
        return std::make_exception_ptr(Exception(e.what() + added));
    } catch (...) {
        return std::make_exception_ptr(Exception("Unknown error" + added));
    }
}

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
    // One reading of the clock for the statistics and the alert alike.
    const TDateTime now = Now();
    FStats.Add(Reply->Result, Reply->RoundTripTime, now);
    TSentrelScanner* scanner = Scanner();
    if (scanner != nullptr)
        scanner->DoPingReply(this, Reply);
    const bool changed = Reply->Result != LastStatus;
    if (changed) {
        FLog->Add(Reply->HostName, Reply->Result);
        if (scanner != nullptr && scanner->OnStatusChange)
            scanner->OnStatusChange(this, Reply->HostName, LastStatus, Reply->Result);
    }
    LastStatus = Reply->Result;
    if (Reply->AddressChanged) {
        FLog->AddAddressChange(Reply->HostName, Reply->IPAddress);
        if (scanner != nullptr && scanner->OnAddressChange)
            scanner->OnAddressChange(this, Reply->HostName, Reply->IPAddress);
    }
    if (scanner == nullptr)
        return;
    if (std::optional<TAlertChange> change =
            FAlert.Feed(Reply->Result, now, scanner->AlertThresholds())) {
        change->Host = DisplayName();
        scanner->AlertChanged(this, *change);
    }
    if (TMetricsRegistry* metrics = scanner->FMetrics)
        metrics->AddResult(FMetricsIndex, Reply->Result, Reply->RoundTripTime, FAlert.State(),
                           FAlert.Since(), changed);
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

TAddressPreference TSentrelScanner::PreferenceFromSetting(int32_t Value) {
    switch (Value) {
    case 1:
        return TAddressPreference::IPv6First;
    case 2:
        return TAddressPreference::IPv4Only;
    default:
        return TAddressPreference::IPv4First;
    }
}

uint32_t TSentrelScanner::ResolveEveryFromMinutes(int32_t Minutes) {
    return static_cast<uint32_t>(std::clamp(Minutes, 0, MaxResolveMinutes)) * 60000u;
}

void TSentrelScanner::LoadFromSettings(TSentrelSettings* Settings) {
    Clear();
    FPingDefaults->BeginUpdate();
    FPingDefaults->SetDataSize(static_cast<uint16_t>(Settings->EchoRequestSize));
    FPingDefaults->SetTTL(static_cast<uint8_t>(Settings->IPTimeToLive));
    FPingDefaults->SetTimeout(std::clamp(static_cast<uint32_t>(Settings->EchoTimeOut),
                                         MinEchoTimeoutMs, MaxEchoTimeoutMs));
    FPingDefaults->SetInterval(IntervalFromSeconds(Settings->PingInterval));
    // A policy's value is not checked on load: kept within bounds here.
    FPingDefaults->SetPreference(PreferenceFromSetting(Settings->Addresses.Prefer));
    FPingDefaults->SetResolveEvery(ResolveEveryFromMinutes(Settings->Addresses.ResolveMinutes));
    FPingDefaults->EndUpdate();
    SetAlertThresholds({Settings->Alerts.DownAfter, Settings->Alerts.UpAfter});
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
        FeedMetricsDevices();
        throw;
    }
    FScanners->EndUpdate();
    FeedMetricsDevices();
}

void TSentrelScanner::Clear() {
    SetActive(false);
    FScanners->Clear();
    ResetAlerts();
    FeedMetricsDevices();
}

void TSentrelScanner::SetMetrics(TMetricsRegistry* Value) {
    FMetrics = Value;
    FeedMetricsDevices();
    SetMetricsScanning(FActive);
}

void TSentrelScanner::FeedMetricsDevices() {
    const int count = FScanners->Count();
    for (int i = 0; i < count; ++i)
        FScanners->Items(i)->FMetricsIndex = static_cast<size_t>(i);
    if (FMetrics == nullptr)
        return;
    std::vector<TMetricsDevice> devices;
    devices.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const TDeviceScanner* item = FScanners->Items(i);
        TMetricsDevice& device = devices.emplace_back();
        device.Host = item->DisplayName();
        if (item->Device != nullptr) {
            device.Description = item->Device->Description();
            device.Type = DeviceTypeName(item->Device->DeviceType());
        }
    }
    FMetrics->SetDevices(devices);
}

void TSentrelScanner::SetMetricsScanning(bool Scanning) {
    if (FMetrics != nullptr)
        FMetrics->SetScanning(Scanning);
}

void TSentrelScanner::SetStartSlice(int MinItems, std::chrono::microseconds Budget) {
    FStartMinItems = std::max(MinItems, 1);
    FStartBudget = Budget;
}

void TSentrelScanner::Start() {
    // Active at once, so that Stop is offered while the devices start.
    FActive = true;
    ++FStartRun;
    FStartNext = 0;
    FStartError = nullptr;
    FNotStarted.clear();
    ResetAlerts();
    for (int i = 0; i < FScanners->Count(); ++i)
        FScanners->Items(i)->FStats.ResetRun();
    SetMetricsScanning(true);
    StartSlice();
}

void TSentrelScanner::StartSlice() {
    if (StartSome()) {
        if (TDispatcher* dispatcher = Dispatcher()) {
            std::weak_ptr<char> alive = FAlive;
            dispatcher->Post([this, alive, run = FStartRun] {
                // Dropped once the scanner is gone, stopped, or started anew.
                if (alive.expired() || !FActive || run != FStartRun)
                    return;
                StartSlice();
            });
            return;
        }
        // Nobody to hand the rest to: all of it now.
        while (StartSome()) {
        }
    }
    FinishStart();
}

bool TSentrelScanner::StartSome() {
    const auto began = std::chrono::steady_clock::now();
    const int count = FScanners->Count();
    for (int done = 0; FStartNext < count; ++done) {
        if (done >= FStartMinItems && std::chrono::steady_clock::now() - began >= FStartBudget)
            return true;
        TDeviceScanner* item = FScanners->Items(FStartNext++);
        try {
            item->SetActive(item->Monitored);
        } catch (...) {
            // One device that cannot start (no descriptor left, no name
            // service) keeps none of the others from probing.
            if (!FStartError)
                FStartError = std::current_exception();
            FNotStarted.push_back(item->DisplayName());
        }
    }
    return false;
}

void TSentrelScanner::FinishStart() {
    FStartNext = -1;
    if (!FStartError)
        return;
    // Stop stays offered while anything probes; with nothing probing the
    // scanner counts as stopped, as after a start that failed outright.
    bool probing = false;
    for (int i = 0; i < FScanners->Count() && !probing; ++i)
        probing = FScanners->Items(i)->Active();
    FActive = probing;
    SetMetricsScanning(probing);
    // When nothing started the first error says it all, as it always has.
    const std::exception_ptr error =
        probing ? NotStartedError(FStartError, FNotStarted) : FStartError;
    FStartError = nullptr;
    FNotStarted.clear();
    if (!OnStartError)
        std::rethrow_exception(error);
    OnStartError(this, error);
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
    ResetAlerts();
    SetMetricsScanning(false);
}

void TSentrelScanner::AlertChanged(TDeviceScanner* Item, TAlertChange& Change) {
    const auto count = [this](TAlertState state) -> int* {
        if (state == TAlertState::Up)
            return &FUpCount;
        if (state == TAlertState::Down)
            return &FDownCount;
        return nullptr;
    };
    if (int* old = count(Change.OldState))
        --*old;
    if (int* now = count(Change.NewState))
        ++*now;
    if (OnAlertChange)
        OnAlertChange(Item, Change);
}

void TSentrelScanner::ResetAlerts() {
    for (int i = 0; i < FScanners->Count(); ++i)
        FScanners->Items(i)->FAlert.Reset();
    FUpCount = 0;
    FDownCount = 0;
}

int TSentrelScanner::AlertCount(TAlertState State) const {
    if (State == TAlertState::Up)
        return FUpCount;
    if (State == TAlertState::Down)
        return FDownCount;
    return MonitoredCount() - FUpCount - FDownCount;
}

std::vector<std::string> TSentrelScanner::DownHosts(size_t Max) const {
    std::vector<std::string> hosts;
    for (int i = 0; i < FScanners->Count() && hosts.size() < Max; ++i) {
        const TDeviceScanner* item = FScanners->Items(i);
        if (item->FAlert.State() == TAlertState::Down)
            hosts.push_back(item->DisplayName());
    }
    return hosts;
}

int TSentrelScanner::MonitoredCount() const {
    int count = 0;
    for (int i = 0; i < FScanners->Count(); ++i)
        count += FScanners->Items(i)->Monitored ? 1 : 0;
    return count;
}

void TSentrelScanner::DoPingReply(TObject* Sender, TqsPingReply* Reply) {
    if (OnPingReply)
        OnPingReply(Sender, Reply);
}
