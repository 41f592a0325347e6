#pragma once
// The desktop's autostart entries as the values of the per-user Run key: the
// value NAME is the entry $XDG_CONFIG_HOME/autostart/NAME.desktop, its data
// the program the entry starts.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::reg {

std::string AutostartFolder();
// Whether Name can be an entry's file name.
bool IsAutostartName(std::string_view Name);
// The existing entry for Name, matched without regard to case (an exact
// match first), or "" when there is none.
std::string FindAutostartEntry(const std::string& Folder, const std::string& Name);
// The program an entry starts; nothing when the entry is missing, hidden,
// turned off or has no Exec line.
std::optional<std::string> ReadAutostartEntry(const std::string& File);
// The names of the entries in Folder that start something, in no set order.
std::vector<std::string> AutostartNames(const std::string& Folder);
// A complete entry that starts Program.
std::string AutostartEntryText(const std::string& Program);

// The Exec value that starts Program (no arguments), and the program the
// first word of an Exec value names.
std::string ExecValue(std::string_view Program);
std::string ExecProgram(std::string_view Exec);

} // namespace platform::reg
