// Everything a run does before its first printer starts, but the gate.
#pragma once

#include <string>

#include "fleet_run.h"

namespace fleet {

// Reads PRINTERS (a file, or standard input for "-") into run.printers.
// The refusal, or empty.
std::string read_printers(FleetRun& run);

// With --retry-failed: DIR's last run must have listed the same printers
// in the same order, with the same --firmware; run.todo gets the places
// that run again. Without it, every place. The refusal, or empty.
std::string choose_printers(FleetRun& run);

// Raises the limits on open files and processes as far as they go and
// refuses a -j that would still not fit on this machine. Sets run.at_once.
std::string check_room(FleetRun& run);

// Makes DIR (a new run clears the last one's records there; a retry
// clears only those of the printers it runs), its joblog's header and
// DIR/firmware. Sets run.places.dir to DIR with its links resolved. The
// refusal, or empty.
std::string prepare_records(FleetRun& run);

}  // namespace fleet
