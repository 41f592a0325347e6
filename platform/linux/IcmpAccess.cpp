#include "platform/IcmpAccess.h"

#include "platform/Process.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace platform {
namespace {

bool CanOpen(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    // Out of descriptors says nothing about permission: no advice then.
    if (fd < 0)
        return errno == EMFILE || errno == ENFILE;
    close(fd);
    return true;
}

} // namespace

std::string IcmpAccessAdvice() {
    if (CanOpen(SOCK_DGRAM) || CanOpen(SOCK_RAW))
        return {};
    std::string range = "unknown";
    std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
    if (file) {
        std::string low;
        std::string high;
        file >> low >> high;
        range = low + " " + high;
    }
    return "This user may not send ICMP echo requests: unprivileged ICMP is off "
           "(net.ipv4.ping_group_range is \"" +
           range +
           "\") and the program lacks the "
           "CAP_NET_RAW capability. An administrator can allow it for all users with\n"
           "  sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n"
           "or for this program with\n"
           "  setcap cap_net_raw+p " +
           ExecutablePath();
}

} // namespace platform
