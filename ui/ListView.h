#pragma once
// A report-style list of items: a caption with an image (and optionally a
// check box), sub-item texts with images, and a data link per item. Rows are
// kept in the order the comparison callback gives while sorting is on; a
// changed row moves to its place on its own, the rest stay where they are.
// A filter text hides the rows that do not hold it; the items stay, in their
// order, and a changed item is checked again.

#include <QAbstractTableModel>
#include <QPixmap>
#include <QTreeView>

#include <functional>
#include <memory>
#include <vector>

class TListView;

// Compares two texts folding ASCII letters only: negative, 0 or positive.
int CompareTextNoCase(const QString& A, const QString& B);

class TListItem {
public:
    const QString& Caption() const { return FCaption; }
    void SetCaption(const QString& Value);
    int ImageIndex() const { return FImageIndex; }
    void SetImageIndex(int Value);
    bool Checked() const { return FChecked; }
    void SetChecked(bool Value);
    void* Data() const { return FData; }
    void SetData(void* Value) { FData = Value; }

    int SubItemCount() const { return static_cast<int>(FSubItems.size()); }
    // Adds a sub-item with empty image.
    void AddSubItem(const QString& Text);
    QString SubItem(int Index) const;
    // OrderMayChange false for texts the comparison never reads: the row is
    // redrawn but not compared with its neighbours.
    void SetSubItem(int Index, const QString& Text, bool OrderMayChange = true);
    int SubItemImage(int Index) const;
    void SetSubItemImage(int Index, int Image);

    TListView* ListView() const { return FOwner; }
    // Position among all items, 0 at the top; rows hidden by the filter count.
    int Index() const;
    // Whether the filter lets the row show.
    bool Shown() const { return !FHidden; }
    // Something the comparison reads changed: the row moves to its place.
    void OrderChanged() { Changed(true); }

private:
    friend class TListView;
    friend class TListModel;
    explicit TListItem(TListView* Owner) : FOwner(Owner) {}
    void Changed(bool OrderMayChange);

    TListView* FOwner;
    // Where the item was last seen; rows moving past it may have shifted it
    // since, which the view corrects when it asks (PositionOf).
    mutable int FPosition = 0;
    // Where the item was last seen among the shown rows, while filtering; as
    // loose as FPosition.
    mutable int FRow = 0;
    bool FHidden = false;
    QString FCaption;
    int FImageIndex = -1;
    bool FChecked = false;
    void* FData = nullptr;
    std::vector<QString> FSubItems;
    std::vector<int> FSubItemImages;
};

enum class TSortType { stNone, stBoth };

enum class TItemChange { ctText, ctImage, ctState };

class TListModel;

class TListView : public QTreeView {
    Q_OBJECT
public:
    explicit TListView(QWidget* Parent = nullptr);
    ~TListView() override;

    void AddColumn(const QString& Caption, int Width);
    // The last column takes the rest of the width.
    int ColumnCount() const;
    // Every shown column as wide as its header and the texts in sight need.
    // A double click on a divider does the same for the column left of it.
    void FitColumnsToContents();
    // Columns as wide as their header and texts need, never narrower than
    // they were added; the rows in sight and a bounded sample of the others
    // are measured. A column whose divider the user dragged keeps its width.
    void FitColumnsAutomatically(const std::vector<int>& Columns);
    // Whether the user dragged the divider of Column.
    bool ColumnSizedByUser(int Column) const;

    TListItem* AddItem();
    void DeleteItem(TListItem* Item);
    void ClearItems();
    int Count() const { return static_cast<int>(FItems.size()); }
    // The item at a position among all items, shown or not.
    TListItem* Item(int Index) const { return FItems[static_cast<size_t>(Index)].get(); }
    TListItem* Selected() const;
    // Selects Item and makes it current; a hidden item clears the selection.
    void SetSelected(TListItem* Item);

    // Rows are shown when their caption or the text of a shown column holds
    // Text, ignoring letter case and the blanks around it; empty shows all.
    // A selected row hidden by it is deselected and the current row moves to
    // a shown one.
    void SetFilter(const QString& Text);
    const QString& Filter() const { return FFilter; }
    // Checks every row again, as after a column was shown or hidden.
    void Refilter();
    // The rows shown: those the filter lets through.
    int ShownCount() const;
    // The item shown in a row of the model, and back; an invalid index when
    // the item is hidden.
    TListItem* ItemAtRow(int Row) const;
    QModelIndex IndexOf(const TListItem* Item) const;

