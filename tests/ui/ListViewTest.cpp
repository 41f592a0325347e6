#include "ui/ListView.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// Sorted by the number in the caption.
class ListViewTest : public ::testing::Test {
protected:
    ListViewTest() {
        List.AddColumn(QStringLiteral("Host"), 100);
        List.AddColumn(QStringLiteral("Status"), 100);
        List.OnCompare = [](TListItem* a, TListItem* b) {
            return a->Caption().toInt() - b->Caption().toInt();
        };
    }
    TListItem* Add(int n) {
        TListItem* item = List.AddItem();
        item->SetCaption(QString::number(n));
        return item;
    }
    std::vector<int> Order() const {
        std::vector<int> order;
        for (int i = 0; i < List.Count(); ++i) {
            order.push_back(List.Item(i)->Caption().toInt());
            EXPECT_EQ(List.Item(i)->Index(), i);
        }
        return order;
    }
    TListView List;
};

TEST_F(ListViewTest, SortingOnSortsAtOnceAndChangedRowsFindTheirPlace) {
    for (int n : {5, 3, 9, 1})
        Add(n);
    EXPECT_EQ(Order(), (std::vector<int>{5, 3, 9, 1})); // not sorting yet
    List.SetSortType(TSortType::stBoth);
    EXPECT_EQ(Order(), (std::vector<int>{1, 3, 5, 9}));
    List.Item(0)->SetCaption(QStringLiteral("7")); // 1 -> 7 moves down
    EXPECT_EQ(Order(), (std::vector<int>{3, 5, 7, 9}));
    List.Item(3)->SetCaption(QStringLiteral("0")); // 9 -> 0 moves up
    EXPECT_EQ(Order(), (std::vector<int>{0, 3, 5, 7}));
    Add(4);
    List.AlphaSort();
    EXPECT_EQ(Order(), (std::vector<int>{0, 3, 4, 5, 7}));
}

TEST_F(ListViewTest, ManyRandomChangesKeepTheOrder) {
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i)
        Add(static_cast<int>(random() % 1000));
    List.SetSortType(TSortType::stBoth);
    for (int i = 0; i < 2000; ++i)
        List.Item(static_cast<int>(random() % 300))->SetCaption(QString::number(random() % 1000));
    const std::vector<int> order = Order();
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST_F(ListViewTest, ItemsChangedThroughTheirPointersAreFoundWhereverTheyMoved) {
    // Rows passed by a move keep their stored places until asked: each change
    // must still name the item's true row to the view and move that row.
    std::mt19937 random(11);
    std::vector<TListItem*> items;
    for (int i = 0; i < 200; ++i)
        items.push_back(Add(static_cast<int>(random() % 1000)));
    List.SetSortType(TSortType::stBoth);
    TListItem* changing = nullptr;
    int wrongRows = 0;
    QObject::connect(List.model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& topLeft, const QModelIndex&) {
                         if (List.Item(topLeft.row()) != changing)
                             ++wrongRows;
                     });
    for (int i = 0; i < 3000; ++i) {
        changing = items[random() % items.size()];
        changing->SetCaption(QString::number(random() % 1000));
        ASSERT_EQ(List.Item(changing->Index()), changing);
    }
    EXPECT_EQ(wrongRows, 0);
    const std::vector<int> order = Order();
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST_F(ListViewTest, SelectionFollowsItsItemThroughSorting) {
    for (int n : {5, 3, 9})
        Add(n);
    TListItem* nine = List.Item(2);
    List.SetSelected(nine);
    List.SetSortType(TSortType::stBoth);
    EXPECT_EQ(List.Selected(), nine);
    nine->SetCaption(QStringLiteral("1"));
    EXPECT_EQ(List.Selected(), nine);
    EXPECT_EQ(nine->Index(), 0);
    List.SetSelected(nullptr);
    EXPECT_EQ(List.Selected(), nullptr);
}

TEST_F(ListViewTest, CheckBoxChangesAreReportedButNotDuringABulkUpdate) {
    List.SetCheckboxes(true);
    std::vector<std::pair<TListItem*, TItemChange>> changes;
    List.OnChange = [&](TListItem* item, TItemChange change) {
        changes.emplace_back(item, change);
    };
    List.BeginUpdate();
    TListItem* a = Add(1);
    a->SetChecked(true);
    List.EndUpdate();
    EXPECT_TRUE(changes.empty());
    // A click on the box goes through the model.
    const QModelIndex box = List.model()->index(0, 0);
    EXPECT_EQ(List.model()->data(box, Qt::CheckStateRole).toInt(), Qt::Checked);
    List.model()->setData(box, Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_FALSE(a->Checked());
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().first, a);
    EXPECT_EQ(changes.back().second, TItemChange::ctState);
}

