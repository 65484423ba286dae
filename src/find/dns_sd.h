// holm-find's DNS-SD source: browses _ipp._tcp, _ipps._tcp,
// _pdl-datastream._tcp and _printer._tcp through the machine's Avahi daemon
// (libavahi-client) and resolves each service to IPv4.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "sighting.h"

namespace find {

struct DnsSdFound {
    std::vector<Sighting> sightings;  // via "dns-sd", one a resolved service
    std::vector<std::string> warnings;  // e.g. Avahi's cache ran full: records may be missing
    std::string problem;  // empty, or why there was no browsing at all (no daemon, ...)
};

// Browses for wait_ms (or until *stop), resolving what it finds in bounded
// batches so that the daemon's per-client object limit is never reached.
DnsSdFound dns_sd_sightings(int wait_ms, const std::atomic<bool>& stop);

}  // namespace find
