#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace plat {

Device open_device(const char* name) {
    // Only the DOS port names have a counterpart here; anything else is not
    // a device this program knows how to reach.
    if (std::strncmp(name, "LPT", 3) != 0) return 0;
    char* end = nullptr;
    long number = std::strtol(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || number < 1 || number > 64) return 0;
    char path[32];
    std::snprintf(path, sizeof path, "/dev/lp%ld", number - 1);
    // No O_CREAT: a missing port must fail rather than leave a plain file.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    return fd == -1 ? 0 : fd;
}

int write_device(Device device, const void* data, std::uint32_t length) {
    // The parallel driver may take a buffer in pieces; the caller asked for
    // one whole request, so keep going until it is all out.
    const char* next = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(static_cast<int>(device), next + done, length - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) return 1;
        done += static_cast<std::uint32_t>(n);
    }
    return 0;
}

void close_device(Device device) {
    if (device != 0) close(static_cast<int>(device));
}

}  // namespace plat
