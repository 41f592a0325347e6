#pragma once
// The main window and controller: it owns the settings, the sockets
// session, the scanner, the system log, the device list and the tray icon,
// and ties them together with its actions.

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>

#include "framework/Component.h"
#include "net/qsPingTypes.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {
class TEventSound;
}
class TAlertCommandRunner;
class TAlertNotifier;
class THistoryStore;
class TMetricsRegistry;
class TMetricsServer;
class TqsWinsock;
class TDeviceScanner;
struct TAlertChange;
class TSentrelScanner;
class TSentrelSettings;
class TStatusLog;
class TSentrelListView;
class TListFilterBar;
class TListItem;
class TQtDispatcher;
class TLogViewer;
class TOptionsForm;

class TMain : public QMainWindow {
    Q_OBJECT
public:
    // Arguments: the command line after the program name.
    explicit TMain(QStringList Arguments, QWidget* Parent = nullptr);
    ~TMain() override;

    // Components.
    TSentrelListView* List = nullptr;
    // Above the list, hidden until used (typing in the list, Ctrl+F).
    TListFilterBar* FilterBar = nullptr;
    QToolBar* ToolBar = nullptr;
    TqsWinsock* Winsock = nullptr;
    TSentrelScanner* Scanner = nullptr;
    TStatusLog* Log = nullptr;
    TSentrelSettings* Settings = nullptr;
    QAction* StartAction = nullptr;
    QAction* StopAction = nullptr;
    QAction* OptionsAction = nullptr;
    QAction* ViewLogAction = nullptr;
    QAction* ViewDeviceLogAction = nullptr;
    QAction* HelpAction = nullptr;
    // Many devices at once; offered where the device list may be changed.
    QAction* ImportAction = nullptr;
    QMenu* TrayPopup = nullptr;
    QMenu* ListPopup = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;
    QTimer* Timer = nullptr;
    // Gathers changes of state into one update of the tray icon and tooltip.
    QTimer* TrayTimer = nullptr;
    TLogViewer* LogViewer = nullptr;
    // The options dialog, created once at start right after this window.
    TOptionsForm* OptionsForm = nullptr;

    bool Scanning() const { return FScanning; }
    THistoryStore* History() const { return FHistory.get(); }
    bool AdminMode() const { return FAdminMode; }
    // Whether the desktop offers a notification area; without one the window
    // stays reachable: shown at start, and closing it ends the program.
    bool HasTray() const { return FHasTray; }

    // Handlers.
    void FormCreate();
    void FormDestroy();
    void TimerTimer();
    void ApplicationEventsIdle();
    void StartActionExecute();
    void StopActionExecute();
    int ListCompare(TListItem* Item1, TListItem* Item2);
    // A device's alert state was decided anew: the list, the tray and the
    // announcements follow.
    void ScannerAlertChange(TDeviceScanner* Sender, const TAlertChange& Change);
    // Shows the window with the row of Host selected (a notification was clicked).
    void ShowDevice(const QString& Host);
    // The tray icon and tooltip for the scanner's state now.
    void UpdateTrayState();
    // The tooltip's text: the program's name, then how the devices are.
    QString TrayToolTip() const;
    // The desktop notifications, made on the first announcement: the bus is
    // not asked at start.
    TAlertNotifier* Notifier();
    void ScannerPingReply(TObject* Sender, TqsPingReply* Reply);
    void ScannerStatusChange(TObject* Sender, const std::string& Host, TPingResult OldStatus,
                             TPingResult NewStatus);
    void OpenItmClick();
    // "&Shutdown": ends the program as at the end of the session.
    void ShutdownItmClick();
    // The end of the user's session (session manager, SIGTERM or
    // "&Shutdown"): stops scanning, saves the settings and ends, whatever
    // windows are open.
    void EndSession();
    // Commands that open the secondary windows.
    void OptionsActionExecute();
    void ViewLogActionExecute();
    void ViewDeviceLogActionExecute();
    void ViewDeviceLogActionUpdate();
    void HelpActionExecute();
    void ImportActionExecute();
    // Administration mode, or a user the administrator lets change devices.
    bool DeviceChangesAllowed() const;

    // The administration switch: the first argument, upper-cased, is
    // ADMIN, -ADMIN, /ADMIN or \ADMIN.
    static bool IsAdminSwitch(const QStringList& Arguments);

    // Test hook: a notification area present (true) or absent (false)
    // whatever the desktop says; empty asks the desktop again.
    static void SetTrayAvailability(std::optional<bool> Available);

protected:
    void closeEvent(QCloseEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    void CreateActions();
    void CreateTray();
    void PlaceAtBottomRight();
    // Takes up the alert settings after a load or the options dialog.
    void ApplyAlertSettings();
    // Opens the history the settings ask for, once, after they are loaded.
    void OpenHistory();
    // A problem of the history, handed over from its writer: told once.
    void HistoryProblem(const QString& Text);
    // What was wrong with the administrator's policy at the load: told once.
    void ReportPolicyProblems();
    // Serves the metrics where the settings say, after a load, the options
    // dialog or an import: starts, moves or stops the server. A start that
    // fails is told once per address; scanning goes on.
    void ApplyMetricsSettings();
    // A problem monitoring goes on through: a message in the tray, or else
    // the error report once the event loop runs.
    void ReportProblem(const QString& Text);
    void TrayStateChanged();

    std::unique_ptr<TComponent> FComponents; // owner of the non-visual components
    std::unique_ptr<TQtDispatcher> FDispatcher;
    std::unique_ptr<platform::TEventSound> FSound;
    std::unique_ptr<TAlertCommandRunner> FCommands;
    TAlertNotifier* FNotifier = nullptr;
    // Every probe and change on disk; none when turned off in the settings.
    std::unique_ptr<THistoryStore> FHistory;
    // The figures live as long as the window; the scanner feeds them only
    // while they are served. The address last applied, served or not.
    std::unique_ptr<TMetricsRegistry> FMetrics;
    std::unique_ptr<TMetricsServer> FMetricsServer;
    std::string FMetricsAddress;
    QStringList FArguments;
    bool FScanning = false;
    bool FAdminMode = false;
    bool FHasTray = false;
    bool FDestroyed = false;
    bool FEnding = false;
    // What the tray shows: scanning, and how many are down.
    bool FTrayActive = false;
    int FTrayDown = -1;
};
