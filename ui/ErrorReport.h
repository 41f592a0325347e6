#pragma once
// The application's one error report: every error that escapes a handler
// ends here, is shown in a message box captioned "Kestrava Sentrel" with a
// stop icon and an OK button, and the program goes on. Each report is also
// written to stderr as "Kestrava Sentrel: <text>" and a newline.

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

// The text shown: the message with a full stop appended when its last
// character sorts after the full stop.
QString ErrorReportText(const QString& Message);
void ShowErrorReport(const QString& Message);
// Reports the error being handled (call from a catch block). An ICMP error
// carries, after a blank line, what the administrator has to change when
// this user may not send ICMP echoes at all.
void ReportCurrentException();

// Runs Handler and reports whatever it throws.
template <typename F> void Guarded(F&& Handler) {
    try {
        Handler();
    } catch (...) {
        ReportCurrentException();
    }
}

// Test hook: receives each report instead of a message box; empty restores
// the default hook.
void SetErrorReportHook(std::function<void(const QString& Text)> Hook);
// Test hook: what an empty SetErrorReportHook restores, and the hook from
// now on; empty means the message box. A test program sets one that fails
// the running test, so that a stray report cannot wait for a click.
void SetDefaultErrorReportHook(std::function<void(const QString& Text)> Hook);

// The application object: errors escaping any event handler are reported,
// never fatal.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* Receiver, QEvent* Event) override;
};
