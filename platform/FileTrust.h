#pragma once
// Whether a file may be believed: a library named by a settings file (loading
// runs its code as the user) or a file that sets what users may do. Only
// files that nobody but the administrator can change are taken (owned by
// root, writable by no group or other user, in folders that are the same all
// the way up); a library also from the program's own folder.

#include <string>

namespace platform {

// The path to load (Path with its links resolved) when Path may be loaded;
// otherwise empty, and Why says in a few words why not ("it is not an
// absolute path").
std::string TrustedLibraryPath(const std::string& Path, std::string& Why);

// The same for a file of the administrator's, wherever it is: the path to
// read (links resolved), or empty with the reason in Why.
std::string TrustedAdministratorFile(const std::string& Path, std::string& Why);

// Test hook: what user Uid owns counts as the administrator's too; -1 leaves
// root alone.
void SetTrustedOwner(long Uid);

} // namespace platform
