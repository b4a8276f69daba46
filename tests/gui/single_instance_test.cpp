// One waiting copy per list folder: the rendezvous between a running copy and a later start,
// with the later start in a process of its own, as it is in use.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "gui_fixture.h"
#include "single_instance.h"

using platform::SingleInstance;
using Outcome = SingleInstance::Outcome;

namespace {

class SingleInstanceTest : public kestrun_test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_runtime_ = old;
        runtime_ = std::filesystem::current_path() / "runtime";
        std::filesystem::create_directory(runtime_);
        ::chmod(runtime_.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    }

    void TearDown() override {
        if (old_runtime_.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
        GuiTest::TearDown();
    }

    // Claims `folder` in a child process, as a later start does, while this process keeps its
    // event loop running; returns the child's outcome.
    static Outcome claim_elsewhere(const std::string& folder) {
        const pid_t child = ::fork();
        if (child == 0) {
            Outcome outcome = Outcome::unavailable;
            const auto held = SingleInstance::claim(folder, outcome);
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

    std::filesystem::path runtime_;
    std::string old_runtime_;
};

}  // namespace

TEST_F(SingleInstanceTest, ALaterStartForTheFolderAsksTheRunningCopyToShowItself) {
    Outcome outcome = Outcome::unavailable;
    const auto first = SingleInstance::claim("/home/user/lists", outcome);
    ASSERT_EQ(outcome, Outcome::first);
    int shown = 0;
    first->serve([&] { ++shown; });

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
    next->serve([&] { ++shown; });
    EXPECT_EQ(claim_elsewhere("/home/user/lists"), Outcome::handed_over);
    EXPECT_EQ(shown, 1);
}

TEST_F(SingleInstanceTest, TheRendezvousIsInAFolderOnlyTheUserCanEnter) {
    const std::string in_runtime = SingleInstance::rendezvous_path("/a");
    EXPECT_EQ(in_runtime.rfind(runtime_.string() + "/kestrun-", 0), 0u) << in_runtime;
    EXPECT_NE(in_runtime, SingleInstance::rendezvous_path("/b"));

    // A runtime folder others may enter is not used; nor is a missing one.
    ::chmod(runtime_.c_str(), 0755);
    const std::string fallback = "/tmp/kestrun-" + std::to_string(::geteuid()) + "/kestrun-";
    EXPECT_EQ(SingleInstance::rendezvous_path("/a").rfind(fallback, 0), 0u);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::rendezvous_path("/a").rfind(fallback, 0), 0u);
    struct stat status {};
    ASSERT_EQ(::stat(("/tmp/kestrun-" + std::to_string(::geteuid())).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}
