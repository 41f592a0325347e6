#pragma once
// What the benchmark drivers that open the main window share: they run
// headless, only on a profile made for them, and print errors instead of
// showing message boxes that nobody would close.

#include "ui/ErrorReport.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

// The profile folder, or exits: the drivers save settings when they end and
// must never do that over a real user's settings.
inline std::string RequireProfile(const char* Program) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    struct stat info {};
    if (config == nullptr || config[0] != '/' || stat(config, &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "%s: set XDG_CONFIG_HOME to a generated profile folder\n", Program);
        std::exit(2);
    }
    return config;
}

inline void RunHeadless() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

inline void PrintErrors(int& Count) {
    SetErrorReportHook([&Count](const QString& text) {
        ++Count;
        std::fprintf(stderr, "error report: %s\n", text.toUtf8().constData());
    });
}

} // namespace bench
