#pragma once
// The program without any window: the same settings, scanner and system log;
// each status change is printed as the system log shows it. Ends on SIGINT,
// SIGTERM, SIGHUP or when the output's reader goes away, saving the settings.

#include <cstdio>

// Returns the exit status.
int RunConsole(std::FILE* Out);
