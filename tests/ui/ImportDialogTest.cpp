// The import of many devices, headless: the dialog's preview, the Devices
// tab's Import and Export, and the main window's toolbar action.

#include "ui/ImportDialog.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "tests/support/TempConfig.h"
#include "tests/ui/ModalHelper.h"
#include "ui/AdminOptionsFM.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/ListView.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

void PrintTo(const QString& text, std::ostream* out);

namespace {

TImportDialog* OpenImportDialog() {
    return qobject_cast<TImportDialog*>(QApplication::activeModalWidget());
}

QString Cell(const TImportDialog& Dialog, int Row, int Column) {
    return Dialog.Model->index(Row, Column).data().toString();
}

class ImportDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetApplicationHelpHandler([this](int context) { Help.push_back(context); });
    }
    void TearDown() override {
        SetApplicationHelpHandler(nullptr);
        SetImportFileDialogHook(nullptr);
    }
    void AddDevice(const std::string& Host) { Devices.Add()->SetHost(Host); }

    TDeviceDataCollection Devices{nullptr};
    std::vector<int> Help;
};

TEST_F(ImportDialogTest, PreviewShowsEveryEntryItsResultAndTheCountBeforeImport) {
    AddDevice("127.0.0.1");
    const QString text = QStringLiteral("# the lab\n"
                                        "127.0.1.1-3\n"
                                        "127.0.2.0/30\n"
                                        "127.0.0.1\n"
                                        "127.0.1.2\n"
                                        "127.0.0.300\n"
                                        "fd00::/64\n");
    struct Row {
        int Line;
        const char* Host;
        const char* Result;
    };
    const std::vector<Row> expected = {
        {2, "127.0.1.1", "Add"},
        {2, "127.0.1.2", "Add"},
        {2, "127.0.1.3", "Add"},
        {3, "127.0.2.1", "Add"}, // neither the network nor the broadcast address
        {3, "127.0.2.2", "Add"},
        {4, "127.0.0.1", "Skip: already in the list"},
        {5, "127.0.1.2", "Skip: same as line 2"},
        {6, "127.0.0.300", "Invalid: octet out of range (300)"},
        {7, "fd00::/64", "Invalid: IPv6 ranges and blocks are not supported; list the addresses"},
    };
    TImportDialog dialog;
    WhenModalOpens([&](QWidget* modal) {
        ASSERT_EQ(modal, &dialog);
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Import Devices"));
        // The initial text is planned at once: the count is there to read.
        EXPECT_FALSE(dialog.PlanPending());
        ASSERT_EQ(dialog.Model->rowCount(), static_cast<int>(expected.size()));
        const QStringList titles = {QStringLiteral("Line"), QStringLiteral("Host"),
                                    QStringLiteral("Description"), QStringLiteral("Type"),
                                    QStringLiteral("Result")};
        for (int c = 0; c < titles.size(); ++c)
            EXPECT_EQ(dialog.Model->headerData(c, Qt::Horizontal).toString(), titles[c]);
        for (int r = 0; r < static_cast<int>(expected.size()); ++r) {
            SCOPED_TRACE(r);
            EXPECT_EQ(Cell(dialog, r, TImportPlanModel::colLine).toInt(), expected[r].Line);
            EXPECT_EQ(Cell(dialog, r, TImportPlanModel::colHost),
                      QString::fromUtf8(expected[r].Host));
            EXPECT_EQ(Cell(dialog, r, TImportPlanModel::colResult),
                      QString::fromUtf8(expected[r].Result));
            // Skipped and invalid rows are marked, each kind in its own colour.
            const QVariant mark =
                dialog.Model->index(r, TImportPlanModel::colResult).data(Qt::BackgroundRole);
            EXPECT_EQ(mark.isValid(), QByteArray(expected[r].Result) != "Add");
        }
        EXPECT_EQ(Cell(dialog, 0, TImportPlanModel::colType), QStringLiteral("Computer"));
        EXPECT_NE(dialog.Model->index(5, 0).data(Qt::BackgroundRole),
                  dialog.Model->index(7, 0).data(Qt::BackgroundRole));
        EXPECT_EQ(dialog.Summary->text(), QStringLiteral("5 to add (5 from ranges), 1 already in "
                                                         "the list, 1 repeated, 2 invalid"));
        EXPECT_TRUE(dialog.ImportBtn->isEnabled());
        EXPECT_TRUE(dialog.ImportBtn->isDefault());

        // Help, by button and by the help key on the field.
        dialog.HelpBtn->click();
        EXPECT_EQ(ContextForHelpKey(dialog.Text), 235);
        dialog.ImportBtn->click();
    });
    ASSERT_TRUE(dialog.Execute(Devices, text));
    EXPECT_EQ(Help, std::vector<int>{235});
    const TImportPlan& plan = dialog.Plan();
    EXPECT_EQ(plan.ToAdd, 5);
    std::vector<std::string> added;
    for (const TImportEntry& entry : plan.Entries)
        if (entry.Outcome == TImportOutcome::Add)
            added.push_back(entry.Host);
    EXPECT_EQ(added, (std::vector<std::string>{"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.2.1",
                                               "127.0.2.2"}));
    EXPECT_EQ(Devices.Count(), 1); // the dialog adds nothing itself
}

