#include "app/probe/ProbeOptions.h"

#include <charconv>
#include <cstring>

const char* const ProbeUsage =
    "usage: sentrel-probe [-4|-6] [-c count] [-i interval_ms] [-w timeout_ms] [-s size] [-t ttl] "
    "[-q] HOST...\n"
    "  -4, -6          ping over IPv4 or IPv6 only (an IPv6 address, [bracketed] or\n"
    "                  with %zone, is pinged over IPv6; names prefer IPv4 unless -6)\n"
    "  -c count        replies to wait for per host (default 4; 0 pings until interrupted)\n"
    "  -i interval_ms  pause between two echoes to one host (default 1000)\n"
    "  -w timeout_ms   time to wait for each reply (default 1000)\n"
    "  -s size         data bytes per echo, 0 to 65500 (default 64)\n"
    "  -t ttl          time-to-live or hop limit, 0 to 255 (default 128)\n"
    "  -q              print only the summary per host\n"
    "  -h, --help      print this help and exit\n"
    "  --version       print the version and exit\n";

namespace {

bool ParseNumber(const char* text, uint64_t max, uint64_t& value) {
    const char* end = text + std::strlen(text);
    if (text == end)
        return false;
    auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end && value <= max;
}

} // namespace

bool ParseProbeOptions(int argc, const char* const* argv, ProbeOptions& Options,
                       std::string& Error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Options.Help = true;
            return true;
        }
        if (arg == "--version") {
            Options.Version = true;
            return true;
        }
        if (arg == "-4" || arg == "-6") {
            const int family = arg[1] - '0';
            if (Options.Family != 0 && Options.Family != family) {
                Error = "-4 and -6 cannot both be given";
                return false;
            }
            Options.Family = family;
            continue;
        }
        if (arg == "-q") {
            Options.Quiet = true;
            continue;
        }
        if (arg.size() == 2 && arg[0] == '-' && std::strchr("ciwst", arg[1]) != nullptr) {
            if (i + 1 >= argc) {
                Error = "option " + arg + " needs a value";
                return false;
            }
            const char* text = argv[++i];
            uint64_t value = 0;
            const uint64_t max = arg[1] == 's' ? 65500 : arg[1] == 't' ? 255 : 0xffffffffULL;
            if (!ParseNumber(text, max, value)) {
                Error = "option " + arg + ": '" + text + "' is not a number from 0 to " +
                        std::to_string(max);
                return false;
            }
            switch (arg[1]) {
            case 'c':
                Options.Count = static_cast<uint32_t>(value);
                break;
            case 'i':
                Options.Interval = static_cast<uint32_t>(value);
                break;
            case 'w':
                Options.Timeout = static_cast<uint32_t>(value);
                break;
            case 's':
                Options.Size = static_cast<uint16_t>(value);
                break;
            case 't':
                Options.Ttl = static_cast<uint8_t>(value);
                break;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            Error = "unknown option " + arg;
            return false;
        }
        Options.Hosts.push_back(arg);
    }
    if (Options.Hosts.empty()) {
        Error = "no host given";
        return false;
    }
    return true;
}
