#pragma once
// The Windows and system directories, as this system defines
// them: both are the program's own directory (where its modules, such as the
// ICMP module and the help runtime, are installed), without a trailing
// separator. Tests can set either. The temporary directory is $TMPDIR, or
// /tmp.

#include <string>
#include <vector>

namespace platform {

std::string GetWindowsDirectory();
std::string GetSystemDirectory();
std::string GetTempDirectory();

// The system-wide configuration folders: the absolute entries of
// $XDG_CONFIG_DIRS (colon-separated), or /etc/xdg when it names none.
std::vector<std::string> SystemConfigDirectories();
// The first of those folders holding Relative (such as
// "Kestrava/Sentrel/policy.reg"), as that path, whatever is there (a
// dangling link included, so that the caller reports it); empty when none.
std::string FindSystemConfigFile(const std::string& Relative);

// Test hooks; an empty text restores the default.
void SetWindowsDirectory(const std::string& Directory);
void SetSystemDirectory(const std::string& Directory);

} // namespace platform
