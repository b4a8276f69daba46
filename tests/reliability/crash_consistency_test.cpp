// Crash consistency of every rewrite of the list: adds, updates, deletes and toggles made
// through the store's rewrite, while
//  - the writing process is killed (SIGKILL) at every file-system call of a rewrite in turn,
//    and at thousands of random moments, and
//  - each file-system call of a rewrite fails in turn, with several errors.
// After each, applications.dat must hold exactly the old list or exactly the new one (never
// missing, emptied or partial) and no descriptor may stay open. The expected lists are
// computed here on raw bytes, independently of the store.
//
// The figures are printed as "crash-consistency: ..." lines. KESTRUN_CRASH_ROUNDS sets the
// number of random kills (default 5000), KESTRUN_CRASH_SEED the random seed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "file_system.h"
#include "launch_record.h"
#include "list_file.h"
#include "list_rewrite.h"
#include "store_test_support.h"

namespace {

using namespace store;
using namespace kestrun_test;

constexpr std::size_t max_records = 24;

enum class Op { add, update, remove, toggle };
const char* op_name(Op op) {
    switch (op) {
        case Op::add:
            return "add";
        case Op::update:
            return "update";
        case Op::remove:
            return "delete";
        case Op::toggle:
            return "toggle";
    }
    return "?";
}

struct Change {
    Op op = Op::add;
    std::size_t index = 0;  // the record updated, deleted or toggled
    LaunchRecord record;    // the record added, or the update's new content
};

// The list after `change`, computed on bytes alone.
std::string expected_after(const std::string& old, const Change& change) {
    std::string bytes = old;
    const std::size_t at = change.index * record_size;
    switch (change.op) {
        case Op::add:
            bytes += record_bytes(change.record);
            break;
        case Op::update:
            bytes.replace(at, record_size, record_bytes(change.record));
            break;
        case Op::remove:
            bytes.erase(at, record_size);
            break;
        case Op::toggle:
            bytes[at + record_size - 1] = bytes[at + record_size - 1] == 1 ? 0 : 1;
            break;
    }
    return bytes;
}

// The change made as the windows make it: the old list read through a ListFile, every
// record written to the rewrite (changed, skipped or appended), then the commit.
void make_change(const ListPaths& paths, const Change& change) {
    ListChange steps;
    steps.each = [&change](std::size_t i, LaunchRecord& record) {
        if (i != change.index) return true;
        if (change.op == Op::remove) return false;
        if (change.op == Op::update) record = change.record;
        if (change.op == Op::toggle) record.enabled = record.enabled == 1 ? 0 : 1;
        return true;
    };
    if (change.op == Op::add) steps.appended = {change.record};
    change_through_rewrite(paths, steps);
}

// Picks a change that keeps the list between 1 and max_records entries, so that an empty
// list is always a lost one.
Change random_change(std::mt19937& random, std::size_t count, int serial) {
    Change change;
    std::vector<Op> ops;
    if (count < max_records) ops.push_back(Op::add);
    if (count > 0) ops.insert(ops.end(), {Op::update, Op::toggle});
    if (count > 1) ops.push_back(Op::remove);
    change.op = ops[std::uniform_int_distribution<std::size_t>(0, ops.size() - 1)(random)];
    if (count > 0) change.index = std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    const std::string name = "Entry " + std::to_string(serial);
    const std::string path = "/opt/app" + std::to_string(serial) + "/run --mode " +
                             std::string(std::uniform_int_distribution<int>(0, 150)(random), 'x');
    change.record = make_record(name, path, serial % 3 != 0);
    return change;
}

std::string starting_list(std::size_t count) {
    return list_bytes(numbered_records(count, "Start ", "/usr/bin/start"));
}

unsigned seed() {
    const char* text = std::getenv("KESTRUN_CRASH_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20240517u;
}

int rounds() {
    const char* text = std::getenv("KESTRUN_CRASH_ROUNDS");
    return text != nullptr ? std::atoi(text) : 5000;
}

// --- Killing the writer --------------------------------------------------------------------

// Shared with the child: how many file-system calls it has started, and (for a kill at a
// chosen call) the call to die at.
struct Progress {
    volatile int calls_started;
    volatile int die_at;  // 0: never; n > 0: just before call n; n < 0: just after call -n
};

// The real calls, counted in `progress`; the child kills itself where `die_at` says.
InjectedFileSystem counting(Progress* progress) {
    InjectedFileSystem counted;
    counted.before_each = [progress](const FileCall&) {
        const int n = progress->calls_started + 1;
        progress->calls_started = n;
        if (progress->die_at == n) ::raise(SIGKILL);
    };
    counted.after_each = [progress](const FileCall&) {
        if (progress->die_at == -progress->calls_started) ::raise(SIGKILL);
    };
    return counted;
}

struct KillOutcome {
    bool killed = false;  // died of SIGKILL (else it finished)
    int calls_started = 0;
    bool child_failed = false;  // finished with an error status
};

// Runs `change` in a child. With `delay_ns` >= 0 the parent kills it after that long; with
// `die_at` != 0 it kills itself at that call.
KillOutcome run_writer(const ListPaths& paths, const Change& change, long delay_ns, int die_at,
                       Progress* progress) {
    progress->calls_started = 0;
    progress->die_at = die_at;
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 0;
        try {
            InjectedFileSystem counted = counting(progress);
            ScopedFileSystem scope(counted.table());
            make_change(paths, change);
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return {};
    }
    if (delay_ns >= 0) {
        const timespec pause{0, delay_ns};
        ::nanosleep(&pause, nullptr);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    KillOutcome outcome;
    outcome.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    outcome.child_failed = WIFEXITED(status) && WEXITSTATUS(status) != 0;
    outcome.calls_started = progress->calls_started;
    return outcome;
}

class CrashConsistency : public ::testing::Test {
  protected:
    void SetUp() override {
        void* shared = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(shared, MAP_FAILED);
        progress = static_cast<Progress*>(shared);
    }
    void TearDown() override { ::munmap(progress, sizeof(Progress)); }

    // The list is the old or the new one; remembers which. False when it is neither.
    bool check_list(const std::string& old, const std::string& updated, std::string& now) {
        if (!file_exists(paths.list_file())) {
            ADD_FAILURE() << "applications.dat is missing";
            return false;
        }
        now = read_bytes(paths.list_file());
        if (now == old || now == updated) return true;
        ADD_FAILURE() << "applications.dat holds " << now.size() << " bytes, neither the old list ("
                      << old.size() << ") nor the new one (" << updated.size() << ")";
        return false;
    }

    TempDir dir;
    ListPaths paths{dir.path()};
    Progress* progress = nullptr;
};

TEST_F(CrashConsistency, WriterKilledAtEveryCallOfEveryKindOfRewrite) {
    const int open_before = open_descriptor_count();
    int kill_points = 0;
    int lost = 0;
    int old_kept = 0;
    int new_in_place = 0;
    std::mt19937 random(seed());
    for (const Op op : {Op::add, Op::update, Op::remove, Op::toggle}) {
        for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
            if (count == 0 && op != Op::add) continue;
            if (count < 2 && op == Op::remove) continue;
            for (const bool leftover : {false, true}) {
                Change change = random_change(random, count, kill_points);
                change.op = op;
                const std::string old = starting_list(count);
                const std::string updated = expected_after(old, change);
                // Every call the change makes, killed just before it and just after it.
                for (int call = 1;; ++call) {
                    bool finished = false;
                    for (const int die_at : {call, -call}) {
                        SCOPED_TRACE(std::string(op_name(op)) + " of " + std::to_string(count) +
                                     (leftover ? " with a leftover" : "") + ", killed at call " +
                                     std::to_string(die_at));
                        std::error_code ignored;
                        fs::remove(paths.list_file(), ignored);
                        if (count > 0) write_bytes(paths.list_file(), old);
                        fs::remove(paths.temp_file(), ignored);
                        if (leftover) write_bytes(paths.temp_file(), "half a list");
                        const KillOutcome outcome = run_writer(paths, change, -1, die_at, progress);
                        EXPECT_FALSE(outcome.child_failed);
                        if (!outcome.killed) {
                            finished = true;  // fewer calls than that: every point is done
                            EXPECT_EQ(read_bytes(paths.list_file()), updated);
                            break;
                        }
                        ++kill_points;
                        std::string now;
                        if (count == 0 && !file_exists(paths.list_file())) {
                            ++old_kept;  // there was no list, and there still is none
                            continue;
                        }
                        if (!check_list(old, updated, now)) {
                            ++lost;
                            continue;
                        }
                        ++(now == old ? old_kept : new_in_place);
                        // The next rewrite goes through whatever the dead one left.
                        write_bytes(paths.list_file(), now);
                        Change next = change;
                        next.op = Op::add;
                        if (now.size() / record_size < max_records) {
                            make_change(paths, next);
                            EXPECT_EQ(read_bytes(paths.list_file()),
                                      now + record_bytes(next.record));
                            EXPECT_FALSE(file_exists(paths.temp_file()));
                        }
                    }
                    if (finished) break;
                    ASSERT_LT(call, 400) << "the change never ran out of calls";
                }
            }
        }
    }
    EXPECT_EQ(open_descriptor_count(), open_before);
    EXPECT_EQ(lost, 0);
    std::printf(
        "crash-consistency: writer killed at each call: %d kill points, old list kept %d, new "
        "list in place %d, lists lost %d\n",
        kill_points, old_kept, new_in_place, lost);
}

TEST_F(CrashConsistency, WriterKilledAtRandomMoments) {
    std::mt19937 random(seed());
    std::string list = starting_list(3);
    write_bytes(paths.list_file(), list);
    const int open_before = open_descriptor_count();

    // How long a whole change takes here (fork to exit), to spread the kills over it.
    std::vector<long> durations;
    for (int i = 0; i < 15; ++i) {
        const Change change = random_change(random, list.size() / record_size, i);
        const auto start = std::chrono::steady_clock::now();
        const KillOutcome outcome = run_writer(paths, change, -1, 0, progress);
        durations.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now() - start)
                                                  .count()));
        ASSERT_FALSE(outcome.killed || outcome.child_failed);
        list = expected_after(list, change);
        ASSERT_EQ(read_bytes(paths.list_file()), list);
    }
    std::sort(durations.begin(), durations.end());
    const long typical = durations[durations.size() / 2];
    std::uniform_int_distribution<long> delay(0, std::min(typical * 5 / 4, 999'999'999L));

    const int total = rounds();
    int kills = 0;  // rounds where the kill found the writer still running
    int lost = 0;
    int old_kept = 0;
    int new_in_place = 0;
    int leftovers = 0;
    std::map<int, int> by_call;  // calls the writer had started when it died
    for (int round = 0; round < total && lost == 0; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Change change = random_change(random, list.size() / record_size, 100 + round);
        const std::string updated = expected_after(list, change);
        const KillOutcome outcome = run_writer(paths, change, delay(random), 0, progress);
        EXPECT_FALSE(outcome.child_failed);
        std::string now;
        if (!check_list(list, updated, now)) {
            ++lost;
            break;
        }
        if (outcome.killed) {
            ++kills;
            ++by_call[outcome.calls_started];
            ++(now == list ? old_kept : new_in_place);
            if (file_exists(paths.temp_file())) ++leftovers;
        } else {
            EXPECT_EQ(now, updated);
        }
        list = now;
    }
    EXPECT_EQ(open_descriptor_count(), open_before);
    EXPECT_EQ(lost, 0);
    EXPECT_GT(kills, total / 4) << "the kills came too late to test anything";
    int mid_rewrite = 0;
    for (const auto& [calls, n] : by_call)
        if (calls > 0) mid_rewrite += n;
    std::printf(
        "crash-consistency: %d random kills of %d rounds (typical change %ld us): %d inside "
        "a rewrite at %zu distinct call counts, old list kept %d, new list in place %d, "
        "temp.dat left %d, lists lost %d\n",
        kills, total, typical / 1000, mid_rewrite, by_call.size(), old_kept, new_in_place,
        leftovers, lost);
}

