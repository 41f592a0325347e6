// Host and description texts that no sane device has, through the whole
// program: settings file, list, scanning, logs, log file, device window,
// options dialog and back to the settings file. Nothing may crash, and every
// text must come back byte for byte.

#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "platform/Sockets.h"
#include "tests/support/HostileTexts.h"
#include "tests/support/TempConfig.h"
#include "tests/ui/ModalHelper.h"
#include "ui/AdminOptionsFM.h"
#include "ui/LogViewerCM.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"
#include "ui/TextCodec.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

class HostileDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMain::SetTrayAvailability(true);
        // No name server is ever asked; these texts could not be names anyway.
        platform::SetLookupHook([](const std::string&) { return std::optional<uint32_t>(); });
        TSentrelSettings settings(nullptr);
        settings.AutoScan = false;
        for (const std::string& text : HostileTexts()) {
            TDeviceData* device = settings.Devices()->Add();
            device->SetHost(text);
            device->SetDescription(text + " (description)");
        }
        settings.Save();
    }
    void TearDown() override {
        platform::SetLookupHook(nullptr);
        TMain::SetTrayAvailability(std::nullopt);
    }

    static std::multiset<std::string> Expected(const std::string& suffix = "") {
        std::multiset<std::string> texts;
        for (const std::string& text : HostileTexts())
            texts.insert(text + suffix);
        return texts;
    }

    TempConfig Config;
};

TEST_F(HostileDataTest, EveryTextComesBackAsItWentIn) {
    TMain main({});
    TOptionsForm options;
    main.OptionsForm = &options;
    const size_t count = HostileTexts().size();
    ASSERT_EQ(main.List->Count(), static_cast<int>(count));

    // Shown: each row holds its text exactly.
    std::multiset<std::string> captions, descriptions;
    for (int i = 0; i < main.List->Count(); ++i) {
        captions.insert(ToBytes(main.List->Item(i)->Caption()));
        descriptions.insert(ToBytes(main.List->Item(i)->SubItem(1)));
    }
    EXPECT_EQ(captions, Expected());
    EXPECT_EQ(descriptions, Expected(" (description)"));

    // Scanned and logged: names that never resolve answer "Bad Destination".
    main.TimerTimer();
    main.StartActionExecute();
    ASSERT_TRUE(WaitUntil([&] { return main.Log->Count() == static_cast<int>(count); }));
    std::multiset<std::string> logged;
    for (int i = 0; i < main.Log->Count(); ++i) {
        logged.insert(main.Log->Records(i).Host);
        EXPECT_EQ(main.Log->Records(i).Status, prBadDestination);
    }
    EXPECT_EQ(logged, Expected());

    // Saved to a log file: one line per record, each host's bytes in it.
    const std::string logFile = Config.Home() + "/system.log";
    WhenModalOpens([&](QWidget*) {
        TLogViewerForm* form = main.LogViewer->Form();
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->Lines().size(), static_cast<int>(count));
        form->SaveToFile(QString::fromStdString(logFile));
        form->CloseBtn->click();
    });
    main.ViewLogActionExecute();
    const std::string saved = ReadFile(logFile);
    size_t lines = 0;
    for (size_t at = saved.find("\r\n"); at != std::string::npos; at = saved.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, count);
    for (const std::string& text : HostileTexts())
        EXPECT_NE(saved.find(VisibleText(text)), std::string::npos) << text.substr(0, 30);

    // Through the device window: the description changes, the host stays exactly.
    main.StopActionExecute();
    TListItem* strayBytes = nullptr;
    WhenModalOpens([&](QWidget*) {
        for (int i = 0; i < options.DeviceList->Count(); ++i)
            if (ToBytes(options.DeviceList->Item(i)->Caption()) == HostileTexts()[2])
                strayBytes = options.DeviceList->Item(i);
        ASSERT_NE(strayBytes, nullptr);
        options.DeviceList->SetSelected(strayBytes);
        WhenModalOpens(
            [](QWidget* modal) {
                auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
                ASSERT_NE(form, nullptr);
                form->Description->setText(form->Description->text() + QStringLiteral(" edited"));
                form->OKBtn->click();
            },
            &options);
        options.EditDeviceBtnClick();
        // And a new device typed with the same stray bytes and a line break.
        WhenModalOpens(
            [](QWidget* modal) {
                auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
                ASSERT_NE(form, nullptr);
                form->Host->setText(ToQString("typed \xff\n%n"));
                // Blanks and a line break look like a list: kept as one host.
                OnNextModal([](QWidget* box) {
                    for (QAbstractButton* button : qobject_cast<QMessageBox*>(box)->buttons())
                        if (button->text() == QStringLiteral("Add as &One Host"))
                            button->click();
                });
                form->OKBtn->click();
            },
            &options);
        options.AddDeviceBtnClick();
        options.OKBtn->click();
    });
    main.OptionsActionExecute();

    // Saved to settings and read back: every text as it went in.
    TSentrelSettings reloaded(nullptr);
    reloaded.Load();
    std::multiset<std::string> hosts, texts;
    std::map<std::string, std::string> descriptionOf;
    for (int i = 0; i < reloaded.Devices()->Count(); ++i) {
        hosts.insert(reloaded.Devices()->Items(i)->Host());
        descriptionOf[reloaded.Devices()->Items(i)->Host()] =
            reloaded.Devices()->Items(i)->Description();
    }
    std::multiset<std::string> expected = Expected();
    expected.insert("typed \xff\n%n");
    EXPECT_EQ(hosts, expected);
    EXPECT_EQ(descriptionOf[HostileTexts()[2]], HostileTexts()[2] + " (description) edited");
    EXPECT_EQ(descriptionOf[HostileTexts()[0]], HostileTexts()[0] + " (description)");
}

} // namespace
