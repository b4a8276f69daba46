// The echo service on POSIX: an unprivileged datagram ICMP socket where the system allows one,
// else the echo helper, which alone may hold a raw socket. A handle is a descriptor either way:
// the socket, or a copy of the channel to the helper.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "echo_exchange.h"
#include "echo_helper_client.h"
#include "icmp_dll.h"

namespace probe {

namespace {

// A helper answers within its timeout; this much more is left for starting and scheduling.
constexpr int helper_grace_ms = 1000;
// How long the first use waits for a new helper to say it holds its socket.
constexpr int helper_start_wait_ms = 2000;

bool valid_descriptor(IcmpHandle handle) {
    return handle >= 0 && handle <= INT_MAX;
}

std::uint32_t fail(void* reply, std::uint32_t status) {
    ICMP_ECHO_REPLY record{};
    record.Status = status;
    std::memcpy(reply, &record, sizeof record);
    return 0;
}

// One exchange through the helper behind `fd`, waiting for its answer.
std::uint32_t exchange_through_helper(int fd, std::uint32_t destination, const void* data,
                                      std::uint16_t size, void* reply, std::uint32_t reply_size,
                                      std::uint32_t timeout_ms) {
    if (size > echo_helper::largest_data) return fail(reply, IP_GENERAL_FAILURE);
    // Where no route leads, the helper's send would fail the same way at once.
    if (const std::uint32_t unreachable = route_status(destination))
        return fail(reply, unreachable);
    const echo_helper::Request request = echo_helper::make_request(
        EchoHelper::instance().next_id(), destination, data, size, timeout_ms);
    std::uint8_t message[echo_helper::largest_request];
    const std::size_t length = echo_helper::encode_request(request, message);
    if (::send(fd, message, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
        return fail(reply, IP_GENERAL_FAILURE);

    const std::int64_t deadline = monotonic_ms() + request.timeout_ms + helper_grace_ms;
    for (;;) {
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) return fail(reply, IP_REQ_TIMED_OUT);
        pollfd watch{fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return fail(reply, IP_GENERAL_FAILURE);
        if (ready <= 0) continue;
        echo_helper::Answer answer;
        bool gone = false;
        if (!receive_answer(fd, answer, gone)) {
            if (gone) return fail(reply, IP_GENERAL_FAILURE);
            continue;
        }
        if (answer.id != request.id) continue;  // a late answer to an earlier request
        return echo_helper::take_outcome(answer, reply, reply_size);
    }
}

class PosixEchoService final : public EchoService {
  public:
    std::uint32_t inet_addr(const char* text) override { return ::inet_addr(text); }

    IcmpHandle IcmpCreateFile() override {
        const int fd = open_icmp_socket(SOCK_DGRAM);
        if (fd >= 0) return fd;
        EchoHelper& helper = EchoHelper::instance();
        if (helper.start() < 0 || !helper.wait_until_ready(helper_start_wait_ms))
            return INVALID_HANDLE_VALUE;
        const int copy = ::fcntl(helper.channel(), F_DUPFD_CLOEXEC, 3);
        return copy < 0 ? INVALID_HANDLE_VALUE : copy;
    }

    std::uint32_t IcmpSendEcho(IcmpHandle handle, std::uint32_t destination, const void* data,
                               std::uint16_t size, void* /*options: defaults only*/, void* reply,
                               std::uint32_t reply_size, std::uint32_t timeout_ms) override {
        if (reply == nullptr || reply_size < sizeof(ICMP_ECHO_REPLY)) return 0;
        int type = 0;
        socklen_t length = sizeof type;
        const int fd = valid_descriptor(handle) ? static_cast<int>(handle) : -1;
        if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
            return fail(reply, IP_GENERAL_FAILURE);
        switch (type) {
            case SOCK_DGRAM:
            case SOCK_RAW:
                return exchange_on_socket(fd, type == SOCK_RAW, destination, data, size, reply,
                                          reply_size, timeout_ms);
            case SOCK_SEQPACKET:
                return exchange_through_helper(fd, destination, data, size, reply, reply_size,
                                               timeout_ms);
            default:
                return fail(reply, IP_GENERAL_FAILURE);
        }
    }

    bool IcmpCloseHandle(IcmpHandle handle) override {
        return valid_descriptor(handle) && ::close(static_cast<int>(handle)) == 0;
    }
};

}  // namespace

EchoService& system_echo_service() {
    static PosixEchoService service;
    return service;
}

}  // namespace probe
