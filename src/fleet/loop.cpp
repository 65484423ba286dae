#include "loop.h"

#include <algorithm>
#include <cstdio>

#include "clock.h"
#include "report.h"
#include "rows.h"
#include "steps.h"
#include "stops.h"

namespace fleet {

namespace {

constexpr std::uint64_t progress_every_ms = 1000;

std::size_t wave_quota(const FleetRun& run) { return wave_size(run.settings.waves, run.todo.size(), run.wave); }

// Whether the wave under way may take another printer: one of the list is
// left, and the printers delivered to and those being read fall short of
// its size.
bool wave_open(const FleetRun& run) {
    return run.stopped == StopReason::none && run.next < run.todo.size() &&
           run.wave_delivered + run.wave_reading < wave_quota(run);
}

// Starts printers of the wave under way while there is room, unless the
// run waits or is stopped.
void start_due(FleetRun& run) {
    if (!wave_open(run) || plat::monotonic_ms() < run.hold_until) return;
    if (!window_allows(run)) return;
    while (run.running < run.settings.jobs && wave_open(run)) {
        if (!may_deliver(run)) return;
        if (run.wave_started.size() <= run.wave) run.wave_started.push_back(wall_seconds());
        start_printer(run, run.todo[run.next++]);
    }
}

// Once every printer of the waves so far has ended: whether another wave
// starts, and if so when. The waves are judged by the printers the bundle
// went to.
bool next_wave(FleetRun& run) {
    if (run.stopped != StopReason::none || run.next >= run.todo.size()) return false;
    std::vector<Result> earlier;
    for (std::size_t i = 0; i < run.next; ++i)
        if (run.printers[run.todo[i]].delivered) earlier.push_back(run.printers[run.todo[i]].result);
    if (!wave_passes(earlier, run.settings.max_failed)) {
        stop(run, run.settings.canary > 0 ? StopReason::canary : StopReason::wave, tally_of(earlier));
        return false;
    }
    ++run.wave;
    run.wave_delivered = 0;
    run.wave_reading = 0;
    run.hold_until = plat::monotonic_ms() + static_cast<std::uint64_t>(run.settings.pause_seconds) * 1000;
    return true;
}

void stop_requested(FleetRun& run) {
    if (run.stopped == StopReason::interrupted) {
        // Asked a second time: the bundles are not waited for.
        for (const auto& [pid, place] : run.by_pid)
            if (run.printers[place].pid != 0) plat::kill_program(pid);
        return;
    }
    stop(run, StopReason::interrupted, run.tally);
    if (run.stopped != StopReason::interrupted) {
        // Stopped already for another reason: the interrupt still ends
        // what is under way.
        run.stopped = StopReason::interrupted;
        run.stopped_at = run.tally;
    }
    run.ipp.abandon();
    for (std::size_t place : run.todo) cut_printer(run, place);
}

void show_progress(const FleetRun& run) {
    std::string waiting;
    std::uint64_t now = plat::monotonic_ms();
    if (run.hold_until > now && wave_open(run))
        waiting = run.told_window && !run.window_opened
                      ? "; waiting for the window"
                      : "; wave " + std::to_string(run.wave + 1) + " starts in " +
                            std::to_string((run.hold_until - now + 999) / 1000) + " s";
    std::fprintf(stderr, "\r\033[Kholm-fleet: %ld of %zu printers finished, %ld failed%s ", run.tally.finished,
                 run.todo.size(), run.tally.failed, waiting.c_str());
    std::fflush(stderr);
}

// How long the loop may wait for something to happen: negative for as
// long as it takes.
int wait_ms(const FleetRun& run, std::uint64_t next_progress) {
    std::uint64_t now = plat::monotonic_ms();
    std::uint64_t until = std::min(next_progress, run.next_report_ms);
    if (!run.reads_due.empty()) until = std::min(until, run.reads_due.top().at);
    if (!run.bundles_due.empty()) until = std::min(until, run.bundles_due.top().at);
    if (run.hold_until > now && wave_open(run)) until = std::min(until, run.hold_until);
    std::uint64_t to_end = run.stopped == StopReason::none ? ms_to_window_end(run) : UINT64_MAX;
    if (to_end != UINT64_MAX) until = std::min(until, now + to_end);
    if (until == UINT64_MAX) return -1;
    return until <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(until - now, 3600000));
}

void take_due(DueQueue& queue, FleetRun& run, void (*step)(FleetRun&, const Due&)) {
    while (!queue.empty() && queue.top().at <= plat::monotonic_ms()) {
        Due due = queue.top();
        queue.pop();
        step(run, due);
    }
}

}  // namespace

void take_round(FleetRun& run, std::vector<plat::Ended>& ended, plat::StopRequest stop) {
    // The stop first: a bundle that the same interrupt ended was cut short.
    // Those already reaped are not signalled: their ids may be reused.
    if (stop != plat::StopRequest::none) {
        for (const plat::Ended& e : ended)
            if (auto found = run.by_pid.find(e.pid); found != run.by_pid.end()) run.printers[found->second].pid = 0;
        stop_requested(run);
    }
    for (const plat::Ended& e : ended) bundle_ended(run, e);
    for (const IppDone& done : run.ipp.take_done()) ipp_answered(run, done);
    take_due(run.reads_due, run, read_due);
    take_due(run.bundles_due, run, bundle_due);
}

void report_when_due(FleetRun& run, bool now) {
    if (!now && plat::monotonic_ms() < run.next_report_ms) return;
    write_summary_now(run);
    write_report(run, false);
    run.next_report_ms = plat::monotonic_ms() + report_every_ms;
}

void run_printers(FleetRun& run) {
    bool progress = plat::stderr_is_terminal();
    std::uint64_t next_progress = progress ? plat::monotonic_ms() : UINT64_MAX;
    run.run_started = wall_seconds();
    place_window(run);
    // A stop asked for while the run was being prepared comes first.
    if (plat::stop_asked() != plat::StopRequest::none) stop_requested(run);
    for (;;) {
        // The window's end stops the run even while no printer starts.
        if (run.stopped == StopReason::none && ms_to_window_end(run) == 0) may_deliver(run);
        start_due(run);
        if (run.running == 0 && !wave_open(run)) {
            if (!next_wave(run)) break;
            continue;
        }
        report_when_due(run, false);
        if (progress && plat::monotonic_ms() >= next_progress) {
            show_progress(run);
            next_progress = plat::monotonic_ms() + progress_every_ms;
        }
        std::vector<plat::Ended> ended;
        plat::StopRequest stop = plat::StopRequest::none;
        plat::wait_events(wait_ms(run, next_progress), ended, &stop);
        take_round(run, ended, stop);
        if (run.ended_this_round) {
            flush_records(run);
            run.ended_this_round = false;
        }
    }
    if (progress) std::fputs("\r\033[K", stderr);
}

}  // namespace fleet
