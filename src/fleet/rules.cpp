#include "rules.h"

namespace fleet {

std::vector<std::size_t> wave_sizes(long canary, std::size_t count) {
    std::size_t first = canary > 0 ? static_cast<std::size_t>(canary) : count;
    if (first >= count) return {count};
    return {first, count - first};
}

bool wave_passes(const std::vector<Result>& earlier) {
    for (Result r : earlier)
        if (!succeeded(r)) return false;
    return true;
}

bool brake_holds(const Limit& limit, const Tally& tally) {
    if (!limit.set) return false;
    if (limit.share) return tally.failed > 0 && tally.failed * 100 >= limit.value * tally.finished;
    return tally.failed >= limit.value;
}

bool runs_again(Result last) { return last != Result::ok && last != Result::current; }

std::vector<std::size_t> retry_places(const std::vector<Result>& last) {
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < last.size(); ++i)
        if (runs_again(last[i])) places.push_back(i);
    return places;
}

}  // namespace fleet
