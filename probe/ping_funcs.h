#pragma once
// One echo exchange, and the two-address connectivity test built on it.

#include <cstdint>

#include "icmp_dll.h"

namespace probe {

inline constexpr const char* first_probe_address = "8.8.8.8";
inline constexpr const char* second_probe_address = "1.1.1.1";
inline constexpr const char* probe_data = "testing";
inline constexpr std::int32_t probe_timeout_ms = 500;

// The two errors that end a probe.
inline constexpr const char* invalid_address_message =
    "Function call inet_addr failed.  The IP address is probably invalid.";
inline constexpr const char* create_failed_message = "Function call IcmpCreateFile failed.";

// Sends one echo request to `address` and leaves the outcome in `reply`'s Status.
// Throws std::runtime_error for an address text that is not an IPv4 address, or when
// the echo service cannot be opened.
void ProbeEcho(EchoService& service, const char* address, const char* data, void* reply,
               std::int32_t timeout_ms);

// The outcome an attempt left in `reply`, after `replies` records were stored: its Status, where
// a record was stored; a failure where none was, whatever the buffer says.
std::uint32_t attempt_status(const void* reply, std::uint32_t replies);

// True when the first probe address, or failing that the second, answered.
bool is_network_up(EchoService& service);

}  // namespace probe
