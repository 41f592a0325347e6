#include "core/SentrelSettingsCM.h"

#include "platform/Process.h"
#include "platform/registry/RegTree.h"
#include "platform/registry/Registry.h"

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

using platform::TRegistry;

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Keep key names within the registry's own limit; a cut never splits a
// UTF-8 sequence.
constexpr size_t MaxKeyName = 200;

std::string KeyNameBase(const std::string& host) {
    std::string name;
    for (char c : host) {
        if (c == '\\')
            name += '/';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            name += '_';
        else
            name += c;
    }
    if (name.size() > MaxKeyName) {
        size_t cut = MaxKeyName;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name.empty() ? std::string("(no host)") : name;
}

bool ReadBool(TRegistry& registry, const char* name) {
    return registry.ReadInteger(name) != 0;
}

// Values of the keys added beside the original ones: each is optional, and
// one missing or of another type keeps the default it was given.
void ReadOptional(TRegistry& registry, const char* name, int32_t& value) {
    if (registry.GetDataType(name) == platform::REG_DWORD)
        value = registry.ReadInteger(name);
}

void ReadOptional(TRegistry& registry, const char* name, bool& value) {
    int32_t number = value ? 1 : 0;
    ReadOptional(registry, name, number);
    value = number != 0;
}

// A value of the settings key: required, unless the policy sets it, when
// whatever the user's file holds there (or lacks) cannot keep it from loading.
template <typename T>
void ReadRequired(const TSentrelSettings& settings, TRegistry& registry, const char* name,
                  T& value) {
    if (settings.Locked(SettingsKey, name))
        ReadOptional(registry, name, value);
    else if constexpr (std::is_same_v<T, bool>)
        value = ReadBool(registry, name);
    else
        value = registry.ReadInteger(name);
}

using TFieldRef = std::variant<int32_t*, bool*, std::string*>;

struct TLockableField {
    const char* Key;
    const char* Name;
    TFieldRef (*Field)(TSentrelSettings&);
};

// The field of a settings object that a table entry stands for.
#define SETTING(Member) [](TSentrelSettings& s) -> TFieldRef { return &s.Member; }

// The values an administrator's policy may set and lock, one line each. The
// window's place and the list's columns are how one screen looks, and the
// autostart entry is the desktop's: none of them is here.
const TLockableField LockableFields[] = {
    {SettingsKey, "AutoScan", SETTING(AutoScan)},
    {SettingsKey, "ShowWindow", SETTING(ShowWindow)},
    {SettingsKey, "AllowEchoChange", SETTING(AllowEchoChange)},
    {SettingsKey, "AllowDeviceChanges", SETTING(AllowDeviceChanges)},
    {SettingsKey, "AllowClearLog", SETTING(AllowClearLog)},
    {SettingsKey, "AllowChangeLogSize", SETTING(AllowChangeLogSize)},
    {SettingsKey, "ECHORequestSize", SETTING(EchoRequestSize)},
    {SettingsKey, "IPTimeToLive", SETTING(IPTimeToLive)},
    {SettingsKey, "ECHOTimeout", SETTING(EchoTimeOut)},
    {SettingsKey, "PingInterval", SETTING(PingInterval)},
    {SettingsKey, "SystemLogSize", SETTING(SystemLogSize)},
    {SettingsKey, "DeviceLogSize", SETTING(DeviceLogSize)},
    {AlertsKey, "DownAfter", SETTING(Alerts.DownAfter)},
    {AlertsKey, "UpAfter", SETTING(Alerts.UpAfter)},
    {AlertsKey, "Notify", SETTING(Alerts.Notify)},
    {AlertsKey, "Sound", SETTING(Alerts.Sound)},
    {AlertsKey, "ProblemsFirst", SETTING(Alerts.ProblemsFirst)},
    {AlertsKey, "Command", SETTING(Alerts.Command)},
    {AlertsKey, "AllowAlertChanges", SETTING(Alerts.AllowAlertChanges)},
    {HistoryKey, "RawDays", SETTING(History.RawDays)},
    {HistoryKey, "AggregateDays", SETTING(History.AggregateDays)},
    {HistoryKey, "Enabled", SETTING(History.Enabled)},
    {MetricsKey, "Address", SETTING(Metrics.Address)},
    {AddressesKey, "Prefer", SETTING(Addresses.Prefer)},
    {AddressesKey, "ResolveMinutes", SETTING(Addresses.ResolveMinutes)},
};

#undef SETTING

constexpr size_t LockableCount = std::size(LockableFields);

// The lockable values as the policy reader knows them: where, and stored how.
std::vector<TLockableValue> LockableValues(TSentrelSettings& settings) {
    std::vector<TLockableValue> values;
    for (const TLockableField& field : LockableFields) {
        const TFieldRef ref = field.Field(settings);
        const auto kind = std::holds_alternative<std::string*>(ref) ? TLockableValue::Text
                          : std::holds_alternative<bool*>(ref)      ? TLockableValue::Flag
                                                                    : TLockableValue::Number;
        values.push_back({field.Key, field.Name, kind});
    }
    return values;
}

// Key names for Devices, unique without regard to case.
std::vector<std::string> KeyNamesOf(const std::vector<const TDeviceData*>& Devices) {
    std::vector<std::string> names;
    names.reserve(Devices.size());
    std::unordered_set<std::string> taken;
    // Per base (folded), the first number not yet tried: every name below
    // it is taken, so many devices of one host do not try them all again.
    std::unordered_map<std::string, int> nextNumber;
    for (const TDeviceData* device : Devices) {
        const std::string base = KeyNameBase(device->Host());
        std::string name = base;
        if (!taken.insert(Lower(name)).second) {
            int& n = nextNumber.try_emplace(Lower(base), 2).first->second;
            do
                name = base + " (" + std::to_string(n++) + ")";
            while (!taken.insert(Lower(name)).second);
        }
        names.push_back(std::move(name));
    }
    return names;
}

} // namespace

