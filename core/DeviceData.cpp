#include "core/DeviceData.h"

#include "platform/registry/Registry.h"

TDeviceData::TDeviceData(TCollection* Collection) : TCollectionItem(Collection) {}

void TDeviceData::SetDisplayName(const std::string& Value) {
    if (Value == FHost)
        return;
    FHost = Value;
    Changed();
}

void TDeviceData::SetDescription(const std::string& Value) {
    if (Value == FDescription)
        return;
    FDescription = Value;
    Changed();
}

void TDeviceData::SetDeviceType(TDeviceType Value) {
    if (Value == FDeviceType)
        return;
    FDeviceType = Value;
    Changed();
}

void TDeviceData::SetMonitored(bool Value) {
    if (Value == FMonitored)
        return;
    FMonitored = Value;
    Changed();
}

void TDeviceData::Assign(const TPersistent* Source) {
    if (const auto* source = dynamic_cast<const TDeviceData*>(Source)) {
        SetDisplayName(source->FHost);
        FDescription = source->FDescription;
        Changed();
        return;
    }
    TCollectionItem::Assign(Source);
}

void TDeviceData::LoadFromRegistry(platform::TRegistry& Registry) {
    FHost = Registry.ReadString("Host");
    FDescription = Registry.ReadString("Description");
    // Kept as read, also outside the known types; the lists show a neutral icon.
    FDeviceType = static_cast<TDeviceType>(Registry.ReadInteger("DeviceType") & 0xff);
    FMonitored = Registry.ReadInteger("Monitored") != 0;
}

void TDeviceData::SaveToRegistry(platform::TRegistry& Registry) const {
    Registry.WriteString("Host", FHost);
    Registry.WriteString("Description", FDescription);
    Registry.WriteInteger("DeviceType", FDeviceType);
    Registry.WriteInteger("Monitored", FMonitored ? 1 : 0);
}

TDeviceData* TDeviceDataCollection::Add() {
    auto* item = new TDeviceData(this);
    Added(item);
    item->SetDeviceType(dtComputer);
    item->SetMonitored(true);
    return item;
}

void TDeviceDataCollection::SetItemName(TCollectionItem* Item) {
    Item->SetDisplayName(NewDeviceHost);
}
