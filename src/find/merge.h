// One printer, one line: the sightings of every source merged by
// printer-uuid, then serial, then address.
#pragma once

#include <string>
#include <vector>

#include "sighting.h"

namespace find {

struct Printer {
    std::string address;  // the IPv4 address its IPP answered on, else the lowest it was seen at
    std::vector<std::string> other_addresses;  // in address order
    std::string model;
    std::string firmware;
    std::string uuid;
    std::string serial;
    std::string name;
    std::vector<std::string> via;  // each source once, in the order ipp, snmp, dns-sd
};

// The printers the trusted sightings make, by address. A sighting with a
// problem is left out (the caller reports it). Sightings with the same
// uuid are one printer; one without a uuid joins the printer of its serial,
// one with neither the printer seen at its address. Two different uuids
// are never merged, whatever else they share.
std::vector<Printer> merge_sightings(const std::vector<Sighting>& sightings);

}  // namespace find
