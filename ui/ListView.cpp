#include "ui/ListView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QTimer>

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
        return parent.isValid() ? 0 : FView->ShownCount();
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : FView->ColumnCount();
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= FView->ShownCount())
            return {};
        const TListItem* item = FView->ItemAtRow(index.row());
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
        if (role != Qt::CheckStateRole || index.column() != 0 || !index.isValid() ||
            index.row() >= FView->ShownCount())
            return false;
        FView->ItemAtRow(index.row())->SetChecked(value.toInt() == Qt::Checked);
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
    // Fitting a column measures the rows in sight and this many more, so
    // that it stays cheap with thousands of rows.
    header()->setResizeContentsPrecision(500);
    header()->viewport()->installEventFilter(this);
    connect(header(), &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (FHeaderPressed && !FFitting && column < static_cast<int>(FUserSized.size()))
            FUserSized[static_cast<size_t>(column)] = true;
    });
    setMouseTracking(true);
}

TListView::~TListView() = default;

void TListView::AddColumn(const QString& Caption, int Width) {
    const int column = ColumnCount();
    FModel->beginInsertColumns(QModelIndex(), column, column);
    FColumns.push_back(Caption);
    FAddedWidths.push_back(Width);
    FUserSized.push_back(false);
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

void TListView::FitColumnsAutomatically(const std::vector<int>& Columns) {
    FFitting = true;
    for (const int column : Columns) {
        if (column < 0 || column >= ColumnCount() || isColumnHidden(column) ||
            FUserSized[static_cast<size_t>(column)])
            continue;
        int width = std::max(sizeHintForColumn(column), FAddedWidths[static_cast<size_t>(column)]);
        if (!header()->isHidden())
            width = std::max(width, header()->sectionSizeHint(column));
        if (width != columnWidth(column))
            setColumnWidth(column, width);
    }
    FFitting = false;
}

bool TListView::ColumnSizedByUser(int Column) const {
    return Column >= 0 && Column < ColumnCount() && FUserSized[static_cast<size_t>(Column)];
}

bool TListView::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == header()->viewport()) {
        // Only a drag resizes a section while a button is down; a double
        // click on a divider fits the column instead, which is no choice of
        // a width.
        if (Event->type() == QEvent::MouseButtonPress)
            FHeaderPressed = true;
        else if (Event->type() == QEvent::MouseButtonRelease)
            FHeaderPressed = false;
    }
    return QTreeView::eventFilter(Watched, Event);
}

TListItem* TListView::AddItem() {
    const int position = Count();
    // While filtering, a new item has no text that could match: it comes
    // hidden and shows when a text of it does.
    const bool hidden = Filtering();
    const bool tell = FUpdateCount == 0 && !hidden;
    if (tell)
        FModel->beginInsertRows(QModelIndex(), position, position);
    FItems.push_back(std::unique_ptr<TListItem>(new TListItem(this)));
    FHiddenAt.push_back(hidden ? 1 : 0);
    TListItem* item = FItems.back().get();
    item->FPosition = position;
    item->FHidden = hidden;
    if (tell)
        FModel->endInsertRows();
    if (FUpdateCount == 0)
        emit ShownChanged();
    return item;
}

void TListView::DeleteItem(TListItem* Item) {
    const int position = PositionOf(Item);
    if (position < 0)
        return;
    const int row = FUpdateCount == 0 ? RowOf(Item, position) : -1;
    if (Item == FLostCurrent)
        FLostCurrent = nullptr;
    if (row >= 0)
        FModel->beginRemoveRows(QModelIndex(), row, row);
    if (FMapped && !Item->FHidden)
        FRows.erase(FRows.begin() + row);
    FItems.erase(FItems.begin() + position);
    FHiddenAt.erase(FHiddenAt.begin() + position);
    for (int i = position; i < Count(); ++i)
        FItems[static_cast<size_t>(i)]->FPosition = i;
    if (row >= 0)
        FModel->endRemoveRows();
    if (FUpdateCount == 0)
        emit ShownChanged();
}

void TListView::ClearItems() {
    FModel->beginResetModel();
    FLostCurrent = nullptr;
    FItems.clear();
    FRows.clear();
    FHiddenAt.clear();
    FHotRow = -1;
    FModel->endResetModel();
    emit ShownChanged();
}

TListItem* TListView::Selected() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= ShownCount())
        return nullptr;
    return ItemAtRow(rows.first().row());
}

