// The wall clock, in the seconds the records and the report use; waits
// and bounds go by plat::monotonic_ms, which only moves forward.
#pragma once

namespace fleet {

double wall_seconds();

}  // namespace fleet
