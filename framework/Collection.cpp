#include "framework/Collection.h"

#include "framework/Exceptions.h"

#include <algorithm>

TCollectionItem::TCollectionItem(TCollection* Collection) {
    if (Collection != nullptr)
        Collection->InsertItem(this);
}

TCollectionItem::~TCollectionItem() {
    if (FCollection != nullptr)
        FCollection->RemoveItem(this);
}

int TCollectionItem::Index() const {
    return FCollection != nullptr ? FCollection->IndexOf(this) : -1;
}

void TCollectionItem::Changed() {
    if (FCollection != nullptr)
        FCollection->Changed(this);
}

TCollection::~TCollection() {
    Clear();
}

TCollectionItem* TCollection::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EListError(Format("List index out of bounds (%d)", Index));
    return FItems[static_cast<size_t>(Index)];
}

int TCollection::IndexOf(const TCollectionItem* Item) const {
    auto it = std::find(FItems.begin(), FItems.end(), Item);
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TCollection::Clear() {
    if (FItems.empty())
        return;
    BeginUpdate();
    // Last first, so each removal is cheap; items leave as they are destroyed.
    while (!FItems.empty())
        delete FItems.back();
    EndUpdate();
}

void TCollection::EndUpdate() {
    if (--FUpdateCount == 0)
        Changed(nullptr);
}

void TCollection::Added(TCollectionItem* Item) {
    SetItemName(Item);
    Changed(nullptr);
}

void TCollection::InsertItem(TCollectionItem* Item) {
    FItems.push_back(Item);
    Item->FCollection = this;
}

void TCollection::RemoveItem(TCollectionItem* Item) {
    if (!FItems.empty() && FItems.back() == Item)
        FItems.pop_back();
    else
        FItems.erase(std::remove(FItems.begin(), FItems.end(), Item), FItems.end());
    Item->FCollection = nullptr;
    Changed(nullptr);
}

void TCollection::Changed(TCollectionItem* Item) {
    if (FUpdateCount == 0)
        Update(Item);
}
