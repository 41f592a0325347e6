#include "ui/SentrelListView.h"

#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "ui/Images.h"
#include "ui/TextCodec.h"

#include <QPalette>

TSentrelBaseListView::TSentrelBaseListView(QWidget* Parent) : TListView(Parent) {
    SetCheckboxes(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
    palette.setColor(QPalette::Text, palette.color(QPalette::ToolTipText));
    setPalette(palette);
    SetHotTrack(true);
    SetSortType(TSortType::stBoth);
    SetSmallImages(&images::Small);
}

void TSentrelBaseListView::ResetStatus() {
    SetSortType(TSortType::stNone);
    for (int i = 0; i < Count(); ++i) {
        Item(i)->SetSubItem(0, QString());
        Item(i)->SetSubItemImage(0, images::LampOff);
    }
    SetSortType(TSortType::stBoth);
}

TSentrelListView::TSentrelListView(QWidget* Parent) : TSentrelBaseListView(Parent) {}

TSentrelListView::~TSentrelListView() = default;

void TSentrelListView::SetScanner(TSentrelScanner* Value) {
    if (FScanner != nullptr)
        FLink.RemoveFreeNotification(FScanner);
    FScanner = Value;
    if (Value != nullptr)
        FLink.FreeNotification(Value);
}

void TSentrelListView::SetSettings(TSentrelSettings* Value) {
    if (FSettings != nullptr)
        FLink.RemoveFreeNotification(FSettings);
    FSettings = Value;
    if (Value != nullptr)
        FLink.FreeNotification(Value);
}

void TSentrelListView::TLink::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove)
        return;
    if (AComponent == FView->FScanner)
        FView->FScanner = nullptr;
    else if (AComponent == FView->FSettings)
        FView->FSettings = nullptr;
}

void TSentrelListView::Clear() {
    if (FScanner != nullptr)
        FScanner->Clear();
    ClearItems();
    SetSortType(TSortType::stBoth);
}

void TSentrelListView::Rebuild() {
    if (FScanner == nullptr || FSettings == nullptr)
        return;
    Clear();
    FScanner->LoadFromSettings(FSettings);
    BeginUpdate();
    SetSortType(TSortType::stNone);
    try {
        TScannerCollection* scanners = FScanner->Scanners();
        for (int i = 0; i < scanners->Count(); ++i) {
            TDeviceScanner* device = scanners->Items(i);
            TListItem* row = AddItem();
            row->SetCaption(ToQString(device->DisplayName()));
            row->AddSubItem(QString());
            row->AddSubItem(ToQString(device->Device->Description()));
            row->SetImageIndex(images::DeviceTypeImage(device->Device->DeviceType()));
            row->SetSubItemImage(0, images::LampOff);
            row->SetData(device);
            device->ListItem = row;
        }
    } catch (...) {
        SetSortType(TSortType::stBoth);
        EndUpdate();
        throw;
    }
    SetSortType(TSortType::stBoth);
    EndUpdate();
}
