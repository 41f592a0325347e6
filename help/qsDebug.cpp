#include "help/qsDebug.h"

#include "help/DebugFM.h"

#include <QCoreApplication>
#include <QThread>

TqsDebugReceiver* DebugReceiver = nullptr;
TqsDebugSender* DebugSender = nullptr;

namespace {

void Deliver(TDebugLevel Level, const QString& Message) {
    if (DebugReceiver != nullptr)
        DebugReceiver->Receive(Level, Message);
}

} // namespace

void TqsDebugSender::Send(TDebugLevel Level, const QString& Message) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return;
    if (QThread::currentThread() == app->thread()) {
        Deliver(Level, Message);
        return;
    }
    // The receiver is looked up again on delivery: it may be gone by then.
    QMetaObject::invokeMethod(
        app, [Level, Message] { Deliver(Level, Message); }, Qt::QueuedConnection);
}

TqsDebugReceiver::TqsDebugReceiver() = default;

TqsDebugReceiver::~TqsDebugReceiver() = default;

void TqsDebugReceiver::Receive(TDebugLevel Level, const QString& Message) {
    if (!FDebugForm)
        FDebugForm = std::make_unique<TDebugForm>();
    FDebugForm->Log(Level, Message);
}

namespace qsDebug {

void Initialize() {
    if (DebugReceiver == nullptr)
        DebugReceiver = new TqsDebugReceiver;
    if (DebugSender == nullptr)
        DebugSender = new TqsDebugSender;
}

void Finalize() {
    delete DebugSender;
    DebugSender = nullptr;
    delete DebugReceiver;
    DebugReceiver = nullptr;
}

} // namespace qsDebug
