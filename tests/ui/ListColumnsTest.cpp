// The device list's optional columns: chosen from the header, remembered,
// filled as replies arrive; and columns fitted to what they show.

#include "core/LogFormat.h"
#include "core/SentrelScannerCM.h"
#include "core/SentrelSettingsCM.h"
#include "framework/DateTime.h"
#include "tests/support/TempConfig.h"
#include "tests/ui/ModalHelper.h"
#include "ui/Images.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>

#include <gtest/gtest.h>

namespace {

std::string Settings(bool showWindow) {
    const auto dword = [](const char* name, int value) {
        return "\"" + std::string(name) + "\"=dword:0000000" + std::to_string(value) + "\n";
    };
    return "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]\n" +
           dword("AutoScan", 0) + dword("ShowWindow", showWindow ? 1 : 0) +
           dword("AllowEchoChange", 1) + dword("AllowDeviceChanges", 1) +
           dword("AllowClearLog", 1) + dword("AllowChangeLogSize", 1) +
           dword("ECHORequestSize", 8) + dword("IPTimeToLive", 9) + dword("ECHOTimeout", 5) +
           dword("PingInterval", 1) + dword("SystemLogSize", 9) + dword("DeviceLogSize", 9) +
           "[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]\n"
           "\"Host\"=\"127.0.0.1\"\n\"Description\"=\"\"\n" +
           dword("DeviceType", 0) + dword("Monitored", 1);
}

QAction* MenuAction(const TSentrelListView& list, const QString& text) {
    for (QAction* action : list.HeaderMenu()->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

class ListColumnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMain::SetTrayAvailability(true);
        Config.Write(Config.SettingsFile(), Settings(true));
    }
    void TearDown() override {
        TMain::SetTrayAvailability(std::nullopt);
        SetClock(nullptr);
    }
    static void Reply(TDeviceScanner* device, TPingResult result, uint32_t rtt) {
        TqsPingReply reply;
        reply.Result = result;
        reply.RoundTripTime = rtt;
        device->HostPingReply(device->InternetHost(), &reply);
    }

    TempConfig Config;
};

TEST_F(ListColumnsTest, TheDesignsColumnsComeFirstAndAColumnTurnedOnInTheHeaderMenuIsKept) {
    {
        TMain main({});
        TSentrelListView& list = *main.List;
        const QStringList design = {QStringLiteral("Host"), QStringLiteral("Status"),
                                    QStringLiteral("Description")};
        for (int c = 0; c < list.ColumnCount(); ++c) {
            if (c < 3) {
                EXPECT_EQ(list.model()->headerData(c, Qt::Horizontal).toString(), design[c]);
            }
            EXPECT_EQ(list.isColumnHidden(c), c >= 3) << c;
        }
        EXPECT_EQ(list.ColumnCount(), 7);
        EXPECT_EQ(list.columnWidth(0), 120);
        EXPECT_EQ(list.columnWidth(1), 120);

        // A right click on the header offers the menu.
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                                list.header()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(list.header()->viewport(), &click);
        EXPECT_TRUE(list.HeaderMenu()->isVisible());
        list.HeaderMenu()->hide();

        QAction* loss = MenuAction(list, QStringLiteral("Loss %"));
        ASSERT_NE(loss, nullptr);
        loss->trigger();
        EXPECT_FALSE(list.isColumnHidden(list.ColumnOf(TOptionalColumn::Loss)));
        EXPECT_TRUE(list.isColumnHidden(list.ColumnOf(TOptionalColumn::Rtt)));
    } // saved as the program ends
    TMain main({});
    EXPECT_FALSE(main.List->isColumnHidden(main.List->ColumnOf(TOptionalColumn::Loss)));
    EXPECT_TRUE(MenuAction(*main.List, QStringLiteral("Loss %"))->isChecked());
    EXPECT_TRUE(main.List->isColumnHidden(main.List->ColumnOf(TOptionalColumn::DownSince)));
}

TEST_F(ListColumnsTest, RepliesFillTheShownFiguresAndAColumnShownLaterStartsCurrent) {
    SetClock([] { return 45000.5; });
    TMain main({});
    TSentrelListView& list = *main.List;
    for (const auto column : {TOptionalColumn::Rtt, TOptionalColumn::Loss})
        list.SetColumnShown(column, true);
    TDeviceScanner* device = main.Scanner->Scanners()->Items(0);
    auto* row = static_cast<TListItem*>(device->ListItem);
    const auto cell = [&](TOptionalColumn column) {
        return row->SubItem(list.ColumnOf(column) - 1);
    };
    Reply(device, prSuccess, 12);
    EXPECT_EQ(cell(TOptionalColumn::Rtt), QStringLiteral("12 ms"));
    EXPECT_EQ(cell(TOptionalColumn::Loss), QStringLiteral("0 %"));
    Reply(device, prSuccess, 0);
    EXPECT_EQ(cell(TOptionalColumn::Rtt), QStringLiteral("<1 ms"));
    Reply(device, prTimedOut, 0);
    EXPECT_EQ(cell(TOptionalColumn::Rtt), QString());
    EXPECT_EQ(cell(TOptionalColumn::Loss), QStringLiteral("33 %"));
    EXPECT_EQ(cell(TOptionalColumn::Availability), QString()); // hidden: not kept

    list.SetColumnShown(TOptionalColumn::Availability, true);
    EXPECT_EQ(cell(TOptionalColumn::Availability), QStringLiteral("66.6 %"));
    list.SetColumnShown(TOptionalColumn::DownSince, true);
    Reply(device, prTimedOut, 0);
    Reply(device, prTimedOut, 0); // the third in a row: down
    EXPECT_EQ(cell(TOptionalColumn::DownSince), QString::fromStdString(FormatDateTime(45000.5)));
    Reply(device, prSuccess, 3);
    EXPECT_EQ(cell(TOptionalColumn::DownSince), QString());
}

TEST_F(ListColumnsTest, FittingWidensTheStatusColumnToItsLongestResult) {
    TMain main({});
    main.TimerTimer();
    ASSERT_TRUE(main.isVisible());
    TSentrelListView& list = *main.List;
    Reply(main.Scanner->Scanners()->Items(0), prDestHostUnreachable, 0);
    const int needed = list.fontMetrics().horizontalAdvance(QStringLiteral("Host Unreachable")) +
                       images::Small(images::LampRed).width();
    ASSERT_LT(list.columnWidth(1), needed); // the designed width cuts it

    // A double click on the Status column's right divider.
    QHeaderView* header = list.header();
    const QPoint divider(header->sectionViewportPosition(1) + header->sectionSize(1) - 1,
                         header->height() / 2);
    QMouseEvent click(QEvent::MouseButtonDblClick, divider,
                      header->viewport()->mapToGlobal(divider), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &click);
    EXPECT_GE(list.columnWidth(1), needed);

    list.setColumnWidth(1, 120);
    MenuAction(list, QStringLiteral("&Fit columns to contents"))->trigger();
    EXPECT_GE(list.columnWidth(1), needed);
}

TEST_F(ListColumnsTest, StatusFitsItsTextsAfterTheFirstRepliesUnlessItsDividerWasDragged) {
    TMain main({});
    main.TimerTimer();
    ASSERT_TRUE(main.isVisible());
    TSentrelListView& list = *main.List;
    EXPECT_EQ(list.columnWidth(1), 120); // short texts: as wide as made
    const int needed = list.fontMetrics().horizontalAdvance(QStringLiteral("Host Unreachable")) +
                       images::Small(images::LampRed).width();
    list.FitColumnsAfterReplies();
    Reply(main.Scanner->Scanners()->Items(0), prDestHostUnreachable, 0);
    Reply(main.Scanner->Scanners()->Items(0), prDestHostUnreachable, 0);
    EXPECT_TRUE(WaitUntil([&] { return list.columnWidth(1) >= needed; }));

    // The user drags the Status divider: the width is theirs from then on.
    QHeaderView* header = list.header();
    const auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(header->viewport(), &event);
    };
    const QPoint divider(header->sectionViewportPosition(1) + header->sectionSize(1) - 1,
                         header->height() / 2);
    const int before = list.columnWidth(1);
    mouse(QEvent::MouseButtonPress, divider, Qt::LeftButton);
    mouse(QEvent::MouseMove, divider - QPoint(40, 0), Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, divider - QPoint(40, 0), Qt::NoButton);
    ASSERT_EQ(list.columnWidth(1), before - 40);
    EXPECT_TRUE(list.ColumnSizedByUser(1));
    EXPECT_FALSE(list.ColumnSizedByUser(0));
    list.Rebuild();
    EXPECT_EQ(list.columnWidth(1), before - 40);
}

} // namespace
