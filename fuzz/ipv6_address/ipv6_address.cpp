// ParseIPv6Address on any text: what it accepts formats to text that parses
// to the same address; without brackets and zone it accepts exactly what
// inet_pton does, to the same bytes.

#include "net/IPv6Address.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    TIPv6Address address;
    std::string reason;
    const bool accepted = ParseIPv6Address(text, address, reason);
    if (!accepted && reason.empty())
        std::abort();
    if (text.find_first_of("[]%") == std::string::npos && text.find('\0') == std::string::npos) {
        in6_addr expected{};
        const bool system = inet_pton(AF_INET6, text.c_str(), &expected) == 1;
        if (system != accepted ||
            (accepted && std::memcmp(&expected, address.Bytes.data(), 16) != 0))
            std::abort();
    }
    if (accepted) {
        TIPv6Address again;
        if (!ParseIPv6Address(FormatIPv6Address(address), again, reason) || !(again == address))
            std::abort();
    }
    return 0;
}