std::vector<std::string> DeviceKeyNames(const TDeviceDataCollection& Devices) {
    std::vector<const TDeviceData*> devices;
    devices.reserve(static_cast<size_t>(Devices.Count()));
    for (int i = 0; i < Devices.Count(); ++i)
        devices.push_back(Devices.Items(i));
    return KeyNamesOf(devices);
}

TSentrelSettings::TSentrelSettings(TComponent* AOwner)
    : TComponent(AOwner), FDevices(std::make_unique<TDeviceDataCollection>(this)),
      FShadowed(std::make_unique<TDeviceDataCollection>(this)) {}

TSentrelSettings::~TSentrelSettings() = default;

void TSentrelSettings::Load() {
    // The user's file is read over the user's own values, not the last policy's.
    RestoreOwnValues();
    FDevices->Clear();
    FShadowed->Clear();
    FPolicy = ReadPolicy(LockableValues(*this));
    try {
        TRegistry registry;
        if (registry.OpenKey(RunKey, false))
            AutoStart = !registry.ReadString(RunValue).empty();
        else
            AutoStart = false;
        try {
            LoadValues(registry);
        } catch (const platform::ERegistryException& e) {
            // The file read but its values do not: keep it where no save reaches it.
            registry.RejectStore(e.Message());
        }
        registry.CloseKey();
    } catch (...) {
        // A user's file that fails does not lift the administrator's locks.
        ApplyPolicy();
        throw;
    }
    ApplyPolicy();
    if (AfterLoad)
        AfterLoad(this);
}

bool TSentrelSettings::Locked(std::string_view Key, std::string_view Name) const {
    return std::ranges::any_of(FPolicy.Values, [&](const TPolicyValue& value) {
        const TLockableField& field = LockableFields[value.Index];
        return platform::reg::SameName(field.Key, Key) && platform::reg::SameName(field.Name, Name);
    });
}

void TSentrelSettings::ApplyPolicy() {
    FOwnValues.assign(LockableCount, std::nullopt);
    for (const TPolicyValue& value : FPolicy.Values)
        std::visit([&](auto* field) { FOwnValues[value.Index] = *field; },
                   LockableFields[value.Index].Field(*this));
    EnforcePolicy();
    AddMandatoryDevices();
}

void TSentrelSettings::EnforcePolicy() {
    for (const TPolicyValue& value : FPolicy.Values) {
        const TFieldRef field = LockableFields[value.Index].Field(*this);
        if (auto* const* text = std::get_if<std::string*>(&field))
            **text = value.Text;
        else if (auto* const* flag = std::get_if<bool*>(&field))
            **flag = value.Number != 0;
        else
            *std::get<int32_t*>(field) = value.Number;
    }
}

