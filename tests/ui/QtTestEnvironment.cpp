// The application object the widget tests need, created once, headless.

#include "ui/ErrorReport.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace {

class WidgetEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        App = std::make_unique<TApplication>(Argc, Argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { App.reset(); }

private:
    int Argc = 1;
    char Name[16] = "sentrel-tests";
    char* Argv[2] = {Name, nullptr};
    std::unique_ptr<TApplication> App;
};

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new WidgetEnvironment);

} // namespace
