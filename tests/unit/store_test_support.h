#pragma once
// Helpers for the list store tests: a scratch directory per test, raw file bytes, open
// descriptor counts and a file-system table that logs every call and fails a chosen one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"

namespace store_test {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrun-store-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline const std::string unsafe_list =
    "applications.dat is not safe to use: it belongs to another user or others may write to it";
inline const std::string unsafe_temp =
    "temp.dat is not safe to use: it belongs to another user or others may write to it";

// The message of the list-file error an action raises, or "" when it raises none.
inline std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const store::IoError& error) {
        return error.what();
    }
    return "";
}

// An add as the editing dialog makes it: the turn first, then the list as it stands, then the
// new record.
inline void append_through_rewrite(
    const store::ListPaths& paths, const store::LaunchRecord& record,
    std::chrono::milliseconds wait = store::ListRewrite::default_wait) {
    store::ListRewrite rewrite(paths, wait);
    store::ListFile list(paths.list_file());
    if (list.exists()) {
        list.open_existing();
        while (!list.at_end()) rewrite.write(list.read_record());
        list.close();
    }
    rewrite.write(record);
    rewrite.commit();
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string record_bytes(const store::LaunchRecord& record) {
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

inline bool file_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

inline int open_descriptor_count() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// CI (CI=true) runs as root and counts a skipped case as a failure.
inline bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// Runs a command as the unprivileged user `nobody` (we must be root); its exit status, or -1.
inline int run_as_nobody(const std::vector<std::string>& command) {
    std::vector<std::string> words = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                      "--clear-groups", "--"};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `work` in a child process and returns what it returned, or nothing when it did not
// finish within `seconds` (it is killed then): for calls that could block for good.
inline std::optional<std::string> in_child_within(int seconds,
                                                  const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        try {
            result = work();
        } catch (const std::exception& error) {
            result = std::string("exception: ") + error.what();
        }
        const char* at = result.data();
        std::size_t left = result.size();
        while (left > 0) {
            const ssize_t put = ::write(fds[1], at, left);
            if (put <= 0) break;
            at += put;
            left -= static_cast<std::size_t>(put);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    bool finished = false;
    pollfd watch{fds[0], POLLIN, 0};
    while (::poll(&watch, 1, seconds * 1000) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            finished = got == 0;
            break;
        }
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    if (!finished) ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!finished) return std::nullopt;
    return result;
}

// Sets LC_CTYPE for one test and puts the old value back.
class CtypeLocale {
  public:
    explicit CtypeLocale(const char* name) {
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        previous_ = current != nullptr ? current : "C";
        ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~CtypeLocale() { std::setlocale(LC_CTYPE, previous_.c_str()); }
    CtypeLocale(const CtypeLocale&) = delete;
    CtypeLocale& operator=(const CtypeLocale&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string previous_;
    bool ok_;
};

// Wraps the real calls. Each call is logged as "<call> <file name>" (a directory opened for
// syncing is "dir"); the call chosen by number or by label prefix fails with `error`
// without reaching the system, except close, which really closes and then reports.
class InjectedFileSystem {
  public:
    int fail_at = 0;      // 1-based number of the failing call among the failable ones
    std::string fail_on;  // or: the first call whose label starts with this
    int error = EIO;
    bool short_write = false;  // a failing pwrite writes one byte less and reports success
    std::vector<std::string> calls;
    std::string failed_call;       // label of the call that was made to fail, if any
    std::size_t failed_index = 0;  // its place in `calls`

    store::FileSystem table() {
        const store::FileSystem& real = store::real_file_system();
        store::FileSystem t;
        t.open = [this, &real](const std::string& path, store::OpenMode mode, int& fd) {
            const std::string name = mode == store::OpenMode::directory ? "dir" : base(path);
            if (fails("open " + name)) return error;
            const int result = real.open(path, mode, fd);
            if (result == 0) names_[fd] = name;
            return result;
        };
        t.pread = [this, &real](int fd, void* buffer, std::size_t size, std::uint64_t offset,
                                std::size_t& done) {
            if (fails("pread " + names_[fd])) return error;
            return real.pread(fd, buffer, size, offset, done);
        };
        t.pwrite = [this, &real](int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                                 std::size_t& done) {
            if (fails("pwrite " + names_[fd])) {
                if (!short_write) return error;
                return real.pwrite(fd, buffer, size - 1, offset, done);
            }
            return real.pwrite(fd, buffer, size, offset, done);
        };
        t.fstat_size = [this, &real](int fd, std::uint64_t& size) {
            if (fails("fstat " + names_[fd])) return error;
            return real.fstat_size(fd, size);
        };
        t.fsync = [this, &real](int fd) {
            if (fails("fsync " + names_[fd])) return error;
            return real.fsync(fd);
        };
        t.close = [this, &real](int fd) {
            const bool failing = fails("close " + names_[fd]);
            names_.erase(fd);
            const int result = real.close(fd);
            return failing ? error : result;
        };
        t.rename = [this, &real](const std::string& from, const std::string& to) {
            if (fails("rename " + base(from) + " " + base(to))) return error;
            return real.rename(from, to);
        };
        t.unlink = [this, &real](const std::string& path) {
            if (fails("unlink " + base(path))) return error;
            return real.unlink(path);
        };
        t.lookup = [this, &real](const std::string& path) {
            // Failed only when asked for by label: a failing check is not a failing add.
            if (fails("stat " + base(path), false)) return error;
            return real.lookup(path);
        };
        t.fstat_status = [this, &real](int fd, store::FileStatus& status) {
            if (fails("fstat " + names_[fd])) return error;
            return real.fstat_status(fd, status);
        };
        t.stat_status = [this, &real](const std::string& path, bool follow_links,
                                      store::FileStatus& status) {
            if (fails((follow_links ? "stat " : "lstat ") + base(path))) return error;
            return real.stat_status(path, follow_links, status);
        };
        t.fchmod = [this, &real](int fd, std::uint32_t mode) {
            if (fails("fchmod " + names_[fd])) return error;
            return real.fchmod(fd, mode);
        };
        t.readlink = [this, &real](const std::string& path, std::string& target) {
            if (fails("readlink " + base(path))) return error;
            return real.readlink(path, target);
        };
        t.try_lock = [this, &real](int fd) {
            if (fails("flock " + names_[fd])) return error;
            return real.try_lock(fd);
        };
        t.lock = [this, &real](int fd) {  // only when another rewrite holds the lock
            if (fails("flock " + names_[fd])) return error;
            return real.lock(fd);
        };
        return t;
    }

  private:
    static std::string base(const std::string& path) {
        return path.substr(path.find_last_of('/') + 1);
    }

    bool fails(const std::string& label, bool numbered = true) {
        calls.push_back(label);
        if (numbered) ++failable_;
        const bool chosen =
            fail_at != 0 ? numbered && failable_ == fail_at
                         : !fail_on.empty() && failed_call.empty() && label.rfind(fail_on, 0) == 0;
        if (chosen) {
            failed_call = label;
            failed_index = calls.size() - 1;
        }
        return chosen;
    }

    std::map<int, std::string> names_;
    int failable_ = 0;
};

}  // namespace store_test
