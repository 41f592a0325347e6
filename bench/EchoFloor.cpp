// bench_floor: the cheapest echo loop the kernel allows: one ICMP socket,
// one thread, send a request and read its reply, again and again. What it
// costs per echo is the floor any prober on this machine stands on.
//
//   bench_floor [-n echoes] [-k dgram|raw] [-r hosts] [-s size]
//
// The destinations cycle through 127.1.x.y like the benchmark's devices.
// Prints key=value lines.

#include "platform/icmp/IcmpPacket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

uint32_t DeviceAddress(int index) {
    // 127.1.0.1, 127.1.0.2, ... 250 to a block, as scripts/bench numbers them.
    const uint32_t host = (127u << 24) | (1u << 16) | (static_cast<uint32_t>(index / 250) << 8) |
                          static_cast<uint32_t>(index % 250 + 1);
    return htonl(host);
}

double ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

} // namespace

int main(int argc, char** argv) {
    long echoes = 100000;
    int hosts = 1000;
    size_t size = 56;
    std::string kind = "dgram";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "-n")
            echoes = std::atol(argv[i + 1]);
        else if (arg == "-k")
            kind = argv[i + 1];
        else if (arg == "-r")
            hosts = std::max(1, std::atoi(argv[i + 1]));
        else if (arg == "-s")
            size = static_cast<size_t>(std::atoi(argv[i + 1]));
    }
    const bool raw = kind == "raw";
    const int fd = socket(AF_INET, (raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        std::printf("failed=cannot open a %s ICMP socket: %s\n", kind.c_str(),
                    std::strerror(errno));
        return 1;
    }
    const uint16_t identifier = static_cast<uint16_t>(getpid());
    std::vector<uint8_t> data(size, 0xAA);
    std::vector<uint8_t> packet(icmp::HeaderSize + size);
    std::vector<uint8_t> receive(65536);

    long answered = 0;
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuNs();
    for (long n = 0; n < echoes; ++n) {
        const uint16_t sequence = static_cast<uint16_t>(n);
        const uint32_t to = DeviceAddress(static_cast<int>(n % hosts));
        icmp::BuildEchoRequest(packet.data(), identifier, sequence, data.data(), size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = to;
        if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&address),
                   sizeof(address)) < 0) {
            std::printf("failed=send: %s\n", std::strerror(errno));
            return 1;
        }
        // Loopback answers at once; a raw socket also sees the request itself.
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            const ssize_t got = recvfrom(fd, receive.data(), receive.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                std::printf("failed=receive: %s\n", std::strerror(errno));
                return 1;
            }
            const icmp::Packet p =
                raw ? icmp::ParseRaw(receive.data(), static_cast<size_t>(got))
                    : icmp::ParseDatagram(receive.data(), static_cast<size_t>(got),
                                          from.sin_addr.s_addr);
            if (p.What == icmp::Packet::EchoReply && p.Sequence == sequence &&
                (!raw || p.Identifier == identifier)) {
                ++answered;
                break;
            }
        }
    }
    const double cpu = ProcessCpuNs() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    close(fd);
    std::printf("kind=%s\n", kind.c_str());
    std::printf("echoes=%ld\n", answered);
    std::printf("wall_s=%.3f\n", wall);
    std::printf("cpu_us_per_echo=%.3f\n", cpu / 1e3 / static_cast<double>(answered));
    return 0;
}
