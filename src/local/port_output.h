#pragma once

namespace local {

// The parallel-port branch of download: LPT1 gets CurrentData (and with
// iterate every further entry), framed by the set-up commands in automatic
// mode. Ends the run.
[[noreturn]] void download_port(bool iterate);

// Closes the port when one is open; safe to call at any time.
void close_port();

}  // namespace local
