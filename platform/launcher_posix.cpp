// Starts a stored command line as a program of its own: no shell, no waiting, detached from us.
//
// Words: blanks (space, tab) separate them; double quotes group and are removed, so "" is an
// empty word and an unterminated quote runs to the end of the line. Nothing else is special:
// a backslash is an ordinary character (also before a quote), and $, `, ;, |, *, ~ and the
// like reach the program as they stand.
//
// The started program keeps our stdout and stderr, so a user who runs us from a terminal sees
// its output; where we were started without them it gets /dev/null there, as on stdin. It gets
// our environment and working directory, less what the desktop handed to this start alone: its
// startup-notification id and activation token are ours to use, and a program we start minutes
// later must not take them for its own.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher.h"

extern char** environ;

namespace platform {

namespace {

// Set by the desktop for the start of one program (X11 startup notification, Wayland activation).
constexpr const char* starts_own_variables[] = {"DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"};

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The first executable file of that name in a folder of PATH, or "" if none. Only absolute
// entries count: an empty one (a stray colon, or PATH set empty) or a relative one would
// name the working directory, which is the list's folder, as execvp takes them.
std::string find_in_path(const std::string& name) {
    const char* env_path = std::getenv("PATH");
    const std::string dirs = env_path != nullptr ? env_path : "/bin:/usr/bin";
    std::string::size_type begin = 0;
    while (true) {
        const std::string::size_type end = dirs.find(':', begin);
        std::string candidate = dirs.substr(begin, end == std::string::npos ? end : end - begin);
        if (!candidate.empty() && candidate.front() == '/') {
            candidate.push_back('/');
            candidate.append(name);
            if (is_executable_file(candidate)) return candidate;
        }
        if (end == std::string::npos) return {};
        begin = end + 1;
    }
}

// Everything the child needs, built before fork: a child of a threaded process must not
// allocate.
struct ExecPlan {
    std::string program;
    std::vector<std::string> words;
    std::vector<char*> argv;
    // For a file the kernel cannot run (no interpreter line): run it by sh, as a shell does.
    std::string shell = "/bin/sh";
    std::vector<char*> shell_argv;
    std::vector<std::string> environment;
    std::vector<char*> envp;
    long max_fd = 0;
};

bool is_starts_own(const char* entry) {
    for (const char* name : starts_own_variables) {
        const std::size_t length = std::strlen(name);
        if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
    }
    return false;
}

void fill_argv(ExecPlan& plan) {
    for (std::string& word : plan.words) plan.argv.push_back(word.data());
    plan.argv.push_back(nullptr);
    plan.shell_argv.push_back(plan.shell.data());
    plan.shell_argv.push_back(plan.program.data());
    for (std::size_t i = 1; i < plan.words.size(); ++i) {
        plan.shell_argv.push_back(plan.words[i].data());
    }
    plan.shell_argv.push_back(nullptr);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!is_starts_own(*entry)) plan.environment.emplace_back(*entry);
    }
    for (std::string& entry : plan.environment) plan.envp.push_back(entry.data());
    plan.envp.push_back(nullptr);
}

// Only async-signal-safe calls from here to exec.
void close_descriptors_above_stderr(long max_fd) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    for (long fd = 3; fd < max_fd; ++fd) close(static_cast<int>(fd));
}

// Whether a file the kernel cannot run is a script of sh. As bash decides: not when its first
// line has a NUL byte, which a text never has and another system's program always does (an ELF
// for another processor, a Windows .exe where a mount makes every file executable); sh would
// run whatever its bytes spell.
bool is_shell_script(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char start[80];
    ssize_t got;
    do {
        got = read(fd, start, sizeof start);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got < 0) return false;
    for (ssize_t i = 0; i < got && start[i] != '\n'; ++i) {
        if (start[i] == '\0') return false;
    }
    return true;
}

