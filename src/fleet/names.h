// Every printer's address is looked up once, before the run, to IPv4: the
// read over IPP and the bundle then reach the same address, and a lookup
// that hangs costs its bound once.
#pragma once

#include <string>

#include "fleet_run.h"

namespace fleet {

// The bound of all the lookups of a run together.
constexpr int lookup_ms = 30000;

struct Resolved {
    std::string ipv4;     // dotted, or empty
    std::string problem;  // the printer's message when there is no address
};

Resolved resolve_one(const std::string& name);

// Sets every printer's ipv4 (a printer whose name cannot be looked up
// keeps its problem, and fails when its turn comes) and refuses a list in
// which two entries stand for one address. The refusal, or empty.
std::string resolve_printers(FleetRun& run);

}  // namespace fleet
