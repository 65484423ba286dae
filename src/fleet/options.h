// holm-fleet's command line.
#pragma once

#include <string>

#include "settings.h"

namespace fleet {

// The help screen, --help's output.
extern const char usage_text[];

// What parse_command_line decided.
struct Parsed {
    int status = -1;      // -1: go on with the settings; 0: --help was printed; 2: refused
    std::string refusal;  // why, when refused (without the program's name)
};

// Reads the options and the arguments into settings and checks each value,
// in the order of the help: the first fault found is the refusal. Does not
// look at files, the machine or the network.
Parsed parse_command_line(int argc, char* argv[], FleetSettings& settings);

}  // namespace fleet
