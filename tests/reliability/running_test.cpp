// The program at work: launch-all of a hundred entries through the system's launcher, and
// another process rewriting applications.dat while the windows use it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dialogs_fixture.h"
#include "gui_fixture.h"
#include "launch_record.h"
#include "launcher.h"
#include "probe_runner.h"
#include "process_probes.h"
#include "unit1.h"

namespace {

using namespace kestrun_test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Our children that have exited and were not reaped.
std::vector<std::string> our_zombies() {
    std::vector<std::string> zombies;
    const std::string ours = std::to_string(::getpid());
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat)) continue;
        // pid (comm) state ppid ...: comm may hold blanks, so read after the last ')'.
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == ours && state == "Z") zombies.push_back(entry.path().filename().string());
    }
    return zombies;
}

using RunningProgram = GuiTest;

TEST_F(RunningProgram, LaunchAllStartsAHundredEntriesAndLeavesNothingBehind) {
    const fs::path dir = fs::current_path();
    fs::create_symlink(KESTRUN_RELIABILITY_PROBE, dir / "p");  // keeps the lines short
    constexpr int entries = 100;
    std::vector<store::LaunchRecord> records;
    for (int i = 0; i < entries; ++i) {
        const std::string line =
            (dir / "p").string() + " fds " + (dir / ("fds." + std::to_string(i))).string();
        ASSERT_LE(line.size(), store::path_capacity);
        records.push_back(record("Entry " + std::to_string(i), line, 1));
    }
    write_list(records);

    // Descriptors of ours that would reach a child if nothing closed them: none close-on-exec.
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const int plain_file = ::open(list_path().c_str(), O_RDONLY);
    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(plain_file, 0);
    ASSERT_GE(socket, 0);

    platform::Services real = platform::services();
    real.launch = platform::launch_command_line;
    const platform::ScopedServices real_launcher(real);
    const int fds_before = open_descriptor_count();
    const auto start = Clock::now();
    {
        Windows w;
        w.form.Button5->click();
    }
    const double launch_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(error_boxes.empty());
    const int fds_after = open_descriptor_count();
    EXPECT_EQ(fds_after, fds_before);

    // Every entry started and reported the descriptors it was given.
    int reported = 0;
    eventually(
        [&] {
            reported = 0;
            for (int i = 0; i < entries; ++i)
                reported += fs::exists(dir / ("fds." + std::to_string(i)));
            return reported == entries;
        },
        30);
    ASSERT_EQ(reported, entries);
    std::map<std::string, int> seen;  // "<fd> <target>" lines, counted over all children
    for (int i = 0; i < entries; ++i) {
        std::ifstream in(dir / ("fds." + std::to_string(i)));
        std::set<std::string> numbers;
        for (std::string line; std::getline(in, line);) {
            ++seen[line];
            numbers.insert(line.substr(0, line.find(' ')));
            if (line.rfind("0 ", 0) == 0) {
                EXPECT_EQ(line, "0 /dev/null");
            }
        }
        EXPECT_EQ(numbers, (std::set<std::string>{"0", "1", "2"})) << "entry " << i;
    }
    EXPECT_TRUE(our_zombies().empty());
    // The launcher reaped its intermediate children: we have none left at all.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    ::close(plain_file);
    ::close(socket);
    std::printf(
        "reliability: launch-all of %d entries took %.3f s; %d started, each with descriptors "
        "0-2 only (4 of ours open without close-on-exec), zombies 0, descriptors of ours %d -> "
        "%d\n",
        entries, launch_seconds, reported, fds_before, fds_after);
}

std::string texts(const std::map<std::string, int>& counts) {
    std::string out;
    for (const auto& [text, n] : counts) out += "\n  " + std::to_string(n) + " x " + text;
    return out;
}

TEST_F(RunningProgram, ListRewrittenByAnotherProcessNeverUpsetsItAndTheNextActionSeesIt) {
    write_list({record("Name 0", "/bin/app0", 1), record("Name 1", "/bin/app1", 0)});
    const std::string dir = fs::current_path().string();
    std::atomic<bool> rewriting{true};
    reliability_test::ProbeRun rewriter;
    std::thread other([&] {
        rewriter = reliability_test::run_probe({"rewrite", dir, "2500"}, dir);
        rewriting = false;
    });

    int windows = 0, actions = 0;
    while (rewriting) {
        Windows w;
        ++windows;
        for (QAction* item : w.form.RunApplication1->actions()) {
            item->trigger();  // launch-one
            ++actions;
        }
        if (w.form.CheckListBox1->count() > 0) {
            QListWidgetItem* line = w.form.CheckListBox1->item(0);
            line->setCheckState(line->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
            w.form.CheckListBox1->setCurrentRow(0);
            const auto edit = when_modal_opens();  // closes Edit Launch's dialog, if it opens
            w.form.Button2->click();
            w.form.CheckListBox1->setCurrentRow(0);
            w.confirm.Button1->click();  // a confirmed delete
            actions += 3;
        }
        w.form.Button5->click();  // launch-all
        ++actions;
    }
    other.join();
    ASSERT_EQ(rewriter.exit_status, 0) << rewriter.output;
    EXPECT_GT(rewriter.number("atomic"), 10) << rewriter.output;
    EXPECT_GT(rewriter.number("in_place"), 10) << rewriter.output;
    EXPECT_GT(rewriter.number("removed"), 5) << rewriter.output;

    // Whatever was shown was one of the list's own messages.
    std::map<std::string, int> shown;
    for (const auto& box : error_boxes) ++shown[box.second.toStdString()];
    const std::set<std::string> expected_kinds = {
        "Read beyond end of file.", "File not found.",
        "temp.dat is not safe to use: it belongs to another user or others may write to it."};
    for (const auto& [text, n] : shown) EXPECT_TRUE(expected_kinds.count(text)) << text;

    // The list settles; a window made before that acts on the new list.
    Windows w;
    write_list({record("Final A", "/bin/final-a", 1), record("Final B", "/bin/final-b", 0),
                record("Final C", "/bin/final-c --go", 1)});
    launched.clear();
    error_boxes.clear();
    w.form.Button5->click();
    EXPECT_EQ(launched, (std::vector<std::string>{"/bin/final-a", "/bin/final-c --go"}));
    EXPECT_TRUE(error_boxes.empty());
    std::printf(
        "reliability: while another process rewrote the list (%s atomic rewrites, %s in place, "
        "%s removals), %d windows made %d actions; error boxes:%s\n",
        rewriter["atomic"].c_str(), rewriter["in_place"].c_str(), rewriter["removed"].c_str(),
        windows, actions, shown.empty() ? " none" : texts(shown).c_str());
}

}  // namespace
