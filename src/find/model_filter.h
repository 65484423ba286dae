// --for and --bundle: keeping the printers whose model a bundle is for,
// by the very rule holm-fleet chooses a printer's bundle with.
#pragma once

#include <string>
#include <vector>

#include "merge.h"

namespace find {

// The patterns each --bundle records, read as holm-fleet reads them: from
// the archive comment of a bundle holm-pack -t finds sound. Adds one list
// a bundle; empty, or the refusal.
std::string read_bundle_patterns(const std::vector<std::string>& bundles,
                                 std::vector<std::vector<std::string>>& lists);

// The printers one of the lists is for (a list of no patterns is for
// every printer); all of them when there is no list.
std::vector<Printer> kept_for(const std::vector<Printer>& printers,
                              const std::vector<std::vector<std::string>>& lists);

}  // namespace find
