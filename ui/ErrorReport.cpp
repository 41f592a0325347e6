#include "ui/ErrorReport.h"

#include "net/qsPingThread.h"
#include "platform/IcmpAccess.h"

#include <QMessageBox>

#include <cstdio>
#include <stdexcept>

namespace {

std::function<void(const QString&)> gDefaultHook;
std::function<void(const QString&)> gHook;

// Text is final: the full stop rule has been applied to the error's own part.
void Present(const QString& Text) {
    // The same words on stderr, for whoever started the program from a
    // terminal and for logs kept of it; one write, so reports stay whole.
    const QByteArray line = "Kestrava Sentrel: " + Text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    if (gHook) {
        gHook(Text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrava Sentrel"), Text,
                    QMessageBox::Ok);
    box.exec();
}

} // namespace

QString ErrorReportText(const QString& Message) {
    if (!Message.isEmpty() && Message.back() > QLatin1Char('.'))
        return Message + QLatin1Char('.');
    return Message;
}

void ShowErrorReport(const QString& Message) {
    Present(ErrorReportText(Message));
}

void ReportCurrentException() {
    try {
        throw;
    } catch (const EICMPError& e) {
        // A probe that cannot open its handle is nearly always a permission
        // the administrator has to give; say which. The advice ends in a
        // command line, so the full stop closes the error's own words only.
        QString text = ErrorReportText(QString::fromUtf8(e.what()));
        const std::string advice = platform::IcmpAccessAdvice();
        if (!advice.empty())
            text += QStringLiteral("\n\n") + QString::fromStdString(advice);
        Present(text);
    } catch (const std::exception& e) {
        ShowErrorReport(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowErrorReport(QStringLiteral("Unknown error"));
    }
}

void SetErrorReportHook(std::function<void(const QString&)> Hook) {
    gHook = Hook ? std::move(Hook) : gDefaultHook;
}

void SetDefaultErrorReportHook(std::function<void(const QString&)> Hook) {
    gDefaultHook = std::move(Hook);
    gHook = gDefaultHook;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        ReportCurrentException();
        return false;
    }
}
