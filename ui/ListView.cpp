#include "ui/ListView.h"

#include <QHeaderView>
#include <QMouseEvent>

#include <algorithm>

int CompareTextNoCase(const QString& A, const QString& B) {
    const qsizetype n = std::min(A.size(), B.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = A[i].unicode();
        char16_t y = B[i].unicode();
        if (x >= 'a' && x <= 'z')
            x = static_cast<char16_t>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char16_t>(y - 'a' + 'A');
        if (x != y)
            return x < y ? -1 : 1;
    }
    return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

// ---- the model behind the view: a flat table over the view's items

class TListModel : public QAbstractTableModel {
public:
    explicit TListModel(TListView* View) : QAbstractTableModel(View), FView(View) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : FView->Count();
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : FView->ColumnCount();
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= FView->Count())
            return {};
        const TListItem* item = FView->Item(index.row());
        const int column = index.column();
        switch (role) {
        case Qt::DisplayRole:
            return column == 0 ? item->Caption() : item->SubItem(column - 1);
        case Qt::DecorationRole: {
            const int image = column == 0 ? item->ImageIndex() : item->SubItemImage(column - 1);
            if (image < 0 || !FView->FImages)
                return {};
            return FView->FImages(image);
        }
        case Qt::CheckStateRole:
            if (column == 0 && FView->Checkboxes())
                return item->Checked() ? Qt::Checked : Qt::Unchecked;
            return {};
        case Qt::FontRole:
            if (FView->FHotTrack && index.row() == FView->FHotRow) {
                QFont font = FView->font();
                font.setUnderline(true);
                return font;
            }
            return {};
        case Qt::ToolTipRole:
            // Asked only when a tip is about to show: the rows keep no text for it.
            if (FView->OnToolTip)
                return FView->OnToolTip(const_cast<TListItem*>(item));
            return {};
        default:
            return {};
        }
    }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (role != Qt::CheckStateRole || index.column() != 0 || !index.isValid())
            return false;
        FView->Item(index.row())->SetChecked(value.toInt() == Qt::Checked);
        return true;
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid())
            return Qt::NoItemFlags;
        Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
        if (index.column() == 0 && FView->Checkboxes())
            flags |= Qt::ItemIsUserCheckable;
        return flags;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole &&
            section < FView->ColumnCount())
            return FView->FColumns[static_cast<size_t>(section)];
        return {};
    }

    void RowChanged(int row) { emit dataChanged(index(row, 0), index(row, columnCount({}) - 1)); }

    // Exposed for the view, which owns the rows.
    using QAbstractTableModel::beginInsertColumns;
    using QAbstractTableModel::beginInsertRows;
    using QAbstractTableModel::beginMoveRows;
    using QAbstractTableModel::beginRemoveRows;
    using QAbstractTableModel::beginResetModel;
    using QAbstractTableModel::changePersistentIndex;
    using QAbstractTableModel::endInsertColumns;
    using QAbstractTableModel::endInsertRows;
    using QAbstractTableModel::endMoveRows;
    using QAbstractTableModel::endRemoveRows;
    using QAbstractTableModel::endResetModel;
    using QAbstractTableModel::persistentIndexList;

private:
    TListView* FView;
};

// ---- items

void TListItem::SetCaption(const QString& Value) {
    if (Value == FCaption)
        return;
    FCaption = Value;
    Changed(true);
}

void TListItem::SetImageIndex(int Value) {
    if (Value == FImageIndex)
        return;
    FImageIndex = Value;
    Changed(true);
}

void TListItem::SetChecked(bool Value) {
    if (Value == FChecked)
        return;
    FChecked = Value;
    FOwner->ItemChanged(this, false, TItemChange::ctState);
}

void TListItem::AddSubItem(const QString& Text) {
    FSubItems.push_back(Text);
    FSubItemImages.push_back(-1);
    Changed(true);
}

QString TListItem::SubItem(int Index) const {
    return Index >= 0 && Index < SubItemCount() ? FSubItems[static_cast<size_t>(Index)] : QString();
}

void TListItem::SetSubItem(int Index, const QString& Text, bool OrderMayChange) {
    while (SubItemCount() <= Index)
        AddSubItem(QString());
    if (FSubItems[static_cast<size_t>(Index)] == Text)
        return;
    FSubItems[static_cast<size_t>(Index)] = Text;
    Changed(OrderMayChange);
}

int TListItem::SubItemImage(int Index) const {
    return Index >= 0 && Index < SubItemCount() ? FSubItemImages[static_cast<size_t>(Index)] : -1;
}

