#pragma once
// One configured device, and the ordered list of them that the settings own.

#include "framework/Collection.h"

#include <cstdint>
#include <string>

namespace platform {
class TRegistry;
}

enum TDeviceType : uint8_t {
    dtComputer,
    dtServer,
    dtPrinter,
    dtRouter,
    dtBridge,
    dtInterface,
};

constexpr int DeviceTypeCount = dtInterface + 1;

class TDeviceData : public TCollectionItem {
public:
    explicit TDeviceData(TCollection* Collection);
    const char* ClassName() const override { return "TDeviceData"; }

    const std::string& Host() const { return FHost; }
    const std::string& Description() const { return FDescription; }
    TDeviceType DeviceType() const { return FDeviceType; }
    bool Monitored() const { return FMonitored; }
    void SetDescription(const std::string& Value);
    void SetDeviceType(TDeviceType Value);
    void SetMonitored(bool Value);
    std::string DisplayName() const override { return FHost; }
    void SetDisplayName(const std::string& Value) override;
    // Callers set the host through DisplayName; this is the same.
    void SetHost(const std::string& Value) { SetDisplayName(Value); }

    // Copies the host and the description only.
    void Assign(const TPersistent* Source) override;

    // A device of the administrator's policy: every load puts it in the
    // list, no save writes it, and it is not to be edited or removed.
    bool Mandatory() const { return FMandatory; }
    void SetMandatory(bool Value) { FMandatory = Value; }

    // Reads and writes the four values of the registry's current key.
    void LoadFromRegistry(platform::TRegistry& Registry);
    void SaveToRegistry(platform::TRegistry& Registry) const;

private:
    std::string FDescription;
    TDeviceType FDeviceType = dtComputer;
    std::string FHost;
    bool FMonitored = true;
    bool FMandatory = false;
};

class TDeviceDataCollection : public TCollection {
public:
    explicit TDeviceDataCollection(TPersistent* Owner) : TCollection(Owner) {}
    const char* ClassName() const override { return "TDeviceDataCollection"; }

    // Appends a new record: host "New Device", no description, a monitored computer.
    TDeviceData* Add();
    TDeviceData* Items(int Index) const {
        return static_cast<TDeviceData*>(TCollection::Items(Index));
    }

protected:
    void SetItemName(TCollectionItem* Item) override;
};

// The host a record carries between its creation and its real host.
inline constexpr const char* NewDeviceHost = "New Device";
