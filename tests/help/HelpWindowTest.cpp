// The help runtime as the program loads it: the real build/bin/hhctrl.ocx
// and the help folder build/bin/Sentrel.chm beside the test program,
// headless (offscreen). The window is found by its object names only: its
// class lives inside the module.

#include "help/hh.h"

#include "platform/Directories.h"
#include "platform/Process.h"
#include "tests/support/TempConfig.h"
#include "tests/support/WidgetTestEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QWindow>
// Mouse clicks through the window system, where a window blocked by a modal
// dialog does not get them (not straight to the widget).
#define QTEST_QPA_MOUSE_HANDLING
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <thread>

namespace fs = std::filesystem;

// Readable failure messages.
void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}

namespace {

// The offscreen platform says on every raise() that it cannot; nothing else
// is kept back.
QtMessageHandler gPreviousHandler = nullptr;
void QuietOffscreen(QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
    if (Message.startsWith(QLatin1String("This plugin does not support")))
        return;
    if (gPreviousHandler != nullptr)
        gPreviousHandler(Type, Context, Message);
}

// The application object comes from the widget tests' environment; each
// test unloads the help module itself, so it goes before the application.
class HelpWindowEnvironment : public ::testing::Environment {
public:
    void SetUp() override { gPreviousHandler = qInstallMessageHandler(QuietOffscreen); }
    void TearDown() override { qInstallMessageHandler(gPreviousHandler); }
};

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new HelpWindowEnvironment);

QString Text(const std::string& Value) {
    return QString::fromStdString(Value);
}

QString HelpFolder() {
    return Text(platform::ExecutableDirectory()) + QStringLiteral("Sentrel.chm");
}

const QList<QPair<int, QString>> Topics = {
    {100, QStringLiteral("system_log.html")},
    {110, QStringLiteral("device_log.html")},
    {200, QStringLiteral("options_dialog.html")},
    {210, QStringLiteral("general_tab.html")},
    {220, QStringLiteral("echo_settings_tab.html")},
    {230, QStringLiteral("devices_tab.html")},
    {235, QStringLiteral("import_devices.html")},
    {240, QStringLiteral("log_settings_tab.html")},
    {250, QStringLiteral("alerts_tab.html")},
    {255, QStringLiteral("metrics.html")},
    {290, QStringLiteral("network_deployment.html")},
    {300, QStringLiteral("add_device_dialog.html")},
    {310, QStringLiteral("device_properties_dialog.html")},
};

class HelpWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
        // The runtime is found the way the program finds it: no classes.reg
        // (a fresh settings folder), so the system directory, which is the
        // program's own folder.
        hh::LoadHtmlHelp();
        ASSERT_NE(hh::HelpLibraryHandle, nullptr) << hh::FindHtmlHelpLibrary();
        ASSERT_NE(hh::HtmlHelp, nullptr);
        ASSERT_TRUE(QFileInfo(HelpFolder()).isDir()) << HelpFolder().toStdString();
    }
    void TearDown() override {
        // Unloading the runtime takes its window away.
        hh::UnloadHtmlHelp();
        QCoreApplication::processEvents();
        EXPECT_EQ(FindWindow(), nullptr);
    }

    static QWidget* FindWindow() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("SentrelHelpWindow"))
                return widget;
        return nullptr;
    }
    static int WindowCount() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->objectName() == QLatin1String("SentrelHelpWindow") ? 1 : 0;
        return count;
    }
    static QTextBrowser* Browser() {
        QWidget* window = FindWindow();
        return window != nullptr ? window->findChild<QTextBrowser*>(QStringLiteral("Browser"))
                                 : nullptr;
    }
    static QAction* Action(const char* Name) {
        QWidget* window = FindWindow();
        return window != nullptr ? window->findChild<QAction*>(QLatin1String(Name)) : nullptr;
    }
    static QString ShownFile() {
        return Browser() != nullptr ? Browser()->source().toLocalFile() : QString();
    }
    static QString ShownText() {
        return Browser() != nullptr ? Browser()->toPlainText() : QString();
    }
    static void AskForContext(int Context) {
        bool callHelp = true;
        hh::ApplicationEventsHelp(0, Context, callHelp);
        EXPECT_FALSE(callHelp);
        QCoreApplication::processEvents();
    }
    static void AskFor(const QString& Request) {
        hh::HtmlHelp(0, QFile::encodeName(Request).constData(), HH_DISPLAY_TOPIC, 0);
        QCoreApplication::processEvents();
    }
    static QString Page(const QString& Name) { return HelpFolder() + QLatin1Char('/') + Name; }

    TempConfig Config;
};