TEST_F(ListViewTest, DeletingAndClearingKeepPositionsRight) {
    for (int n : {1, 2, 3, 4})
        Add(n);
    List.DeleteItem(List.Item(1));
    EXPECT_EQ(Order(), (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(List.model()->rowCount({}), 3);
    List.ClearItems();
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.model()->rowCount({}), 0);
}

TEST_F(ListViewTest, ModelShowsTextsImagesAndSubItems) {
    List.SetSmallImages([](int index) {
        QPixmap pixmap(16, 16);
        pixmap.fill(index == 1 ? Qt::green : Qt::red);
        return pixmap;
    });
    TListItem* item = Add(3);
    item->SetImageIndex(2);
    item->SetSubItem(0, QStringLiteral("Connected"));
    item->SetSubItemImage(0, 1);
    QAbstractItemModel* model = List.model();
    EXPECT_EQ(model->data(model->index(0, 0)).toString(), QStringLiteral("3"));
    EXPECT_EQ(model->data(model->index(0, 1)).toString(), QStringLiteral("Connected"));
    EXPECT_FALSE(model->data(model->index(0, 1), Qt::DecorationRole).isNull());
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Status"));
    EXPECT_TRUE(model->data(model->index(0, 0), Qt::CheckStateRole).isNull()); // no boxes
}

// What the view shows, top to bottom: the numbers in the model's rows.
std::vector<int> Shown(const TListView& list) {
    std::vector<int> shown;
    const QAbstractItemModel* model = list.model();
    for (int row = 0; row < model->rowCount({}); ++row)
        shown.push_back(model->data(model->index(row, 0)).toInt());
    return shown;
}

TEST_F(ListViewTest, FilterShowsRowsHoldingTheTextInTheCaptionOrAShownColumn) {
    List.AddColumn(QStringLiteral("Description"), 100);
    List.SetSortType(TSortType::stBoth);
    for (int n : {10, 21, 32, 43})
        Add(n);
    List.Item(0)->SetSubItem(0, QStringLiteral("Timed Out"));
    List.Item(1)->SetSubItem(1, QStringLiteral("Printer upstairs"));
    List.setColumnHidden(2, true);
    List.Refilter();
    List.SetFilter(QStringLiteral("  3 "));
    EXPECT_EQ(Shown(List), (std::vector<int>{32, 43}));
    List.SetFilter(QStringLiteral("TIMED"));
    EXPECT_EQ(Shown(List), (std::vector<int>{10}));
    EXPECT_EQ(List.ShownCount(), 1);
    List.SetFilter(QStringLiteral("upstairs")); // in a hidden column: not read
    EXPECT_EQ(List.ShownCount(), 0);
    List.setColumnHidden(2, false);
    List.Refilter();
    EXPECT_EQ(Shown(List), (std::vector<int>{21}));
    List.SetFilter(QStringLiteral("nothing like it"));
    EXPECT_EQ(List.ShownCount(), 0);
    // With no row left the columns keep their widths.
    EXPECT_EQ(List.columnWidth(0), 100);
    EXPECT_FALSE(List.isColumnHidden(2));
    List.SetFilter(QString());
    EXPECT_EQ(Shown(List), (std::vector<int>{10, 21, 32, 43}));
    EXPECT_EQ(List.Count(), 4);
}

TEST_F(ListViewTest, RowsChangingWhileFilteredShowHideAndMoveInOrder) {
    // Captions and status texts change at random, as replies do; after each
    // change the view shows exactly the matching items in their order.
    std::mt19937 random(5);
    std::vector<TListItem*> items;
    for (int i = 0; i < 200; ++i)
        items.push_back(Add(static_cast<int>(random() % 1000)));
    List.SetSortType(TSortType::stBoth);
    // Fails the test on any signal that does not fit the rows before and after.
    QAbstractItemModelTester tester(List.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    List.resize(200, 300);
    List.show();
    List.SetFilter(QStringLiteral("1"));
    const QStringList statuses = {QStringLiteral("Connected"), QStringLiteral("Timed Out"),
                                  QStringLiteral("Host 1")};
    int wrongRows = 0;
    TListItem* changing = nullptr;
    QObject::connect(List.model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& topLeft, const QModelIndex&) {
                         if (List.ItemAtRow(topLeft.row()) != changing)
                             ++wrongRows;
                     });
    for (int i = 0; i < 3000; ++i) {
        changing = items[random() % items.size()];
        if (random() % 2 == 0)
            changing->SetCaption(QString::number(random() % 1000));
        else
            changing->SetSubItem(0, statuses[static_cast<int>(random() % 3)]);
        if (i % 500 == 0)
            List.SetFilter(i % 1000 == 0 ? QStringLiteral("1") : QStringLiteral("12"));
        std::vector<int> expected;
        for (int p = 0; p < List.Count(); ++p)
            if (List.Item(p)->Caption().contains(List.Filter()) ||
                List.Item(p)->SubItem(0).contains(List.Filter()))
                expected.push_back(List.Item(p)->Caption().toInt());
        ASSERT_EQ(Shown(List), expected) << "after change " << i;
        if (i % 100 == 0)
            QApplication::processEvents(); // the view lays out and paints what it has
    }
    EXPECT_EQ(wrongRows, 0);
    const std::vector<int> order = Order();
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    List.SetFilter(QString());
    EXPECT_EQ(List.ShownCount(), 200);
}

TEST_F(ListViewTest, AHiddenSelectedRowIsDeselectedAndTheCurrentRowMovesToAShownOne) {
    for (int n : {1, 2, 3, 4, 31})
        Add(n);
    List.SetSortType(TSortType::stBoth);
    TListItem* two = List.Item(1);
    TListItem* three = List.Item(2);
    List.SetSelected(two);
    List.SetFilter(QStringLiteral("3"));
    EXPECT_EQ(List.Selected(), nullptr);
    ASSERT_TRUE(List.currentIndex().isValid());
    EXPECT_EQ(List.ItemAtRow(List.currentIndex().row()), three);
    List.SetSelected(three);
    List.SetFilter(QString());
    EXPECT_EQ(List.Selected(), three); // kept through the change
    // A change of its own text hiding the selected row while filtered; the
    // current place goes on once the changes of the moment are done.
    List.SetFilter(QStringLiteral("3"));
    three->SetCaption(QStringLiteral("5"));
    EXPECT_EQ(List.Selected(), nullptr);
    EXPECT_EQ(List.ShownCount(), 1);
    QApplication::processEvents();
    ASSERT_TRUE(List.currentIndex().isValid());
    EXPECT_EQ(List.ItemAtRow(List.currentIndex().row())->Caption(), QStringLiteral("31"));
    List.SetSelected(two); // hidden: nothing selected
    EXPECT_EQ(List.Selected(), nullptr);
}

} // namespace
