// holm-find's run: the options, the sources, the merge, the output.
#pragma once

namespace find {

// The whole run; its exit status (0 printers found, 1 none, 2 bad usage).
int run_find(int argc, char* argv[]);

}  // namespace find
