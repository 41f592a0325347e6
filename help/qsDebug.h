#pragma once
// The debug message channel: a sender hands each message to the receiver,
// which creates the debug window on the first message and passes every
// message on to it. Both exist for the whole run (qsDebug::Initialize at
// start, qsDebug::Finalize at end); nothing sends through them in normal
// operation, so the window appears only for diagnostics added later.

#include <QString>

#include <cstdint>
#include <memory>

enum TDebugLevel : uint8_t { dlTrace = 0, dlInfo = 1, dlWarning = 2, dlError = 3 };

class IqsDebugSender {
public:
    virtual ~IqsDebugSender() = default;
    virtual void Send(TDebugLevel Level, const QString& Message) = 0;
};

class IqsDebugReceiver {
public:
    virtual ~IqsDebugReceiver() = default;
    virtual void Receive(TDebugLevel Level, const QString& Message) = 0;
};

class IqsDebugLog {
public:
    virtual ~IqsDebugLog() = default;
    virtual void Log(TDebugLevel Level, const QString& Message) = 0;
};

class TDebugForm;

class TqsDebugSender : public IqsDebugSender {
public:
    // Passes the message to DebugReceiver. The window lives on the main
    // thread, so a message sent from another thread is queued to it; one
    // sent while there is no receiver or no application is dropped.
    void Send(TDebugLevel Level, const QString& Message) override;
};

class TqsDebugReceiver : public IqsDebugReceiver {
public:
    TqsDebugReceiver();
    // Destroys the window, if one was created.
    ~TqsDebugReceiver() override;
    TqsDebugReceiver(const TqsDebugReceiver&) = delete;
    TqsDebugReceiver& operator=(const TqsDebugReceiver&) = delete;

    // Creates the window on the first message (main thread only).
    void Receive(TDebugLevel Level, const QString& Message) override;

    // The window, or nullptr before the first message.
    TDebugForm* DebugForm() const { return FDebugForm.get(); }

private:
    std::unique_ptr<TDebugForm> FDebugForm;
};

// The process-wide channel; nullptr outside Initialize..Finalize.
extern TqsDebugReceiver* DebugReceiver;
extern TqsDebugSender* DebugSender;

namespace qsDebug {
// Creates DebugReceiver, then DebugSender.
void Initialize();
// Destroys DebugSender, then DebugReceiver (and with it the window).
void Finalize();
} // namespace qsDebug
