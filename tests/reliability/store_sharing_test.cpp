// The list in a folder that other programs and other users share: rewrites of one list take
// turns across processes (and two writers going as fast as they can lose nothing), only the
// user's own links are followed (and a rewrite replaces what they lead to), a link that leads
// nowhere is a missing list, and nothing but a regular file is ever taken for a list.
//
// The figures of the two-writer run are printed as a "reliability:" line; KESTRUN_SHARING_SECONDS
// sets how long it runs (default 4).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
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
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string not_regular =
    "applications.dat is not a regular file: a directory, a device or a pipe cannot hold the list";
const std::string busy =
    "applications.dat is being changed by another program: try again in a moment";

const LaunchRecord first = make_record("First", "/bin/first", true);
const LaunchRecord second = make_record("Second", "/bin/second", false);
const LaunchRecord added = make_record("Added", "/bin/added", true);

std::vector<std::string> names_in(const std::string& list_name) {
    std::vector<std::string> names;
    ListFile list(list_name);
    list.open_existing();
    while (!list.at_end()) names.push_back(record_name(list.read_record()));
    return names;
}

// Every action on the list that reads or rewrites it, each giving its message ("" when it
// went through).
std::map<std::string, std::string> every_action(const ListPaths& paths) {
    return {
        {"open", error_of([&] { ListFile(paths.list_file()).open_existing(); })},
        {"toggle", error_of([&] { rewrite_with_flag(paths, "First", false); })},
        {"delete", error_of([&] { rewrite_without(paths, "First"); })},
        {"add", error_of([&] { append_through_rewrite(paths, added); })},
    };
}

void expect_all(const std::map<std::string, std::string>& outcomes, const std::string& message) {
    for (const auto& [action, outcome] : outcomes) EXPECT_EQ(outcome, message) << action;
}

// --- Links -----------------------------------------------------------------------------------

// A folder others may write to, as the attacker finds it, and a file of ours whose bytes the
// attacker chose (a download): a list that would start their command.
class SharedFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        NEEDS_ROOT("the planted links are made by `nobody` (setpriv)");
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
        write_bytes(bait, record_bytes(make_record("Update", "/bin/touch /tmp/pwned", true)));
        ASSERT_EQ(::chmod(bait.c_str(), 0644), 0);
    }
    void plant_link(const std::string& target, const std::string& name) {
        ASSERT_EQ(run_as_nobody({"ln", "-s", target, name}), 0);
        struct stat info {};
        ASSERT_EQ(::lstat(name.c_str(), &info), 0);
        ASSERT_NE(info.st_uid, ::geteuid());
    }

    TempDir dir;
    ListPaths paths{dir.path()};
    std::string bait = dir.file("download.dat");
    std::string bait_bytes() const { return read_bytes(bait); }
};

TEST_F(SharedFolder, ListLinkedByAnotherUserIsRefusedByEveryAction) {
    const std::string before = bait_bytes();
    plant_link(bait, paths.list_file());
    EXPECT_TRUE(ListFile(paths.list_file()).exists());
    expect_all(every_action(paths), unsafe_list);
    EXPECT_TRUE(fs::is_symlink(paths.list_file()));  // not ours to replace
    EXPECT_EQ(bait_bytes(), before);
    EXPECT_FALSE(file_exists(paths.temp_file()));

    // Through a link of our own to theirs: the same.
    fs::remove(paths.list_file());
    const std::string theirs = dir.file("theirs");
    plant_link(bait, theirs);
    ASSERT_EQ(::symlink(theirs.c_str(), paths.list_file().c_str()), 0);
    expect_all(every_action(paths), unsafe_list);
    EXPECT_EQ(bait_bytes(), before);
}

TEST_F(SharedFolder, ScratchFileLinkedByAnotherUserIsRefusedAndLeft) {
    write_bytes(paths.list_file(), record_bytes(first));
    ASSERT_EQ(::chmod(paths.list_file().c_str(), 0644), 0);
    plant_link(bait, paths.temp_file());
    const std::string before = bait_bytes();
    EXPECT_EQ(error_of([&] { rewrite_with_flag(paths, "First", false); }), unsafe_temp);
    EXPECT_EQ(error_of([&] { append_through_rewrite(paths, added); }), unsafe_temp);
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
    EXPECT_EQ(bait_bytes(), before);
    EXPECT_TRUE(fs::is_symlink(paths.temp_file()));
}

