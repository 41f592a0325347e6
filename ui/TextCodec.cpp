#include "ui/TextCodec.h"

#include "framework/Utf8.h"

#include <QStringView>

QString ToQString(const std::string& Bytes) {
    // Copied unit for unit, so the stray bytes' surrogates stay as they are.
    return QStringView(utf8::ToUtf16(Bytes)).toString();
}

std::string ToBytes(const QString& Text) {
    const QStringView units(Text);
    // Any other lone surrogate cannot have come from bytes; it was typed.
    return utf8::FromUtf16(std::u16string_view(units.utf16(), static_cast<size_t>(units.size())),
                           utf8::LoneSurrogate::Replace);
}
