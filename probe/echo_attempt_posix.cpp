// The attempt on POSIX: the same exchange as the blocking echo service (a datagram ICMP socket,
// else the echo helper), with the wait handed to the event loop: a socket notifier for the
// answer, a timer for the timeout.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "echo_attempt.h"
#include "echo_exchange.h"
#include "echo_helper_client.h"
#include "ping_funcs.h"

namespace probe {

namespace {

// A helper answers within the timeout; this much more is left for starting it and scheduling.
constexpr std::uint32_t helper_grace_ms = 1000;

class SocketEchoAttempt final : public EchoAttempt {
  public:
    ~SocketEchoAttempt() override {
        notifier_.reset();  // before its descriptor goes
        if (socket_ >= 0) ::close(socket_);
    }

    void begin(const std::string& address, const std::string& data, std::uint32_t timeout_ms,
               Done done) override {
        done_ = std::move(done);
        const std::uint32_t destination = ::inet_addr(address.c_str());
        if (destination == 0xFFFFFFFFu)
            return finish_with_error(invalid_address_message);  // INADDR_NONE
        const auto size = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), 0xFFFF));

        socket_ = open_icmp_socket(SOCK_DGRAM);
        if (socket_ >= 0) {
            exchange_ =
                std::make_unique<EchoExchange>(socket_, false, destination, reply_, sizeof reply_);
            if (!exchange_->send(data.data(), size)) return finish(0);
            watch(socket_, timeout_ms, [this] { socket_ready(); });
            return;
        }
        // No datagram socket here: the echo helper makes the exchange. A helper that went
        // since the last probe is started again once. Where no route leads, a ready helper is
        // not woken: its send would fail the same way at once.
        EchoHelper& helper = EchoHelper::instance();
        if (helper.state() == EchoHelper::State::ready) {
            if (const std::uint32_t unreachable = route_status(destination))
                return finish(0, unreachable);
        }
        const echo_helper::Request request = echo_helper::make_request(
            request_id_ = helper.next_id(), destination, data.data(), size, timeout_ms);
        bool sent = false;
        for (int tries = 0; tries < 2 && !sent; ++tries)
            sent = helper.start() >= 0 && helper.send(request);
        if (!sent) return finish_with_error(create_failed_message);
        watch(helper.channel(), request.timeout_ms + helper_grace_ms, [this] { helper_ready(); });
    }

  private:
    template <typename Ready>
    void watch(int fd, std::uint32_t timeout_ms, Ready ready) {
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, ready);
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);  // a coarse one may end the wait 5% early
        QObject::connect(&timer_, &QTimer::timeout, &context_, [this] {
            if (exchange_) exchange_->time_out();
            finish(0, IP_REQ_TIMED_OUT);
        });
        timer_.start(static_cast<int>(timeout_ms));
    }

    void socket_ready() {
        pollfd state{socket_, POLLIN, 0};
        if (::poll(&state, 1, 0) <= 0) return;
        if (exchange_->take(state.revents)) finish(exchange_->replies());
    }

    void helper_ready() {
        EchoHelper& helper = EchoHelper::instance();
        echo_helper::Answer answer;
        const bool got = helper.take(answer);
        if (helper.state() == EchoHelper::State::unavailable)
            return finish_with_error(create_failed_message);
        if (helper.state() == EchoHelper::State::stopped) return finish(0, IP_GENERAL_FAILURE);
        if (!got || answer.id != request_id_) return;  // its first word, or a late answer
        finish(echo_helper::take_outcome(answer, reply_, sizeof reply_));
    }

    // The outcome the reply buffer holds after `replies` records, or `status` when given.
    void finish(std::uint32_t replies, std::uint32_t status = 0) {
        Outcome outcome;
        outcome.status = status != 0 ? status : attempt_status(reply_, replies);
        report(outcome);
    }

    void finish_with_error(const char* message) {
        Outcome outcome;
        outcome.error = message;
        report(outcome);
    }

    // Stops waiting, and reports from the event loop: never from inside begin() or a notifier's
    // own signal, so the receiver may destroy the attempt.
    void report(const Outcome& outcome) {
        timer_.stop();
        if (notifier_) notifier_->setEnabled(false);
        if (!done_) return;
        QTimer::singleShot(0, &context_, [done = std::move(done_), outcome] { done(outcome); });
        done_ = nullptr;
    }

    Done done_;
    int socket_ = -1;
    std::uint32_t request_id_ = 0;
    std::unique_ptr<EchoExchange> exchange_;
    alignas(8) unsigned char reply_[reply_buffer_size] = {};
    QObject context_;
    QTimer timer_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::unique_ptr<EchoAttempt> system_echo_attempt() {
    return std::make_unique<SocketEchoAttempt>();
}

}  // namespace probe
