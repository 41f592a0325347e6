#pragma once
// The command line of sentrel: its own words (admin, -debug, --console,
// --install-service), the
// window toolkit's standard options, --help and --version.

#include <string>

struct CommandLine {
    enum class Request { Window, Console, InstallService, Help, Version, Invalid };
    Request What = Request::Window;
    // The help, the version line, or the one-line error, each ending in '\n'.
    std::string Text;
    // The -platform and -display arguments, "" when not given.
    std::string Platform;
    std::string Display;
    // The first argument left once Qt takes its own options is the
    // administration switch, as the main window will see it.
    bool Admin = false;
    // --force with --install-service: a different unit already there is replaced.
    bool Force = false;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);
