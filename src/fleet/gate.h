// The gate: the bundle a run delivers is copied once into the run's
// private folder, and that copy, the only one ever run, is checked with
// holm-pack's own checks and, given a key, against its signature. A bundle
// replaced or a link re-pointed while a run goes on changes nothing.
#pragma once

#include <string>

#include "fleet_run.h"

namespace fleet {

// Each BUNDLE as named: it exists, is a readable, runnable file, and ends
// in .exe (the program reads its payload from its own name); no two have
// the same base name. Fills run.bundles in. The refusal, or empty.
std::string check_bundle_name(FleetRun& run);

// Makes the private folder (in TMPDIR, else /tmp) and copies each BUNDLE
// into it under its own base name, runnable by its owner alone. The
// refusal, or empty.
std::string copy_bundle(FleetRun& run);

// Checks each copy with holm-pack's checks (its Authenticode signature,
// against the CA of --ca when given) and, given a key, its minisign
// signature, and reads the models and version it records; a refused
// bundle's problems are printed on standard error as holm-pack -t prints
// them. One refused bundle refuses the run. The refusal, or empty.
std::string check_copy(FleetRun& run);

}  // namespace fleet
