#include "platform/platform.h"

#include <windows.h>

namespace plat {

FileKind file_kind(const std::filesystem::path& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DEVICE)) return FileKind::other;
    // Symbolic links and junctions, and any other reparse point: what they
    // stand for is not the folder's own.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::folder : FileKind::file;
}

}  // namespace plat
