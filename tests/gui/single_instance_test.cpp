// One waiting copy per list folder: the rendezvous between a running copy and a later start,
// with the later start in a process of its own, as it is in use.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "cannot_run.h"
#include "gui_fixture.h"
#include "process_probes.h"
#include "single_instance.h"

using platform::SingleInstance;
using Outcome = SingleInstance::Outcome;

namespace {

class SingleInstanceTest : public kestrun_test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"})
            if (const char* old = std::getenv(name)) old_environment_[name] = old;
        runtime_ = std::filesystem::current_path() / "runtime";
        std::filesystem::create_directory(runtime_);
        ::chmod(runtime_.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        // The fallbacks are this test's own, never the machine's /tmp or home.
        temporary_ = std::filesystem::current_path() / "tmp";
        std::filesystem::create_directory(temporary_);
        ::chmod(temporary_.c_str(), 01777);
        ::setenv("TMPDIR", temporary_.c_str(), 1);
        home_ = std::filesystem::current_path() / "home";
        std::filesystem::create_directory(home_);
        ::chmod(home_.c_str(), 0700);
        ::setenv("HOME", home_.c_str(), 1);
    }

    void TearDown() override {
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"}) {
            const auto old = old_environment_.find(name);
            if (old == old_environment_.end())
                ::unsetenv(name);
            else
                ::setenv(name, old->second.c_str(), 1);
        }
        GuiTest::TearDown();
    }

    std::string own_temporary() const {
        return (temporary_ / ("kestrun-" + std::to_string(::geteuid()))).string();
    }

    // Claims `folder` in a child process, as a later start does, while this process keeps its
    // event loop running; returns the child's outcome.
    static Outcome claim_elsewhere(const std::string& folder, const std::string& token = {}) {
        const pid_t child = ::fork();
        if (child == 0) {
            Outcome outcome = Outcome::unavailable;
            const auto held = SingleInstance::claim(folder, outcome, token);
            ::_exit(int(outcome));
        }
        int status = 0;
        if (!QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) != 0; }, 20000)) {
            ::kill(child, SIGKILL);  // a start that hangs answers nothing
            ::waitpid(child, nullptr, 0);
            return Outcome::unavailable;
        }
        return WIFEXITED(status) ? Outcome(WEXITSTATUS(status)) : Outcome::unavailable;
    }

    // A peer of this user at `folder`'s socket, in a child process: it sends `bytes`, one every
    // `every_ms` (none when empty), and ends when the copy closes the connection, or after
    // 10 s. How it fared: kept().
    static pid_t peer_elsewhere(const std::string& folder, const std::string& bytes, int every_ms) {
        const std::string path = SingleInstance::rendezvous_path(folder) + ".sock";
        const pid_t child = ::fork();
        if (child != 0) return child;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const int connection = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (path.size() >= sizeof address.sun_path) ::_exit(255);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::_exit(255);
        const auto start = std::chrono::steady_clock::now();
        const auto elapsed_ms = [&] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                .count();
        };
        bool answered = false;
        for (std::size_t sent = 0; elapsed_ms() < 10000;) {
            if (sent < bytes.size()) {
                if (::send(connection, &bytes[sent], 1, MSG_NOSIGNAL) != 1) break;
                ++sent;
            }
            pollfd ready{connection, POLLIN, 0};
            if (::poll(&ready, 1, every_ms) > 0) {
                char reply[8];
                if (::recv(connection, reply, sizeof reply, 0) <= 0) break;  // closed
                answered = true;
            }
        }
        ::_exit(int(std::min<long long>(elapsed_ms() / 100, 120)) + (answered ? 128 : 0));
    }

    struct Kept {
        double seconds = -1;  // until the copy closed the connection; -1: the peer failed
        bool answered = false;
    };
    static Kept kept(pid_t peer) {
        int status = 0;
        if (!QTest::qWaitFor([&] { return ::waitpid(peer, &status, WNOHANG) != 0; }, 15000)) {
            ::kill(peer, SIGKILL);
            ::waitpid(peer, nullptr, 0);
            return {};
        }
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
        if (code == 255) return {};
        return {(code & 127) / 10.0, (code & 128) != 0};
    }

    // `folder` claimed and served here; each request's token goes to `tokens`.
    static std::unique_ptr<SingleInstance> serve_here(const std::string& folder,
                                                      std::vector<std::string>& tokens) {
        Outcome outcome = Outcome::unavailable;
        auto first = SingleInstance::claim(folder, outcome);
        EXPECT_EQ(outcome, Outcome::first);
        if (first) first->serve([&tokens](const std::string& token) { tokens.push_back(token); });
        return first;
    }

    // `folder` claimed here, its socket in place: a later start hands over, and the window
    // shows once.
    static void expect_a_later_start_to_hand_over(const std::string& folder) {
        Outcome outcome = Outcome::unavailable;
        const auto first = SingleInstance::claim(folder, outcome);
        ASSERT_EQ(outcome, Outcome::first);
        int shown = 0;
        first->serve([&](const std::string&) { ++shown; });
        EXPECT_TRUE(std::filesystem::is_socket(SingleInstance::rendezvous_path(folder) + ".sock"));
        EXPECT_EQ(claim_elsewhere(folder), Outcome::handed_over);
        EXPECT_EQ(shown, 1);
    }

    std::filesystem::path runtime_;
    std::filesystem::path temporary_;
    std::filesystem::path home_;
    std::map<std::string, std::string> old_environment_;
};

}  // namespace

