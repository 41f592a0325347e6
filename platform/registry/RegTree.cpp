#include "platform/registry/RegTree.h"

namespace platform::reg {

std::string Fold(std::string_view Name) {
    std::string folded(Name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

namespace {

// Past this many values a key keeps an index of them.
constexpr size_t ValueIndexFrom = 16;

} // namespace

bool SameName(std::string_view A, std::string_view B) {
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i) {
        char a = A[i];
        char b = B[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

Key* Key::Child(std::string_view Name) const {
    const auto found = FChildren.find(Fold(Name));
    return found == FChildren.end() ? nullptr : found->second.get();
}

Key& Key::AddChild(std::string_view Name) {
    std::string folded = Fold(Name);
    // One search: files list keys in order, so most new keys go at the end.
    auto slot = FChildren.lower_bound(folded);
    if (slot == FChildren.end() || slot->first != folded)
        slot = FChildren.emplace_hint(slot, std::move(folded),
                                      std::make_unique<Key>(std::string(Name)));
    return *slot->second;
}

bool Key::RemoveChild(std::string_view Name) {
    return FChildren.erase(Fold(Name)) > 0;
}

std::list<Value>::iterator Key::FindValueSlot(std::string_view Name) {
    if (!FValueIndex.empty()) {
        const auto found = FValueIndex.find(Fold(Name));
        return found == FValueIndex.end() ? FValues.end() : found->second;
    }
    for (auto value = FValues.begin(); value != FValues.end(); ++value)
        if (SameName(value->Name, Name))
            return value;
    return FValues.end();
}

const Value* Key::FindValue(std::string_view Name) const {
    // The search changes nothing; it only hands out a mutable position.
    const auto found = const_cast<Key*>(this)->FindValueSlot(Name);
    return found == FValues.end() ? nullptr : &*found;
}

void Key::SetValue(Value NewValue) {
    const auto found = FindValueSlot(NewValue.Name);
    if (found != FValues.end()) {
        // Replacing keeps the name's first spelling, as the registry does.
        NewValue.Name = found->Name;
        *found = std::move(NewValue);
        return;
    }
    FValues.push_back(std::move(NewValue));
    if (!FValueIndex.empty()) {
        FValueIndex.emplace(Fold(FValues.back().Name), std::prev(FValues.end()));
    } else if (FValues.size() > ValueIndexFrom) {
        for (auto value = FValues.begin(); value != FValues.end(); ++value)
            FValueIndex.emplace(Fold(value->Name), value);
    }
}

bool Key::RemoveValue(std::string_view Name) {
    const auto found = FindValueSlot(Name);
    if (found == FValues.end())
        return false;
    if (!FValueIndex.empty())
        FValueIndex.erase(Fold(found->Name));
    FValues.erase(found);
    return true;
}

void Key::ClearValues() {
    FValues.clear();
    FValueIndex.clear();
}

Key* FindKey(Key& Root, const KeyPath& Path) {
    Key* key = &Root;
    for (const auto& name : Path) {
        key = key->Child(name);
        if (!key)
            return nullptr;
    }
    return key;
}

Key& CreateKey(Key& Root, const KeyPath& Path) {
    Key* key = &Root;
    for (const auto& name : Path) {
        Key* child = key->Child(name);
        if (!child) {
            child = &key->AddChild(name);
            child->SetImplied(true);
        }
        key = child;
    }
    key->SetImplied(false);
    return *key;
}

bool RemoveKey(Key& Root, const KeyPath& Path) {
    if (Path.empty())
        return false;
    Key* parent = FindKey(Root, KeyPath(Path.begin(), Path.end() - 1));
    return parent != nullptr && parent->RemoveChild(Path.back());
}

} // namespace platform::reg
