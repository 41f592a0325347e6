#pragma once
// Whether a window can be shown at all, asked before the window toolkit
// starts: it aborts the whole process when it finds no display.

#include <string>

namespace platform {

// Why the window platform would find no display, or "" when it will find one
// or needs none (offscreen, framebuffer, ...). Platform: the -platform
// argument, "" for QT_QPA_PLATFORM and then the default; a list separated by
// ';' is tried in order, options after ':' are ignored. XDisplay: the
// -display argument, "" for DISPLAY.
std::string MissingDisplay(const std::string& Platform, const std::string& XDisplay);

} // namespace platform
