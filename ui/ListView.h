#pragma once
// A report-style list of items: a caption with an image (and optionally a
// check box), sub-item texts with images, and a data link per item. Rows are
// kept in the order the comparison callback gives while sorting is on; a
// changed row moves to its place on its own, the rest stay where they are.

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
    // Position on screen, 0 at the top.
    int Index() const;
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

    TListItem* AddItem();
    void DeleteItem(TListItem* Item);
    void ClearItems();
    int Count() const { return static_cast<int>(FItems.size()); }
    // The item at a screen position.
    TListItem* Item(int Index) const { return FItems[static_cast<size_t>(Index)].get(); }
    TListItem* Selected() const;
    void SetSelected(TListItem* Item);

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

protected:
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
    void ItemChanged(TListItem* Item, bool OrderMayChange, TItemChange Change);
    // The item's row, or -1 when it is not in the list.
    int PositionOf(const TListItem* Item) const;

    TListModel* FModel;
    std::vector<std::unique_ptr<TListItem>> FItems;
    std::vector<QString> FColumns;
    TSortType FSortType = TSortType::stNone;
    int FUpdateCount = 0;
    bool FCheckboxes = false;
    bool FHotTrack = false;
    int FHotRow = -1;
    std::function<QPixmap(int)> FImages;
};
