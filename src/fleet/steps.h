// The steps of one printer's run, each taken when the loop sees its
// cause: started, its IPP answer, its bundle's end, a stop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet_run.h"
#include "ipp_pool.h"
#include "platform/platform.h"

namespace fleet {

// Wall-clock seconds, and a clock that only moves forward, in milliseconds.
double wall_seconds();
std::uint64_t steady_ms();

// Makes the printer's records and takes its first step: the read before
// the delivery, or the bundle.
void start_printer(FleetRun& run, std::size_t place);

// A bundle has ended: its status, its line of the joblog, and the next
// step (the reads after the delivery) or the printer's outcome.
void bundle_ended(FleetRun& run, const plat::Ended& ended);

// An IPP answer came for the printer at done.place.
void ipp_answered(FleetRun& run, const IppDone& done);

// The pause before the printer's next read after its delivery is over.
void read_again(FleetRun& run, std::size_t place);

// Stops the printer where it stands: one reading over IPP has no outcome
// at once, one whose bundle runs has none once the bundle has ended (it is
// told to end). Nothing is written of an outcome it has not reached.
void cut_printer(FleetRun& run, std::size_t place);

}  // namespace fleet
