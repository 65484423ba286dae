#include "rules.h"

#include <algorithm>

namespace fleet {

namespace {

constexpr long day = 24 * 3600;

}  // namespace

std::vector<std::size_t> wave_sizes(const std::vector<WaveSize>& waves, std::size_t count) {
    if (waves.empty()) return {count};
    std::vector<std::size_t> sizes;
    std::size_t left = count;
    for (std::size_t i = 0; left > 0; ++i) {
        const WaveSize& w = waves[std::min(i, waves.size() - 1)];
        std::size_t size = static_cast<std::size_t>(w.value);
        if (w.share) size = std::max<std::size_t>(1, count * static_cast<std::size_t>(w.value) / 100);
        size = std::min(size, left);
        sizes.push_back(size);
        left -= size;
    }
    return sizes;
}

Tally tally_of(const std::vector<Result>& ended) {
    Tally tally;
    for (Result r : ended) {
        ++tally.finished;
        if (r == Result::failed || r == Result::none) ++tally.failed;
    }
    return tally;
}

bool wave_passes(const std::vector<Result>& earlier, const Limit& limit) {
    Tally tally = tally_of(earlier);
    return limit.set ? !brake_holds(limit, tally) : tally.failed == 0;
}

WindowNow window_now(const Window& window, long seconds_of_day) {
    WindowNow now;
    if (!window.set) return now;
    long t = seconds_of_day;
    now.inside = window.open < window.close ? t >= window.open && t < window.close
                                            : t >= window.open || t < window.close;
    now.to_open = now.inside ? 0 : (window.open - t + day) % day;
    now.to_close = (window.close - t + day) % day;
    return now;
}

bool brake_holds(const Limit& limit, const Tally& tally) {
    if (!limit.set) return false;
    if (limit.share) return tally.failed > 0 && tally.failed * 100 >= limit.value * tally.finished;
    return tally.failed >= limit.value;
}

bool runs_again(Result last) {
    return last != Result::ok && last != Result::current && last != Result::incompatible;
}

std::vector<std::size_t> retry_places(const std::vector<Result>& last) {
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < last.size(); ++i)
        if (runs_again(last[i])) places.push_back(i);
    return places;
}

}  // namespace fleet
