#include "ui/AdminOptionsFM.h"

#include "core/SentrelSettingsCM.h"
#include "core/import/DeviceImport.h"
#include "core/metrics/MetricsServer.h"
#include "ui/AppHelp.h"
#include "ui/DialogPlacement.h"
#include "ui/ErrorReport.h"
#include "ui/Images.h"
#include "ui/ImportDialog.h"
#include "ui/ListView.h"
#include "ui/SpinEdit.h"
#include "ui/TextCodec.h"
#include "ui/URLLabel.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

namespace {

std::function<bool(const QString&)> gConfirmHook;
std::function<void(const QString&)> gWarningHook;

QString Text(const char* text) {
    return QString::fromUtf8(text);
}

// A labelled numeric field: the label's accelerator moves the focus to it.
TSpinEdit* AddField(QFormLayout* form, const char* label, const char* tooltip, int min, int max) {
    auto* field = new TSpinEdit;
    field->SetBounds(min, max);
    field->setMinimumWidth(90);
    if (tooltip != nullptr)
        field->setToolTip(Text(tooltip));
    auto* caption = new QLabel(Text(label));
    caption->setBuddy(field);
    form->addRow(caption, field);
    return field;
}

// Two hosts the same but for the letter case of ASCII letters (host names
// know no other case).
bool SameTextNoCase(const std::string& A, const std::string& B) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(),
                                              [&](char a, char b) { return lower(a) == lower(b); });
}

const char* const WebAddress = "https://www.kestrava.example/sentrel/";
const char* const SupportAddress = "support@kestrava.example";

} // namespace

void TOptionsForm::SetConfirmHook(std::function<bool(const QString&)> Hook) {
    gConfirmHook = std::move(Hook);
}

void TOptionsForm::SetWarningHook(std::function<void(const QString&)> Hook) {
    gWarningHook = std::move(Hook);
}

TOptionsForm::TOptionsForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Sentrel Options"));
    PropertiesDlg.ParentWindow = this;
    SetHelpContext(this, 200);

    PageControl = new QTabWidget(this);
    PageControl->setDocumentMode(true); // flat, button-like tabs
    GeneralTab = CreateGeneralTab();
    EchoTab = CreateEchoTab();
    DevicesTab = CreateDevicesTab();
    LogSettingsTab = CreateLogSettingsTab();
    AlertsTab = CreateAlertsTab();
    PermissionsTab = CreatePermissionsTab();
    SetHelpContext(GeneralTab, 210);
    SetHelpContext(EchoTab, 220);
    SetHelpContext(DevicesTab, 230);
    SetHelpContext(LogSettingsTab, 240);
    SetHelpContext(AlertsTab, 250);
    SetHelpContext(PermissionsTab, 290);
    ShowPages({GeneralTab, EchoTab, DevicesTab, LogSettingsTab, AlertsTab, PermissionsTab});

    HelpBtn = new QPushButton(QStringLiteral("&Help"));
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    OKBtn = new QPushButton(QStringLiteral("&OK"));
    OKBtn->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(HelpBtn);
    buttons->addStretch();
    buttons->addWidget(CancelBtn);
    buttons->addWidget(OKBtn);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 8);
    layout->addWidget(PageControl, 1);
    layout->addLayout(buttons);
    // The design size, widened where this desktop's font needs more room
    // for the six tabs side by side.
    PageControl->tabBar()->setUsesScrollButtons(false);
    const int tabsWidth = PageControl->tabBar()->sizeHint().width() + 12 + 8;
    setFixedSize(std::max(339, tabsWidth), 316);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
    connect(HelpBtn, &QPushButton::clicked, this, [this] { Guarded([this] { HelpBtnClick(); }); });
    connect(AddDeviceBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { AddDeviceBtnClick(); }); });
    connect(EditDeviceBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { EditDeviceBtnClick(); }); });
    connect(RemoveDeviceBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { RemoveDeviceBtnClick(); }); });
    connect(ImportDeviceBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { ImportDeviceBtnClick(); }); });
    connect(ExportDeviceBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { ExportDeviceBtnClick(); }); });
    connect(DeviceList, &TListView::ItemDoubleClicked, this, [this](TListItem* item) {
        if (item != nullptr)
            Guarded([this] { EditDeviceBtnClick(); });
    });
    // Edit and Remove follow the selection whenever the application is idle.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (isVisible())
                AppEventsIdle();
        });
}