void TSentrelSettings::RestoreOwnValues() {
    for (size_t i = 0; i < FOwnValues.size(); ++i)
        if (FOwnValues[i])
            std::visit(
                [&](auto* field) {
                    *field = std::get<std::remove_reference_t<decltype(*field)>>(*FOwnValues[i]);
                },
                LockableFields[i].Field(*this));
    FOwnValues.clear();
}

void TSentrelSettings::AddMandatoryDevices() {
    if (FPolicy.Devices.empty())
        return;
    std::unordered_map<std::string, std::vector<TDeviceData*>> byHost;
    for (int i = 0; i < FDevices->Count(); ++i)
        byHost[Lower(FDevices->Items(i)->Host())].push_back(FDevices->Items(i));
    std::unordered_set<std::string> done;
    FDevices->BeginUpdate();
    try {
        for (const TPolicyDevice& mandatory : FPolicy.Devices) {
            const std::string host = Lower(mandatory.Host);
            if (!done.insert(host).second)
                continue; // named twice by the policy: the first counts
            TDeviceData* device = nullptr;
            if (const auto own = byHost.find(host); own != byHost.end())
                for (TDeviceData* item : own->second) {
                    TDeviceData* kept = FShadowed->Add();
                    kept->SetHost(item->Host());
                    kept->SetDescription(item->Description());
                    kept->SetDeviceType(item->DeviceType());
                    kept->SetMonitored(item->Monitored());
                    // The first takes the policy's device where it was; the rest go.
                    if (device == nullptr)
                        device = item;
                    else
                        delete item;
                }
            if (device == nullptr)
                device = FDevices->Add();
            device->SetHost(mandatory.Host);
            device->SetDescription(mandatory.Description);
            device->SetDeviceType(mandatory.DeviceType);
            device->SetMonitored(mandatory.Monitored);
            device->SetMandatory(true);
        }
    } catch (...) {
        FDevices->EndUpdate();
        throw;
    }
    FDevices->EndUpdate();
}

void TSentrelSettings::LoadValues(TRegistry& registry) {
    if (registry.OpenKey(SettingsKey, false)) {
        ReadRequired(*this, registry, "AutoScan", AutoScan);
        ReadRequired(*this, registry, "ShowWindow", ShowWindow);
        ReadRequired(*this, registry, "AllowEchoChange", AllowEchoChange);
        ReadRequired(*this, registry, "AllowDeviceChanges", AllowDeviceChanges);
        ReadRequired(*this, registry, "AllowClearLog", AllowClearLog);
        ReadRequired(*this, registry, "AllowChangeLogSize", AllowChangeLogSize);
        ReadRequired(*this, registry, "ECHORequestSize", EchoRequestSize);
        ReadRequired(*this, registry, "IPTimeToLive", IPTimeToLive);
        ReadRequired(*this, registry, "ECHOTimeout", EchoTimeOut);
        ReadRequired(*this, registry, "PingInterval", PingInterval);
        ReadRequired(*this, registry, "SystemLogSize", SystemLogSize);
        ReadRequired(*this, registry, "DeviceLogSize", DeviceLogSize);
    }
    if (registry.OpenKey(FormKey, false)) {
        FormLeft = registry.ReadInteger("Left");
        FormTop = registry.ReadInteger("Top");
        FormHeight = registry.ReadInteger("Height");
        FormWidth = registry.ReadInteger("Width");
    }
    Alerts = TAlertSettings();
    LoadAlerts(registry);
    Columns = TColumnSettings();
    LoadColumns(registry);
    History = THistorySettings();
    LoadHistory(registry);
    Metrics = TMetricsSettings();
    LoadMetrics(registry);
    Addresses = TAddressSettings();
    LoadAddresses(registry);
    if (registry.OpenKey(DevicesKey, false)) {
        const std::vector<std::string> names = registry.GetKeyNames();
        FDevices->BeginUpdate();
        try {
            for (const std::string& name : names) {
                if (!registry.OpenKey(std::string(DevicesKey) + "\\" + name, false))
                    continue;
                FDevices->Add()->LoadFromRegistry(registry);
            }
        } catch (...) {
            FDevices->EndUpdate();
            throw;
        }
        FDevices->EndUpdate();
    }
}

