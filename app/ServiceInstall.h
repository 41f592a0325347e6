#pragma once
// Installs the console mode as a systemd user service of the current user:
// the unit, with this program's own path, in the folder the user's service
// manager reads. Never enables or starts it; says how to.

#include <cstdio>
#include <string>

// $XDG_CONFIG_HOME/systemd/user/sentrel.service (~/.config when unset).
std::string ServiceUnitPath();

// The program word of ExecStart= that runs Path, written so that systemd
// reads Path back (quoted around blanks, '%' doubled, bytes that are not
// UTF-8 escaped); empty when systemd runs no program of that path (control
// characters, quotes or backslashes in it), and then Why says why.
std::string UnitProgramWord(const std::string& Path, std::string& Why);

// The unit that runs Program (an absolute path) with --console; empty, and
// Why set, when UnitProgramWord refuses it.
std::string ServiceUnitText(const std::string& Program, std::string& Why);

// Writes the unit atomically; an existing unit that differs is replaced only
// when Force is given. Tells the user's service manager to read it again
// when systemctl is there and one answers. Returns the exit status.
int InstallService(bool Force, std::FILE* Out, std::FILE* Err);
