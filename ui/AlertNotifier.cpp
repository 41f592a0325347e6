#include "ui/AlertNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>

#include <cstdio>
#include <utility>

namespace {

const QString NotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotificationsInterface = QStringLiteral("org.freedesktop.Notifications");

// A hung service costs this long per notice before the fallback shows it.
constexpr int CallTimeoutMs = 5000;
// After a failure, how long notices go to the fallback before the service is
// tried again (sooner when one appears on the bus).
constexpr std::chrono::seconds RetryAfter{60};

constexpr uchar UrgencyNormal = 1;
constexpr uchar UrgencyCritical = 2;

// Host names come from the operator's list and from the network: no control
// character may break the notice into lines the program did not write.
QString Printable(const std::string& Text) {
    QString text = QString::fromStdString(Text);
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
            c.category() == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    return text;
}

} // namespace

TAlertNotifier::TAlertNotifier(QObject* Parent)
    : TAlertNotifier(QDBusConnection::sessionBus(), Parent) {}

TAlertNotifier::TAlertNotifier(QDBusConnection Bus, QObject* Parent)
    : QObject(Parent), FBus(std::move(Bus)) {
    FGather.setSingleShot(true);
    FGather.setInterval(FGatherTime);
    connect(&FGather, &QTimer::timeout, this, &TAlertNotifier::GatherEnded);
    if (!FBus.isConnected())
        return;
    // No sender named: naming the well-known one makes Qt ask the bus for its
    // owner and wait. The slots check the sender against the one that answered.
    FBus.connect(QString(), NotificationsPath, NotificationsInterface,
                 QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
    FBus.connect(QString(), NotificationsPath, NotificationsInterface,
                 QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint, QDBusMessage)));
    auto* watcher = new QDBusServiceWatcher(NotificationsService, FBus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& NewOwner) {
                if (!NewOwner.isEmpty())
                    ServiceChanged();
            });
}

TAlertNotifier::~TAlertNotifier() = default;

void TAlertNotifier::SetFallback(QSystemTrayIcon* Tray) {
    if (FTray)
        disconnect(FTray, nullptr, this, nullptr);
    FTray = Tray;
    if (Tray)
        connect(Tray, &QSystemTrayIcon::messageClicked, this, [this] {
            if (!FFallbackHost.isEmpty())
                emit Activated(FFallbackHost);
        });
}

void TAlertNotifier::SetFallbackHook(TFallbackHook Hook) {
    FHook = std::move(Hook);
}

void TAlertNotifier::SetEnabled(bool Value) {
    FEnabled = Value;
    if (!Value) {
        FGather.stop();
        FPending.clear();
    }
}

void TAlertNotifier::SetGatherTime(std::chrono::milliseconds Value) {
    FGatherTime = Value;
    FGather.setInterval(Value);
}

void TAlertNotifier::Add(const TAlertChange& Change) {
    if (!FEnabled)
        return;
    // Only the time is noted here; the timer looks at it when it runs out,
    // so a burst of thousands restarts nothing.
    FLastAdd = std::chrono::steady_clock::now();
    if (FPending.empty())
        FFirstAdd = FLastAdd;
    FPending.push_back(Change);
    if (!FGather.isActive())
        FGather.start(FGatherTime);
}

void TAlertNotifier::GatherEnded() {
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    const steady_clock::time_point end =
        std::min(FLastAdd + FGatherTime, FFirstAdd + FGatherTime * MaxGatherTimes);
    if (!FPending.empty() && end > now) {
        FGather.start(std::max(ceil<milliseconds>(end - now), milliseconds(1)));
        return;
    }
    Flush();
}

void TAlertNotifier::Flush() {
    std::vector<TAlertChange> changes;
    changes.swap(FPending);
    if (changes.empty())
        return;
    if (changes.size() > MaxSingle) {
        bool down = false;
        for (const TAlertChange& change : changes)
            down = down || change.NewState == TAlertState::Down;
        Send({QString(), Printable(changes.front().Host), Printable(AlertSummary(changes)), down});
        return;
    }
    for (const TAlertChange& change : changes) {
        const QString host = Printable(change.Host);
        Send({host, host, Printable(AlertMessage(change)), change.NewState == TAlertState::Down});
    }
}

