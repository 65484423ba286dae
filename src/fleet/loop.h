// The one loop that keeps -j printers running: it starts printers as the
// rules allow, and takes every bundle's end, IPP answer, due read and stop
// signal as it comes.
#pragma once

#include <vector>

#include "fleet_run.h"
#include "platform/platform.h"

namespace fleet {

// Runs the printers of run.todo, wave by wave, until all have ended or
// the run was stopped (the canary, the brake, a stop signal) and the
// printers running then have ended.
void run_printers(FleetRun& run);

// One round of the loop's events, in the order that keeps a stop final: a
// stop signal first (the bundles it ended are not signalled again), then
// the bundles that ended, the IPP answers, the reads and time limits that
// came due.
void take_round(FleetRun& run, std::vector<plat::Ended>& ended, plat::StopRequest stop);

}  // namespace fleet