TEST_F(ImportDialogTest, ImportWaitsForThePlanOfTheTextAsTypedAndNeedsSomethingToAdd) {
    AddDevice("127.0.0.1");
    TImportDialog dialog;
    WhenModalOpens([&](QWidget*) {
        EXPECT_FALSE(dialog.ImportBtn->isEnabled()); // an empty field
        dialog.Text->setPlainText(QStringLiteral("127.0.0.1\n# a comment\n\n"));
        // Typed, not yet planned: what the preview shows is not what Import
        // would add.
        EXPECT_TRUE(dialog.PlanPending());
        EXPECT_FALSE(dialog.ImportBtn->isEnabled());
        ASSERT_TRUE(WaitUntil([&] { return !dialog.PlanPending(); }));
        EXPECT_EQ(dialog.Model->rowCount(), 1);
        EXPECT_EQ(dialog.Summary->text(), QStringLiteral("0 to add, 1 already in the list"));
        EXPECT_FALSE(dialog.ImportBtn->isEnabled());
        dialog.ImportBtnClick();
        EXPECT_TRUE(dialog.isVisible());

        // Import pressed before the pause ends shows the new count first.
        dialog.Text->setPlainText(QStringLiteral("127.0.0.2"));
        dialog.ImportBtnClick();
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.Summary->text(), QStringLiteral("1 to add"));
        dialog.CancelBtn->click();
    });
    EXPECT_FALSE(dialog.Execute(Devices));
}

TEST_F(ImportDialogTest, AFileIsReadByteForByteAndAnUnreadableOneLeavesTheField) {
    TempConfig config;
    const std::string path = config.Home() + "/hosts.csv";
    // A description that is not UTF-8 and a line ending of CR LF.
    config.Write(path, "Host,Description,Type,Monitored\r\n127.0.3.1,caf\xe9,Printer,no\r\n");
    SetImportFileDialogHook([&](bool save, const QString&) {
        EXPECT_FALSE(save);
        return QString::fromStdString(path);
    });
    TImportDialog dialog;
    WhenModalOpens([&](QWidget*) {
        dialog.OpenFileBtn->click();
        ASSERT_EQ(dialog.Model->rowCount(), 1);
        EXPECT_EQ(Cell(dialog, 0, TImportPlanModel::colType), QStringLiteral("Printer"));

        SetImportFileDialogHook([&](bool, const QString&) {
            return QString::fromStdString(config.Home() + "/missing.txt");
        });
        ExpectedErrorReports reports;
        dialog.OpenFileBtn->click();
        ASSERT_EQ(reports.Texts.size(), 1u);
        EXPECT_TRUE(reports.Texts[0].contains(QStringLiteral("missing.txt")))
            << reports.Texts[0].toStdString();
        EXPECT_EQ(dialog.Model->rowCount(), 1);
        dialog.ImportBtn->click();
    });
    ASSERT_TRUE(dialog.Execute(Devices, QStringLiteral("127.0.0.9")));
    ASSERT_EQ(dialog.Plan().Entries.size(), 1u);
    const TImportEntry& entry = dialog.Plan().Entries[0];
    EXPECT_EQ(entry.Host, "127.0.3.1");
    EXPECT_EQ(entry.Description, "caf\xe9");
    EXPECT_EQ(entry.DeviceType, dtPrinter);
    EXPECT_FALSE(entry.Monitored);
}

