#pragma once
// One waiting copy per user and list folder. Two copies waiting on one list would start every
// entry twice, so a second start hands over to the first (which shows its main window) and
// ends. Copies for different folders are independent.
//
// The rendezvous lives in a folder only the user can enter (the runtime folder XDG_RUNTIME_DIR,
// else one of the user's own under the temporary folder or the home folder), as a lock file and
// a socket at a path: the abstract socket namespace belongs to a network namespace, a path does
// not. The lock goes with its holder, however it ends, so a copy killed outright never blocks
// a later start.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class SingleInstance {
  public:
    enum class Outcome {
        first,        // this copy serves the folder: go on and call serve()
        handed_over,  // a running copy was asked to show its window: end with status 0
        no_answer,    // a running copy holds the folder but did not answer
        unavailable,  // no rendezvous can be made here (no private folder): go on alone
    };

    // Claims `folder` for this copy, or asks the copy that holds it to show its window, handing
    // it `activation_token` (the one the desktop gave this start; may be empty).
    static std::unique_ptr<SingleInstance> claim(const std::string& folder, Outcome& outcome,
                                                 const std::string& activation_token = {});

    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // From now on each later start's request runs `show` on the GUI thread, with the token
    // that start handed over (empty when it had none). Needs the Qt application; requests made
    // before wait until then.
    void serve(std::function<void(const std::string& activation_token)> show);

    // Where the rendezvous for `folder` lives (without the .lock / .sock ending); empty when
    // there is no private folder for it.
    static std::string rendezvous_path(const std::string& folder);

    // The folder's name, hashed. Where file names ignore case (Windows), so does the key: two
    // spellings of one folder are one list.
#ifdef _WIN32
    static constexpr bool names_ignore_case = true;
#else
    static constexpr bool names_ignore_case = false;
#endif
    static std::string folder_key(const std::string& folder, bool ignore_case = names_ignore_case);

    // How long a later start waits for the holder's answer.
    static constexpr int answer_wait_ms = 5000;

  private:
    using Clock = std::chrono::steady_clock;
    enum class Asked { answered, nobody_listens, no_answer };

    SingleInstance() = default;
    // The system's part, per system: takes the rendezvous at `path` for this copy (nullptr when
    // another copy has it; `unusable` when it cannot be made here), or asks its holder to show
    // its window, waiting for the answer until `deadline`.
    static std::unique_ptr<SingleInstance> hold(const std::string& path, bool& unusable);
    static Asked ask_to_show(const std::string& path, const std::string& activation_token,
                             Clock::time_point deadline);
    static int milliseconds_until(Clock::time_point deadline);

    struct Server;
    int folder_ = -1;  // POSIX: the rendezvous folder, open
    int lock_ = -1;
    int listening_ = -1;
    std::string socket_name_;
    std::unique_ptr<Server> server_;
};

}  // namespace platform
