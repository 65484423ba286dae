// Each printer's line of the summary as this run has it, and the summary
// kept on disk while the run goes: a run killed at any moment leaves the
// records a retry goes on from.
#pragma once

#include "fleet_run.h"

namespace fleet {

// A printer's line of the summary: this run's outcome if it ran (failed
// with "no result" when cut short), else the last run's line.
SummaryRow summary_row(const PrinterRun& p);

// The same while the run goes: a printer under way is "running".
SummaryRow shown_row(const PrinterRun& p);

// Every printer's line: the run's outcomes once it has ended, else as they
// stand now.
std::vector<SummaryRow> summary_rows(const FleetRun& run, bool ended);

// Writes DIR/summary.tsv as the run stands now, to the disk; false when it
// could not be written.
bool write_summary_now(const FleetRun& run);

// Puts the records of the printers that ended since the last call on the
// disk.
void flush_records(const FleetRun& run);

}  // namespace fleet
