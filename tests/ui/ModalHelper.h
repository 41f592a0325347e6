#pragma once
// Drives windows from a test: actions on the next modal window, run from
// the event loop that window runs, and waiting for the event loop. Each
// action says that one modal window is expected.

#include "tests/support/WidgetTestEnvironment.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

inline void WhenModalOpens(std::function<void(QWidget*)> Action, QWidget* Except = nullptr) {
    ExpectNextModalWindow();
    auto attempt = std::make_shared<std::function<void()>>();
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    *attempt = [Action, attempt, Except, test] {
        // A window that never came must not be taken for a later test's.
        if (::testing::UnitTest::GetInstance()->current_test_info() != test)
            return;
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != Except && modal->isVisible()) {
            Action(modal);
            return;
        }
        QTimer::singleShot(10, *attempt);
    };
    QTimer::singleShot(0, *attempt);
}

// Runs Action on the modal window that comes up next, then closes that
// window if the action left it open, so a failed check cannot hang the test.
inline void OnNextModal(std::function<void(QWidget*)> Action) {
    ExpectNextModalWindow();
    QTimer::singleShot(0, [Action] {
        QWidget* window = QApplication::activeModalWidget();
        ASSERT_NE(window, nullptr);
        QPointer<QWidget> guard(window);
        Action(window);
        if (guard && guard->isVisible())
            guard->close();
    });
}

// Runs the event loop until Done holds or Ms milliseconds have passed.
inline bool WaitUntil(const std::function<bool()>& Done, int Ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!Done()) {
        if (timer.elapsed() > Ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}