void TListItem::SetSubItemImage(int Index, int Image) {
    while (SubItemCount() <= Index)
        AddSubItem(QString());
    if (FSubItemImages[static_cast<size_t>(Index)] == Image)
        return;
    FSubItemImages[static_cast<size_t>(Index)] = Image;
    Changed(true);
}

int TListItem::Index() const {
    return FOwner->PositionOf(this);
}

void TListItem::Changed(bool OrderMayChange) {
    FOwner->ItemChanged(this, OrderMayChange, TItemChange::ctText);
}

// ---- the view

TListView::TListView(QWidget* Parent) : QTreeView(Parent), FModel(new TListModel(this)) {
    setModel(FModel);
    setRootIsDecorated(false);
    setUniformRowHeights(true); // keeps thousands of rows cheap to lay out
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    header()->setSectionsClickable(false);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(true);
    setMouseTracking(true);
}

TListView::~TListView() = default;

void TListView::AddColumn(const QString& Caption, int Width) {
    const int column = ColumnCount();
    FModel->beginInsertColumns(QModelIndex(), column, column);
    FColumns.push_back(Caption);
    FModel->endInsertColumns();
    setColumnWidth(column, Width);
}

int TListView::ColumnCount() const {
    return static_cast<int>(FColumns.size());
}

void TListView::FitColumnsToContents() {
    for (int column = 0; column < ColumnCount(); ++column)
        if (!isColumnHidden(column))
            resizeColumnToContents(column);
}

TListItem* TListView::AddItem() {
    const int row = Count();
    if (FUpdateCount == 0)
        FModel->beginInsertRows(QModelIndex(), row, row);
    FItems.push_back(std::unique_ptr<TListItem>(new TListItem(this)));
    FItems.back()->FPosition = row;
    if (FUpdateCount == 0)
        FModel->endInsertRows();
    return FItems.back().get();
}

void TListView::DeleteItem(TListItem* Item) {
    const int row = PositionOf(Item);
    if (row < 0)
        return;
    if (FUpdateCount == 0)
        FModel->beginRemoveRows(QModelIndex(), row, row);
    FItems.erase(FItems.begin() + row);
    for (int i = row; i < Count(); ++i)
        FItems[static_cast<size_t>(i)]->FPosition = i;
    if (FUpdateCount == 0)
        FModel->endRemoveRows();
}

void TListView::ClearItems() {
    FModel->beginResetModel();
    FItems.clear();
    FHotRow = -1;
    FModel->endResetModel();
}

TListItem* TListView::Selected() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= Count())
        return nullptr;
    return Item(rows.first().row());
}

