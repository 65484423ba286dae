// The IPP read holm-fleet shares with holm-find, as the fleet names it.
#pragma once

#include "ipp/read.h"

namespace fleet {

using ipp::ask_printer;
using ipp::firmware_version;
using ipp::IppAnswer;

// The fleet's bounds: 10 seconds to connect, 15 for the whole request.
inline const ipp::ReadBounds fleet_read_bounds{10000, 15000};

}  // namespace fleet
