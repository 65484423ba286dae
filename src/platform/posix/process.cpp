#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace plat {

void init() {
    // A closed standard descriptor would be handed to the next socket or
    // device we open, and descriptor 0 reads as "no socket" above us.
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened != -1 && opened != fd) close(opened);
        }
    }
    // A peer that resets a connection must surface as a failed send, not
    // as a silent death.
    std::signal(SIGPIPE, SIG_IGN);
}

int last_error() { return errno; }

void sleep_ms(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

std::uint64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace plat
