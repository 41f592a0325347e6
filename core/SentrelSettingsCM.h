#pragma once
// Everything the program remembers between runs, read from the registry in
// one operation and written back in one.

#include "core/DeviceData.h"
#include "core/Policy.h"
#include "framework/Component.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// How the program tells of devices going down and up. Kept apart from the
// values above, in a key of its own: every value is optional.
struct TAlertSettings {
    int32_t DownAfter = 3; // results that are not success before Down
    int32_t UpAfter = 1;   // successes before Up again
    bool Notify = true;    // desktop notifications
    bool Sound = false;    // event sounds
    bool ProblemsFirst = false;
    // A program and its arguments run on every change, split as a command
    // line without expansion; empty runs nothing. Set in administration mode only.
    std::string Command;
    // Whether a user outside administration mode may change the values above
    // (the command excepted).
    bool AllowAlertChanges = true;
};

// Which of the device list's optional columns are shown. A key of its own,
// every value optional: a file without it shows the list as it always was.
struct TColumnSettings {
    bool Rtt = false;
    bool Loss = false;
    bool Availability = false;
    bool DownSince = false;
};

// The history kept on disk: how long raw probes and hourly aggregates stay.
// A key of its own, every value optional.
struct THistorySettings {
    int32_t RawDays = 7;
    int32_t AggregateDays = 400;
    bool Enabled = true;
};

// The Prometheus endpoint. A key of its own, every value optional.
struct TMetricsSettings {
    // "ADDRESS:PORT" to serve on; empty serves nothing.
    std::string Address;
};

// Which address of a name is probed, and how often names are looked up again
// while probing. A key of its own, every value optional.
struct TAddressSettings {
    // 0 IPv4 first, 1 IPv6 first, 2 IPv4 only; anything else reads as 0.
    int32_t Prefer = 0;
    // Minutes between lookups of a named device; 0 looks up again only after
    // failed probes. Kept within 0..MaxResolveMinutes.
    int32_t ResolveMinutes = 10;
};

inline constexpr int32_t MaxResolveMinutes = 24 * 60;

class TSentrelSettings : public TComponent {
public:
    explicit TSentrelSettings(TComponent* AOwner);
    ~TSentrelSettings() override;
    const char* ClassName() const override { return "TSentrelSettings"; }

    // Replaces this object's state by what the registry holds, the
    // administrator's policy over it (also when the user's file fails to
    // load); errors propagate.
    void Load();
    // Writes this object's state; all of it reaches the disk, or none of it.
    // Values the policy locks go back to the policy's first; the user's file
    // keeps the user's own for them (so they return with the policy gone),
    // and the policy's devices are not written.
    void Save();

    // Whether the policy set the value Name of Key (such as SettingsKey,
    // "PingInterval") at the last load; names compare without regard to case.
    bool Locked(std::string_view Key, std::string_view Name) const;
    // What was wrong with the policy at the last load: sentences naming its
    // file, for the user. Empty when it was fine or there is none.
    const std::vector<std::string>& PolicyProblems() const { return FPolicy.Problems; }

    TDeviceDataCollection* Devices() const { return FDevices.get(); }

    // Plain values: reading and writing them has no side effect.
    bool AutoStart = true;
    bool AutoScan = true;
    bool ShowWindow = true;
    bool AllowEchoChange = true;
    bool AllowDeviceChanges = true;
    bool AllowClearLog = true;
    bool AllowChangeLogSize = true;
    int32_t FormTop = 0;
    int32_t FormLeft = 0;
    int32_t FormWidth = 0;
    int32_t FormHeight = 0;
    int32_t EchoRequestSize = 4;
    int32_t IPTimeToLive = 64;
    int32_t EchoTimeOut = 3000;
    int32_t PingInterval = 15;
    int32_t DeviceLogSize = 50;
    int32_t SystemLogSize = 100;
    TAlertSettings Alerts;
    TColumnSettings Columns;
    THistorySettings History;
    TMetricsSettings Metrics;
    TAddressSettings Addresses;

    TNotifyEvent AfterLoad;
    TNotifyEvent BeforeSave;

private:
    // Steps of Load after the file has been read: the values of the settings
    // key, the window's and the devices'.
    void LoadValues(platform::TRegistry& registry);
    // Each value missing or unreadable keeps its default; never throws.
    void LoadAlerts(platform::TRegistry& registry);
    void SaveAlerts(platform::TRegistry& registry) const;
    // As the alert values: each missing or unreadable keeps its default.
    void LoadColumns(platform::TRegistry& registry);
    void SaveColumns(platform::TRegistry& registry) const;
    void LoadHistory(platform::TRegistry& registry);
    void SaveHistory(platform::TRegistry& registry) const;
    void LoadMetrics(platform::TRegistry& registry);
    void SaveMetrics(platform::TRegistry& registry) const;
    void LoadAddresses(platform::TRegistry& registry);
    void SaveAddresses(platform::TRegistry& registry) const;

    using TOwnValue = std::variant<int32_t, bool, std::string>;
    // The policy over the values read: the user's own kept for Save, the
    // policy's devices in the list in place of the user's of the same host.
    void ApplyPolicy();
    // Locked values back to the policy's, whatever was changed in memory.
    void EnforcePolicy();
    // The user's own values back where the last load put the policy's.
    void RestoreOwnValues();
    void AddMandatoryDevices();
    void SaveOwnValues(platform::TRegistry& registry) const;
    void SaveDevices(platform::TRegistry& registry) const;

    std::unique_ptr<TDeviceDataCollection> FDevices;
    TPolicy FPolicy;
    // Per lockable value, what the user's file held while the policy locked it.
    std::vector<std::optional<TOwnValue>> FOwnValues;
    // The user's devices in the place of which the policy's are listed:
    // written back unchanged, they return when the policy drops its own.
    std::unique_ptr<TDeviceDataCollection> FShadowed;
};

// Registry keys of the settings.
inline constexpr const char* RunKey = R"(\Software\Microsoft\Windows\CurrentVersion\Run)";
inline constexpr const char* RunValue = "Sentrel";
inline constexpr const char* SettingsKey = R"(\Software\Kestrava\Sentrel\1.0)";
inline constexpr const char* FormKey = R"(\Software\Kestrava\Sentrel\1.0\Form)";
inline constexpr const char* DevicesKey = R"(\Software\Kestrava\Sentrel\1.0\Devices)";
inline constexpr const char* AlertsKey = R"(\Software\Kestrava\Sentrel\1.0\Alerts)";
inline constexpr const char* ColumnsKey = R"(\Software\Kestrava\Sentrel\1.0\Columns)";
inline constexpr const char* HistoryKey = R"(\Software\Kestrava\Sentrel\1.0\History)";
inline constexpr const char* MetricsKey = R"(\Software\Kestrava\Sentrel\1.0\Metrics)";
inline constexpr const char* AddressesKey = R"(\Software\Kestrava\Sentrel\1.0\Addresses)";

// Sub-key names for a device list: unique without regard to case, free of
// backslashes and control characters, so that no two devices share a key
// and every device comes back.
std::vector<std::string> DeviceKeyNames(const TDeviceDataCollection& Devices);
