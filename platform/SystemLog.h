#pragma once
// The system log, for what an operator must learn of even when no window is
// open to show it: a failed alert command, for one.

#include <string>

namespace platform {

// Writes Text as a warning of the program "sentrel"; control characters
// become spaces, so that one call makes one line.
void SystemLogWarning(const std::string& Text);

} // namespace platform
