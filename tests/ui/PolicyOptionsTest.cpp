// The options dialog over settings that an administrator's policy locks.

#include "core/SentrelSettingsCM.h"
#include "platform/FileTrust.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempConfig.h"
#include "tests/support/WidgetTestEnvironment.h"
#include "ui/AdminOptionsFM.h"
#include "ui/ListView.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"
#include "ui/SpinEdit.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

class PolicyOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Run by a user other than root, the test's own files stand for root's.
        platform::SetTrustedOwner(static_cast<long>(getuid()));
        TOptionsForm::SetConfirmHook([this](const QString&) {
            ++Questions;
            return true;
        });
        const std::string machine = "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0";
        Config.Write(Config.PolicyFile(),
                     "Windows Registry Editor Version 5.00\n\n" + machine +
                         "]\n\"PingInterval\"=dword:0000003c\n"
                         "\"AllowDeviceChanges\"=dword:00000000\n" +
                         machine + "\\Alerts]\n\"Notify\"=dword:00000000\n" + machine +
                         "\\Metrics]\n\"Address\"=\"127.0.0.1:9437\"\n" + machine +
                         "\\Devices\\gw]\n\"Host\"=\"gw\"\n\"Monitored\"=dword:00000001\n");
        chmod(Config.PolicyFile().c_str(), 0644);
        for (std::filesystem::path folder =
                 std::filesystem::path(Config.PolicyFile()).parent_path();
             folder != Config.Home(); folder = folder.parent_path())
            chmod(folder.c_str(), 0755);
        Config.Write(Config.SettingsFile(),
                     std::string(QuietSettings) +
                         "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\m]\n"
                         "\"Host\"=\"mine\"\n\"Description\"=\"\"\n"
                         "\"DeviceType\"=dword:00000000\n\"Monitored\"=dword:00000001\n");
        Settings.Load();
    }
    void TearDown() override {
        platform::SetTrustedOwner(-1);
        TOptionsForm::SetConfirmHook(nullptr);
        TMain::SetTrayAvailability(std::nullopt);
    }

    // Whether Page shows the administrator's note.
    static bool Noted(QWidget* Page) {
        for (const QLabel* label : Page->findChildren<QLabel*>())
            if (label->text() == QStringLiteral("Set by your administrator.") &&
                label->isVisibleTo(Page))
                return true;
        return false;
    }

    TListItem* Row(const QString& Host) const {
        for (int i = 0; i < Form.DeviceList->Count(); ++i)
            if (Form.DeviceList->Item(i)->Caption() == Host)
                return Form.DeviceList->Item(i);
        return nullptr;
    }

    TempConfig Config;
    TSentrelSettings Settings{nullptr};
    TOptionsForm Form;
    int Questions = 0;
};

