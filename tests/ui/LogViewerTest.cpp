// The log viewer, headless: the lines of both kinds of log, live records,
// clearing, saving and its failures.

#include "core/Csv.h"
#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "core/history/HistoryStore.h"
#include "framework/Exceptions.h"
#include "tests/support/TempConfig.h"
#include "tests/support/WidgetTestEnvironment.h"
#include "ui/AppHelp.h"
#include "ui/LogViewerCM.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include "tests/ui/ModalHelper.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <clocale>
#include <csignal>
#include <functional>
#include <memory>
#include <ostream>

void PrintTo(const QString& text, std::ostream* out);

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

class LogViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The C locale's formats: %m/%d/%y and %H:%M:%S.
        std::setlocale(LC_ALL, "C");
        SetApplicationHelpHandler([this](int context) { Helps.push_back(context); });
        Owner = std::make_unique<TComponent>(nullptr);
        Log = new TStatusLog(Owner.get());
        Log->SetCapacity(100);
        Viewer = new TLogViewer(Owner.get());
        ASSERT_TRUE(Dir.isValid());
    }
    void TearDown() override {
        Owner.reset();
        SetClock(nullptr);
        SetApplicationHelpHandler(nullptr);
        std::setlocale(LC_ALL, "C");
    }

    void AddAt(const std::string& host, TPingResult status, int hour, int minute, int second) {
        SetClock([=] { return EncodeDateTime({2026, 12, 8, hour, minute, second, 0}); });
        Log->Add(host, status);
    }

    // Shows the log and runs Action while the window is open.
    void Show(bool showHost, const QString& caption, std::function<void(TLogViewerForm&)> Action) {
        Viewer->ShowHost = showHost;
        OnNextModal([this, Action](QWidget* window) {
            ASSERT_EQ(window, Viewer->Form());
            Action(*Viewer->Form());
        });
        Viewer->ShowLog(caption, Log);
        EXPECT_EQ(Viewer->Form(), nullptr);
        EXPECT_FALSE(Log->OnLogEvent);
    }

    static QString Q(const char* text) { return QString::fromUtf8(text); }
    QString Path(const char* name) const { return Dir.filePath(QString::fromUtf8(name)); }

    TempConfig Config;
    QTemporaryDir Dir;
    std::unique_ptr<TComponent> Owner;
    TStatusLog* Log = nullptr;
    TLogViewer* Viewer = nullptr;
    std::vector<int> Helps;
};

TEST_F(LogViewerTest, SystemLogShowsHostsNewestFirstAndNewRecordsOnTop) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("router", prTimedOut, 9, 6, 0);
    AddAt("server", prSuccess, 9, 7, 0);
    Show(true, Q("Network Activity Log"), [&](TLogViewerForm& form) {
        EXPECT_EQ(form.windowTitle(), Q("Network Activity Log"));
        EXPECT_EQ(form.Lines(),
                  QStringList({Q("12/08/26 09:07:00            server   Connected"),
                               Q("12/08/26 09:06:00            router   Timed Out"),
                               Q("12/08/26 09:05:07          printer1   Connected")}));
        EXPECT_EQ(form.size(), QSize(460, 420));
        EXPECT_EQ(HelpContext(&form), 100);
        EXPECT_TRUE(form.ClearBtn->isEnabled()); // no settings
        form.HelpBtn->click();
        EXPECT_EQ(Helps, std::vector<int>{100});

        AddAt("printer1", prTimedOut, 9, 8, 0);
        ASSERT_EQ(form.Lines().size(), 4);
        EXPECT_EQ(form.Lines().first(), Q("12/08/26 09:08:00          printer1   Timed Out"));
    });
}

