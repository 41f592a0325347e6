#include "tests/support/WidgetTestEnvironment.h"

#include "ui/ErrorReport.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

int gNextModalsExpected = 0; // ExpectNextModalWindow calls not yet used up

void FailOnReport(const QString& Text) {
    ADD_FAILURE() << "Unexpected error report: " << Text.toStdString();
}

std::string Describe(QWidget* Window) {
    std::string text = std::string(Window->metaObject()->className()) + " \"" +
                       Window->windowTitle().toStdString() + "\"";
    if (auto* box = qobject_cast<QMessageBox*>(Window))
        text += ": " + box->text().toStdString();
    return text;
}

// Sees every window that opens modal, before its event loop runs.
class ModalWatch : public QObject {
public:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() != QEvent::Show || Event->spontaneous() || !Watched->isWidgetType())
            return false;
        auto* window = static_cast<QWidget*>(Watched);
        if (!window->isWindow() || !window->isModal())
            return false;
        if (gNextModalsExpected > 0) {
            --gNextModalsExpected;
            return false;
        }
        ADD_FAILURE() << "Unexpected modal window: " << Describe(window);
        // From the window's own event loop: exec() has not started it yet.
        QTimer::singleShot(0, window, [window] {
            if (auto* dialog = qobject_cast<QDialog*>(window))
                dialog->reject();
            else
                window->close();
        });
        return false;
    }
};

// Every test starts with nothing expected and stray reports failing it.
class ResetPerTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { Reset(); }
    void OnTestEnd(const ::testing::TestInfo&) override { Reset(); }
    static void Reset() {
        gNextModalsExpected = 0;
        SetErrorReportHook(nullptr);
    }
};

class WidgetEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        App = std::make_unique<TApplication>(Argc, Argv);
        QApplication::setQuitOnLastWindowClosed(false);
        Watch = std::make_unique<ModalWatch>();
        App->installEventFilter(Watch.get());
        SetDefaultErrorReportHook(FailOnReport);
    }
    void TearDown() override {
        SetDefaultErrorReportHook(nullptr);
        Watch.reset();
        App.reset();
    }

private:
    int Argc = 1;
    char Name[16] = "sentrel-tests";
    char* Argv[2] = {Name, nullptr};
    std::unique_ptr<TApplication> App;
    std::unique_ptr<ModalWatch> Watch;
};

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new WidgetEnvironment);
[[maybe_unused]] auto* const Listener = [] {
    auto* listener = new ResetPerTest;
    ::testing::UnitTest::GetInstance()->listeners().Append(listener);
    return listener;
}();

} // namespace

ExpectedErrorReports::ExpectedErrorReports() {
    SetErrorReportHook([this](const QString& Text) { Texts.push_back(Text); });
}

ExpectedErrorReports::~ExpectedErrorReports() {
    SetErrorReportHook(nullptr);
}

void ExpectNextModalWindow() {
    ++gNextModalsExpected;
}
