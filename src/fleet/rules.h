// The rules that decide which printers start and when: apart from the
// mechanics of running them, so that they can be tried without a printer.
#pragma once

#include <cstddef>
#include <ctime>
#include <vector>

#include "result.h"
#include "settings.h"

namespace fleet {

// The printers that have ended so far.
struct Tally {
    long finished = 0;
    long failed = 0;
};

// The tally of printers that have ended with these results (a printer
// cut short counts as failed).
Tally tally_of(const std::vector<Result>& ended);

// The waves a run's count printers go in, as their sizes, from --waves
// (a share is of count, rounded down, at least 1; the last entry repeats
// until every printer has its wave); one wave of all without it.
std::vector<std::size_t> wave_sizes(const std::vector<WaveSize>& waves, std::size_t count);

// The size of wave index (0-based) of a run of count printers by --waves:
// its entry (the last repeating), a share of count rounded down and at
// least 1; all of them without --waves. A wave counts the printers the
// bundle goes to.
std::size_t wave_size(const std::vector<WaveSize>& waves, std::size_t count, std::size_t index);

// Whether the next wave may start once every printer of the waves before
// it has ended, given their results: with a --max-failed limit, when the
// brake would not hold for them; without one, when none of them failed
// (a printer cut short counts as failed).
bool wave_passes(const std::vector<Result>& earlier, const Limit& limit);

// One opening of --window as instants, so that its end stays where it was
// when it opened whatever the clock does meanwhile.
struct WindowTimes {
    std::time_t opens = 0;   // the instant it opened, or opens next
    std::time_t closes = 0;  // the instant it closes
};

// The window that is open at now, or else the next one to open, on the
// local clock (TZ). A window opens at the first instant whose local date
// and time reach its opening time: where summer time skips that time, at
// the change itself. Without --window it is always open.
WindowTimes window_at(const Window& window, std::time_t now);

// --max-failed: true once no further printer may start. A share holds
// from the first failure on, once the failed make up at least that share
// of the finished printers; a count once that many failed.
bool brake_holds(const Limit& limit, const Tally& tally);

// Whether a retry runs a printer again, by its result in the last run:
// it does unless the printer is ok, current, or of a model the bundle is
// not for.
bool runs_again(Result last);

// The places of the list a retry runs, in order.
std::vector<std::size_t> retry_places(const std::vector<Result>& last);

}  // namespace fleet
