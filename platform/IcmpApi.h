#pragma once
// The contract of the ICMP module that every echo worker loads by name
// ("icmp.dll"): three entry points with C linkage and the records they
// exchange, and a fourth that a worker may do without. The worker depends on
// nothing else of the module.

#include <cstdint>

struct sockaddr_in6;

extern "C" {

using IcmpHandle = void*;
#define ICMP_INVALID_HANDLE (reinterpret_cast<IcmpHandle>(~static_cast<uintptr_t>(0)))

// Options of one echo request; only Ttl is set by the worker.
struct IP_OPTION_INFORMATION {
    uint8_t Ttl;
    uint8_t Tos;
    uint8_t Flags;
    uint8_t OptionsSize;
    uint8_t* OptionsData;
};

// One reply record at the start of the reply buffer; Data points at the
// echoed bytes, which the module copies into the same buffer after the record.
struct ICMP_ECHO_REPLY {
    uint32_t Address;       // the replying address, network order
    uint32_t Status;        // IP status code (IP_SUCCESS or 11001..11018)
    uint32_t RoundTripTime; // milliseconds
    uint16_t DataSize;      // echoed data bytes
    uint16_t Reserved;
    void* Data;
    IP_OPTION_INFORMATION Options;
};

// IcmpCreateFile(): a handle, or ICMP_INVALID_HANDLE when no socket opens.
using PIcmpCreateFile = IcmpHandle (*)();
// IcmpCloseHandle(handle): non-zero on success.
using PIcmpCloseHandle = int (*)(IcmpHandle);
// IcmpSendEcho(handle, destination, data, size, options, reply buffer, reply
// size, timeout in ms): sends one echo and blocks for at most about the
// timeout. Returns the number of reply records written; when it returns 0 the
// thread's last error (errno on this system) holds an IP status code or a
// system error code.
using PIcmpSendEcho = uint32_t (*)(IcmpHandle Handle, uint32_t DestinationAddress,
                                   void* RequestData, uint16_t RequestSize,
                                   IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                                   uint32_t ReplySize, uint32_t Timeout);
// IcmpCancelEcho(handle), optional: ends the echo in progress on the handle at
// once, from any thread, and makes every later echo on it return at once; both
// return 0 with ECANCELED as the last error (an echo already answered may
// still return its reply). Safe to call more than once; afterwards the handle
// is only closed. Non-zero on success.
using PIcmpCancelEcho = int (*)(IcmpHandle);

// ---- ICMPv6, beside IPv4 rather than instead of it ----

// An IPv6 address as a reply carries it: words in network order.
struct IPV6_ADDRESS_EX {
    uint16_t sin6_port; // always 0
    uint32_t sin6_flowinfo;
    uint16_t sin6_addr[8];
    uint32_t sin6_scope_id; // the interface of a link-local address, else 0
};

// The reply record at the start of the reply buffer; the echoed bytes follow
// it in the same buffer. Unlike the IPv4 record it carries no pointer to
// them; DataSize, which this system adds, says how many came back.
struct ICMPV6_ECHO_REPLY {
    IPV6_ADDRESS_EX Address; // the replying address (the router's, for an error)
    uint32_t Status;         // IP status code, as for IPv4
    uint32_t RoundTripTime;  // milliseconds
    uint16_t DataSize;       // echoed data bytes after the record
    uint16_t Reserved;
};

// Icmp6CreateFile(): an ICMPv6 handle, or ICMP_INVALID_HANDLE. It is closed
// and cancelled with IcmpCloseHandle and IcmpCancelEcho like an IPv4 one.
using PIcmp6CreateFile = IcmpHandle (*)();
// Icmp6SendEcho2(handle, event, APC routine, APC context, source,
// destination, data, size, options, reply buffer, reply size, timeout in ms):
// as IcmpSendEcho, over IPv6. Event, ApcRoutine and ApcContext must be null:
// the call always blocks. SourceAddress may be null or unspecified (the
// system picks one); a datagram handle keeps the last source given for the
// echoes after it, and one it cannot bind fails the echo with IP_BAD_REQ.
// DestinationAddress needs its sin6_scope_id for a link-local address.
// RequestOptions->Ttl is the hop limit. Returns the number of reply records
// written (0 or 1); when 0, the thread's errno holds an IP status code (such
// as IP_BAD_DESTINATION for an unspecified or multicast destination) or a
// system error code.
using PIcmp6SendEcho2 = uint32_t (*)(IcmpHandle Handle, void* Event, void* ApcRoutine,
                                     void* ApcContext, sockaddr_in6* SourceAddress,
                                     sockaddr_in6* DestinationAddress, void* RequestData,
                                     uint16_t RequestSize, IP_OPTION_INFORMATION* RequestOptions,
                                     void* ReplyBuffer, uint32_t ReplySize, uint32_t Timeout);
}

// IP status codes, in the order the worker's result table expects them.
enum : uint32_t {
    IP_SUCCESS = 0,
    IP_STATUS_BASE = 11000,
    IP_BUF_TOO_SMALL = 11001,
    IP_DEST_NET_UNREACHABLE = 11002,
    IP_DEST_HOST_UNREACHABLE = 11003,
    IP_DEST_PROT_UNREACHABLE = 11004,
    IP_DEST_PORT_UNREACHABLE = 11005,
    IP_NO_RESOURCES = 11006,
    IP_BAD_OPTION = 11007,
    IP_HW_ERROR = 11008,
    IP_PACKET_TOO_BIG = 11009,
    IP_REQ_TIMED_OUT = 11010,
    IP_BAD_REQ = 11011,
    IP_BAD_ROUTE = 11012,
    IP_TTL_EXPIRED_TRANSIT = 11013,
    IP_TTL_EXPIRED_REASSEM = 11014,
    IP_PARAM_PROBLEM = 11015,
    IP_SOURCE_QUENCH = 11016,
    IP_OPTION_TOO_BIG = 11017,
    IP_BAD_DESTINATION = 11018,
};

// IcmpCreateFile fails with EMFILE rather than leave fewer than this many
// descriptors under the soft limit: they stay for the program itself (its
// display connection, a settings save, the error box), however many devices
// it probes. About twice what the window program holds once running.
inline constexpr int IcmpDescriptorReserve = 32;