void TSentrelSettings::LoadAlerts(TRegistry& registry) try {
    if (!registry.OpenKey(AlertsKey, false))
        return;
    ReadOptional(registry, "DownAfter", Alerts.DownAfter);
    ReadOptional(registry, "UpAfter", Alerts.UpAfter);
    ReadOptional(registry, "Notify", Alerts.Notify);
    ReadOptional(registry, "Sound", Alerts.Sound);
    ReadOptional(registry, "ProblemsFirst", Alerts.ProblemsFirst);
    ReadOptional(registry, "AllowAlertChanges", Alerts.AllowAlertChanges);
    const platform::RegDataType command = registry.GetDataType("Command");
    if (command == platform::REG_SZ || command == platform::REG_EXPAND_SZ)
        Alerts.Command = registry.ReadString("Command");
} catch (const platform::ERegistryException&) {
    // A value that does not read keeps its default: alerting is an addition
    // that must never keep the rest of the settings from loading.
}

void TSentrelSettings::SaveAlerts(TRegistry& registry) const {
    if (!registry.OpenKey(AlertsKey, true))
        return;
    registry.WriteInteger("DownAfter", Alerts.DownAfter);
    registry.WriteInteger("UpAfter", Alerts.UpAfter);
    registry.WriteInteger("Notify", Alerts.Notify ? 1 : 0);
    registry.WriteInteger("Sound", Alerts.Sound ? 1 : 0);
    registry.WriteInteger("ProblemsFirst", Alerts.ProblemsFirst ? 1 : 0);
    registry.WriteInteger("AllowAlertChanges", Alerts.AllowAlertChanges ? 1 : 0);
    registry.WriteString("Command", Alerts.Command);
}

void TSentrelSettings::LoadColumns(TRegistry& registry) try {
    if (!registry.OpenKey(ColumnsKey, false))
        return;
    ReadOptional(registry, "RTT", Columns.Rtt);
    ReadOptional(registry, "Loss", Columns.Loss);
    ReadOptional(registry, "Availability", Columns.Availability);
    ReadOptional(registry, "DownSince", Columns.DownSince);
} catch (const platform::ERegistryException&) {
    // The columns shown are a convenience: never a reason not to load.
}

void TSentrelSettings::SaveColumns(TRegistry& registry) const {
    if (!registry.OpenKey(ColumnsKey, true))
        return;
    registry.WriteInteger("RTT", Columns.Rtt ? 1 : 0);
    registry.WriteInteger("Loss", Columns.Loss ? 1 : 0);
    registry.WriteInteger("Availability", Columns.Availability ? 1 : 0);
    registry.WriteInteger("DownSince", Columns.DownSince ? 1 : 0);
}

void TSentrelSettings::LoadHistory(TRegistry& registry) try {
    if (!registry.OpenKey(HistoryKey, false))
        return;
    ReadOptional(registry, "RawDays", History.RawDays);
    ReadOptional(registry, "AggregateDays", History.AggregateDays);
    ReadOptional(registry, "Enabled", History.Enabled);
} catch (const platform::ERegistryException&) {
    // As with the alerts: the history never keeps the settings from loading.
}

void TSentrelSettings::SaveHistory(TRegistry& registry) const {
    if (!registry.OpenKey(HistoryKey, true))
        return;
    registry.WriteInteger("RawDays", History.RawDays);
    registry.WriteInteger("AggregateDays", History.AggregateDays);
    registry.WriteInteger("Enabled", History.Enabled ? 1 : 0);
}

void TSentrelSettings::LoadMetrics(TRegistry& registry) try {
    if (!registry.OpenKey(MetricsKey, false))
        return;
    const platform::RegDataType address = registry.GetDataType("Address");
    if (address == platform::REG_SZ || address == platform::REG_EXPAND_SZ)
        Metrics.Address = registry.ReadString("Address");
} catch (const platform::ERegistryException&) {
    // Metrics are an addition: never a reason not to load. The address is
    // checked where the server starts, so a bad one is told there.
}

void TSentrelSettings::SaveMetrics(TRegistry& registry) const {
    if (!registry.OpenKey(MetricsKey, true))
        return;
    registry.WriteString("Address", Metrics.Address);
}

