#include "fake_echo.h"

#include <arpa/inet.h>

#include <cstring>

namespace kestrun_test {

std::uint32_t FakeEcho::inet_addr(const char* text) {
    return ::inet_addr(text);
}

std::uint32_t FakeEcho::IcmpSendEcho(probe::IcmpHandle, std::uint32_t destination, const void*,
                                     std::uint16_t, void*, void* reply, std::uint32_t,
                                     std::uint32_t) {
    destinations.push_back(destination);
    std::uint32_t status = probe::IP_REQ_TIMED_OUT;
    if (!statuses.empty()) {
        status = statuses.front();
        statuses.erase(statuses.begin());
    }
    probe::ICMP_ECHO_REPLY answer{};
    answer.Address = destination;
    answer.Status = status;
    std::memcpy(reply, &answer, sizeof answer);
    return 1;
}

}  // namespace kestrun_test
