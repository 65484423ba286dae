// The FILEs of a pack request turned into archive members: files as named,
// folders walked below them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "zip_writer.h"

namespace pack {

// True when a and b name one existing file.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// Appends a member for every FILE, in the order given. A folder stands for
// every regular file below it, stored under its name relative to the base
// with '/' separators, sorted by the bytes of those names, and never the
// output itself. base (empty for the current directory) is where the
// FILEs' names are found, as with tar -C. Returns an empty string, or the
// first refusal: an unsafe name, a link, device, FIFO or socket met on a
// walk, a folder that holds no file, anything else that is not a regular
// file, or a file that is the output.
std::string collect_members(const std::string& base, const std::vector<std::string>& files,
                            const std::string& output, std::vector<Member>& members);

}  // namespace pack
