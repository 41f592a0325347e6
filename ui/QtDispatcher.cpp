#include "ui/QtDispatcher.h"

#include "ui/ErrorReport.h"

#include <QMetaObject>

void TQtDispatcher::Post(std::function<void()> Call) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(FLock);
        first = FQueue.empty();
        FQueue.push_back(std::move(Call));
    }
    if (first)
        QMetaObject::invokeMethod(
            this, [this] { Drain(); }, Qt::QueuedConnection);
}

void TQtDispatcher::Drain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(FLock);
        batch.swap(FQueue);
    }
    // Each call is guarded on its own, so one failing handler loses no other reply.
    for (auto& call : batch)
        Guarded(call);
}