TOptionsForm::~TOptionsForm() = default;

QWidget* TOptionsForm::CreateGeneralTab() {
    auto* page = new QWidget;
    auto* about = new QFrame;
    about->setFrameStyle(QFrame::Panel | QFrame::Raised);
    about->setLineWidth(2);
    auto* icon = new QLabel;
    icon->setPixmap(images::ProgramIcon().pixmap(48, 48).scaled(33, 33, Qt::IgnoreAspectRatio,
                                                                Qt::SmoothTransformation));
    icon->setFixedSize(33, 33);
    auto* product = new QLabel(QStringLiteral("Kestrava Sentrel 1.0b"));
    QFont bold = product->font();
    bold.setBold(true);
    product->setFont(bold);
    auto* copyright =
        new QLabel(QStringLiteral("Copyright \u00A9 2026 Kestrava. All rights reserved."));
    URLLabel1 = new TURLLabel;
    URLLabel1->setText(Text(WebAddress));
    URLLabel1->SetURL(Text(WebAddress));
    URLLabel2 = new TURLLabel;
    URLLabel2->setText(Text(SupportAddress));
    URLLabel2->SetURL(QStringLiteral("mailto:") + Text(SupportAddress));
    for (TURLLabel* link : {URLLabel1, URLLabel2}) {
        TCustomFont font = link->LabelFont();
        font.Color = QColor(0, 0, 128); // navy
        font.Style = TCustomFont::fsUnderline;
        font.Size = 8;
        link->SetLabelFont(font);
        TCustomFont& hover = link->MouseOverFont();
        hover = link->LabelFont();
        hover.Color = QColor(0, 0, 255);
        hover.Height = -11;
        hover.Size = 8;
        hover.Style = TCustomFont::fsUnderline;
    }
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(product);
    texts->addWidget(copyright);
    texts->addWidget(URLLabel1);
    texts->addWidget(URLLabel2);
    auto* aboutLayout = new QHBoxLayout(about);
    aboutLayout->addWidget(icon, 0, Qt::AlignTop);
    aboutLayout->addSpacing(6);
    aboutLayout->addLayout(texts, 1);

    AutoStart = new QCheckBox(QStringLiteral("Start Sentrel when Windows starts"));
    ShowWindow = new QCheckBox(QStringLiteral("Show Window on Startup"));
    AutoScan = new QCheckBox(QStringLiteral("Start Scanning on Startup"));
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(about);
    layout->addSpacing(6);
    layout->addWidget(AutoStart);
    layout->addWidget(ShowWindow);
    layout->addWidget(AutoScan);
    layout->addStretch();
    return page;
}

QWidget* TOptionsForm::CreateEchoTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    ECHORequestSize =
        AddField(form, "ECHO Request &Size", "Size of Ping Request\n(Bytes)", 1, 4096);
    IPTimeToLive = AddField(form, "IP Time to &Live", "Time to Live for Ping Packet", 1, 255);
    ECHOTimeout = AddField(form, "ECHO &Timeout",
                           "How long to wait for a reply from the \ndevice being monitored "
                           "(milliseconds)",
                           1, 30000);
    PingInterval =
        AddField(form, "Ping &Interval", "How often checks should occur\n(seconds)", 1, 1000);
    // In the order of the stored values 0, 1, 2.
    AddressPreference = new QComboBox;
    AddressPreference->addItems(
        {QStringLiteral("IPv4 first"), QStringLiteral("IPv6 first"), QStringLiteral("IPv4 only")});
    AddressPreference->setToolTip(
        QStringLiteral("Which address of a name that has both kinds is probed;\n"
                       "the other kind is used when the name has none of the first"));
    auto* preferenceCaption = new QLabel(QStringLiteral("&Addresses:"));
    preferenceCaption->setBuddy(AddressPreference);
    form->addRow(preferenceCaption, AddressPreference);
    ResolveMinutes = new QSpinBox;
    ResolveMinutes->setRange(0, MaxResolveMinutes);
    ResolveMinutes->setSpecialValueText(QStringLiteral("only after failures"));
    ResolveMinutes->setToolTip(
        QStringLiteral("Named devices are also looked up again after 3 failed probes in a row"));
    auto* resolveCaption = new QLabel(QStringLiteral("Look names &up again every"));
    resolveCaption->setBuddy(ResolveMinutes);
    auto* resolveRow = new QHBoxLayout;
    resolveRow->addWidget(ResolveMinutes);
    resolveRow->addWidget(new QLabel(QStringLiteral("minutes")));
    form->addRow(resolveCaption, resolveRow);
    return page;
}

