// The options dialog, headless, on a settings object of the test's own.

#include "core/SentrelSettingsCM.h"
#include "tests/support/TempConfig.h"
#include "tests/ui/ModalHelper.h"
#include "ui/AdminOptionsFM.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/ListView.h"
#include "ui/SpinEdit.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <initializer_list>
#include <vector>

namespace {

class OptionsFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetApplicationHelpHandler([this](int context) { Help.push_back(context); });
        TOptionsForm::SetConfirmHook([this](const QString& question) {
            Questions.push_back(question);
            return Answer;
        });
        TOptionsForm::SetWarningHook(
            [this](const QString& warning) { Questions.push_back(warning); });
    }
    void TearDown() override {
        SetApplicationHelpHandler(nullptr);
        TOptionsForm::SetConfirmHook(nullptr);
        TOptionsForm::SetWarningHook(nullptr);
    }

    TDeviceData* AddDevice(const std::string& host, TDeviceType type, bool monitored = true) {
        TDeviceData* d = Settings.Devices()->Add();
        d->SetHost(host);
        d->SetDeviceType(type);
        d->SetMonitored(monitored);
        return d;
    }

    QStringList PageCaptions() const {
        QStringList captions;
        for (int i = 0; i < Form.PageControl->count(); ++i)
            captions << Form.PageControl->tabText(i);
        return captions;
    }

    QStringList Rows() const {
        QStringList rows;
        for (int i = 0; i < Form.DeviceList->Count(); ++i)
            rows << Form.DeviceList->Item(i)->Caption();
        return rows;
    }

    TempConfig Config;
    TSentrelSettings Settings{nullptr};
    TOptionsForm Form;
    std::vector<int> Help;
    std::vector<QString> Questions;
    bool Answer = false;
};

const QStringList AllPages = {QStringLiteral("&General"), QStringLiteral("ECHO &Settings"),
                              QStringLiteral("De&vices"), QStringLiteral("&Log Settings"),
                              QStringLiteral("Aler&ts"),  QStringLiteral("&Permissions")};

// The letter after the '&' of a caption, lower case; none for no accelerator.
QChar Accelerator(const QString& caption) {
    const qsizetype at = caption.indexOf(QLatin1Char('&'));
    return at >= 0 && at + 1 < caption.size() ? caption[at + 1].toLower() : QChar();
}

TEST_F(OptionsFormTest, AdministrationModeShowsEveryPageWhateverThePermissions) {
    Settings.AllowEchoChange = Settings.AllowDeviceChanges = Settings.AllowChangeLogSize = false;
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    EXPECT_EQ(Form.windowTitle(), QStringLiteral("Sentrel Administration"));
    EXPECT_EQ(PageCaptions(), AllPages);
    EXPECT_EQ(Form.PageControl->currentWidget(), Form.GeneralTab);
    // No two tabs or buttons answer the same Alt key.
    QStringList captions = PageCaptions();
    for (const QAbstractButton* button : Form.findChildren<QAbstractButton*>())
        captions << button->text();
    QSet<QChar> letters;
    for (const QString& caption : captions)
        if (const QChar letter = Accelerator(caption); !letter.isNull()) {
            EXPECT_FALSE(letters.contains(letter)) << caption.toStdString();
            letters.insert(letter);
        }
}

TEST_F(OptionsFormTest, UserModeShowsWhatThePermissionsAllowInPageOrder) {
    Form.PrepareUserMode();
    Form.EditSettings(&Settings);
    EXPECT_EQ(Form.windowTitle(), QStringLiteral("Sentrel Options"));
    EXPECT_EQ(PageCaptions(), AllPages.mid(0, 5));

    Settings.AllowDeviceChanges = false;
    Form.EditSettings(&Settings);
    EXPECT_EQ(PageCaptions(), (QStringList{AllPages[0], AllPages[1], AllPages[3], AllPages[4]}));

    Settings.AllowEchoChange = Settings.AllowChangeLogSize = false;
    Settings.Alerts.AllowAlertChanges = false; // the alerts page stays, locked
    Settings.EchoRequestSize = 5000;           // held on a hidden page
    Form.EditSettings(&Settings);
    EXPECT_EQ(PageCaptions(), (QStringList{AllPages[0], AllPages[4]}));
    Form.OKBtnClick(); // stores the hidden values (clamped) and saves
    EXPECT_EQ(Settings.EchoRequestSize, 4096);
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_EQ(saved.EchoRequestSize, 4096);
    EXPECT_FALSE(saved.AllowEchoChange);
}

