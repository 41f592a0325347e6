#pragma once
// Tells the operator about devices going down and coming up again, through
// the desktop's notification service, or the tray icon's own message when
// there is none. A burst of changes becomes one summary. Every call to the
// service is asynchronous: a hung service or a lost bus never holds up the
// event loop, and with neither service nor tray nothing fails.

#include "core/AlertState.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QSystemTrayIcon;

class TAlertNotifier : public QObject {
    Q_OBJECT
public:
    using TFallbackHook = std::function<void(const QString& Title, const QString& Text)>;

    // Uses the session bus.
    explicit TAlertNotifier(QObject* Parent = nullptr);
    // Uses Bus, which may be a connection that failed.
    explicit TAlertNotifier(QDBusConnection Bus, QObject* Parent = nullptr);
    ~TAlertNotifier() override;
    TAlertNotifier(const TAlertNotifier&) = delete;
    TAlertNotifier& operator=(const TAlertNotifier&) = delete;

    // The tray icon whose own message stands in when there is no service;
    // may be null or hidden.
    void SetFallback(QSystemTrayIcon* Tray);
    // Called instead of the tray icon's message (tests, other front ends).
    void SetFallbackHook(TFallbackHook Hook);
    // Off drops what is gathered and ignores changes until on again.
    void SetEnabled(bool Value);
    bool Enabled() const { return FEnabled; }
    // One change to announce; callers pass those that are not silent. Cheap:
    // the texts are made once the gathering time is over.
    void Add(const TAlertChange& Change);
    // Changes are gathered until this long after the latest one (1 s unless
    // set), but never longer than MaxGatherTimes times it after the first:
    // devices probed at their own moments in the interval go down over
    // most of a second, and still make one summary.
    void SetGatherTime(std::chrono::milliseconds Value);
    static constexpr int MaxGatherTimes = 5;
    // More changes than this in one gathering make one summary.
    static constexpr size_t MaxSingle = 5;
    static constexpr const char* Title = "Kestrava Sentrel";

signals:
    // The operator activated the notice about Host (for a summary, its first).
    void Activated(const QString& Host);

private:
    // Signals of the service, connected by name.
    Q_SLOT void OnActionInvoked(uint Id, const QString& Action, const QDBusMessage& Message);
    Q_SLOT void OnNotificationClosed(uint Id, uint Reason, const QDBusMessage& Message);

    // One notice: Key picks the notice it replaces (the host, or empty for
    // the summary), Host is what activating it shows.
    struct TNote {
        QString Key;
        QString Host;
        QString Text;
        bool Down = false;
    };
    // The notice shown under one key: its id at the service, whether a call
    // is on its way, and the next notice waiting for that call's id.
    struct TShown {
        uint Id = 0;
        bool InFlight = false;
        std::optional<TNote> Next;
    };
    struct TIdEntry {
        QString Key;
        QString Host;
    };

    // Flushes, or waits on while changes still arrive.
    void GatherEnded();
    void Flush();
    void Send(const TNote& Note);
    void OnReply(const TNote& Note, QDBusPendingCallWatcher* Watcher);
    void Fallback(const TNote& Note);
    void Forget(uint Id);
    void ServiceChanged();
    bool ServiceAbsent() const;

    QDBusConnection FBus;
    QTimer FGather;
    std::chrono::milliseconds FGatherTime{1000};
    std::chrono::steady_clock::time_point FFirstAdd;
    std::chrono::steady_clock::time_point FLastAdd;
    std::vector<TAlertChange> FPending;
    bool FEnabled = true;

    QHash<QString, TShown> FShown;
    QHash<uint, TIdEntry> FIds;
    // The unique bus name of the service that answered, whose signals count.
    QString FService;
    // Until then notices go to the fallback, after the service failed.
    std::optional<std::chrono::steady_clock::time_point> FAbsentUntil;

    QPointer<QSystemTrayIcon> FTray;
    TFallbackHook FHook;
    QString FFallbackHost;
    bool FWarned = false;
};
