// The echo service on Windows: the system's own ICMP helper functions (iphlpapi, formerly
// Icmp.dll) and the socket library's address parser. inet_addr needs no WSAStartup.
#include "icmp_dll.h"

#include <cstdint>

namespace probe {
namespace {
// Taken before the system headers below redefine these names as macros.
constexpr IcmpHandle invalid_icmp_handle = INVALID_HANDLE_VALUE;
constexpr std::uint32_t reply_record_offset_of_status = offsetof(ICMP_ECHO_REPLY, Status);
}  // namespace
}  // namespace probe

// winsock2.h has to come before windows.h, and icmpapi.h after iphlpapi.h.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

namespace probe {

namespace {

// The probe reads Status where the system's record keeps it, on 32- and 64-bit builds
// alike. The 64-bit record is 40 bytes; one reply with our 7 bytes of data (plus the 8 that
// the system reserves for an ICMP error) still fits the 284-byte buffer.
static_assert(offsetof(::ICMP_ECHO_REPLY, Status) == reply_record_offset_of_status);
static_assert(sizeof(::ICMP_ECHO_REPLY) + 7 + 8 <= reply_buffer_size);

class WindowsEchoService final : public EchoService {
  public:
    std::uint32_t inet_addr(const char* text) override {
        return static_cast<std::uint32_t>(::inet_addr(text));
    }

    IcmpHandle IcmpCreateFile() override {
        const HANDLE handle = ::IcmpCreateFile();
        if (handle == INVALID_HANDLE_VALUE) return invalid_icmp_handle;
        return reinterpret_cast<IcmpHandle>(handle);
    }

    std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                               std::uint16_t size, void* options, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        // The system's declaration takes the request data as a non-const pointer; it only
        // reads it.
        return ::IcmpSendEcho(reinterpret_cast<HANDLE>(handle), static_cast<IPAddr>(destination),
                              const_cast<void*>(data), size,
                              static_cast<PIP_OPTION_INFORMATION>(options), reply, reply_size,
                              timeout_ms);
    }

    bool IcmpCloseHandle(IcmpHandle handle) override {
        return ::IcmpCloseHandle(reinterpret_cast<HANDLE>(handle)) != FALSE;
    }
};

}  // namespace

EchoService& system_echo_service() {
    static WindowsEchoService service;
    return service;
}

}  // namespace probe