QWidget* TOptionsForm::CreateDevicesTab() {
    auto* page = new QWidget;
    DeviceList = new TListView;
    DeviceList->SetCheckboxes(true);
    DeviceList->SetHotTrack(true);
    // Wide enough for the check box and the icon beside a dotted address.
    DeviceList->AddColumn(QStringLiteral("Host"), 140);
    DeviceList->AddColumn(QStringLiteral("Description"), 100);
    DeviceList->SetSmallImages(&images::Small);
    DeviceList->OnCompare = [this](TListItem* a, TListItem* b) { return DeviceListCompare(a, b); };
    DeviceList->OnChange = [this](TListItem* item, TItemChange change) {
        DeviceListChange(item, change);
    };
    AddDeviceBtn = new QPushButton(QStringLiteral("&Add"));
    EditDeviceBtn = new QPushButton(QStringLiteral("&Edit"));
    RemoveDeviceBtn = new QPushButton(QStringLiteral("&Remove"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(AddDeviceBtn);
    buttons->addWidget(EditDeviceBtn);
    buttons->addWidget(RemoveDeviceBtn);
    // Many devices at once, on a row of their own: five buttons do not fit
    // the dialog's width side by side.
    ImportDeviceBtn = new QPushButton(QStringLiteral("&Import..."));
    ExportDeviceBtn = new QPushButton(QStringLiteral("E&xport..."));
    auto* many = new QHBoxLayout;
    many->addStretch();
    many->addWidget(ImportDeviceBtn);
    many->addWidget(ExportDeviceBtn);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(DeviceList, 1);
    layout->addLayout(buttons);
    layout->addLayout(many);
    return page;
}

QWidget* TOptionsForm::CreateLogSettingsTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    // No bounds: whatever integer these hold is stored.
    SystemLogSize = AddField(form, "System Log File Size (Entries)", nullptr, 0, 0);
    DeviceLogSize = AddField(form, "Device Log File Size (Entries)", nullptr, 0, 0);
    return page;
}

QWidget* TOptionsForm::CreateAlertsTab() {
    auto* page = new QWidget;
    // What a user may change, in one box that a lock disables captions and all.
    AlertValues = new QWidget;
    auto* grid = new QGridLayout(AlertValues);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnStretch(2, 1);
    // A threshold: caption, field and the words after it, which wrap rather
    // than widen the fixed-size dialog.
    const auto threshold = [grid](int row, const char* label, const char* after) {
        auto* field = new TSpinEdit;
        field->SetBounds(1, 20);
        field->setFixedWidth(56);
        auto* caption = new QLabel(Text(label));
        caption->setBuddy(field);
        auto* words = new QLabel(Text(after));
        words->setWordWrap(true);
        grid->addWidget(caption, row, 0);
        grid->addWidget(field, row, 1);
        grid->addWidget(words, row, 2);
        return field;
    };
    DownAfter = threshold(0, "&Down after", "results that are not success");
    UpAfter = threshold(1, "&Up after", "successes");
    Notify = new QCheckBox(QStringLiteral("Show desktop &notifications"));
    Sound = new QCheckBox(QStringLiteral("Pla&y sounds"));
    ProblemsFirst = new QCheckBox(QStringLiteral("Show problems &first in the list"));
    int row = 2;
    for (QCheckBox* box : {Notify, Sound, ProblemsFirst})
        grid->addWidget(box, row++, 0, 1, 3);

    AlertsLockedNote = new QLabel(QStringLiteral("Set by your administrator."));
    AlertsLockedNote->setWordWrap(true);
    AlertsLockedNote->hide();
    AlertCommand = new QLineEdit;
    AlertCommand->setPlaceholderText(QStringLiteral("program and arguments"));
    AlertCommand->setToolTip(
        QStringLiteral("Run without a shell on every change of a device to Down or Up.\n"
                       "Four arguments are added: the host, the state (Down or Up),\n"
                       "the result text and since when (ISO 8601 local time).\n"
                       "The same in SENTREL_HOST, SENTREL_STATE, SENTREL_OLD_STATE,\n"
                       "SENTREL_RESULT and SENTREL_SINCE.\n"
                       "Stopped after 30 seconds; at most four run at once."));
    AlertCommandLabel = new QLabel(QStringLiteral("&Command on change"));
    AlertCommandLabel->setBuddy(AlertCommand);
    AllowAlertChanges = new QCheckBox(QStringLiteral("Allo&w user to change alert settings"));
    MetricsAddress = new QLineEdit;
    MetricsAddress->setPlaceholderText(
        QStringLiteral("off, or address:port such as 127.0.0.1:9437"));
    MetricsAddress->setToolTip(
        QStringLiteral("Serves the devices' state to a Prometheus server on\n"
                       "http://ADDRESS:PORT/metrics. Without authentication: an address\n"
                       "other than 127.0.0.1 belongs behind a firewall."));
    SetHelpContext(MetricsAddress, 255); // F1 on the field: the metrics page
    MetricsAddressLabel = new QLabel(QStringLiteral("Serve &metrics on:"));
    MetricsAddressLabel->setBuddy(MetricsAddress);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(AlertValues);
    layout->addWidget(AlertsLockedNote);
    layout->addSpacing(6);
    layout->addWidget(AlertCommandLabel);
    layout->addWidget(AlertCommand);
    layout->addWidget(AllowAlertChanges);
    layout->addSpacing(6);
    layout->addWidget(MetricsAddressLabel);
    layout->addWidget(MetricsAddress);
    layout->addStretch();
    return page;
}

QWidget* TOptionsForm::CreatePermissionsTab() {
    auto* page = new QWidget;
    AllowEchoChange = new QCheckBox(QStringLiteral("Allow user to modify ECHO settings"));
    AllowDeviceChanges = new QCheckBox(QStringLiteral("Allow user to modify the device list"));
    AllowChangeLogSize = new QCheckBox(QStringLiteral("Allow user to change log file size"));
    AllowClearLog = new QCheckBox(QStringLiteral("Allow user to clear the log files"));
    auto* layout = new QVBoxLayout(page);
    for (QCheckBox* box : {AllowEchoChange, AllowDeviceChanges, AllowChangeLogSize, AllowClearLog})
        layout->addWidget(box);
    layout->addStretch();
    setTabOrder(AllowEchoChange, AllowDeviceChanges);
    setTabOrder(AllowDeviceChanges, AllowChangeLogSize);
    setTabOrder(AllowChangeLogSize, AllowClearLog);
    return page;
}

void TOptionsForm::ShowPages(const QList<QWidget*>& Pages) {
    static const std::pair<QWidget * TOptionsForm::*, const char*> captions[] = {
        {&TOptionsForm::GeneralTab, "&General"}, {&TOptionsForm::EchoTab, "ECHO &Settings"},
        {&TOptionsForm::DevicesTab, "De&vices"}, {&TOptionsForm::LogSettingsTab, "&Log Settings"},
        {&TOptionsForm::AlertsTab, "Aler&ts"},   {&TOptionsForm::PermissionsTab, "&Permissions"},
    };
    // A hidden page is taken out of the control, not disabled; the rest keep their order.
    while (PageControl->count() > 0)
        PageControl->removeTab(0);
    for (const auto& [page, caption] : captions)
        if (Pages.contains(this->*page))
            PageControl->addTab(this->*page, Text(caption));
}

QList<QWidget*> TOptionsForm::VisiblePages() const {
    QList<QWidget*> pages;
    for (int i = 0; i < PageControl->count(); ++i)
        pages << PageControl->widget(i);
    return pages;
}

void TOptionsForm::PrepareAdminMode() {
    FUserMode = false;
    setWindowTitle(QStringLiteral("Sentrel Administration"));
    PageControl->setCurrentWidget(GeneralTab);
}

void TOptionsForm::PrepareUserMode() {
    FUserMode = true;
    setWindowTitle(QStringLiteral("Sentrel Options"));
    PageControl->setCurrentWidget(GeneralTab);
}

void TOptionsForm::EditSettings(TSentrelSettings* Settings) {
    FSettings = Settings;
    LoadControls();
    // The command, its permission and the metrics are the administrator's alone.
    for (QWidget* control :
         std::initializer_list<QWidget*>{AlertCommandLabel, AlertCommand, AllowAlertChanges,
                                         MetricsAddressLabel, MetricsAddress})
        control->setVisible(!FUserMode);
    AlertValues->setEnabled(AlertsEditable());
    AlertsLockedNote->setVisible(!AlertsEditable());
    QList<QWidget*> pages{GeneralTab};
    if (!FUserMode || FSettings->AllowEchoChange)
        pages << EchoTab;
    if (!FUserMode || FSettings->AllowDeviceChanges)
        pages << DevicesTab;
    if (!FUserMode || FSettings->AllowChangeLogSize)
        pages << LogSettingsTab;
    pages << AlertsTab;
    if (!FUserMode)
        pages << PermissionsTab;
    ShowPages(pages);
    PageControl->setCurrentWidget(GeneralTab);
    ApplyLocks();
}

void TOptionsForm::LoadControls() {
    AutoStart->setChecked(FSettings->AutoStart);
    AutoScan->setChecked(FSettings->AutoScan);
    ShowWindow->setChecked(FSettings->ShowWindow);
    ECHORequestSize->SetValue(FSettings->EchoRequestSize);
    IPTimeToLive->SetValue(FSettings->IPTimeToLive);
    ECHOTimeout->SetValue(FSettings->EchoTimeOut);
    PingInterval->SetValue(FSettings->PingInterval);
    const int32_t prefer = FSettings->Addresses.Prefer;
    AddressPreference->setCurrentIndex(prefer >= 0 && prefer < AddressPreference->count() ? prefer
                                                                                          : 0);
    ResolveMinutes->setValue(FSettings->Addresses.ResolveMinutes);
    DeviceLogSize->SetValue(FSettings->DeviceLogSize);
    SystemLogSize->SetValue(FSettings->SystemLogSize);
    AllowEchoChange->setChecked(FSettings->AllowEchoChange);
    AllowDeviceChanges->setChecked(FSettings->AllowDeviceChanges);
    AllowClearLog->setChecked(FSettings->AllowClearLog);
    AllowChangeLogSize->setChecked(FSettings->AllowChangeLogSize);
    const TAlertSettings& alerts = FSettings->Alerts;
    DownAfter->SetValue(alerts.DownAfter);
    UpAfter->SetValue(alerts.UpAfter);
    Notify->setChecked(alerts.Notify);
    Sound->setChecked(alerts.Sound);
    ProblemsFirst->setChecked(alerts.ProblemsFirst);
    AlertCommand->setText(ToQString(alerts.Command));
    AllowAlertChanges->setChecked(alerts.AllowAlertChanges);
    MetricsAddress->setText(ToQString(FSettings->Metrics.Address));
    FillDeviceList();
}

void TOptionsForm::StoreControls() {
    FSettings->AutoStart = AutoStart->isChecked();
    FSettings->AutoScan = AutoScan->isChecked();
    FSettings->ShowWindow = ShowWindow->isChecked();
    FSettings->EchoRequestSize = ECHORequestSize->Value();
    FSettings->IPTimeToLive = IPTimeToLive->Value();
    FSettings->EchoTimeOut = ECHOTimeout->Value();
    FSettings->PingInterval = PingInterval->Value();
    FSettings->Addresses.Prefer = AddressPreference->currentIndex();
    FSettings->Addresses.ResolveMinutes = ResolveMinutes->value();
    FSettings->DeviceLogSize = DeviceLogSize->Value();
    FSettings->SystemLogSize = SystemLogSize->Value();
    FSettings->AllowEchoChange = AllowEchoChange->isChecked();
    FSettings->AllowDeviceChanges = AllowDeviceChanges->isChecked();
    FSettings->AllowClearLog = AllowClearLog->isChecked();
    FSettings->AllowChangeLogSize = AllowChangeLogSize->isChecked();
    TAlertSettings& alerts = FSettings->Alerts;
    // Values the user could not change stay exactly as loaded, unclamped.
    if (AlertsEditable()) {
        alerts.DownAfter = DownAfter->Value();
        alerts.UpAfter = UpAfter->Value();
        alerts.Notify = Notify->isChecked();
        alerts.Sound = Sound->isChecked();
        alerts.ProblemsFirst = ProblemsFirst->isChecked();
    }
    if (!FUserMode) {
        alerts.Command = ToBytes(AlertCommand->text().trimmed());
        alerts.AllowAlertChanges = AllowAlertChanges->isChecked();
        FSettings->Metrics.Address = ToBytes(MetricsAddress->text().trimmed());
    }
}

bool TOptionsForm::AlertsEditable() const {
    return !FUserMode || FSettings->Alerts.AllowAlertChanges;
}

bool TOptionsForm::AlertCommandAccepted() {
    if (FUserMode || !CommandCheck)
        return true;
    const QString problem = CommandCheck(AlertCommand->text().trimmed());
    if (problem.isEmpty())
        return true;
    RefuseOnAlertsTab(AlertCommand, QStringLiteral("Command on change"), problem);
    return false;
}

bool TOptionsForm::MetricsAddressAccepted() {
    // A locked address is the policy's, whatever the field holds.
    if (FUserMode || FSettings->Locked(MetricsKey, "Address"))
        return true;
    const std::string address = ToBytes(MetricsAddress->text().trimmed());
    std::string problem;
    if (address.empty() || ParseMetricsEndpoint(address, problem))
        return true;
    RefuseOnAlertsTab(MetricsAddress, QStringLiteral("Serve metrics on"), ToQString(problem));
    return false;
}

void TOptionsForm::RefuseOnAlertsTab(QLineEdit* Field, const QString& Title,
                                     const QString& Problem) {
    PageControl->setCurrentWidget(AlertsTab);
    Field->setFocus();
    Field->selectAll();
    if (gWarningHook) {
        gWarningHook(Problem);
    } else {
        QMessageBox box(QMessageBox::Warning, Title, Problem, QMessageBox::Ok, this);
        box.setWindowModality(Qt::WindowModal);
        box.exec();
    }
}

void TOptionsForm::FillDeviceList() {
    DeviceList->setUpdatesEnabled(false);
    DeviceList->SetSortType(TSortType::stNone);
    try {
        DeviceList->ClearItems();
        TDeviceDataCollection* devices = FSettings->Devices();
        for (int i = 0; i < devices->Count(); ++i) {
            TDeviceData* device = devices->Items(i);
            TListItem* row = DeviceList->AddItem();
            // Caption and box first: a row without data never writes back.
            row->SetCaption(ToQString(device->Host()));
            row->SetChecked(device->Monitored());
            row->AddSubItem(ToQString(device->Description()));
            row->SetImageIndex(images::DeviceTypeImage(device->DeviceType()));
            row->SetData(device);
        }
        DeviceList->SetSortType(TSortType::stBoth);
    } catch (...) {
        DeviceList->setUpdatesEnabled(true);
        throw;
    }
    DeviceList->setUpdatesEnabled(true);
}

int TOptionsForm::DeviceListCompare(TListItem* Item1, TListItem* Item2) {
    const int byType = Item1->ImageIndex() - Item2->ImageIndex();
    if (byType != 0)
        return byType;
    return CompareTextNoCase(Item1->Caption(), Item2->Caption());
}

void TOptionsForm::DeviceListChange(TListItem* Item, TItemChange Change) {
    if (Change != TItemChange::ctState || Item->Data() == nullptr)
        return;
    auto* device = static_cast<TDeviceData*>(Item->Data());
    // The policy's devices keep the check the administrator gave them.
    if (device->Mandatory())
        Item->SetChecked(device->Monitored());
    else
        device->SetMonitored(Item->Checked());
}

void TOptionsForm::AppEventsIdle() {
    const bool selected = SelectedRow() != nullptr && !MandatorySelected();
    if (EditDeviceBtn->isEnabled() != selected)
        EditDeviceBtn->setEnabled(selected);
    if (RemoveDeviceBtn->isEnabled() != selected)
        RemoveDeviceBtn->setEnabled(selected);
}

TListItem* TOptionsForm::SelectedRow() const {
    return DeviceList->Selected();
}

void TOptionsForm::AddDeviceBtnClick() {
    PropertiesDlg.IsListedHost = [this](const QString& host) {
        return IsListedHost(host, nullptr);
    };
    if (!PropertiesDlg.Execute(QStringLiteral("Add Device Info"), QString(), QString(), true,
                               dtComputer, true)) {
        // The host text was a list: the import takes it over.
        if (!PropertiesDlg.ImportText.isEmpty())
            ImportDeviceBtnClick(PropertiesDlg.ImportText);
        return;
    }
    PropertiesDlg.StoreTo(*FSettings->Devices()->Add());
    FillDeviceList();
}

bool TOptionsForm::IsListedHost(const QString& Host, const TDeviceData* Except) const {
    const std::string host = ToBytes(Host);
    const TDeviceDataCollection* devices = FSettings->Devices();
    for (int i = 0; i < devices->Count(); ++i) {
        const TDeviceData* device = devices->Items(i);
        if (device != Except && SameTextNoCase(device->Host(), host))
            return true;
    }
    return false;
}

void TOptionsForm::ImportDeviceBtnClick(const QString& InitialText) {
    TImportDialog dialog(this);
    dialog.setWindowModality(Qt::WindowModal);
    if (!dialog.Execute(*FSettings->Devices(), InitialText))
        return;
    // In place, as Add is: the dialog's OK saves, its Cancel keeps them.
    ApplyImport(dialog.Plan(), *FSettings->Devices());
    FillDeviceList();
}

void TOptionsForm::ExportDeviceBtnClick() {
    const QString path = ChooseImportFile(this, true, QStringLiteral("devices.csv"));
    if (path.isEmpty())
        return;
    WriteExportFile(FileSystemPath(path), DevicesCsv(*FSettings->Devices()));
}

void TOptionsForm::EditDeviceBtnClick() {
    TListItem* row = SelectedRow();
    if (row == nullptr || MandatorySelected())
        return;
    auto* device = static_cast<TDeviceData*>(row->Data());
    const QString host = ToQString(device->Host());
    PropertiesDlg.IsListedHost = [this, device](const QString& other) {
        return IsListedHost(other, device);
    };
    if (!PropertiesDlg.Execute(QStringLiteral("Edit ") + host, host,
                               ToQString(device->Description()), device->Monitored(),
                               device->DeviceType(), false))
        return;
    PropertiesDlg.StoreTo(*device);
    FillDeviceList();
}

void TOptionsForm::RemoveDeviceBtnClick() {
    TListItem* row = SelectedRow();
    if (row == nullptr || MandatorySelected())
        return;
    auto* device = static_cast<TDeviceData*>(row->Data());
    const QString question = QStringLiteral("Are you sure you want to delete the device \"") +
                             ToQString(device->Host()) + QStringLiteral("\"?");
    bool yes = false;
    if (gConfirmHook) {
        yes = gConfirmHook(question);
    } else {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), question,
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        box.setWindowModality(Qt::WindowModal);
        yes = box.exec() == QMessageBox::Yes;
    }
    if (!yes)
        return;
    DeviceList->DeleteItem(row);
    delete device; // leaves the settings' device list at once
}