TEST_F(SingleInstanceTest, ALaterStartForTheFolderAsksTheRunningCopyToShowItself) {
    Outcome outcome = Outcome::unavailable;
    const auto first = SingleInstance::claim("/home/user/lists", outcome);
    ASSERT_EQ(outcome, Outcome::first);
    int shown = 0;
    first->serve([&](const std::string&) { ++shown; });

    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    EXPECT_EQ(shown, 2);
    // Another folder is another list, and another copy.
    EXPECT_EQ(claim_elsewhere("/home/user/other"), Outcome::first);
    EXPECT_EQ(shown, 2);
}

TEST_F(SingleInstanceTest, ACopyThatHoldsTheFolderButNeverAnswersIsReportedNotJoined) {
    Outcome outcome = Outcome::unavailable;
    const auto silent = SingleInstance::claim("/srv/list", outcome);  // never serves
    ASSERT_EQ(outcome, Outcome::first);
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(claim_elsewhere("/srv/list"), Outcome::no_answer);
    EXPECT_GE(waited.elapsed(), SingleInstance::answer_wait_ms - 100);
}

// A holder that takes no connections (stopped, or busy) lets only so many wait in its queue:
// the starts beyond that still give up after the answer wait, none waits on it for good.
TEST_F(SingleInstanceTest, StartsQueuedUpBeyondWhatAStalledCopyTakesStillGiveUpInTime) {
    Outcome outcome = Outcome::unavailable;
    const auto stalled = SingleInstance::claim("/srv/list", outcome);  // never serves
    ASSERT_EQ(outcome, Outcome::first);
    std::vector<pid_t> starts;
    for (int i = 0; i < 14; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            Outcome later = Outcome::unavailable;
            const auto held = SingleInstance::claim("/srv/list", later);
            ::_exit(int(later));
        }
        starts.push_back(child);
    }
    std::map<pid_t, Outcome> ended;
    QElapsedTimer waited;
    waited.start();
    while (ended.size() < starts.size() &&
           waited.elapsed() < SingleInstance::answer_wait_ms + 5000) {
        for (const pid_t child : starts) {
            int status = 0;
            if (ended.count(child) == 0 && ::waitpid(child, &status, WNOHANG) == child)
                ended[child] =
                    WIFEXITED(status) ? Outcome(WEXITSTATUS(status)) : Outcome::unavailable;
        }
        QTest::qWait(20);
    }
    for (const pid_t child : starts) {
        if (ended.count(child) != 0) continue;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(ended.size(), starts.size()) << "starts still waiting on the stalled copy";
    for (const auto& [pid, later] : ended) EXPECT_EQ(later, Outcome::no_answer);
}

// A copy that ends while a later start waits for its answer (it was quitting, or its own start
// failed) leaves the folder to that start, which goes on as the first rather than giving up.
TEST_F(SingleInstanceTest, ALaterStartWhoseHolderEndsUnansweredTakesTheFolder) {
    Outcome outcome = Outcome::unavailable;
    auto ending = SingleInstance::claim("/srv/list", outcome);  // never serves
    ASSERT_EQ(outcome, Outcome::first);
    const pid_t later = ::fork();
    if (later == 0) {
        // A start of its own holds nothing of the holder's: the lock and the socket included.
        for (const auto& [fd, target] : kestrun_test::open_descriptors())
            if (fd > STDERR_FILENO) ::close(fd);
        Outcome took = Outcome::unavailable;
        const auto held = SingleInstance::claim("/srv/list", took);
        ::_exit(int(took));
    }
    QTest::qWait(1500);  // the later start has asked and waits for the answer
    ending.reset();
    int status = 0;
    if (!QTest::qWaitFor([&] { return ::waitpid(later, &status, WNOHANG) != 0; }, 10000)) {
        ::kill(later, SIGKILL);
        ::waitpid(later, nullptr, 0);
        FAIL() << "the later start did not end";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(Outcome(WEXITSTATUS(status)), Outcome::first);
}

TEST_F(SingleInstanceTest, WhatAKilledCopyLeftNeverBlocksTheNextStart) {
    const pid_t killed = ::fork();
    if (killed == 0) {
        Outcome outcome = Outcome::unavailable;
        const auto held = SingleInstance::claim("/home/user/lists", outcome);
        ::pause();
        ::_exit(0);
    }
    const std::string path = SingleInstance::rendezvous_path("/home/user/lists");
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(path + ".sock"); }, 5000));
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    ASSERT_TRUE(std::filesystem::exists(path + ".sock"));  // left behind

    Outcome outcome = Outcome::unavailable;
    const auto next = SingleInstance::claim("/home/user/lists", outcome);
    ASSERT_EQ(outcome, Outcome::first);
    int shown = 0;
    next->serve([&](const std::string&) { ++shown; });
    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    EXPECT_EQ(shown, 1);
}

