#pragma once
// The dialog in which one device is entered or edited: a component that
// holds the values and runs a new window for every showing.

#include "core/DeviceData.h"

#include <QDialog>
#include <QString>

#include <functional>

class QCheckBox;
class QLineEdit;
class QRadioButton;
class QButtonGroup;
class QPushButton;

class TDevicePropertiesForm : public QDialog {
    Q_OBJECT
public:
    explicit TDevicePropertiesForm(QWidget* Parent = nullptr);

    QLineEdit* Host = nullptr;
    QCheckBox* Monitored = nullptr;
    QLineEdit* Description = nullptr;
    QButtonGroup* DeviceType = nullptr; // ids 0..5: the device type ordinals
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;
    bool FNewDevice = false;
    // The host the run began with: only a changed host is looked up.
    QString FStartHost;
    // Whether a host is in the device list already; unset, none is.
    std::function<bool(const QString& Host)> FIsListedHost;
    // Set when the host text was taken as a list to import; the run then
    // ends without a device.
    QString FImportText;

    void OKBtnClick();
    void HelpBtnClick();

    // The hosts a text holds when taken as a list: its parts between blanks,
    // tabs, commas, semicolons and line breaks.
    static QStringList ListedHosts(const QString& Text);

private:
    // False when the user stays in the field.
    bool HostTakenAsOne();
    bool ListedHostAccepted();
};

class TDevicePropertiesDlg {
public:
    // Stores the arguments, then runs the window; true only when OK was
    // pressed and at least one value differs from what was put in.
    bool Execute(const QString& Caption, const QString& Host, const QString& Description,
                 bool Monitored, TDeviceType DeviceType, bool NewDevice);
    bool Execute();
    // Puts the values (as the last run left them) into Device.
    void StoreTo(TDeviceData& Device) const;

    QString Caption;
    QString Host;
    QString Description;
    TDeviceType DeviceType = dtComputer;
    bool Monitored = true;
    bool NewDevice = false;
    // The window the dialog is opened from; the dialog blocks only that one
    // (and the windows it belongs to), so the tray menu stays usable.
    QWidget* ParentWindow = nullptr;
    // Whether a host is in the device list already (the caller leaves out
    // the device being edited); asked on OK for a new host or a changed one.
    std::function<bool(const QString& Host)> IsListedHost;
    // After a run that returned false: the host text the user chose to
    // import as a list instead, else empty.
    QString ImportText;

    // The window of the current run, while it runs (tests drive it).
    TDevicePropertiesForm* Form() const { return FForm; }

private:
    TDevicePropertiesForm* FForm = nullptr;
};
