#pragma once
// The ICMP echo service the probe is built on. On Windows these are Icmp.dll's and
// WSock32's functions; elsewhere a backend gives the same contract over ICMP sockets.
// Tests substitute their own EchoService.

#include <cstdint>

namespace probe {

using IcmpHandle = std::intptr_t;
inline constexpr IcmpHandle INVALID_HANDLE_VALUE = -1;
inline constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFFu;
inline constexpr std::uint32_t IP_SUCCESS = 0;
inline constexpr std::uint32_t IP_REQ_TIMED_OUT = 11010;
inline constexpr std::uint32_t IP_DEST_NET_UNREACHABLE = 11002;
inline constexpr std::uint32_t IP_DEST_HOST_UNREACHABLE = 11003;
inline constexpr std::uint32_t IP_TTL_EXPIRED_TRANSIT = 11013;
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
EchoService& system_echo_service();

}  // namespace probe
