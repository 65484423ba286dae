#pragma once

namespace local {

// The spooler branch of download: one raw job per entry to the printer named
// after -pb, framed by set-up jobs in automatic mode. Ends the run.
[[noreturn]] void download_spooler(bool iterate);

}  // namespace local
