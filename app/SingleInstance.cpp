#include "app/SingleInstance.h"

#include "platform/registry/Registry.h"
#include "ui/MainFM.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const char* const ShowRequest = "show\n";
const char* const ShownAnswer = "shown\n";

const char* KindWord(TCopyKind Kind) {
    switch (Kind) {
    case TCopyKind::Window:
        return "window";
    case TCopyKind::Admin:
        return "admin";
    case TCopyKind::Console:
        return "console";
    case TCopyKind::Import:
        return "import";
    }
    return "window";
}

std::string Describe(const platform::TInstanceLock& Lock) {
    const std::string& kind = Lock.HolderKind();
    std::string what = kind == "console"  ? "console mode"
                       : kind == "admin"  ? "the window program in administration mode"
                       : kind == "window" ? "the window program"
                       : kind == "import" ? "an import of devices"
                                          : "another copy";
    if (Lock.HolderPid() > 0)
        return "pid " + std::to_string(Lock.HolderPid()) + ", " + what;
    return what;
}

// Asks the holder to show its window; true once it says it has. The holder
// takes the lock before it listens, so this tries again while it starts.
bool AskToShow(const std::string& MeetingPoint) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    const auto left = [&deadline] {
        return static_cast<int>(std::max<Clock::rep>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                   .count()));
    };
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(QString::fromStdString(MeetingPoint));
        if (socket.waitForConnected(left()))
            break;
        if (left() == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    socket.write(ShowRequest);
    if (!socket.waitForBytesWritten(left()))
        return false;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(left()))
            return false;
    return socket.readLine() == ShownAnswer;
}

} // namespace

std::optional<int> ClaimSettings(TCopyKind Kind, std::unique_ptr<platform::TInstanceLock>& Lock) {
    Lock = std::make_unique<platform::TInstanceLock>(
        platform::TRegistry::StorePath(platform::RegistryRoot::CurrentUser), KindWord(Kind));
    switch (Lock->State()) {
    case platform::TInstanceLock::TState::Ours:
        return std::nullopt;
    case platform::TInstanceLock::TState::Failed:
        // Not being able to guard is no reason to refuse to run.
        std::fprintf(stderr, "Kestrava Sentrel: cannot guard against a second copy (%s)\n",
                     Lock->Error().c_str());
        return std::nullopt;
    case platform::TInstanceLock::TState::Held:
        break;
    }
    const std::string holder = Lock->HolderKind();
    const std::string other = Describe(*Lock);
    if (Kind == TCopyKind::Import) {
        // The copy that runs keeps its own device list in memory and would
        // write it over whatever was added behind its back.
        const bool window = holder == "window" || holder == "admin";
        std::fprintf(stderr,
                     "Kestrava Sentrel: import refused: the settings belong to a running copy "
                     "(%s); %s\n",
                     other.c_str(),
                     window               ? "close it, or import from its window (Import Devices)"
                     : holder == "import" ? "try again once it has ended"
                                          : "stop it and import again");
        return 2;
    }
    // Bringing forward a window in user mode would not give the
    // administration options asked for. An import has no window to show.
    const bool bringForward =
        (Kind == TCopyKind::Window && holder != "console" && holder != "import") ||
        (Kind == TCopyKind::Admin && holder == "admin");
    if (!bringForward) {
        std::fprintf(stderr, "Kestrava Sentrel: already running (%s)%s\n", other.c_str(),
                     Kind == TCopyKind::Admin && holder != "console"
                         ? "; end it to start in administration mode"
                         : "");
        return 1;
    }
    if (AskToShow(Lock->MeetingPoint()))
        return 0;
    std::fprintf(stderr, "Kestrava Sentrel: already running (%s) and not answering\n",
                 other.c_str());
    return 1;
}

void AnswerLaterCopies(TMain& Main, const platform::TInstanceLock& Lock) {
    if (Lock.State() != platform::TInstanceLock::TState::Ours || Lock.MeetingPoint().empty())
        return;
    auto* server = new QLocalServer(&Main);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QString::fromStdString(Lock.MeetingPoint());
    // A socket left by a killed copy; the lock says no copy uses it now.
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
        std::fprintf(stderr, "Kestrava Sentrel: later copies cannot reach this one (%s)\n",
                     server->errorString().toLocal8Bit().constData());
        return;
    }
    QObject::connect(server, &QLocalServer::newConnection, &Main, [server, &Main] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, &Main, [socket, &Main] {
                // A request is one short line; anything longer is not ours.
                if (!socket->canReadLine() && socket->bytesAvailable() < 64)
                    return;
                if (socket->readLine() == ShowRequest) {
                    Main.OpenItmClick();
                    socket->write(ShownAnswer);
                }
                socket->disconnectFromServer();
            });
        }
    });
}
