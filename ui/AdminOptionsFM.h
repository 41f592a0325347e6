#pragma once
// The options dialog, in two modes: administration mode shows every page,
// the permissions included; user mode hides the permissions page and the
// pages the permissions do not allow. It edits the main window's settings
// in place and saves them on OK.

#include "ui/DevicePropertiesCM.h"

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QWidget;
class TListItem;
class TListView;
class TSentrelSettings;
class TSpinEdit;
class TURLLabel;
enum class TItemChange;

class TOptionsForm : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsForm(QWidget* Parent = nullptr);
    ~TOptionsForm() override;

    void PrepareAdminMode();
    void PrepareUserMode();
    // Binds the settings, loads every control from them and shows the pages
    // the mode and the permissions allow.
    void EditSettings(TSentrelSettings* Settings);

    void LoadControls();
    void StoreControls();
    void FillDeviceList();

    // Handlers.
    void AppEventsIdle();
    void OKBtnClick();
    void CancelBtnClick();
    void HelpBtnClick();
    void AddDeviceBtnClick();
    void EditDeviceBtnClick();
    void RemoveDeviceBtnClick();
    void DeviceListChange(TListItem* Item, TItemChange Change);
    int DeviceListCompare(TListItem* Item1, TListItem* Item2);

    // The help context of the page on top (200 when none of the five).
    int ActivePageHelpContext() const;
    // The pages shown, in order.
    QList<QWidget*> VisiblePages() const;

    QTabWidget* PageControl = nullptr;
    QWidget* GeneralTab = nullptr;
    QWidget* EchoTab = nullptr;
    QWidget* DevicesTab = nullptr;
    QWidget* LogSettingsTab = nullptr;
    QWidget* PermissionsTab = nullptr;
    TURLLabel* URLLabel1 = nullptr;
    TURLLabel* URLLabel2 = nullptr;
    QCheckBox* AutoStart = nullptr;
    QCheckBox* ShowWindow = nullptr;
    QCheckBox* AutoScan = nullptr;
    TSpinEdit* ECHORequestSize = nullptr;
    TSpinEdit* IPTimeToLive = nullptr;
    TSpinEdit* ECHOTimeout = nullptr;
    TSpinEdit* PingInterval = nullptr;
    TSpinEdit* SystemLogSize = nullptr;
    TSpinEdit* DeviceLogSize = nullptr;
    TListView* DeviceList = nullptr;
    QPushButton* AddDeviceBtn = nullptr;
    QPushButton* EditDeviceBtn = nullptr;
    QPushButton* RemoveDeviceBtn = nullptr;
    QCheckBox* AllowEchoChange = nullptr;
    QCheckBox* AllowDeviceChanges = nullptr;
    QCheckBox* AllowChangeLogSize = nullptr;
    QCheckBox* AllowClearLog = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

    TSentrelSettings* FSettings = nullptr;
    bool FUserMode = false;
    TDevicePropertiesDlg PropertiesDlg;

    // Test hook: answers the removal question instead of a message box.
    static void SetConfirmHook(std::function<bool(const QString& Question)> Hook);

protected:
    void showEvent(QShowEvent* Event) override;

private:
    QWidget* CreateGeneralTab();
    QWidget* CreateEchoTab();
    QWidget* CreateDevicesTab();
    QWidget* CreateLogSettingsTab();
    QWidget* CreatePermissionsTab();
    void ShowPages(const QList<QWidget*>& Pages);
    TListItem* SelectedRow() const;
};
