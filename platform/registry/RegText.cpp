#include "platform/registry/RegText.h"

#include "framework/Utf8.h"

#include <cstdint>

namespace platform::reg {

std::string Utf16ToUtf8(std::string_view Bytes, bool BigEndian) {
    std::u16string units(Bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        const auto first = static_cast<uint8_t>(Bytes[2 * i]);
        const auto second = static_cast<uint8_t>(Bytes[2 * i + 1]);
        units[i] = static_cast<char16_t>(BigEndian ? (first << 8) | second : (second << 8) | first);
    }
    // A lone surrogate is kept as its three bytes; hex(1) data that holds one
    // then fails the round trip and is kept verbatim by the reader.
    return utf8::FromUtf16(units, utf8::LoneSurrogate::Keep);
}

std::string Utf8ToUtf16LE(std::string_view Text) {
    const std::u16string units = utf8::ToUtf16(Text);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

bool IsPlainText(std::string_view Text) {
    for (size_t i = 0; i < Text.size();) {
        char32_t codePoint = 0;
        const size_t length = utf8::Decode(Text, i, codePoint);
        if (length == 0 || utf8::IsControl(codePoint))
            return false;
        i += length;
    }
    return true;
}

} // namespace platform::reg
