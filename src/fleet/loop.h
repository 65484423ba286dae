// The one loop that keeps -j printers running: it starts printers as the
// rules allow, and takes every bundle's end, IPP answer, due read and stop
// signal as it comes.
#pragma once

#include "fleet_run.h"

namespace fleet {

// Runs the printers of run.todo, wave by wave, until all have ended or
// the run was stopped (the canary, the brake, a stop signal) and the
// printers running then have ended.
void run_printers(FleetRun& run);

}  // namespace fleet
