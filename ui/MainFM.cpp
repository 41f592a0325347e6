#include "ui/MainFM.h"

#include "core/AlertCommand.h"
#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "core/history/HistoryStore.h"
#include "core/import/DeviceImport.h"
#include "core/metrics/MetricsRegistry.h"
#include "core/metrics/MetricsServer.h"
#include "help/hh.h"
#include "net/qsWinsock.h"
#include "platform/EventSound.h"
#include "ui/AdminOptionsFM.h"
#include "ui/AlertNotifier.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/Images.h"
#include "ui/ImportDialog.h"
#include "ui/ListFilterBar.h"
#include "ui/LogViewerCM.h"
#include "ui/QtDispatcher.h"
#include "ui/SentrelListView.h"
#include "ui/TextCodec.h"
#include "ui/TrayStatusIcon.h"
#include "ui/WindowPlacement.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

std::optional<bool> gTrayAvailability;

// Raises Window and, above it, the dialogs opened from it that are still
// open: they block it, so they have to stay in sight.
void BringForward(QWidget* Window) {
    // How many windows lie between a dialog and Window; 0 when not opened from it.
    const auto depth = [Window](const QWidget* dialog) {
        int steps = 0;
        for (const QWidget* w = dialog->parentWidget(); w != nullptr; w = w->parentWidget()) {
            if (w->isWindow())
                ++steps;
            if (w == Window)
                return steps;
        }
        return 0;
    };
    QList<QWidget*> dialogs;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->isModal() && depth(w) > 0)
            dialogs.append(w);
    // A dialog opened from another goes above it; of two opened from the same
    // window, the one whose event loop runs (the later) goes on top.
    const QWidget* running = QApplication::activeModalWidget();
    const auto order = [&](const QWidget* w) { return std::make_pair(depth(w), w == running); };
    std::stable_sort(dialogs.begin(), dialogs.end(),
                     [&](const QWidget* a, const QWidget* b) { return order(a) < order(b); });
    Window->raise();
    QWidget* top = Window;
    for (QWidget* dialog : dialogs) {
        dialog->raise();
        top = dialog;
    }
    top->activateWindow();
}

} // namespace

void TMain::SetTrayAvailability(std::optional<bool> Available) {
    gTrayAvailability = Available;
}

