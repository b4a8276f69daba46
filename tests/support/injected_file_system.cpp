#include "injected_file_system.h"

#include "list_file.h"

namespace kestrun_test {

namespace {

std::string base(const std::string& path) {
    return path.substr(path.find_last_of("/\\") + 1);
}

}  // namespace

int InjectedFileSystem::enter(const FileCall& call, bool numbered) {
    calls.push_back(call.label);
    if (numbered) ++numbered_;
    if (before_each) before_each(call);
    int chosen = 0;
    if (fail_at != 0) {
        chosen = numbered && numbered_ == fail_at ? error : 0;
    } else if (!fail_on.empty()) {
        chosen = failed_call.empty() && call.label.rfind(fail_on, 0) == 0 ? error : 0;
    } else if (fail_when) {
        chosen = fail_when(call);
    }
    if (chosen != 0 && failed_call.empty()) {
        failed_call = call.label;
        failed_index = calls.size() - 1;
    }
    return chosen;
}

int InjectedFileSystem::act(const FileCall& call, const std::function<int(int failure)>& body,
                            bool numbered) {
    const int failure = enter(call, numbered);
    const int result = body(failure);
    if (after_each) after_each(call);
    return result;
}

int InjectedFileSystem::run(const FileCall& call, const std::function<int()>& real, bool numbered) {
    return act(
        call, [&](int failure) { return failure != 0 ? failure : real(); }, numbered);
}

store::FileSystem InjectedFileSystem::table() {
    const store::FileSystem& real = store::real_file_system();
    store::FileSystem t;
    t.open = [this, &real](const std::string& path, store::OpenMode mode, int& fd) {
        const std::string name = mode == store::OpenMode::directory ? "dir" : base(path);
        return run({"open " + name, mode}, [&] {
            const int result = real.open(path, mode, fd);
            if (result == 0) names_[fd] = name;
            return result;
        });
    };
    t.pread = [this, &real](int fd, void* buffer, std::size_t size, std::uint64_t offset,
                            std::size_t& done) {
        FileCall call("pread " + names_[fd]);
        call.offset = offset;
        call.size = size;
        return run(call, [&] { return real.pread(fd, buffer, size, offset, done); });
    };
    t.pwrite = [this, &real](int fd, const void* buffer, std::size_t size, std::uint64_t offset,
                             std::size_t& done) {
        return act({"pwrite " + names_[fd]}, [&](int failure) {
            if (failure == 0) return real.pwrite(fd, buffer, size, offset, done);
            return short_write ? real.pwrite(fd, buffer, size - 1, offset, done) : failure;
        });
    };
    t.fstat_size = [this, &real](int fd, std::uint64_t& size) {
        return run({"fstat " + names_[fd]}, [&] { return real.fstat_size(fd, size); });
    };
    t.fsync = [this, &real](int fd) {
        return run({"fsync " + names_[fd]}, [&] { return real.fsync(fd); });
    };
    t.close = [this, &real](int fd) {
        return act({"close " + names_[fd]}, [&](int failure) {
            names_.erase(fd);
            const int result = real.close(fd);  // released even when reported as failed
            return failure != 0 ? failure : result;
        });
    };
    t.rename = [this, &real](const std::string& from, const std::string& to) {
        return run({"rename " + base(from) + " " + base(to)},
                   [&] { return real.rename(from, to); });
    };
    t.unlink = [this, &real](const std::string& path) {
        return run({"unlink " + base(path)}, [&] { return real.unlink(path); });
    };
    t.lookup = [this, &real](const std::string& path) {
        // Not numbered: a failing existence check is not a failing change.
        return run(
            {"stat " + base(path)}, [&] { return real.lookup(path); }, false);
    };
    t.fstat_status = [this, &real](int fd, store::FileStatus& status) {
        return run({"fstat " + names_[fd]}, [&] { return real.fstat_status(fd, status); });
    };
    t.stat_status = [this, &real](const std::string& path, bool follow_links,
                                  store::FileStatus& status) {
        return run({(follow_links ? "stat " : "lstat ") + base(path)},
                   [&] { return real.stat_status(path, follow_links, status); });
    };
    t.fchmod = [this, &real](int fd, std::uint32_t mode) {
        return run({"fchmod " + names_[fd]}, [&] { return real.fchmod(fd, mode); });
    };
    t.readlink = [this, &real](const std::string& path, std::string& target) {
        return run({"readlink " + base(path)}, [&] { return real.readlink(path, target); });
    };
    t.try_lock = [this, &real](int fd) {
        return run({"flock " + names_[fd]}, [&] { return real.try_lock(fd); });
    };
    t.lock = [this, &real](int fd) {  // only when another rewrite holds the turn
        return run({"flock " + names_[fd], std::nullopt, true}, [&] { return real.lock(fd); });
    };
    return t;
}

std::string InjectedFileSystem::error_of(const std::function<void()>& action) {
    const store::ScopedFileSystem scope(table());
    return kestrun_test::error_of(action);
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const store::IoError& error) {
        return error.what();
    }
    return "";
}

int list_is_read_only(const FileCall& call) {
    return call.label == "open applications.dat" &&
                   call.mode == store::OpenMode::existing_read_write
               ? EACCES
               : 0;
}

bool failure_goes_unreported(const std::string& failed_call) {
    return failed_call == "fsync dir" || failed_call == "close dir" ||
           failed_call == "pread applications.dat";
}

std::function<int(const FileCall&)> nth_read_fails(int nth, int error) {
    const std::uint64_t first = std::uint64_t(nth - 1) * store::record_size;
    const std::uint64_t end = first + store::record_size;
    return [first, end, error](const FileCall& call) {
        const bool covers = call.offset < end && call.offset + call.size > first;
        return call.label == "pread applications.dat" && covers ? error : 0;
    };
}

}  // namespace kestrun_test
