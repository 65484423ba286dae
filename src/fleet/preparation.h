// Everything a run does before its first printer starts, but the gate.
#pragma once

#include <string>

#include "fleet_run.h"

namespace fleet {

// The refusal of a run stopped by a signal before any printer was
// contacted (status 1: nothing was sent, nothing of DIR changed).
extern const char interrupted_refusal[];

// Reads PRINTERS (a file, or standard input for "-") into run.printers.
// The refusal, or empty.
std::string read_printers(FleetRun& run);

// With --retry-failed: DIR's last run must have listed the same printers
// in the same order, with the same --firmware; its outcomes are taken from
// the summary and, where a killed run left a printer's outcome only in its
// records, from there; run.todo gets the places that run again. Without
// it, every place. The refusal, or empty.
std::string choose_printers(FleetRun& run);

// Whether the run reads every printer over IPP before its delivery, and
// the threads it then reads with: one home for what check_room counts.
bool reads_ipp(const FleetRun& run);
std::size_t ipp_threads(const FleetRun& run);

// Raises the limits on open files and processes as far as they go and
// refuses a -j that would still not fit on this machine (the control
// group's task limit included). Sets run.at_once.
std::string check_room(FleetRun& run);

// Makes DIR, or refuses one that holds an earlier run's records (a retry
// goes on with them); locks it for this run; waits for bundles of a killed
// run that still run for printers the retry runs; then clears only the
// records of those printers, and writes the joblog's header, DIR/firmware
// and the summary as the run starts. Sets run.places.dir to DIR with its
// links resolved. The refusal, or empty.
std::string prepare_records(FleetRun& run);

}  // namespace fleet
