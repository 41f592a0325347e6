#pragma once
// The program without any window: the same settings, scanner and system log;
// each status change is printed as the system log shows it. Ends on SIGINT,
// SIGTERM, SIGHUP or when the output's reader goes away, saving the settings.
// Serves the metrics when asked to.

#include <cstdio>
#include <optional>
#include <string>

// Returns the exit status. Metrics, when given, is where to serve the metrics
// in place of the settings' address ("" for nowhere).
int RunConsole(std::FILE* Out, const std::optional<std::string>& Metrics = std::nullopt);