void TListView::SetSelected(TListItem* Item) {
    const QModelIndex index = IndexOf(Item);
    if (!index.isValid()) {
        selectionModel()->clearSelection();
        return;
    }
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
}

int TListView::ShownCount() const {
    return FMapped ? static_cast<int>(FRows.size()) : Count();
}

TListItem* TListView::ItemAtRow(int Row) const {
    return FMapped ? FRows[static_cast<size_t>(Row)] : Item(Row);
}

QModelIndex TListView::IndexOf(const TListItem* Item) const {
    const int row = RowOf(Item, PositionOf(Item));
    return row < 0 ? QModelIndex() : FModel->index(row, 0);
}

// ---- the filter

void TListView::SetFilter(const QString& Text) {
    const QString text = Text.trimmed();
    if (text == FFilter)
        return;
    const QString old = FFilter;
    FFilter = text;
    if (FUpdateCount > 0)
        return; // taken up by EndUpdate
    // Typing on narrows what is shown and deleting widens it: only the rows
    // that could change are read.
    TRecheck which = TRecheck::All;
    if (!old.isEmpty() && !text.isEmpty()) {
        if (text.contains(old, Qt::CaseInsensitive))
            which = TRecheck::Shown;
        else if (old.contains(text, Qt::CaseInsensitive))
            which = TRecheck::Hidden;
    }
    ApplyFilter(which);
}

void TListView::Refilter() {
    if (Filtering() && FUpdateCount == 0)
        ApplyFilter(TRecheck::All);
}

bool TListView::Matches(const TListItem* Item) const {
    if (!Filtering())
        return true;
    if (Item->FCaption.contains(FFilter, Qt::CaseInsensitive))
        return true;
    return std::ranges::any_of(FFilterColumns, [&](int column) {
        return column - 1 < Item->SubItemCount() &&
               Item->FSubItems[static_cast<size_t>(column - 1)].contains(FFilter,
                                                                         Qt::CaseInsensitive);
    });
}

void TListView::FilterItems(TRecheck Which) {
    FFilterColumns.clear();
    for (int column = 1; column < ColumnCount(); ++column)
        if (!isColumnHidden(column))
            FFilterColumns.push_back(column);
    FRows.clear();
    FMapped = Filtering();
    FHiddenAt.resize(FItems.size());
    for (size_t i = 0; i < FItems.size(); ++i) {
        TListItem* item = FItems[i].get();
        item->FPosition = static_cast<int>(i);
        if (!Filtering())
            item->FHidden = false;
        else if (Which == TRecheck::All || (Which == TRecheck::Shown) == !item->FHidden)
            item->FHidden = !Matches(item);
        FHiddenAt[i] = item->FHidden ? 1 : 0;
        if (Filtering() && !item->FHidden) {
            item->FRow = static_cast<int>(FRows.size());
            FRows.push_back(item);
        }
    }
}

void TListView::ApplyFilter(TRecheck Which) {
    const QModelIndex current = currentIndex();
    TListItem* currentItem = current.isValid() ? ItemAtRow(current.row()) : nullptr;
    // Rows only appear and disappear: the header's sections stay as they are.
    emit FModel->layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = FModel->persistentIndexList();
    std::vector<TListItem*> owners;
    owners.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before)
        owners.push_back(index.row() < ShownCount() ? ItemAtRow(index.row()) : nullptr);
    FilterItems(Which);
    for (qsizetype i = 0; i < before.size(); ++i) {
        const TListItem* owner = owners[static_cast<size_t>(i)];
        const int row = owner == nullptr ? -1 : RowOf(owner, owner->FPosition);
        FModel->changePersistentIndex(before[i], row < 0 ? QModelIndex()
                                                         : FModel->index(row, before[i].column()));
    }
    emit FModel->layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    FHotRow = -1;
    // A current row hidden gives its place to the nearest shown one, which is
    // not selected for it.
    if (currentItem != nullptr && currentItem->FHidden) {
        const int position = NearestShown(PositionOf(currentItem));
        if (position >= 0)
            selectionModel()->setCurrentIndex(IndexOf(Item(position)),
                                              QItemSelectionModel::NoUpdate);
    }
    if (currentIndex().isValid())
        scrollTo(currentIndex());
    emit ShownChanged();
}

