#pragma once

namespace net {

// The network branch of download: runs the stages the mode letter selects,
// sends CurrentData (and with iterate every further entry) to port 9100 when
// the mode sends, and returns. Every failure ends the run.
void download_network(bool iterate);

}  // namespace net
