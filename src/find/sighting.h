// One printer as one source of holm-find saw it. The sources (the IPP read
// of an address, SNMP, DNS-SD) each give sightings; holm-find merges those
// of one printer into one line.
#pragma once

#include <string>

namespace find {

struct Sighting {
    std::string address;  // the dotted IPv4 address it was seen at
    std::string via;      // "ipp", "snmp" or "dns-sd"
    std::string model;    // make and model, as the source reports it
    std::string firmware;
    std::string uuid;    // printer-uuid (IPP) or the UUID a DNS-SD record carries, as "urn:uuid:..."
    std::string serial;
    std::string name;    // printer-name, sysName or the DNS-SD instance name
    bool has_ipp = false;  // DNS-SD: the service offers IPP, so its attributes are read over IPP
    std::string problem;   // empty, or why its answer is not trusted (garbage, a login wanted)
};

}  // namespace find
