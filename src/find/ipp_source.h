// holm-find's IPP source: which addresses accept on port 631, then the
// shared IPP read of each of them. No other port is ever opened.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ipp/read.h"
#include "sighting.h"

namespace find {

struct IppBounds {
    int connect_ms = 1500;        // the scan's connect, and the read's
    int request_ms = 8000;        // one whole read
    std::size_t in_flight = 4096;  // connects under way at once
    std::size_t threads = 32;      // reads under way at once
};

// The sighting (via "ipp") an answer makes; a problem set when there is no
// answer or its values make no sense for a printer.
Sighting sighting_of_answer(const std::string& address, const ipp::IppAnswer& answer);

// The IPP read of each address (dotted), on a pool of threads; the
// sightings in the order of the addresses.
std::vector<Sighting> read_addresses(const std::vector<std::string>& addresses, const IppBounds& bounds,
                                     const std::atomic<bool>& stop);

// The sightings of every address (host byte order) that accepts a
// connection on port 631.
std::vector<Sighting> ipp_sightings(const std::vector<std::uint32_t>& addresses, const IppBounds& bounds,
                                    const std::atomic<bool>& stop,
                                    const std::function<void(std::size_t done)>& progress);

}  // namespace find
