#pragma once
// The Windows and system directories, as this system defines
// them: both are the program's own directory (where its modules, such as the
// ICMP module and the help runtime, are installed), without a trailing
// separator. Tests can set either. The temporary directory is $TMPDIR, or
// /tmp.

#include <string>

namespace platform {

std::string GetWindowsDirectory();
std::string GetSystemDirectory();
std::string GetTempDirectory();

// Test hooks; an empty text restores the default.
void SetWindowsDirectory(const std::string& Directory);
void SetSystemDirectory(const std::string& Directory);

} // namespace platform
