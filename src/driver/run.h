#pragma once

#include <string>

namespace driver {

// The payload path of a program started as argv0: argv0 itself when it is
// longer than 4 characters and ends in ".exe" or ".EXE", else argv0 + ".exe".
std::string self_payload_name(const char* argv0);

// Fills settings from the options, stopping at the first one that calls for
// help: 0 when all were taken (opt_index is then the first argument left
// over), else the help level show_usage is to print (1 short, 2 extended).
// Option errors have had their line on standard error by then.
int scan_command_line(int argc, char* argv[]);

// scan_command_line for the run, after taking the password from
// HOLM_PASSWORD when that is set (-w overrides it): help and option errors
// end the process here. Returns the index of the first argument left over.
int parse_command_line(int argc, char* argv[]);

// Sends CurrentData to the chosen destination; with iterate, every further
// archive entry too. The local branches end the run; the network branch
// returns.
void download(bool iterate);

// The whole run; never returns.
[[noreturn]] void run(int argc, char* argv[]);

}  // namespace driver