void TOptionsForm::ApplyLocks() {
    const struct {
        QWidget* Control;
        const char* Key;
        const char* Name;
    } controls[] = {
        {AutoScan, SettingsKey, "AutoScan"},
        {ShowWindow, SettingsKey, "ShowWindow"},
        {ECHORequestSize, SettingsKey, "ECHORequestSize"},
        {IPTimeToLive, SettingsKey, "IPTimeToLive"},
        {ECHOTimeout, SettingsKey, "ECHOTimeout"},
        {PingInterval, SettingsKey, "PingInterval"},
        {AddressPreference, AddressesKey, "Prefer"},
        {ResolveMinutes, AddressesKey, "ResolveMinutes"},
        {SystemLogSize, SettingsKey, "SystemLogSize"},
        {DeviceLogSize, SettingsKey, "DeviceLogSize"},
        {DownAfter, AlertsKey, "DownAfter"},
        {UpAfter, AlertsKey, "UpAfter"},
        {Notify, AlertsKey, "Notify"},
        {Sound, AlertsKey, "Sound"},
        {ProblemsFirst, AlertsKey, "ProblemsFirst"},
        {AlertCommand, AlertsKey, "Command"},
        {AllowAlertChanges, AlertsKey, "AllowAlertChanges"},
        {MetricsAddress, MetricsKey, "Address"},
        {AllowEchoChange, SettingsKey, "AllowEchoChange"},
        {AllowDeviceChanges, SettingsKey, "AllowDeviceChanges"},
        {AllowChangeLogSize, SettingsKey, "AllowChangeLogSize"},
        {AllowClearLog, SettingsKey, "AllowClearLog"},
    };
    const QList<QWidget*> pages{GeneralTab, EchoTab, LogSettingsTab, AlertsTab, PermissionsTab};
    QSet<QWidget*> lockedPages;
    for (const auto& [control, key, name] : controls) {
        const bool locked = FSettings->Locked(key, name);
        control->setEnabled(!locked);
        QWidget* page = control->parentWidget();
        while (page != nullptr && !pages.contains(page))
            page = page->parentWidget();
        if (page == nullptr)
            continue;
        // The caption goes grey with its field.
        for (QLabel* caption : page->findChildren<QLabel*>())
            if (caption->buddy() == control)
                caption->setEnabled(!locked);
        if (locked)
            lockedPages.insert(page);
    }
    for (QWidget* page : {GeneralTab, EchoTab, LogSettingsTab, PermissionsTab})
        LockNote(page)->setVisible(lockedPages.contains(page));
    AlertsLockedNote->setVisible(!AlertsEditable() || lockedPages.contains(AlertsTab));

    const TDeviceDataCollection* devices = FSettings->Devices();
    bool mandatory = false;
    for (int i = 0; i < devices->Count() && !mandatory; ++i)
        mandatory = devices->Items(i)->Mandatory();
    QLabel* devicesNote = LockNote(DevicesTab);
    devicesNote->setText(
        QStringLiteral("Devices required by your administrator cannot be edited or removed."));
    devicesNote->setVisible(mandatory);
    DeviceList->OnToolTip = [](TListItem* Item) {
        const auto* device = static_cast<const TDeviceData*>(Item->Data());
        return device != nullptr && device->Mandatory()
                   ? QStringLiteral("Required by your administrator.")
                   : QString();
    };
}

