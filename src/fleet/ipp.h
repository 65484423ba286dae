// What a printer reports of itself over IPP: the one request holm-fleet
// makes, a Get-Printer-Attributes to ipp://ADDRESS/ipp/print, through the
// CUPS library.
#pragma once

#include <string>
#include <vector>

namespace fleet {

struct IppAnswer {
    std::string problem;  // why there is no answer; empty when the printer answered successfully
    std::vector<std::string> firmware_names;     // printer-firmware-name, in order
    std::vector<std::string> firmware_versions;  // printer-firmware-string-version, paired with them
    std::string make_and_model;                  // printer-make-and-model
};

// Asks the printer at host (port 631), a dotted IPv4 address; a name is
// looked up for IPv4 only. The request is bounded to 15 seconds, 10 of them
// to connect; it ends early, as unanswered, once *cancel is nonzero (the
// library reads it as it connects, so another thread sets it through
// std::atomic_ref). It never asks the operator for anything: a printer
// that wants a login is unanswered ("the printer wants a login"). Values
// have their control bytes made blanks and are cut to kept_text_bytes.
// Safe to call from several threads at once.
IppAnswer ask_printer(const std::string& host, int* cancel);

// The firmware version of an answer that counts: the one paired with the
// firmware name when one is given, else the first. True and the version,
// or false and why there is none ("no IPP answer (...)", "no firmware
// named main", "no printer-firmware-string-version").
bool firmware_version(const IppAnswer& answer, const std::string& name, std::string* version, std::string* why);

}  // namespace fleet
