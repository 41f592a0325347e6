#include "framework/Utf8.h"

#include <cstdint>

namespace utf8 {

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

constexpr char16_t StrayBase = 0xDC00;
constexpr bool IsHighSurrogate(char32_t Unit) {
    return Unit >= 0xD800 && Unit <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char32_t Unit) {
    return Unit >= 0xDC00 && Unit <= 0xDFFF;
}

} // namespace

size_t Decode(std::string_view Text, size_t Index, char32_t& CodePoint) {
    const uint8_t lead = ByteAt(Text, Index);
    if (lead < 0x80) {
        CodePoint = lead;
        return 1;
    }
    size_t length;
    char32_t value;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    // The second byte's narrower ranges are what rule out overlong forms,
    // surrogates and values past U+10FFFF.
    if (!IsContinuation(Text, Index + 1, low, high))
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (i > 1 && !IsContinuation(Text, Index + i))
            return 0;
        value = (value << 6) | (ByteAt(Text, Index + i) & 0x3F);
    }
    CodePoint = value;
    return length;
}

void Append(std::string& Out, char32_t CodePoint) {
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

std::u16string ToUtf16(std::string_view Text) {
    std::u16string units;
    units.reserve(Text.size());
    for (size_t i = 0; i < Text.size();) {
        char32_t codePoint = 0;
        const size_t length = Decode(Text, i, codePoint);
        if (length == 0) {
            units += static_cast<char16_t>(StrayBase + ByteAt(Text, i));
            ++i;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (codePoint >> 10));
            units += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            units += static_cast<char16_t>(codePoint);
        }
        i += length;
    }
    return units;
}

std::string FromUtf16(std::u16string_view Units, LoneSurrogate Lone) {
    std::string text;
    text.reserve(Units.size());
    for (size_t i = 0; i < Units.size(); ++i) {
        const char32_t unit = Units[i];
        if (IsHighSurrogate(unit) && i + 1 < Units.size() && IsLowSurrogate(Units[i + 1])) {
            Append(text, 0x10000 + ((unit - 0xD800) << 10) + (Units[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= StrayBase + 0x80 && unit <= StrayBase + 0xFF) {
            text += static_cast<char>(unit - StrayBase);
        } else if ((IsHighSurrogate(unit) || IsLowSurrogate(unit)) &&
                   Lone == LoneSurrogate::Replace) {
            Append(text, 0xFFFD);
        } else {
            Append(text, unit);
        }
    }
    return text;
}

} // namespace utf8
