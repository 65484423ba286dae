#include "loop.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "report.h"
#include "steps.h"

namespace fleet {

namespace {

constexpr std::uint64_t progress_every_ms = 1000;
// The window is looked at again at least this often while the run waits
// for it, so that a change of the clock (summer time) cannot keep it waiting.
constexpr long window_look_s = 60;

void stop(FleetRun& run, StopReason why, const Tally& behind) {
    run.stopped = why;
    run.stopped_at = behind;
    run.stop_time = wall_seconds();
}

long local_seconds_of_day() {
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    return local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
}

std::string in_words(long seconds) {
    long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) return std::to_string(h) + " h " + std::to_string(m) + " min";
    if (m > 0) return std::to_string(m) + " min " + std::to_string(s) + " s";
    return std::to_string(s) + " s";
}

// Whether printers may start now by --window; if not, the run waits for
// its opening or, once it has been open, stops at its end.
bool window_allows(FleetRun& run) {
    const Window& window = run.settings.window;
    WindowNow now = window_now(window, local_seconds_of_day());
    if (now.inside) {
        run.window_opened = true;
        return true;
    }
    if (run.window_opened) {
        stop(run, StopReason::window, run.tally);
        return false;
    }
    if (!run.told_window) {
        std::fprintf(stderr, "holm-fleet: waiting for the window %s, which opens in %s\n", window.text.c_str(),
                     in_words(now.to_open).c_str());
        run.told_window = true;
    }
    run.hold_until = steady_ms() + static_cast<std::uint64_t>(std::min(now.to_open, window_look_s)) * 1000;
    return false;
}

// Starts printers of the wave under way while there is room, unless the
// run waits, is stopped, or the brake holds.
void start_due(FleetRun& run) {
    if (run.stopped != StopReason::none || run.next >= run.wave_end || steady_ms() < run.hold_until) return;
    if (run.settings.window.set && !window_allows(run)) return;
    while (run.stopped == StopReason::none && run.running < run.settings.jobs && run.next < run.wave_end) {
        if (brake_holds(run.settings.max_failed, run.tally)) {
            stop(run, StopReason::brake, run.tally);
            return;
        }
        if (run.wave_started.size() <= run.wave) run.wave_started.push_back(wall_seconds());
        start_printer(run, run.todo[run.next++]);
    }
}

// Once every printer of the waves so far has ended: whether another wave
// starts, and if so, which printers it takes and when.
bool next_wave(FleetRun& run) {
    if (run.stopped != StopReason::none || run.next >= run.todo.size()) return false;
    std::vector<Result> earlier;
    for (std::size_t i = 0; i < run.next; ++i) earlier.push_back(run.printers[run.todo[i]].result);
    if (!wave_passes(earlier, run.settings.max_failed)) {
        stop(run, run.settings.canary > 0 ? StopReason::canary : StopReason::wave, tally_of(earlier));
        return false;
    }
    run.wave_end += run.waves[++run.wave];
    run.hold_until = steady_ms() + static_cast<std::uint64_t>(run.settings.pause_seconds) * 1000;
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
    run.ipp.abandon();
    for (std::size_t place : run.todo) cut_printer(run, place);
}

void show_progress(const FleetRun& run) {
    std::string waiting;
    std::uint64_t now = steady_ms();
    if (run.stopped == StopReason::none && run.hold_until > now && run.next < run.wave_end)
        waiting = run.told_window && !run.window_opened
                      ? "; waiting for the window"
                      : "; wave " + std::to_string(run.wave + 1) + " starts in " +
                            in_words(static_cast<long>((run.hold_until - now + 999) / 1000));
    std::fprintf(stderr, "\r\033[Kholm-fleet: %ld of %zu printers finished, %ld failed%s ", run.tally.finished,
                 run.todo.size(), run.tally.failed, waiting.c_str());
    std::fflush(stderr);
}

// How long the loop may wait for something to happen: negative for as
// long as it takes.
int wait_ms(const FleetRun& run, std::uint64_t next_progress) {
    std::uint64_t now = steady_ms();
    std::uint64_t until = std::min(next_progress, run.next_report_ms);
    if (!run.reads_due.empty()) until = std::min(until, run.reads_due.top().first);
    if (run.hold_until > now && run.stopped == StopReason::none) until = std::min(until, run.hold_until);
    if (until == UINT64_MAX) return -1;
    return until <= now ? 0 : static_cast<int>(until - now);
}

void take_events(FleetRun& run, int timeout) {
    std::vector<plat::Ended> ended;
    plat::StopRequest stop = plat::StopRequest::none;
    plat::wait_events(timeout, ended, &stop);
    // The stop first: a bundle that the same interrupt ended was cut short.
    // Those already reaped are not signalled: their ids may be reused.
    if (stop != plat::StopRequest::none) {
        for (const plat::Ended& e : ended)
            if (auto found = run.by_pid.find(e.pid); found != run.by_pid.end()) run.printers[found->second].pid = 0;
        stop_requested(run);
    }
    for (const plat::Ended& e : ended) bundle_ended(run, e);
    for (const IppDone& done : run.ipp.take_done()) ipp_answered(run, done);
    while (!run.reads_due.empty() && run.reads_due.top().first <= steady_ms()) {
        std::size_t place = run.reads_due.top().second;
        run.reads_due.pop();
        read_again(run, place);
    }
}

}  // namespace

// The window's opening and end as the run meets them, for the report.
void place_window(FleetRun& run) {
    const Window& window = run.settings.window;
    if (!window.set) return;
    long now = local_seconds_of_day();
    WindowNow w = window_now(window, now);
    long length = (window.close - window.open + 24 * 3600) % (24 * 3600);
    run.window_opens = w.inside ? run.run_started - static_cast<double>((now - window.open + 24 * 3600) % (24 * 3600))
                                : run.run_started + static_cast<double>(w.to_open);
    run.window_closes = run.window_opens + static_cast<double>(length);
}

void report_when_due(FleetRun& run) {
    if (steady_ms() < run.next_report_ms) return;
    write_report(run, false);
    run.next_report_ms = steady_ms() + report_every_ms;
}

void run_printers(FleetRun& run) {
    bool progress = plat::stderr_is_terminal();
    std::uint64_t next_progress = progress ? steady_ms() : UINT64_MAX;
    run.run_started = wall_seconds();
    place_window(run);
    run.wave_end = run.waves.empty() ? 0 : run.waves[0];
    // A stop asked for while the run was being prepared comes first.
    take_events(run, 0);
    for (;;) {
        start_due(run);
        bool holding = run.stopped == StopReason::none && run.next < run.wave_end;
        if (run.running == 0 && !holding) {
            if (!next_wave(run)) break;
            continue;
        }
        report_when_due(run);
        if (progress && steady_ms() >= next_progress) {
            show_progress(run);
            next_progress = steady_ms() + progress_every_ms;
        }
        take_events(run, wait_ms(run, next_progress));
    }
    if (progress) std::fputs("\r\033[K", stderr);
}

}  // namespace fleet
