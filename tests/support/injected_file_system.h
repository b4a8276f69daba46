#pragma once
// The list store's file-system table wrapped for tests: every call is logged as
// "<call> <file name>" (a folder opened for syncing or locking is "dir"), and a chosen call
// fails without reaching the system (close really closes, then reports the failure). Hooks
// run before and after each call, for tests that act in the middle of a change.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "file_system.h"

namespace kestrun_test {

struct FileCall {
    FileCall(std::string label, std::optional<store::OpenMode> mode = std::nullopt,
             bool blocking = false)
        : label(std::move(label)), mode(mode), blocking(blocking) {}
    std::string label;                    // "open temp.dat", "rename temp.dat applications.dat"
    std::optional<store::OpenMode> mode;  // for open
    bool blocking;                        // for flock: the wait for another rewrite's turn
    std::uint64_t offset = 0;             // for pread: the bytes it asks for
    std::size_t size = 0;
};

class InjectedFileSystem {
  public:
    // Which call fails, the first that applies:
    int fail_at = 0;      // the n-th (1-based) of the numbered calls (all but the lookups)
    std::string fail_on;  // the first call whose label starts with this
    std::function<int(const FileCall&)> fail_when;  // an error to fail this call with, or 0
    int error = EIO;                                // what fail_at and fail_on fail with
    bool short_write = false;  // a failing pwrite writes one byte less and reports success

    std::function<void(const FileCall&)> before_each;
    std::function<void(const FileCall&)> after_each;  // after the call, failed or not

    std::vector<std::string> calls;
    std::string failed_call;       // label of the first call made to fail, if any
    std::size_t failed_index = 0;  // its place in `calls`

    store::FileSystem table();
    // Runs `action` with table() in place of the system's: see error_of below.
    std::string error_of(const std::function<void()>& action);

  private:
    // The error `call` is to fail with, or 0; logs it and runs before_each.
    int enter(const FileCall& call, bool numbered = true);
    // Runs `body` between the hooks, given the error the call is to fail with (0: none).
    int act(const FileCall& call, const std::function<int(int failure)>& body,
            bool numbered = true);
    // The real call between the hooks, unless it is to fail.
    int run(const FileCall& call, const std::function<int()>& real, bool numbered = true);

    std::map<int, std::string> names_;
    int numbered_ = 0;
};

// The message of the list-file error `action` raises, or "" when it raises none.
std::string error_of(const std::function<void()>& action);

// For fail_when. The list cannot be opened for writing (EACCES), as when it is read-only:
// root, which CI runs as, would get past the file's own mode.
int list_is_read_only(const FileCall& call);
// A call whose failure a change reports to nobody, as nothing is lost by it: the folder's sync
// after the rename (the new list is in place), or a read ahead of the list, which is made again
// record by record.
bool failure_goes_unreported(const std::string& failed_call);
// Reading the `nth` record (counting from 1) fails with `error`, as a bad spot in the file would:
// every read of the list that covers a byte of it.
std::function<int(const FileCall&)> nth_read_fails(int nth, int error);

}  // namespace kestrun_test
