#pragma once
// Binds the main-thread hand-over to Qt's event loop. Calls are queued and
// run in batches: a worker's post costs one lock and, only when the queue
// was empty, one event.

#include "core/Dispatcher.h"

#include <QObject>

#include <deque>
#include <mutex>

class TQtDispatcher : public QObject, public TDispatcher {
public:
    explicit TQtDispatcher(QObject* Parent = nullptr) : QObject(Parent) {}
    void Post(std::function<void()> Call) override;

private:
    void Drain();

    std::mutex FLock;
    std::deque<std::function<void()>> FQueue;
};
