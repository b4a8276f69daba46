#pragma once
// The program's side of the echo helper (POSIX): the helper is started on first need, with one
// end of a socket pair, and kept for later probes; it goes when the program does. A caller may
// wait on the channel itself (poll, or a socket notifier), so no call here needs to block except
// those that say so.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "echo_helper_protocol.h"

namespace probe {

// Where the helper is: beside the running program (a build tree), else in the libexec folder of
// the prefix it is installed in. Tests name their build's helper.
std::string echo_helper_path();
void set_echo_helper_path(const std::string& path);

class EchoHelper {
  public:
    enum class State {
        stopped,      // not started, or gone
        starting,     // started; its first word has not been read yet
        ready,        // holds its raw socket, answers requests
        unavailable,  // could not be started, or has no raw socket (see error())
    };

    static EchoHelper& instance();

    // Starts a helper unless one is starting or ready and still there. The channel to wait on,
    // or -1 when no helper could be started (state() is then unavailable).
    int start();
    // Waits up to `timeout_ms` for a starting helper's first word; true when it is ready.
    bool wait_until_ready(int timeout_ms);
    // Reads what the channel holds without waiting: the first word (which settles the state),
    // or one answer. Returns true when `answer` holds an answer.
    bool take(echo_helper::Answer& answer);
    // Sends a request; false when the helper has gone (it is then stopped).
    bool send(const echo_helper::Request& request);
    // Ends the helper and reaps it.
    void stop();

    State state() const { return state_; }
    int channel() const { return channel_; }
    pid_t pid() const { return pid_; }
    // Why the helper is unavailable: an errno value (ENOENT: no helper file; EPERM: no
    // capability to open its raw socket).
    int error() const { return error_; }

    // A fresh identifier for the next request.
    std::uint32_t next_id() { return ++last_id_; }

  private:
    EchoHelper() = default;
    bool still_there() const;

    State state_ = State::stopped;
    int channel_ = -1;
    pid_t pid_ = -1;
    int error_ = 0;
    std::uint32_t last_id_ = 0;
};

// Reads one answer from `fd` without waiting; false when none was there, or the message was not
// an answer. `gone` is set when the other end has closed.
bool receive_answer(int fd, echo_helper::Answer& answer, bool& gone);

}  // namespace probe
