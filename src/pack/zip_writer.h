// Writes a stored ZIP archive behind a stub program, with every offset
// counted from the start of the whole output file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pack {

struct Member {
    std::string path;  // file to read
    std::string name;  // entry name, relative, '/' separators
};

// The reason a name cannot be an entry name, or empty when it can.
std::string unsafe_name_reason(const std::string& name);

// Copies stub and then the archive of members to out, comment (at most
// 65535 bytes) ending it as the archive comment. Returns an empty string on
// success, otherwise what went wrong.
std::string write_bundle(std::FILE* out, const std::string& stub, const std::vector<Member>& members,
                         const std::string& comment = "");

}  // namespace pack