TEST_F(OptionsFormTest, BoundedFieldsClampAndOtherTextReadsAsTheMinimum) {
    Settings.EchoRequestSize = 5000;
    Settings.IPTimeToLive = 0;
    Settings.EchoTimeOut = 30001;
    Settings.PingInterval = -7;
    Settings.SystemLogSize = 0;
    Settings.DeviceLogSize = -1;
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    EXPECT_EQ(Form.ECHORequestSize->Value(), 4096);
    EXPECT_EQ(Form.IPTimeToLive->Value(), 1);
    EXPECT_EQ(Form.ECHOTimeout->Value(), 30000);
    EXPECT_EQ(Form.PingInterval->Value(), 1);
    EXPECT_EQ(Form.SystemLogSize->Value(), 0);
    EXPECT_EQ(Form.DeviceLogSize->Value(), -1); // log sizes take any integer

    Form.PingInterval->SetText(QStringLiteral("abc"));
    Form.SystemLogSize->SetText(QStringLiteral("12x"));
    Form.ECHOTimeout->SetText(QStringLiteral("99999"));
    EXPECT_EQ(Form.PingInterval->Value(), 1);
    EXPECT_EQ(Form.SystemLogSize->Value(), 0);
    EXPECT_EQ(Form.ECHOTimeout->Value(), 30000);
    QFocusEvent focusOut(QEvent::FocusOut);
    QApplication::sendEvent(Form.ECHOTimeout, &focusOut);
    EXPECT_EQ(Form.ECHOTimeout->text(), QStringLiteral("30000")); // the text is clamped on leaving
    Form.StoreControls();
    EXPECT_EQ(Settings.PingInterval, 1);
    EXPECT_EQ(Settings.SystemLogSize, 0);
    EXPECT_EQ(Settings.DeviceLogSize, -1);
}

TEST_F(OptionsFormTest, DeviceListSortsByTypeThenHostAndBoxesWriteThrough) {
    AddDevice("zeta", dtComputer);
    AddDevice("Beta", dtPrinter, false);
    AddDevice("alpha", dtPrinter);
    AddDevice("gamma", dtServer);
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    EXPECT_EQ(Rows(), (QStringList{QStringLiteral("zeta"), QStringLiteral("gamma"),
                                   QStringLiteral("alpha"), QStringLiteral("Beta")}));
    TListItem* beta = Form.DeviceList->Item(3);
    EXPECT_FALSE(beta->Checked());
    EXPECT_TRUE(Settings.Devices()->Items(1)->Monitored() == false);
    // A tick changes the settings at once; Cancel does not take it back.
    Form.DeviceList->model()->setData(Form.DeviceList->model()->index(3, 0), Qt::Checked,
                                      Qt::CheckStateRole);
    EXPECT_TRUE(Settings.Devices()->Items(1)->Monitored());
    Form.CancelBtnClick();
    EXPECT_TRUE(Settings.Devices()->Items(1)->Monitored());
}

TEST_F(OptionsFormTest, EditAndRemoveNeedASelectedRow) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.AppEventsIdle();
    EXPECT_FALSE(Form.EditDeviceBtn->isEnabled());
    EXPECT_FALSE(Form.RemoveDeviceBtn->isEnabled());
    EXPECT_TRUE(Form.AddDeviceBtn->isEnabled());
    Form.EditDeviceBtnClick();
    Form.RemoveDeviceBtnClick();
    EXPECT_TRUE(Questions.empty());

    AddDevice("printer1", dtPrinter);
    Form.EditSettings(&Settings);
    Form.DeviceList->SetSelected(Form.DeviceList->Item(0));
    Form.AppEventsIdle();
    EXPECT_TRUE(Form.EditDeviceBtn->isEnabled());
    EXPECT_TRUE(Form.RemoveDeviceBtn->isEnabled());
}

