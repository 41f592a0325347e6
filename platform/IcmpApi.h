#pragma once
// The contract of the ICMP module that every echo worker loads by name
// ("icmp.dll"): three entry points with C linkage and the records they
// exchange, and a fourth that a worker may do without. The worker depends on
// nothing else of the module.

#include <cstdint>

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
