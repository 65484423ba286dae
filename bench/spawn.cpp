// Start-up cost: many runs of one command from a compiled loop, so that no
// interpreter's own process start is counted.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench.h"

extern char** environ;

namespace bench {

int spawn(int argc, char* argv[]) {
    if (argc < 2) return 2;
    const int count = std::atoi(argv[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        pid_t child = 0;
        if (posix_spawn(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
            std::perror("spawn");
            return 1;
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    std::printf("each %.9f\n", took / count);
    return 0;
}

}  // namespace bench
