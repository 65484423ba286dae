// A scratch file holding data, mapped as the payload is; removed with it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

struct MappedFile {
    std::string path = "/tmp/holm-view-XXXXXX";
    plat::FileView view;
    explicit MappedFile(const std::string& data) {
        int fd = mkstemp(path.data());
        if (fd == -1 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::abort();
        close(fd);
        if (plat::map_file(path.c_str(), &view) != plat::map_ok) std::abort();
    }
    ~MappedFile() {
        plat::unmap_file(&view);
        unlink(path.c_str());
    }
};