TEST_F(PolicyOptionsTest, LockedControlsAreDisabledWithANoteAndOKLeavesThemAsThePolicySays) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    EXPECT_FALSE(Form.PingInterval->isEnabled());
    EXPECT_TRUE(Form.IPTimeToLive->isEnabled());
    EXPECT_FALSE(Form.AllowDeviceChanges->isEnabled());
    EXPECT_TRUE(Form.AllowEchoChange->isEnabled());
    EXPECT_FALSE(Form.Notify->isEnabled());
    EXPECT_TRUE(Form.Sound->isEnabled());
    EXPECT_FALSE(Form.MetricsAddress->isEnabled());
    EXPECT_EQ(Form.MetricsAddress->text(), QStringLiteral("127.0.0.1:9437"));
    EXPECT_TRUE(Noted(Form.EchoTab));
    EXPECT_TRUE(Noted(Form.PermissionsTab));
    EXPECT_TRUE(Noted(Form.AlertsTab));
    EXPECT_FALSE(Noted(Form.GeneralTab));
    EXPECT_FALSE(Noted(Form.LogSettingsTab));

    // The policy's device can be neither edited, removed nor unchecked.
    TListItem* gw = Row(QStringLiteral("gw"));
    ASSERT_NE(gw, nullptr);
    EXPECT_EQ(Form.DeviceList->OnToolTip(gw), QStringLiteral("Required by your administrator."));
    Form.DeviceList->SetSelected(gw);
    Form.AppEventsIdle();
    EXPECT_FALSE(Form.EditDeviceBtn->isEnabled());
    EXPECT_FALSE(Form.RemoveDeviceBtn->isEnabled());
    Form.RemoveDeviceBtnClick();
    EXPECT_EQ(Questions, 0);
    gw->SetChecked(false);
    EXPECT_TRUE(gw->Checked());
    Form.DeviceList->SetSelected(Row(QStringLiteral("mine")));
    Form.AppEventsIdle();
    EXPECT_TRUE(Form.RemoveDeviceBtn->isEnabled());

    // OK with every control changed, disabled or not.
    Form.PingInterval->SetValue(7);
    Form.AllowDeviceChanges->setChecked(true);
    Form.Notify->setChecked(true);
    Form.IPTimeToLive->SetValue(99);
    Form.MetricsAddress->setText(QStringLiteral("no address")); // locked: not even checked
    Form.OKBtnClick();
    EXPECT_EQ(Settings.PingInterval, 60);
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_EQ(saved.PingInterval, 60);
    EXPECT_FALSE(saved.AllowDeviceChanges);
    EXPECT_FALSE(saved.Alerts.Notify);
    EXPECT_EQ(saved.IPTimeToLive, 99);
    EXPECT_EQ(saved.Metrics.Address, "127.0.0.1:9437");
    ASSERT_EQ(saved.Devices()->Count(), 2);
    EXPECT_EQ(Config.Read(Config.SettingsFile()).find("\"gw\""), std::string::npos);

    // In user mode the pages follow the policy's permissions, not the user's file.
    Form.PrepareUserMode();
    Form.EditSettings(&Settings);
    EXPECT_FALSE(Form.VisiblePages().contains(Form.DevicesTab));
}

TEST_F(PolicyOptionsTest, WindowTellsOfAnIgnoredPolicyOnceAndRunsOn) {
    chmod(Config.PolicyFile().c_str(), 0666);
    ExpectedErrorReports reports;
    TMain::SetTrayAvailability(false);
    {
        TMain main({});
        QApplication::processEvents();
        QApplication::processEvents();
        ASSERT_EQ(reports.Texts.size(), 1u);
        EXPECT_TRUE(reports.Texts[0].startsWith(QStringLiteral("The policy file \"") +
                                                QString::fromStdString(Config.PolicyFile()) +
                                                QStringLiteral("\" is ignored: it is writable")))
            << reports.Texts[0].toStdString();
        EXPECT_EQ(main.List->Count(), 1); // the user's own list, without the policy's device
        EXPECT_TRUE(main.Timer->isActive());
    }
}

TEST_F(PolicyOptionsTest, AddressRowsSitUnderTheEchoValuesAndFollowTheirLock) {
    Config.Write(Config.PolicyFile(), "Windows Registry Editor Version 5.00\n\n"
                                      "[HKEY_LOCAL_MACHINE\\Software\\Kestrava\\Sentrel\\1.0"
                                      "\\Addresses]\n\"ResolveMinutes\"=dword:00000000\n");
    Settings.Load();
    Settings.Addresses.Prefer = 1;
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.PageControl->setCurrentWidget(Form.EchoTab);
    Form.show();
    ASSERT_TRUE(Form.AddressPreference->isVisibleTo(Form.EchoTab));
    EXPECT_EQ(Form.AddressPreference->count(), 3);
    EXPECT_EQ(Form.AddressPreference->currentText(), QStringLiteral("IPv6 first"));
    EXPECT_TRUE(Form.AddressPreference->isEnabled());
    EXPECT_EQ(Form.ResolveMinutes->text(), QStringLiteral("only after failures"));
    EXPECT_FALSE(Form.ResolveMinutes->isEnabled());
    EXPECT_TRUE(Noted(Form.EchoTab));
    // Below the echo values, and the page still shows all of its rows.
    EXPECT_GT(Form.AddressPreference->mapTo(Form.EchoTab, QPoint()).y(),
              Form.PingInterval->mapTo(Form.EchoTab, QPoint()).y());
    EXPECT_LE(Form.EchoTab->minimumSizeHint().height(), Form.EchoTab->height());

    Form.AddressPreference->setCurrentIndex(2);
    Form.ResolveMinutes->setValue(30); // locked: the policy's stays
    Form.OKBtnClick();
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_EQ(saved.Addresses.Prefer, 2);
    EXPECT_EQ(saved.Addresses.ResolveMinutes, 0);
}

} // namespace
