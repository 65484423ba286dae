// The payload steps of a run whose failures end it: each reports what went
// wrong in the run's own words and finishes with status 1.
#pragma once

namespace payload {

// map_payload, and on failure the run-level message and finish(1).
void open_payload(const char* path);

// scan_next_entry for the driver: 0 for an entry, 1 at the end; a damaged
// entry (or no memory for its name) is reported and ends the run.
int next_entry();

}  // namespace payload