// Dotfiles: the list is a link of the user's own, relative, to a file in another folder.
class OwnLink : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir.file("dotfiles"));
        fs::create_directory(dir.file("work"));
        write_bytes(target, record_bytes(first) + record_bytes(second));
        ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
        ASSERT_EQ(::symlink("../dotfiles/kestrun.dat", paths.list_file().c_str()), 0);
    }
    void expect_still_a_link() {
        EXPECT_TRUE(fs::is_symlink(paths.list_file()));
        EXPECT_EQ(fs::read_symlink(paths.list_file()), "../dotfiles/kestrun.dat");
        EXPECT_FALSE(file_exists(paths.temp_file()));
        EXPECT_FALSE(file_exists(dir.file("dotfiles/temp.dat")));
    }

    TempDir dir;
    ListPaths paths{dir.file("work")};
    std::string target = dir.file("dotfiles/kestrun.dat");
};

TEST_F(OwnLink, IsReadThroughAndEveryRewriteReplacesWhatItLeadsTo) {
    EXPECT_EQ(names_in(paths.list_file()), (std::vector<std::string>{"First", "Second"}));

    EXPECT_TRUE(rewrite_with_flag(paths, "First", false));
    LaunchRecord off = first;
    off.enabled = 0;
    EXPECT_EQ(read_bytes(target), record_bytes(off) + record_bytes(second));
    expect_still_a_link();

    append_through_rewrite(paths, added);
    EXPECT_EQ(read_bytes(target), record_bytes(off) + record_bytes(second) + record_bytes(added));
    expect_still_a_link();

    EXPECT_TRUE(rewrite_without(paths, "Second"));
    EXPECT_EQ(read_bytes(target), record_bytes(off) + record_bytes(added));
    expect_still_a_link();
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);  // its mode kept

    // A link to a link (absolute) to the file: followed to the end.
    const std::string middle = dir.file("dotfiles/current");
    ASSERT_EQ(::symlink(target.c_str(), middle.c_str()), 0);
    fs::remove(paths.list_file());
    ASSERT_EQ(::symlink(middle.c_str(), paths.list_file().c_str()), 0);
    EXPECT_TRUE(rewrite_without(paths, "Added"));
    EXPECT_EQ(read_bytes(target), record_bytes(off));
    EXPECT_TRUE(fs::is_symlink(middle));
    EXPECT_TRUE(fs::is_symlink(paths.list_file()));
}

TEST_F(OwnLink, ThatLeadsNowhereIsAMissingListNeverAnEmptyOneToReplace) {
    fs::remove(target);
    ListFile list(paths.list_file());
    EXPECT_TRUE(list.exists());
    expect_all(every_action(paths), "File not found");
    expect_still_a_link();
    EXPECT_FALSE(file_exists(target));

    // A loop of links leads nowhere either.
    fs::remove(paths.list_file());
    ASSERT_EQ(::symlink("applications.dat", paths.list_file().c_str()), 0);
    expect_all(every_action(paths), "Invalid filename");
    EXPECT_TRUE(fs::is_symlink(paths.list_file()));
}

// The link leads to a file called temp.dat, the name a change writes the new list under: taken
// for a leftover, the list would go before a record of it was read. It is read as usual, and
// every change is refused with the list left as it was, wherever that file lies.
TEST_F(OwnLink, ToAFileCalledLikeTheScratchFileIsReadAndNeverRemoved) {
    const std::string refused =
        "applications.dat leads to a file called temp.dat, the name a change writes the new list "
        "under: give that file another name";
    const std::string before = read_bytes(target);
    for (const std::string& place : {dir.file("dotfiles/temp.dat"), paths.temp_file()}) {
        SCOPED_TRACE(place);
        fs::rename(target, place);
        target = place;
        fs::remove(paths.list_file());
        ASSERT_EQ(::symlink(place.c_str(), paths.list_file().c_str()), 0);

        EXPECT_EQ(names_in(paths.list_file()), (std::vector<std::string>{"First", "Second"}));
        std::map<std::string, std::string> outcomes = every_action(paths);
        EXPECT_EQ(outcomes["open"], "");
        outcomes.erase("open");
        expect_all(outcomes, refused);
        EXPECT_EQ(read_bytes(place), before);
        EXPECT_TRUE(fs::is_symlink(paths.list_file()));
    }
}

// --- Only regular files ------------------------------------------------------------------------