TEST_F(ImportDialogTest, AFileWithALineTooLongToShowIsPlannedUntilTheFieldIsTypedIn) {
    TempConfig config;
    const std::string path = config.Home() + "/one-line.txt";
    std::string line; // 2000 addresses on one line, some 30 KB
    for (int i = 0; i < 2000; ++i)
        line += "127.0." + std::to_string(20 + i / 250) + "." + std::to_string(1 + i % 250) + " ";
    config.Write(path, line + "\n");
    SetImportFileDialogHook([&](bool, const QString&) { return QString::fromStdString(path); });
    TImportDialog dialog;
    WhenModalOpens([&](QWidget*) {
        dialog.OpenFileBtn->click();
        EXPECT_TRUE(dialog.FromFile());
        EXPECT_TRUE(dialog.Text->toPlainText().isEmpty());
        EXPECT_TRUE(dialog.Text->placeholderText().contains(QStringLiteral("one-line.txt")));
        EXPECT_EQ(dialog.Model->rowCount(), 2000);
        EXPECT_TRUE(dialog.ImportBtn->isEnabled());

        dialog.Text->insertPlainText(QStringLiteral("127.0.0.9"));
        EXPECT_FALSE(dialog.FromFile());
        EXPECT_FALSE(dialog.ImportBtn->isEnabled());
        dialog.Replan();
        EXPECT_EQ(dialog.Model->rowCount(), 1);
        dialog.ImportBtn->click();
    });
    ASSERT_TRUE(dialog.Execute(Devices));
    ASSERT_EQ(dialog.Plan().Entries.size(), 1u);
    EXPECT_EQ(dialog.Plan().Entries[0].Host, "127.0.0.9");
}

// ---- the Devices tab -------------------------------------------------------

class DevicesTabImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        Form.PrepareAdminMode();
        Form.EditSettings(&Settings);
    }
    void TearDown() override { SetImportFileDialogHook(nullptr); }

    // Runs the tab's Import on Text and confirms it.
    void ImportThroughTheTab(const QString& Text) {
        WhenModalOpens([Text](QWidget*) {
            TImportDialog* dialog = OpenImportDialog();
            ASSERT_NE(dialog, nullptr);
            dialog->Text->setPlainText(Text);
            dialog->Replan();
            dialog->ImportBtn->click();
        });
        Form.ImportDeviceBtn->click();
    }

    TempConfig Config;
    TSentrelSettings Settings{nullptr};
    TOptionsForm Form;
};

TEST_F(DevicesTabImportTest, ImportAddsInPlaceAndCancellingTheOptionsKeepsThem) {
    Settings.Devices()->Add()->SetHost("127.0.0.1");
    Form.EditSettings(&Settings);
    ImportThroughTheTab(QStringLiteral("127.0.0.1\n127.0.4.1-2"));
    ASSERT_EQ(Settings.Devices()->Count(), 3);
    EXPECT_EQ(Settings.Devices()->Items(1)->Host(), "127.0.4.1");
    EXPECT_EQ(Settings.Devices()->Items(2)->Host(), "127.0.4.2");
    EXPECT_EQ(Form.DeviceList->Count(), 3);
    Form.CancelBtnClick(); // as with Add, the devices stay in the settings
    EXPECT_EQ(Settings.Devices()->Count(), 3);
}