TEST_F(LogViewerTest, DeviceLogHasNoHostColumnAndMidnightShowsTheDateAlone) {
    AddAt("printer1", prTimedOut, 9, 5, 7);
    AddAt("printer1", prSuccess, 0, 0, 0);
    Show(false, QString(), [&](TLogViewerForm& form) {
        EXPECT_EQ(form.windowTitle(), Q("Status Log Viewer"));
        EXPECT_EQ(form.Lines(), QStringList({Q("        12/08/26  Connected"),
                                             Q("12/08/26 09:05:07  Timed Out")}));
        EXPECT_EQ(form.size(), QSize(360, 320));
        EXPECT_EQ(HelpContext(&form), 110);
        form.HelpBtn->click();
    });
    EXPECT_EQ(Helps, std::vector<int>{110});
}

TEST_F(LogViewerTest, LinesBeyondTheCapacityDropOffTheBottomAndLongHostsStayWhole) {
    Log->SetCapacity(3);
    AddAt("a", prSuccess, 9, 0, 1);
    AddAt("b", prSuccess, 9, 0, 2);
    AddAt("c", prSuccess, 9, 0, 3);
    Show(true, QString(), [&](TLogViewerForm& form) {
        AddAt("a-very-long-host-name.example.org", prTimedOut, 9, 0, 4);
        EXPECT_EQ(
            form.Lines(),
            QStringList({Q("12/08/26 09:00:04  a-very-long-host-name.example.org   Timed Out"),
                         Q("12/08/26 09:00:03                 c   Connected"),
                         Q("12/08/26 09:00:02                 b   Connected")}));
    });
}

TEST_F(LogViewerTest, ClearEmptiesTheWindowAndTheLog) {
    AddAt("a", prSuccess, 9, 0, 1);
    Show(true, QString(), [&](TLogViewerForm& form) {
        form.ClearBtn->click();
        EXPECT_TRUE(form.Lines().isEmpty());
        EXPECT_EQ(Log->Count(), 0);
        // The first line into an empty window.
        AddAt("b", prSuccess, 9, 0, 2);
        EXPECT_EQ(form.Lines(), QStringList{Q("12/08/26 09:00:02                 b   Connected")});
        form.ClearBtn->click();
    });
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_TRUE(form.Lines().isEmpty()); });
}

TEST_F(LogViewerTest, ClearFollowsThePermissionAndReferencesClearWithTheirComponents) {
    auto* settings = new TSentrelSettings(nullptr);
    Viewer->SetSettings(settings);
    settings->AllowClearLog = false;
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_FALSE(form.ClearBtn->isEnabled()); });
    delete settings;
    EXPECT_EQ(Viewer->Settings(), nullptr);
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_TRUE(form.ClearBtn->isEnabled()); });

    auto* other = new TStatusLog(nullptr);
    Viewer->SetLog(other);
    delete other;
    EXPECT_EQ(Viewer->Log(), nullptr);
    EXPECT_THROW(Viewer->Execute(), Exception);
}

TEST_F(LogViewerTest, ClosedWindowIgnoresNewRecords) {
    AddAt("a", prSuccess, 9, 0, 1);
    Show(true, QString(), [&](TLogViewerForm& form) {
        const QStringList before = form.Lines();
        form.CloseBtn->click();
        AddAt("b", prTimedOut, 9, 0, 2);
        EXPECT_EQ(form.Lines(), before);
    });
    AddAt("c", prTimedOut, 9, 0, 3);
    EXPECT_EQ(Log->Count(), 3);
}

TEST_F(LogViewerTest, SaveWritesTheLinesShownEachEndedByCrLf) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("Flur\xE2\x80\x93"
          "2",
          prTimedOut, 9, 6, 0);
    const QByteArray expected = "12/08/26 09:06:00            Flur\xE2\x80\x93"
                                "2   Timed Out\r\n"
                                "12/08/26 09:05:07          printer1   Connected\r\n";
    WriteAll(Path("old.log"), QByteArray(4096, 'x'));
    Show(true, QString(), [&](TLogViewerForm& form) {
        form.SaveToFile(Path("saved"));
        EXPECT_EQ(ReadAll(Path("saved.log")), expected); // UTF-8, no byte-order mark
        form.SaveToFile(Path("saved.txt"));
        form.SaveToFile(Path("old.log"));
        EXPECT_EQ(ReadAll(Path("old.log")), expected);
        // An emptied window saves an empty file.
        form.ClearBtnClick();
        form.SaveToFile(Path("empty.log"));
        EXPECT_EQ(ReadAll(Path("empty.log")), QByteArray());
    });
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList({Q("empty.log"), Q("old.log"), Q("saved.log"), Q("saved.txt")}));
}

