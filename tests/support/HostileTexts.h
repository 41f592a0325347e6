#pragma once
// Host and description texts that no sane device has: very long, control
// characters and line breaks, bytes that are not UTF-8, quotes, printf
// directives, a NUL byte and nothing but blanks.

#include <string>
#include <vector>

inline std::vector<std::string> HostileTexts() {
    return {
        std::string(65536, 'h'),
        "line\nbreak\ttab\x01\x1b[31mred\x7f",
        "\xff\xfe not UTF-8 \xc3",
        "\"quoted\" and back\\slash\\",
        "%s%n%d%% %x",
        "caf\xC3\xA9 Flur \xE2\x80\x93 2F",
        std::string("nul\0inside", 10),
        "   ",
    };
}
