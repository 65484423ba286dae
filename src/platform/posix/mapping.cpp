#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

int map_file(const char* path, FileView* view) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) return map_failed;
    struct stat info {};
    if (fstat(fd, &info) == -1 || info.st_size <= 0) {
        close(fd);
        return map_failed;
    }
    if (static_cast<unsigned long long>(info.st_size) > 0xFFFFFFFFull) {
        close(fd);
        return map_too_large;
    }
    void* base = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return map_failed;
    }
    view->base = static_cast<const unsigned char*>(base);
    view->size = static_cast<std::uint32_t>(info.st_size);
    view->file = fd;
    view->mapping = -1;  // POSIX needs no separate mapping object
    return map_ok;
}

void unmap_file(FileView* view) {
    if (view->base != nullptr) munmap(const_cast<unsigned char*>(view->base), view->size);
    if (view->file != -1) close(static_cast<int>(view->file));
    view->base = nullptr;
    view->size = 0;
    view->file = -1;
    view->mapping = -1;
}

}  // namespace plat
