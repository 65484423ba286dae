// What holm-find asks of the operating system beyond platform.h: many TCP
// connects at once, each bounded, to learn which addresses accept.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace plat {

struct ConnectScan {
    std::uint16_t port = 0;
    int bound_ms = 1500;           // one connect's bound: a silent address costs it once
    std::size_t in_flight = 4096;  // connects under way at once, at most
};

// The addresses (IPv4, host byte order) that accepted a TCP connection to
// scan.port, in the order given. Each connection is closed as soon as it
// is made; nothing is sent on it. The soft limit on open descriptors is
// raised toward the hard one and in_flight kept well below it. progress,
// when given, is told how many addresses are done, now and then. Ends
// early, with what it has, once stop is set.
std::vector<std::uint32_t> accepting_addresses(const std::vector<std::uint32_t>& addresses, const ConnectScan& scan,
                                               const std::atomic<bool>& stop,
                                               const std::function<void(std::size_t done)>& progress);

}  // namespace plat

namespace plat {

// True when standard error is a terminal, where progress may be shown.
bool progress_on_stderr();

}  // namespace plat
