#pragma once

namespace net {

// Runs the diagnostic mode g, k or l, which always ends the run; returns at
// once for any other mode letter.
void run_diagnostic_mode();

}  // namespace net
