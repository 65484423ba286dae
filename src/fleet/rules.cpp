#include "rules.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <tuple>

namespace fleet {

namespace {

constexpr long day = 24 * 3600;

struct LocalDate {
    int year = 0;  // as std::tm counts them: since 1900
    int month = 0;
    int mday = 0;
};

// Where an instant stands on the local clock.
struct LocalTime {
    LocalDate date;
    long seconds = 0;  // of the local day
};

LocalTime local_time_of(std::time_t t) {
    const std::tm* local = std::localtime(&t);
    if (!local) return {};
    return {{local->tm_year, local->tm_mon, local->tm_mday},
            local->tm_hour * 3600L + local->tm_min * 60L + local->tm_sec};
}

bool reaches(const LocalTime& t, const LocalDate& date, long seconds) {
    return std::tie(t.date.year, t.date.month, t.date.mday, t.seconds) >=
           std::tie(date.year, date.month, date.mday, seconds);
}

// The date days after (or before) the given one. Counted at noon, where
// no change of the clock falls, and left to mktime to carry over months.
LocalDate days_after(LocalDate date, int days) {
    std::tm noon{};
    noon.tm_year = date.year;
    noon.tm_mon = date.month;
    noon.tm_mday = date.mday + days;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    std::mktime(&noon);
    return {noon.tm_year, noon.tm_mon, noon.tm_mday};
}

// The first instant whose local date and time reach (date, seconds). That
// is mktime's answer unless summer time skips that time on that day; then
// mktime reads it with one of the two offsets (glibc: an hour late), and
// the answer is the change itself, found by bisection. A day either side is wide
// enough even where a whole date was skipped, and holds no second change
// that could turn the local clock back within it.
std::time_t first_reaching(const LocalDate& date, long seconds) {
    std::tm wanted{};
    wanted.tm_year = date.year;
    wanted.tm_mon = date.month;
    wanted.tm_mday = date.mday;
    wanted.tm_hour = static_cast<int>(seconds / 3600);
    wanted.tm_min = static_cast<int>(seconds / 60 % 60);
    wanted.tm_sec = static_cast<int>(seconds % 60);
    wanted.tm_isdst = -1;
    std::time_t guess = std::mktime(&wanted);
    LocalTime got = local_time_of(guess);
    if (std::tie(got.date.year, got.date.month, got.date.mday, got.seconds) ==
        std::tie(date.year, date.month, date.mday, seconds))
        return guess;
    const std::time_t around = day + 2 * 3600;
    std::time_t before = guess - around, after = guess + around;
    if (reaches(local_time_of(before), date, seconds) || !reaches(local_time_of(after), date, seconds))
        return guess;
    while (after - before > 1) {
        std::time_t middle = before + (after - before) / 2;
        if (reaches(local_time_of(middle), date, seconds))
            after = middle;
        else
            before = middle;
    }
    return after;
}

// The window that opens on the local date given.
WindowTimes window_opening(const Window& window, const LocalDate& date) {
    WindowTimes times;
    times.opens = first_reaching(date, window.open);
    LocalDate closing = window.close > window.open ? date : days_after(date, 1);
    times.closes = first_reaching(closing, window.close);
    // Closing no later than it opened, the window lay wholly in a skipped
    // hour: it keeps its length from the change on.
    if (times.closes <= times.opens) {
        long length = (window.close - window.open + day) % day;
        times.closes = times.opens + (length > 0 ? length : day);
    }
    return times;
}

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

std::size_t wave_size(const std::vector<WaveSize>& waves, std::size_t count, std::size_t index) {
    if (waves.empty()) return count;
    const WaveSize& w = waves[std::min(index, waves.size() - 1)];
    if (!w.share) return static_cast<std::size_t>(w.value);
    return std::max<std::size_t>(1, count * static_cast<std::size_t>(w.value) / 100);
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

WindowTimes window_at(const Window& window, std::time_t now) {
    if (!window.set) return {now, std::numeric_limits<std::time_t>::max()};
    LocalDate today = local_time_of(now).date;
    WindowTimes times;
    // Yesterday's opening may still be open past midnight; one of the next
    // two days' has closed after now.
    for (int days = -1; days <= 2; ++days) {
        times = window_opening(window, days_after(today, days));
        if (times.closes > now) break;
    }
    return times;
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
