// The firmware version a bundle installs, recorded beside its printer
// models in the archive comment, where a signature of the bundle covers it
// and no part of the program reads it: one line "holm-firmware: VALUE\n",
// VALUE as holm-fleet's --firmware takes it, [NAME=]VERSION.
#pragma once

#include <string>

namespace pack {

// Splits [NAME=]VERSION: a VERSION that is not empty, a NAME (when an '='
// is given) that is not empty, one '=' at most, no control byte. False
// when the text is not of that form.
bool split_firmware(const std::string& text, std::string* name, std::string* version);

// The comment line that records the value (empty for none).
std::string firmware_comment(const std::string& firmware);

// The value an archive comment records, empty for none; the first line
// counts. As stored: a damaged or hand-made comment may hold one that
// split_firmware refuses.
std::string firmware_of(const std::string& comment);

// How many lines of the comment record a value: more than one is a
// comment written by hand.
std::size_t firmware_lines(const std::string& comment);

}  // namespace pack
