#pragma once
// A name server of the test's own for a child already inside a private
// network namespace: the child's /etc/resolv.conf is replaced (in a mount
// namespace of its own) by one that names only 127.0.0.1, and a UDP responder
// there answers an A query for a known name only once the test releases it,
// and never for the others. No real name server is ever asked.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Points this process's resolver at 127.0.0.1 only, for good: waits of up to
// 30 s, one try. Returns why it could not, or empty.
inline std::string UseLoopbackNameServer() {
    if (unshare(CLONE_NEWNS) != 0)
        return "no private mount namespace: " + std::string(std::strerror(errno));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "mount --make-rprivate /: " + std::string(std::strerror(errno));
    char path[] = "/tmp/sentrel-resolv-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "mkstemp: " + std::string(std::strerror(errno));
    close(fd);
    std::ofstream(path) << "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
    const bool bound = mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    const std::string error = std::strerror(errno);
    unlink(path); // the mount keeps the file alive
    return bound ? std::string() : "bind mount over /etc/resolv.conf: " + error;
}

class SlowNameServer {
public:
    // Names answered once released, with their addresses (dotted quads).
    explicit SlowNameServer(std::map<std::string, std::string> Names) : FNames(std::move(Names)) {
        FSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (FSocket < 0 ||
            bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            FError = "cannot bind 127.0.0.1:53: " + std::string(std::strerror(errno));
        else
            FThread = std::thread([this] { Serve(); });
    }
    ~SlowNameServer() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (FSocket >= 0)
            close(FSocket);
    }
    const std::string& Error() const { return FError; }

    // Answers the queries for Name held so far, and those to come.
    void Release(const std::string& Name) {
        std::lock_guard<std::mutex> lock(FLock);
        FReleased.insert(Name);
        for (auto it = FHeld.begin(); it != FHeld.end();) {
            if (it->Name == Name) {
                Answer(*it);
                it = FHeld.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Names asked about so far.
    std::set<std::string> Asked() {
        std::lock_guard<std::mutex> lock(FLock);
        return FAsked;
    }
    // Waits up to 20 s until Count names have been asked about.
    bool WaitUntilAsked(size_t Count) {
        std::unique_lock<std::mutex> lock(FLock);
        return FAskedMore.wait_for(lock, std::chrono::seconds(20),
                                   [&] { return FAsked.size() >= Count; });
    }
    // Names answered so far; a lookup of both families asks twice per name.
    int Answered() {
        std::lock_guard<std::mutex> lock(FLock);
        return static_cast<int>(FAnswered.size());
    }

private:
    struct Query {
        std::string Name;
        std::string Packet;
        sockaddr_in From{};
    };

    void Serve() {
        while (!FStop) {
            pollfd p{FSocket, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buffer[512];
            Query query;
            socklen_t length = sizeof query.From;
            const ssize_t n = recvfrom(FSocket, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&query.From), &length);
            if (n < 12)
                continue;
            query.Packet.assign(buffer, static_cast<size_t>(n));
            if (!ParseName(query))
                continue;
            std::lock_guard<std::mutex> lock(FLock);
            FAsked.insert(query.Name);
            FAskedMore.notify_all();
            if (FNames.count(query.Name) == 0 || FReleased.count(query.Name) != 0)
                Answer(query);
            else
                FHeld.push_back(query);
        }
    }

    // The question's name in dotted form; the packet is cut after the question.
    static bool ParseName(Query& Q) {
        size_t pos = 12;
        while (pos < Q.Packet.size() && Q.Packet[pos] != 0) {
            const size_t label = static_cast<uint8_t>(Q.Packet[pos]);
            if (label > 63 || pos + 1 + label > Q.Packet.size())
                return false;
            Q.Name += (Q.Name.empty() ? "" : ".") + Q.Packet.substr(pos + 1, label);
            pos += 1 + label;
        }
        if (pos + 5 > Q.Packet.size())
            return false;
        Q.Packet.resize(pos + 5); // the name's end, type and class
        return true;
    }

    // An A record for a known name asked for its A record; else an empty
    // answer, "no such name" for an unknown one.
    void Answer(const Query& Q) {
        std::string reply = Q.Packet;
        const size_t type = reply.size() - 4;
        const bool isA = reply[type] == 0 && reply[type + 1] == 1;
        const auto known = FNames.find(Q.Name);
        const bool withAddress = known != FNames.end() && isA;
        reply[2] = static_cast<char>(0x81); // a response, recursion wanted
        reply[3] = static_cast<char>(known == FNames.end() ? 0x83 : 0x80);
        reply[6] = 0;
        reply[7] = withAddress ? 1 : 0;
        reply[8] = reply[9] = reply[10] = reply[11] = 0;
        if (withAddress) {
            in_addr address{};
            inet_pton(AF_INET, known->second.c_str(), &address);
            const char record[] = {'\xC0', 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
            reply.append(record, sizeof record);
            reply.append(reinterpret_cast<const char*>(&address), 4);
        }
        sendto(FSocket, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&Q.From),
               sizeof Q.From);
        FAnswered.insert(Q.Name);
    }

    std::mutex FLock;
    std::condition_variable FAskedMore;
    std::map<std::string, std::string> FNames;
    std::set<std::string> FReleased;
    std::set<std::string> FAsked;
    std::vector<Query> FHeld;
    std::set<std::string> FAnswered;
    int FSocket = -1;
    std::string FError;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};
