// kestrun-echo-helper: the echo exchanges of kestrun's probe where unprivileged ICMP sockets are
// off. It is the one installed file with cap_net_raw. kestrun starts it with one end of a
// SOCK_SEQPACKET socket pair as its standard input; it opens its raw ICMP socket, drops every
// capability for good, and then answers echo requests with their outcome until kestrun goes (or
// stops reading).
// Any local user can start it with a socket pair of their own, so it does the probe's job and
// nothing more: a request only chooses one of the two compiled-in probe addresses; the payload
// and the timeout are the probe's; it sends no more echoes than the probe's bursts need. Its
// socket never leaves it, and it reads no environment, no arguments and no file. C library only.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "echo_exchange.h"
#include "echo_helper_protocol.h"
#include "ping_funcs.h"

namespace {

using namespace probe;
using echo_helper::Answer;
using echo_helper::EchoPace;
using echo_helper::Outcome;
using echo_helper::Refusal;
using echo_helper::Request;

constexpr int channel = 0;

// Standard input must be a socket pair's end, made by the process that started us; anything
// else (a terminal, a file, a socket of someone else's) is not served.
bool channel_is_from_parent() {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(channel, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
        return false;
    ucred peer{};
    length = sizeof peer;
    if (::getsockopt(channel, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
    return peer.pid == ::getppid();
}

// Empties the effective, permitted, inheritable and ambient sets, and forbids gaining any back.
// The process stays undumpable, so nobody can reach our socket through ptrace or /proc.
bool drop_capabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) return false;
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return false;
    __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, now) != 0) return false;
    for (const auto& set : now) {
        if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0) return false;
    }
    return true;
}

// Never waits on the peer: one that leaves its answers unread until the channel is full has no
// use for us, and we end.
bool say(const Answer& answer) {
    ssize_t sent = -1;
    do {
        sent = ::send(channel, &answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof answer);
}

// What the raw socket queued while we were idle belongs to nobody's request. Bounded: ICMP
// flooding the host must not keep us here (the exchange tells its own reply apart anyway).
void drain(int raw) {
    static std::uint8_t junk[2048];
    for (int packets = 0; packets < 64; ++packets) {
        if (::recv(raw, junk, sizeof junk, MSG_DONTWAIT) < 0) return;
    }
}

// Serves one message into `answer`, which starts empty: nothing of an earlier answer stays.
void serve(int raw, EchoPace& pace, const std::uint8_t* message, std::size_t size, Answer& answer) {
    answer = Answer{};
    Request request;
    Refusal refusal = echo_helper::parse_request(message, size, request);
    answer.id = request.id;
    if (refusal == Refusal::none && !pace.take(monotonic_ms())) refusal = Refusal::paced;
    if (refusal != Refusal::none) {
        answer.outcome = Outcome::refused;
        answer.detail = static_cast<std::uint32_t>(refusal);
        return;
    }
    drain(raw);
    answer.replies =
        exchange_on_socket(raw, true, echo_helper::destination_of(request.target), probe_data,
                           static_cast<std::uint16_t>(::strlen(probe_data)), answer.reply,
                           sizeof answer.reply, static_cast<std::uint32_t>(probe_timeout_ms));
}

}  // namespace

int main() {
    // Gone with the program that started us (the setting does not survive the exec of a file
    // with capabilities, so it is made here), and checked against a parent already gone.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (!channel_is_from_parent()) return 2;
    ::syscall(SYS_close_range, 3u, ~0u, 0u);
    ::signal(SIGPIPE, SIG_IGN);

    const int raw = open_icmp_socket(SOCK_RAW);
    const int open_error = raw < 0 ? errno : 0;
    if (!drop_capabilities()) return 3;

    Answer greeting;
    greeting.outcome = raw < 0 ? Outcome::no_socket : Outcome::ready;
    greeting.detail = static_cast<std::uint32_t>(open_error);
    if (!say(greeting) || raw < 0) return 0;

    // One byte more than a request, so that a longer message shows as too long.
    static std::uint8_t message[echo_helper::request_size + 1];
    static Answer answer;
    static EchoPace pace;
    for (;;) {
        const ssize_t received = ::recv(channel, message, sizeof message, 0);
        if (received == 0) return 0;  // the program has gone
        if (received < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        serve(raw, pace, message, static_cast<std::size_t>(received), answer);
        if (!say(answer)) return 0;
    }
}
