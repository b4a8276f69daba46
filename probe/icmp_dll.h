#pragma once
// The ICMP echo service the probe is built on. On Windows these are Icmp.dll's and
// WSock32's functions; elsewhere a backend gives the same contract over ICMP sockets.
// Tests substitute their own EchoService.

#include <cstddef>
#include <cstdint>

namespace probe {

using IcmpHandle = std::intptr_t;

// <windows.h> and <netinet/in.h> define these two names as macros (with the same values):
// hide them while declaring ours, so that this header may follow those. Where the macros
// are in force, use the names unqualified.
#pragma push_macro("INVALID_HANDLE_VALUE")
#pragma push_macro("INADDR_NONE")
#undef INVALID_HANDLE_VALUE
#undef INADDR_NONE
inline constexpr IcmpHandle INVALID_HANDLE_VALUE = -1;
inline constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFFu;
#pragma pop_macro("INADDR_NONE")
#pragma pop_macro("INVALID_HANDLE_VALUE")

inline constexpr std::uint32_t IP_SUCCESS = 0;
inline constexpr std::uint32_t IP_BUF_TOO_SMALL = 11001;
inline constexpr std::uint32_t IP_DEST_NET_UNREACHABLE = 11002;
inline constexpr std::uint32_t IP_DEST_HOST_UNREACHABLE = 11003;
inline constexpr std::uint32_t IP_DEST_PROT_UNREACHABLE = 11004;
inline constexpr std::uint32_t IP_DEST_PORT_UNREACHABLE = 11005;
inline constexpr std::uint32_t IP_PACKET_TOO_BIG = 11009;
inline constexpr std::uint32_t IP_REQ_TIMED_OUT = 11010;
inline constexpr std::uint32_t IP_BAD_ROUTE = 11012;
inline constexpr std::uint32_t IP_TTL_EXPIRED_TRANSIT = 11013;
inline constexpr std::uint32_t IP_TTL_EXPIRED_REASSEM = 11014;
inline constexpr std::uint32_t IP_PARAM_PROBLEM = 11015;
inline constexpr std::uint32_t IP_SOURCE_QUENCH = 11016;
inline constexpr std::uint32_t IP_GENERAL_FAILURE = 11050;

// The reply buffer the caller hands to IcmpSendEcho.
inline constexpr std::uint32_t reply_buffer_size = 284;

// The leading fields of a reply record. Only Status (bytes 4 to 7) is read by the probe.
struct ICMP_ECHO_REPLY {
    std::uint32_t Address;
    std::uint32_t Status;
    std::uint32_t RoundTripTime;
    std::uint16_t DataSize;
    std::uint16_t Reserved;
};

class EchoService {
  public:
    virtual ~EchoService() = default;
    // IPv4 address in network byte order; INADDR_NONE when the text is not one.
    virtual std::uint32_t inet_addr(const char* text) = 0;
    virtual IcmpHandle IcmpCreateFile() = 0;
    // Sends one echo request and waits up to `timeout_ms`; returns the number of replies
    // stored in `reply` (0 when none was stored).
    virtual std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination,
                                       const void* data, std::uint16_t size, void* options,
                                       void* reply, std::uint32_t reply_size,
                                       std::uint32_t timeout_ms) = 0;
    virtual bool IcmpCloseHandle(IcmpHandle handle) = 0;
};

// The platform's echo service.
//
// The POSIX one keeps the Windows contract: a reply record is written at the start of
// `reply` after every attempt (the echoed data follows it). An echo reply gives Status 0
// and returns 1; an ICMP error report that quotes our request (unreachable, time exceeded,
// ...) gives its status, the reporter's Address, and returns 1; a timeout or a send that
// the system refuses gives IP_REQ_TIMED_OUT / an unreachable status and returns 0.
EchoService& system_echo_service();

}  // namespace probe
