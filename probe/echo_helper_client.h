#pragma once
// The program's side of the echo helper (POSIX), and the one owner of the helper's life: it
// starts the helper on the first request, keeps it for later ones, and replaces it when it
// fails. No call waits on the helper, except wait_until_ready(), which says so: a caller waits
// on channel() itself (poll, or a socket notifier) and then reads.
//
// A helper that goes away before it answers gets the request again, once, from a fresh helper.
// One that does not answer in time (the caller's deadline: the probe's timeout and
// echo_helper::answer_grace_ms), or whose channel is full, is hung: it is ended and reaped, and
// the next request starts a fresh one.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "echo_helper_protocol.h"

namespace probe {

// Where the helper is: beside the running program (a build tree), else in the libexec folder of
// the prefix it is installed in. Tests name their build's helper.
std::string echo_helper_path();
void set_echo_helper_path(const std::string& path);

class EchoHelperClient {
  public:
    // The program's one helper.
    static EchoHelperClient& shared();

    ~EchoHelperClient();

    // Sends a request for `target` (starting a helper where none runs) and returns its id, or 0
    // when no helper could be had. Never blocks.
    std::uint32_t ask(echo_helper::Target target);

    enum class Reading {
        waiting,      // nothing for the request yet: wait on channel() again
        answered,     // `answer` holds the helper's answer to the request
        asked_again,  // the helper went before answering; a fresh one has the request, on a
                      // new channel()
        lost,         // the helper went again, or no fresh one could be started
        unavailable,  // the helper cannot serve here (no file, no capability): the create error
    };
    // Reads what the channel holds for request `id`, without waiting.
    Reading read(std::uint32_t id, echo_helper::Answer& answer);

    // The request got no answer in time: the helper is hung. It is ended and reaped.
    void give_up();

    // Waits up to `timeout_ms` for a new helper's first word; true when it is ready. For the
    // blocking echo service only.
    bool wait_until_ready(int timeout_ms);

    // Ends the helper and reaps it.
    void stop();

    // The channel to wait on; -1 when no helper runs.
    int channel() const { return channel_; }
    // The helper said it holds its raw socket.
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

  private:
    EchoHelperClient() = default;
    bool start();
    bool send(const echo_helper::Request& request);
    // Reads one message; false when none was there. `gone` is set when the helper has closed
    // its end.
    bool receive(echo_helper::Answer& answer, bool& gone);

    int channel_ = -1;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::uint32_t last_id_ = 0;
    // The request in flight, and whether it went to a second helper already.
    echo_helper::Request pending_{};
    bool asked_again_ = false;
};

}  // namespace probe
