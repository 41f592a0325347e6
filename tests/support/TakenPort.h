#pragma once
// A loopback port another program holds: a listening socket of the test's
// own on a port the system picked, closed with the object.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class TTakenPort {
public:
    TTakenPort() {
        FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (FSocket < 0 || bind(FSocket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(FSocket, 1) != 0 ||
            getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        FEndpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~TTakenPort() {
        if (FSocket >= 0)
            close(FSocket);
    }
    TTakenPort(const TTakenPort&) = delete;
    TTakenPort& operator=(const TTakenPort&) = delete;

    // "127.0.0.1:PORT"; empty when no port could be taken.
    const std::string& Endpoint() const { return FEndpoint; }

private:
    int FSocket = -1;
    std::string FEndpoint;
};