TEST_F(DevicesTabImportTest, ExportedFileImportsBackTheSameDevices) {
    const std::vector<std::tuple<std::string, std::string, TDeviceType, bool>> devices = {
        {"127.0.0.1", "this machine, \"quoted\"", dtServer, true},
        {"printer-2F", "caf\xc3\xa9; line\nbreak", dtPrinter, false},
        {"127.0.0.7", "", dtInterface, true},
    };
    for (const auto& [host, description, type, monitored] : devices) {
        TDeviceData* device = Settings.Devices()->Add();
        device->SetHost(host);
        device->SetDescription(description);
        device->SetDeviceType(type);
        device->SetMonitored(monitored);
    }
    Form.EditSettings(&Settings);
    const std::string path = Config.Home() + "/out/devices.csv";
    std::filesystem::create_directories(Config.Home() + "/out");
    QString suggested;
    SetImportFileDialogHook([&](bool save, const QString& offered) {
        suggested = offered;
        return save ? QString::fromStdString(path) : QString();
    });
    Form.ExportDeviceBtn->click();
    EXPECT_EQ(suggested, QStringLiteral("devices.csv"));

    // Into an empty list, through the dialog's Open File.
    while (Settings.Devices()->Count() > 0)
        delete Settings.Devices()->Items(0);
    Form.EditSettings(&Settings);
    SetImportFileDialogHook([&](bool, const QString&) { return QString::fromStdString(path); });
    WhenModalOpens([](QWidget*) {
        TImportDialog* dialog = OpenImportDialog();
        ASSERT_NE(dialog, nullptr);
        dialog->OpenFileBtn->click();
        dialog->ImportBtn->click();
    });
    Form.ImportDeviceBtn->click();
    ASSERT_EQ(Settings.Devices()->Count(), static_cast<int>(devices.size()));
    for (size_t i = 0; i < devices.size(); ++i) {
        const TDeviceData* device = Settings.Devices()->Items(static_cast<int>(i));
        EXPECT_EQ(device->Host(), std::get<0>(devices[i]));
        EXPECT_EQ(device->Description(), std::get<1>(devices[i]));
        EXPECT_EQ(device->DeviceType(), std::get<2>(devices[i]));
        EXPECT_EQ(device->Monitored(), std::get<3>(devices[i]));
    }
}

TEST_F(DevicesTabImportTest, AnExportThatCannotBeWrittenSaysWhy) {
    SetImportFileDialogHook([&](bool, const QString&) {
        return QString::fromStdString(Config.Home() + "/no/such/folder/devices.csv");
    });
    ExpectedErrorReports reports;
    Form.ExportDeviceBtn->click();
    ASSERT_EQ(reports.Texts.size(), 1u);
    EXPECT_TRUE(reports.Texts[0].contains(QStringLiteral("devices.csv")))
        << reports.Texts[0].toStdString();
}

TEST_F(DevicesTabImportTest, AListTypedIntoTheHostFieldOpensTheImportWithIt) {
    WhenModalOpens([](QWidget* modal) {
        auto* form = qobject_cast<TDevicePropertiesForm*>(modal);
        ASSERT_NE(form, nullptr);
        form->Host->setText(QStringLiteral("127.0.0.5, 127.0.0.6"));
        WhenModalOpens([](QWidget* box) {
            auto* question = qobject_cast<QMessageBox*>(box);
            ASSERT_NE(question, nullptr);
            // The import dialog comes once the question and the device
            // window are gone.
            WhenModalOpens(
                [](QWidget*) {
                    TImportDialog* dialog = OpenImportDialog();
                    ASSERT_NE(dialog, nullptr);
                    EXPECT_EQ(dialog->Text->toPlainText(), QStringLiteral("127.0.0.5, 127.0.0.6"));
                    EXPECT_EQ(dialog->Model->rowCount(), 2);
                    dialog->ImportBtn->click();
                },
                box);
            for (QAbstractButton* button : question->buttons())
                if (button->text() == QStringLiteral("Import as &List"))
                    button->click();
        });
        form->OKBtn->click();
    });
    Form.AddDeviceBtn->click();
    ASSERT_EQ(Settings.Devices()->Count(), 2);
    EXPECT_EQ(Settings.Devices()->Items(0)->Host(), "127.0.0.5");
    EXPECT_EQ(Settings.Devices()->Items(1)->Host(), "127.0.0.6");
}