TEST_F(SingleInstanceTest, TheRendezvousIsInAFolderOnlyTheUserCanEnter) {
    const std::string in_runtime = SingleInstance::rendezvous_path("/a");
    EXPECT_EQ(in_runtime.rfind(runtime_.string() + "/kestrun-", 0), 0u) << in_runtime;
    EXPECT_NE(in_runtime, SingleInstance::rendezvous_path("/b"));

    // A runtime folder others may enter is not used; nor is a missing one.
    ::chmod(runtime_.c_str(), 0755);
    const std::string fallback = own_temporary() + "/kestrun-";
    EXPECT_EQ(SingleInstance::rendezvous_path("/a").rfind(fallback, 0), 0u);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::rendezvous_path("/a").rfind(fallback, 0), 0u);
    struct stat status {};
    ASSERT_EQ(::stat(own_temporary().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// sun_path holds 108 bytes: a runtime folder of 100 leaves no room for the socket's own path.
TEST_F(SingleInstanceTest, ARuntimeFolderTooLongForASocketAddressStillHoldsTheRule) {
    std::filesystem::path runtime = runtime_ / "r";
    runtime += std::string(100 - runtime.string().size(), 'x');
    ASSERT_EQ(runtime.string().size(), 100u);
    std::filesystem::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    const std::string path = SingleInstance::rendezvous_path("/home/user/lists");
    EXPECT_EQ(path.rfind(runtime.string() + "/kestrun-", 0), 0u) << "not in the runtime folder";
    expect_a_later_start_to_hand_over("/home/user/lists");
}

// Another user can make our folder in the shared temporary folder before we do, or point our
// runtime folder at one of theirs: neither is used, and copies still meet.
TEST_F(SingleInstanceTest, FoldersAnotherUserMadeFirstAreNotUsed) {
    if (!kestrun_test::is_root()) SKIP_OR_FAIL_IN_CI("needs root to make another user's folder");
    kestrun_test::give_to_nobody(runtime_.string());
    std::filesystem::create_directory(own_temporary());
    ::chmod(own_temporary().c_str(), 0700);
    kestrun_test::give_to_nobody(own_temporary());

    const std::string path = SingleInstance::rendezvous_path("/home/user/lists");
    EXPECT_EQ(path.rfind(home_.string() + "/.cache/kestrun/kestrun-", 0), 0u) << path;
    expect_a_later_start_to_hand_over("/home/user/lists");
    EXPECT_TRUE(std::filesystem::is_empty(runtime_)) << "the other user's folder was used";
    EXPECT_TRUE(std::filesystem::is_empty(own_temporary())) << "the other user's folder was used";

    // With no private folder anywhere there is no rendezvous, and the start says so (main).
    ::unsetenv("HOME");
    EXPECT_EQ(SingleInstance::rendezvous_path("/home/user/lists"), "");
    Outcome alone = Outcome::first;
    EXPECT_EQ(SingleInstance::claim("/home/user/lists", alone), nullptr);
    EXPECT_EQ(alone, Outcome::unavailable);
}

// On Wayland the later start's activation token lets the running copy come to the front.
TEST_F(SingleInstanceTest, TheLaterStartsActivationTokenReachesTheRunningCopy) {
    std::vector<std::string> tokens;
    const auto first = serve_here("/home/user/lists", tokens);
    ASSERT_NE(first, nullptr);

    EXPECT_EQ(claim_elsewhere("/home/user/lists", "kwin-12_ab:3"), Outcome::handed_over);
    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    // One that would not stay one word on the request line is left out; the window still shows.
    EXPECT_EQ(claim_elsewhere("/home/user/lists", "two words\nshow"), Outcome::handed_over);
    EXPECT_EQ(claim_elsewhere("/home/user/lists", std::string(300, 't')), Outcome::handed_over);
    EXPECT_EQ(tokens, (std::vector<std::string>{"kwin-12_ab:3", "", "", ""}));
}

// The longest the GUI thread went without a beat of a 10 ms timer, less the time it only waited
// for a processor (the kernel's count, where there is one): what the code under test held it
// up, whatever else the machine's cores were doing.
class Heartbeat {
  public:
    Heartbeat() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 waited = waited_for_processor_ns();
            longest_ = std::max(longest_, since_.nsecsElapsed() - (waited - waited_));
            waited_ = waited;
            since_.restart();
        });
        waited_ = waited_for_processor_ns();
        since_.start();
        timer_.start(10);
    }
    qint64 longest_gap_ms() const { return longest_ / 1000000; }

  private:
    // /proc/thread-self/schedstat: time on a processor, time waiting for one (ns), slices.
    static qint64 waited_for_processor_ns() {
        std::ifstream schedstat("/proc/thread-self/schedstat");
        qint64 running = 0;
        qint64 waiting = 0;
        schedstat >> running >> waiting;
        return schedstat ? waiting : 0;
    }

    QTimer timer_;
    QElapsedTimer since_;
    qint64 waited_ = 0;
    qint64 longest_ = 0;
};

