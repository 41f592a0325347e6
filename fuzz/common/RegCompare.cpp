#include "fuzz/common/RegCompare.h"

namespace fuzz {

using platform::reg::Key;
using platform::reg::Value;

namespace {

std::string Differs(const std::string& Path, const std::string& What) {
    return Path + ": " + What;
}

std::string Compare(const Key& A, const Key& B, const std::string& Path) {
    if (A.Name() != B.Name())
        return Differs(Path, "key name \"" + A.Name() + "\" vs \"" + B.Name() + "\"");
    if (A.Values().size() != B.Values().size())
        return Differs(Path, "value count");
    auto b = B.Values().begin();
    for (const Value& a : A.Values()) {
        if (a.Name != b->Name || a.Type != b->Type || a.Data != b->Data ||
            a.Verbatim != b->Verbatim)
            return Differs(Path, "value \"" + a.Name + "\"");
        ++b;
    }
    if (A.Children().size() != B.Children().size())
        return Differs(Path, "sub-key count");
    auto child = B.Children().begin();
    for (const auto& [folded, a] : A.Children()) {
        if (folded != child->first)
            return Differs(Path, "sub-key \"" + folded + "\" vs \"" + child->first + "\"");
        if (std::string difference = Compare(*a, *child->second, Path + "\\" + a->Name());
            !difference.empty())
            return difference;
        ++child;
    }
    return {};
}

} // namespace

std::string TreeDifference(const Key& A, const Key& B) {
    return Compare(A, B, A.Name());
}

} // namespace fuzz