TMain::TMain(QStringList Arguments, QWidget* Parent)
    : QMainWindow(Parent), FComponents(std::make_unique<TComponent>(nullptr)),
      FDispatcher(std::make_unique<TQtDispatcher>()),
      FSound(std::make_unique<platform::TEventSound>()),
      FCommands(std::make_unique<TAlertCommandRunner>()), FArguments(std::move(Arguments)) {
    FHasTray = gTrayAvailability.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    setWindowTitle(QStringLiteral("Kestrava Sentrel"));
    setWindowIcon(images::ProgramIcon());
    // A small tool window without a taskbar button, while the tray holds the program.
    if (FHasTray)
        setWindowFlag(Qt::Tool, true);
    resize(312, 259);

    // Non-visual components, in the order they are destroyed backwards.
    Settings = new TSentrelSettings(FComponents.get());
    Winsock = new TqsWinsock(FComponents.get());
    Winsock->SetName("Winsock");
    Winsock->BeginLoading();
    Winsock->SetActive(true);
    Scanner = new TSentrelScanner(FComponents.get());
    Scanner->SetWinsock(Winsock);
    Scanner->SetDispatcher(FDispatcher.get());
    Scanner->PingDefaults()->SetDataSize(64);
    Scanner->OnStatusChange = [this](TObject* sender, const std::string& host,
                                     TPingResult oldStatus, TPingResult newStatus) {
        ScannerStatusChange(sender, host, oldStatus, newStatus);
    };
    // The system log tells of a name that moved as the device's own log does.
    Scanner->OnAddressChange = [this](TDeviceScanner*, const std::string& host,
                                      const std::string& address) {
        Log->AddAddressChange(host, address);
    };
    Scanner->OnPingReply = [this](TObject* sender, TqsPingReply* reply) {
        ScannerPingReply(sender, reply);
    };
    Scanner->OnAlertChange = [this](TDeviceScanner* sender, const TAlertChange& change) {
        ScannerAlertChange(sender, change);
    };
    Scanner->OnStartError = [this](TObject*, const std::exception_ptr& error) {
        FScanning = Scanner->Active();
        // Shown once the start has settled, so that no modal box holds up the
        // replies handed over with the slice that ended it.
        QTimer::singleShot(0, this, [error] {
            try {
                std::rethrow_exception(error);
            } catch (...) {
                ReportCurrentException();
            }
        });
    };
    Log = new TStatusLog(FComponents.get());
    LogViewer = new TLogViewer(FComponents.get());
    LogViewer->Caption = QStringLiteral("Network Status Log");
    LogViewer->SetLog(Log);
    LogViewer->SetSettings(Settings);
    LogViewer->ShowHost = false;
    LogViewer->ParentWindow = this;

    CreateActions();

    List = new TSentrelListView(this);
    List->SetCheckboxes(false);
    List->setFrameShape(QFrame::NoFrame);
    List->AddColumn(QStringLiteral("Host"), 120);
    List->AddColumn(QStringLiteral("Status"), 120);
    List->AddColumn(QStringLiteral("Description"), 60);
    List->AddOptionalColumns();
    List->OnCompare = [this](TListItem* a, TListItem* b) { return ListCompare(a, b); };
    List->OnToolTip = [](TListItem* row) {
        const auto* device = static_cast<const TDeviceScanner*>(row->Data());
        if (device == nullptr || device->Stats().Probes() == 0)
            return QString();
        return ToQString(DeviceStatsText(device->Stats(), device->Alert(), Now()));
    };
    List->SetScanner(Scanner);
    List->SetSettings(Settings);
    List->setProperty("HelpContext", 5);
    List->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(List, &TListView::ItemDoubleClicked, this,
            [this](TListItem*) { Guarded([this] { ViewDeviceLogActionExecute(); }); });
    connect(List, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ListPopup->popup(List->viewport()->mapToGlobal(at)); });
    connect(List, &TListView::ItemActivated, this,
            [this](TListItem*) { Guarded([this] { ViewDeviceLogActionExecute(); }); });
    // The filter bar takes no room until it is used: the list fills the window.
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    FilterBar = new TListFilterBar(List, central);
    FilterBar->setProperty("HelpContext", 5);
    column->addWidget(FilterBar);
    column->addWidget(List);
    setCentralWidget(central);
    auto* find = new QAction(QStringLiteral("&Find"), this);
    find->setShortcut(QKeySequence::Find);
    connect(find, &QAction::triggered, this, [this] { FilterBar->Open(); });
    addAction(find);

    Timer = new QTimer(this);
    Timer->setInterval(200);
    Timer->setSingleShot(true);
    connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });
    // A tenth of a second: a burst of changes redraws the tray once, and
    // nobody reads a tooltip faster.
    TrayTimer = new QTimer(this);
    TrayTimer->setInterval(100);
    TrayTimer->setSingleShot(true);
    connect(TrayTimer, &QTimer::timeout, this, [this] { Guarded([this] { UpdateTrayState(); }); });

    CreateTray();

    // The loading of the stored session ends here: the session starts now.
    Winsock->Loaded();

    // Start and Stop are offered by what the scanner does, looked at when idle.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this] { ApplicationEventsIdle(); });

    // Every help request of the application (Help buttons, F1) opens its page.
    SetApplicationHelpHandler([](int Context) {
        bool callHelp = true;
        hh::ApplicationEventsHelp(0, Context, callHelp);
    });

    Guarded([this] { FormCreate(); });
}

TMain::~TMain() {
    FormDestroy();
    // No scrape reads what is torn down below.
    FMetricsServer.reset();
    // The list goes with the window; the components after it.
    delete List;
    List = nullptr;
    FComponents.reset();
}

