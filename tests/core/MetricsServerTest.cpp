// The metrics server over loopback with a plain socket client: what it answers
// to scrapes and to everything else, and that slow, hung or too many clients
// neither block a scrape nor Stop.

#include "core/metrics/MetricsServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <memory>

namespace {

// Only to keep a broken server from hanging the test; nothing is timed.
constexpr int WaitMs = 15000;

struct TReply {
    int Status = 0;                             // 0: closed before a status line
    std::map<std::string, std::string> Headers; // names in lower case
    std::string Body;
};

class TClient {
public:
    // Connects from Source (another loopback address counts as another client).
    explicit TClient(uint16_t Port, const char* Source = "127.0.0.1") {
        FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, Source, &address.sin_addr);
        EXPECT_EQ(bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        address.sin_port = htons(Port);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        FConnected = connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~TClient() { close(FFd); }
    bool Connected() const { return FConnected; }

    bool Send(std::string_view Bytes) {
        while (!Bytes.empty()) {
            const ssize_t sent = send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            Bytes.remove_prefix(static_cast<size_t>(sent));
        }
        return true;
    }

    // One reply: headers, then a body of Content-Length bytes (none for HEAD),
    // or up to the end of the connection.
    TReply Read(bool Head = false) {
        TReply reply;
        size_t end;
        while ((end = FIn.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return reply;
        const std::string head = FIn.substr(0, end);
        FIn.erase(0, end + 4);
        if (head.compare(0, 9, "HTTP/1.1 ") != 0)
            return reply;
        reply.Status = std::stoi(head.substr(9, 3));
        for (size_t at = head.find("\r\n"); at != std::string::npos;) {
            const size_t next = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, next - at - 2);
            const size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(tolower(c));
            reply.Headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            at = next;
        }
        if (Head)
            return reply;
        if (auto length = reply.Headers.find("content-length"); length != reply.Headers.end()) {
            const size_t size = std::stoul(length->second);
            while (FIn.size() < size && Fill()) {
            }
            reply.Body = FIn.substr(0, size);
            FIn.erase(0, size);
        } else {
            while (Fill()) {
            }
            reply.Body = std::move(FIn);
        }
        return reply;
    }

    // Whether the server ends the connection (EOF or reset) before WaitMs.
    bool Closed() {
        while (Fill()) {
        }
        return FEnded;
    }

private:
    bool Fill() {
        pollfd p{FFd, POLLIN, 0};
        if (poll(&p, 1, WaitMs) != 1)
            return false;
        char buffer[65536];
        const ssize_t got = recv(FFd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            FEnded = true;
            return false;
        }
        FIn.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int FFd = -1;
    bool FConnected = false;
    bool FEnded = false;
    std::string FIn;
};

std::string Request(const std::string& Method, const std::string& Path,
                    const std::string& Extra = "") {
    return Method + " " + Path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + Extra +
           "\r\n";
}

TReply Ask(uint16_t Port, const std::string& Bytes, bool Head = false,
           const char* Source = "127.0.0.1") {
    TClient client(Port, Source);
    EXPECT_TRUE(client.Send(Bytes));
    return client.Read(Head);
}

std::string Gunzip(const std::string& In) {
    z_stream zip{};
    EXPECT_EQ(inflateInit2(&zip, 15 + 16), Z_OK);
    std::string out;
    zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
    zip.avail_in = static_cast<uInt>(In.size());
    int result = Z_OK;
    while (result == Z_OK) {
        char buffer[65536];
        zip.next_out = reinterpret_cast<Bytef*>(buffer);
        zip.avail_out = sizeof buffer;
        result = inflate(&zip, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - zip.avail_out);
    }
    EXPECT_EQ(result, Z_STREAM_END);
    inflateEnd(&zip);
    return out;
}

// A body large enough to take several rounds of the compressor, and unlike
// itself so that it does not shrink to nothing.
std::string SampleBody() {
    std::string body = "# TYPE sentrel_device_up gauge\n";
    uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245 + 12345;
        body += "sentrel_device_up{host=\"10.0." + std::to_string(i % 256) + "." +
                std::to_string(x % 256) + "\"} " + std::to_string(x % 2) + "\n";
    }
    return body;
}

class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Server.Start({"127.0.0.1", 0});
        ASSERT_TRUE(Server.Endpoint());
        Port = Server.Endpoint()->Port;
        ASSERT_NE(Port, 0);
    }