TEST(NotARegularFile, IsRefusedBeforeItCanBlock) {
    TempDir dir;
    const ListPaths paths(dir.path());
    const std::map<std::string, std::function<bool(const std::string&)>> kinds = {
        {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }},
        {"directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; }},
        {"link to /dev/null",
         [](const std::string& p) { return ::symlink("/dev/null", p.c_str()) == 0; }},
        {"socket",
         [](const std::string& p) {
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             if (p.size() >= sizeof address.sun_path) return false;
             std::strcpy(address.sun_path, p.c_str());
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             const bool bound =
                 ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
             ::close(fd);
             return bound;
         }},
        {"character device",
         [](const std::string& p) {
             return is_root() && ::mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
         }},
    };
    int tried = 0;
    for (const auto& [kind, make] : kinds) {
        SCOPED_TRACE(kind);
        std::error_code ignored;
        fs::remove(paths.list_file(), ignored);
        if (!make(paths.list_file())) {
            EXPECT_FALSE(kind != "character device" || in_ci()) << "could not make one";
            continue;
        }
        ++tried;
        const int open_before = open_descriptor_count();
        EXPECT_TRUE(ListFile(paths.list_file()).exists());
        // In a process of its own, so that a call that blocks fails the test instead of hanging.
        const std::optional<std::string> outcomes = in_child_within(5, [&] {
            std::string text;
            for (const auto& [action, outcome] : every_action(paths))
                text += action + ": " + outcome + "\n";
            return text;
        });
        ASSERT_TRUE(outcomes.has_value()) << "blocked";
        EXPECT_EQ(*outcomes, "add: " + not_regular + "\ndelete: " + not_regular +
                                 "\nopen: " + not_regular + "\ntoggle: " + not_regular + "\n");
        expect_all(every_action(paths), not_regular);  // and here, no descriptor left open
        EXPECT_EQ(open_descriptor_count(), open_before);
        EXPECT_FALSE(file_exists(paths.temp_file()));
        struct stat info {};
        ASSERT_EQ(::lstat(paths.list_file().c_str(), &info), 0);
        EXPECT_FALSE(S_ISREG(info.st_mode)) << "replaced by a list";
    }
    EXPECT_GE(tried, 4);
}

// --- Taking turns --------------------------------------------------------------------------

// A rewrite in another process, holding the list's turn until told to commit.
class OtherWriter {
  public:
    OtherWriter(const ListPaths& paths, const LaunchRecord& record) {
        if (::pipe(ready_) != 0 || ::pipe(go_) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            int status = 0;
            try {
                // Holds the turn, every record written, until told to commit.
                change_through_rewrite(paths, {nullptr, {record}, [this] {
                                                   char byte = 'r';
                                                   if (::write(ready_[1], &byte, 1) != 1)
                                                       ::_exit(2);
                                                   if (::read(go_[0], &byte, 1) != 1) ::_exit(3);
                                               }});
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        char byte = 0;
        holding_ = ::read(ready_[0], &byte, 1) == 1;
    }
    ~OtherWriter() { finish(); }
    bool holding() const { return holding_; }
    // Lets it commit; its exit status.
    int finish() {
        if (pid_ <= 0) return status_;
        char byte = 'g';
        if (::write(go_[1], &byte, 1) != 1) return -1;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
        for (const int fd : {ready_[0], ready_[1], go_[0], go_[1]}) ::close(fd);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

  private:
    int ready_[2] = {-1, -1};
    int go_[2] = {-1, -1};
    pid_t pid_ = 0;
    bool holding_ = false;
    int status_ = -1;
};

TEST(TakingTurns, RewriteWaitsForTheOneUnderWayAndCopiesWhatItLeft) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), record_bytes(first));
    OtherWriter other(paths, second);
    ASSERT_TRUE(other.holding());
    // Told to commit once our rewrite, finding the list's turn taken, has started waiting.
    InjectedFileSystem releasing;
    std::atomic<int> other_status{-2};
    releasing.before_each = [&](const FileCall& call) {
        if (call.blocking) other_status = other.finish();
    };
    {
        ScopedFileSystem scope(releasing.table());
        append_through_rewrite(paths, added);
    }
    EXPECT_EQ(other_status, 0) << "never waited, or the other rewrite failed";
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(first) + record_bytes(second) + record_bytes(added));
    EXPECT_FALSE(file_exists(paths.temp_file()));
}