// ---- the main window -------------------------------------------------------

class MainWindowImportTest : public ::testing::Test {
protected:
    void SetUp() override { TMain::SetTrayAvailability(true); }
    void TearDown() override { TMain::SetTrayAvailability(std::nullopt); }
    void WriteSettings(bool AllowDeviceChanges, bool AutoScan) {
        std::string text = "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n";
        const std::pair<const char*, int> values[] = {
            {"AutoScan", AutoScan},  {"ShowWindow", 1},
            {"AllowEchoChange", 1},  {"AllowDeviceChanges", AllowDeviceChanges},
            {"AllowClearLog", 1},    {"AllowChangeLogSize", 1},
            {"ECHORequestSize", 32}, {"IPTimeToLive", 64},
            {"ECHOTimeout", 1000},   {"PingInterval", 1},
            {"SystemLogSize", 100},  {"DeviceLogSize", 50},
        };
        for (const auto& [name, value] : values) {
            char line[64];
            std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\n", name,
                          static_cast<unsigned>(value));
            text += line;
        }
        text += "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]\n"
                "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n"
                "\"DeviceType\"=dword:00000000\n\"Monitored\"=dword:00000001\n";
        Config.Write(Config.SettingsFile(), text);
    }

    TempConfig Config;
};

TEST_F(MainWindowImportTest, TheActionComesLastAndOnlyWhereDevicesMayChange) {
    WriteSettings(false, false);
    {
        TMain main({});
        const QList<QAction*> actions = main.ToolBar->actions();
        ASSERT_FALSE(actions.isEmpty());
        EXPECT_EQ(actions.back(), main.ImportAction);
        EXPECT_EQ(actions.indexOf(main.HelpAction), actions.size() - 2);
        EXPECT_FALSE(main.TrayPopup->actions().contains(main.ImportAction));
        main.ApplicationEventsIdle();
        EXPECT_FALSE(main.ImportAction->isEnabled());
        main.ImportActionExecute(); // no window: nothing expected opens
        EXPECT_EQ(main.Settings->Devices()->Count(), 1);
    }
    TMain admin({QStringLiteral("ADMIN")});
    admin.ApplicationEventsIdle();
    EXPECT_TRUE(admin.ImportAction->isEnabled());
}

TEST_F(MainWindowImportTest, ConfirmingSavesRebuildsTheListAndScanningGoesOn) {
    WriteSettings(true, true);
    TMain main({});
    main.TimerTimer();
    ASSERT_TRUE(main.Scanning());
    main.ApplicationEventsIdle();
    ASSERT_TRUE(main.ImportAction->isEnabled());
    WhenModalOpens([](QWidget*) {
        TImportDialog* dialog = OpenImportDialog();
        ASSERT_NE(dialog, nullptr);
        dialog->Text->setPlainText(QStringLiteral("127.0.0.1 127.0.5.1-2"));
        dialog->Replan();
        dialog->ImportBtn->click();
    });
    main.ImportAction->trigger();
    EXPECT_EQ(main.List->Count(), 3);
    EXPECT_EQ(main.Scanner->Scanners()->Count(), 3);
    EXPECT_TRUE(main.Scanning());
    EXPECT_TRUE(main.Scanner->Active());
    TSentrelSettings saved(nullptr);
    saved.Load();
    ASSERT_EQ(saved.Devices()->Count(), 3);
    EXPECT_EQ(saved.Devices()->Items(1)->Host(), "127.0.5.1");
    EXPECT_EQ(saved.Devices()->Items(2)->Host(), "127.0.5.2");
    main.StopActionExecute();
}

} // namespace
