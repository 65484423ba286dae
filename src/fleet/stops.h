// When the run stops starting printers, and whether one may still get the
// bundle: a stop, once made, is final for every printer not yet delivered
// to, whatever it was waiting for.
#pragma once

#include "fleet_run.h"

namespace fleet {

// Stops the run (the first reason holds), with the tally behind it.
void stop(FleetRun& run, StopReason why, const Tally& behind);

// Whether a printer may get the bundle now; if the brake holds or the
// window has ended, the run stops here.
bool may_deliver(FleetRun& run);

// --window: whether printers may start now. Before the window opens the
// run waits (run.hold_until) and says so once; its end, fixed when it
// opens, stops the run even while it pauses between waves.
bool window_allows(FleetRun& run);

// Where the window stands at the run's start, for the report.
void place_window(FleetRun& run);

// Milliseconds until the window's fixed end, for the loop's waits;
// UINT64_MAX without one.
std::uint64_t ms_to_window_end(const FleetRun& run);

}  // namespace fleet
