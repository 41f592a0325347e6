#pragma once
// Turns the device list into probing: one device scanner per configured
// device, each with an internet host that pings on its own worker and a log
// of the device's status changes. Replies reach the main thread through the
// dispatcher; everything the scanner raises runs there.

#include "core/AlertState.h"
#include "core/DeviceStats.h"
#include "core/Dispatcher.h"
#include "core/StatusLogCM.h"
#include "framework/Collection.h"
#include "net/qsInternetHost.h"
#include "net/qsWinsock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TDeviceData;
class TMetricsRegistry;
class TSentrelSettings;
class TSentrelScanner;
class TDeviceScanner;

using TDeviceStatusChangeEvent = std::function<void(TObject* Sender, const std::string& Host,
                                                    TPingResult OldStatus, TPingResult NewStatus)>;
using TAlertChangeEvent = std::function<void(TDeviceScanner* Sender, const TAlertChange& Change)>;
// Host's name now stands for Address, which probing follows from here on.
using TAddressChangeEvent = std::function<void(TDeviceScanner* Sender, const std::string& Host,
                                               const std::string& Address)>;
using TStartErrorEvent = std::function<void(TObject* Sender, const std::exception_ptr& Error)>;

class TDeviceScanner : public TCollectionItem {
public:
    explicit TDeviceScanner(TCollection* Collection);
    ~TDeviceScanner() override;
    const char* ClassName() const override { return "TDeviceScanner"; }

    TqsInternetHost* InternetHost() const { return FInternetHost.get(); }
    TStatusLog* Log() const { return FLog.get(); }

    std::string DisplayName() const override { return FInternetHost->HostName(); }
    void SetDisplayName(const std::string& Value) override;
    bool Active() const { return FInternetHost->Pinging(); }
    void SetActive(bool Value);
    void SetPingDefaults(const TqsPingDefaults* Value);
    bool UseDefaults() const { return FUseDefaults; }
    void SetUseDefaults(bool Value);
    void SetLogSize(int32_t Value) { FLog->SetCapacity(Value); }

    void Start();
    void Stop();
    // Runs on the main thread with a copy of a reply of this device.
    void HostPingReply(TObject* Sender, TqsPingReply* Reply);

    // Read by the list view right after a rebuild only; not owned.
    TDeviceData* Device = nullptr;
    // The list row that shows this device; the scanner never uses it.
    void* ListItem = nullptr;
    TPingResult LastStatus = prSuccess;
    bool Monitored = false;
    // Up or Down from the run of results since the start; Unknown when not scanning.
    const TAlertTracker& Alert() const { return FAlert; }
    // Round-trip times, loss and availability, fed before the reply is raised.
    const TDeviceStats& Stats() const { return FStats; }

    // What a worker hands to the main thread: the item it belongs to while
    // the item lives, and the run of pinging the reply came from.
    struct Link {
        TDeviceScanner* Item;
        std::atomic<uint32_t> Run{0};
    };

private:
    friend class TSentrelScanner;
    TSentrelScanner* Scanner() const;
    // Runs on the worker thread: copies the reply and posts it.
    void ReplyArrived(TqsPingReply* Reply);
    // Replies already posted from an earlier run are dropped.
    void NewRun() { FLink->Run.fetch_add(1); }

    std::unique_ptr<TqsInternetHost> FInternetHost;
    std::unique_ptr<TStatusLog> FLog;
    bool FUseDefaults = true;
    std::shared_ptr<Link> FLink;
    TAlertTracker FAlert;
    TDeviceStats FStats;
    // This device's place in the metrics' list, kept so that a reply finds
    // its figures without a search.
    size_t FMetricsIndex = 0;
};

class TScannerCollection : public TCollection {
public:
    explicit TScannerCollection(TSentrelScanner* Owner);
    const char* ClassName() const override { return "TScannerCollection"; }
    TDeviceScanner* Add();
    TDeviceScanner* Items(int Index) const {
        return static_cast<TDeviceScanner*>(TCollection::Items(Index));
    }
};

class TSentrelScanner : public TqsWinsockComponent {
public:
    explicit TSentrelScanner(TComponent* AOwner);
    ~TSentrelScanner() override;
    const char* ClassName() const override { return "TSentrelScanner"; }

    TScannerCollection* Scanners() const { return FScanners.get(); }
    TqsPingDefaults* PingDefaults() const { return FPingDefaults.get(); }
    void SetPingDefaults(const TqsPingDefaults* Value);
    bool Active() const { return FActive; }
    void SetActive(bool Value);

