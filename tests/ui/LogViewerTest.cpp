// The log viewer, headless: the lines of both kinds of log, live records,
// clearing, saving and its failures.

#include "core/SentrelSettingsCM.h"
#include "core/StatusLogCM.h"
#include "framework/Exceptions.h"
#include "tests/support/TempConfig.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/LogViewerCM.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <clocale>
#include <csignal>
#include <functional>
#include <memory>
#include <ostream>

void PrintTo(const QString& text, std::ostream* out);

namespace {

// Runs Action on the modal window that comes up next, then closes that
// window if the action left it open, so a failed check cannot hang the test.
void OnNextModal(std::function<void(QWidget*)> Action) {
    QTimer::singleShot(0, [Action] {
        QWidget* window = QApplication::activeModalWidget();
        ASSERT_NE(window, nullptr);
        QPointer<QWidget> guard(window);
        Action(window);
        if (guard && guard->isVisible())
            guard->close();
    });
}

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
        SetErrorReportHook([this](const QString& text) { Reports.push_back(text); });
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
        SetErrorReportHook(nullptr);
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

    QString Path(const char* name) const { return Dir.filePath(QString::fromUtf8(name)); }

    TempConfig Config;
    QTemporaryDir Dir;
    std::unique_ptr<TComponent> Owner;
    TStatusLog* Log = nullptr;
    TLogViewer* Viewer = nullptr;
    std::vector<QString> Reports;
    std::vector<int> Helps;
};

TEST_F(LogViewerTest, SystemLogShowsHostsNewestFirstAndNewRecordsOnTop) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("router", prTimedOut, 9, 6, 0);
    AddAt("server", prSuccess, 9, 7, 0);
    Show(true, QStringLiteral("Network Activity Log"), [&](TLogViewerForm& form) {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Network Activity Log"));
        EXPECT_EQ(form.Lines(), QStringList({
                                    QStringLiteral("12/08/26 09:07:00            server   Connected"),
                                    QStringLiteral("12/08/26 09:06:00            router   Timed Out"),
                                    QStringLiteral("12/08/26 09:05:07          printer1   Connected"),
                                }));
        EXPECT_EQ(form.size(), QSize(460, 420));
        EXPECT_EQ(HelpContext(&form), 100);
        EXPECT_TRUE(form.ClearBtn->isEnabled()); // no settings
        EXPECT_TRUE(form.Memo->isReadOnly());
        // Monospaced, so the padded columns line up.
        const QFontMetrics metrics(form.Memo->font());
        EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')),
                  metrics.horizontalAdvance(QLatin1Char('W')));
        EXPECT_TRUE(form.CloseBtn->isDefault());
        EXPECT_EQ(form.HelpBtn->text(), QStringLiteral("&Help"));
        EXPECT_EQ(form.ClearBtn->text(), QStringLiteral("&Clear"));
        EXPECT_EQ(form.SaveBtn->text(), QStringLiteral("&Save"));
        EXPECT_EQ(form.CloseBtn->text(), QStringLiteral("&Close"));

        form.HelpBtn->click();
        EXPECT_EQ(Helps, std::vector<int>{100});

        AddAt("printer1", prTimedOut, 9, 8, 0);
        ASSERT_EQ(form.Lines().size(), 4);
        EXPECT_EQ(form.Lines().first(),
                  QStringLiteral("12/08/26 09:08:00          printer1   Timed Out"));
        EXPECT_EQ(form.Lines().last(),
                  QStringLiteral("12/08/26 09:05:07          printer1   Connected"));
        form.CloseBtn->click();
    });
}

TEST_F(LogViewerTest, DeviceLogHasNoHostColumnAndKeepsTheWindowsOwnCaption) {
    AddAt("printer1", prTimedOut, 9, 5, 7);
    Show(false, QString(), [&](TLogViewerForm& form) {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Status Log Viewer"));
        EXPECT_EQ(form.Lines(), QStringList{QStringLiteral("12/08/26 09:05:07  Timed Out")});
        EXPECT_EQ(form.size(), QSize(360, 320));
        EXPECT_EQ(HelpContext(&form), 110);
        form.HelpBtn->click();
        AddAt("printer1", prSuccess, 9, 6, 0);
        EXPECT_EQ(form.Lines().first(), QStringLiteral("12/08/26 09:06:00  Connected"));
    });
    EXPECT_EQ(Helps, std::vector<int>{110});
}