QLabel* TOptionsForm::LockNote(QWidget* Page) {
    for (const auto& [page, note] : FLockNotes)
        if (page == Page)
            return note;
    auto* note = new QLabel(QStringLiteral("Set by your administrator."));
    note->setWordWrap(true);
    note->hide();
    if (auto* form = qobject_cast<QFormLayout*>(Page->layout()))
        form->addRow(note);
    else if (auto* box = qobject_cast<QBoxLayout*>(Page->layout()))
        // Above a closing stretch, under the controls it speaks of.
        box->insertWidget(box->count() > 0 && box->itemAt(box->count() - 1)->spacerItem() != nullptr
                              ? box->count() - 1
                              : box->count(),
                          note);
    FLockNotes.append({Page, note});
    return note;
}

bool TOptionsForm::MandatorySelected() const {
    const TListItem* row = SelectedRow();
    return row != nullptr && row->Data() != nullptr &&
           static_cast<const TDeviceData*>(row->Data())->Mandatory();
}

void TOptionsForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (!Event->spontaneous())
        CentreWhileOwnerHidden(this);
}

void TOptionsForm::OKBtnClick() {
    // A command that cannot run keeps the dialog open with every value as typed.
    if (!AlertCommandAccepted() || !MetricsAddressAccepted())
        return;
    // The dialog ends with OK whatever the save does; a failure is reported.
    setResult(QDialog::Accepted);
    Guarded([this] {
        StoreControls();
        FSettings->Save();
    });
    accept();
}

void TOptionsForm::CancelBtnClick() {
    reject();
}

int TOptionsForm::ActivePageHelpContext() const {
    const QWidget* page = PageControl->currentWidget();
    for (QWidget* known :
         {GeneralTab, LogSettingsTab, EchoTab, DevicesTab, AlertsTab, PermissionsTab})
        if (page == known)
            return HelpContext(known);
    return 200;
}

void TOptionsForm::HelpBtnClick() {
    ApplicationHelpContext(ActivePageHelpContext());
}