// A modal dialog, as the options dialog is while its Help button is pressed.
std::unique_ptr<QDialog> ModalDialog() {
    ExpectNextModalWindow();
    auto dialog = std::make_unique<QDialog>();
    dialog->setWindowTitle(QStringLiteral("Sentrel Administration"));
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->resize(339, 316);
    dialog->show();
    QCoreApplication::processEvents();
    return dialog;
}

// The href and src targets of an HTML page.
QStringList LinksOf(const QString& Html) {
    QStringList links;
    static const QRegularExpression link(QStringLiteral("(?:href|src)\\s*=\\s*\"([^\"]*)\""),
                                         QRegularExpression::CaseInsensitiveOption);
    for (auto it = link.globalMatch(Html); it.hasNext();)
        links << it.next().captured(1);
    return links;
}

QString ReadFile(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

} // namespace

TEST_F(HelpWindow, TheDevicesTabOfTheOptionsDialogOpensItsPage) {
    AskForContext(230);
    ASSERT_NE(FindWindow(), nullptr);
    EXPECT_TRUE(FindWindow()->isVisible());
    EXPECT_EQ(FindWindow()->parentWidget(), nullptr); // owned by no window
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("devices_tab.html")));
    EXPECT_TRUE(ShownText().contains(QStringLiteral("Devices")));
    EXPECT_FALSE(FindWindow()->windowTitle().isEmpty());
    EXPECT_EQ(FindWindow()->windowTitle(), Browser()->documentTitle());
}

TEST_F(HelpWindow, ThePermissionsTabOfTheOptionsDialogOpensTheNetworkDeploymentPage) {
    AskForContext(290);
    ASSERT_NE(Browser(), nullptr);
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("network_deployment.html")));
    EXPECT_TRUE(ShownText().contains(QStringLiteral("Permissions")));
}

TEST_F(HelpWindow, EveryContextOpensItsPageAndAnyOtherTheDefaultPage) {
    for (const auto& [context, page] : Topics) {
        SCOPED_TRACE(context);
        AskForContext(context);
        ASSERT_NE(Browser(), nullptr);
        EXPECT_EQ(ShownFile(), Page(page));
        EXPECT_FALSE(Browser()->documentTitle().contains(QStringLiteral("not found")));
        EXPECT_GT(ShownText().size(), 500); // a page with something to say
    }
    AskForContext(5);
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("index.html")));
    hh::HelpActionExecute();
    QCoreApplication::processEvents();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("index.html")));
}

TEST_F(HelpWindow, EveryRequestReusesTheOneWindowAndBringsItBack) {
    AskForContext(210);
    QWidget* first = FindWindow();
    ASSERT_NE(first, nullptr);
    first->close();
    EXPECT_FALSE(first->isVisible());
    AskForContext(220);
    EXPECT_EQ(FindWindow(), first);
    EXPECT_EQ(WindowCount(), 1);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("echo_settings_tab.html")));

    first->showMinimized();
    QCoreApplication::processEvents();
    AskForContext(220);
    EXPECT_FALSE(first->isMinimized());
}

TEST_F(HelpWindow, ItStaysOpenAfterTheDialogThatAskedForItCloses) {
    auto dialog = ModalDialog();
    AskForContext(230); // the dialog's Help button on the Devices tab
    QWidget* window = FindWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());

    dialog->close();
    dialog.reset();
    QCoreApplication::processEvents();
    ASSERT_EQ(FindWindow(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("devices_tab.html")));
}

TEST_F(HelpWindow, ItCanBeUsedWhileTheModalDialogThatAskedForItIsOpen) {
    AskForContext(210);
    auto dialog = ModalDialog();
    AskForContext(230);
    QWidget* window = FindWindow();
    ASSERT_NE(window, nullptr);
    auto* back = window->findChild<QToolButton*>(QStringLiteral("BackButton"));
    ASSERT_NE(back, nullptr);
    ASSERT_TRUE(back->isEnabled());
    // A real click, through the window system: a window blocked by the
    // modal dialog would not get it.
    QTest::mouseClick(back, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("general_tab.html")));
}

