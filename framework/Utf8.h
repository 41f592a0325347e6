#pragma once
// UTF-8, the form every layer keeps its text in, and its way to and from the
// UTF-16 of Windows files and of the windows.
//
// Bytes that are not UTF-8 travel through UTF-16 as the lone surrogates
// U+DC80..U+DCFF (one per byte) and come back as the same bytes, so a host or
// a stored value survives any trip exactly.

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// The length of the well-formed sequence at Index (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when there is none; CodePoint
// gets its value.
size_t Decode(std::string_view Text, size_t Index, char32_t& CodePoint);
// Also encodes a surrogate, as UTF-16 may hand one over unpaired.
void Append(std::string& Out, char32_t CodePoint);

// Every byte that starts no sequence becomes U+DC00 + byte.
std::u16string ToUtf16(std::string_view Text);

// A surrogate that is neither paired nor a stray byte's: kept as its own
// three bytes, or replaced by U+FFFD where it can only have been typed.
enum class LoneSurrogate { Keep, Replace };
// Pairs combine and U+DC80..U+DCFF turn back into their bytes.
std::string FromUtf16(std::u16string_view Units, LoneSurrogate Lone);

// C0 controls and DEL: what may split a line or steer a terminal.
constexpr bool IsControl(char32_t CodePoint) {
    return CodePoint < 0x20 || CodePoint == 0x7F;
}
// The visible picture of a control character: U+2400 + code, U+2421 for DEL.
constexpr char32_t ControlPicture(char32_t CodePoint) {
    return CodePoint == 0x7F ? 0x2421 : 0x2400 + CodePoint;
}

} // namespace utf8
