#include "core/metrics/MetricsServer.h"

// libmicrohttpd with one internal thread polling every connection through
// epoll: a slow client costs a socket, never a thread. Each connection gets a
// small memory pool, so an oversized request line or header block is refused
// by the library itself (414/431) before it reaches us, and a request body is
// never read: every answer is queued as soon as the headers are in.

#include "framework/Text.h"

#include <arpa/inet.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

constexpr unsigned ConnectionLimit = 32;
constexpr unsigned ConnectionsPerClient = 4;
constexpr unsigned ConnectionTimeoutS = 10;
// Request line and headers must fit in this; Prometheus sends some 300 bytes.
constexpr size_t ConnectionMemory = size_t{16} * 1024;
constexpr int ListenBacklog = 64;
// igzip's level 1 packs the text format some ten to one at three times the
// speed of zlib's fastest level, and compressing is most of a scrape's cost.
constexpr int GzipLevel = 1;
// Lines compressed together; a block of some 25 KiB of a device's series.
constexpr int LinesPerBlock = 256;
// Bodies kept for reuse between scrapes; more only while several are in flight.
constexpr size_t KeptBuffers = 2;

constexpr char ContentType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char NotFoundText[] = "Not found: the metrics are served at /metrics\n";
constexpr char NotAllowedText[] = "Method not allowed: /metrics answers GET and HEAD\n";
constexpr char FailedText[] = "The metrics could not be rendered\n";

// Text from the user inside quotes, bytes that could garble a message shown
// as \xNN, and long text cut short.
std::string Quoted(std::string_view Text) {
    constexpr size_t Longest = 64;
    std::string out = "\"";
    for (size_t i = 0; i < Text.size() && i < Longest; ++i) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c < 0x20 || c >= 0x7f) {
            static constexpr char Hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            if (c == '"' || c == '\\')
                out += '\\';
            out += static_cast<char>(c);
        }
    }
    if (Text.size() > Longest)
        out += "...";
    return out + "\"";
}

