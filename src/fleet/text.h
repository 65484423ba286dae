// Small text helpers of holm-fleet's records and messages.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fleet {

// The most of a message or of a value read from a printer that holm-fleet
// keeps: a hostile printer cannot swell the records or the report.
constexpr std::size_t kept_text_bytes = 400;

bool all_digits(const std::string& text);

// The text with every control byte (a tab, a line end) made a blank, fit
// for one field of a tab-separated line.
std::string one_line(const std::string& text);

// At most max bytes of text, not ending inside a UTF-8 sequence.
std::string cut_text(const std::string& text, std::size_t max);

// The text as a JSON string, quotes included; <, > and & escaped as well,
// so that it may stand inside an HTML script element.
std::string json_string(const std::string& text);

// Seconds as the records write them: 12.345.
std::string seconds_text(double seconds);

// The lines of a text; a last line without its end counts, a CR before the
// LF is dropped.
std::vector<std::string> lines_of(const std::string& text);

// The whole of a file, or empty when it cannot be read.
std::string file_text(const std::string& path);

}  // namespace fleet
