// holm-fleet --read: one printer's firmware read as a run reads it, for
// callers that run the bundle themselves (the Ansible role), so that the
// request and what is made of the answer are defined once.
#pragma once

#include "settings.h"

namespace fleet {

// Reads the printer at settings.read_address and prints, as one line of
// JSON, what a run would make of it: "before" a delivery incompatible
// (when settings.bundle names models it does not match), current, to
// deliver or failed; "after" one (reading every 5 seconds for up to 2
// minutes, while its IPP service comes up) ok or failed, with the run's
// message. Returns 1 when failed, 2 when the bundle cannot be read, else 0.
int read_printer_state(const FleetSettings& settings);

}  // namespace fleet