TEST_F(HelpWindow, ItCanBeUsedWhileAModalDialogOpenedAfterItIsOpen) {
    AskForContext(210);
    AskForContext(240);
    auto dialog = ModalDialog();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    auto* back = FindWindow()->findChild<QToolButton*>(QStringLiteral("BackButton"));
    ASSERT_NE(back, nullptr);
    QTest::mouseClick(back, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("general_tab.html")));
}

TEST_F(HelpWindow, BackForwardAndHomeMoveThroughThePagesShown) {
    AskForContext(230);
    AskForContext(290);
    AskForContext(100);
    QAction* back = Action("BackAction");
    QAction* forward = Action("ForwardAction");
    QAction* home = Action("HomeAction");
    ASSERT_NE(back, nullptr);
    ASSERT_NE(forward, nullptr);
    ASSERT_NE(home, nullptr);
    EXPECT_TRUE(back->isEnabled());
    EXPECT_FALSE(forward->isEnabled());

    back->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("network_deployment.html")));
    EXPECT_TRUE(forward->isEnabled());
    back->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("devices_tab.html")));
    EXPECT_FALSE(back->isEnabled());
    forward->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("network_deployment.html")));
    EXPECT_EQ(FindWindow()->windowTitle(), Browser()->documentTitle());

    home->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("index.html")));
    back->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("network_deployment.html")));
}

TEST_F(HelpWindow, ALinkLeadsToItsPageAndBackReturns) {
    AskForContext(5);
    QTextBrowser* browser = Browser();
    ASSERT_NE(browser, nullptr);
    // Follow the first link by keyboard, as a user without a mouse would.
    browser->setFocus();
    QTest::keyClick(browser, Qt::Key_Tab);
    const QString link = browser->textCursor().charFormat().anchorHref();
    ASSERT_FALSE(link.isEmpty());
    QTest::keyClick(browser, Qt::Key_Return);
    QCoreApplication::processEvents();
    const QString target = QFileInfo(Page(QStringLiteral("index.html"))).dir().filePath(link);
    EXPECT_EQ(ShownFile(), QDir::cleanPath(target));
    Action("BackAction")->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("index.html")));
}

TEST_F(HelpWindow, AMissingPageIsReportedNamingWhatWasLookedFor) {
    AskFor(HelpFolder() + QStringLiteral("::/no_such_page.html"));
    ASSERT_NE(Browser(), nullptr);
    EXPECT_TRUE(FindWindow()->isVisible());
    EXPECT_EQ(Browser()->documentTitle(), QStringLiteral("Help page not found"));
    EXPECT_TRUE(ShownText().contains(Page(QStringLiteral("no_such_page.html"))))
        << ShownText().toStdString();
    EXPECT_TRUE(ShownText().contains(QStringLiteral("no_such_page.html")));
    // Back leads to nowhere; Home to the contents.
    Action("HomeAction")->trigger();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("index.html")));
}

TEST_F(HelpWindow, AMissingHelpFileIsReportedNamingWhatWasLookedFor) {
    const QString folder = Text(Config.Home()) + QStringLiteral("/elsewhere/Sentrel.chm");
    AskFor(folder + QStringLiteral("::/devices_tab.html"));
    ASSERT_NE(Browser(), nullptr);
    EXPECT_EQ(Browser()->documentTitle(), QStringLiteral("Help file not found"));
    EXPECT_TRUE(ShownText().contains(folder)) << ShownText().toStdString();
    EXPECT_TRUE(ShownText().contains(folder + QStringLiteral("/devices_tab.html")));

    AskFor(folder); // the default page
    EXPECT_EQ(Browser()->documentTitle(), QStringLiteral("Help file not found"));
    EXPECT_TRUE(ShownText().contains(folder + QStringLiteral("/index.html")));

    // Installed since: the same request shows the page.
    fs::create_directories(folder.toStdString());
    std::ofstream(folder.toStdString() + "/index.html")
        << "<html><head><title>Installed</title></head><body>Now here.</body></html>";
    AskFor(folder);
    EXPECT_EQ(Browser()->documentTitle(), QStringLiteral("Installed"));
}