TEST_F(LogViewerTest, LinesBeyondTheCapacityDropOffTheBottom) {
    Log->SetCapacity(3);
    AddAt("a", prSuccess, 9, 0, 1);
    AddAt("b", prSuccess, 9, 0, 2);
    AddAt("c", prSuccess, 9, 0, 3);
    Show(true, QString(), [&](TLogViewerForm& form) {
        ASSERT_EQ(form.Lines().size(), 3);
        AddAt("d", prTimedOut, 9, 0, 4);
        EXPECT_EQ(form.Lines(), QStringList({
                                    QStringLiteral("12/08/26 09:00:04                 d   Timed Out"),
                                    QStringLiteral("12/08/26 09:00:03                 c   Connected"),
                                    QStringLiteral("12/08/26 09:00:02                 b   Connected"),
                                }));
    });
}

TEST_F(LogViewerTest, MidnightShowsTheDateAloneAndLongHostsAreWrittenInFull) {
    const std::string host = "a-very-long-host-name.example.org";
    AddAt(host, prSuccess, 0, 0, 0);
    Show(true, QString(), [&](TLogViewerForm& form) {
        EXPECT_EQ(form.Lines(), QStringList{QStringLiteral(
                                    "        12/08/26  a-very-long-host-name.example.org   Connected")});
        // A live record at midnight, into a window that was empty before.
        form.ClearBtnClick();
        AddAt("h", prTimedOut, 0, 0, 0);
        EXPECT_EQ(form.Lines(), QStringList{QStringLiteral(
                                    "        12/08/26                 h   Timed Out")});
    });
}

TEST_F(LogViewerTest, ClearEmptiesTheWindowAndTheLog) {
    AddAt("a", prSuccess, 9, 0, 1);
    AddAt("b", prSuccess, 9, 0, 2);
    Show(true, QString(), [&](TLogViewerForm& form) {
        form.ClearBtn->click();
        EXPECT_TRUE(form.Lines().isEmpty());
        EXPECT_EQ(Log->Count(), 0);
    });
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_TRUE(form.Lines().isEmpty()); });
}

TEST_F(LogViewerTest, ClearFollowsThePermissionAndReferencesClearWithTheirComponents) {
    auto* settings = new TSentrelSettings(nullptr);
    Viewer->SetSettings(settings);
    settings->AllowClearLog = false;
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_FALSE(form.ClearBtn->isEnabled()); });
    settings->AllowClearLog = true;
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_TRUE(form.ClearBtn->isEnabled()); });

    delete settings;
    EXPECT_EQ(Viewer->Settings(), nullptr);
    Show(true, QString(), [&](TLogViewerForm& form) { EXPECT_TRUE(form.ClearBtn->isEnabled()); });

    // A log owned elsewhere, destroyed after it was shown.
    auto* other = new TStatusLog(nullptr);
    other->SetCapacity(5);
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
        EXPECT_FALSE(form.FShowing);
        AddAt("b", prTimedOut, 9, 0, 2);
        EXPECT_EQ(form.Lines(), before);
    });
    AddAt("c", prTimedOut, 9, 0, 3);
    EXPECT_EQ(Log->Count(), 3);
}

TEST_F(LogViewerTest, SaveWritesTheLinesShownEachEndedByCrLf) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("Flur\xE2\x80\x93" "2", prTimedOut, 9, 6, 0);
    const QByteArray expected = "12/08/26 09:06:00            Flur\xE2\x80\x93" "2   Timed Out\r\n"
                                "12/08/26 09:05:07          printer1   Connected\r\n";
    WriteAll(Path("old.log"), QByteArray(4096, 'x'));
    Show(true, QString(), [&](TLogViewerForm& form) {
        form.SaveToFile(Path("saved"));
        EXPECT_EQ(ReadAll(Path("saved.log")), expected); // UTF-8, no byte-order mark
        form.SaveToFile(Path("saved.txt"));
        EXPECT_EQ(ReadAll(Path("saved.txt")), expected);
        form.SaveToFile(Path("old.log"));
        EXPECT_EQ(ReadAll(Path("old.log")), expected);
        // What is shown, not the log: a cleared window saves an empty file.
        form.Memo->clear();
        form.SaveToFile(Path("empty.log"));
        EXPECT_EQ(ReadAll(Path("empty.log")), QByteArray());
    });
    EXPECT_TRUE(Reports.empty());
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files),
              QStringList({QStringLiteral("empty.log"), QStringLiteral("old.log"),
                           QStringLiteral("saved.log"), QStringLiteral("saved.txt")}));
}

