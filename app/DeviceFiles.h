#pragma once
// The device list from the command line, for deployment scripts: an import
// that adds a file's devices to the settings, and an export of the list as
// CSV. Neither shows a window nor needs a display.

#include <cstdio>
#include <string>

// Adds the devices of File ("-": standard input) to the settings, under the
// claim on them that every copy takes. Prints each host added and each
// duplicate to Out, each invalid entry to Err, then the summary to Out.
// Returns 0 when nothing was invalid, 1 when some entries were (the others
// are added), 2 when nothing could be done (nothing is added then).
int ImportDevices(const std::string& File, std::FILE* Out, std::FILE* Err);

// Writes the device list as CSV to File ("-": standard output). Returns 0, or
// 2 with a message on Err naming what failed.
int ExportDevices(const std::string& File, std::FILE* Out, std::FILE* Err);
