#pragma once
// The text line of one status record, as the log viewer shows it, a saved
// log holds it and the console prints it: the date and time in the user's
// short date and long time formats (the time left out at exact midnight),
// the host right-aligned in 16 characters when asked for, and the status.

#include "core/StatusLogCM.h"

#include <string>

// The date-time text of a time stamp in the user's formats.
std::string FormatDateTime(TDateTime Value);
// An address change reads "printer-2F now 10.0.0.9" after the time, with or
// without ShowHost.
std::string FormatRecord(const TDeviceStatusRecord& Record, bool ShowHost);
// "printer-2F now 10.0.0.9", both texts made visible.
std::string AddressChangeText(const std::string& Host, const std::string& Address);
// Text with every control character replaced by its visible picture (a line
// break becomes U+240A), so that a host text can neither split a log line nor
// steer the terminal it is printed on.
std::string VisibleText(const std::string& Text);
// Right-aligns Text in Width characters (not bytes); a longer text is kept whole.
std::string PadLeft(const std::string& Text, size_t Width);