    const std::string Body = SampleBody();
    std::atomic<int> Renders{0};
    TMetricsServer Server{[this](std::string& Out) {
        ++Renders;
        Out += Body;
    }};
    uint16_t Port = 0;
};

TEST_F(MetricsServerTest, ScrapePlainAndGzip) {
    TReply plain = Ask(Port, Request("GET", "/metrics?ignored=1"));
    EXPECT_EQ(plain.Status, 200);
    EXPECT_EQ(plain.Headers["content-type"], "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(plain.Headers["vary"], "Accept-Encoding");
    EXPECT_EQ(plain.Headers.count("content-encoding"), 0u);
    EXPECT_TRUE(plain.Body == Body);

    // As Prometheus asks.
    TReply packed = Ask(Port, Request("GET", "/metrics", "Accept-Encoding: gzip\r\n"));
    EXPECT_EQ(packed.Status, 200);
    EXPECT_EQ(packed.Headers["content-encoding"], "gzip");
    EXPECT_LT(packed.Body.size(), Body.size() / 2);
    EXPECT_TRUE(Gunzip(packed.Body) == Body);
    // Twice: the compressor is reused.
    EXPECT_TRUE(
        Gunzip(Ask(Port, Request("GET", "/metrics", "Accept-Encoding: br, GZIP;q=0.5\r\n")).Body) ==
        Body);

    for (const char* refused : {"identity", "gzip;q=0", "gzip; q=0.000, br", "gzipped"}) {
        TReply reply = Ask(
            Port, Request("GET", "/metrics", std::string("Accept-Encoding: ") + refused + "\r\n"));
        EXPECT_EQ(reply.Headers.count("content-encoding"), 0u) << refused;
        EXPECT_EQ(reply.Body.size(), Body.size()) << refused;
    }

    TReply head = Ask(Port, Request("HEAD", "/metrics"), true);
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.Headers["content-length"], std::to_string(Body.size()));
}

// Blocks of the compressed body are reused while their text stays the same:
// a change in the middle, one that shifts what follows, and fewer lines.
TEST(MetricsServerGzipTest, ChangingBodies) {
    std::string body = SampleBody();
    TMetricsServer server([&](std::string& Out) { Out += body; });
    server.Start({"127.0.0.1", 0});
    const uint16_t port = server.Endpoint()->Port;
    const std::string gzip = Request("GET", "/metrics", "Accept-Encoding: gzip\r\n");
    const std::string first = body;
    for (int round = 0; round < 5; ++round) {
        if (round == 1)
            body[body.size() / 2] = body[body.size() / 2] == '1' ? '0' : '1';
        if (round == 2)
            body.insert(body.size() / 3, "x 1\n");
        if (round == 3)
            body.resize(body.size() / 4);
        if (round == 4)
            body = first;
        EXPECT_TRUE(Gunzip(Ask(port, gzip).Body) == body) << round;
    }
}

TEST_F(MetricsServerTest, OtherPathsAndMethodsRefused) {
    for (const char* path :
         {"/", "/metrics/", "/metricsx", "/Metrics", "/%6detrics", "/metrics%00",
          "/metrics%00.html", "/metrics;x", "//metrics", "/metrics\x7f", "/metrics\xff"}) {
        TReply reply = Ask(Port, Request("GET", path));
        EXPECT_EQ(reply.Status, 404) << path;
    }
    // A raw NUL inside the path.
    static const char withNul[] = "GET /metrics\0x HTTP/1.1\r\nHost: a\r\n\r\n";
    TReply nul = Ask(Port, std::string(withNul, sizeof withNul - 1));
    EXPECT_NE(nul.Status, 200);

    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        TReply reply = Ask(Port, Request(method, "/metrics", "Content-Length: 5\r\n") + "hello");
        EXPECT_EQ(reply.Status, 405) << method;
        EXPECT_EQ(reply.Headers["allow"], "GET, HEAD") << method;
    }
    EXPECT_EQ(Ask(Port, Request("POST", "/other")).Status, 404);
    EXPECT_EQ(Renders, 0);
}

