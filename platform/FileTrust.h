#pragma once
// Whether a library file named by a settings file may be loaded into the
// program. Loading runs the file's code as the user, so only two kinds are
// taken: a file in the program's own folder, and one that nobody but the
// administrator can change (owned by root, writable by no group or other
// user, in folders that are the same all the way up).

#include <string>

namespace platform {

// The path to load (Path with its links resolved) when Path may be loaded;
// otherwise empty, and Why says in a few words why not ("it is not an
// absolute path").
std::string TrustedLibraryPath(const std::string& Path, std::string& Why);

} // namespace platform
