// The steps of one printer's run, each taken when the loop sees its
// cause: started, its IPP answer, its bundle's end, a time that came due,
// a stop.
#pragma once

#include <cstddef>

#include "fleet_run.h"
#include "ipp_pool.h"
#include "platform/platform.h"

namespace fleet {

// Makes the printer's records and takes its first step: the read before
// the delivery, or the bundle.
void start_printer(FleetRun& run, std::size_t place);

// A bundle has ended: its status, its line of the joblog, and the next
// step (the reads after the delivery) or the printer's outcome.
void bundle_ended(FleetRun& run, const plat::Ended& ended);

// An IPP answer came for the printer at done.place.
void ipp_answered(FleetRun& run, const IppDone& done);

// A time came due: the next read after a delivery, or a bundle's end by
// --timeout (TERM, then KILL a few seconds later).
void read_due(FleetRun& run, const Due& due);
void bundle_due(FleetRun& run, const Due& due);

// Stops the printer where it stands: one reading before its delivery is
// not started after all, one reading after it has no outcome at once,
// one whose bundle runs has none once the bundle has ended (it is told
// to end). Nothing is written of an outcome it has not reached.
void cut_printer(FleetRun& run, std::size_t place);

}  // namespace fleet
