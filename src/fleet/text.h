// Small text helpers of holm-fleet's records and messages.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ipp/clean_text.h"
#include "lines.h"

namespace fleet {

// What holm-fleet keeps of a printer's values is what the shared read
// keeps: a hostile printer cannot swell the records or the report.
using ipp::cut_text;
using ipp::json_string;
using ipp::kept_text_bytes;
using ipp::one_line;
using pack::lines_of;

bool all_digits(const std::string& text);

// Seconds as the records write them: 12.345.
std::string seconds_text(double seconds);


// The whole of a file, or empty when it cannot be read.
std::string file_text(const std::string& path);

}  // namespace fleet