bool AllDigits(std::string_view Text) {
    return !Text.empty() &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// 1 to 65535, decimal digits only.
std::optional<uint16_t> ParsePort(std::string_view Text) {
    if (!AllDigits(Text) || Text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (char c : Text)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

// A dotted quad in its strict form (four decimal numbers 0 to 255), or
// "localhost"; the address in its usual spelling.
std::optional<std::string> ParseAddress(std::string_view Text) {
    if (Text == "localhost")
        return "127.0.0.1";
    in_addr address{};
    if (Text.size() > 15 || inet_pton(AF_INET, std::string(Text).c_str(), &address) != 1)
        return std::nullopt;
    char spelled[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, spelled, sizeof spelled);
    return std::string(spelled);
}

// Name in lower case.
bool SameToken(std::string_view Text, std::string_view Name) {
    if (Text.size() != Name.size())
        return false;
    for (size_t i = 0; i < Name.size(); ++i)
        if ((Text[i] | 0x20) != Name[i])
            return false;
    return true;
}

// Whether the parameters of a coding say "q=0" ("q=0.", "q=0.000").
bool ZeroQuality(std::string_view Params) {
    Params = text::Trim(Params);
    if (Params.size() < 2 || (Params[0] | 0x20) != 'q' || Params[1] != '=')
        return false;
    const std::string_view q = text::Trim(Params.substr(2));
    if (q.empty() || q[0] != '0')
        return false;
    if (q.size() == 1)
        return true;
    return q[1] == '.' && q.find_first_not_of('0', 2) == std::string_view::npos;
}

// Whether Accept-Encoding admits gzip: a "gzip" (or "x-gzip", or "*") coding
// whose quality is not zero.
bool AcceptsGzip(const char* Header) {
    if (Header == nullptr)
        return false;
    std::string_view rest(Header);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const size_t semicolon = item.find(';');
        const std::string_view coding = text::Trim(item.substr(0, semicolon));
        if (!SameToken(coding, "gzip") && !SameToken(coding, "x-gzip") && coding != "*")
            continue;
        if (semicolon == std::string_view::npos || !ZeroQuality(item.substr(semicolon + 1)))
            return true;
    }
    return false;
}

} // namespace

std::optional<TMetricsEndpoint> ParseMetricsEndpoint(std::string_view Text, std::string& Error) {
    const std::string prefix = Quoted(Text) + " is not an address and port: ";
    if (Text.empty()) {
        Error = prefix + "give a port such as 9437, or an address and port such as 127.0.0.1:9437";
        return std::nullopt;
    }
    if (Text.front() == '[' || Text.find(':') != Text.rfind(':')) {
        Error = prefix + "IPv6 addresses are not supported yet";
        return std::nullopt;
    }
    const size_t colon = Text.find(':');
    if (colon == std::string_view::npos) {
        if (AllDigits(Text)) {
            if (auto port = ParsePort(Text))
                return TMetricsEndpoint{"127.0.0.1", *port};
            Error = prefix + "the port must be 1 to 65535";
        } else if (ParseAddress(Text)) {
            Error = prefix + "the port is missing, as in " + std::string(Text) + ":9437";
        } else {
            Error =
                prefix + "give a port such as 9437, or an address and port such as 127.0.0.1:9437";
        }
        return std::nullopt;
    }
    const auto address = ParseAddress(Text.substr(0, colon));
    if (!address) {
        Error =
            prefix + Quoted(Text.substr(0, colon)) + " is not an IPv4 address such as 127.0.0.1";
        return std::nullopt;
    }
    const auto port = ParsePort(Text.substr(colon + 1));
    if (!port) {
        Error = prefix + "the port must be 1 to 65535";
        return std::nullopt;
    }
    return TMetricsEndpoint{*address, *port};
}

std::string FormatMetricsEndpoint(const TMetricsEndpoint& Endpoint) {
    return Endpoint.Address + ":" + std::to_string(Endpoint.Port);
}

struct TMetricsServer::TImpl {
    // A body handed to the library, back in the pool when the response is freed.
    struct TBuffer {
        TImpl* Owner = nullptr;
        std::string Data;
    };

    TRender Render;
    MHD_Daemon* Daemon = nullptr;
    std::optional<TMetricsEndpoint> Listening;
    MHD_Response* NotFound = nullptr;
    MHD_Response* NotAllowed = nullptr;
    MHD_Response* Failed = nullptr;

    // Only the server's thread compresses; the stream keeps its tables.
    isal_zstream Zip{};
    std::vector<uint8_t> ZipLevelBuffer = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
    uint8_t Chunk[64 * 1024];

    // Connections open now.
    std::atomic<unsigned> Open{0};

    std::mutex PoolLock;
    std::vector<std::unique_ptr<TBuffer>> Pool;

    explicit TImpl(TRender R) : Render(std::move(R)) {
        NotFound = TextResponse(NotFoundText);
        NotAllowed = TextResponse(NotAllowedText);
        MHD_add_response_header(NotAllowed, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        Failed = TextResponse(FailedText);
    }
    ~TImpl() {
        MHD_destroy_response(NotFound);
        MHD_destroy_response(NotAllowed);
        MHD_destroy_response(Failed);
    }

    static MHD_Response* TextResponse(const char* Text) {
        MHD_Response* response = MHD_create_response_from_buffer(
            strlen(Text), const_cast<char*>(Text), MHD_RESPMEM_PERSISTENT);
        if (response == nullptr)
            throw std::bad_alloc();
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                "text/plain; charset=utf-8");
        return response;
    }

    std::unique_ptr<TBuffer> TakeBuffer() {
        std::lock_guard lock(PoolLock);
        if (Pool.empty()) {
            auto buffer = std::make_unique<TBuffer>();
            buffer->Owner = this;
            return buffer;
        }
        auto buffer = std::move(Pool.back());
        Pool.pop_back();
        return buffer;
    }
    void GiveBack(std::unique_ptr<TBuffer> Buffer) {
        std::lock_guard lock(PoolLock);
        if (Pool.size() < KeptBuffers)
            Pool.push_back(std::move(Buffer));
    }
    static void Freed(void* Cls) {
        std::unique_ptr<TBuffer> buffer(static_cast<TBuffer*>(Cls));
        TImpl* owner = buffer->Owner;
        owner->GiveBack(std::move(buffer));
    }

    // The gzip member is made of blocks of lines, each compressed on its own
    // (no back-references across blocks, byte-aligned ends), so a block
    // whose text is the same as at the scrape before is reused as it was
    // packed: of a device's series most change seldom (state, result,
    // changes), and compressing is most of a scrape's cost.
    struct TPacked {
        size_t Start = 0; // in Previous
        size_t Size = 0;
        uLong Crc = 0;
        std::string Data;
    };
    std::string Previous; // the plain text of the scrape before
    std::vector<TPacked> Packed;

    // Appends the deflated Size bytes at Text to Out, ending on a byte
    // boundary with the compressor's state cleared.
    bool Deflate(const char* Text, size_t Size, std::string& Out) {
        isal_deflate_init(&Zip);
        Zip.level = GzipLevel;
        Zip.level_buf = ZipLevelBuffer.data();
        Zip.level_buf_size = static_cast<uint32_t>(ZipLevelBuffer.size());
        Zip.gzip_flag = IGZIP_DEFLATE;
        // Ends the block's output on a byte boundary, not the stream.
        Zip.flush = SYNC_FLUSH;
        Zip.end_of_stream = 0;
        Zip.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(Text));
        Zip.avail_in = static_cast<uint32_t>(Size);
        do {
            Zip.next_out = Chunk;
            Zip.avail_out = sizeof Chunk;
            if (isal_deflate(&Zip) != COMP_OK)
                return false;
            Out.append(reinterpret_cast<const char*>(Chunk), sizeof Chunk - Zip.avail_out);
        } while (Zip.avail_in > 0 || Zip.avail_out == 0);
        return true;
    }

    // In as one gzip member appended to Out; In is kept (swapped into
    // Previous) for the next scrape.
    bool Gzip(std::string& In, std::string& Out) {
        static constexpr unsigned char Header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
        Out.append(reinterpret_cast<const char*>(Header), sizeof Header);
        std::vector<TPacked> packed;
        packed.reserve(Packed.size() + 1);
        uLong crc = crc32(0, nullptr, 0);
        size_t start = 0;
        for (size_t index = 0; start < In.size(); ++index) {
            size_t end = start;
            for (int line = 0; line < LinesPerBlock && end < In.size(); ++line) {
                const size_t feed = In.find('\n', end);
                end = feed == std::string::npos ? In.size() : feed + 1;
            }
            const size_t size = end - start;
            TPacked block;
            if (index < Packed.size() && Packed[index].Size == size &&
                memcmp(Previous.data() + Packed[index].Start, In.data() + start, size) == 0) {
                block = std::move(Packed[index]);
            } else {
                if (index < Packed.size())
                    block.Data = std::move(Packed[index].Data); // its capacity
                block.Data.clear();
                if (!Deflate(In.data() + start, size, block.Data))
                    return false;
                block.Crc =
                    crc32_gzip_refl(0, reinterpret_cast<const uint8_t*>(In.data() + start), size);
            }
            block.Start = start;
            block.Size = size;
            crc = crc32_combine(crc, block.Crc, static_cast<z_off_t>(size));
            Out += block.Data;
            packed.push_back(std::move(block));
            start = end;
        }
        // An empty last block, then the checksum and length, little-endian.
        Out += '\x03';
        Out += '\x00';
        const auto length = static_cast<uint32_t>(In.size());
        for (uint32_t value : {static_cast<uint32_t>(crc), length})
            for (int shift = 0; shift < 32; shift += 8)
                Out += static_cast<char>((value >> shift) & 0xff);
        Packed = std::move(packed);
        Previous.swap(In);
        return true;
    }

    MHD_Result Scrape(MHD_Connection* Connection) {
        const bool gzip = AcceptsGzip(MHD_lookup_connection_value(Connection, MHD_HEADER_KIND,
                                                                  MHD_HTTP_HEADER_ACCEPT_ENCODING));
        std::unique_ptr<TBuffer> body;
        try {
            body = TakeBuffer();
            body->Data.clear();
            Render(body->Data);
            if (gzip) {
                auto packed = TakeBuffer();
                packed->Data.clear();
                if (!Gzip(body->Data, packed->Data)) {
                    Packed.clear(); // a half-done round leaves nothing to trust
                    return MHD_queue_response(Connection, MHD_HTTP_INTERNAL_SERVER_ERROR, Failed);
                }
                GiveBack(std::move(body));
                body = std::move(packed);
            }
        } catch (...) {
            Packed.clear();
            return MHD_queue_response(Connection, MHD_HTTP_INTERNAL_SERVER_ERROR, Failed);
        }
        MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->Data.size(), body->Data.data(), &TImpl::Freed, body.get());
        if (response == nullptr)
            return MHD_queue_response(Connection, MHD_HTTP_INTERNAL_SERVER_ERROR, Failed);
        (void)body.release(); // the response owns it now
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, ContentType);
        MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
        if (gzip)
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
        const MHD_Result queued = MHD_queue_response(Connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return queued;
    }

    // What a request gets, decided once its headers are in.
    enum class TAnswer { NotFound, NotAllowed, Scrape };
    static inline const TAnswer Answers[] = {TAnswer::NotFound, TAnswer::NotAllowed,
                                             TAnswer::Scrape};

    static TAnswer Decide(MHD_Connection* Connection, const char* Url, const char* Method,
                          const char* Version, const char* UriEnd) {
        // The request line had a raw NUL when the URI's text ended before the
        // version: what follows the NUL must not count as "/metrics" either.
        if (UriEnd == nullptr || UriEnd + 1 != Version)
            return TAnswer::NotFound;
        (void)Connection;
        if (strcmp(Url, "/metrics") != 0)
            return TAnswer::NotFound;
        if (strcmp(Method, MHD_HTTP_METHOD_GET) != 0 && strcmp(Method, MHD_HTTP_METHOD_HEAD) != 0)
            return TAnswer::NotAllowed;
        return TAnswer::Scrape;
    }

    static bool HasBody(MHD_Connection* Connection) {
        const char* length = MHD_lookup_connection_value(Connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_CONTENT_LENGTH);
        return (length != nullptr && strcmp(length, "0") != 0) ||
               MHD_lookup_connection_value(Connection, MHD_HEADER_KIND,
                                           MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
    }

    MHD_Result Queue(MHD_Connection* Connection, TAnswer Answer) {
        switch (Answer) {
        case TAnswer::NotFound:
            return MHD_queue_response(Connection, MHD_HTTP_NOT_FOUND, NotFound);
        case TAnswer::NotAllowed:
            return MHD_queue_response(Connection, MHD_HTTP_METHOD_NOT_ALLOWED, NotAllowed);
        case TAnswer::Scrape:
            break;
        }
        return Scrape(Connection);
    }

    // State holds where the URI ended (from UriSeen) on the first call, and
    // the answer decided from then on.
    static MHD_Result
    Answer(void* Cls, MHD_Connection* Connection, const char* Url, const char* Method,
           const char* Version, const char* /*UploadData*/,
           size_t* UploadSize, // NOLINT(readability-non-const-parameter): the library's type
           void** State) {
        auto* self = static_cast<TImpl*>(Cls);
        const auto* decided = static_cast<const TAnswer*>(*State);
        if (decided < std::begin(Answers) || decided >= std::end(Answers)) {
            const TAnswer answer =
                Decide(Connection, Url, Method, Version, static_cast<const char*>(*State));
            *State = const_cast<TAnswer*>(&Answers[static_cast<int>(answer)]);
            // A request with a body is answered at once, which leaves the body
            // unread and the connection to be closed; any other is answered on
            // the next call, keeping the connection for the next scrape.
            if (HasBody(Connection))
                return self->Queue(Connection, answer);
            return MHD_YES;
        }
        // A body nobody announced.
        if (*UploadSize != 0)
            return MHD_NO;
        return self->Queue(Connection, *decided);
    }

    // Past the limit a connection is accepted and closed at once, rather than
    // left waiting in the listen queue until one closes.
    static MHD_Result Admit(void* Cls, const sockaddr*, socklen_t) {
        return static_cast<TImpl*>(Cls)->Open < ConnectionLimit ? MHD_YES : MHD_NO;
    }
    static void Counted(void* Cls, MHD_Connection*, void**, MHD_ConnectionNotificationCode Code) {
        auto* self = static_cast<TImpl*>(Cls);
        if (Code == MHD_CONNECTION_NOTIFY_STARTED)
            ++self->Open;
        else if (Code == MHD_CONNECTION_NOTIFY_CLOSED)
            --self->Open;
    }

    static void* UriSeen(void*, const char* Uri, MHD_Connection*) {
        return const_cast<char*>(Uri + strlen(Uri));
    }

    // The path is compared as sent: decoding "%6D" or "%00" could make some
    // other path read as /metrics.
    static size_t KeepEscapes(void*, MHD_Connection*, char* Text) { return strlen(Text); }
};

