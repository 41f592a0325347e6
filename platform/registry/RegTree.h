#pragma once
// The in-memory form of a registry file: keys with sorted sub-keys and named,
// typed values. Names compare without regard to ASCII letter case and keep
// the case they were created with.

#include "platform/registry/Registry.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::reg {

// Windows refuses deeper keys too; the limit also keeps the recursive walks
// over a hostile file's tree within the stack.
constexpr size_t MaxKeyDepth = 512;

std::string Fold(std::string_view Name);
// Whether two names are the same without regard to ASCII letter case.
bool SameName(std::string_view A, std::string_view B);

struct Value {
    std::string Name;
    uint32_t Type = REG_NONE;
    // REG_SZ: the text in UTF-8, unless Verbatim. Any other type: the bytes
    // as stored (REG_DWORD: four bytes, little-endian).
    std::string Data;
    // A REG_SZ read as hex(1) bytes that do not convert to text and back
    // exactly: kept as those bytes, so they are written back unchanged.
    bool Verbatim = false;
};

class Key {
public:
    explicit Key(std::string Name) : FName(std::move(Name)) {}

    const std::string& Name() const { return FName; }
    // Only there because keys below it were named: the file need not name it.
    bool Implied() const { return FImplied; }
    void SetImplied(bool Implied) { FImplied = Implied; }

    Key* Child(std::string_view Name) const;
    // The existing sub-key of that name, or a new one.
    Key& AddChild(std::string_view Name);
    bool RemoveChild(std::string_view Name);
    // Keyed by the folded name, so iteration is sorted without regard to case.
    const std::map<std::string, std::unique_ptr<Key>>& Children() const { return FChildren; }

    const Value* FindValue(std::string_view Name) const;
    void SetValue(Value NewValue);
    bool RemoveValue(std::string_view Name);
    void ClearValues();
    // In the order they were first written.
    const std::list<Value>& Values() const { return FValues; }

private:
    std::list<Value>::iterator FindValueSlot(std::string_view Name);

    std::string FName;
    bool FImplied = false;
    std::map<std::string, std::unique_ptr<Key>> FChildren;
    std::list<Value> FValues;
    // By folded name; only kept for keys with many values, as a short search
    // costs less than an index per key when a file holds many small keys.
    std::unordered_map<std::string, std::list<Value>::iterator> FValueIndex;
};

// Key names from the root down, without the root's own name.
using KeyPath = std::vector<std::string>;

Key* FindKey(Key& Root, const KeyPath& Path);
// Keys created on the way to Path are implied; Path itself no longer is.
Key& CreateKey(Key& Root, const KeyPath& Path);
bool RemoveKey(Key& Root, const KeyPath& Path);

} // namespace platform::reg
