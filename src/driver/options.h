// The classic single-character option scanner, taking '/' as well as '-'.
// Its state is run-wide so the driver can call it in a loop.
#pragma once

namespace driver {

extern int opt_index;        // argument being scanned [1]
extern int opt_position;     // next character inside it [1]
extern int opt_report;       // print errors to standard error [on]
extern int opt_char;         // option character last examined [0]
extern const char* opt_arg;  // argument of the last option, or null

// The next option character, '?' after printing an error line on standard
// error, or -1 at the end of the options (opt_index is then the first
// argument left to the caller). spec lists the letters; ':' after a letter
// means it takes an argument.
int next_option(int argc, char* const argv[], const char* spec);

// Puts the scanner back to its initial state (for callers that scan twice).
void reset_options();

// Prints the short help (level below 2) or the extended help, then ends the
// process with status 1 without going through finish.
[[noreturn]] void show_usage(int level);

}  // namespace driver
