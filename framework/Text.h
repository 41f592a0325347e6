#pragma once
// Small pieces of text handling that the file formats, the import and the
// HTTP headers share: blanks are spaces and tabs, as in every format read here.

#include <string_view>

namespace text {

constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

constexpr std::string_view TrimLeft(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.front()))
        Text.remove_prefix(1);
    return Text;
}

constexpr std::string_view TrimRight(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.back()))
        Text.remove_suffix(1);
    return Text;
}

// Text without the blanks at either end.
constexpr std::string_view Trim(std::string_view Text) {
    return TrimRight(TrimLeft(Text));
}

// The value of a hexadecimal digit of either case, or -1.
constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace text
