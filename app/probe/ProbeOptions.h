#pragma once
// Command line of sentrel-probe.

#include <cstdint>
#include <string>
#include <vector>

struct ProbeOptions {
    uint32_t Count = 4;       // replies per host; 0: until interrupted
    uint32_t Interval = 1000; // ms between cycles
    uint32_t Timeout = 1000;  // ms
    uint16_t Size = 64;       // data bytes
    uint8_t Ttl = 128;
    int Family = 0;       // -4: 4, -6: 6; 0: IPv6 for IPv6 literals, else IPv4 as before
    bool Quiet = false;   // print only the summary
    bool Help = false;    // --help: print the usage, ping nothing
    bool Version = false; // --version: print the version, ping nothing
    std::vector<std::string> Hosts;
};

// Parses argv[1..]; on a bad argument returns false and sets Error. --help
// and --version end the parsing.
bool ParseProbeOptions(int argc, const char* const* argv, ProbeOptions& Options,
                       std::string& Error);

extern const char* const ProbeUsage;
