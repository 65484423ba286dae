// The rules that decide which printers start and when: apart from the
// mechanics of running them, so that they can be tried without a printer.
#pragma once

#include <cstddef>
#include <vector>

#include "result.h"
#include "settings.h"

namespace fleet {

// The printers that have ended so far.
struct Tally {
    long finished = 0;
    long failed = 0;
};

// The waves a run's count printers go in, as their sizes: with --canary N
// (fewer than count) N alone, then the rest; otherwise one wave of all.
std::vector<std::size_t> wave_sizes(long canary, std::size_t count);

// Whether the next wave may start once every printer of the waves before
// it has ended, given their results: all must have succeeded.
bool wave_passes(const std::vector<Result>& earlier);

// --max-failed: true once no further printer may start. A share holds
// from the first failure on, once the failed make up at least that share
// of the finished printers; a count once that many failed.
bool brake_holds(const Limit& limit, const Tally& tally);

// Whether a retry runs a printer again, by its result in the last run:
// it does unless the printer is ok or current.
bool runs_again(Result last);

// The places of the list a retry runs, in order.
std::vector<std::size_t> retry_places(const std::vector<Result>& last);

}  // namespace fleet