void TMain::CreateActions() {
    auto make = [this](const char* caption, const char* hint, int image) {
        auto* action = new QAction(QString::fromUtf8(caption), this);
        if (hint != nullptr) {
            action->setToolTip(QString::fromUtf8(hint));
            action->setStatusTip(QString::fromUtf8(hint));
        }
        if (image >= 0)
            action->setIcon(images::ActionIcon(image));
        return action;
    };
    StartAction = make("&Start Scanner", "Start the Network Scanner", images::ActionPlay);
    StopAction = make("S&top Scanner", "Stop the Network Scanner", images::ActionPause);
    StopAction->setVisible(false);
    OptionsAction = make("&Options", "Configure Options", images::ActionOptions);
    ViewLogAction = make("&View Log", nullptr, images::ActionViewLog);
    ViewDeviceLogAction = make("&View Log", nullptr, -1);
    HelpAction = make("&Help", nullptr, images::ActionHelp);
    ImportAction = make("&Import Devices", "Import Devices", images::ActionImport);

    connect(StartAction, &QAction::triggered, this,
            [this] { Guarded([this] { StartActionExecute(); }); });
    connect(StopAction, &QAction::triggered, this,
            [this] { Guarded([this] { StopActionExecute(); }); });
    connect(OptionsAction, &QAction::triggered, this,
            [this] { Guarded([this] { OptionsActionExecute(); }); });
    connect(ViewLogAction, &QAction::triggered, this,
            [this] { Guarded([this] { ViewLogActionExecute(); }); });
    connect(ViewDeviceLogAction, &QAction::triggered, this,
            [this] { Guarded([this] { ViewDeviceLogActionExecute(); }); });
    connect(HelpAction, &QAction::triggered, this,
            [this] { Guarded([this] { HelpActionExecute(); }); });
    connect(ImportAction, &QAction::triggered, this,
            [this] { Guarded([this] { ImportActionExecute(); }); });

    ToolBar = addToolBar(QStringLiteral("ToolBar"));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setIconSize(QSize(16, 16));
    ToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // New buttons go last: the ones there are keep their places.
    for (QAction* action :
         {StartAction, StopAction, OptionsAction, ViewLogAction, HelpAction, ImportAction})
        ToolBar->addAction(action);
    for (QWidget* button : ToolBar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (button->inherits("QToolButton"))
            button->setFixedSize(24, 24);

    ListPopup = new QMenu(this);
    ListPopup->addAction(ViewDeviceLogAction);
    ListPopup->setDefaultAction(ViewDeviceLogAction);
}

void TMain::CreateTray() {
    TrayPopup = new QMenu(this);
    QAction* open = TrayPopup->addAction(QStringLiteral("&View"));
    TrayPopup->setDefaultAction(open);
    connect(open, &QAction::triggered, this, [this] { Guarded([this] { OpenItmClick(); }); });
    TrayPopup->addSeparator();
    TrayPopup->addAction(StartAction);
    TrayPopup->addAction(StopAction);
    TrayPopup->addAction(ViewLogAction);
    TrayPopup->addAction(OptionsAction);
    QAction* help =
        TrayPopup->addAction(images::ActionIcon(images::ActionHelp), QStringLiteral("&Help"));
    connect(help, &QAction::triggered, this, [this] { Guarded([this] { HelpActionExecute(); }); });
    TrayPopup->addSeparator();
    QAction* shutdown = TrayPopup->addAction(QStringLiteral("&Shutdown"));
    connect(shutdown, &QAction::triggered, this,
            [this] { Guarded([this] { ShutdownItmClick(); }); });

    TrayIcon = new QSystemTrayIcon(this);
    UpdateTrayState();
    TrayIcon->setContextMenu(TrayPopup);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    Guarded([this] { OpenItmClick(); });
            });
    if (FHasTray)
        TrayIcon->show();
}

void TMain::PlaceAtBottomRight() {
    const QScreen* screen = QApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    move(area.width() - width(), area.height() - height());
}

bool TMain::IsAdminSwitch(const QStringList& Arguments) {
    if (Arguments.isEmpty())
        return false;
    QString first = Arguments.first();
    for (QChar& c : first)
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    const char* const words[] = {"ADMIN", "-ADMIN", "/ADMIN", "\\ADMIN"};
    return std::any_of(std::begin(words), std::end(words),
                       [&](const char* word) { return first == QLatin1String(word); });
}

