#pragma once
// The device list: one row per configured device, with its device-type
// icon, its latest result and lamp, and its description. Each row and its
// device scanner point at each other.

#include "framework/Component.h"
#include "ui/ListView.h"

#include <array>

class QAction;
class QMenu;
class QTimer;
class TDeviceScanner;
class TSentrelScanner;
class TSentrelSettings;

// The columns a user may add after the three always shown, in their order.
enum class TOptionalColumn { Rtt, Loss, Availability, DownSince };
inline constexpr int OptionalColumnCount = 4;

// The list with the program's fixed presentation.
class TSentrelBaseListView : public TListView {
    Q_OBJECT
public:
    explicit TSentrelBaseListView(QWidget* Parent = nullptr);
    // Every row's status text becomes empty and its lamp unlit.
    void ResetStatus();
};

class TSentrelListView : public TSentrelBaseListView {
    Q_OBJECT
public:
    explicit TSentrelListView(QWidget* Parent = nullptr);
    ~TSentrelListView() override;

    TSentrelScanner* Scanner() const { return FScanner; }
    void SetScanner(TSentrelScanner* Value);
    TSentrelSettings* Settings() const { return FSettings; }
    void SetSettings(TSentrelSettings* Value);

    // Rebuilds the scanner from the settings and one row per device, and
    // shows the optional columns the settings choose.
    void Rebuild();
    // Stops and discards the device scanners, then the rows.
    void Clear();

    // The Host and Status columns as wide as what they show, never narrower
    // than they were made; done after every Rebuild.
    void FitColumns();
    // Fits the columns once, when the replies of the first round are in: the
    // first reply after this call starts the wait.
    void FitColumnsAfterReplies();

    // Adds the optional columns, hidden, after the columns there are; once,
    // before the first Rebuild.
    void AddOptionalColumns();
    // The column of an optional one; -1 before AddOptionalColumns.
    int ColumnOf(TOptionalColumn Column) const;
    bool ColumnShown(TOptionalColumn Column) const;
    // Shows or hides a column, fills it when shown and records the choice in
    // the settings (saved with them).
    void SetColumnShown(TOptionalColumn Column, bool Shown);
    // The header's context menu: the optional columns and the fitting.
    QMenu* HeaderMenu() const { return FHeaderMenu; }

    // A reply of Device arrived: its round-trip, loss and availability texts.
    // Columns not shown are skipped, their texts filled when they are shown.
    void ShowStats(const TDeviceScanner* Device);
    // Device's alert state changed: its "Down since" text.
    void ShowAlert(const TDeviceScanner* Device);
    // Every row's optional texts anew, as after a start or a stop.
    void ShowAllStats();

private:
    void FillColumn(TOptionalColumn Column);
    void SetCell(TListItem* Row, const TDeviceScanner* Device, TOptionalColumn Column);

    // Hears when the scanner or the settings go, so the references never dangle.
    class TLink : public TComponent {
    public:
        explicit TLink(TSentrelListView* View) : TComponent(nullptr), FView(View) {}

    protected:
        void Notification(TComponent* AComponent, TOperation Operation) override;

    private:
        TSentrelListView* FView;
    };

    QTimer* FFitTimer = nullptr;
    bool FFitOnReply = false;
    TSentrelScanner* FScanner = nullptr;
    TSentrelSettings* FSettings = nullptr;
    int FFirstOptional = -1;
    std::array<bool, OptionalColumnCount> FShown{};
    std::array<QAction*, OptionalColumnCount> FColumnActions{};
    QMenu* FHeaderMenu = nullptr;
    TLink FLink{this};
};
