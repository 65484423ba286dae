// holm-fleet's run, from the command line to the closing lines.
#pragma once

#include "fleet_run.h"

namespace fleet {

// Does what the command line asks; returns the exit status. A refusal is
// one line on standard error, with status 2, before any printer is
// contacted.
int run_fleet(int argc, char* argv[], FleetRun& run);

// Removes the private folder and closes the run's files: the one way out.
void clean_up(FleetRun& run);

}  // namespace fleet
