// What a printer reports of itself over IPP: the one request holm-fleet
// and holm-find make, a Get-Printer-Attributes to ipp://ADDRESS/ipp/print,
// through the CUPS library.
#pragma once

#include <string>
#include <vector>

namespace ipp {

struct IppAnswer {
    std::string problem;  // why there is no answer; empty when the printer answered successfully
    std::vector<std::string> firmware_names;     // printer-firmware-name, in order
    std::vector<std::string> firmware_versions;  // printer-firmware-string-version, paired with them
    std::string make_and_model;                  // printer-make-and-model
    // Brace-initialised so that an answer written as {problem, names,
    // versions, model} needs no more.
    std::string uuid{};    // printer-uuid, "urn:uuid:..." as given
    std::string name{};    // printer-name
    std::string serial{};  // the serial number key of printer-device-id
};

struct ReadBounds {
    int connect_ms = 10000;  // to connect
    int request_ms = 15000;  // the whole request, connecting included
};

// Asks the printer at host (port 631), a dotted IPv4 address; a name is
// looked up for IPv4 only. The request is bounded as bounds say; it ends
// early, as unanswered, once *cancel is nonzero (the
// library reads it as it connects, so another thread sets it through
// std::atomic_ref). It never asks the operator for anything: a printer
// that wants a login is unanswered ("the printer wants a login"). Values
// have their control bytes made blanks and are cut to kept_text_bytes.
// Safe to call from several threads at once.
IppAnswer ask_printer(const std::string& host, const ReadBounds& bounds, int* cancel);

// The serial number a printer-device-id names under its SN, SERN or
// SERIALNUMBER key (any case), blanks around it dropped; empty for none.
std::string serial_of_device_id(const std::string& device_id);

// The firmware version of an answer that counts: the one paired with the
// firmware name when one is given, else the first. True and the version,
// or false and why there is none ("no IPP answer (...)", "no firmware
// named main", "no printer-firmware-string-version").
bool firmware_version(const IppAnswer& answer, const std::string& name, std::string* version, std::string* why);

}  // namespace ipp
