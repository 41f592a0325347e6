#pragma once
// Drives modal windows from a test: the action runs once the next modal
// window is on screen, from the event loop that window runs.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

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
