#include "launcher.h"
#include "files.h"
#include "process_probes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::launch_command_line;
using platform::split_command_line;
using Words = std::vector<std::string>;

namespace {

TEST(SplitCommandLine, BlanksSeparateWords) {
    EXPECT_EQ(split_command_line("  one \t two\t\tthree  "), (Words{"one", "two", "three"}));
    EXPECT_TRUE(split_command_line("").empty());
    EXPECT_TRUE(split_command_line(" \t  ").empty());
    EXPECT_EQ(split_command_line("a\nb\rc"), (Words{"a\nb\rc"}));
}

TEST(SplitCommandLine, DoubleQuotesGroupAndAreRemoved) {
    EXPECT_EQ(split_command_line("\"/opt/My Apps/tool\" -x \"a  b\""),
              (Words{"/opt/My Apps/tool", "-x", "a  b"}));
    EXPECT_EQ(split_command_line("pre\"mid dle\"post next"), (Words{"premid dlepost", "next"}));
    EXPECT_EQ(split_command_line("a \"\" b"), (Words{"a", "", "b"}));
    EXPECT_EQ(split_command_line("\"\""), (Words{""}));
    EXPECT_EQ(split_command_line("a\"\"b"), (Words{"ab"}));
}

TEST(SplitCommandLine, UnterminatedQuoteRunsToTheEnd) {
    EXPECT_EQ(split_command_line("tool \"rest of  line"), (Words{"tool", "rest of  line"}));
    EXPECT_EQ(split_command_line("tool \""), (Words{"tool", ""}));
}

TEST(SplitCommandLine, NothingElseIsSpecial) {
    EXPECT_EQ(split_command_line("; | && $(touch x) `id` * ~ $HOME 'a b' c\\ d"),
              (Words{";", "|", "&&", "$(touch", "x)", "`id`", "*", "~", "$HOME", "'a", "b'", "c\\",
                     "d"}));
    // A backslash escapes nothing, not even a quote.
    EXPECT_EQ(split_command_line("\"C:\\dir\\\" next"), (Words{"C:\\dir\\", "next"}));
    EXPECT_EQ(split_command_line("\"say \\\"hi\\\"\""), (Words{"say \\hi\\"}));
}

Words lines_of(const std::string& text) {
    Words lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Started programs write their results under a temporary name and rename them into place.
std::optional<std::string> wait_for_file(const fs::path& path) {
    if (!kestrun_test::eventually([&] { return fs::exists(path); }, 5)) return std::nullopt;
    return kestrun_test::read_bytes(path.string());
}

// A zombie would still be our child; the started programs never are.
bool no_child_left() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

class EnvGuard {
  public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved_ = value;
    }
    ~EnvGuard() {
        if (saved_) {
            setenv(name_, saved_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

class SignalGuard {
  public:
    SignalGuard() {
        for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, nullptr, &actions_[sig]);
        pthread_sigmask(SIG_SETMASK, nullptr, &mask_);
    }
    ~SignalGuard() {
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &actions_[sig], nullptr);
        }
        pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

  private:
    struct sigaction actions_[NSIG] {};
    sigset_t mask_{};
};

void set_action(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a waiting call sees EINTR
    sigaction(sig, &action, nullptr);
}

void ignore_signal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Like a toolkit that reaps every child it is told about.
void reap_all(int) {
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

class Launcher : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "kestrun-launcher-XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir_ = fs::canonical(name);
        out_ = dir_ / "out";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    static void write_file(const fs::path& path, const std::string& text, bool executable) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        fs::permissions(path, executable ? fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec
                                         : fs::perms::owner_read | fs::perms::owner_write);
    }

    // Sh code that writes $0 and the arguments, one a line, to out_.
    std::string recording_code() const {
        const fs::path tmp = out_.string() + ".tmp";
        return "{ printf '%s\\n' \"$0\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > " +
               quoted(tmp) + "\nmv " + quoted(tmp) + " " + quoted(out_) + "\n";
    }

    fs::path write_recorder(const fs::path& path) const {
        write_file(path, "#!/bin/sh\n" + recording_code(), true);
        return path;
    }

    // Launches and returns what the recorder saw, or nothing if it did not run within 5 s.
    std::optional<Words> run_recorded(const std::string& command_line) const {
        launch_command_line(command_line);
        const std::optional<std::string> text = wait_for_file(out_);
        if (!text) return std::nullopt;
        fs::remove(out_);
        return lines_of(*text);
    }

    // A program that lists its descriptors ("number target" lines) into `listing`, then leaves
    // `listing`.done. find writes the listing itself: a redirection would add the shell's own
    // saved descriptors.
    fs::path write_descriptor_lister(const fs::path& path, const fs::path& listing) const {
        write_file(path,
                   "#!/bin/sh\nfind /proc/$$/fd -mindepth 1 -fprintf " + quoted(listing) +
                       " '%f %l\\n'\n: > " + quoted(fs::path(listing.string() + ".done")) + "\n",
                   true);
        return path;
    }

    static std::map<int, std::string> descriptor_listing(const fs::path& listing) {
        std::map<int, std::string> fds;
        for (const std::string& line : lines_of(kestrun_test::read_bytes(listing.string()))) {
            const auto blank = line.find(' ');
            if (blank == std::string::npos) {
                ADD_FAILURE() << line;
                continue;
            }
            fds[std::stoi(line.substr(0, blank))] = line.substr(blank + 1);
        }
        return fds;
    }

    fs::path dir_;
    fs::path out_;
};

TEST_F(Launcher, WholeLineNamingAnExecutableIsTheProgramEvenWithBlanks) {
    const fs::path tool = write_recorder(dir_ / "My Apps" / "tool");
    EXPECT_EQ(run_recorded(tool.string()), (Words{tool.string()}));

    // The whole line wins over its first word; when it is not executable the line is split.
    const fs::path whole = write_recorder(dir_ / "prog -x");
    const fs::path first = write_recorder(dir_ / "prog");
    EXPECT_EQ(run_recorded(whole.string()), (Words{whole.string()}));
    fs::permissions(whole, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run_recorded(whole.string()), (Words{first.string(), "-x"}));
}

TEST_F(Launcher, QuotedProgramReceivesItsArgumentsExactly) {
    const fs::path rec = write_recorder(dir_ / "My Apps" / "rec");
    EXPECT_EQ(run_recorded("\"" + rec.string() + "\" one \"two  three\" \"\" 'four' five\\ six"),
              (Words{rec.string(), "one", "two  three", "", "'four'", "five\\", "six"}));
}

TEST_F(Launcher, HostileTextReachesTheProgramLiterally) {
    const std::string rec = write_recorder(dir_ / "rec").string();
    const std::string pwned = (dir_ / "pwned").string();
    const struct {
        std::string tail;
        Words arguments;
    } cases[] = {
        {"a; touch " + pwned, {"a;", "touch", pwned}},
        {"$(touch " + pwned + ")", {"$(touch", pwned + ")"}},
        {"`touch " + pwned + "`", {"`touch", pwned + "`"}},
        {"&& touch " + pwned, {"&&", "touch", pwned}},
        {"| touch " + pwned, {"|", "touch", pwned}},
        {"> " + pwned, {">", pwned}},
        {"~ * $HOME ${PATH}", {"~", "*", "$HOME", "${PATH}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        Words expected{rec};
        expected.insert(expected.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(run_recorded(rec + " " + c.tail), expected);
    }

    // Lines that only a shell would make sense of name no program at all.
    launch_command_line("$(touch " + pwned + ")");
    launch_command_line("`touch " + pwned + "`");
    launch_command_line("true;touch " + pwned);
    launch_command_line("X=1 touch " + pwned);
    EXPECT_EQ(run_recorded(rec + " last"), (Words{rec, "last"}));
    EXPECT_FALSE(fs::exists(pwned));
}

TEST_F(Launcher, BareNameIsSearchedInPath) {
    const EnvGuard path_guard("PATH");
    const fs::path first = dir_ / "first";
    const fs::path second = dir_ / "second";
    // Not executable in the first directory: the search goes on to the second.
    write_file(first / "kestrun-test-rec", "#!/bin/sh\n" + recording_code(), false);
    const fs::path rec = write_recorder(second / "kestrun-test-rec");
    const char* old_path = std::getenv("PATH");
    setenv("PATH",
           (first.string() + ":" + second.string() + ":" + (old_path ? old_path : "")).c_str(), 1);

    EXPECT_EQ(run_recorded("kestrun-test-rec x \"y z\""), (Words{rec.string(), "x", "y z"}));
}

// How many programs a launch started, counted exactly: a child of ours launches as a
// subreaper, so whatever the launch started becomes its child when the intermediate one
// exits, before the launch returns; reaping ends at once when there is none.
int programs_started(const std::string& command_line) {
    const pid_t pid = fork();
    if (pid == 0) {
        const kestrun_test::AdoptingOrphans adopting;
        if (!adopting.ok()) _exit(255);
        launch_command_line(command_line);
        _exit(kestrun_test::AdoptingOrphans::reap_all() & 0xff);  // -1, still running: 255
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Launcher, BareNameIsNotTakenFromTheWorkingDirectory) {
    const EnvGuard path_guard("PATH");
    const fs::path cwd = fs::current_path();
    // Leaves a file named after its argument count.
    write_file(dir_ / "localprog", "#!/bin/sh\n: > " + quoted(dir_ / "ran-") + "\"$#\"\n", true);
    setenv("PATH", "/usr/bin:/bin", 1);
    fs::current_path(dir_);

    // Counted exactly (see programs_started): when it returns, whatever started has ended.
    const int bare_started = programs_started("localprog");
    launch_command_line("./localprog dotted");
    const bool dotted_ran = wait_for_file(dir_ / "ran-1").has_value();
    fs::current_path(cwd);
    EXPECT_EQ(bare_started, 0);
    EXPECT_FALSE(fs::exists(dir_ / "ran-0"));
    EXPECT_TRUE(dotted_ran);
}

TEST_F(Launcher, PathEntriesThatNameTheWorkingDirectoryAreSkipped) {
    const EnvGuard path_guard("PATH");
    const fs::path cwd = fs::current_path();
    const fs::path folder = dir_ / "list folder";
    write_file(folder / "localprog", "#!/bin/sh\nexit 0\n", true);
    write_file(folder / "bin" / "localprog", "#!/bin/sh\nexit 0\n", true);
    fs::current_path(folder);
    std::map<std::string, int> started;
    for (const char* path : {"/usr/bin:/bin:", "/usr/bin::/bin", ":/usr/bin", "::", "", ":",
                             ".:/usr/bin", "bin:/usr/bin", "./bin"}) {
        setenv("PATH", path, 1);
        started[path] = programs_started("localprog");
    }
    // The same program through an absolute entry, after an empty one: found, and counted.
    setenv("PATH", ("::" + (folder / "bin").string()).c_str(), 1);
    const int absolute = programs_started("localprog");
    setenv("PATH", "/usr/bin:/bin", 1);
    const int true_started = programs_started("true");
    fs::current_path(cwd);

    for (const auto& [path, count] : started) EXPECT_EQ(count, 0) << "PATH=" << path;
    EXPECT_EQ(absolute, 1);
    EXPECT_EQ(true_started, 1);
}

TEST_F(Launcher, FileWithoutInterpreterLineRunsUnderShUnlessItIsAnotherSystemsProgram) {
    const fs::path plain = dir_ / "plain";
    write_file(plain, recording_code(), true);
    EXPECT_EQ(run_recorded(plain.string() + " arg"), (Words{plain.string(), "arg"}));

    // The kernel cannot run these either (another processor's ELF, a Windows program on a mount
    // where every file is executable); sh would run the line their bytes happen to spell.
    const fs::path pwned = dir_ / "pwned";
    const std::string spelled = "\ntouch " + quoted(pwned) + "\n";
    write_file(dir_ / "foreign.elf",
               std::string("\x7f"
                           "ELF\x02\x01\x01\0\0\0",
                           10) +
                   spelled,
               true);
    write_file(dir_ / "setup.exe", std::string("MZ\x90\0\x03\0", 6) + spelled, true);
    for (const char* name : {"foreign.elf", "setup.exe"}) {
        SCOPED_TRACE(name);
        programs_started((dir_ / name).string());  // returns once all it started has ended
        EXPECT_FALSE(fs::exists(pwned));
    }
}

TEST_F(Launcher, ChildIsDetachedWithDefaultSignalsAndNoneOfOurDescriptors) {
    const fs::path report = dir_ / "report";
    const fs::path done = dir_ / "done";
    write_file(report,
               "#!/bin/sh\n"
               // find writes the listing itself: a redirection would add the shell's own saved
               // descriptors.
               "find /proc/$$/fd -mindepth 1 -fprintf " +
                   quoted(dir_ / "fds") +
                   " '%f %l\\n'\n"
                   "read -r stat < /proc/$$/stat\n"
                   "printf '%s\\n' \"$stat\" > " +
                   quoted(dir_ / "stat") + "\n: > " + quoted(done) + "\n",
               true);

    std::string stat;
    std::string status;
    {
        const SignalGuard signal_guard;
        ignore_signal(SIGTERM);
        ignore_signal(SIGINT);
        ignore_signal(SIGPIPE);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        // Not close-on-exec, as a careless library would leave it.
        const int leak = open((dir_ / "leak-me").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(leak, 0);
        ASSERT_EQ(dup2(leak, 57), 57);
        close(leak);
        const int saved_stdin = dup(STDIN_FILENO);
        const int our_stdin = open((dir_ / "our-stdin").c_str(), O_RDONLY | O_CREAT, 0600);
        dup2(our_stdin, STDIN_FILENO);
        close(our_stdin);

        launch_command_line(report.string());
        // The shell clears its signal mask itself; cp shows what the launcher left.
        launch_command_line("cp /proc/self/status " + (dir_ / "status").string());
        close(57);
        dup2(saved_stdin, STDIN_FILENO);
        close(saved_stdin);
        ASSERT_TRUE(wait_for_file(done)) << "the report did not run";
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (status.find("nonvoluntary_ctxt_switches") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            status = kestrun_test::read_bytes((dir_ / "status").string());
        }
    }
    std::map<int, std::string> fds = descriptor_listing(dir_ / "fds");
    stat = kestrun_test::read_bytes((dir_ / "stat").string());

    auto own_fd = [](int fd) { return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)); };
    EXPECT_EQ(fds[0], "/dev/null");
    EXPECT_EQ(fds[1], own_fd(1).string());
    EXPECT_EQ(fds[2], own_fd(2).string());
    EXPECT_EQ(fds.count(57), 0u);
    for (const auto& [fd, target] : fds) {
        // Only the script, which the shell itself holds open, may be there beyond stderr.
        if (fd > 2) {
            EXPECT_EQ(target, report.string()) << "descriptor " << fd;
        }
    }

    // "pid (comm) state ppid pgrp session ..."
    const pid_t pid = std::stoi(stat);
    std::istringstream after_comm(stat.substr(stat.rfind(')') + 1));
    std::string state;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    pid_t session = 0;
    after_comm >> state >> ppid >> pgrp >> session;
    ASSERT_FALSE(after_comm.fail()) << stat;
    EXPECT_NE(session, getsid(0));
    EXPECT_NE(pgrp, getpgrp());
    // Not the leader of its session, so it cannot take a terminal by accident.
    EXPECT_NE(session, pid);
    EXPECT_NE(ppid, getpid());

    Words signal_lines;
    for (const std::string& line : lines_of(status)) {
        if (line.starts_with("SigBlk:") || line.starts_with("SigIgn:"))
            signal_lines.push_back(line);
    }
    EXPECT_EQ(signal_lines, (Words{"SigBlk:\t0000000000000000", "SigIgn:\t0000000000000000"}));
}

// Started without stdout, a process's first files take its numbers: the program gets /dev/null
// there, never a descriptor of ours (closed at its start, so its own first file would be its
// stdout) and never nothing.
TEST_F(Launcher, ChildOfACopyStartedWithoutStdoutOrStderrGetsDevNullThere) {
    const fs::path lister = write_descriptor_lister(dir_ / "lister", dir_ / "fds");
    for (const bool closed_only : {true, false}) {
        SCOPED_TRACE(closed_only ? "closed" : "closed, then taken by a file of ours");
        const pid_t copy = fork();
        if (copy == 0) {
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
            if (!closed_only) {
                // As the rendezvous or the list file would be opened: close-on-exec.
                const int ours = open((dir_ / "ours").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                const int more = open((dir_ / "ours").c_str(), O_RDWR | O_CLOEXEC);
                if (ours != STDOUT_FILENO || more != STDERR_FILENO) _exit(1);
            }
            launch_command_line(lister.string());
            _exit(0);
        }
        int status = 0;
        while (waitpid(copy, &status, 0) < 0 && errno == EINTR) {
        }
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_TRUE(wait_for_file(dir_ / "fds.done")) << "the lister did not run";
        std::map<int, std::string> fds = descriptor_listing(dir_ / "fds");
        EXPECT_EQ(fds[0], "/dev/null");
        EXPECT_EQ(fds[1], "/dev/null");
        EXPECT_EQ(fds[2], "/dev/null");
        fs::remove(dir_ / "fds");
        fs::remove(dir_ / "fds.done");
    }
}

// What the desktop hands to one start (startup notification, activation token) was ours to
// use; the rest of the environment is passed on as it is, whichever way the program is run.
TEST_F(Launcher, ChildGetsOurEnvironmentLessTheStartsOwnIdAndToken) {
    const EnvGuard startup_id("DESKTOP_STARTUP_ID");
    const EnvGuard token("XDG_ACTIVATION_TOKEN");
    const EnvGuard kept("KESTRUN_TEST_KEPT");
    const EnvGuard alike("XDG_ACTIVATION_TOKENS");
    const EnvGuard path("PATH");
    setenv("PATH", "/usr/bin:/bin", 1);
    setenv("DESKTOP_STARTUP_ID", "kestrun-1_TIME42", 1);
    setenv("XDG_ACTIVATION_TOKEN", "kwin-7_ab:3", 1);
    setenv("KESTRUN_TEST_KEPT", "a b=c", 1);
    setenv("XDG_ACTIVATION_TOKENS", "not the token", 1);
    const fs::path tmp = out_.string() + ".tmp";
    const std::string listing =
        "env > " + quoted(tmp) + "\nmv " + quoted(tmp) + " " + quoted(out_) + "\n";
    write_file(dir_ / "with-interpreter", "#!/bin/sh\n" + listing, true);
    write_file(dir_ / "without-interpreter", listing, true);
    for (const char* program : {"with-interpreter", "without-interpreter"}) {
        SCOPED_TRACE(program);
        const std::optional<Words> seen = run_recorded((dir_ / program).string());
        ASSERT_TRUE(seen) << "the program did not run";
        std::map<std::string, std::string> environment;
        for (const std::string& line : *seen) {
            const auto equals = line.find('=');
            if (equals != std::string::npos)
                environment[line.substr(0, equals)] = line.substr(equals + 1);
        }
        EXPECT_EQ(environment.count("DESKTOP_STARTUP_ID"), 0u);
        EXPECT_EQ(environment.count("XDG_ACTIVATION_TOKEN"), 0u);
        EXPECT_EQ(environment["KESTRUN_TEST_KEPT"], "a b=c");
        EXPECT_EQ(environment["XDG_ACTIVATION_TOKENS"], "not the token");
        EXPECT_EQ(environment["PATH"], "/usr/bin:/bin");
    }
    // Our own environment keeps them: they are ours to use.
    EXPECT_STREQ(std::getenv("XDG_ACTIVATION_TOKEN"), "kwin-7_ab:3");
}

TEST_F(Launcher, ReturnsAtOnceAndLeavesNoChildBehind) {
    const fs::path gated = dir_ / "gated";
    const fs::path started = dir_ / "started";
    const fs::path gate = dir_ / "gate";
    const fs::path done = dir_ / "done";
    // Gives up after about 5 s, so a launcher that waited would be slow rather than stuck.
    write_file(gated,
               "#!/bin/sh\n: > " + quoted(started) + "\ni=0\nwhile [ ! -e " + quoted(gate) +
                   " ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done\n: > " + quoted(done) +
                   "\n",
               true);

    const auto before = std::chrono::steady_clock::now();
    launch_command_line(gated.string());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_TRUE(no_child_left());

    ASSERT_TRUE(wait_for_file(started));
    EXPECT_FALSE(fs::exists(done));
    std::ofstream{gate};
    ASSERT_TRUE(wait_for_file(done));
    EXPECT_TRUE(kestrun_test::eventually(no_child_left, 5));  // once the program has exited
}

TEST_F(Launcher, StartsWhileSigchldIsIgnoredOrHandled) {
    const std::string rec = write_recorder(dir_ / "rec").string();
    const SignalGuard signal_guard;

    ignore_signal(SIGCHLD);
    EXPECT_EQ(run_recorded(rec + " ignored"), (Words{rec, "ignored"}));
    EXPECT_TRUE(no_child_left());

    set_action(SIGCHLD, reap_all);
    EXPECT_EQ(run_recorded(rec + " handled"), (Words{rec, "handled"}));
    EXPECT_TRUE(no_child_left());
}

TEST_F(Launcher, NothingRunnableStartsNothingAndReturnsPromptly) {
    const std::string rec = write_recorder(dir_ / "rec").string();
    const fs::path pwned = dir_ / "pwned";
    // A readable file without an execute bit is never fed to a shell.
    write_file(dir_ / "notes", "touch " + quoted(pwned) + "\n", false);
    fs::create_directory(dir_ / "sub");

    const std::string lines[] = {
        "",
        " \t ",
        "\"\"",
        "\"\" " + rec,
        "/nonexistent/kestrun/prog",
        "kestrun-no-such-program arg",
        (dir_ / "sub").string(),
        (dir_ / "notes").string(),
        (dir_ / "notes").string() + " arg",
    };
    const auto before = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_NO_THROW(launch_command_line(line));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

    EXPECT_EQ(run_recorded(rec + " after"), (Words{rec, "after"}));
    EXPECT_FALSE(fs::exists(pwned));
    EXPECT_TRUE(no_child_left());
}

}  // namespace