// Types Name into the save dialog that comes up next and confirms it.
void TypeIntoSaveDialog(const QString& Name, std::function<void()> BeforeAccept = {},
                        QString* Chosen = nullptr,
                        const QString& Title = QStringLiteral("Save Log File")) {
    OnNextModal([=](QWidget* window) {
        auto* dialog = qobject_cast<QFileDialog*>(window);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), Title);
        dialog->selectFile(Name);
        // The dialog decides the full path (it may resolve a name in a missing
        // folder against its own folder); the report must name that path.
        if (Chosen != nullptr && !dialog->selectedFiles().isEmpty())
            *Chosen = dialog->selectedFiles().first();
        if (BeforeAccept)
            BeforeAccept();
        static_cast<QDialog*>(dialog)->accept();
    });
}

TEST_F(LogViewerTest, SaveButtonAddsTheExtensionAndAsksBeforeReplacing) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    AddAt("printer1", prSuccess, 9, 5, 7);
    const QByteArray expected = "12/08/26 09:05:07          printer1   Connected\r\n";
    QString question;
    Show(true, QString(), [&](TLogViewerForm& form) {
        TypeIntoSaveDialog(Path("typed"));
        form.SaveBtnClick();
        EXPECT_EQ(ReadAll(Path("typed.log")), expected);

        WriteAll(Path("typed.log"), "old content");
        TypeIntoSaveDialog(Path("typed"), [&] {
            OnNextModal([&](QWidget* box) {
                question = static_cast<QMessageBox*>(box)->text();
                static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
            });
        });
        form.SaveBtnClick();
        EXPECT_EQ(ReadAll(Path("typed.log")), expected);
    });
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    EXPECT_TRUE(question.contains(Q("already exists")));
}

TEST_F(LogViewerTest, AFileThatCannotBeCreatedIsReportedAndChangesNothing) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    AddAt("printer1", prSuccess, 9, 5, 7);
    QString missing = Path("missing/name.log");
    ExpectedErrorReports reports;
    Show(true, QString(), [&](TLogViewerForm& form) {
        const QStringList before = form.Lines();
        TypeIntoSaveDialog(missing, {}, &missing);
        form.SaveBtnClick();
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.Lines(), before);
        EXPECT_EQ(Log->Count(), 1);

        QDir(Dir.path()).mkdir(Q("folder.log"));
        try {
            form.SaveToFile(Path("folder"));
            ADD_FAILURE() << "saved over a folder";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Cannot create file \"" + Path("folder.log").toStdString() +
                                       "\". Is a directory");
        }
    });
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    EXPECT_EQ(reports.Texts, std::vector<QString>{Q("Cannot create file \"") + missing +
                                                  Q("\". No such file or directory.")});
}

TEST_F(LogViewerTest, AFailedWriteLeavesAnExistingFileWhole) {
    for (int i = 0; i < 50; ++i)
        AddAt("host" + std::to_string(i), prSuccess, 9, 0, i);
    const QByteArray old = "the old content\r\n";
    WriteAll(Path("kept.log"), old);
    Show(true, QString(), [&](TLogViewerForm& form) {
        // Files may not grow past 64 bytes: the write fails part-way.
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 64;
        setrlimit(RLIMIT_FSIZE, &small);
        try {
            form.SaveToFile(Path("kept.log"));
            ADD_FAILURE() << "the write did not fail";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Cannot create file \"" + Path("kept.log").toStdString() +
                                       "\". File too large");
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    });
    EXPECT_EQ(ReadAll(Path("kept.log")), old);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{Q("kept.log")});
}

