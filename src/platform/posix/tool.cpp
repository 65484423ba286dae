// holm-pack's tools (osslsigncode): started with their input in a pipe and
// their output gathered from another.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plat {

namespace {

// Input larger than a pipe holds would block before the tool reads it.
constexpr std::size_t largest_input = 16384;

void close_both(int fds[2]) {
    if (fds[0] != -1) close(fds[0]);
    if (fds[1] != -1) close(fds[1]);
    fds[0] = fds[1] = -1;
}

int spawn(const std::vector<std::string>& argv, int in, int out, pid_t* pid) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The tool starts with no signal blocked or ignored, whatever holm-fleet
    // has done with its own (it takes INT, TERM and CHLD through a signalfd).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE, SIGHUP}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int error = posix_spawnp(pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

}  // namespace

int run_tool(const std::vector<std::string>& argv, const std::string& input, std::string* output) {
    output->clear();
    if (argv.empty() || input.size() > largest_input) return -1;
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        *output = std::strerror(errno);
        close_both(in);
        close_both(out);
        return -1;
    }
    // The pipe holds the whole input: written before the start, it cannot
    // block on a tool that never reads it.
    bool written = write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(in[1]);
    in[1] = -1;
    pid_t pid = 0;
    int error = written ? spawn(argv, in[0], out[1], &pid) : EIO;
    close_both(in);
    close(out[1]);
    if (error != 0) {
        close(out[0]);
        *output = std::strerror(error);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got > 0) output->append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string standard_input_name() { return "/dev/stdin"; }

}  // namespace plat