TEST_F(OptionsFormTest, RemovalAsksAndNoKeepsYesRemovesAtOnce) {
    AddDevice("printer1", dtPrinter);
    AddDevice("router", dtRouter);
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.DeviceList->SetSelected(Form.DeviceList->Item(0));
    Answer = false;
    Form.RemoveDeviceBtnClick();
    ASSERT_EQ(Questions.size(), 1u);
    EXPECT_EQ(Questions[0],
              QStringLiteral("Are you sure you want to delete the device \"printer1\"?"));
    EXPECT_EQ(Settings.Devices()->Count(), 2);
    Answer = true;
    Form.RemoveDeviceBtnClick();
    EXPECT_EQ(Settings.Devices()->Count(), 1);
    EXPECT_EQ(Settings.Devices()->Items(0)->Host(), "router");
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("router")});
    Form.CancelBtnClick(); // the removal stays
    EXPECT_EQ(Settings.Devices()->Count(), 1);
}

TEST_F(OptionsFormTest, AddThroughTheDeviceWindowAndCancelAddsNothing) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    WhenModalOpens([](QWidget* modal) {
        auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->windowTitle(), QStringLiteral("Add Device Info"));
        form->CancelBtn->click();
    });
    Form.AddDeviceBtnClick();
    EXPECT_EQ(Settings.Devices()->Count(), 0);

    WhenModalOpens([](QWidget* modal) {
        auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
        ASSERT_NE(form, nullptr);
        form->Host->setText(QStringLiteral("127.0.0.9"));
        form->Description->setText(QStringLiteral("lab switch"));
        form->DeviceType->button(dtBridge)->setChecked(true);
        form->Monitored->setChecked(false);
        form->OKBtn->click();
    });
    Form.AddDeviceBtnClick();
    ASSERT_EQ(Settings.Devices()->Count(), 1);
    TDeviceData* added = Settings.Devices()->Items(0);
    EXPECT_EQ(added->Host(), "127.0.0.9");
    EXPECT_EQ(added->Description(), "lab switch");
    EXPECT_EQ(added->DeviceType(), dtBridge);
    EXPECT_FALSE(added->Monitored());
    EXPECT_EQ(Rows(), QStringList{QStringLiteral("127.0.0.9")});
}

TEST_F(OptionsFormTest, EditWithoutChangesKeepsTheDevice) {
    AddDevice("printer1", dtPrinter);
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.DeviceList->SetSelected(Form.DeviceList->Item(0));
    QString title;
    WhenModalOpens([&title](QWidget* modal) {
        auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
        ASSERT_NE(form, nullptr);
        title = form->windowTitle();
        form->OKBtn->click();
    });
    Form.EditDeviceBtnClick();
    EXPECT_EQ(title, QStringLiteral("Edit printer1"));
    EXPECT_EQ(Settings.Devices()->Items(0)->Host(), "printer1");

    WhenModalOpens([](QWidget* modal) {
        auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
        ASSERT_NE(form, nullptr);
        form->Host->setText(QStringLiteral("Printer1"));
        form->OKBtn->click();
    });
    Form.EditDeviceBtnClick();
    EXPECT_EQ(Settings.Devices()->Items(0)->Host(), "Printer1");
}

TEST_F(OptionsFormTest, OkStoresAndSavesCancelStoresNothing) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.AutoScan->setChecked(false);
    Form.AllowClearLog->setChecked(false);
    Form.CancelBtnClick();
    EXPECT_TRUE(Settings.AutoScan);
    EXPECT_TRUE(Settings.AllowClearLog);

    Form.EditSettings(&Settings);
    Form.AutoScan->setChecked(false);
    Form.PingInterval->SetValue(60);
    Form.OKBtnClick();
    EXPECT_EQ(Form.result(), QDialog::Accepted);
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_FALSE(saved.AutoScan);
    EXPECT_EQ(saved.PingInterval, 60);
}

