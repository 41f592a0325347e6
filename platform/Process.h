#pragma once
// Facts about the running program and its limits.

#include <string>

namespace platform {

// Full path of the running executable.
std::string ExecutablePath();
// Its directory, with a trailing '/'.
std::string ExecutableDirectory();

// Raises the soft limit of open files to the hard limit, so that thousands
// of workers can each hold a socket. Returns the limit now in force.
unsigned long RaiseOpenFileLimit();

} // namespace platform
