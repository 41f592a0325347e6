#include "platform/registry/RegText.h"

#include <cstdint>

namespace platform::reg {

namespace {

uint8_t ByteAt(std::string_view Text, size_t Index) {
    return static_cast<uint8_t>(Text[Index]);
}

bool IsContinuation(std::string_view Text, size_t Index, uint8_t Low = 0x80, uint8_t High = 0xBF) {
    if (Index >= Text.size())
        return false;
    const uint8_t b = ByteAt(Text, Index);
    return b >= Low && b <= High;
}

// The length of the well-formed UTF-8 sequence at Index (no overlong forms,
// no surrogates, nothing past U+10FFFF), or 0 when there is none.
size_t DecodeUtf8(std::string_view Text, size_t Index, uint32_t& CodePoint) {
    const uint8_t lead = ByteAt(Text, Index);
    if (lead < 0x80) {
        CodePoint = lead;
        return 1;
    }
    size_t length;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        CodePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        CodePoint = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        CodePoint = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (!IsContinuation(Text, Index + 1, low, high))
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (i > 1 && !IsContinuation(Text, Index + i))
            return 0;
        CodePoint = (CodePoint << 6) | (ByteAt(Text, Index + i) & 0x3F);
    }
    return length;
}

// Also encodes surrogates, which only arrive here unpaired from UTF-16.
void AppendUtf8(std::string& Out, uint32_t CodePoint) {
    if (CodePoint < 0x80) {
        Out += static_cast<char>(CodePoint);
    } else if (CodePoint < 0x800) {
        Out += static_cast<char>(0xC0 | (CodePoint >> 6));
        Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
    } else if (CodePoint < 0x10000) {
        Out += static_cast<char>(0xE0 | (CodePoint >> 12));
        Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (CodePoint >> 18));
        Out += static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
    }
}

void AppendUnit(std::string& Out, uint32_t Unit) {
    Out += static_cast<char>(Unit & 0xFF);
    Out += static_cast<char>(Unit >> 8);
}

} // namespace

std::string Utf16ToUtf8(std::string_view Bytes, bool BigEndian) {
    const size_t count = Bytes.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        const uint32_t first = ByteAt(Bytes, 2 * i), second = ByteAt(Bytes, 2 * i + 1);
        return BigEndian ? (first << 8) | second : (second << 8) | first;
    };
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            const uint32_t next = unit(i + 1);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(text, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xDC80 && u <= 0xDCFF)
            text += static_cast<char>(u - 0xDC00);
        else
            AppendUtf8(text, u);
    }
    return text;
}

std::string Utf8ToUtf16LE(std::string_view Text) {
    std::string bytes;
    bytes.reserve(Text.size() * 2);
    for (size_t i = 0; i < Text.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUtf8(Text, i, codePoint);
        if (length == 0) {
            AppendUnit(bytes, 0xDC00 + ByteAt(Text, i));
            ++i;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            AppendUnit(bytes, 0xD800 + (codePoint >> 10));
            AppendUnit(bytes, 0xDC00 + (codePoint & 0x3FF));
        } else {
            AppendUnit(bytes, codePoint);
        }
        i += length;
    }
    return bytes;
}

bool IsPlainText(std::string_view Text) {
    for (size_t i = 0; i < Text.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUtf8(Text, i, codePoint);
        if (length == 0 || codePoint < 0x20 || codePoint == 0x7F)
            return false;
        i += length;
    }
    return true;
}

} // namespace platform::reg
