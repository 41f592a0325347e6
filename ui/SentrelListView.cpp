#include "ui/SentrelListView.h"

#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "ui/Images.h"
#include "ui/TextCodec.h"

#include <QHeaderView>
#include <QMenu>
#include <QPalette>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

struct TColumnInfo {
    const char* Caption;
    int Width;
    bool TColumnSettings::*Shown;
};

const std::array<TColumnInfo, OptionalColumnCount> OptionalColumns = {{
    {"RTT", 55, &TColumnSettings::Rtt},
    {"Loss %", 55, &TColumnSettings::Loss},
    {"Availability", 75, &TColumnSettings::Availability},
    {"Down since", 125, &TColumnSettings::DownSince},
}};

size_t At(TOptionalColumn Column) {
    return static_cast<size_t>(Column);
}

// The latest probe's round trip; empty when it failed.
QString RttText(const TDeviceStats& Stats) {
    const std::optional<uint32_t> rtt = Stats.LastRtt();
    if (!rtt || !Stats.LastSucceeded())
        return {};
    if (*rtt == 0)
        return QStringLiteral("<1 ms");
    return QString::number(*rtt) + QStringLiteral(" ms");
}

QString LossText(const TDeviceStats& Stats) {
    const std::optional<double> loss = Stats.RecentLoss();
    if (!loss)
        return {};
    return QString::number(std::lround(*loss)) + QStringLiteral(" %");
}

// Cut, not rounded, to a tenth: a device that missed once never shows 100 %.
QString AvailabilityText(const TDeviceStats& Stats) {
    const std::optional<double> share = Stats.Availability(Stats.Latest());
    if (!share)
        return {};
    if (*share >= 100.0)
        return QStringLiteral("100 %");
    return QString::number(std::floor(*share * 10.0 + 1e-9) / 10.0, 'f', 1) + QStringLiteral(" %");
}

QString DownSinceText(const TDeviceScanner& Device) {
    if (Device.Alert().State() != TAlertState::Down)
        return {};
    return ToQString(FormatDateTime(Device.Alert().Since()));
}

} // namespace

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

TSentrelListView::TSentrelListView(QWidget* Parent)
    : TSentrelBaseListView(Parent), FFitTimer(new QTimer(this)) {
    FFitTimer->setSingleShot(true);
    connect(FFitTimer, &QTimer::timeout, this, [this] { FitColumns(); });
}

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
            if (FFirstOptional >= 0)
                for (int c = 0; c < OptionalColumnCount; ++c)
                    row->AddSubItem(QString());
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
    if (FFirstOptional >= 0)
        for (int c = 0; c < OptionalColumnCount; ++c) {
            const auto column = static_cast<TOptionalColumn>(c);
            SetColumnShown(column, FSettings->Columns.*OptionalColumns[At(column)].Shown);
        }
    FitColumns();
}

void TSentrelListView::FitColumns() {
    FitColumnsAutomatically({0, 1});
}

void TSentrelListView::FitColumnsAfterReplies() {
    FFitOnReply = true;
    FFitTimer->stop();
}

void TSentrelListView::AddOptionalColumns() {
    if (FFirstOptional >= 0)
        return;
    FFirstOptional = ColumnCount();
    FHeaderMenu = new QMenu(this);
    for (int c = 0; c < OptionalColumnCount; ++c) {
        const auto column = static_cast<TOptionalColumn>(c);
        const TColumnInfo& info = OptionalColumns[At(column)];
        AddColumn(QString::fromUtf8(info.Caption), info.Width);
        setColumnHidden(ColumnOf(column), true);
        QAction* action = FHeaderMenu->addAction(QString::fromUtf8(info.Caption));
        action->setCheckable(true);
        connect(action, &QAction::triggered, this,
                [this, column](bool checked) { SetColumnShown(column, checked); });
        FColumnActions[At(column)] = action;
    }
    FHeaderMenu->addSeparator();
    connect(FHeaderMenu->addAction(QStringLiteral("&Fit columns to contents")), &QAction::triggered,
            this, [this] { FitColumnsToContents(); });
    header()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header(), &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { FHeaderMenu->popup(header()->mapToGlobal(at)); });
}

int TSentrelListView::ColumnOf(TOptionalColumn Column) const {
    return FFirstOptional < 0 ? -1 : FFirstOptional + static_cast<int>(Column);
}

bool TSentrelListView::ColumnShown(TOptionalColumn Column) const {
    return FShown[At(Column)];
}

void TSentrelListView::SetColumnShown(TOptionalColumn Column, bool Shown) {
    if (FFirstOptional < 0)
        return;
    if (FSettings != nullptr)
        FSettings->Columns.*OptionalColumns[At(Column)].Shown = Shown;
    FColumnActions[At(Column)]->setChecked(Shown);
    if (FShown[At(Column)] == Shown)
        return;
    FShown[At(Column)] = Shown;
    // Hidden columns are not kept up to date: a shown one starts current.
    if (Shown)
        FillColumn(Column);
    setColumnHidden(ColumnOf(Column), !Shown);
    Refilter(); // the filter reads the columns shown
}

void TSentrelListView::SetCell(TListItem* Row, const TDeviceScanner* Device,
                               TOptionalColumn Column) {
    QString text;
    switch (Column) {
    case TOptionalColumn::Rtt:
        text = RttText(Device->Stats());
        break;
    case TOptionalColumn::Loss:
        text = LossText(Device->Stats());
        break;
    case TOptionalColumn::Availability:
        text = AvailabilityText(Device->Stats());
        break;
    case TOptionalColumn::DownSince:
        text = DownSinceText(*Device);
        break;
    }
    // The order never reads these texts: no row moves for them.
    Row->SetSubItem(ColumnOf(Column) - 1, text, false);
}

void TSentrelListView::FillColumn(TOptionalColumn Column) {
    for (int i = 0; i < Count(); ++i)
        if (const auto* device = static_cast<const TDeviceScanner*>(Item(i)->Data()))
            SetCell(Item(i), device, Column);
}

void TSentrelListView::ShowStats(const TDeviceScanner* Device) {
    if (FFitOnReply) {
        // Once the devices that answer have, and those that do not have
        // timed out: one fit for the whole round, none per reply.
        FFitOnReply = false;
        const int timeout = FSettings != nullptr ? FSettings->EchoTimeOut : 0;
        FFitTimer->start(std::clamp(timeout, 1000, 10000) + 250);
    }
    auto* row = static_cast<TListItem*>(Device->ListItem);
    if (row == nullptr)
        return;
    for (const TOptionalColumn column :
         {TOptionalColumn::Rtt, TOptionalColumn::Loss, TOptionalColumn::Availability})
        if (FShown[At(column)])
            SetCell(row, Device, column);
}

void TSentrelListView::ShowAlert(const TDeviceScanner* Device) {
    auto* row = static_cast<TListItem*>(Device->ListItem);
    if (row != nullptr && FShown[At(TOptionalColumn::DownSince)])
        SetCell(row, Device, TOptionalColumn::DownSince);
}

void TSentrelListView::ShowAllStats() {
    for (int c = 0; c < OptionalColumnCount; ++c)
        if (FShown[static_cast<size_t>(c)])
            FillColumn(static_cast<TOptionalColumn>(c));
}
