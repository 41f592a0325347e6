// The status log's text lines with host texts of any bytes and lengths
// (control characters, bytes that are not UTF-8, "%s%n" and the like) and
// any time stamp of years 1 to 9999. A host text is data: it appears in the
// line as it is, but for control characters shown as their pictures,
// right-aligned in 16 characters, and has no say in the date, the time or the
// status around it.

#include "core/LogFormat.h"
#include "framework/Utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fault(const char* What, const std::string& Line) {
    std::fprintf(stderr, "%s\n--- line ---\n%s\n", What, Line.c_str());
    std::abort();
}

// As the windows show it: a byte that starts no well-formed sequence is one.
size_t Characters(const std::string& Text) {
    size_t count = 0;
    for (size_t i = 0; i < Text.size(); ++count) {
        char32_t code = 0;
        const size_t length = utf8::Decode(Text, i, code);
        i += length == 0 ? 1 : length;
    }
    return count;
}

void CheckPadLeft(const std::string& Text, size_t Width) {
    const std::string padded = PadLeft(Text, Width);
    const size_t pad = padded.size() - Text.size();
    if (padded.size() < Text.size() || !padded.ends_with(Text) ||
        padded.find_first_not_of(' ') < pad ||
        Characters(padded) != std::max(Width, Characters(Text)))
        Fault("PadLeft", padded);
}

// No control byte is left; each becomes one picture (U+2400 block, E2 90 ..)
// and every other byte stays as it was, in its place.
void CheckVisibleText(const std::string& Text) {
    const std::string visible = VisibleText(Text);
    size_t j = 0;
    for (unsigned char c : Text) {
        if (c < 0x20 || c == 0x7f) {
            if (visible.compare(j, 2, "\xE2\x90") != 0 || j + 3 > visible.size())
                Fault("a control character not shown as its picture", visible);
            j += 3;
        } else if (j >= visible.size() || static_cast<unsigned char>(visible[j++]) != c) {
            Fault("a byte other than a control character changed", visible);
        }
    }
    if (j != visible.size())
        Fault("bytes added to the visible text", visible);
    for (unsigned char c : visible)
        if (c < 0x20 || c == 0x7f)
            Fault("a control character left in the visible text", visible);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider input(Data, Size);
    // 0001-01-01 .. 9999-12-31, to the millisecond.
    const long day = input.ConsumeIntegralInRange<long>(-693593, 2958465);
    const long ms = input.ConsumeIntegralInRange<long>(0, 86399999);
    const auto status =
        static_cast<TPingResult>(input.ConsumeIntegralInRange<int>(0, PingResultCount - 1));
    const size_t width = input.ConsumeIntegralInRange<size_t>(0, 64);
    // Now and then the host text repeated to some 64 KiB, longer than any
    // input the fuzzer makes up by itself.
    const size_t longer = input.ConsumeIntegralInRange<int>(0, 7) == 0
                              ? input.ConsumeIntegralInRange<size_t>(0, 70000)
                              : 0;
    std::string host = input.ConsumeRemainingBytesAsString();
    if (!host.empty())
        for (size_t piece = host.size(); host.size() < longer;)
            host.append(host, 0, std::min(piece, longer - host.size()));

    CheckPadLeft(host, width);
    CheckVisibleText(host);

    TDeviceStatusRecord record;
    record.TimeStamp = static_cast<double>(day) + static_cast<double>(ms) / 86400000.0;
    record.Host = host;
    record.Status = status;
    const std::string withHost = FormatRecord(record, true);
    const std::string withoutHost = FormatRecord(record, false);
    record.Host.clear();
    if (FormatRecord(record, false) != withoutHost)
        Fault("the host text changed a line that does not show it", withoutHost);

    // withoutHost: WHEN + "  " + STATUS; withHost: WHEN + "  " + padded host + "   " + STATUS.
    const std::string statusText = PingResultText[status];
    if (!withoutHost.ends_with("  " + statusText))
        Fault("status missing", withoutHost);
    const std::string when = withoutHost.substr(0, withoutHost.size() - statusText.size());
    const std::string tail = "   " + statusText;
    if (!withHost.starts_with(when) || !withHost.ends_with(tail) ||
        withHost.size() < when.size() + tail.size())
        Fault("date or status changed by the host text", withHost);
    const std::string padded =
        withHost.substr(when.size(), withHost.size() - when.size() - tail.size());
    if (padded != PadLeft(VisibleText(host), 16))
        Fault("host not shown as it is", withHost);
    if (when.find_first_of("\r\n") != std::string::npos)
        Fault("a line break in the date", withHost);
    return 0;
}
