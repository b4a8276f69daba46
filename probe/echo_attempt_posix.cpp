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

class SocketEchoAttempt final : public EchoAttempt {
  public:
    ~SocketEchoAttempt() override {
        notifier_.reset();  // before its descriptor goes
        retired_notifier_.reset();
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
        // No datagram socket here: the echo helper makes the exchange (the probe's own only).
        // Where no route leads, a ready helper is not woken: its send would fail the same way
        // at once.
        echo_helper::Target target{};
        if (!echo_helper::target_for(destination, data.data(), data.size(), target))
            return finish(0, IP_GENERAL_FAILURE);
        EchoHelperClient& helper = EchoHelperClient::shared();
        if (helper.ready()) {
            if (const std::uint32_t unreachable = route_status(destination))
                return finish(0, unreachable);
        }
        request_id_ = helper.ask(target);
        if (request_id_ == 0) return finish_with_error(create_failed_message);
        watch(helper.channel(), probe_timeout_ms + echo_helper::answer_grace_ms,
              [this] { helper_ready(); });
    }

  private:
    template <typename Ready>
    void watch(int fd, std::uint32_t timeout_ms, Ready ready) {
        notify_on(fd, ready);
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);  // a coarse one may end the wait 5% early
        QObject::connect(&timer_, &QTimer::timeout, &context_, [this] {
            if (notifier_) notifier_->setEnabled(false);
            if (exchange_) exchange_->time_out();
            // The helper had its time and more: it is hung, and the next probe gets a fresh one.
            if (request_id_ != 0) EchoHelperClient::shared().give_up();
            finish(0, IP_REQ_TIMED_OUT);
        });
        timer_.start(static_cast<int>(timeout_ms));
    }

    template <typename Ready>
    void notify_on(int fd, Ready ready) {
        // A notifier on a descriptor that has gone is disabled first, so that a new one on the
        // same number is the only one watching it.
        if (notifier_) {
            notifier_->setEnabled(false);
            retired_notifier_ = std::move(notifier_);  // it may be the signal's sender now
        }
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, &context_, ready);
    }

    void socket_ready() {
        pollfd state{socket_, POLLIN, 0};
        if (::poll(&state, 1, 0) <= 0) return;
        if (exchange_->take(state.revents)) finish(exchange_->replies());
    }

    void helper_ready() {
        // While it reads, the helper may go and its descriptor with it.
        notifier_->setEnabled(false);
        EchoHelperClient& helper = EchoHelperClient::shared();
        echo_helper::Answer answer;
        switch (helper.read(request_id_, answer)) {
            case EchoHelperClient::Reading::waiting:
                notifier_->setEnabled(true);
                return;
            case EchoHelperClient::Reading::asked_again:
                notify_on(helper.channel(), [this] { helper_ready(); });
                return;
            case EchoHelperClient::Reading::answered:
                return finish(echo_helper::take_outcome(answer, reply_, sizeof reply_));
            case EchoHelperClient::Reading::lost:
                return finish(0, IP_GENERAL_FAILURE);
            case EchoHelperClient::Reading::unavailable:
                return finish_with_error(create_failed_message);
        }
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
    std::unique_ptr<QSocketNotifier> retired_notifier_;  // on the channel of a helper that went
};

}  // namespace

std::unique_ptr<EchoAttempt> system_echo_attempt() {
    return std::make_unique<SocketEchoAttempt>();
}

}  // namespace probe
