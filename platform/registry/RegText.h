#pragma once
// Conversions between the UTF-8 the program keeps its text in and the UTF-16
// of files written on Windows and of hex(1) string data.
//
// Bytes that are not UTF-8 travel through UTF-16 as the lone surrogates
// U+DC80..U+DCFF (one per byte) and come back as the same bytes, so any
// string survives the trip exactly.

#include <string>
#include <string_view>

namespace platform::reg {

// Little-endian unless BigEndian; an odd last byte is dropped.
std::string Utf16ToUtf8(std::string_view Bytes, bool BigEndian = false);
// Without a terminating zero.
std::string Utf8ToUtf16LE(std::string_view Text);
// Valid UTF-8 without control characters: fits between quotes on one line.
bool IsPlainText(std::string_view Text);

} // namespace platform::reg