    // Bulk changes: no repaint and no re-sorting until the last EndUpdate.
    void BeginUpdate();
    void EndUpdate();

    TSortType SortType() const { return FSortType; }
    // Turning sorting on sorts the whole list at once.
    void SetSortType(TSortType Value);
    void AlphaSort();

    bool Checkboxes() const { return FCheckboxes; }
    void SetCheckboxes(bool Value);
    void SetHotTrack(bool Value);
    // The images the items' indexes refer to.
    void SetSmallImages(std::function<QPixmap(int)> Images) { FImages = std::move(Images); }

    // Negative when the first item goes first.
    std::function<int(TListItem* Item1, TListItem* Item2)> OnCompare;
    // The tooltip of a row, made when it is about to show; none when empty.
    std::function<QString(TListItem* Item)> OnToolTip;
    // A check box was toggled (ctState), or a text or image changed.
    std::function<void(TListItem* Item, TItemChange Change)> OnChange;

signals:
    void ItemDoubleClicked(TListItem* Item);
    // Enter or Return on the current row (it is selected first). The key goes
    // on to the window, as to a dialog's default button, while nothing is
    // connected here.
    void ItemActivated(TListItem* Item);
    // The number of items or of rows shown may have changed.
    void ShownChanged();

protected:
    // Enter and Return activate the current row; the Menu key and Shift+F10
    // ask for the context menu at it.
    void keyPressEvent(QKeyEvent* Event) override;
    // Tells a divider dragged by the user from the fitting's own resizing.
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void leaveEvent(QEvent* Event) override;

private:
    friend class TListItem;
    friend class TListModel;
    int Compare(TListItem* A, TListItem* B) const;
    bool Sorting() const {
        return FSortType != TSortType::stNone && FUpdateCount == 0 && OnCompare;
    }
    // Moves one changed item to where the order wants it.
    void Reposition(TListItem* Moved, int Row);
    // The same while filtering: the model's rows are the shown ones.
    void RepositionFiltered(TListItem* Moved, int Row, int Target);
    void ItemChanged(TListItem* Item, bool OrderMayChange, TItemChange Change);
    // The item's row, or -1 when it is not in the list.
    int PositionOf(const TListItem* Item) const;

    bool Filtering() const { return !FFilter.isEmpty(); }
    bool Matches(const TListItem* Item) const;
    // Which items need checking when the filter changes.
    enum class TRecheck { All, Shown, Hidden };
    // Takes up the filter at once: flags, shown rows, the view's indexes.
    void ApplyFilter(TRecheck Which);
    // Flags and shown rows from the items' texts, without telling the view.
    void FilterItems(TRecheck Which);
    void SetHidden(int Position, bool Hidden);
    // The shown row of an item at Position; -1 when hidden.
    int RowOf(const TListItem* Item, int Position) const;
    // The first shown position at or after From, else the last before it; -1 when none.
    int NearestShown(int From) const;
    void ShowRow(TListItem* Item, int Position);
    void HideRow(TListItem* Item, int Position);
    // Makes the nearest shown row current after the current one was hidden.
    void PlaceCurrent();

    TListModel* FModel;
    std::vector<std::unique_ptr<TListItem>> FItems;
    std::vector<QString> FColumns;
    TSortType FSortType = TSortType::stNone;
    int FUpdateCount = 0;
    bool FCheckboxes = false;
    bool FHotTrack = false;
    int FHotRow = -1;
    std::function<QPixmap(int)> FImages;

    QString FFilter;
    // The shown items in order, while filtering (without, every item is shown).
    std::vector<TListItem*> FRows;
    // Whether the model's rows are FRows rather than every item.
    bool FMapped = false;
    // Per position, whether the row is hidden: the items' flags kept beside
    // their order, so that looking for the next shown row reads no item.
    std::vector<char> FHiddenAt;
    // The columns whose texts the filter reads.
    std::vector<int> FFilterColumns;
    // The widths columns were added with, and which the user resized.
    std::vector<int> FAddedWidths;
    std::vector<bool> FUserSized;
    bool FFitting = false;
    bool FHeaderPressed = false;
    // The current item, hidden by a change of its texts, until PlaceCurrent.
    TListItem* FLostCurrent = nullptr;
    bool FPlacingCurrent = false;
};
