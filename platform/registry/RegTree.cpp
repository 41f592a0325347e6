#include "platform/registry/RegTree.h"

namespace platform::reg {

std::string Fold(std::string_view Name) {
    std::string folded(Name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

Key* Key::Child(std::string_view Name) const {
    const auto found = FChildren.find(Fold(Name));
    return found == FChildren.end() ? nullptr : found->second.get();
}

Key& Key::AddChild(const std::string& Name) {
    auto& slot = FChildren[Fold(Name)];
    if (!slot)
        slot = std::make_unique<Key>(Name);
    return *slot;
}

bool Key::RemoveChild(std::string_view Name) {
    return FChildren.erase(Fold(Name)) > 0;
}

const Value* Key::FindValue(std::string_view Name) const {
    const auto found = FValueIndex.find(Fold(Name));
    return found == FValueIndex.end() ? nullptr : &*found->second;
}

void Key::SetValue(Value NewValue) {
    std::string folded = Fold(NewValue.Name);
    const auto found = FValueIndex.find(folded);
    if (found != FValueIndex.end()) {
        // Replacing keeps the name's first spelling, as the registry does.
        NewValue.Name = found->second->Name;
        *found->second = std::move(NewValue);
        return;
    }
    FValues.push_back(std::move(NewValue));
    FValueIndex.emplace(std::move(folded), std::prev(FValues.end()));
}

bool Key::RemoveValue(std::string_view Name) {
    const auto found = FValueIndex.find(Fold(Name));
    if (found == FValueIndex.end())
        return false;
    FValues.erase(found->second);
    FValueIndex.erase(found);
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
