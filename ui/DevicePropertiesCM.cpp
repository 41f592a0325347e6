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

#include <algorithm>
#include <memory>

namespace {

// The radio group's items, in the order of the device type ordinals.
const char* const DeviceTypeNames[DeviceTypeCount] = {"Computer", "Server", "Printer",
                                                      "Router",   "Bridge", "Interface"};
constexpr int DeviceTypeColumns = 3;

// What separates the hosts of a list typed or pasted into the host field.
// A line edit keeps the line breaks of a paste in its text (it only draws
// them as blanks), so they are looked for here too.
bool IsListSeparator(QChar C) {
    switch (C.unicode()) {
    case ' ':
    case '\t':
    case ',':
    case ';':
    case '\n':
    case '\r':
    case QChar::LineSeparator:
    case QChar::ParagraphSeparator:
        return true;
    default:
        return false;
    }
}

// A text in quotation marks for a question about it: on one line, and cut
// short when long.
QString Quoted(const QString& Text) {
    constexpr int Longest = 80;
    QString shown = Text.size() > Longest ? Text.left(Longest) + QChar(0x2026) : Text;
    for (QChar& c : shown)
        if (c.unicode() < 0x20 || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    return QChar(0x201C) + shown + QChar(0x201D);
}

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
    if (FNewDevice && !HostTakenAsOne())
        return;
    if (!ListedHostAccepted())
        return;
    accept();
}

QStringList TDevicePropertiesForm::ListedHosts(const QString& Text) {
    QStringList hosts;
    QString host;
    for (const QChar c : Text) {
        if (IsListSeparator(c)) {
            if (!host.isEmpty())
                hosts << host;
            host.clear();
        } else {
            host += c;
        }
    }
    if (!host.isEmpty())
        hosts << host;
    return hosts;
}

bool TDevicePropertiesForm::HostTakenAsOne() {
    const QString text = Host->text().trimmed();
    const QStringList hosts = ListedHosts(text);
    if (hosts.isEmpty() || std::none_of(text.begin(), text.end(), IsListSeparator))
        return true;
    const QString question =
        Quoted(text) +
        QStringLiteral(" looks like a list of %1 %2. Import %3 as a list?")
            .arg(hosts.size())
            .arg(hosts.size() == 1 ? QStringLiteral("host") : QStringLiteral("hosts"))
            .arg(hosts.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), question,
                    QMessageBox::NoButton, this);
    box.setWindowModality(Qt::WindowModal);
    QPushButton* asList = box.addButton(QStringLiteral("Import as &List"), QMessageBox::AcceptRole);
    QPushButton* asOne = box.addButton(QStringLiteral("Add as &One Host"), QMessageBox::ActionRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(asList);
    box.exec();
    if (box.clickedButton() == asOne)
        return true;
    if (box.clickedButton() == asList) {
        // Every kind of line break as the import reads one.
        QString list = text;
        list.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        for (QChar& c : list)
            if (c == QLatin1Char('\r') || c == QChar::LineSeparator ||
                c == QChar::ParagraphSeparator)
                c = QLatin1Char('\n');
        FImportText = list;
        reject();
        return false;
    }
    Host->setFocus();
    return false;
}

bool TDevicePropertiesForm::ListedHostAccepted() {
    const QString host = Host->text();
    if (!FIsListedHost || (!FNewDevice && host == FStartHost) || !FIsListedHost(host))
        return true;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"),
                    Quoted(host) + QStringLiteral(" is already in the device list. Add it anyway?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowModality(Qt::WindowModal);
    if (box.exec() == QMessageBox::Yes)
        return true;
    Host->setFocus();
    Host->selectAll();
    return false;
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

    ImportText.clear();
    form->FNewDevice = NewDevice;
    form->FStartHost = Host;
    form->FIsListedHost = IsListedHost;
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

    if (form->exec() != QDialog::Accepted) {
        ImportText = form->FImportText;
        return false;
    }

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
