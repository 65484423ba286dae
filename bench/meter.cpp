// The fleet benchmark's meter: runs a fleet program with everything it
// starts in one set of cgroups, and moves each bundle into a second set the
// moment the bundle is executed, so that the kernel's own accounting (CPU
// time, peak memory) separates the fleet program from the bundles exactly.
//
// A watcher that moves bundles after they appear counts whatever a bundle
// did before it was caught as the fleet's, and lags furthest behind when
// thousands start at once. Here every execve of the program's process tree
// stops in the kernel (seccomp user notification) until the meter has looked
// at the file executed and, for the bundle, moved the caller; the new image
// then runs from its first instruction in the bundles' cgroups.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "the meter knows the system call numbers of x86_64 and aarch64 only"
#endif

// The cgroup.procs files of one set of cgroups (one per hierarchy), opened
// before the meter enters the program's network namespace; none for "-".
std::vector<int> open_procs(const char* dirs) {
    std::vector<int> fds;
    std::string list = dirs;
    if (list == "-") return fds;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string path = list.substr(start, end - start) + "/cgroup.procs";
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd == -1) {
            std::perror(path.c_str());
            std::exit(125);
        }
        fds.push_back(fd);
        start = end + 1;
    }
    return fds;
}

// Moves the process PID into every cgroup of the set; false when it is
// already gone.
bool move(const std::vector<int>& procs, pid_t pid) {
    std::string text = std::to_string(pid);
    for (int fd : procs)
        if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return false;
    return true;
}

int install_filter() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execve, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execveat, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return static_cast<int>(
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
}

void send_fd(int socket, int fd) {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    if (sendmsg(socket, &message, 0) != 1) _exit(125);
}

int receive_fd(int socket) {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    if (recvmsg(socket, &message, 0) != 1) return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS) return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

// The child: into the fleet's cgroups, under the filter, then the program.
[[noreturn]] void run_program(const std::vector<int>& own, int socket, char* argv[]) {
    if (!move(own, getpid())) _exit(125);
    int listener = install_filter();
    if (listener == -1) {
        std::perror("seccomp");
        _exit(125);
    }
    send_fd(socket, listener);
    close(listener);
    close(socket);
    execvp(argv[0], argv);
    std::perror(argv[0]);
    _exit(127);
}

// The file a stopped execve or execveat names, read from the caller's
// memory and resolved against its working folder or its descriptor.
bool executed_file(const seccomp_notif& request, struct stat* file, std::string* name) {
    bool at = request.data.nr == SYS_execveat;
    unsigned long long where = at ? request.data.args[1] : request.data.args[0];
    std::string proc = "/proc/" + std::to_string(request.pid);
    int memory = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (memory == -1) return false;
    char path[4097] = {};
    ssize_t got = pread(memory, path, sizeof path - 1, static_cast<off_t>(where));
    close(memory);
    if (got <= 0) return false;
    path[got] = '\0';
    const char* slash = std::strrchr(path, '/');
    *name = slash != nullptr ? slash + 1 : path;
    int dirfd = static_cast<int>(request.data.args[0]);
    std::string base = !at || dirfd == AT_FDCWD ? proc + "/cwd" : proc + "/fd/" + std::to_string(dirfd);
    if (path[0] == '\0') return at && stat(base.c_str(), file) == 0;  // AT_EMPTY_PATH: fexecve
    if (path[0] == '/') return stat(path, file) == 0;
    int folder = open(base.c_str(), O_PATH | O_CLOEXEC);
    if (folder == -1) return false;
    bool found = fstatat(folder, path, file, 0) == 0;
    close(folder);
    return found;
}

struct Bundle {
    struct stat file;
    std::string name;  // its base name
};

