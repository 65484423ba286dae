#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

bool path_exists(const char* path) {
    struct stat info {};
    return lstat(path, &info) == 0;
}

int make_directory(const char* path) {
    if (mkdir(path, 0777) == 0) return dir_created;
    return errno == EEXIST ? dir_exists : dir_failed;
}

FileHandle create_output_file(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    return fd == -1 ? invalid_file : fd;
}

int write_file(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written) {
    const char* next = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(static_cast<int>(file), next + done, length - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) {
            // A zero-byte write of a non-empty request would loop for ever;
            // report it as the short write it is.
            *written = done;
            return n == 0 ? 0 : 1;
        }
        done += static_cast<std::uint32_t>(n);
    }
    *written = done;
    return 0;
}

void close_file(FileHandle file) {
    if (file != invalid_file) close(static_cast<int>(file));
}

}  // namespace plat
