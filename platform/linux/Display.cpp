#include "platform/Display.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

std::string Env(const char* Name) {
    const char* value = std::getenv(Name);
    return value == nullptr ? std::string() : std::string(value);
}

// Opens and closes an X connection the way the xcb platform will, so that a
// display that is set but refuses us (no server, no authority) counts as
// missing. libxcb is loaded at run time: the xcb platform needs it anyway,
// and the program must not depend on it where windows come from elsewhere.
std::string XMissing(const std::string& Name) {
    if (Name.empty())
        return "DISPLAY is not set";
    void* library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return {}; // cannot tell; the platform will say
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(library, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(library, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(library, "xcb_disconnect"));
    bool opened = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(Name.c_str(), nullptr);
        opened = connection != nullptr && hasError(connection) == 0;
        disconnect(connection); // also takes the error object a failed connect returns
    }
    dlclose(library);
    return opened ? std::string() : "cannot open display " + Name;
}

// A Wayland display is a socket in XDG_RUNTIME_DIR (or an absolute path).
std::string WaylandMissing(std::string Name) {
    if (Name.empty())
        return "WAYLAND_DISPLAY is not set";
    if (Name[0] != '/') {
        const std::string runtime = Env("XDG_RUNTIME_DIR");
        if (runtime.empty())
            return "XDG_RUNTIME_DIR is not set";
        Name = runtime + "/" + Name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (Name.size() >= sizeof(address.sun_path))
        return "cannot open Wayland display " + Name;
    std::memcpy(address.sun_path, Name.c_str(), Name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool opened =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        close(fd);
    return opened ? std::string() : "cannot open Wayland display " + Name;
}

} // namespace

std::string MissingDisplay(const std::string& Platform, const std::string& XDisplay) {
    const std::string x = XDisplay.empty() ? Env("DISPLAY") : XDisplay;
    const std::string platforms = Platform.empty() ? Env("QT_QPA_PLATFORM") : Platform;
    if (platforms.empty()) {
        // The default platform: X, or Wayland where the session names it.
        const std::string wayland = Env("WAYLAND_DISPLAY");
        if (x.empty() && wayland.empty())
            return "DISPLAY and WAYLAND_DISPLAY are not set";
        const std::string xMissing = XMissing(x);
        if (xMissing.empty() || (!wayland.empty() && WaylandMissing(wayland).empty()))
            return {};
        return x.empty() ? WaylandMissing(wayland) : xMissing;
    }
    std::string why;
    size_t start = 0;
    while (start <= platforms.size()) {
        size_t end = platforms.find(';', start);
        if (end == std::string::npos)
            end = platforms.size();
        const std::string candidate = platforms.substr(start, end - start);
        const std::string name = candidate.substr(0, candidate.find(':'));
        start = end + 1;
        if (name.empty())
            continue;
        if (name.rfind("xcb", 0) == 0)
            why = XMissing(x);
        else if (name.rfind("wayland", 0) == 0) {
            const std::string wayland = Env("WAYLAND_DISPLAY");
            why = WaylandMissing(wayland.empty() ? "wayland-0" : wayland);
        } else
            return {}; // offscreen, minimal, eglfs, linuxfb, vnc: no display server
        if (why.empty())
            return {};
    }
    return why;
}

} // namespace platform