TEST_F(MetricsServerTest, OversizedRequestRefused) {
    TReply line = Ask(Port, Request("GET", "/metrics?" + std::string(20000, 'a')));
    EXPECT_TRUE(line.Status == 414 || line.Status == 431) << line.Status;
    TReply headers =
        Ask(Port, Request("GET", "/metrics", "X-Padding: " + std::string(20000, 'b') + "\r\n"));
    EXPECT_TRUE(headers.Status == 414 || headers.Status == 431) << headers.Status;
    EXPECT_EQ(Renders, 0);
    // An endless header block is cut off as well.
    TClient endless(Port);
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += "X-" + std::to_string(i) + ": y\r\n";
    endless.Send("GET /metrics HTTP/1.1\r\n" + many); // may fail once the server has closed
    EXPECT_TRUE(endless.Closed());
}

TEST_F(MetricsServerTest, SlowClientDoesNotBlockScrape) {
    TClient slow(Port);
    ASSERT_TRUE(slow.Send("GET /metr"));
    TClient idle(Port); // connected, silent
    EXPECT_TRUE(Ask(Port, Request("GET", "/metrics")).Body == Body);
    // The slow one still gets its answer when it finishes.
    ASSERT_TRUE(slow.Send("ics HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(slow.Read().Status, 200);
}

TEST_F(MetricsServerTest, ConnectionsBeyondTheLimitRefused) {
    // Nine client addresses with five connections each: the fifth of each
    // address is over the limit per client, and of the 36 left the last
    // four are over the limit in all. Each connection is answered (and kept
    // open) before the next is made, so the order is fixed.
    std::vector<std::unique_ptr<TClient>> held;
    int answered = 0, refused = 0;
    for (int source = 1; source <= 9; ++source) {
        const std::string from = "127.0.0." + std::to_string(source);
        for (int i = 0; i < 5; ++i) {
            auto client = std::make_unique<TClient>(Port, from.c_str());
            ASSERT_TRUE(client->Connected());
            const bool sent =
                client->Send("GET /metrics HTTP/1.1\r\nHost: a\r\nAccept-Encoding: gzip\r\n\r\n");
            const int status = sent ? client->Read().Status : 0;
            (status == 200 ? answered : refused) += 1;
            EXPECT_TRUE(status == 200 || status == 0) << status;
            held.push_back(std::move(client));
        }
    }
    EXPECT_EQ(answered, 32);
    EXPECT_EQ(refused, 13);
    // Each held connection ends with a last request; the server closes it
    // after answering.
    for (auto& client : held)
        if (client->Send(Request("GET", "/nothing")))
            client->Read();
    held.clear();
    EXPECT_TRUE(Ask(Port, Request("GET", "/metrics")).Body == Body);
}

TEST_F(MetricsServerTest, StopWithHungClients) {
    std::vector<std::unique_ptr<TClient>> hung;
    for (const char* bytes :
         {"", "GET /metrics HT", "POST /metrics HTTP/1.1\r\nContent-Length: 99\r\n"}) {
        hung.push_back(std::make_unique<TClient>(Port));
        ASSERT_TRUE(hung.back()->Send(bytes));
    }
    // One that asked for a scrape and reads none of it.
    hung.push_back(std::make_unique<TClient>(Port));
    ASSERT_TRUE(hung.back()->Send(Request("GET", "/metrics")));
    // All of them are in once this is answered (from another address: four
    // connections is all one client gets).
    EXPECT_TRUE(Ask(Port, Request("GET", "/metrics"), false, "127.0.0.2").Body == Body);

    Server.Stop();
    EXPECT_FALSE(Server.Running());
    EXPECT_FALSE(Server.Endpoint());
    for (size_t i = 0; i + 1 < hung.size(); ++i)
        EXPECT_TRUE(hung[i]->Closed()) << i;
    EXPECT_FALSE(TClient(Port).Connected());

    // And it starts again.
    Server.Start({"127.0.0.1", 0});
    EXPECT_TRUE(Server.Running());
    EXPECT_TRUE(Ask(Server.Endpoint()->Port, Request("GET", "/metrics")).Body == Body);
}

TEST_F(MetricsServerTest, StartErrorsNameTheAddress) {
    TMetricsServer second([](std::string&) {});
    const std::string where = "127.0.0.1:" + std::to_string(Port);
    try {
        second.Start({"127.0.0.1", Port});
        ADD_FAILURE() << "started on a port in use";
    } catch (const EMetricsError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot serve metrics on " + where + ": Address already in use");
    }
    EXPECT_FALSE(second.Running());
    // An address of no interface here (binding sends nothing).
    try {
        second.Start({"192.0.2.7", 9437});
        ADD_FAILURE() << "started on an address not on this machine";
    } catch (const EMetricsError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot serve metrics on 192.0.2.7:9437: Cannot assign requested address");
    }
    EXPECT_FALSE(second.Running());
}

TEST(MetricsEndpointTest, Parse) {
    struct TCase {
        std::string Text;
        std::optional<TMetricsEndpoint> Endpoint;
        std::string Error;
    };
    const std::string bad = " is not an address and port: ";
    const std::string noPort = "the port must be 1 to 65535";
    const std::string noV6 = "IPv6 addresses are not supported yet";
    const TCase cases[] = {
        {"9437", TMetricsEndpoint{"127.0.0.1", 9437}, ""},
        {"1", TMetricsEndpoint{"127.0.0.1", 1}, ""},
        {"0.0.0.0:9437", TMetricsEndpoint{"0.0.0.0", 9437}, ""},
        {"10.1.2.3:65535", TMetricsEndpoint{"10.1.2.3", 65535}, ""},
        {"localhost:9437", TMetricsEndpoint{"127.0.0.1", 9437}, ""},
        {"", std::nullopt,
         "\"\"" + bad + "give a port such as 9437, or an address and port such as 127.0.0.1:9437"},
        {"0", std::nullopt, "\"0\"" + bad + noPort},
        {"65536", std::nullopt, "\"65536\"" + bad + noPort},
        {"10.0.0.1:99999", std::nullopt, "\"10.0.0.1:99999\"" + bad + noPort},
        {"10.0.0.1:", std::nullopt, "\"10.0.0.1:\"" + bad + noPort},
        {"10.0.0.1:-1", std::nullopt, "\"10.0.0.1:-1\"" + bad + noPort},
        {"10.0.0.1:94 37", std::nullopt, "\"10.0.0.1:94 37\"" + bad + noPort},
        {"10.0.0.1:9437x", std::nullopt, "\"10.0.0.1:9437x\"" + bad + noPort},
        {"10.0.0.1", std::nullopt,
         "\"10.0.0.1\"" + bad + "the port is missing, as in 10.0.0.1:9437"},
        {"256.0.0.1:80", std::nullopt,
         "\"256.0.0.1:80\"" + bad + "\"256.0.0.1\" is not an IPv4 address such as 127.0.0.1"},
        {"10.0.1:80", std::nullopt,
         "\"10.0.1:80\"" + bad + "\"10.0.1\" is not an IPv4 address such as 127.0.0.1"},
        {"host.example:80", std::nullopt,
         "\"host.example:80\"" + bad + "\"host.example\" is not an IPv4 address such as 127.0.0.1"},
        {":80", std::nullopt, "\":80\"" + bad + "\"\" is not an IPv4 address such as 127.0.0.1"},
        {"[::1]:9437", std::nullopt, "\"[::1]:9437\"" + bad + noV6},
        {"::1", std::nullopt, "\"::1\"" + bad + noV6},
        {"metrics", std::nullopt,
         "\"metrics\"" + bad +
             "give a port such as 9437, or an address and port such as 127.0.0.1:9437"},
        {std::string("1\n2\"\x1b\\", 6), std::nullopt,
         "\"1\\x0A2\\\"\\x1B\\\\\"" + bad +
             "give a port such as 9437, or an address and port such as 127.0.0.1:9437"},
    };
    for (const TCase& c : cases) {
        std::string error;
        EXPECT_EQ(ParseMetricsEndpoint(c.Text, error), c.Endpoint) << c.Text;
        EXPECT_EQ(error, c.Error) << c.Text;
    }
    EXPECT_EQ(FormatMetricsEndpoint({"10.1.2.3", 65535}), "10.1.2.3:65535");
}

} // namespace