void TListView::SetSelected(TListItem* Item) {
    if (Item == nullptr) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = FModel->index(PositionOf(Item), 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
}

void TListView::BeginUpdate() {
    if (FUpdateCount++ == 0) {
        setUpdatesEnabled(false);
        FModel->beginResetModel();
    }
}

void TListView::EndUpdate() {
    if (FUpdateCount == 0 || --FUpdateCount > 0)
        return;
    if (FSortType != TSortType::stNone && OnCompare) {
        std::stable_sort(FItems.begin(), FItems.end(), [this](const auto& a, const auto& b) {
            return Compare(a.get(), b.get()) < 0;
        });
    }
    for (int i = 0; i < Count(); ++i)
        FItems[static_cast<size_t>(i)]->FPosition = i;
    FModel->endResetModel();
    setUpdatesEnabled(true);
}

void TListView::SetSortType(TSortType Value) {
    if (Value == FSortType)
        return;
    FSortType = Value;
    if (Value != TSortType::stNone)
        AlphaSort();
}

void TListView::AlphaSort() {
    if (!OnCompare || FUpdateCount > 0)
        return;
    emit FModel->layoutAboutToBeChanged();
    const QModelIndexList before = FModel->persistentIndexList();
    std::vector<TListItem*> owners;
    for (const QModelIndex& index : before)
        owners.push_back(index.row() < Count() ? Item(index.row()) : nullptr);
    std::stable_sort(FItems.begin(), FItems.end(), [this](const auto& a, const auto& b) {
        return Compare(a.get(), b.get()) < 0;
    });
    for (int i = 0; i < Count(); ++i)
        FItems[static_cast<size_t>(i)]->FPosition = i;
    for (int i = 0; i < before.size(); ++i) {
        if (owners[static_cast<size_t>(i)] != nullptr)
            FModel->changePersistentIndex(
                before[i],
                FModel->index(owners[static_cast<size_t>(i)]->FPosition, before[i].column()));
    }
    emit FModel->layoutChanged();
}

void TListView::SetCheckboxes(bool Value) {
    if (Value == FCheckboxes)
        return;
    FCheckboxes = Value;
    viewport()->update();
}

void TListView::SetHotTrack(bool Value) {
    FHotTrack = Value;
    if (!Value) {
        FHotRow = -1;
        viewport()->unsetCursor();
    }
}

int TListView::Compare(TListItem* A, TListItem* B) const {
    return OnCompare(A, B);
}

int TListView::PositionOf(const TListItem* Item) const {
    if (Item == nullptr || Item->FOwner != this)
        return -1;
    // A move shifts the rows it passes by one and leaves their stored places
    // as they were: renumbering them would touch every row passed, thousands
    // per move when a whole list of lamps lights up. Look outward from the
    // stored place instead; the row is near it.
    const int count = Count();
    const int stored = Item->FPosition;
    for (int distance = 0; distance < count; ++distance) {
        const int before = stored - distance;
        const int after = stored + distance;
        if (before < 0 && after >= count)
            break;
        if (before >= 0 && before < count && FItems[static_cast<size_t>(before)].get() == Item)
            return Item->FPosition = before;
        if (after >= 0 && after < count && FItems[static_cast<size_t>(after)].get() == Item)
            return Item->FPosition = after;
    }
    return -1;
}

void TListView::ItemChanged(TListItem* Item, bool OrderMayChange, TItemChange Change) {
    if (FUpdateCount > 0)
        return;
    const int row = PositionOf(Item);
    if (row < 0)
        return; // not in the list yet or any more
    FModel->RowChanged(row);
    if (OrderMayChange && Sorting())
        Reposition(Item, row);
    if (OnChange)
        OnChange(Item, Change);
}

void TListView::Reposition(TListItem* Moved, int Row) {
    const int row = Row;
    const int last = Count() - 1;
    const bool fitsBefore = row == 0 || Compare(Item(row - 1), Moved) <= 0;
    const bool fitsAfter = row == last || Compare(Moved, Item(row + 1)) <= 0;
    if (fitsBefore && fitsAfter)
        return;
    // Where the item goes among the others: after every item that does not
    // sort after it, so equal items keep their order.
    auto begin = FItems.begin();
    auto end = FItems.end();
    int target;
    if (!fitsBefore) {
        auto it = std::upper_bound(begin, begin + row, Moved,
                                   [this](TListItem* value, const auto& element) {
                                       return Compare(value, element.get()) < 0;
                                   });
        target = static_cast<int>(it - begin);
    } else {
        auto it = std::upper_bound(begin + row + 1, end, Moved,
                                   [this](TListItem* value, const auto& element) {
                                       return Compare(value, element.get()) < 0;
                                   });
        target = static_cast<int>(it - begin) - 1;
    }
    if (target == row)
        return;
    FModel->beginMoveRows(QModelIndex(), row, row, QModelIndex(),
                          target > row ? target + 1 : target);
    // Only the rows between the two places shift, each by one.
    if (target < row)
        std::rotate(begin + target, begin + row, begin + row + 1);
    else
        std::rotate(begin + row, begin + row + 1, begin + target + 1);
    Moved->FPosition = target;
    FModel->endMoveRows();
}

void TListView::mouseDoubleClickEvent(QMouseEvent* Event) {
    QTreeView::mouseDoubleClickEvent(Event);
    const QModelIndex index = indexAt(Event->position().toPoint());
    emit ItemDoubleClicked(index.isValid() ? Item(index.row()) : nullptr);
}

void TListView::mouseMoveEvent(QMouseEvent* Event) {
    QTreeView::mouseMoveEvent(Event);
    if (!FHotTrack)
        return;
    const QModelIndex index = indexAt(Event->position().toPoint());
    const int row = index.isValid() ? index.row() : -1;
    if (row == FHotRow)
        return;
    const int old = FHotRow;
    FHotRow = row;
    if (old >= 0 && old < Count())
        FModel->RowChanged(old);
    if (row >= 0) {
        FModel->RowChanged(row);
        viewport()->setCursor(Qt::PointingHandCursor);
    } else {
        viewport()->unsetCursor();
    }
}

void TListView::leaveEvent(QEvent* Event) {
    QTreeView::leaveEvent(Event);
    if (FHotRow >= 0 && FHotRow < Count())
        FModel->RowChanged(FHotRow);
    FHotRow = -1;
    viewport()->unsetCursor();
}
