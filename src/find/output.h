// The three forms holm-find writes its printers in: a PRINTERS file that
// holm-fleet reads as it is, a tab-separated inventory, JSON. Every value
// has its control bytes made blanks, so no printer can add a line or a
// field.
#pragma once

#include <string>
#include <vector>

#include "merge.h"

namespace find {

// For each printer a '#' line (model, firmware, name, serial, the sources
// and other addresses) and then its address alone.
std::string printers_text(const std::vector<Printer>& printers);

// A header line "address model firmware uuid serial name via
// other_addresses", then one line a printer; lists comma-separated.
std::string tsv_text(const std::vector<Printer>& printers);

// A JSON array with one object a printer, on a line of its own.
std::string json_text(const std::vector<Printer>& printers);

}  // namespace find
