#include "net/qsWinsock.h"

namespace {
constexpr uint8_t RequestedMajor = 1;
constexpr uint8_t RequestedMinor = 1;
} // namespace

TqsWinsock::TqsWinsock(TComponent* AOwner) : TComponent(AOwner) {
    AnnounceInsertion();
}

TqsWinsock::~TqsWinsock() {
    Cleanup();
}

void TqsWinsock::SetActive(bool Value) {
    if (Value == FActive)
        return;
    if (Value && Loading()) {
        // The stored wish; the session starts once loading ends.
        FActive = true;
        return;
    }
    if (Value)
        Startup();
    else
        Cleanup();
}

void TqsWinsock::Startup() {
    if (FActive)
        return;
    const int result =
        platform::WSAStartup(platform::MakeWord(RequestedMajor, RequestedMinor), &FData);
    if (result != 0)
        throw EWinsockError(StartupErrorMessage(result));
    FActive = true;
}

void TqsWinsock::Cleanup() {
    if (!FActive)
        return;
    platform::WSACleanup();
    FActive = false;
}

void TqsWinsock::Loaded() {
    TComponent::Loaded();
    if (FActive) {
        FActive = false;
        Startup();
    }
}

std::string TqsWinsock::StartupErrorMessage(int Result) {
    const std::string prefix = "Error initializing Winsock: ";
    switch (Result) {
    case platform::WSASYSNOTREADY:
        return prefix + "underlying network subsystem is not ready for network communication.";
    case platform::WSAVERNOTSUPPORTED:
        return prefix + "Winsock version " + std::to_string(RequestedMajor) + "." +
               std::to_string(RequestedMinor) + " " + "is not available on this platform.";
    case platform::WSAEINPROGRESS:
        return prefix + "A blocking Windows Sockets 1.1 operation is in progress.";
    case platform::WSAEPROCLIM:
        return prefix + "Task limit has been reached.";
    case platform::WSAEFAULT:
        return prefix + "Invalid WSAData pointer passed to WSAStartup.";
    default:
        return prefix + "Could not initialize windows socket implementation.";
    }
}

TqsWinsockComponent::TqsWinsockComponent(TComponent* AOwner) : TComponent(AOwner) {
    FindWinsock();
}

void TqsWinsockComponent::FindWinsock() {
    if (Owner() == nullptr)
        return;
    for (int i = 0; i < Owner()->ComponentCount(); ++i) {
        if (auto* session = dynamic_cast<TqsWinsock*>(Owner()->Components(i)))
            FWinsock = session; // the last one in the owner's list wins
    }
}

void TqsWinsockComponent::SetWinsock(TqsWinsock* Value) {
    if (Value != FWinsock)
        FWinsock = Value;
}

void TqsWinsockComponent::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (AComponent == FWinsock && Operation == TOperation::opRemove)
        FWinsock = nullptr;
    if (FWinsock == nullptr && Operation == TOperation::opInsert)
        if (auto* session = dynamic_cast<TqsWinsock*>(AComponent))
            FWinsock = session;
}

void TqsWinsockComponent::Loaded() {
    TComponent::Loaded();
    if (FWinsock == nullptr)
        FindWinsock();
    if (FWinsock != nullptr)
        FWinsock->Startup();
}

void TqsWinsockComponent::CheckWinsock() {
    if (FWinsock == nullptr)
        FindWinsock();
    if (FWinsock == nullptr)
        throw EWinsockError("Program Error: Windows Sockets has not been activated");
    FWinsock->SetActive(true);
}
