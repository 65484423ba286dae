// holm-pack -t: a finished bundle walked by the program's own archive
// scanner, every entry checked, the walk held against the central directory
// that other ZIP readers go by, and what a network delivery in the default
// mode does with the bundle.
#pragma once

#include <string>

namespace pack {

// Prints the report on standard output and one line per problem and per
// warning on standard error; returns the exit status, 0 when the bundle is
// sound (warnings leave it sound).
int check_bundle(const std::string& path);

}  // namespace pack