void TMain::FormCreate() {
    PlaceAtBottomRight();
    try {
        Settings->Load();
    } catch (...) {
        ReportPolicyProblems();
        // The rest of the start-up is skipped; without a notification area the
        // window is the only way in.
        if (!FHasTray)
            show();
        throw;
    }
    ReportPolicyProblems();
    ApplyAlertSettings();
    OpenHistory();
    List->Rebuild();
    ApplyMetricsSettings();
    Timer->start();
    FAdminMode = IsAdminSwitch(FArguments);
    ImportAction->setEnabled(DeviceChangesAllowed());
}

void TMain::TimerTimer() {
    Timer->stop(); // exactly once, also when a step below fails
    Guarded([this] {
        if (Settings->FormHeight != 0 && Settings->FormWidth != 0) {
            // Saved on a screen since removed or at another scale, it would be
            // shown where nobody sees it.
            const QRect placed =
                PlaceOnScreens(Settings->FormLeft, Settings->FormTop, Settings->FormWidth,
                               Settings->FormHeight, ScreenWorkAreas());
            move(placed.topLeft());
            resize(placed.size());
        }
        QApplication::processEvents();
        Log->SetCapacity(Settings->SystemLogSize);
        // Without a notification area the window is the only way in.
        if (Settings->ShowWindow || !FHasTray)
            show();
        if (Settings->AutoScan)
            StartActionExecute();
    });
}

void TMain::ApplicationEventsIdle() {
    const bool active = Scanner != nullptr && Scanner->Active();
    if (StartAction->isVisible() == active)
        StartAction->setVisible(!active);
    if (StopAction->isVisible() != active)
        StopAction->setVisible(active);
    if (active != FTrayActive)
        TrayStateChanged();
    ViewDeviceLogActionUpdate();
    if (const bool allowed = DeviceChangesAllowed(); ImportAction->isEnabled() != allowed)
        ImportAction->setEnabled(allowed);
}

void TMain::StartActionExecute() {
    List->SetSortType(TSortType::stNone);
    try {
        Winsock->SetActive(true);
        Scanner->SetActive(true);
    } catch (...) {
        List->SetSortType(TSortType::stBoth);
        throw;
    }
    // Not when every device failed to start (reported apart).
    FScanning = Scanner->Active();
    List->FitColumnsAfterReplies();
    List->ShowAllStats(); // a start begins the figures afresh
    List->SetSortType(TSortType::stBoth);
    TrayStateChanged();
}

void TMain::StopActionExecute() {
    List->SetSortType(TSortType::stNone);
    try {
        Scanner->SetActive(false);
        List->ResetStatus();
        List->ShowAllStats(); // the figures stay; no device is down any more
        Winsock->SetActive(false);
    } catch (...) {
        List->SetSortType(TSortType::stBoth);
        throw;
    }
    FScanning = false;
    List->SetSortType(TSortType::stBoth);
    TrayStateChanged();
}

int TMain::ListCompare(TListItem* Item1, TListItem* Item2) {
    if (Settings->Alerts.ProblemsFirst) {
        const auto down = [](TListItem* item) {
            const auto* device = static_cast<const TDeviceScanner*>(item->Data());
            return device != nullptr && device->Alert().State() == TAlertState::Down;
        };
        const bool down1 = down(Item1);
        if (down1 != down(Item2))
            return down1 ? -1 : 1;
    }
    const int a = Item1->SubItemImage(0);
    const int b = Item2->SubItemImage(0);
    if (a > 0 && b <= 0)
        return -1;
    if (a <= 0 && b > 0)
        return 1;
    const int byType = Item1->ImageIndex() - Item2->ImageIndex();
    if (byType != 0)
        return byType;
    return CompareTextNoCase(Item1->Caption(), Item2->Caption());
}

