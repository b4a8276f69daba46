#include "ping_funcs.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace probe {

namespace {

// The record's Status field, read and written byte-wise: the buffer is only a byte array
// to us and need not be aligned for the platform's record.
constexpr std::size_t status_offset = offsetof(ICMP_ECHO_REPLY, Status);
static_assert(status_offset == 4);

std::uint32_t read_status(const void* reply) {
    std::uint32_t status = 0;
    std::memcpy(&status, static_cast<const unsigned char*>(reply) + status_offset, sizeof status);
    return status;
}

void write_status(void* reply, std::uint32_t status) {
    std::memcpy(static_cast<unsigned char*>(reply) + status_offset, &status, sizeof status);
}

}  // namespace

void ProbeEcho(EchoService& service, const char* address, const char* data, void* reply,
               std::int32_t timeout_ms) {
    const std::uint32_t destination = service.inet_addr(address);
    if (destination == INADDR_NONE) {
        throw std::runtime_error(invalid_address_message);
    }

    const IcmpHandle handle = service.IcmpCreateFile();
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error(create_failed_message);
    }

    // The caller's buffer may still hold an earlier attempt's record: a send that stores
    // nothing must not leave that status behind as this attempt's answer.
    write_status(reply, IP_REQ_TIMED_OUT);
    std::uint32_t replies = 0;
    try {
        replies = service.IcmpSendEcho(
            handle, destination, data, static_cast<std::uint16_t>(std::strlen(data)), nullptr,
            reply, reply_buffer_size, static_cast<std::uint32_t>(timeout_ms));
    } catch (...) {
        service.IcmpCloseHandle(handle);
        throw;
    }
    service.IcmpCloseHandle(handle);

    write_status(reply, attempt_status(reply, replies));
}

std::uint32_t attempt_status(const void* reply, std::uint32_t replies) {
    const std::uint32_t status = read_status(reply);
    return replies == 0 && status == IP_SUCCESS ? IP_GENERAL_FAILURE : status;
}

bool is_network_up(EchoService& service) {
    alignas(std::max_align_t) unsigned char reply[reply_buffer_size] = {};
    ProbeEcho(service, first_probe_address, probe_data, reply, probe_timeout_ms);
    if (read_status(reply) != IP_SUCCESS) {
        ProbeEcho(service, second_probe_address, probe_data, reply, probe_timeout_ms);
    }
    return read_status(reply) == IP_SUCCESS;
}

}  // namespace probe
