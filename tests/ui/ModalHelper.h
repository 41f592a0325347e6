#pragma once
// Drives modal windows from a test: the action runs once the next modal
// window is on screen, from the event loop that window runs.

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

inline void WhenModalOpens(std::function<void(QWidget*)> Action, QWidget* Except = nullptr) {
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [Action, attempt, Except] {
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
    QTimer::singleShot(0, [Action] {
        QWidget* window = QApplication::activeModalWidget();
        ASSERT_NE(window, nullptr);
        QPointer<QWidget> guard(window);
        Action(window);
        if (guard && guard->isVisible())
            guard->close();
    });
}
