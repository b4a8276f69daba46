#pragma once
// An echo service that answers each request with the next scripted Status (IP_SUCCESS or a
// failure; a timeout once the script runs out) and records where each went.

#include <cstdint>
#include <vector>

#include "icmp_dll.h"

namespace kestrun_test {

struct FakeEcho : probe::EchoService {
    std::vector<std::uint32_t> statuses;
    std::vector<std::uint32_t> destinations;
    bool fail_create = false;
    std::uint32_t inet_addr(const char* text) override;
    probe::IcmpHandle IcmpCreateFile() override {
        return fail_create ? probe::INVALID_HANDLE_VALUE : 7;
    }
    std::uint32_t IcmpSendEcho(probe::IcmpHandle, std::uint32_t destination, const void*,
                               std::uint16_t, void*, void* reply, std::uint32_t,
                               std::uint32_t) override;
    bool IcmpCloseHandle(probe::IcmpHandle) override { return true; }
};

}  // namespace kestrun_test