// A later start's request is read as it comes, on the GUI thread but never waited for there:
// peers that say nothing or trickle are dropped at the deadline (1 s), one whose line comes in
// pieces is answered, a later start is served meanwhile, and the window's timers never miss.
TEST_F(SingleInstanceTest, PeersThatTrickleOrSayNothingAreDroppedWithoutHoldingUpTheWindow) {
    std::vector<std::string> tokens;
    const auto first = serve_here("/home/user/lists", tokens);
    ASSERT_NE(first, nullptr);

    const pid_t silent = peer_elsewhere("/home/user/lists", "", 100);
    const pid_t trickling = peer_elsewhere("/home/user/lists", "show endless-token", 500);
    const pid_t in_pieces = peer_elsewhere("/home/user/lists", "show pieces\n", 40);
    EXPECT_EQ(claim_elsewhere("/home/user/lists", "meanwhile"), Outcome::handed_over);
    // From here on, while the peers trickle until they are dropped. (Not sooner: the test's own
    // forks, slow under AddressSanitizer, would count.)
    const Heartbeat heartbeat;
    const Kept silent_kept = kept(silent);
    const Kept trickling_kept = kept(trickling);
    const Kept in_pieces_kept = kept(in_pieces);

    EXPECT_GE(silent_kept.seconds, 0.9);
    EXPECT_LE(silent_kept.seconds, 1.5);
    EXPECT_FALSE(silent_kept.answered);
    EXPECT_GE(trickling_kept.seconds, 0.9);
    EXPECT_LE(trickling_kept.seconds, 1.5);
    EXPECT_FALSE(trickling_kept.answered);
    EXPECT_TRUE(in_pieces_kept.answered);
    EXPECT_GE(in_pieces_kept.seconds, 0.0);
    EXPECT_LT(in_pieces_kept.seconds, 0.9);
    std::sort(tokens.begin(), tokens.end());
    EXPECT_EQ(tokens, (std::vector<std::string>{"meanwhile", "pieces"}));
    EXPECT_LT(heartbeat.longest_gap_ms(), 50);
}

TEST_F(SingleInstanceTest, MoreConnectionsAtOnceThanItServesAreDroppedAsTheyCome) {
    std::vector<std::string> tokens;
    const auto first = serve_here("/home/user/lists", tokens);
    ASSERT_NE(first, nullptr);

    std::vector<pid_t> peers;
    for (int i = 0; i < 9; ++i) peers.push_back(peer_elsewhere("/home/user/lists", "", 50));
    int dropped_at_once = 0;
    int held = 0;
    for (const pid_t peer : peers) {
        const Kept k = kept(peer);
        if (k.seconds >= 0 && k.seconds < 0.5) ++dropped_at_once;
        if (k.seconds >= 0.9 && k.seconds <= 1.5) ++held;
    }
    EXPECT_EQ(held, 8);
    EXPECT_EQ(dropped_at_once, 1);
    // Once they are gone a later start is served again.
    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    EXPECT_EQ(tokens.size(), 1u);
}

// Windows names ignore case: "C:\x" and "c:\X" are one folder, so one list and one key.
TEST(FolderKey, IgnoresCaseOnlyWhereFileNamesDo) {
    const std::string key = SingleInstance::folder_key("C:\\Users\\Ann\\Äpfel", true);
    EXPECT_EQ(SingleInstance::folder_key("c:\\users\\ANN\\äPFEL", true), key);
    EXPECT_NE(SingleInstance::folder_key("c:\\users\\Ann\\Birnen", true), key);
    EXPECT_NE(SingleInstance::folder_key("/home/Ann", false),
              SingleInstance::folder_key("/home/ann", false));
    EXPECT_EQ(key.size(), 32u);
}
