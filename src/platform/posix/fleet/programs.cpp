// Starting and reaping holm-fleet's programs. Every program is started
// with posix_spawn, which borrows this process's memory until the program
// runs (clone with CLONE_VM and CLONE_VFORK): a fork of a large process
// would copy its page tables, thousands of times a run.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plat {

namespace {

int signal_fd = -1;
int wake_fd = -1;

// The signals a started program gets back at their defaults: those this
// process takes through signal_fd, and those a program may have been
// started with ignored.
sigset_t defaulted_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) sigaddset(&set, s);
    return set;
}

// Owns a spawn's attributes and file actions for one start.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults = defaulted_signals();
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void reap(std::vector<Ended>& ended) {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        Ended e{static_cast<int>(pid), 0, 0};
        if (WIFEXITED(status)) e.exit_status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
        ended.push_back(e);
    }
}

}  // namespace

int supervise_start() {
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t taken;
    sigemptyset(&taken);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&taken, s);
    if (pthread_sigmask(SIG_BLOCK, &taken, nullptr) != 0) return errno;
    signal_fd = signalfd(-1, &taken, SFD_CLOEXEC | SFD_NONBLOCK);
    return signal_fd == -1 ? errno : 0;
}

int start_program(const ProgramStart& start, int* pid) {
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, start.stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (start.stderr_path != nullptr)
        posix_spawn_file_actions_addopen(&setup.actions, 2, start.stderr_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    else
        posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    pid_t started = 0;
    int error = posix_spawn(&started, start.path, &setup.actions, &setup.attributes, start.argv, start.envp);
    if (error == 0) *pid = static_cast<int>(started);
    return error;
}

namespace {

// Stop signals are read before programs are reaped: an interrupt sent
// to the whole process group is pending here by the time a program it
// ended can be reaped, so the stop is never taken for that program's own
// failure.
void take_signals(StopRequest* stop) {
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT) *stop = StopRequest::interrupt;
        if (info.ssi_signo == SIGTERM) *stop = StopRequest::terminate;
    }
}

}  // namespace

void wait_events(int timeout_ms, std::vector<Ended>& ended, StopRequest* stop) {
    std::size_t before = ended.size();
    take_signals(stop);
    reap(ended);
    if (ended.size() != before || *stop != StopRequest::none) return;
    pollfd watched[2] = {{signal_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (poll(watched, wake_fd == -1 ? 1 : 2, timeout_ms) <= 0) return;
    take_signals(stop);
    std::uint64_t posted = 0;
    if (wake_fd != -1) (void)!read(wake_fd, &posted, sizeof posted);
    reap(ended);
}

int wake_open() {
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wake_fd == -1 ? errno : 0;
}

void wake_post() {
    std::uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
}

void stop_program(int pid) { kill(static_cast<pid_t>(pid), SIGTERM); }
void kill_program(int pid) { kill(static_cast<pid_t>(pid), SIGKILL); }

int run_program(char* const* argv, const char* capture) {
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 2, capture, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv, environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool may_read(const std::string& path) { return access(path.c_str(), R_OK) == 0; }
bool may_run(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
bool may_write(const std::string& path) { return access(path.c_str(), W_OK) == 0; }

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}

std::vector<std::string> environment() {
    std::vector<std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) all.emplace_back(*entry);
    return all;
}

}  // namespace plat
