#pragma once
// The command line of sentrel: its own words (admin, -debug, --console), the
// window toolkit's standard options, --help and --version, the device list's
// import and export for scripts (--import, --export-devices) and the user
// service's installation (--install-service).

#include <optional>
#include <string>

struct CommandLine {
    enum class Request {
        Window,
        Console,
        Import,
        ExportDevices,
        InstallService,
        Help,
        Version,
        Invalid
    };
    Request What = Request::Window;
    // Import and ExportDevices: the file, "-" for standard input or output.
    std::string File;
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
    // Console: --metrics ADDRESS:PORT as typed (checked where the server
    // starts), "" to serve none whatever the settings say; empty when not given.
    std::optional<std::string> Metrics;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);