TEST_F(LogViewerTest, SaveOffersCsvBesideTheTextAndWritesRecordsWithDescriptions) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    TSentrelSettings settings(nullptr);
    settings.Devices()->Add()->SetHost("router,1");
    settings.Devices()->Items(0)->SetDescription("Main \"router\"");
    Viewer->SetSettings(&settings);
    AddAt("router,1", prTimedOut, 9, 5, 7);
    AddAt("printer", prSuccess, 9, 6, 0);
    QStringList filters;
    Show(true, QString(), [&](TLogViewerForm& form) {
        OnNextModal([&](QWidget* window) {
            auto* dialog = qobject_cast<QFileDialog*>(window);
            ASSERT_NE(dialog, nullptr);
            filters = dialog->nameFilters();
            EXPECT_EQ(dialog->selectedNameFilter(), filters.first());
            // Chosen as a user does, from the list of kinds.
            auto* kinds = dialog->findChild<QComboBox*>(Q("fileTypeCombo"));
            ASSERT_NE(kinds, nullptr);
            kinds->setCurrentIndex(static_cast<int>(filters.indexOf(Q("CSV files (*.csv)"))) - 1);
            QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
            QApplication::sendEvent(kinds, &down);
            dialog->selectFile(Path("typed"));
            static_cast<QDialog*>(dialog)->accept();
        });
        form.SaveBtnClick();
    });
    Viewer->SetSettings(nullptr);
    unsetenv("TZ");
    tzset();
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    EXPECT_EQ(filters, QStringList({Q("Log Files (*.log)"), Q("Text Files (*.txt)"),
                                    Q("CSV files (*.csv)"), Q("All Files (*)")}));
    EXPECT_EQ(ReadAll(Path("typed.csv")),
              "Time,Host,Description,Status,Code\r\n"
              "2026-12-08T09:06:00+01:00,printer,,Connected,0\r\n"
              "2026-12-08T09:05:07+01:00,\"router,1\",\"Main \"\"router\"\"\",Timed Out,10\r\n");
}

TEST_F(LogViewerTest, ShowEarlierListsStatusChangesFromTheHistoryApartFromTheLog) {
    Show(false, QString(), [&](TLogViewerForm& form) {
        EXPECT_TRUE(form.EarlierBtn->isHidden()); // no history
        EXPECT_TRUE(form.ExportBtn->isHidden());
    });
    THistoryStore store(Path("history.sqlite").toStdString());
    const auto at = [](int day, int hour) {
        return EncodeDateTime({2026, 12, day, hour, 0, 0, 0});
    };
    store.AddChange({at(6, 10), "printer1", prTimedOut});
    store.AddChange({at(7, 8), "printer1", prSuccess});
    store.AddChange({at(7, 9), "other", prTimedOut});
    store.AddChange({at(8, 8), "printer1", prTimedOut}); // after the range asked for
    store.Flush();
    Viewer->SetHistory(&store);
    Viewer->DeviceHost = "printer1";
    AddAt("printer1", prSuccess, 9, 5, 7);
    Show(false, Q("Activity Log for printer1"), [&](TLogViewerForm& form) {
        ASSERT_TRUE(form.EarlierBtn->isVisible());
        OnNextModal([&](QWidget* window) {
            // Offered: the day before the log's oldest record.
            auto* from = window->findChild<QDateTimeEdit*>(Q("From"));
            auto* to = window->findChild<QDateTimeEdit*>(Q("To"));
            ASSERT_NE(from, nullptr);
            EXPECT_EQ(to->dateTime(), QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7)));
            from->setDateTime(QDateTime(QDate(2026, 12, 6), QTime(0, 0)));
            to->setDateTime(QDateTime(QDate(2026, 12, 8), QTime(0, 0)));
            static_cast<QDialog*>(window)->accept();
        });
        form.EarlierBtn->click();
        EXPECT_EQ(form.EarlierLines(), QStringList({Q("12/07/26 08:00:00  Connected"),
                                                    Q("12/06/26 10:00:00  Timed Out")}));
        EXPECT_TRUE(form.EarlierLabel->text().contains(Q("12/06/26")));
        // The log's own lines are as they were, and alone in what Save writes.
        EXPECT_EQ(form.Lines(), QStringList{Q("12/08/26 09:05:07  Connected")});

        QApplication::processEvents();
        EXPECT_TRUE(form.grab().save(Q("/tmp/log-earlier.png")));
    });
    Viewer->SetHistory(nullptr);
}