TEST_F(LogViewerTest, SaveButtonAddsTheExtensionAndAsksBeforeReplacing) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    AddAt("printer1", prSuccess, 9, 5, 7);
    const QByteArray expected = "12/08/26 09:05:07          printer1   Connected\r\n";
    QString question;
    Show(true, QString(), [&](TLogViewerForm& form) {
        OnNextModal([&](QWidget* window) {
            auto* dialog = qobject_cast<QFileDialog*>(window);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Save Log File"));
            EXPECT_EQ(dialog->nameFilters(),
                      QStringList({QStringLiteral("Log Files (*.log)"), QStringLiteral("Text Files (*.txt)"),
                                   QStringLiteral("All Files (*)")}));
            dialog->selectFile(Path("typed"));
            static_cast<QDialog*>(dialog)->accept();
        });
        form.SaveBtnClick();
        EXPECT_EQ(ReadAll(Path("typed.log")), expected);

        // The same name again: the dialog asks, and Yes replaces the file.
        WriteAll(Path("typed.log"), "old content");
        OnNextModal([&](QWidget* window) {
            auto* dialog = qobject_cast<QFileDialog*>(window);
            ASSERT_NE(dialog, nullptr);
            dialog->selectFile(Path("typed"));
            OnNextModal([&](QWidget* box) {
                auto* message = qobject_cast<QMessageBox*>(box);
                ASSERT_NE(message, nullptr);
                question = message->text();
                message->button(QMessageBox::Yes)->click();
            });
            static_cast<QDialog*>(dialog)->accept();
        });
        form.SaveBtnClick();
        EXPECT_EQ(ReadAll(Path("typed.log")), expected);

        // Cancelling writes nothing.
        OnNextModal([&](QWidget* window) {
            auto* dialog = qobject_cast<QFileDialog*>(window);
            ASSERT_NE(dialog, nullptr);
            dialog->selectFile(Path("cancelled"));
            dialog->reject();
        });
        form.SaveBtnClick();
        EXPECT_FALSE(QFile::exists(Path("cancelled.log")));
    });
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    EXPECT_TRUE(question.contains(QStringLiteral("already exists")));
    EXPECT_TRUE(Reports.empty());
}

TEST_F(LogViewerTest, AFileThatCannotBeCreatedIsReportedAndChangesNothing) {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    AddAt("printer1", prSuccess, 9, 5, 7);
    const QString missing = Path("missing/name.log");
    Show(true, QString(), [&](TLogViewerForm& form) {
        const QStringList before = form.Lines();
        OnNextModal([&](QWidget* window) {
            auto* dialog = qobject_cast<QFileDialog*>(window);
            ASSERT_NE(dialog, nullptr);
            dialog->selectFile(missing);
            static_cast<QDialog*>(dialog)->accept();
        });
        form.SaveBtnClick();
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.FShowing);
        EXPECT_EQ(form.Lines(), before);
        EXPECT_EQ(Log->Count(), 1);

        // A folder's name: the system's own reason.
        QDir(Dir.path()).mkdir(QStringLiteral("folder.log"));
        try {
            form.SaveToFile(Path("folder"));
            ADD_FAILURE() << "saved over a folder";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Cannot create file \"" + Path("folder.log").toStdString() +
                                       "\". Is a directory");
        }
    });
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0], QStringLiteral("Cannot create file \"") + missing +
                              QStringLiteral("\". No such file or directory."));
    EXPECT_FALSE(QDir(Path("missing")).exists());
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
            EXPECT_EQ(e.Message(),
                      "Cannot create file \"" + Path("kept.log").toStdString() + "\". File too large");
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    });
    EXPECT_EQ(ReadAll(Path("kept.log")), old);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("kept.log")});
}

TEST_F(LogViewerTest, Screenshot) {
    AddAt("printer1", prSuccess, 9, 5, 7);
    AddAt("router.example.org", prTimedOut, 9, 6, 0);
    AddAt("server", prSuccess, 0, 0, 0);
    Show(true, QStringLiteral("Network Activity Log"), [&](TLogViewerForm& form) {
        QApplication::processEvents();
        const QString folder = QApplication::applicationDirPath() + QStringLiteral("/../screenshots");
        QDir().mkpath(folder);
        EXPECT_TRUE(form.grab().save(folder + QStringLiteral("/log-viewer.png")));
        // Buttons inside the window, Help on the left, Close on the right.
        const QRect inside = form.rect();
        for (QPushButton* b : {form.HelpBtn, form.ClearBtn, form.SaveBtn, form.CloseBtn})
            EXPECT_TRUE(inside.contains(b->geometry())) << b->text().toStdString();
        EXPECT_LT(form.HelpBtn->x(), form.ClearBtn->x());
        EXPECT_LT(form.ClearBtn->x(), form.SaveBtn->x());
        EXPECT_LT(form.SaveBtn->x(), form.CloseBtn->x());
        EXPECT_LT(form.Memo->geometry().bottom(), form.CloseBtn->y());
    });
}

} // namespace
