#pragma once
// Why this user may not send ICMP echoes, in words an administrator can act on.

#include <string>

namespace platform {

// Empty when a datagram or raw ICMP socket opens; otherwise what to change.
std::string IcmpAccessAdvice();

} // namespace platform
