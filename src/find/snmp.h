// holm-find's SNMP source: an SNMP v2c GET of sysDescr, sysName,
// hrDeviceDescr and prtGeneralSerialNumber to every address asked, through
// net-snmp's library.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "sighting.h"

namespace find {

struct SnmpBounds {
    int timeout_ms = 1000;  // for one try at one address
    int retries = 1;
    std::size_t in_flight = 2048;  // addresses asked at once
};

// A sighting (via "snmp") for every address whose agent answered; an agent
// that answers something other than the values asked for has a problem set
// instead of values. addresses are IPv4 in host byte order. Returns once
// every address has answered or had its tries, or soon after *stop is set.
std::vector<Sighting> snmp_sightings(const std::vector<std::uint32_t>& addresses, const std::string& community,
                                     const SnmpBounds& bounds, const std::atomic<bool>& stop);

}  // namespace find
