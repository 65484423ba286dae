// A text cut into lines: the output of a tool holm-pack runs, a file of
// holm-fleet's.
#pragma once

#include <string>
#include <vector>

namespace pack {

// The lines of a text; a last line without its end counts, a CR before the
// LF is dropped.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace pack