void TSentrelSettings::LoadAddresses(TRegistry& registry) try {
    if (!registry.OpenKey(AddressesKey, false))
        return;
    ReadOptional(registry, "Prefer", Addresses.Prefer);
    ReadOptional(registry, "ResolveMinutes", Addresses.ResolveMinutes);
    // A value written by hand or by a later version falls back rather than
    // stopping the load.
    if (Addresses.Prefer < 0 || Addresses.Prefer > 2)
        Addresses.Prefer = 0;
    Addresses.ResolveMinutes = std::clamp(Addresses.ResolveMinutes, 0, MaxResolveMinutes);
} catch (const platform::ERegistryException&) {
    // As the other additions: never a reason not to load.
}

void TSentrelSettings::SaveAddresses(TRegistry& registry) const {
    if (!registry.OpenKey(AddressesKey, true))
        return;
    registry.WriteInteger("Prefer", Addresses.Prefer);
    registry.WriteInteger("ResolveMinutes", Addresses.ResolveMinutes);
}

void TSentrelSettings::SaveOwnValues(TRegistry& registry) const {
    for (size_t i = 0; i < FOwnValues.size(); ++i) {
        if (!FOwnValues[i] || !registry.OpenKey(LockableFields[i].Key, true))
            continue;
        const char* name = LockableFields[i].Name;
        if (const auto* text = std::get_if<std::string>(&*FOwnValues[i]))
            registry.WriteString(name, *text);
        else if (const auto* flag = std::get_if<bool>(&*FOwnValues[i]))
            registry.WriteInteger(name, *flag ? 1 : 0);
        else
            registry.WriteInteger(name, std::get<int32_t>(*FOwnValues[i]));
    }
}

void TSentrelSettings::SaveDevices(TRegistry& registry) const {
    registry.DeleteKey(DevicesKey);
    if (!registry.OpenKey(DevicesKey, true))
        return;
    std::vector<const TDeviceData*> devices;
    devices.reserve(static_cast<size_t>(FDevices->Count()) +
                    static_cast<size_t>(FShadowed->Count()));
    for (int i = 0; i < FDevices->Count(); ++i)
        if (!FDevices->Items(i)->Mandatory())
            devices.push_back(FDevices->Items(i));
    for (int i = 0; i < FShadowed->Count(); ++i)
        devices.push_back(FShadowed->Items(i));
    const std::vector<std::string> names = KeyNamesOf(devices);
    for (size_t i = 0; i < devices.size(); ++i)
        if (registry.OpenKey(std::string(DevicesKey) + "\\" + names[i], true))
            devices[i]->SaveToRegistry(registry);
}

void TSentrelSettings::Save() {
    if (BeforeSave)
        BeforeSave(this);
    EnforcePolicy();
    TRegistry registry;
    if (registry.OpenKey(RunKey, true)) {
        if (AutoStart)
            registry.WriteString(RunValue, platform::ExecutablePath());
        else
            registry.DeleteValue(RunValue);
    }
    if (registry.OpenKey(SettingsKey, true)) {
        registry.WriteInteger("AutoScan", AutoScan ? 1 : 0);
        registry.WriteInteger("ShowWindow", ShowWindow ? 1 : 0);
        registry.WriteInteger("AllowEchoChange", AllowEchoChange ? 1 : 0);
        registry.WriteInteger("AllowDeviceChanges", AllowDeviceChanges ? 1 : 0);
        registry.WriteInteger("AllowClearLog", AllowClearLog ? 1 : 0);
        registry.WriteInteger("AllowChangeLogSize", AllowChangeLogSize ? 1 : 0);
        registry.WriteInteger("ECHORequestSize", EchoRequestSize);
        registry.WriteInteger("IPTimeToLive", IPTimeToLive);
        registry.WriteInteger("ECHOTimeout", EchoTimeOut);
        registry.WriteInteger("PingInterval", PingInterval);
        registry.WriteInteger("SystemLogSize", SystemLogSize);
        registry.WriteInteger("DeviceLogSize", DeviceLogSize);
    }
    if (registry.OpenKey(FormKey, true)) {
        registry.WriteInteger("Left", FormLeft);
        registry.WriteInteger("Top", FormTop);
        registry.WriteInteger("Height", FormHeight);
        registry.WriteInteger("Width", FormWidth);
    }
    SaveAlerts(registry);
    SaveColumns(registry);
    SaveHistory(registry);
    SaveMetrics(registry);
    SaveAddresses(registry);
    SaveOwnValues(registry);
    SaveDevices(registry);
    registry.CloseKey();
    // Every change above reaches the disk here, all at once.
    registry.Commit();
}
