#include "core/LogFormat.h"

#include "framework/Utf8.h"

#include <langinfo.h>

#include <cstring>
#include <ctime>

namespace {

// Characters of a UTF-8 text; bytes that are not valid UTF-8 count one each.
size_t CharacterCount(const std::string& text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++count) {
        char32_t code = 0;
        const size_t length = utf8::Decode(text, i, code);
        i += length == 0 ? 1 : length;
    }
    return count;
}

std::string FormatWith(const char* format, const std::tm& time) {
    char buffer[256];
    const size_t n = std::strftime(buffer, sizeof(buffer), format, &time);
    return {buffer, n};
}

} // namespace

std::string VisibleText(const std::string& Text) {
    std::string visible;
    visible.reserve(Text.size());
    // Byte by byte: a control character is never part of a longer sequence.
    for (char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (utf8::IsControl(byte))
            utf8::Append(visible, utf8::ControlPicture(byte));
        else
            visible += c;
    }
    return visible;
}

std::string PadLeft(const std::string& Text, size_t Width) {
    const size_t length = CharacterCount(Text);
    return length >= Width ? Text : std::string(Width - length, ' ') + Text;
}

std::string FormatDateTime(TDateTime Value) {
    const TDateTimeParts p = DecodeDateTime(Value);
    std::tm time = CalendarTime(Value);
    // Fills in the weekday, which some date formats show.
    std::tm normalised = time;
    std::mktime(&normalised);
    time.tm_wday = normalised.tm_wday;
    time.tm_yday = normalised.tm_yday;
    std::string text = FormatWith(nl_langinfo(D_FMT), time);
    // Appended piece by piece: GCC 12 warns (falsely, -Wrestrict) on " " + a
    // temporary string in release builds.
    if (p.Hour != 0 || p.Minute != 0 || p.Second != 0) {
        text += ' ';
        text += FormatWith(nl_langinfo(T_FMT), time);
    }
    return text;
}

std::string AddressChangeText(const std::string& Host, const std::string& Address) {
    return VisibleText(Host) + " now " + VisibleText(Address);
}

std::string FormatRecord(const TDeviceStatusRecord& Record, bool ShowHost) {
    const std::string when = PadLeft(FormatDateTime(Record.TimeStamp), 16);
    // Names the host even in a device's own log: the line tells what the
    // name stands for now.
    if (Record.AddressChange())
        return when + "  " + AddressChangeText(Record.Host, Record.NewAddress);
    const char* status = Record.Status < PingResultCount ? PingResultText[Record.Status] : "";
    if (ShowHost)
        return when + "  " + PadLeft(VisibleText(Record.Host), 16) + "   " + status;
    return when + "  " + status;
}
