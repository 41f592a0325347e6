#pragma once
// The dialog in which one device is entered or edited: a component that
// holds the values and runs a new window for every showing.

#include "core/DeviceData.h"

#include <QDialog>
#include <QString>

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

    void OKBtnClick();
    void HelpBtnClick();
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

    // The window of the current run, while it runs (tests drive it).
    TDevicePropertiesForm* Form() const { return FForm; }

private:
    TDevicePropertiesForm* FForm = nullptr;
};
