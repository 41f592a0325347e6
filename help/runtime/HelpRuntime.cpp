// The help runtime, hhctrl.ocx: the module the program loads by name for
// every help request (platform/HtmlHelpApi.h gives the entries). It shows the
// pages in one help window of its own, made on the first request and reused
// by every later one. It runs in the program's QApplication; without one (a
// console program) it does nothing and returns 0.

#include "help/runtime/HelpWindow.h"
#include "platform/HtmlHelpApi.h"

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QThread>

#include "help/hh_funcs.h"
#include <cwchar>

// The runtime's file version, which the diagnostic log reports.
SENTREL_FILE_VERSION(1, 0, 0, 0);

namespace {

// The command that closes every help window (its value in the HTML Help API).
constexpr unsigned HH_CLOSE_ALL = 0x0012;

QPointer<helpruntime::THelpWindow> gWindow;

void CloseWindow() {
    delete gWindow.data();
}

// Unloading the module takes its window with it while the application
// still runs; once the application is gone its windows are gone too.
struct TModuleEnd {
    TModuleEnd() = default;
    TModuleEnd(const TModuleEnd&) = delete;
    TModuleEnd& operator=(const TModuleEnd&) = delete;
    ~TModuleEnd() {
        if (QCoreApplication::instance() != nullptr)
            CloseWindow();
    }
};
TModuleEnd gModuleEnd; // after gWindow, so it ends first

uintptr_t Run(const QString& File, unsigned Command) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr || QThread::currentThread() != app->thread())
        return 0;
    if (Command == HH_CLOSE_ALL) {
        CloseWindow();
        return 0;
    }
    if (Command != HH_DISPLAY_TOPIC || File.isEmpty())
        return 0;
    if (gWindow == nullptr)
        gWindow = new helpruntime::THelpWindow();
    gWindow->ShowRequest(helpruntime::ParseHelpRequest(File));
    return static_cast<uintptr_t>(gWindow->winId());
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) uintptr_t HtmlHelpA(uintptr_t /*Caller*/, const char* File,
                                                           unsigned Command, uintptr_t /*Data*/) {
    try {
        return Run(File != nullptr ? QFile::decodeName(File) : QString(), Command);
    } catch (...) {
        return 0;
    }
}

__attribute__((visibility("default"))) uintptr_t
HtmlHelpW(uintptr_t /*Caller*/, const wchar_t* File, unsigned Command, uintptr_t /*Data*/) {
    try {
        return Run(File != nullptr
                       ? QString::fromWCharArray(File, static_cast<qsizetype>(std::wcslen(File)))
                       : QString(),
                   Command);
    } catch (...) {
        return 0;
    }
}

} // extern "C"
