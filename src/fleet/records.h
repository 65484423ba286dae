// DIR: the records a run keeps of every printer, and the files of the run.
#pragma once

#include <string>

namespace fleet {

// Writes DIR/printers/ADDRESS/NAME (folder is that of the printer): the
// value and a line end. A record that cannot be written is left out: the
// summary still holds the outcome.
void write_record(const std::string& folder, const char* name, const std::string& value);

// The last line of a bundle's output that begins with "Error: ", without
// that prefix and with its tabs made blanks; empty when there is none.
std::string last_error_line(const std::string& output);

}  // namespace fleet