void TMain::ScannerPingReply(TObject* Sender, TqsPingReply* Reply) {
    auto* device = static_cast<TDeviceScanner*>(Sender);
    auto* row = static_cast<TListItem*>(device->ListItem);
    if (row == nullptr)
        return;
    // The row moves by itself only when its lamp goes on or off, the one
    // change of a reply that can alter the order.
    row->SetSubItem(0, QString::fromUtf8(Reply->ResultText()));
    int lamp = images::LampRed;
    if (Reply->Result == prSuccess)
        lamp = images::LampGreen;
    else if (Reply->Responded())
        lamp = images::LampYellow;
    row->SetSubItemImage(0, lamp);
    List->ShowStats(device);
    if (FHistory)
        FHistory->AddProbe({Now(), device->DisplayName(), Reply->Result,
                            Reply->Result == prSuccess ? Reply->RoundTripTime : 0});
}

void TMain::ScannerStatusChange(TObject* Sender, const std::string& Host, TPingResult,
                                TPingResult NewStatus) {
    Log->Add(Host, NewStatus);
    // Kept under the device's own text, as its graph and log ask for it.
    if (FHistory)
        FHistory->AddChange(
            {Now(), static_cast<TDeviceScanner*>(Sender)->DisplayName(), NewStatus});
}

void TMain::OpenHistory() {
    if (FHistory || !Settings->History.Enabled)
        return;
    QPointer<TMain> self(this);
    FHistory = std::make_unique<THistoryStore>(
        THistoryStore::DefaultPath(),
        THistoryLimits{Settings->History.RawDays, Settings->History.AggregateDays},
        [self](const std::string& text) {
            // From the writer's thread; the window may be gone by the time it arrives.
            QMetaObject::invokeMethod(
                qApp,
                [self, text = ToQString(text)] {
                    if (self)
                        self->HistoryProblem(text);
                },
                Qt::QueuedConnection);
        });
    LogViewer->SetHistory(FHistory.get());
}

void TMain::HistoryProblem(const QString& Text) {
    // Not a box: monitoring goes on, and the store says each problem once.
    std::fprintf(stderr, "Kestrava Sentrel: %s\n", Text.toLocal8Bit().constData());
    if (FHasTray && TrayIcon->isVisible() && QSystemTrayIcon::supportsMessages())
        TrayIcon->showMessage(QStringLiteral("Kestrava Sentrel"), Text, QSystemTrayIcon::Warning);
}

void TMain::ReportPolicyProblems() {
    QStringList problems;
    for (const std::string& problem : Settings->PolicyProblems())
        problems << ToQString(problem);
    if (problems.isEmpty())
        return;
    ReportProblem(problems.join(QLatin1Char('\n')));
}

void TMain::ReportProblem(const QString& Text) {
    // Monitoring goes on: a message in the tray, or else the error report
    // once the start-up is over.
    if (FHasTray && TrayIcon->isVisible() && QSystemTrayIcon::supportsMessages())
        HistoryProblem(Text);
    else
        QTimer::singleShot(0, this, [Text] { ShowErrorReport(Text); });
}

void TMain::ApplyMetricsSettings() {
    const std::string& address = Settings->Metrics.Address;
    if (address == FMetricsAddress)
        return;
    FMetricsAddress = address;
    if (FMetricsServer)
        FMetricsServer->Stop();
    if (address.empty()) {
        // Off: the replies cost nothing more than before.
        Scanner->SetMetrics(nullptr);
        return;
    }
    std::string problem;
    const std::optional<TMetricsEndpoint> endpoint = ParseMetricsEndpoint(address, problem);
    if (!endpoint) {
        ReportProblem(QStringLiteral("Metrics are not served: ") + ToQString(problem));
        return;
    }
    if (!FMetrics)
        FMetrics = std::make_unique<TMetricsRegistry>();
    if (!FMetricsServer)
        FMetricsServer = std::make_unique<TMetricsServer>(
            [metrics = FMetrics.get()](std::string& body) { metrics->Render(body); });
    if (Scanner->Metrics() != FMetrics.get())
        Scanner->SetMetrics(FMetrics.get());
    try {
        FMetricsServer->Start(*endpoint);
    } catch (const EMetricsError& e) {
        ReportProblem(ToQString(e.what()));
    }
}

