#include "tree.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace pack {

namespace {

namespace fs = std::filesystem;

struct Walk {
    fs::path output;
    fs::path partial;
    std::vector<Member> found;
};

// An entry name from a path as given: "./" prefixes dropped.
std::string entry_name(std::string path) {
    while (path.rfind("./", 0) == 0) path.erase(0, 2);
    return path;
}

// The names below a folder given as path begin with this: nothing for the
// base folder itself, otherwise its name and one '/'.
std::string folder_prefix(const std::string& path) {
    std::string name = entry_name(path);
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name.empty() || name == "." ? "" : name + "/";
}

bool is_output(const Walk& walk, const fs::path& path) {
    return same_file(path, walk.output) || same_file(path, walk.partial);
}

std::string shown(const fs::path& path) { return path.lexically_normal().string(); }

// Adds the regular files below folder; the first thing met that is neither
// file nor folder refuses the whole walk.
std::string walk_folder(Walk& walk, const fs::path& folder, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        std::string name = prefix + path.filename().string();
        plat::FileKind kind = plat::file_kind(path);
        if (kind == plat::FileKind::link) return shown(path) + ": a symbolic link; name the file it points to instead";
        if (kind == plat::FileKind::other) return shown(path) + ": not a regular file (a device, FIFO or socket)";
        if (kind == plat::FileKind::folder) {
            std::string problem = walk_folder(walk, path, name + "/");
            if (!problem.empty()) return problem;
            continue;
        }
        if (is_output(walk, path)) continue;
        std::string reason = unsafe_name_reason(name);
        if (!reason.empty()) return shown(path) + ": " + reason;
        walk.found.push_back({path.string(), name});
    }
    return ec ? shown(folder) + ": cannot be read: " + ec.message() : "";
}

std::string add_folder(Walk& walk, const fs::path& folder, const std::string& given) {
    if (given.rfind('/', 0) == 0) return given + ": absolute entry name";
    std::string prefix = folder_prefix(given);
    if (!prefix.empty()) {
        std::string reason = unsafe_name_reason(prefix.substr(0, prefix.size() - 1));
        if (!reason.empty()) return given + ": " + reason;
    }
    std::size_t first = walk.found.size();
    std::string problem = walk_folder(walk, folder, prefix);
    if (!problem.empty()) return problem;
    if (walk.found.size() == first) return given + ": holds no file to pack";
    std::sort(walk.found.begin() + static_cast<long>(first), walk.found.end(),
              [](const Member& a, const Member& b) { return a.name < b.name; });
    return "";
}

std::string add_file(Walk& walk, const std::string& base, const std::string& given) {
    fs::path path = base.empty() ? fs::path(given) : fs::path(base) / given;
    std::string name = entry_name(given);
    std::error_code ec;
    if (fs::is_directory(path, ec)) return add_folder(walk, path, given);
    std::string reason = unsafe_name_reason(name);
    if (!reason.empty()) return given + ": " + reason;
    if (!fs::is_regular_file(path, ec)) return given + ": not a regular file";
    if (is_output(walk, path)) return given + ": is the output itself";
    walk.found.push_back({path.string(), name});
    return "";
}

}  // namespace

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ignored;
    return std::filesystem::equivalent(a, b, ignored);
}

std::string collect_members(const std::string& base, const std::vector<std::string>& files,
                            const std::string& output, std::vector<Member>& members) {
    std::error_code ec;
    if (!base.empty() && !fs::is_directory(base, ec)) return base + ": not a folder";
    Walk walk{output, output + ".partial", {}};
    try {
        for (const std::string& given : files) {
            std::string problem = add_file(walk, base, given);
            if (!problem.empty()) return problem;
        }
    } catch (const std::exception& error) {
        // A name the system's code page cannot spell, on Windows.
        return error.what();
    }
    members.insert(members.end(), walk.found.begin(), walk.found.end());
    return "";
}

}  // namespace pack