bool TAlertNotifier::ServiceAbsent() const {
    return !FBus.isConnected() ||
           (FAbsentUntil && std::chrono::steady_clock::now() < *FAbsentUntil);
}

void TAlertNotifier::Send(const TNote& Note) {
    if (ServiceAbsent()) {
        Fallback(Note);
        return;
    }
    TShown& shown = FShown[Note.Key];
    // The notice it replaces has no id yet: it follows once that is known.
    if (shown.InFlight) {
        shown.Next = Note;
        return;
    }
    shown.InFlight = true;
    QDBusMessage call = QDBusMessage::createMethodCall(
        NotificationsService, NotificationsPath, NotificationsInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue(Note.Down ? UrgencyCritical : UrgencyNormal));
    hints.insert(QStringLiteral("category"), Note.Down ? QStringLiteral("network.disconnected")
                                                       : QStringLiteral("network.connected"));
    // The whole text goes in the summary, which servers show as plain text;
    // the body, which some read as markup, stays empty.
    call << QString::fromLatin1(Title) << shown.Id
         << (Note.Down ? QStringLiteral("network-error") : QStringLiteral("network-idle"))
         << Note.Text << QString() << QStringList{QStringLiteral("default"), QStringLiteral("Show")}
         << hints << int{-1};
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, Note](QDBusPendingCallWatcher* w) { OnReply(Note, w); });
}

void TAlertNotifier::OnReply(const TNote& Note, QDBusPendingCallWatcher* Watcher) {
    Watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *Watcher;
    TShown& shown = FShown[Note.Key];
    shown.InFlight = false;
    std::optional<TNote> next = std::exchange(shown.Next, std::nullopt);
    if (reply.isError()) {
        // No service, a hung one or a lost bus: the tray tells this one and
        // the next ones until the service is back or it is time to try again.
        FAbsentUntil = std::chrono::steady_clock::now() + RetryAfter;
        FIds.remove(shown.Id);
        FShown.remove(Note.Key);
        Fallback(Note);
        if (next)
            Fallback(*next);
        return;
    }
    const uint id = reply.value();
    FService = reply.reply().service();
    if (shown.Id != 0 && shown.Id != id)
        FIds.remove(shown.Id);
    shown.Id = id;
    FIds.insert(id, {Note.Key, Note.Host});
    if (next)
        Send(*next);
}

void TAlertNotifier::Fallback(const TNote& Note) {
    if (FHook) {
        FFallbackHost = Note.Host;
        FHook(QString::fromLatin1(Title), Note.Text);
        return;
    }
    if (FTray && FTray->isVisible() && QSystemTrayIcon::supportsMessages()) {
        FFallbackHost = Note.Host;
        FTray->showMessage(QString::fromLatin1(Title), Note.Text,
                           Note.Down ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
        return;
    }
    if (!FWarned) {
        FWarned = true;
        std::fputs("Sentrel: no notification service and no tray messages; alerts are only"
                   " shown in the window\n",
                   stderr);
    }
}

void TAlertNotifier::ServiceChanged() {
    // A new service is tried at once, and knows none of the old one's ids.
    FAbsentUntil.reset();
    FIds.clear();
    for (auto shown = FShown.begin(); shown != FShown.end();) {
        shown->Id = 0;
        if (!shown->InFlight && !shown->Next)
            shown = FShown.erase(shown);
        else
            ++shown;
    }
}

void TAlertNotifier::Forget(uint Id) {
    const auto found = FIds.constFind(Id);
    if (Id == 0 || found == FIds.cend())
        return;
    const QString key = found->Key;
    FIds.erase(found);
    const auto shown = FShown.find(key);
    if (shown != FShown.end() && shown->Id == Id) {
        shown->Id = 0;
        if (!shown->InFlight && !shown->Next)
            FShown.erase(shown);
    }
}

void TAlertNotifier::OnActionInvoked(uint Id, const QString& /*Action*/,
                                     const QDBusMessage& Message) {
    if (FService.isEmpty() || Message.service() != FService)
        return;
    const auto found = FIds.constFind(Id);
    if (found != FIds.cend())
        emit Activated(found->Host);
}

void TAlertNotifier::OnNotificationClosed(uint Id, uint /*Reason*/, const QDBusMessage& Message) {
    if (!FService.isEmpty() && Message.service() == FService)
        Forget(Id);
}
