// What a name met on a folder walk stands for, a link not followed. The
// library's own answer cannot serve on Windows, where it follows links and
// junctions (a junction to a folder above would make the walk endless).
#pragma once

#include <filesystem>

namespace pack {

enum class FileKind { file, folder, link, other };

// other: a device, FIFO or socket, or a name that cannot be examined.
FileKind file_kind(const std::filesystem::path& path);

}  // namespace pack
