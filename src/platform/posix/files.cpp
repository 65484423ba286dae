#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

// The ways the kernel copies file to file, best first. A way it has refused
// once (an old kernel, a file system without it, two file systems it will
// not copy between) is not asked again in this run.
enum KernelCopy { copy_range = 0, copy_sendfile = 1, copy_none = 2 };
KernelCopy kernel_copy = copy_range;

// What the kernel answers when it will not copy where a write still can.
bool refused(int error) { return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL; }

ssize_t copy_once(int from, off_t* at, int to, std::size_t count) {
    if (kernel_copy == copy_range) return copy_file_range(from, at, to, nullptr, count, 0);
    return sendfile(to, from, at, count);
}

}  // namespace

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

int write_file_from_view(FileHandle file, const FileView* view, std::uint32_t offset, std::uint32_t length,
                         std::uint32_t* written) {
    // The bytes go from the payload's page cache to the file's without
    // passing through the mapping, which would cost a fault and a TLB fill
    // per page of it.
    std::uint32_t done = 0;
    while (view->file != -1 && done < length && kernel_copy != copy_none) {
        off_t at = static_cast<off_t>(offset) + done;
        ssize_t n = copy_once(static_cast<int>(view->file), &at, static_cast<int>(file), length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && !refused(errno)) {
            *written = done;
            return 1;
        }
        // The file ended before its view did (it shrank under us): the
        // write below meets that end as it always has.
        if (n == 0) break;
        kernel_copy = static_cast<KernelCopy>(kernel_copy + 1);
    }
    std::uint32_t rest = 0;
    int result = write_file(file, view->base + offset + done, length - done, &rest);
    *written = done + rest;
    return result;
}

void close_file(FileHandle file) {
    if (file != invalid_file) close(static_cast<int>(file));
}

}  // namespace plat
