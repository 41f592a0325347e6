#include "ui/ErrorReport.h"

#include <QMessageBox>

#include <stdexcept>

namespace {
std::function<void(const QString&)> gHook;
} // namespace

QString ErrorReportText(const QString& Message) {
    if (!Message.isEmpty() && Message.back() > QLatin1Char('.'))
        return Message + QLatin1Char('.');
    return Message;
}

void ShowErrorReport(const QString& Message) {
    const QString text = ErrorReportText(Message);
    if (gHook) {
        gHook(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrava Sentrel"), text,
                    QMessageBox::Ok);
    box.exec();
}

void ReportCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowErrorReport(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowErrorReport(QStringLiteral("Unknown error"));
    }
}

void SetErrorReportHook(std::function<void(const QString&)> Hook) { gHook = std::move(Hook); }

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        ReportCurrentException();
        return false;
    }
}
