// The debug message channel: the window appears on the first message, filters
// by level, and keeps its lines and boxes until the channel ends.

#include "help/DebugFM.h"
#include "help/qsDebug.h"

#include <QApplication>
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include <thread>

namespace {

class DebugChannel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(QApplication::instance(), nullptr);
        qsDebug::Initialize();
    }
    void TearDown() override { qsDebug::Finalize(); }

    static TDebugForm* Form() { return DebugReceiver->DebugForm(); }
    static QStringList Lines() {
        const QString text = Form()->Memo->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
};

TEST_F(DebugChannel, TheFirstMessageCreatesAndShowsTheWindow) {
    EXPECT_EQ(Form(), nullptr);
    DebugSender->Send(dlWarning, QStringLiteral("disk low"));
    ASSERT_NE(Form(), nullptr);
    EXPECT_TRUE(Form()->isVisible());
    EXPECT_EQ(Form()->windowTitle(), QStringLiteral("Vesk's Debugger"));
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("WARNING disk low")});
    EXPECT_TRUE(Form()->Memo->isReadOnly());
    for (QCheckBox* box : {Form()->Trace, Form()->Info, Form()->Warning, Form()->Error})
        EXPECT_TRUE(box->isChecked()) << box->text().toStdString();
}

TEST_F(DebugChannel, EachLevelHasItsEightCharacterPrefix) {
    DebugSender->Send(dlTrace, QStringLiteral("a"));
    DebugSender->Send(dlInfo, QStringLiteral("b"));
    DebugSender->Send(dlWarning, QStringLiteral("c"));
    DebugSender->Send(dlError, QStringLiteral("d"));
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("TRACE   a"), QStringLiteral("INFO    b"),
                                    QStringLiteral("WARNING c"), QStringLiteral("ERROR   d")}));
}

TEST_F(DebugChannel, AnUncheckedLevelNeitherAddsALineNorShowsTheWindow) {
    DebugSender->Send(dlInfo, QStringLiteral("first"));
    Form()->close();
    EXPECT_FALSE(Form()->isVisible());
    Form()->Trace->setChecked(false);

    DebugSender->Send(dlTrace, QStringLiteral("hidden"));
    EXPECT_FALSE(Form()->isVisible());
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("INFO    first")});

    // Closing only hid the window: the next line shows it with the earlier ones.
    DebugSender->Send(dlError, QStringLiteral("shown"));
    EXPECT_TRUE(Form()->isVisible());
    EXPECT_EQ(Lines(),
              (QStringList{QStringLiteral("INFO    first"), QStringLiteral("ERROR   shown")}));
}

TEST_F(DebugChannel, LevelsBeyondErrorAreIgnored) {
    DebugSender->Send(static_cast<TDebugLevel>(4), QStringLiteral("four"));
    DebugSender->Send(static_cast<TDebugLevel>(255), QStringLiteral("many"));
    ASSERT_NE(Form(), nullptr);
    EXPECT_FALSE(Form()->isVisible());
    EXPECT_EQ(Lines(), QStringList{});
}

TEST_F(DebugChannel, ClearLeavesOnlyWhatComesAfterIt) {
    DebugSender->Send(dlInfo, QStringLiteral("old 1"));
    DebugSender->Send(dlInfo, QStringLiteral("old 2"));
    Form()->Warning->setChecked(false);
    Form()->Clear->click();
    EXPECT_EQ(Lines(), QStringList{});
    EXPECT_FALSE(Form()->Warning->isChecked());
    DebugSender->Send(dlError, QStringLiteral("new"));
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("ERROR   new")});
}

TEST_F(DebugChannel, MessagesFromOtherThreadsArriveOnTheMainThread) {
    std::thread worker([] { DebugSender->Send(dlInfo, QStringLiteral("from a worker")); });
    worker.join();
    EXPECT_EQ(Form(), nullptr); // not yet: queued
    QCoreApplication::processEvents();
    ASSERT_NE(Form(), nullptr);
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("INFO    from a worker")});
}

TEST_F(DebugChannel, TheEndOfTheChannelDestroysTheWindowAndLaterMessagesAreDropped) {
    DebugSender->Send(dlInfo, QStringLiteral("x"));
    const QPointer<TDebugForm> form = Form();
    qsDebug::Finalize();
    EXPECT_TRUE(form.isNull());
    EXPECT_EQ(DebugSender, nullptr);
    EXPECT_EQ(DebugReceiver, nullptr);
    TqsDebugSender().Send(dlError, QStringLiteral("after the end"));
    qsDebug::Initialize(); // for TearDown
}

} // namespace
