#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

// The ways the kernel copies file to file, best first. A way it has refused
// once (an old kernel, a file system that cannot splice) is not asked again
// in this run.
enum KernelCopy { copy_rounds = 0, copy_sendfile = 1, copy_none = 2 };
KernelCopy kernel_copy = copy_rounds;

// sendfile and copy_file_range move data through a pipe of 16 pages, read
// from whole pages of the source; an entry at an odd offset in the payload
// then reaches its file in pieces that begin and end inside pages, and the
// kernel builds the file of small pieces of page cache: half as slow again
// as cp. So large entries go through a pipe of our own, in rounds of a
// power of two landing at multiples of it in the file, which the kernel
// writes in large aligned pieces; the rest, shorter than a round, goes by
// sendfile.
constexpr int wanted_pipe_bytes = 1 << 20;
int round_pipe[2] = {-1, -1};
std::size_t round_bytes = 0;  // half the pipe: a round at any offset fits it

// What the kernel answers when it will not copy where a write still can.
bool refused(int error) { return error == ENOSYS || error == EOPNOTSUPP || error == EINVAL || error == EXDEV; }

void drop_round_pipe() {
    for (int& end : round_pipe) {
        if (end != -1) close(end);
        end = -1;
    }
}

bool round_pipe_ready() {
    if (round_pipe[0] != -1) return true;
    if (pipe2(round_pipe, O_CLOEXEC) != 0) return false;
    fcntl(round_pipe[1], F_SETPIPE_SZ, wanted_pipe_bytes);
    int size = fcntl(round_pipe[1], F_GETPIPE_SZ);
    round_bytes = size > 0 ? static_cast<std::size_t>(size) / 2 : 0;
    if (round_bytes >= 4096) return true;
    drop_round_pipe();
    return false;
}

// One round of count bytes from `from` at `at` to the end of `to`. The count
// that reached `to` (0 at the end of `from`), or -1 with errno when none
// did. Whatever of a round the pipe still holds after a failure is dropped
// with the pipe, so the next step begins again where `to` ends.
ssize_t copy_round(int from, off_t at, int to, std::size_t count) {
    ssize_t in;
    do {
        in = splice(from, &at, round_pipe[1], nullptr, count, SPLICE_F_MOVE);
    } while (in == -1 && errno == EINTR);
    if (in <= 0) return in;
    ssize_t out = 0;
    while (out < in) {
        ssize_t n = splice(round_pipe[0], nullptr, to, nullptr, static_cast<std::size_t>(in - out), SPLICE_F_MOVE);
        if (n == -1 && errno == EINTR) continue;
        // An output that takes nothing is left to the ways after this one,
        // which say why.
        if (n == 0) errno = EINVAL;
        if (n <= 0) break;
        out += n;
    }
    if (out < in) {
        int error = errno;
        drop_round_pipe();
        errno = error;
        if (out == 0) return -1;
    }
    return out;
}

// One step of the kernel's copy: a round while a whole one is left, sendfile
// for the rest. As copy_round for its result.
ssize_t copy_step(int from, off_t at, int to, std::size_t left) {
    if (kernel_copy == copy_rounds) {
        if (!round_pipe_ready()) {
            kernel_copy = copy_sendfile;
        } else if (left >= round_bytes) {
            return copy_round(from, at, to, round_bytes);
        }
    }
    return sendfile(to, from, &at, left);
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
        KernelCopy way = kernel_copy;
        ssize_t n = copy_step(static_cast<int>(view->file), static_cast<off_t>(offset) + done, static_cast<int>(file),
                              length - done);
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
        if (way == copy_rounds) drop_round_pipe();
        kernel_copy = static_cast<KernelCopy>(way + 1);
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
