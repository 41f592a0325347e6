#include "core/SentrelSettingsCM.h"

#include "platform/Process.h"
#include "platform/registry/Registry.h"

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

} // namespace

std::vector<std::string> DeviceKeyNames(const TDeviceDataCollection& Devices) {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(Devices.Count()));
    std::unordered_set<std::string> taken;
    // Per base (folded), the first number not yet tried: every name below
    // it is taken, so many devices of one host do not try them all again.
    std::unordered_map<std::string, int> nextNumber;
    for (int i = 0; i < Devices.Count(); ++i) {
        const std::string base = KeyNameBase(Devices.Items(i)->Host());
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

TSentrelSettings::TSentrelSettings(TComponent* AOwner)
    : TComponent(AOwner), FDevices(std::make_unique<TDeviceDataCollection>(this)) {}

TSentrelSettings::~TSentrelSettings() = default;

void TSentrelSettings::Load() {
    FDevices->Clear();
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
    if (AfterLoad)
        AfterLoad(this);
}

void TSentrelSettings::LoadValues(TRegistry& registry) {
    if (registry.OpenKey(SettingsKey, false)) {
        AutoScan = ReadBool(registry, "AutoScan");
        ShowWindow = ReadBool(registry, "ShowWindow");
        AllowEchoChange = ReadBool(registry, "AllowEchoChange");
        AllowDeviceChanges = ReadBool(registry, "AllowDeviceChanges");
        AllowClearLog = ReadBool(registry, "AllowClearLog");
        AllowChangeLogSize = ReadBool(registry, "AllowChangeLogSize");
        EchoRequestSize = registry.ReadInteger("ECHORequestSize");
        IPTimeToLive = registry.ReadInteger("IPTimeToLive");
        EchoTimeOut = registry.ReadInteger("ECHOTimeout");
        PingInterval = registry.ReadInteger("PingInterval");
        SystemLogSize = registry.ReadInteger("SystemLogSize");
        DeviceLogSize = registry.ReadInteger("DeviceLogSize");
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

void TSentrelSettings::Save() {
    if (BeforeSave)
        BeforeSave(this);
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
    registry.DeleteKey(DevicesKey);
    if (registry.OpenKey(DevicesKey, true)) {
        const std::vector<std::string> names = DeviceKeyNames(*FDevices);
        for (int i = 0; i < FDevices->Count(); ++i) {
            if (registry.OpenKey(std::string(DevicesKey) + "\\" + names[static_cast<size_t>(i)],
                                 true))
                FDevices->Items(i)->SaveToRegistry(registry);
        }
    }
    registry.CloseKey();
    // Every change above reaches the disk here, all at once.
    registry.Commit();
}
