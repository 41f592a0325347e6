// ParseDottedQuad against a plain reading of what it accepts: four decimal
// numbers up to 255, separated by dots, blanks allowed around each number and
// nowhere else. An accepted text formats back to an address that parses to
// itself.

#include "net/qsInternetHost.h"
#include "net/qsPingTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

std::optional<uint32_t> Reference(const std::string& Text) {
    uint8_t octets[4];
    size_t part = 0;
    size_t from = 0;
    for (;;) {
        const size_t dot = Text.find('.', from);
        const std::string field = Text.substr(from, dot == std::string::npos ? dot : dot - from);
        if (part == 4)
            return std::nullopt;
        const size_t first = field.find_first_not_of(' ');
        if (first == std::string::npos)
            return std::nullopt;
        const size_t last = field.find_last_not_of(' ');
        unsigned value = 0;
        for (size_t i = first; i <= last; ++i) {
            if (field[i] < '0' || field[i] > '9')
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(field[i] - '0');
            if (value > 255)
                return std::nullopt;
        }
        octets[part++] = static_cast<uint8_t>(value);
        if (dot == std::string::npos)
            break;
        from = dot + 1;
    }
    if (part != 4)
        return std::nullopt;
    uint32_t address;
    std::memcpy(&address, octets, 4);
    return address;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    uint32_t address = 0xA5A5A5A5;
    const bool accepted = ParseDottedQuad(text, address);
    const std::optional<uint32_t> expected = Reference(text);
    if (accepted != expected.has_value() || (accepted && address != *expected))
        std::abort();
    if (accepted) {
        uint32_t again = 0;
        if (!ParseDottedQuad(FormatIPAddress(address), again) || again != address)
            std::abort();
    }
    return 0;
}
