#include "stops.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "clock.h"
#include "platform/platform.h"

namespace fleet {

namespace {

// The wait for the window is looked at again at least this often, so that
// a change of the clock cannot keep it waiting.
constexpr std::uint64_t window_look_ms = 60000;

std::string in_words(long seconds) {
    long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) return std::to_string(h) + " h " + std::to_string(m) + " min";
    if (m > 0) return std::to_string(m) + " min " + std::to_string(s) + " s";
    return std::to_string(s) + " s";
}

// The window's end has come (it had opened).
bool window_over(FleetRun& run) {
    if (!run.window_opened || wall_seconds() < run.window_closes) return false;
    stop(run, StopReason::window, run.tally);
    return true;
}

}  // namespace

void stop(FleetRun& run, StopReason why, const Tally& behind) {
    if (run.stopped != StopReason::none) return;
    run.stopped = why;
    run.stopped_at = behind;
    run.stop_time = wall_seconds();
}

bool may_deliver(FleetRun& run) {
    if (run.stopped != StopReason::none || window_over(run)) return false;
    if (brake_holds(run.settings.max_failed, run.tally)) {
        stop(run, StopReason::brake, run.tally);
        return false;
    }
    return true;
}

void place_window(FleetRun& run) {
    if (!run.settings.window.set) return;
    WindowTimes w = window_at(run.settings.window, std::time(nullptr));
    run.window_opens = static_cast<double>(w.opens);
    run.window_closes = static_cast<double>(w.closes);
}

bool window_allows(FleetRun& run) {
    if (!run.settings.window.set) return true;
    if (window_over(run)) return false;
    if (run.window_opened) return true;
    std::time_t now = std::time(nullptr);
    WindowTimes w = window_at(run.settings.window, now);
    run.window_opens = static_cast<double>(w.opens);
    run.window_closes = static_cast<double>(w.closes);
    if (now >= w.opens) {
        run.window_opened = true;
        return true;
    }
    long to_open = static_cast<long>(w.opens - now);
    if (!run.told_window) {
        std::fprintf(stderr, "holm-fleet: waiting for the window %s, which opens in %s\n",
                     run.settings.window.text.c_str(), in_words(to_open).c_str());
        run.told_window = true;
    }
    run.hold_until = plat::monotonic_ms() + std::min<std::uint64_t>(static_cast<std::uint64_t>(to_open) * 1000, window_look_ms);
    return false;
}

std::uint64_t ms_to_window_end(const FleetRun& run) {
    if (!run.window_opened) return UINT64_MAX;
    double left = run.window_closes - wall_seconds();
    return left <= 0 ? 0 : static_cast<std::uint64_t>(left * 1000) + 1;
}

}  // namespace fleet
