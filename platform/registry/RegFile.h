#pragma once
// The registry editor's export format ("Windows Registry Editor Version
// 5.00"): reading any bytes into a key tree, or failing with the line and the
// reason; and writing a tree back in the form the editor itself writes.

#include "platform/registry/RegTree.h"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::reg {

class RegFileError : public std::runtime_error {
public:
    RegFileError(size_t Line, const std::string& Reason)
        : std::runtime_error(Reason), FLine(Line) {}
    size_t Line() const { return FLine; }

private:
    size_t FLine;
};

// RootName is the file's only top key, e.g. "HKEY_CURRENT_USER"; the tree
// returned stands for it. UTF-8 with or without a byte-order mark, UTF-16
// with one, CR LF or LF line ends. Deletions ([-key], "name"=-) are applied
// as they come.
std::unique_ptr<Key> ParseRegFile(std::string_view Bytes, std::string_view RootName);

// UTF-8 without a byte-order mark, LF line ends. SizeHint: the size the text
// is likely to have (such as the file's before), reserved at once.
std::string WriteRegFile(const Key& Root, std::string_view RootName, size_t SizeHint = 0);

} // namespace platform::reg
