// What is kept of a text a device reports: one line, bounded, so that a
// hostile device can neither break a record's lines nor swell it.
#pragma once

#include <cstddef>
#include <string>

namespace ipp {

// The most of a message or of a value read from a printer that is kept.
constexpr std::size_t kept_text_bytes = 400;

// The text with every control byte (a tab, a line end) made a blank, fit
// for one field of a tab-separated line.
std::string one_line(const std::string& text);

// At most max bytes of text, not ending inside a UTF-8 sequence.
std::string cut_text(const std::string& text, std::size_t max);

// The text as a JSON string, quotes included; <, > and & escaped as well,
// so that it may stand inside an HTML script element.
std::string json_string(const std::string& text);

}  // namespace ipp
