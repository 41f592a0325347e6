#pragma once
// The options dialog, in two modes: administration mode shows every page,
// the permissions included; user mode hides the permissions page and the
// pages the permissions do not allow. The alerts page shows in both modes;
// its command and its permission only in administration mode. It edits the
// main window's settings in place and saves them on OK.

#include "ui/DevicePropertiesCM.h"

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QWidget;
class TDeviceData;
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
    // Runs the import dialog (on InitialText, when the device dialog handed
    // a list over) and adds what it confirms to the settings' devices.
    void ImportDeviceBtnClick(const QString& InitialText = {});
    void ExportDeviceBtnClick();
    void DeviceListChange(TListItem* Item, TItemChange Change);
    int DeviceListCompare(TListItem* Item1, TListItem* Item2);

    // The help context of the page on top (200 when none of the six).
    int ActivePageHelpContext() const;
    // The pages shown, in order.
    QList<QWidget*> VisiblePages() const;

    QTabWidget* PageControl = nullptr;
    QWidget* GeneralTab = nullptr;
    QWidget* EchoTab = nullptr;
    QWidget* DevicesTab = nullptr;
    QWidget* LogSettingsTab = nullptr;
    QWidget* AlertsTab = nullptr;
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
    QComboBox* AddressPreference = nullptr; // index: the stored Prefer value
    QSpinBox* ResolveMinutes = nullptr;     // 0: only after failures
    TSpinEdit* SystemLogSize = nullptr;
    TSpinEdit* DeviceLogSize = nullptr;
    TListView* DeviceList = nullptr;
    QPushButton* AddDeviceBtn = nullptr;
    QPushButton* EditDeviceBtn = nullptr;
    QPushButton* RemoveDeviceBtn = nullptr;
    QPushButton* ImportDeviceBtn = nullptr;
    QPushButton* ExportDeviceBtn = nullptr;
    QCheckBox* AllowEchoChange = nullptr;
    QCheckBox* AllowDeviceChanges = nullptr;
    QCheckBox* AllowChangeLogSize = nullptr;
    QCheckBox* AllowClearLog = nullptr;
    TSpinEdit* DownAfter = nullptr;
    TSpinEdit* UpAfter = nullptr;
    QCheckBox* Notify = nullptr;
    QCheckBox* Sound = nullptr;
    QCheckBox* ProblemsFirst = nullptr;
    QLabel* AlertCommandLabel = nullptr;
    QLineEdit* AlertCommand = nullptr;      // administration mode only
    QCheckBox* AllowAlertChanges = nullptr; // administration mode only
    QLabel* AlertsLockedNote = nullptr;     // user mode, while the alerts may not be changed
    QWidget* AlertValues = nullptr;         // the controls above the command, locked together
    QLabel* MetricsAddressLabel = nullptr;
    QLineEdit* MetricsAddress = nullptr; // administration mode only; empty serves none
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

    TSentrelSettings* FSettings = nullptr;
    bool FUserMode = false;
    TDevicePropertiesDlg PropertiesDlg;

    // Checks the command on OK in administration mode: an empty answer takes
    // it, any other text is the error shown, and the dialog stays open on
    // the command. Unset, every command is taken.
    std::function<QString(const QString& Command)> CommandCheck;

    // Test hooks: answer the removal question and take the command's error
    // instead of a message box.
    static void SetConfirmHook(std::function<bool(const QString& Question)> Hook);
    static void SetWarningHook(std::function<void(const QString& Message)> Hook);

protected:
    void showEvent(QShowEvent* Event) override;

private:
    QWidget* CreateGeneralTab();
    QWidget* CreateEchoTab();
    QWidget* CreateDevicesTab();
    QWidget* CreateLogSettingsTab();
    QWidget* CreateAlertsTab();
    QWidget* CreatePermissionsTab();
    void ShowPages(const QList<QWidget*>& Pages);
    TListItem* SelectedRow() const;
    // Whether Host is a device's host, letter case aside; Except is left out.
    bool IsListedHost(const QString& Host, const TDeviceData* Except) const;
    // Whether this mode may change the alert values (administration mode, or
    // a user the administrator allows).
    bool AlertsEditable() const;
    // Asks CommandCheck about the command; false after showing its error.
    bool AlertCommandAccepted();
    // The metrics address is empty or an address and port; false after
    // showing why it is not.
    bool MetricsAddressAccepted();
    // Shows Problem over the alerts page with Field focused.
    void RefuseOnAlertsTab(QLineEdit* Field, const QString& Title, const QString& Problem);

    // What the administrator's policy locks is disabled, with a note on its
    // page; the policy's devices say so in their tooltip.
    void ApplyLocks();
    // The note on Page, made the first time it is asked for.
    QLabel* LockNote(QWidget* Page);
    // Whether the selected device is one of the policy's, not to be edited
    // or removed.
    bool MandatorySelected() const;
    QList<QPair<QWidget*, QLabel*>> FLockNotes;
};
