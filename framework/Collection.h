#pragma once
// Ordered, owned collections: the collection destroys its items, an item
// destroyed on its own leaves its collection, and an item can tell its
// collection that it changed.

#include "framework/Persistent.h"

#include <string>
#include <vector>

class TCollection;

class TCollectionItem : public TPersistent {
public:
    // Joins Collection (when given) at its end.
    explicit TCollectionItem(TCollection* Collection);
    ~TCollectionItem() override;
    const char* ClassName() const override { return "TCollectionItem"; }

    TCollection* Collection() const { return FCollection; }
    int Index() const;
    virtual std::string DisplayName() const { return {}; }
    virtual void SetDisplayName(const std::string&) {}

protected:
    // Tells the collection that this item changed.
    void Changed();

private:
    friend class TCollection;
    TCollection* FCollection = nullptr;
};

class TCollection : public TPersistent {
public:
    explicit TCollection(TPersistent* Owner) : FOwner(Owner) {}
    ~TCollection() override;
    const char* ClassName() const override { return "TCollection"; }

    TPersistent* Owner() const { return FOwner; }
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises EListError "List index out of bounds (%d)" outside 0..Count-1.
    TCollectionItem* Items(int Index) const;
    int IndexOf(const TCollectionItem* Item) const;
    // Destroys every item.
    void Clear();
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();

protected:
    // Typed Add functions call this once the new item is complete, so the
    // naming hook sees the whole item.
    void Added(TCollectionItem* Item);
    // Naming hook for a newly added item.
    virtual void SetItemName(TCollectionItem*) {}
    // An item changed (nullptr: several did); nothing by default.
    virtual void Update(TCollectionItem*) {}

private:
    friend class TCollectionItem;
    void InsertItem(TCollectionItem* Item);
    void RemoveItem(TCollectionItem* Item);
    void Changed(TCollectionItem* Item);

    TPersistent* FOwner = nullptr;
    std::vector<TCollectionItem*> FItems;
    int FUpdateCount = 0;
};