TEST_F(OptionsFormTest, AdministrationModeSavesEachPermissionAsTicked) {
    Form.PrepareAdminMode();
    const std::array<QCheckBox*, 4> boxes = {Form.AllowEchoChange, Form.AllowDeviceChanges,
                                             Form.AllowChangeLogSize, Form.AllowClearLog};
    // Two starting patterns, so that no two boxes can stand in for each other.
    for (const std::array<bool, 4>& start :
         {std::array{true, false, true, false}, std::array{true, true, false, false}}) {
        Settings.AllowEchoChange = start[0];
        Settings.AllowDeviceChanges = start[1];
        Settings.AllowChangeLogSize = start[2];
        Settings.AllowClearLog = start[3];
        Form.EditSettings(&Settings);
        for (QCheckBox* box : boxes)
            box->click();
        Form.OKBtn->click();
        TSentrelSettings saved(nullptr);
        saved.Load();
        EXPECT_EQ((std::array{saved.AllowEchoChange, saved.AllowDeviceChanges,
                              saved.AllowChangeLogSize, saved.AllowClearLog}),
                  (std::array{!start[0], !start[1], !start[2], !start[3]}));
    }
}

TEST_F(OptionsFormTest, HelpAsksForThePageOnTop) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    const std::pair<QWidget*, int> pages[] = {{Form.GeneralTab, 210}, {Form.EchoTab, 220},
                                              {Form.DevicesTab, 230}, {Form.LogSettingsTab, 240},
                                              {Form.AlertsTab, 250},  {Form.PermissionsTab, 290}};
    for (const auto& [page, context] : pages) {
        Form.PageControl->setCurrentWidget(page);
        Form.HelpBtn->click();
        ASSERT_FALSE(Help.empty());
        EXPECT_EQ(Help.back(), context);
    }
    EXPECT_EQ(HelpContext(&Form), 200);
    EXPECT_EQ(ContextForHelpKey(Form.DownAfter), 250); // F1 on the alerts page
}

TEST_F(OptionsFormTest, AlertsCommandAndPermissionAreTheAdministratorsAlone) {
    Settings.Alerts.Command = "/usr/local/bin/page-oncall --urgent";
    Settings.Alerts.AllowAlertChanges = false;
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    EXPECT_TRUE(Form.AlertCommand->isVisibleTo(Form.AlertsTab));
    EXPECT_TRUE(Form.AllowAlertChanges->isVisibleTo(Form.AlertsTab));
    EXPECT_TRUE(Form.DownAfter->isEnabled()); // the administrator is never locked out
    EXPECT_FALSE(Form.AlertsLockedNote->isVisibleTo(Form.AlertsTab));
    EXPECT_EQ(Form.AlertCommand->text(), QStringLiteral("/usr/local/bin/page-oncall --urgent"));

    // A locked user sees the values, cannot change them, and OK keeps them as they were.
    Settings.Alerts.DownAfter = 50; // out of the field's bounds, from a hand-edited file
    Form.PrepareUserMode();
    Form.EditSettings(&Settings);
    EXPECT_FALSE(Form.AlertCommand->isVisibleTo(Form.AlertsTab));
    EXPECT_FALSE(Form.AllowAlertChanges->isVisibleTo(Form.AlertsTab));
    for (QWidget* control : std::initializer_list<QWidget*>{
             Form.DownAfter, Form.UpAfter, Form.Notify, Form.Sound, Form.ProblemsFirst})
        EXPECT_FALSE(control->isEnabled());
    EXPECT_TRUE(Form.AlertsLockedNote->isVisibleTo(Form.AlertsTab));
    Form.AlertCommand->setText(QStringLiteral("rm -rf /"));
    Form.AllowAlertChanges->setChecked(true);
    Form.OKBtnClick();
    EXPECT_EQ(Settings.Alerts.DownAfter, 50);
    EXPECT_EQ(Settings.Alerts.Command, "/usr/local/bin/page-oncall --urgent");
    EXPECT_FALSE(Settings.Alerts.AllowAlertChanges);

    // An allowed user changes the values, still not the command.
    Settings.Alerts.AllowAlertChanges = true;
    Form.EditSettings(&Settings);
    EXPECT_TRUE(Form.DownAfter->isEnabled());
    EXPECT_FALSE(Form.AlertsLockedNote->isVisibleTo(Form.AlertsTab));
    Form.UpAfter->SetValue(4);
    Form.AlertCommand->setText(QStringLiteral("rm -rf /"));
    Form.OKBtnClick();
    EXPECT_EQ(Settings.Alerts.DownAfter, 20);
    EXPECT_EQ(Settings.Alerts.UpAfter, 4);
    EXPECT_EQ(Settings.Alerts.Command, "/usr/local/bin/page-oncall --urgent");
}

