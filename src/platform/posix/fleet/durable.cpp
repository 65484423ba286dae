// Records that survive the machine: whole files flushed to the disk before
// they take the old ones' place, and the lock a run holds on its folder.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace plat {

namespace {

// One call on a descriptor of path, opened for reading; 0, or the error
// number.
int on_descriptor(const std::string& path, int (*call)(int)) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return errno;
    int result = call(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
}

// Flushes a file or a folder (its names) to the disk.
int flush_to_disk(const std::string& path) { return on_descriptor(path, fsync); }

}  // namespace

int flush_file_system(const std::string& path) { return on_descriptor(path, syncfs); }

int write_durably(const std::string& path, const std::string& text) {
    std::string fresh = path + ".new";
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd == -1) return errno;
    int result = 0;
    for (std::size_t done = 0; done < text.size() && result == 0;) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote > 0) done += static_cast<std::size_t>(wrote);
        else if (errno != EINTR) result = errno;
    }
    if (result == 0 && fsync(fd) != 0) result = errno;
    if (close(fd) != 0 && result == 0) result = errno;
    if (result == 0 && rename(fresh.c_str(), path.c_str()) != 0) result = errno;
    if (result != 0) {
        unlink(fresh.c_str());
        return result;
    }
    std::size_t slash = path.rfind('/');
    return flush_to_disk(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
}

bool hold_lock(const std::string& path) {
    // Left open on purpose: the lock is the process's until it ends.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    close(fd);
    return false;
}

}  // namespace plat