void TMain::ScannerAlertChange(TDeviceScanner* Sender, const TAlertChange& Change) {
    TrayStateChanged();
    List->ShowAlert(Sender);
    if (Settings->Alerts.ProblemsFirst)
        if (auto* row = static_cast<TListItem*>(Sender->ListItem))
            row->OrderChanged();
    if (Change.Silent)
        return;
    FCommands->Run(Change);
    if (Settings->Alerts.Notify)
        Notifier()->Add(Change);
    if (Settings->Alerts.Sound)
        FSound->Play(Change.NewState == TAlertState::Down ? platform::TEventSound::TSound::Down
                                                          : platform::TEventSound::TSound::Up);
}

void TMain::TrayStateChanged() {
    if (!TrayTimer->isActive())
        TrayTimer->start();
}

QString TMain::TrayToolTip() const {
    QString text = QStringLiteral("Kestrava Sentrel 1.0");
    if (!Scanner->Active())
        return text + QStringLiteral("\nNot scanning");
    const int monitored = Scanner->MonitoredCount();
    if (monitored == 0)
        return text;
    const int down = Scanner->AlertCount(TAlertState::Down);
    return text + QLatin1Char('\n') +
           ToQString(VisibleText(StateSummary(Scanner->DownHosts(5), down, monitored,
                                              Scanner->AlertCount(TAlertState::Up))));
}

void TMain::UpdateTrayState() {
    const bool active = Scanner->Active();
    const int down = active ? Scanner->AlertCount(TAlertState::Down) : 0;
    if (active != FTrayActive || down != FTrayDown) {
        TTrayState state = TTrayState::Stopped;
        if (active)
            state = down > 0 ? TTrayState::Down : TTrayState::Up;
        TrayIcon->setIcon(TrayStatusIcon(state, down));
        FTrayActive = active;
        FTrayDown = down;
    }
    const QString tip = TrayToolTip();
    if (TrayIcon->toolTip() != tip)
        TrayIcon->setToolTip(tip);
}

void TMain::ShowDevice(const QString& Host) {
    OpenItmClick();
    for (int i = 0; i < List->Count(); ++i) {
        TListItem* row = List->Item(i);
        const auto* device = static_cast<const TDeviceScanner*>(row->Data());
        if (device != nullptr && ToQString(device->DisplayName()) == Host) {
            if (!row->Shown())
                FilterBar->Close(); // the device asked for comes first
            List->SetSelected(row);
            List->scrollTo(List->IndexOf(row));
            return;
        }
    }
}

TAlertNotifier* TMain::Notifier() {
    if (FNotifier == nullptr) {
        FNotifier = new TAlertNotifier(this);
        FNotifier->SetFallback(TrayIcon);
        connect(FNotifier, &TAlertNotifier::Activated, this,
                [this](const QString& host) { Guarded([&] { ShowDevice(host); }); });
    }
    return FNotifier;
}

void TMain::ApplyAlertSettings() {
    FCommands->SetCommand(Settings->Alerts.Command);
    // Drops what was gathered when notifications were turned off.
    if (FNotifier != nullptr)
        FNotifier->SetEnabled(Settings->Alerts.Notify);
    // Takes the new order at once when the option changed.
    if (List->SortType() != TSortType::stNone)
        List->AlphaSort();
}

void TMain::OpenItmClick() {
    showNormal();
    BringForward(this);
}

void TMain::ShutdownItmClick() {
    // Qt's quit asks every window to close and gives up at the first that
    // refuses; the window refuses only while the program is not ending.
    EndSession();
}

void TMain::EndSession() {
    if (FEnding)
        return;
    FEnding = true;
    Guarded([this] { StopActionExecute(); });
    FormDestroy();
    QApplication::quit();
}

void TMain::FormDestroy() {
    if (FDestroyed)
        return;
    FDestroyed = true;
    Settings->FormLeft = x();
    Settings->FormTop = y();
    Settings->FormHeight = height();
    Settings->FormWidth = width();
    Guarded([this] { Settings->Save(); });
    Guarded([this] { List->Clear(); });
}

