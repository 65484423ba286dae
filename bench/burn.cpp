// A known load for the meter's control: a process that holds a given amount
// of memory, touched, while it spends a given amount of CPU time of its own
// beyond what its start cost.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

double own_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int burn(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: holm-bench burn SECONDS MIB\n");
        return 2;
    }
    // Counted from here: what the start of the process cost is the same for
    // every run of it, and the control takes it away by difference.
    const double until = own_cpu_seconds() + std::atof(argv[0]);
    std::vector<char> held(static_cast<size_t>(std::atol(argv[1])) << 20);
    // Written, not just reserved: every page becomes resident.
    std::memset(held.data(), 1, held.size());
    volatile unsigned long spin = 0;
    while (own_cpu_seconds() < until)
        for (int i = 0; i < 10000; ++i) spin = spin + 1;
    // Read back after the burn, so the pages are neither dropped early nor
    // the writes optimised away.
    unsigned long sum = 0;
    for (size_t at = 0; at < held.size(); at += 4096) sum += static_cast<unsigned char>(held[at]);
    return sum == held.size() / 4096 ? 0 : 1;
}

}  // namespace bench