TEST_F(LogViewerTest, ExportWritesADevicesProbesFromTheHistoryToCsv) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    setenv("TZ", "UTC", 1);
    tzset();
    THistoryStore store(Path("history.sqlite").toStdString());
    // Over more than one of the hours the export reads at a time.
    const TDateTime start = EncodeDateTime({2026, 12, 8, 0, 0, 0, 0});
    for (int i = 0; i < 5000; ++i)
        store.AddProbe({start + i / 86400.0, i % 7 == 0 ? "other" : "printer1",
                        i % 5 == 0 ? prTimedOut : prSuccess, 5});
    store.Flush();
    Viewer->SetHistory(&store);
    Viewer->DeviceHost = "printer1";
    SetClock([] { return EncodeDateTime({2026, 12, 8, 12, 0, 0, 0}); });
    Show(false, QString(), [&](TLogViewerForm& form) {
        OnNextModal([&](QWidget* range) {
            range->findChild<QComboBox*>(Q("Kind"))->setCurrentIndex(1); // every probe
            TypeIntoSaveDialog(
                Path("export"),
                [] {
                    // Waits for the export to end; closing the window would cancel it.
                    OnNextModal([](QWidget* progress) {
                        QPointer<QWidget> open(progress);
                        WaitUntil([&] { return !open || !open->isVisible(); });
                    });
                },
                nullptr, Q("Export History"));
            static_cast<QDialog*>(range)->accept();
        });
        form.ExportBtn->click();
    });
    Viewer->SetHistory(nullptr);
    unsetenv("TZ");
    tzset();
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    const std::vector<std::vector<std::string>> rows =
        ReadCsv(ReadAll(Path("export.csv")).toStdString());
    ASSERT_EQ(rows.size(), 1 + 5000 - 715);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Time", "Host", "Description", "Result", "Code",
                                                 "RTT ms"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"2026-12-08T00:00:01+00:00", "printer1", "",
                                                 "Connected", "0", "5"}));
    EXPECT_EQ(rows[5], (std::vector<std::string>{"2026-12-08T00:00:05+00:00", "printer1", "",
                                                 "Timed Out", "10", ""}));
}

TEST_F(LogViewerTest, Screenshot) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("router.example.org", prTimedOut, 9, 6, 0);
    AddAt("server", prSuccess, 0, 0, 0);
    Show(true, Q("Network Activity Log"), [&](TLogViewerForm& form) {
        QApplication::processEvents();
        const QString folder = QApplication::applicationDirPath() + Q("/../screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(form.grab().save(folder + Q("/log-viewer.png")));
        // Short lines need no horizontal scroll bar; monospaced, so columns line up.
        EXPECT_FALSE(form.Memo->horizontalScrollBar()->isVisible());
        const QFontMetrics metrics(form.Memo->font());
        EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')),
                  metrics.horizontalAdvance(QLatin1Char('W')));
        EXPECT_LT(form.HelpBtn->geometry().right(), form.ClearBtn->x());
        EXPECT_TRUE(form.rect().contains(form.CloseBtn->geometry()));
    });
}

} // namespace
