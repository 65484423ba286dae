#include "loop.h"

#include <cstdio>

#include "steps.h"

namespace fleet {

namespace {

constexpr std::uint64_t progress_every_ms = 1000;

// Starts printers of the wave under way while there is room, unless the
// brake holds.
void start_due(FleetRun& run) {
    while (run.stopped == StopReason::none && run.running < run.settings.jobs && run.next < run.wave_end) {
        if (brake_holds(run.settings.max_failed, run.tally)) {
            run.stopped = StopReason::brake;
            run.braked_at = run.tally;
            return;
        }
        start_printer(run, run.todo[run.next++]);
    }
}

// Once every printer of the waves so far has ended: whether another wave
// starts, and if so, which printers it takes.
bool next_wave(FleetRun& run) {
    if (run.stopped != StopReason::none || run.next >= run.todo.size()) return false;
    std::vector<Result> earlier;
    for (std::size_t i = 0; i < run.next; ++i) earlier.push_back(run.printers[run.todo[i]].result);
    if (!wave_passes(earlier)) {
        run.stopped = StopReason::canary;
        return false;
    }
    run.wave_end += run.waves[++run.wave];
    return true;
}

void stop_requested(FleetRun& run) {
    if (run.stopped == StopReason::interrupted) {
        // Asked a second time: the bundles are not waited for.
        for (const auto& [pid, place] : run.by_pid) plat::kill_program(pid);
        return;
    }
    run.stopped = StopReason::interrupted;
    run.ipp.abandon();
    for (std::size_t place : run.todo) cut_printer(run, place);
}

void show_progress(const FleetRun& run) {
    std::fprintf(stderr, "\rholm-fleet: %ld of %zu printers finished, %ld failed ", run.tally.finished,
                 run.todo.size(), run.tally.failed);
    std::fflush(stderr);
}

// How long the loop may wait for something to happen.
int wait_ms(const FleetRun& run, std::uint64_t next_progress) {
    std::uint64_t now = steady_ms();
    std::uint64_t until = next_progress;
    if (!run.reads_due.empty() && run.reads_due.top().first < until) until = run.reads_due.top().first;
    if (until == UINT64_MAX) return -1;
    return until <= now ? 0 : static_cast<int>(until - now);
}

void take_events(FleetRun& run, int timeout) {
    std::vector<plat::Ended> ended;
    plat::StopRequest stop = plat::StopRequest::none;
    plat::wait_events(timeout, ended, &stop);
    for (const plat::Ended& e : ended) bundle_ended(run, e);
    for (const IppDone& done : run.ipp.take_done()) ipp_answered(run, done);
    while (!run.reads_due.empty() && run.reads_due.top().first <= steady_ms()) {
        std::size_t place = run.reads_due.top().second;
        run.reads_due.pop();
        read_again(run, place);
    }
    if (stop != plat::StopRequest::none) stop_requested(run);
}

}  // namespace

void run_printers(FleetRun& run) {
    bool progress = plat::stderr_is_terminal();
    std::uint64_t next_progress = progress ? steady_ms() : UINT64_MAX;
    run.wave_end = run.waves.empty() ? 0 : run.waves[0];
    for (;;) {
        start_due(run);
        if (run.running == 0 && (run.next < run.wave_end || !next_wave(run))) break;
        if (run.running == 0) continue;
        if (progress && steady_ms() >= next_progress) {
            show_progress(run);
            next_progress = steady_ms() + progress_every_ms;
        }
        take_events(run, wait_ms(run, next_progress));
    }
    if (progress) std::fputs("\r\033[K", stderr);
}

}  // namespace fleet
