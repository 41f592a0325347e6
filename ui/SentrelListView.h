#pragma once
// The device list: one row per configured device, with its device-type
// icon, its latest result and lamp, and its description. Each row and its
// device scanner point at each other.

#include "framework/Component.h"
#include "ui/ListView.h"

class TSentrelScanner;
class TSentrelSettings;

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

    // Rebuilds the scanner from the settings and one row per device.
    void Rebuild();
    // Stops and discards the device scanners, then the rows.
    void Clear();

private:
    // Hears when the scanner or the settings go, so the references never dangle.
    class TLink : public TComponent {
    public:
        explicit TLink(TSentrelListView* View) : TComponent(nullptr), FView(View) {}

    protected:
        void Notification(TComponent* AComponent, TOperation Operation) override;

    private:
        TSentrelListView* FView;
    };

    TSentrelScanner* FScanner = nullptr;
    TSentrelSettings* FSettings = nullptr;
    TLink FLink{this};
};