void TListView::PlaceCurrent() {
    FPlacingCurrent = false;
    TListItem* lost = FLostCurrent;
    FLostCurrent = nullptr;
    if (lost == nullptr || currentIndex().isValid())
        return;
    const int position = NearestShown(PositionOf(lost));
    if (position >= 0)
        selectionModel()->setCurrentIndex(IndexOf(Item(position)), QItemSelectionModel::NoUpdate);
}

void TListView::SetHidden(int Position, bool Hidden) {
    FItems[static_cast<size_t>(Position)]->FHidden = Hidden;
    FHiddenAt[static_cast<size_t>(Position)] = Hidden ? 1 : 0;
}

int TListView::RowOf(const TListItem* Item, int Position) const {
    if (Position < 0)
        return -1;
    if (!FMapped)
        return Position;
    if (Item->FHidden)
        return -1;
    // As PositionOf: near where it was last seen. Rows hidden since may have
    // left that place beyond the end.
    const int count = static_cast<int>(FRows.size());
    const int stored = std::clamp(Item->FRow, 0, std::max(count - 1, 0));
    for (int distance = 0; distance < count; ++distance) {
        const int before = stored - distance;
        const int after = stored + distance;
        if (before < 0 && after >= count)
            break;
        if (before >= 0 && before < count && FRows[static_cast<size_t>(before)] == Item)
            return Item->FRow = before;
        if (after >= 0 && after < count && FRows[static_cast<size_t>(after)] == Item)
            return Item->FRow = after;
    }
    return -1;
}

int TListView::NearestShown(int From) const {
    if (From < 0)
        return -1;
    const auto after = std::find(FHiddenAt.begin() + From, FHiddenAt.end(), 0);
    if (after != FHiddenAt.end())
        return static_cast<int>(after - FHiddenAt.begin());
    const auto before = std::find(FHiddenAt.rbegin() + (Count() - From), FHiddenAt.rend(), 0);
    return before == FHiddenAt.rend() ? -1 : static_cast<int>(FHiddenAt.rend() - before) - 1;
}

void TListView::ShowRow(TListItem* Item, int Position) {
    // After the nearest shown row above, or first.
    const auto above = std::find(FHiddenAt.rbegin() + (Count() - Position), FHiddenAt.rend(), 0);
    int row = 0;
    if (above != FHiddenAt.rend()) {
        const int position = static_cast<int>(FHiddenAt.rend() - above) - 1;
        row = RowOf(FItems[static_cast<size_t>(position)].get(), position) + 1;
    }
    FModel->beginInsertRows(QModelIndex(), row, row);
    FRows.insert(FRows.begin() + row, Item);
    Item->FRow = row;
    SetHidden(Position, false);
    FModel->endInsertRows();
    emit ShownChanged();
}

void TListView::HideRow(TListItem* Item, int Position) {
    const int row = RowOf(Item, Position);
    if (currentIndex().isValid() && currentIndex().row() == row) {
        // The view would make the next row current at once and lay out every
        // row to show it; when a stop empties every status, that is once per
        // row. The current place is handed on once the changes are done.
        FLostCurrent = Item;
        selectionModel()->clearCurrentIndex();
        if (!FPlacingCurrent) {
            FPlacingCurrent = true;
            QTimer::singleShot(0, this, [this] { PlaceCurrent(); });
        }
    }
    FModel->beginRemoveRows(QModelIndex(), row, row);
    FRows.erase(FRows.begin() + row);
    SetHidden(Position, true);
    FModel->endRemoveRows();
    emit ShownChanged();
}

