#include "list_rewrite.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "file_system.h"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#endif

namespace store {
namespace {

#ifdef _WIN32
constexpr char separator = '\\';

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// "C:\" or "\": the root keeps its separator.
bool is_root(const std::string& directory) {
    return directory.size() == 1 || (directory.size() == 3 && directory[1] == ':');
}
#else
constexpr char separator = '/';

bool is_separator(char c) {
    return c == '/';
}

bool is_root(const std::string& directory) {
    return directory.size() == 1;
}
#endif

std::string without_trailing_separator(std::string directory) {
    while (!directory.empty() && is_separator(directory.back()) && !is_root(directory)) {
        directory.pop_back();
    }
    return directory;
}

std::string working_directory() {
    std::vector<char> buffer(256);
    for (;;) {
#ifdef _WIN32
        if (_getcwd(buffer.data(), static_cast<int>(buffer.size())) != nullptr) break;
#else
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
#endif
        if (errno != ERANGE) throw IoError::from_os(errno);
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

bool is_missing(int os_error) {
#ifdef _WIN32
    return os_error == ERROR_FILE_NOT_FOUND || os_error == ERROR_PATH_NOT_FOUND;
#else
    return os_error == ENOENT;
#endif
}

// Another rewrite has temp.dat open (Windows: it shares nothing) or has just made it.
bool held_by_another_rewrite([[maybe_unused]] int os_error) {
#ifdef _WIN32
    return os_error == ERROR_SHARING_VIOLATION || os_error == ERROR_FILE_EXISTS;
#else
    return false;  // the folder lock says so
#endif
}

// A scratch file left by an earlier rewrite that did not finish (the one that made it is gone:
// we hold the list's turn). Only the user's own is removed: one that someone else could have
// put or changed there is reported instead. A link is removed as a name, never followed.
// False while another rewrite still has it.
bool remove_leftover(const std::string& temp) {
    const FileSystem& fs = file_system();
    FileStatus status;
    const int os_error = fs.stat_status(temp, false, status);
    if (is_missing(os_error)) return true;
    if (os_error != 0) throw IoError::from_os(os_error);
    FileStatus as_file = status;
    if (status.link) as_file.mode = 0;  // a link's own mode bits mean nothing
    if (!is_users_own(as_file)) throw UnsafeFileError(temp);
    const int unlinked = fs.unlink(temp);
    if (held_by_another_rewrite(unlinked)) return false;
    if (unlinked != 0 && !is_missing(unlinked)) throw IoError::from_os(unlinked);
    return true;
}

bool same_file(const FileStatus& a, const FileStatus& b) {
    return a.device == b.device && a.inode == b.inode;
}

#ifndef _WIN32
// A file system that keeps no locks (some network ones): rewrites go on without taking turns.
bool locks_unsupported(int os_error) {
    return os_error == ENOLCK || os_error == EOPNOTSUPP || os_error == EINVAL || os_error == EBADF;
}
#endif

// The new list keeps the permissions of the one it replaces, except that it never becomes
// writable by group or others (the next open would refuse it).
void keep_permissions(const std::string& list, ListFile& temp) {
    FileStatus status;
    const int os_error = file_system().stat_status(list, true, status);
    if (is_missing(os_error)) return;  // the first list: as created
    if (os_error != 0) throw IoError::from_os(os_error);
#ifndef _WIN32
    temp.set_mode(status.mode & 0755);
#else
    (void)temp;
#endif
}

}  // namespace

ListPaths::ListPaths(std::string directory)
    : directory_(without_trailing_separator(std::move(directory))) {}

ListPaths ListPaths::current() {
    return ListPaths(working_directory());
}

std::string ListPaths::list_file() const {
    return directory_ + separator + "applications.dat";
}

std::string ListPaths::temp_file() const {
    return directory_ + separator + "temp.dat";
}

namespace {

#ifndef _WIN32
// Interrupts the waiting thread's flock: a real-time signal nothing else here uses, caught by a
// handler that does nothing and installed without SA_RESTART, so the call ends with EINTR.
int wake_signal() {
    static const int number = [] {
        const int chosen = SIGRTMIN + 4;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(chosen, &action, nullptr);
        return chosen;
    }();
    return number;
}

// Waits at most `wait` for the lock that another rewrite holds on the open folder `fd`: 0 once
// it is ours, ETIMEDOUT when the wait ran out, else the error.
// The kernel hands a lock to its waiters in turn, which a loop of tries would not (a writer
// that lets go and takes it again at once would keep it); but flock takes no time limit, so it
// waits on a thread of its own. When the time is up the thread is interrupted and joined:
// nothing of the wait outlives it.
int wait_for_lock(int fd, std::chrono::milliseconds wait) {
    struct Waiting {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        int result = 0;
        std::atomic<bool> given_up{false};
    } waiting;
    const int wake = wake_signal();
    std::thread waiter;
    try {
        waiter = std::thread([&waiting, fd, wake, lock = file_system().lock] {
            // Only the wake signal ends the wait early; the others go to other threads.
            sigset_t only_wake;
            sigfillset(&only_wake);
            sigdelset(&only_wake, wake);
            ::pthread_sigmask(SIG_SETMASK, &only_wake, nullptr);
            int result = EINTR;
            while (result == EINTR && !waiting.given_up) result = lock(fd);
            const std::lock_guard<std::mutex> guard(waiting.mutex);
            waiting.done = true;
            waiting.result = result;
            waiting.finished.notify_one();
        });
    } catch (const std::system_error&) {
        return ENOMEM;
    }
    std::unique_lock<std::mutex> guard(waiting.mutex);
    if (!waiting.finished.wait_for(guard, wait, [&] { return waiting.done; })) {
        waiting.given_up = true;
        // A signal sent just before the thread enters flock is lost: send until it has ended.
        while (!waiting.done) {
            ::pthread_kill(waiter.native_handle(), wake);
            waiting.finished.wait_for(guard, std::chrono::milliseconds(10),
                                      [&] { return waiting.done; });
        }
    }
    guard.unlock();
    waiter.join();
    // Granted while we gave up: the lock is ours all the same.
    return waiting.result == EINTR ? ETIMEDOUT : waiting.result;
}
#endif

}  // namespace

bool ListRewrite::FolderLock::take([[maybe_unused]] const std::string& directory,
                                   [[maybe_unused]] std::chrono::milliseconds wait) {
    release();
#ifndef _WIN32
    const FileSystem& fs = file_system();
    int fd = -1;
    const int opened = fs.open(directory, OpenMode::directory, fd);
    if (opened != 0) throw IoError::from_os(opened);
    int locked = fs.try_lock(fd);
    if (locked == EWOULDBLOCK) {
        locked = wait_for_lock(fd, wait);
        if (locked == ETIMEDOUT) {
            fs.close(fd);
            return false;
        }
    }
    if (locked != 0 && !locks_unsupported(locked)) {
        fs.close(fd);
        throw IoError::from_os(locked);
    }
    fd_ = fd;
#endif
    return true;
}

// Makes the rename itself durable. Best effort: by now the new list is in place and every
// reader sees it, so reporting a failure here would call a finished edit failed.
// (On Windows MOVEFILE_WRITE_THROUGH has already flushed it.)
void ListRewrite::FolderLock::sync() {
    if (fd_ >= 0) file_system().fsync(fd_);
}

void ListRewrite::FolderLock::release() {
    if (fd_ < 0) return;
    file_system().close(fd_);
    fd_ = -1;
}

ListRewrite::ListRewrite(const ListPaths& paths, std::chrono::milliseconds wait) : paths_(paths) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::chrono::milliseconds pause{1};
    while (!take_turn(deadline)) {
        if (std::chrono::steady_clock::now() >= deadline) throw ListBusyError(paths_.list_file());
        std::this_thread::sleep_for(pause);  // Windows: another rewrite has temp.dat
        pause = std::min(pause * 2, std::chrono::milliseconds{16});
    }
}

// Where the list really is: a list that is the user's own link is replaced where it leads.
void ListRewrite::locate() {
    const ResolvedName resolved = resolve_links(paths_.list_file());
    if (resolved.os_error != 0 && !is_missing(resolved.os_error))
        throw IoError::from_os(resolved.os_error);
    if (resolved.path == paths_.list_file()) {
        target_ = paths_.list_file();
        directory_ = paths_.directory();
        temp_name_ = paths_.temp_file();
        return;
    }
    target_ = resolved.path;
    const std::string::size_type slash = target_.find_last_of(separator);
    directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    temp_name_ = target_.substr(0, slash + 1) + "temp.dat";
    // Its scratch file would be the list itself, removed as a leftover before a record is read.
    if (temp_name_ == target_) throw ListNamedLikeScratchError(paths_.list_file());
}

bool ListRewrite::take_turn([[maybe_unused]] std::chrono::steady_clock::time_point deadline) {
    locate();
#ifndef _WIN32
    const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                               deadline - std::chrono::steady_clock::now());
    if (!lock_.take(directory_, std::chrono::ceil<std::chrono::milliseconds>(left))) return false;
    // The user may have pointed the link elsewhere while we waited.
    const std::string locked = directory_;
    locate();
    if (directory_ != locked) {
        lock_.release();
        return false;
    }
#endif
    return make_scratch_file();
}

bool ListRewrite::make_scratch_file() {
    temp_.bind(temp_name_);
    if (!remove_leftover(temp_name_)) return false;
    try {
        // Made afresh, never through a link: the records go only to a file we created.
        temp_.create_new();
    } catch (const IoError& error) {
        if (held_by_another_rewrite(error.code())) return false;
        // The name is taken again since the leftover went: someone else is writing there.
        FileStatus status;
        if (file_system().stat_status(temp_name_, false, status) == 0)
            throw UnsafeFileError(temp_name_);
        throw;
    }
    try {
        made_ = temp_.status();
        made_known_ = true;
    } catch (const IoError&) {
        temp_.bind(temp_name_);  // closes it; just made, so ours to remove
        file_system().unlink(temp_name_);
        throw;
    }
    return true;
}

// temp.dat is still the file this rewrite made: nobody removed or replaced it meanwhile.
bool ListRewrite::still_ours(const std::string& name) {
    FileStatus status;
    const int os_error = file_system().stat_status(name, false, status);
    if (os_error != 0) throw IoError::from_os(os_error);
    return !status.link && same_file(status, made_);
}

ListRewrite::~ListRewrite() {
    if (committed_) return;
    try {
        temp_.close();
    } catch (const IoError&) {
        // Released all the same; the scratch file goes below.
    }
    if (!made_known_) return;
    try {
        if (still_ours(temp_name_)) file_system().unlink(temp_name_);
    } catch (const IoError&) {
        // Gone already, or not to be looked at: either way not ours to remove.
    }
}

void ListRewrite::write(const LaunchRecord& record) {
    // A system call per record made a long list's rewrite slow.
    constexpr std::size_t records_per_write = 256;  // 57 KB
    gathered_.push_back(record);
    if (gathered_.size() >= records_per_write) write_gathered();
}

void ListRewrite::write_gathered() {
    temp_.write_records(gathered_.data(), gathered_.size());
    gathered_.clear();
}

void ListRewrite::commit() {
    write_gathered();
    keep_permissions(target_, temp_);
    temp_.sync();
    temp_.close();
    // Whatever else was put at the name (by a program that does not take turns) is not
    // what we wrote, and never becomes the list.
    if (!still_ours(temp_name_)) throw UnsafeFileError(temp_name_);
    // One step from the old list to the new: there is never a moment without a list file.
    temp_.rename(target_);
    committed_ = true;
    lock_.sync();
    lock_.release();
}

namespace {

// Copies the list into the rewrite, the first record called `name` replaced by what `change`
// makes of it (false: left out).
template <typename Change>
bool copy_changing_first_named(ListFile& list, ListRewrite& rewrite, const std::string& name,
                               Change change) {
    bool found = false;
    do {
        LaunchRecord record = list.read_record();
        if (!found && record_name(record) == name) {
            found = true;
            if (!change(record)) continue;
        }
        rewrite.write(record);
    } while (!list.at_end());
    return found;
}

}  // namespace

bool rewrite_with_flag(const ListPaths& paths, const std::string& name, bool enabled) {
    ListRewrite rewrite(paths);
    ListFile list(paths.list_file());
    list.open_existing();
    const bool found = copy_changing_first_named(list, rewrite, name, [&](LaunchRecord& record) {
        record.enabled = enabled ? 1 : 0;
        return true;
    });
    list.close();
    rewrite.commit();
    return found;
}

bool rewrite_without(const ListPaths& paths, const std::string& name) {
    ListRewrite rewrite(paths);
    ListFile list(paths.list_file());
    list.open_existing();
    const bool found =
        copy_changing_first_named(list, rewrite, name, [](LaunchRecord&) { return false; });
    list.close();
    rewrite.commit();
    return found;
}

}  // namespace store
