#pragma once
// The thread's last error code. On this system it is errno, which a loaded
// module shares with the program, so a module's entry point can leave a code
// that its caller reads right after the call.

#include <cerrno>
#include <cstdint>

namespace platform {

inline uint32_t GetLastError() {
    return static_cast<uint32_t>(errno);
}
inline void SetLastError(uint32_t Code) {
    errno = static_cast<int>(Code);
}

} // namespace platform