TEST_F(OptionsFormTest, OkStoresTheAlertsAndTheSavedFileHoldsThem) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    Form.DownAfter->SetValue(5);
    Form.UpAfter->SetValue(2);
    Form.Notify->setChecked(false);
    Form.Sound->setChecked(true);
    Form.ProblemsFirst->setChecked(true);
    Form.AlertCommand->setText(QStringLiteral("  /opt/notify \"it's down\"  "));
    Form.AllowAlertChanges->setChecked(false);
    // A command the check refuses keeps the dialog open on it and stores nothing.
    QStringList checked;
    Form.CommandCheck = [&checked](const QString& command) {
        checked << command;
        return checked.size() == 1 ? QStringLiteral("unbalanced quote") : QString();
    };
    Form.PageControl->setCurrentWidget(Form.GeneralTab);
    Form.OKBtnClick();
    EXPECT_NE(Form.result(), QDialog::Accepted);
    EXPECT_EQ(Form.PageControl->currentWidget(), Form.AlertsTab);
    EXPECT_EQ(Questions, std::vector<QString>{QStringLiteral("unbalanced quote")});
    EXPECT_EQ(Settings.Alerts.DownAfter, 3);
    EXPECT_EQ(Form.DownAfter->Value(), 5);

    Form.OKBtnClick();
    EXPECT_EQ(Form.result(), QDialog::Accepted);
    EXPECT_EQ(checked.last(), QStringLiteral("/opt/notify \"it's down\""));
    TSentrelSettings saved(nullptr);
    saved.Load();
    const TAlertSettings& alerts = saved.Alerts;
    EXPECT_EQ(alerts.DownAfter, 5);
    EXPECT_EQ(alerts.UpAfter, 2);
    EXPECT_FALSE(alerts.Notify);
    EXPECT_TRUE(alerts.Sound);
    EXPECT_TRUE(alerts.ProblemsFirst);
    EXPECT_EQ(alerts.Command, "/opt/notify \"it's down\"");
    EXPECT_FALSE(alerts.AllowAlertChanges);
}

TEST_F(OptionsFormTest, MetricsAddressIsTheAdministratorsAndCheckedOnOK) {
    Form.PrepareAdminMode();
    Form.EditSettings(&Settings);
    ASSERT_TRUE(Form.MetricsAddress->isVisibleTo(Form.AlertsTab));
    EXPECT_EQ(Form.MetricsAddress->text(), QString()); // off
    EXPECT_EQ(Form.MetricsAddress->placeholderText(),
              QStringLiteral("off, or address:port such as 127.0.0.1:9437"));
    EXPECT_EQ(ContextForHelpKey(Form.MetricsAddress), 255); // F1: the metrics page
    // An address that cannot serve keeps the dialog open on it, saying why.
    Form.MetricsAddress->setText(QStringLiteral("127.0.0.1:99999"));
    Form.PageControl->setCurrentWidget(Form.GeneralTab);
    Form.OKBtnClick();
    EXPECT_NE(Form.result(), QDialog::Accepted);
    EXPECT_EQ(Form.PageControl->currentWidget(), Form.AlertsTab);
    ASSERT_EQ(Questions.size(), 1u);
    EXPECT_TRUE(Questions[0].contains(QStringLiteral("1 to 65535"))) << Questions[0].toStdString();
    EXPECT_EQ(Settings.Metrics.Address, "");

    Form.MetricsAddress->setText(QStringLiteral(" 0.0.0.0:9437 "));
    Form.OKBtnClick();
    EXPECT_EQ(Form.result(), QDialog::Accepted);
    TSentrelSettings saved(nullptr);
    saved.Load();
    EXPECT_EQ(saved.Metrics.Address, "0.0.0.0:9437");

    // A user neither sees nor changes it.
    Form.PrepareUserMode();
    Form.EditSettings(&Settings);
    EXPECT_FALSE(Form.MetricsAddress->isVisibleTo(Form.AlertsTab));
    Form.MetricsAddress->setText(QStringLiteral("bad"));
    Form.OKBtnClick();
    EXPECT_EQ(Settings.Metrics.Address, "0.0.0.0:9437");
}

} // namespace