void TListView::BeginUpdate() {
    if (FUpdateCount++ == 0) {
        setUpdatesEnabled(false);
        FModel->beginResetModel();
        // Nothing reads the rows until the reset ends; positions are rows.
        FMapped = false;
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
    // Renumbers the positions too.
    FilterItems(TRecheck::All);
    FHotRow = -1;
    FModel->endResetModel();
    setUpdatesEnabled(true);
    emit ShownChanged();
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
        owners.push_back(index.row() < ShownCount() ? ItemAtRow(index.row()) : nullptr);
    std::stable_sort(FItems.begin(), FItems.end(), [this](const auto& a, const auto& b) {
        return Compare(a.get(), b.get()) < 0;
    });
    // The items keep their flags; positions and shown rows follow the order.
    FRows.clear();
    for (int i = 0; i < Count(); ++i) {
        TListItem* item = FItems[static_cast<size_t>(i)].get();
        item->FPosition = i;
        FHiddenAt[static_cast<size_t>(i)] = item->FHidden ? 1 : 0;
        if (FMapped && !item->FHidden) {
            item->FRow = static_cast<int>(FRows.size());
            FRows.push_back(item);
        }
    }
    for (int i = 0; i < before.size(); ++i) {
        const TListItem* owner = owners[static_cast<size_t>(i)];
        if (owner != nullptr)
            FModel->changePersistentIndex(
                before[i], FModel->index(RowOf(owner, owner->FPosition), before[i].column()));
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
    const int position = PositionOf(Item);
    if (position < 0)
        return; // not in the list yet or any more
    // A row leaving the filter goes before it moves, one entering it after,
    // so that the view is told of moves among shown rows only.
    const bool shown = Change == TItemChange::ctState ? !Item->FHidden : Matches(Item);
    if (!Item->FHidden && !shown)
        HideRow(Item, position);
    else if (!Item->FHidden)
        FModel->RowChanged(RowOf(Item, position));
    if (OrderMayChange && Sorting())
        Reposition(Item, position);
    if (Item->FHidden && shown)
        ShowRow(Item, PositionOf(Item));
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
    if (FMapped) {
        RepositionFiltered(Moved, row, target);
        return;
    }
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

void TListView::RepositionFiltered(TListItem* Moved, int Row, int Target) {
    // The shown rows are the model's: they move only when the item is shown
    // and passes shown rows, after the nearest shown row above its new place.
    const int from = RowOf(Moved, Row);
    const auto begin = FItems.begin();
    const auto flags = FHiddenAt.begin();
    if (Target < Row) {
        std::rotate(begin + Target, begin + Row, begin + Row + 1);
        std::rotate(flags + Target, flags + Row, flags + Row + 1);
    } else {
        std::rotate(begin + Row, begin + Row + 1, begin + Target + 1);
        std::rotate(flags + Row, flags + Row + 1, flags + Target + 1);
    }
    Moved->FPosition = Target;
    if (from < 0)
        return;
    const auto above = std::find(FHiddenAt.rbegin() + (Count() - Target), FHiddenAt.rend(), 0);
    // The row it goes before, counted before the move.
    int destination = 0;
    if (above != FHiddenAt.rend()) {
        const int position = static_cast<int>(FHiddenAt.rend() - above) - 1;
        destination = RowOf(FItems[static_cast<size_t>(position)].get(), position) + 1;
    }
    if (destination == from || destination == from + 1)
        return;
    FModel->beginMoveRows(QModelIndex(), from, from, QModelIndex(), destination);
    const auto rows = FRows.begin();
    if (destination < from) {
        std::rotate(rows + destination, rows + from, rows + from + 1);
        Moved->FRow = destination;
    } else {
        std::rotate(rows + from, rows + from + 1, rows + destination);
        Moved->FRow = destination - 1;
    }
    FModel->endMoveRows();
}

void TListView::keyPressEvent(QKeyEvent* Event) {
    const QModelIndex current = currentIndex();
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    const bool menu = Event->key() == Qt::Key_Menu ||
                      (Event->key() == Qt::Key_F10 && Event->modifiers() == Qt::ShiftModifier);
    if (enter && current.isValid() &&
        isSignalConnected(QMetaMethod::fromSignal(&TListView::ItemActivated))) {
        // What the row's commands act on is the selected row.
        SetSelected(ItemAtRow(current.row()));
        emit ItemActivated(ItemAtRow(current.row()));
        Event->accept();
        return;
    }
    if (menu && contextMenuPolicy() == Qt::CustomContextMenu) {
        // At the current row, as a right click on it would; at the top
        // without one.
        QPoint at(0, 0);
        if (current.isValid()) {
            SetSelected(ItemAtRow(current.row()));
            scrollTo(current);
            const QRect cell = visualRect(current);
            at = QPoint(cell.left() + cell.height(), cell.bottom());
        }
        emit customContextMenuRequested(at);
        Event->accept();
        return;
    }
    QTreeView::keyPressEvent(Event);
}

void TListView::mouseDoubleClickEvent(QMouseEvent* Event) {
    QTreeView::mouseDoubleClickEvent(Event);
    const QModelIndex index = indexAt(Event->position().toPoint());
    emit ItemDoubleClicked(index.isValid() ? ItemAtRow(index.row()) : nullptr);
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
    if (old >= 0 && old < ShownCount())
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
    if (FHotRow >= 0 && FHotRow < ShownCount())
        FModel->RowChanged(FHotRow);
    FHotRow = -1;
    viewport()->unsetCursor();
}
