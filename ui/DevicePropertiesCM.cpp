#include "ui/DevicePropertiesCM.h"

#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/TextCodec.h"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <memory>

namespace {

// The radio group's items, in the order of the device type ordinals.
const char* const DeviceTypeNames[DeviceTypeCount] = {"Computer", "Server", "Printer",
                                                      "Router",   "Bridge", "Interface"};
constexpr int DeviceTypeColumns = 3;

} // namespace

TDevicePropertiesForm::TDevicePropertiesForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Device Properties"));
    setSizeGripEnabled(true);

    auto* LBHost = new QLabel(QStringLiteral("&Hostname or IP Address"), this);
    Host = new QLineEdit(this);
    LBHost->setBuddy(Host);
    Monitored = new QCheckBox(QStringLiteral("&Monitor this device"), this);
    Monitored->setChecked(true);
    auto* LBDeviceType = new QLabel(QStringLiteral("&Description"), this);
    Description = new QLineEdit(this);
    LBDeviceType->setBuddy(Description);

    auto* group = new QGroupBox(QStringLiteral("Device &type"), this);
    auto* items = new QGridLayout(group);
    DeviceType = new QButtonGroup(this);
    // Filled a column at a time, as a radio group with columns lays them out.
    const int rows = (DeviceTypeCount + DeviceTypeColumns - 1) / DeviceTypeColumns;
    for (int i = 0; i < DeviceTypeCount; ++i) {
        auto* item = new QRadioButton(QString::fromUtf8(DeviceTypeNames[i]), group);
        DeviceType->addButton(item, i);
        items->addWidget(item, i % rows, i / rows);
    }
    DeviceType->button(dtComputer)->setChecked(true);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    HelpBtn = new QPushButton(QStringLiteral("&Help"), this);
    for (QPushButton* b : {OKBtn, CancelBtn, HelpBtn})
        b->setMinimumSize(75, 25);
    CancelBtn->setAutoDefault(false);
    HelpBtn->setAutoDefault(false);

    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(12);
    fields->setVerticalSpacing(2);
    fields->addWidget(LBHost, 0, 0);
    fields->addWidget(Host, 1, 0);
    fields->addWidget(Monitored, 1, 1);
    fields->setRowMinimumHeight(2, 6);
    fields->addWidget(LBDeviceType, 3, 0, 1, 2);
    fields->addWidget(Description, 4, 0, 1, 2);
    fields->setColumnStretch(0, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    buttons->addWidget(HelpBtn);
    buttons->addStretch(1);
    buttons->addWidget(CancelBtn);
    buttons->addWidget(OKBtn);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(10);
    layout->addLayout(fields);
    layout->addWidget(group);
    layout->addStretch(1);
    layout->addLayout(buttons);
    resize(361, 243);

    setTabOrder(Host, Monitored);
    setTabOrder(Monitored, Description);
    setTabOrder(Description, DeviceType->button(0));
    setTabOrder(DeviceType->button(0), OKBtn);
    setTabOrder(OKBtn, CancelBtn);
    setTabOrder(CancelBtn, HelpBtn);
    Host->setFocus();

    connect(OKBtn, &QPushButton::clicked, this, [this] { Guarded([this] { OKBtnClick(); }); });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(HelpBtn, &QPushButton::clicked, this, [this] { Guarded([this] { HelpBtnClick(); }); });
}

void TDevicePropertiesForm::OKBtnClick() {
    // Only emptiness is refused: what a host may look like is the probe's
    // business.
    if (Host->text().isEmpty()) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                        QStringLiteral("Host or IP is required"), QMessageBox::Ok, this);
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        return;
    }
    accept();
}

void TDevicePropertiesForm::HelpBtnClick() {
    ApplicationHelpContext(FNewDevice ? 300 : 310);
}

bool TDevicePropertiesDlg::Execute(const QString& ACaption, const QString& AHost,
                                   const QString& ADescription, bool AMonitored,
                                   TDeviceType ADeviceType, bool ANewDevice) {
    NewDevice = ANewDevice;
    Caption = ACaption;
    Host = AHost;
    Description = ADescription;
    DeviceType = ADeviceType;
    Monitored = AMonitored;
    return Execute();
}

bool TDevicePropertiesDlg::Execute() {
    auto form = std::make_unique<TDevicePropertiesForm>(ParentWindow);
    if (ParentWindow != nullptr)
        form->setWindowModality(Qt::WindowModal);
    FForm = form.get();
    struct Cleanup {
        TDevicePropertiesForm*& Form;
        ~Cleanup() { Form = nullptr; }
    } cleanup{FForm};

    form->FNewDevice = NewDevice;
    SetHelpContext(form.get(), NewDevice ? 300 : 310);
    form->Host->setText(Host);
    form->setWindowTitle(Caption);
    form->Description->setText(Description);
    // A type outside the known ones leaves every item clear, and stays as it
    // was unless the user picks one.
    if (QAbstractButton* item = form->DeviceType->button(static_cast<int>(DeviceType)))
        item->setChecked(true);
    else if (QAbstractButton* checked = form->DeviceType->checkedButton()) {
        form->DeviceType->setExclusive(false);
        checked->setChecked(false);
        form->DeviceType->setExclusive(true);
    }
    form->Monitored->setChecked(Monitored);

    if (form->exec() != QDialog::Accepted)
        return false;

    const QString host = form->Host->text();
    const QString description = form->Description->text();
    const int picked = form->DeviceType->checkedId();
    const TDeviceType type = picked >= 0 ? static_cast<TDeviceType>(picked) : DeviceType;
    const bool monitored = form->Monitored->isChecked();
    // Exact comparisons: a change of letter case is a change.
    const bool changed =
        host != Host || description != Description || type != DeviceType || monitored != Monitored;
    if (!changed)
        return false;
    Host = host;
    Description = description;
    DeviceType = type;
    Monitored = monitored;
    return true;
}

void TDevicePropertiesDlg::StoreTo(TDeviceData& Device) const {
    Device.SetHost(ToBytes(Host));
    Device.SetDescription(ToBytes(Description));
    Device.SetDeviceType(DeviceType);
    Device.SetMonitored(Monitored);
}