TMetricsServer::TMetricsServer(TRender Render)
    : FImpl(std::make_unique<TImpl>(std::move(Render))) {}

TMetricsServer::~TMetricsServer() {
    Stop();
}

void TMetricsServer::Start(const TMetricsEndpoint& Endpoint) {
    Stop();
    const std::string where = FormatMetricsEndpoint(Endpoint);
    auto fail = [&](int Error) {
        throw EMetricsError("Cannot serve metrics on " + where + ": " +
                            std::generic_category().message(Error));
    };
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Endpoint.Port);
    const std::string host = Endpoint.Address == "localhost" ? "127.0.0.1" : Endpoint.Address;
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw EMetricsError("Cannot serve metrics on " + where + ": not an IPv4 address");

    // The socket is ours until the library takes it, so that a failure names
    // its cause: the address in use, not on this machine, or not permitted.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail(errno);
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, ListenBacklog) != 0) {
        const int error = errno;
        close(fd);
        fail(error);
    }

    FImpl->Open = 0;
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, &TImpl::Admit, FImpl.get(),
        &TImpl::Answer, FImpl.get(), MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        ConnectionLimit + 1, MHD_OPTION_NOTIFY_CONNECTION, &TImpl::Counted, FImpl.get(),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, ConnectionsPerClient, MHD_OPTION_CONNECTION_TIMEOUT,
        ConnectionTimeoutS, MHD_OPTION_CONNECTION_MEMORY_LIMIT, ConnectionMemory,
        MHD_OPTION_UNESCAPE_CALLBACK, &TImpl::KeepEscapes, nullptr, MHD_OPTION_URI_LOG_CALLBACK,
        &TImpl::UriSeen, nullptr, MHD_OPTION_END);
    if (daemon == nullptr) {
        const int error = errno;
        close(fd);
        fail(error != 0 ? error : EIO);
    }
    FImpl->Daemon = daemon;

    uint16_t port = Endpoint.Port;
    if (const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
        info != nullptr && info->port != 0)
        port = info->port;
    FImpl->Listening = TMetricsEndpoint{host, port};
}

void TMetricsServer::Stop() {
    if (FImpl->Daemon == nullptr)
        return;
    // Ends the thread (after a render in progress) and closes every
    // connection and the listening socket.
    MHD_stop_daemon(FImpl->Daemon);
    FImpl->Daemon = nullptr;
    FImpl->Listening.reset();
}

bool TMetricsServer::Running() const {
    return FImpl->Daemon != nullptr;
}

std::optional<TMetricsEndpoint> TMetricsServer::Endpoint() const {
    return FImpl->Listening;
}
