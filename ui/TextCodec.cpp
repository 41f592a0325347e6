#include "ui/TextCodec.h"

namespace {

// Length of the valid UTF-8 sequence at Bytes[i], or 0; Cp gets its value.
size_t DecodeOne(const std::string& Bytes, size_t i, char32_t& Cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(Bytes[k]); };
    const unsigned char first = byte(i);
    size_t length;
    char32_t value;
    char32_t least;
    if (first < 0x80) {
        Cp = first;
        return 1;
    } else if ((first & 0xE0) == 0xC0) {
        length = 2, value = first & 0x1F, least = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3, value = first & 0x0F, least = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4, value = first & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > Bytes.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    Cp = value;
    return length;
}

void AppendUtf8(std::string& Out, char32_t Cp) {
    if (Cp < 0x80) {
        Out += static_cast<char>(Cp);
    } else if (Cp < 0x800) {
        Out += static_cast<char>(0xC0 | (Cp >> 6));
        Out += static_cast<char>(0x80 | (Cp & 0x3F));
    } else if (Cp < 0x10000) {
        Out += static_cast<char>(0xE0 | (Cp >> 12));
        Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Cp & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (Cp >> 18));
        Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Cp & 0x3F));
    }
}

} // namespace

QString ToQString(const std::string& Bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(Bytes.size()));
    for (size_t i = 0; i < Bytes.size();) {
        char32_t cp = 0;
        const size_t length = DecodeOne(Bytes, i, cp);
        if (length == 0) {
            text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(Bytes[i])));
            ++i;
            continue;
        }
        if (cp < 0x10000) {
            text += QChar(static_cast<char16_t>(cp));
        } else {
            text += QChar(QChar::highSurrogate(cp));
            text += QChar(QChar::lowSurrogate(cp));
        }
        i += length;
    }
    return text;
}

std::string ToBytes(const QString& Text) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(Text.size()));
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const char16_t unit = Text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < Text.size() &&
            QChar::isLowSurrogate(Text[i + 1].unicode())) {
            AppendUtf8(bytes, QChar::surrogateToUcs4(unit, Text[i + 1].unicode()));
            ++i;
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes += static_cast<char>(unit - 0xDC00); // a byte that was not UTF-8
        } else if (QChar::isSurrogate(unit)) {
            AppendUtf8(bytes, 0xFFFD); // cannot be typed; never came from bytes
        } else {
            AppendUtf8(bytes, unit);
        }
    }
    return bytes;
}
