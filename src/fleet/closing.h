// The end of a run: the summary, and the closing lines on standard output.
#pragma once

#include "fleet_run.h"

namespace fleet {

// Why the run stopped before every printer had its turn, as its closing
// line says it.
std::string stop_line(const FleetRun& run);

// Writes DIR/summary.tsv and prints the outcome: the counts, the failed
// printers (and, after a plan, those to deliver) with their messages, why
// the run stopped, where the records are. Returns the exit status: 0 when
// no printer failed or was left not started, else 1.
int close_run(FleetRun& run);

}  // namespace fleet
