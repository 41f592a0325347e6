#pragma once
// The text line of one status record, as the log viewer shows it, a saved
// log holds it and the console prints it: the date and time in the user's
// short date and long time formats (the time left out at exact midnight),
// the host right-aligned in 16 characters when asked for, and the status.

#include "core/StatusLogCM.h"

#include <string>

// The date-time text of a time stamp in the user's formats.
std::string FormatDateTime(TDateTime Value);
std::string FormatRecord(const TDeviceStatusRecord& Record, bool ShowHost);
// Right-aligns Text in Width characters (not bytes); a longer text is kept whole.
std::string PadLeft(const std::string& Text, size_t Width);
