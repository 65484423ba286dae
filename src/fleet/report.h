// DIR/report.html: the run as a page people look at, one self-contained
// file; its data is this run's records, written into the page the program
// carries.
#pragma once

#include "fleet_run.h"

namespace fleet {

// How often the report is written anew while the run goes.
constexpr std::uint64_t report_every_ms = 5000;

// Writes the report whole to a new file that then takes the old one's
// place, so that a browser never reads half of it. ended says whether the
// run is over (the page reloads itself while it is not). A report that
// cannot be written is left out: the summary is the record.
void write_report(FleetRun& run, bool ended);

// The report's data, as the page reads it (JSON).
std::string report_data(FleetRun& run, bool ended);

}  // namespace fleet