void TMain::OptionsActionExecute() {
    if (OptionsForm == nullptr)
        return;
    // Asked again from the tray menu while it runs: the open one, edits kept.
    if (OptionsForm->isVisible()) {
        BringForward(OptionsForm);
        return;
    }
    // Modal to this window alone while it runs, so the tray menu stays
    // usable; whoever made the dialog owns it, so it is given back after.
    QWidget* const owner = OptionsForm->parentWidget();
    const Qt::WindowFlags flags = OptionsForm->windowFlags();
    OptionsForm->setParent(this, flags);
    OptionsForm->setWindowModality(Qt::WindowModal);
    struct GiveBack {
        QWidget* Form;
        QWidget* Owner;
        Qt::WindowFlags Flags;
        ~GiveBack() { Form->setParent(Owner, Flags); }
    } giveBack{OptionsForm, owner, flags};
    OptionsForm->CommandCheck = [](const QString& command) {
        return ToQString(CommandProblem(ToBytes(command)));
    };
    if (FAdminMode)
        OptionsForm->PrepareAdminMode();
    else
        OptionsForm->PrepareUserMode();
    OptionsForm->EditSettings(Settings);
    if (OptionsForm->exec() != QDialog::Accepted)
        return;
    Settings->Save();
    ApplyAlertSettings();
    // Rebuilding discards every device scanner and its log; the system log stays.
    List->Rebuild();
    Scanner->SetActive(FScanning);
    ApplyMetricsSettings();
    TrayStateChanged();
}

bool TMain::DeviceChangesAllowed() const {
    return FAdminMode || Settings->AllowDeviceChanges;
}

void TMain::ImportActionExecute() {
    if (!DeviceChangesAllowed())
        return;
    TImportDialog dialog(this);
    dialog.setWindowModality(Qt::WindowModal);
    if (!dialog.Execute(*Settings->Devices()))
        return;
    // Saved at once, or taken back and reported: the list and the file agree.
    ImportAndSave(dialog.Plan(), *Settings);
    // As after the options dialog: rebuilding discards every device scanner
    // and its log, and scanning goes on as it was.
    List->Rebuild();
    Scanner->SetActive(FScanning);
    ApplyMetricsSettings();
    TrayStateChanged();
}

void TMain::ViewLogActionExecute() {
    // Asked again from the tray menu while it is shown: the open one.
    if (TLogViewerForm* open = LogViewer->FormFor(Log)) {
        BringForward(open);
        return;
    }
    LogViewer->ShowHost = true;
    LogViewer->ShowLog(QStringLiteral("Network Activity Log"), Log);
}

void TMain::ViewDeviceLogActionExecute() {
    TListItem* row = List->Selected();
    if (row == nullptr)
        return;
    auto* device = static_cast<TDeviceScanner*>(row->Data());
    LogViewer->ShowHost = false;
    LogViewer->ShowDeviceLog(QStringLiteral("Activity Log for ") + ToQString(device->DisplayName()),
                             device->Log(), device->DisplayName());
}
void TMain::HelpActionExecute() {
    hh::HelpActionExecute();
}

void TMain::ViewDeviceLogActionUpdate() {
    const bool enabled = List != nullptr && List->Selected() != nullptr;
    if (ViewDeviceLogAction->isEnabled() != enabled)
        ViewDeviceLogAction->setEnabled(enabled);
}

void TMain::closeEvent(QCloseEvent* Event) {
    if (FHasTray && !FEnding) {
        // Closing only hides the window; the tray icon keeps the program.
        Event->ignore();
        hide();
        return;
    }
    Event->accept();
    // While ending, this close is part of the quit already under way.
    if (!FEnding)
        QApplication::quit();
}

void TMain::changeEvent(QEvent* Event) {
    QMainWindow::changeEvent(Event);
    if (Event->type() == QEvent::WindowStateChange && FHasTray && isMinimized())
        QTimer::singleShot(0, this, [this] { hide(); });
}