[[noreturn]] void exec_plan(const ExecPlan& plan) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &default_action, nullptr);
    }

    // Our stdout and stderr go on only when we were given them: a descriptor that is missing, or
    // that we opened close-on-exec ourselves (it took the number because it was free), is not.
    bool to_null[3] = {true, false, false};
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        to_null[fd] = flags < 0 || (flags & FD_CLOEXEC) != 0;
    }
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (!to_null[fd]) continue;
            if (null_fd == fd) {
                fcntl(fd, F_SETFD, 0);
            } else {
                dup2(null_fd, fd);
            }
        }
    }
    close_descriptors_above_stderr(plan.max_fd);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
    if (errno == ENOEXEC && is_shell_script(plan.program.c_str()))
        execve(plan.shell.c_str(), plan.shell_argv.data(), plan.envp.data());
    _exit(127);
}

// AddressSanitizer cannot follow a child that runs on a stack of ours it never saw; sanitized
// builds take the plain fork path.
#if defined(__SANITIZE_ADDRESS__)
#define KESTRUN_SANITIZED_ADDRESSES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUN_SANITIZED_ADDRESSES 1
#endif
#endif

#if defined(__linux__) && !defined(KESTRUN_SANITIZED_ADDRESSES)
// Each step of the start runs in our memory on a stack of its own, as posix_spawn's child does:
// no copy of our address space is made, which in a Qt program costs more than the exec itself.
constexpr std::size_t step_stack_size = 64 * 1024;

struct Steps {
    const ExecPlan* plan;
    char* program_stack_top;
};

int start_program(void* plan) {
    exec_plan(*static_cast<const ExecPlan*>(plan));
}

// The intermediate child: a session of its own, the program, and gone. CLONE_VFORK holds each
// parent until its child has exec'd or exited, so no two steps run in the shared memory at once.
int start_session(void* steps) {
    const Steps& s = *static_cast<const Steps*>(steps);
    setsid();
    clone(start_program, s.program_stack_top, CLONE_VM | CLONE_VFORK | SIGCHLD,
          const_cast<ExecPlan*>(s.plan));
    _exit(0);
}

pid_t start_intermediate(const ExecPlan& plan) {
    void* stacks = mmap(nullptr, 2 * step_stack_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED) return -1;
    char* base = static_cast<char*>(stacks);
    Steps steps{&plan, base + 2 * step_stack_size};
    // Both steps are over when clone returns: the stacks are free again.
    const pid_t child =
        clone(start_session, base + step_stack_size, CLONE_VM | CLONE_VFORK | SIGCHLD, &steps);
    munmap(stacks, 2 * step_stack_size);
    return child;
}
#else
pid_t start_intermediate(const ExecPlan& plan) {
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() == 0) exec_plan(plan);
        _exit(0);
    }
    return child;
}
#endif

// Double start: the intermediate child starts a session, starts the program and exits at once;
// we reap it, and the program is adopted by init, so it never becomes our zombie.
void start_detached(const ExecPlan& plan) {
    // Signals stay blocked across the start so that none of our handlers runs in the child.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = start_intermediate(plan);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (child < 0) return;

    // With SIGCHLD ignored, or a handler that reaps every child, the child is gone without a
    // status: ECHILD then just means it has exited.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

void launch_command_line(const std::string& command_line) {
    ExecPlan plan;
    // A path with a slash that names an executable file as a whole needs no quotes around its
    // spaces. A bare name is always looked up in PATH, never taken from the working directory.
    if (command_line.find('/') != std::string::npos && is_executable_file(command_line)) {
        plan.program = command_line;
        plan.words = {command_line};
    } else {
        plan.words = split_command_line(command_line);
        if (plan.words.empty() || plan.words.front().empty()) return;
        const std::string& name = plan.words.front();
        plan.program = name.find('/') != std::string::npos ? name : find_in_path(name);
        if (plan.program.empty()) return;
    }
    struct rlimit limit {};
    constexpr rlim_t most = 1 << 20;  // bounds the fallback loop when close_range is missing
    plan.max_fd = static_cast<long>(
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < most ? limit.rlim_cur : most);
    fill_argv(plan);
    start_detached(plan);
}

}  // namespace platform