TEST(TakingTurns, TooLongATurnIsABusyListAndTheOthersScratchFileStays) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), record_bytes(first));
    OtherWriter other(paths, second);
    ASSERT_TRUE(other.holding());
    struct stat theirs {};
    ASSERT_EQ(::lstat(paths.temp_file().c_str(), &theirs), 0);

    const int threads = thread_count();
    const int descriptors = open_descriptor_count();
    const auto started = Clock::now();
    try {
        append_through_rewrite(paths, added, 300ms);
        ADD_FAILURE() << "went through while another rewrite held the list";
    } catch (const ListBusyError& error) {
        EXPECT_EQ(std::string(error.what()), busy);
        EXPECT_EQ(error.code(), EWOULDBLOCK);
    }
    EXPECT_GE(Clock::now() - started, 300ms);
    EXPECT_LT(Clock::now() - started, 2s) << "the wait did not end when it gave up";
    // Giving up leaves nothing waiting: no thread, no descriptor on the folder.
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
    struct stat now {};
    ASSERT_EQ(::lstat(paths.temp_file().c_str(), &now), 0) << "their scratch file was removed";
    EXPECT_EQ(now.st_ino, theirs.st_ino);

    EXPECT_EQ(other.finish(), 0);  // theirs goes through, and ours next
    append_through_rewrite(paths, added, 300ms);
    EXPECT_EQ(read_bytes(paths.list_file()),
              record_bytes(first) + record_bytes(second) + record_bytes(added));
}

// A program that does not take turns puts its own temp.dat in place of ours while we write.
TEST(TakingTurns, ScratchFileReplacedBeforeTheRenameNeverBecomesTheList) {
    TempDir dir;
    const ListPaths paths(dir.path());
    write_bytes(paths.list_file(), record_bytes(first));
    const std::string decoy = dir.file("decoy");
    FileSystem replacing = real_file_system();
    replacing.fsync = [&](int fd) {
        write_bytes(decoy, "someone else's half list");
        ::chmod(decoy.c_str(), 0600);
        ::rename(decoy.c_str(), paths.temp_file().c_str());
        return real_file_system().fsync(fd);
    };
    {
        ScopedFileSystem scope(replacing);
        EXPECT_EQ(error_of([&] { append_through_rewrite(paths, added); }), unsafe_temp);
    }
    EXPECT_EQ(read_bytes(paths.list_file()), record_bytes(first));
    EXPECT_EQ(read_bytes(paths.temp_file()), "someone else's half list") << "not ours to remove";
}

// --- Two writers at full speed -----------------------------------------------------------------

constexpr int base_count = 8;
constexpr std::size_t own_at_most = 6;

// What each writer reports, in memory shared with the parent.
struct WriterReport {
    int rewrites;
    int waited;  // rewrites that found the other one's turn under way and waited it out
    int busy;
    int violations;
    char first_violation[200];
};

int seconds_to_run() {
    const char* text = std::getenv("KESTRUN_SHARING_SECONDS");
    return text != nullptr ? std::max(1, std::atoi(text)) : 4;
}