    // Where replies are handed to the main thread; the program's dispatcher
    // unless one is set here.
    TDispatcher* Dispatcher() const;
    void SetDispatcher(TDispatcher* Value) { FDispatcher = Value; }

    // The figures fed with every reply and told of the devices and of
    // scanning; not owned, nullptr for none. Set before loading the devices,
    // or right after: the devices' labels are read from the settings' list.
    void SetMetrics(TMetricsRegistry* Value);
    TMetricsRegistry* Metrics() const { return FMetrics; }

    // Rebuilds every device scanner from the settings; leaves scanning off.
    void LoadFromSettings(TSentrelSettings* Settings);
    void Clear();
    // Starts the monitored devices in slices on the main thread: the first
    // here, the rest through the dispatcher, so that replies and painting run
    // in between. Active from the first device on; Stop ends what started and
    // the rest of the start with it.
    void Start();
    void Stop();
    // True while a start still has devices to go.
    bool Starting() const { return FActive && FStartNext >= 0; }
    // Each slice starts at least MinItems devices, then more until Budget has
    // passed.
    void SetStartSlice(int MinItems, std::chrono::microseconds Budget);

    TDeviceStatusChangeEvent OnStatusChange;
    // Raised on the main thread when a device's name was looked up again and
    // probing moved to another address; the device's log has the record already.
    TAddressChangeEvent OnAddressChange;
    TPingReplyEvent OnPingReply;
    // Raised once at the end of a start in which devices failed to start: the
    // first failure's error; when others do probe, of its own class still,
    // its text followed by a line naming the devices not started. Without a
    // handler the error is thrown from where the start ended.
    TStartErrorEvent OnStartError;
    // Raised on the main thread when a device's alert state is decided anew,
    // the first decision after a start included (marked silent).
    TAlertChangeEvent OnAlertChange;

    const TAlertThresholds& AlertThresholds() const { return FThresholds; }
    // Kept within bounds; applies from the next result on.
    void SetAlertThresholds(const TAlertThresholds& Value) { FThresholds = Value.Clamped(); }
    // Devices in State now, counted as they change.
    int AlertCount(TAlertState State) const;
    // The hosts of the first Max devices that are down, in list order.
    std::vector<std::string> DownHosts(size_t Max) const;
    // Devices that probe when scanning.
    int MonitoredCount() const;

    // The worker interval for a ping interval in seconds, kept within 1 s to
    // one day so that a stored value cannot stop probing or overflow.
    static uint32_t IntervalFromSeconds(int32_t Seconds);
    // The stored preference (0, 1, 2) as the workers take it; others are IPv4 first.
    static TAddressPreference PreferenceFromSetting(int32_t Value);
    // The lookup period for minutes kept within 0..1440; 0 stays 0 (after
    // failures only).
    static uint32_t ResolveEveryFromMinutes(int32_t Minutes);

protected:
    virtual void DoPingReply(TObject* Sender, TqsPingReply* Reply);

private:
    friend class TDeviceScanner;
    // Runs one slice, then hands the rest on or ends the start.
    void StartSlice();
    // Starts the devices of one slice; true while devices remain.
    bool StartSome();
    void FinishStart();
    void AlertChanged(TDeviceScanner* Item, TAlertChange& Change);
    // Every device back to Unknown.
    void ResetAlerts();
    // Hands the metrics the devices as they are listed now.
    void FeedMetricsDevices();
    void SetMetricsScanning(bool Scanning);

    std::unique_ptr<TqsPingDefaults> FPingDefaults;
    std::unique_ptr<TScannerCollection> FScanners;
    bool FActive = false;
    TDispatcher* FDispatcher = nullptr;
    // The next device a start takes up; -1 once none remain.
    int FStartNext = -1;
    // Slices handed to the dispatcher belong to this start only.
    uint32_t FStartRun = 0;
    int FStartMinItems = 32;
    std::chrono::microseconds FStartBudget{12000};
    std::exception_ptr FStartError;
    std::vector<std::string> FNotStarted;
    TAlertThresholds FThresholds;
    int FUpCount = 0;
    int FDownCount = 0;
    TMetricsRegistry* FMetrics = nullptr;
    // Gone with the scanner, so that a slice still queued does nothing.
    std::shared_ptr<char> FAlive = std::make_shared<char>();
};