struct Tally {
    long bundles = 0;   // executions of the bundle, moved
    double longest = 0;  // seconds: the longest that one answer took
    long others = 0;    // every other execution, left in place
    long missed = 0;    // bundles gone before they could be moved
    bool lingering = false;  // processes left running after the program ended
};

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The bundle, or a copy of it under its own name: the new holm-fleet runs
// only the copy it checked, in a private folder of its own.
bool is_bundle(const struct stat& file, const std::string& name, const Bundle& bundle) {
    bool same = file.st_dev == bundle.file.st_dev && file.st_ino == bundle.file.st_ino;
    return same || (name == bundle.name && file.st_size == bundle.file.st_size);
}

void answer(int listener, const seccomp_notif& request, const Bundle& bundle,
            const std::vector<int>& bundles, Tally& tally) {
    double started = monotonic_seconds();
    struct stat file {};
    std::string name;
    if (executed_file(request, &file, &name) && is_bundle(file, name, bundle)) {
        ++(move(bundles, static_cast<pid_t>(request.pid)) ? tally.bundles : tally.missed);
    } else {
        ++tally.others;
    }
    seccomp_notif_resp response{};
    response.id = request.id;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);  // ENOENT: the caller died meanwhile
    tally.longest = std::max(tally.longest, monotonic_seconds() - started);
}

// Answers every execve until the program has ended and no process is left
// under the filter (the listener then reports a hang-up), or ten seconds
// after the program's end: what it left running counts as lingering.
int serve(int listener, pid_t program, const Bundle& bundle, const std::vector<int>& bundles,
          Tally& tally) {
    int status = -1;
    int idle_after_end = -1;  // polls of 200 ms since the program ended
    for (;;) {
        pollfd wait{listener, POLLIN, 0};
        int ready = poll(&wait, 1, 200);
        if (ready == 1 && (wait.revents & POLLIN)) {
            seccomp_notif request{};
            if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) == 0)
                answer(listener, request, bundle, bundles, tally);
            continue;
        }
        if (idle_after_end < 0 && waitpid(program, &status, WNOHANG) == program) idle_after_end = 0;
        if (idle_after_end >= 0 && ready == 1 && (wait.revents & POLLHUP)) break;
        if (ready == -1 && errno != EINTR) break;
        if (idle_after_end >= 0 && ++idle_after_end > 50) {
            tally.lingering = true;
            break;
        }
    }
    if (idle_after_end < 0) waitpid(program, &status, 0);
    return status;
}

}  // namespace

int meter(int argc, char* argv[]) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: holm-bench meter REPORT NETNS OWN BUNDLES BUNDLE PROGRAM ARGS...\n");
        return 2;
    }
    const char* report = argv[0];
    std::vector<int> own = open_procs(argv[2]);
    std::vector<int> bundles = open_procs(argv[3]);
    Bundle bundle{};
    const char* slash = std::strrchr(argv[4], '/');
    bundle.name = slash != nullptr ? slash + 1 : argv[4];
    if (stat(argv[4], &bundle.file) != 0) {
        std::perror(argv[4]);
        return 125;
    }
    if (std::strcmp(argv[1], "-") != 0) {
        std::string name = std::string("/run/netns/") + argv[1];
        int ns = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns == -1 || setns(ns, CLONE_NEWNET) != 0) {
            std::perror(name.c_str());
            return 125;
        }
        close(ns);
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 125;
    pid_t program = fork();
    if (program == -1) return 125;
    if (program == 0) run_program(own, pair[1], argv + 5);
    close(pair[1]);
    int listener = receive_fd(pair[0]);
    close(pair[0]);
    Tally tally;
    int status = -1;
    if (listener == -1)
        waitpid(program, &status, 0);
    else
        status = serve(listener, program, bundle, bundles, tally);
    FILE* out = std::fopen(report, "w");
    if (out == nullptr) return 125;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    double cpu = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                 static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    std::fprintf(out, "status %d\nbundles %ld\nothers %ld\nmissed %ld\nlingering %d\ncpu %.3f\nlongest %.6f\n", code,
                 tally.bundles, tally.others, tally.missed, tally.lingering ? 1 : 0, cpu, tally.longest);
    std::fclose(out);
    return listener == -1 ? 125 : 0;
}

}  // namespace bench