// One writer: toggles of the shared records and of its own, adds and deletes of its own, as
// fast as it can. Before every rewrite it checks that the list holds every shared record once
// and its own records exactly as its last rewrite left them: the other writer's rewrites in
// between must have copied them.
void run_writer(const ListPaths& paths, char tag, Clock::time_point until, WriterReport& report) {
    std::mt19937 random(static_cast<unsigned>(tag) * 7919u);
    std::map<std::string, bool> own;  // name -> enabled
    int serial = 0;
    bool waiting = false;
    FileSystem counting = real_file_system();
    counting.try_lock = [&](int fd) {
        const int result = real_file_system().try_lock(fd);
        if (result == EWOULDBLOCK) waiting = true;
        return result;
    };
    ScopedFileSystem scope(counting);
    auto violation = [&](const std::string& what) {
        if (report.violations++ == 0)
            std::snprintf(report.first_violation, sizeof report.first_violation, "%c: %s", tag,
                          what.c_str());
    };
    while (Clock::now() < until) {
        // The list as it stands.
        std::map<std::string, int> seen;
        std::map<std::string, bool> own_seen;
        try {
            ListFile list(paths.list_file());
            list.open_existing();
            if (list.record_count() == 0) violation("the list is empty");
            while (!list.at_end()) {
                const LaunchRecord record = list.read_record();
                const std::string name = record_name(record);
                ++seen[name];
                if (name[0] == tag) own_seen[name] = is_enabled(record);
            }
        } catch (const IoError& error) {
            violation(std::string("reading: ") + error.what());
            continue;
        }
        for (int i = 0; i < base_count; ++i)
            if (seen["Shared " + std::to_string(i)] != 1)
                violation("Shared " + std::to_string(i) + " seen " +
                          std::to_string(seen["Shared " + std::to_string(i)]) + " times");
        if (own_seen != own) violation("its own records are not as it left them");
        own = own_seen;  // go on from what is there

        waiting = false;
        try {
            const int pick = std::uniform_int_distribution<int>(0, 3)(random);
            if (pick == 0 || own.empty()) {
                if (own.size() < own_at_most) {
                    const std::string name = std::string(1, tag) + " " + std::to_string(serial++);
                    append_through_rewrite(paths, make_record(name, "/usr/bin/" + name, true));
                    own[name] = true;
                } else {
                    rewrite_without(paths, own.begin()->first);
                    own.erase(own.begin());
                }
            } else if (pick == 1) {
                auto entry = own.begin();
                std::advance(entry,
                             std::uniform_int_distribution<std::size_t>(0, own.size() - 1)(random));
                rewrite_without(paths, entry->first);
                own.erase(entry);
            } else if (pick == 2) {
                auto entry = own.begin();
                std::advance(entry,
                             std::uniform_int_distribution<std::size_t>(0, own.size() - 1)(random));
                rewrite_with_flag(paths, entry->first, !entry->second);
                entry->second = !entry->second;
            } else {
                const int shared = std::uniform_int_distribution<int>(0, base_count - 1)(random);
                rewrite_with_flag(paths, "Shared " + std::to_string(shared), random() % 2 == 0);
            }
            ++report.rewrites;
            if (waiting) ++report.waited;
        } catch (const ListBusyError&) {
            ++report.busy;
        } catch (const IoError& error) {
            violation(std::string("rewrite: ") + error.what());
        }
    }
}

TEST(TwoWriters, RewritingOneListAsFastAsTheyCanLoseNothing) {
    TempDir dir;
    const ListPaths paths(dir.path());
    std::string bytes;
    for (int i = 0; i < base_count; ++i)
        bytes += record_bytes(make_record("Shared " + std::to_string(i), "/bin/shared", true));
    write_bytes(paths.list_file(), bytes);

    void* shared = ::mmap(nullptr, 2 * sizeof(WriterReport), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* reports = static_cast<WriterReport*>(shared);
    std::memset(reports, 0, 2 * sizeof(WriterReport));

    const int seconds = seconds_to_run();
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            run_writer(paths, w == 0 ? 'A' : 'B', until, reports[w]);
            ::_exit(0);
        }
        ASSERT_GT(pid, 0);
        writers.push_back(pid);
    }
    // Meanwhile a reader: the list is never missing, empty or cut.
    int looks = 0;
    int bad_looks = 0;
    std::uint64_t smallest = UINT64_MAX;
    while (Clock::now() < until) {
        struct stat info {};
        ++looks;
        if (::stat(paths.list_file().c_str(), &info) != 0 || info.st_size == 0 ||
            info.st_size % record_size != 0) {
            ++bad_looks;
            continue;
        }
        smallest = std::min<std::uint64_t>(smallest, static_cast<std::uint64_t>(info.st_size));
    }
    for (const pid_t pid : writers) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> last = names_in(paths.list_file());
    EXPECT_GE(last.size(), static_cast<std::size_t>(base_count));
    EXPECT_FALSE(file_exists(paths.temp_file()));

    for (int w = 0; w < 2; ++w) {
        SCOPED_TRACE(w == 0 ? "writer A" : "writer B");
        EXPECT_EQ(reports[w].violations, 0) << reports[w].first_violation;
        EXPECT_EQ(reports[w].busy, 0);
        EXPECT_GT(reports[w].rewrites, 20);
    }
    EXPECT_EQ(bad_looks, 0);
    EXPECT_GT(reports[0].waited + reports[1].waited, 0) << "the writers never met";
    std::printf(
        "reliability: two processes rewriting one list for %d s: %d + %d rewrites, %d + %d of "
        "them waited out the other's turn, busy %d, records lost or stale %d; a reader looked "
        "%d times: missing, empty or cut %d, smallest %llu bytes\n",
        seconds, reports[0].rewrites, reports[1].rewrites, reports[0].waited, reports[1].waited,
        reports[0].busy + reports[1].busy, reports[0].violations + reports[1].violations, looks,
        bad_looks, static_cast<unsigned long long>(smallest));
    ::munmap(shared, 2 * sizeof(WriterReport));
}

}  // namespace
