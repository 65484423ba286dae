#include "platform/platform.h"

#include <system_error>

namespace plat {

FileKind file_kind(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
    if (ec) return FileKind::other;
    if (std::filesystem::is_symlink(status)) return FileKind::link;
    if (std::filesystem::is_directory(status)) return FileKind::folder;
    return std::filesystem::is_regular_file(status) ? FileKind::file : FileKind::other;
}

}  // namespace plat
