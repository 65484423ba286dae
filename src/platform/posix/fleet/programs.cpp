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
#include <sys/file.h>
#include <sys/sendfile.h>
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
    // The output is opened and locked here, then handed over: the lock
    // lives on in the program's descriptor once this process closes its
    // own, and ends only with the program.
    int out = open(start.stdout_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out == -1) return errno;
    if (flock(out, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(out);
        return error;
    }
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out, 1);
    if (start.stderr_path != nullptr)
        posix_spawn_file_actions_addopen(&setup.actions, 2, start.stderr_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    else
        posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    // Whatever a library of this process opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    pid_t started = 0;
    int error = posix_spawn(&started, start.path, &setup.actions, &setup.attributes, start.argv, start.envp);
    close(out);
    if (error == 0) *pid = static_cast<int>(started);
    return error;
}

bool output_in_use(const std::string& stdout_path) {
    int fd = open(stdout_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

namespace {

// Stop signals are read before programs are reaped: an interrupt sent
// to the whole process group is pending here by the time a program it
// ended can be reaped, so the stop is never taken for that program's own
// failure.
StopRequest first_stop = StopRequest::none;

void take_signals(StopRequest* stop) {
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT) *stop = StopRequest::interrupt;
        if (info.ssi_signo == SIGTERM) *stop = StopRequest::terminate;
    }
    if (first_stop == StopRequest::none) first_stop = *stop;
}

// Waits up to ms for fd to be readable or a stop signal: false once a
// stop was asked.
bool wait_readable(int fd, int ms) {
    if (stop_asked() != StopRequest::none) return false;
    pollfd watched[2] = {{signal_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    poll(watched, fd == -1 ? 1 : 2, ms);
    return stop_asked() == StopRequest::none;
}

}  // namespace

StopRequest stop_asked() {
    StopRequest stop = StopRequest::none;
    if (signal_fd != -1) take_signals(&stop);
    return first_stop;
}

bool pause_unless_stopped(int ms) {
    std::uint64_t until = monotonic_ms() + static_cast<std::uint64_t>(ms);
    for (std::uint64_t now = monotonic_ms(); now < until; now = monotonic_ms())
        if (!wait_readable(-1, static_cast<int>(until - now))) return false;
    return stop_asked() == StopRequest::none;
}

int read_standard_input(std::string* text) {
    char buffer[65536];
    for (;;) {
        if (!wait_readable(0, -1)) return -1;
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got == 0) return 0;
        if (got > 0) text->append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR && errno != EAGAIN) return errno;
    }
}

int copy_file_unless_stopped(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in == -1) return errno;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
    if (out == -1) {
        int error = errno;
        close(in);
        return error;
    }
    // In pieces of 8 MiB, the kernel copying: a stop is looked at between them.
    constexpr std::size_t piece = 8u << 20;
    int result = 0;
    for (;;) {
        if (stop_asked() != StopRequest::none) {
            result = -1;
            break;
        }
        ssize_t copied = copy_file_range(in, nullptr, out, nullptr, piece, 0);
        if (copied == -1 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL)) copied = sendfile(out, in, nullptr, piece);
        if (copied == 0) break;
        if (copied == -1 && errno != EINTR) {
            result = errno;
            break;
        }
    }
    close(in);
    if (close(out) != 0 && result == 0) result = errno;
    if (result != 0) unlink(to.c_str());
    return result;
}

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
