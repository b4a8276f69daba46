#pragma once
// What a test asks of its own process and of the system (POSIX): open descriptors, memory,
// work in a child that may hang, and work as another user.

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ci.h"

namespace kestrun_test {

// This process's open descriptors and what each refers to (the listing's own left out).
std::map<int, std::string> open_descriptors();
int open_descriptor_count();
int descriptor_of(const std::string& path);  // the one this process holds on `path`, or -1
long status_kb(const std::string& field);    // "VmRSS:" and the like from /proc/self/status
int thread_count();                          // this process's threads (/proc/self/task)

bool is_root();

// Runs a command as the unprivileged user `nobody` (we must be root); its exit status, or -1.
int run_as_nobody(const std::vector<std::string>& command);

// Runs `work` in a child process and returns what it returned, or nothing when it did not
// finish within `seconds` (it is killed then): for calls that could block for good.
std::optional<std::string> in_child_within(int seconds, const std::function<std::string()>& work);

// Runs `work` in a child as `nobody` when we are root (root ignores permission bits), as
// ourselves otherwise; what it returned, or nothing when it did not finish within `seconds`
// or could not drop root. What it touches must be open to `nobody`: see give_to_nobody.
std::optional<std::string> without_root(const std::function<std::string()>& work, int seconds = 30);
// Makes `path` belong to `nobody` when we are root; does nothing otherwise.
void give_to_nobody(const std::string& path);

// While alive, what this process starts, and what those start in turn, is adopted by this
// process when its own parent ends, instead of by init: so a test can wait until everything a
// launch started has ended, and count it.
class AdoptingOrphans {
  public:
    AdoptingOrphans();
    ~AdoptingOrphans();  // reaps what is left, then adopts no more
    AdoptingOrphans(const AdoptingOrphans&) = delete;
    AdoptingOrphans& operator=(const AdoptingOrphans&) = delete;
    bool ok() const { return ok_; }  // the kernel agreed

    // Reaps children until none is left, for up to `seconds`: how many it reaped, or -1 when
    // some were still running then.
    static int reap_all(double seconds = 10);

  private:
    bool ok_ = false;
};

// Starts a process numbered `pid` that is not our child (the one that made it ends at once) and
// holds no descriptor of ours; it idles until it is killed. What a process number we gave up may
// stand for next. -1 when the kernel refused: choosing the number needs root (Linux), and the
// number must be free.
pid_t start_stranger_numbered(pid_t pid);
// True while `pid` is a process that has not ended (a zombie has).
bool is_running(pid_t pid);

// Waits for `condition` for up to `seconds`, looking every few milliseconds; its last answer.
bool eventually(const std::function<bool()>& condition, double seconds = 10);

}  // namespace kestrun_test