TEST_F(HelpWindow, AHelpFileThatIsNotAFolderIsReported) {
    const QString file = Text(Config.Home()) + QStringLiteral("/Sentrel.chm");
    std::ofstream(file.toStdString()) << "ITSF";
    AskFor(file + QStringLiteral("::/general_tab.html"));
    ASSERT_NE(Browser(), nullptr);
    EXPECT_EQ(Browser()->documentTitle(), QStringLiteral("Help file not readable"));
    EXPECT_TRUE(ShownText().contains(file + QStringLiteral("/general_tab.html")));
}

TEST_F(HelpWindow, TheWideEntryShowsTheSamePages) {
    ASSERT_NE(hh::HtmlHelpW, nullptr);
    const std::wstring request =
        (HelpFolder() + QStringLiteral("::/log_settings_tab.html")).toStdWString();
    EXPECT_NE(hh::HtmlHelpW(0, request.c_str(), HH_DISPLAY_TOPIC, 0), 0u);
    QCoreApplication::processEvents();
    EXPECT_EQ(ShownFile(), Page(QStringLiteral("log_settings_tab.html")));
}

TEST_F(HelpWindow, ARequestFromAnotherThreadDoesNothing) {
    uintptr_t result = 1;
    const std::string request =
        (HelpFolder() + QStringLiteral("::/devices_tab.html")).toStdString();
    std::thread worker([&] { result = hh::HtmlHelp(0, request.c_str(), HH_DISPLAY_TOPIC, 0); });
    worker.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(FindWindow(), nullptr);
}

TEST_F(HelpWindow, EveryLinkOfEveryPageLeadsToAnExistingPage) {
    const QDir folder(HelpFolder());
    const QStringList pages = folder.entryList({QStringLiteral("*.html")}, QDir::Files);
    ASSERT_FALSE(pages.isEmpty());
    int checked = 0;
    for (const QString& page : pages) {
        SCOPED_TRACE(page.toStdString());
        const QString html = ReadFile(folder.filePath(page));
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("<title>[^<]+</title>")).match(html).hasMatch());
        for (const QString& link : LinksOf(html)) {
            SCOPED_TRACE(link.toStdString());
            if (link.startsWith(QLatin1String("http:")) ||
                link.startsWith(QLatin1String("https:")) ||
                link.startsWith(QLatin1String("mailto:")))
                continue;
            const QString path = link.section(QLatin1Char('#'), 0, 0);
            const QString anchor = link.section(QLatin1Char('#'), 1);
            const QString target = path.isEmpty() ? folder.filePath(page) : folder.filePath(path);
            ASSERT_TRUE(QFileInfo(target).isFile()) << target.toStdString();
            if (!anchor.isEmpty()) {
                EXPECT_TRUE(ReadFile(target).contains(QStringLiteral("id=\"%1\"").arg(anchor)))
                    << "no anchor " << anchor.toStdString();
            }
            ++checked;
        }
        // And the window shows it without complaint.
        AskFor(HelpFolder() + QStringLiteral("::/") + page);
        EXPECT_EQ(ShownFile(), folder.filePath(page));
        EXPECT_FALSE(Browser()->documentTitle().contains(QStringLiteral("not found")));
    }
    EXPECT_GT(checked, 50);
}

TEST_F(HelpWindow, TheDefaultPageLinksEveryOtherPageAndEveryPageLinksBackToIt) {
    const QDir folder(HelpFolder());
    const QStringList pages = folder.entryList({QStringLiteral("*.html")}, QDir::Files);
    QSet<QString> linked;
    for (const QString& link : LinksOf(ReadFile(folder.filePath(QStringLiteral("index.html")))))
        linked.insert(link.section(QLatin1Char('#'), 0, 0));
    for (const QString& page : pages) {
        if (page == QLatin1String("index.html"))
            continue;
        EXPECT_TRUE(linked.contains(page)) << page.toStdString();
        EXPECT_TRUE(LinksOf(ReadFile(folder.filePath(page))).contains(QStringLiteral("index.html")))
            << page.toStdString();
    }
    for (const auto& topic : Topics)
        EXPECT_TRUE(pages.contains(topic.second)) << topic.second.toStdString();
}
