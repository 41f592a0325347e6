#pragma once
// Serves the metrics over HTTP on a thread of its own: GET (and HEAD)
// /metrics only, every request bounded in size and time, so that a slow or
// endless client holds neither the server nor the scanner.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Where to listen: a numeric IPv4 address and a port.
struct TMetricsEndpoint {
    std::string Address = "127.0.0.1";
    uint16_t Port = 0;
    bool operator==(const TMetricsEndpoint&) const = default;
};

// "ADDRESS:PORT", or "PORT" alone for the loopback address. Empty with a
// plain sentence in Error when Text is not one, such as
// "\"10.0.0.1:99999\" is not an address and port: the port must be 1 to 65535".
std::optional<TMetricsEndpoint> ParseMetricsEndpoint(std::string_view Text, std::string& Error);
// "127.0.0.1:9437".
std::string FormatMetricsEndpoint(const TMetricsEndpoint& Endpoint);

// The server could not start, in a sentence for the user naming the address:
// "Cannot serve metrics on 127.0.0.1:9437: Address already in use".
class EMetricsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TMetricsServer {
public:
    // Appends the body of a scrape; called on the server's thread.
    using TRender = std::function<void(std::string& Body)>;
    explicit TMetricsServer(TRender Render);
    ~TMetricsServer(); // stops
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Listens on Endpoint (port 0: one the system picks); throws
    // EMetricsError. A running server is stopped first.
    void Start(const TMetricsEndpoint& Endpoint);
    // Closes every connection and ends the thread; waits at most for a
    // render in progress.
    void Stop();
    bool Running() const;
    // The endpoint listened on, with the port the system picked; empty when stopped.
    std::optional<TMetricsEndpoint> Endpoint() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
