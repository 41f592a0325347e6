#pragma once
// The sockets session component, and the base of every component that needs
// a session: it finds one among its owner's components, starts it when
// loaded, and refuses socket work without one.

#include "framework/Component.h"
#include "framework/Exceptions.h"
#include "platform/Sockets.h"

class EWinsockError : public Exception {
public:
    using Exception::Exception;
};

class TqsWinsock : public TComponent {
public:
    explicit TqsWinsock(TComponent* AOwner);
    ~TqsWinsock() override;
    const char* ClassName() const override { return "TqsWinsock"; }

    bool Active() const { return FActive; }
    void SetActive(bool Value);
    void Startup();
    void Cleanup();
    void Loaded() override;

    // The message for a start-up result other than 0.
    static std::string StartupErrorMessage(int Result);

private:
    bool FActive = false;
    platform::WSAData FData;
};

class TqsWinsockComponent : public TComponent {
public:
    explicit TqsWinsockComponent(TComponent* AOwner);
    const char* ClassName() const override { return "TqsWinsockComponent"; }

    TqsWinsock* Winsock() const { return FWinsock; }
    void SetWinsock(TqsWinsock* Value);
    void Loaded() override;
    // Makes sure a session is active, or raises EWinsockError.
    void CheckWinsock();

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;
    void FindWinsock();

private:
    TqsWinsock* FWinsock = nullptr;
};