// --- Failing each call ---------------------------------------------------------------------

TEST(FaultInjection, EachCallOfEachRewriteFailsInTurn) {
    TempDir dir;
    const ListPaths paths(dir.path());
    std::mt19937 random(seed());
    struct Fault {
        int error;
        bool short_write;
        std::string message;
    };
    const std::vector<Fault> faults = {
        {EIO, false, "I/O error 5"},           {ENOSPC, false, "Disk full"},
        {EACCES, false, "File access denied"}, {EMFILE, false, "Too many open files"},
        {ENOSPC, true, "Disk full"},  // a short write, reported as a success
    };
    int injected_count = 0;
    int lost = 0;
    int after_rename = 0;  // faults in the directory sync: the new list stands
    std::set<std::string> kinds;
    const int open_before = open_descriptor_count();
    for (const Op op : {Op::add, Op::update, Op::remove, Op::toggle}) {
        for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
            if (count == 0 && op != Op::add) continue;
            if (count < 2 && op == Op::remove) continue;
            for (const bool leftover : {false, true}) {
                for (const Fault& fault : faults) {
                    Change change = random_change(random, count, injected_count);
                    change.op = op;
                    const std::string old = starting_list(count);
                    const std::string updated = expected_after(old, change);
                    for (int call = 1;; ++call) {
                        SCOPED_TRACE(std::string(op_name(op)) + " of " + std::to_string(count) +
                                     (leftover ? " with a leftover" : "") + ", error " +
                                     std::to_string(fault.error) + ", failing call " +
                                     std::to_string(call));
                        std::error_code ignored;
                        fs::remove(paths.list_file(), ignored);
                        if (count > 0) write_bytes(paths.list_file(), old);
                        fs::remove(paths.temp_file(), ignored);
                        if (leftover) write_bytes(paths.temp_file(), "half a list");

                        InjectedFileSystem injected;
                        injected.error = fault.error;
                        injected.short_write = fault.short_write;
                        if (fault.short_write)
                            injected.fail_on = call == 1 ? "pwrite temp.dat" : "\x01never";
                        else
                            injected.fail_at = call;
                        const std::string message =
                            injected.error_of([&] { make_change(paths, change); });
                        EXPECT_EQ(open_descriptor_count(), open_before);
                        if (injected.failed_call.empty()) {  // every call has had its turn
                            EXPECT_EQ(message, "");
                            EXPECT_EQ(read_bytes(paths.list_file()), updated);
                            break;
                        }
                        ++injected_count;
                        kinds.insert(
                            injected.failed_call.substr(0, injected.failed_call.find(' ')));
                        SCOPED_TRACE("failed " + injected.failed_call);
                        const bool list_there = file_exists(paths.list_file());
                        const std::string now = list_there ? read_bytes(paths.list_file()) : "";
                        if (!message.empty()) {
                            EXPECT_EQ(message, fault.message);
                            const bool old_kept = count == 0 ? !list_there : now == old;
                            EXPECT_TRUE(old_kept);
                            if (!old_kept) ++lost;
                        } else {
                            // The directory sync after the rename, or a read ahead made again
                            // record by record.
                            EXPECT_TRUE(failure_goes_unreported(injected.failed_call));
                            EXPECT_EQ(now, updated);
                            if (now != updated) ++lost;
                            if (injected.failed_call.find(" dir") != std::string::npos)
                                ++after_rename;
                        }
                        // The scratch file is gone, unless the failure came before the
                        // leftover's removal (only the rewrite holding the list's turn
                        // touches it) or was that removal.
                        const auto& calls = injected.calls;
                        const auto failed_at =
                            calls.begin() + static_cast<std::ptrdiff_t>(injected.failed_index);
                        const auto removed_at =
                            std::find(calls.begin(), calls.end(), "unlink temp.dat");
                        if (leftover && failed_at <= removed_at)
                            EXPECT_EQ(read_bytes(paths.temp_file()), "half a list");
                        else
                            EXPECT_FALSE(file_exists(paths.temp_file()));

                        // Nothing stays broken: the same change now goes through.
                        if (!message.empty()) {
                            make_change(paths, change);
                            EXPECT_EQ(read_bytes(paths.list_file()), updated);
                            EXPECT_FALSE(file_exists(paths.temp_file()));
                        }
                        ASSERT_LT(call, 400) << "the change never ran out of calls";
                    }
                }
            }
        }
    }
    EXPECT_EQ(lost, 0);
    const std::set<std::string> every_kind = {"lstat", "unlink", "open",   "fstat",
                                              "pread", "pwrite", "stat",   "fchmod",
                                              "fsync", "close",  "rename", "flock"};
    EXPECT_EQ(kinds, every_kind);
    std::string kind_list;
    for (const std::string& kind : kinds) kind_list += (kind_list.empty() ? "" : ",") + kind;
    std::printf(
        "crash-consistency: %d faults injected (%zu kinds of call: %s), %d after the rename "
        "(new list kept), lists lost %d\n",
        injected_count, kinds.size(), kind_list.c_str(), after_rename, lost);
}

}  // namespace
