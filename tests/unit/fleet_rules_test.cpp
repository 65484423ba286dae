// The scheduling rules of holm-fleet, without a printer: the waves a
// canary makes, when the next wave may start, the brake's arithmetic and
// the printers a retry runs again.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "rules.h"

namespace fleet {
namespace {

Limit share(long percent) { return Limit{true, true, percent, std::to_string(percent) + "%"}; }
Limit count(long n) { return Limit{true, false, n, std::to_string(n)}; }

std::vector<WaveSize> waves(std::initializer_list<const char*> entries) {
    std::vector<WaveSize> list;
    for (std::string e : entries) {
        bool share = e.back() == '%';
        list.push_back(WaveSize{share, std::stol(share ? e.substr(0, e.size() - 1) : e)});
    }
    return list;
}

using Sizes = std::vector<std::size_t>;

TEST(FleetWaves, SizesAsCountsAndSharesTheLastRepeating) {
    EXPECT_EQ(wave_sizes({}, 7), (Sizes{7}));
    // --canary N is N,100%.
    EXPECT_EQ(wave_sizes(waves({"2", "100%"}), 7), (Sizes{2, 5}));
    EXPECT_EQ(wave_sizes(waves({"7", "100%"}), 7), (Sizes{7}));
    EXPECT_EQ(wave_sizes(waves({"9", "100%"}), 7), (Sizes{7}));
    EXPECT_EQ(wave_sizes(waves({"1", "5", "20%", "100%"}), 100), (Sizes{1, 5, 20, 74}));
    EXPECT_EQ(wave_sizes(waves({"1", "2"}), 8), (Sizes{1, 2, 2, 2, 1}));
    // A share of the run, rounded down, never below one printer.
    EXPECT_EQ(wave_sizes(waves({"10%"}), 25), (Sizes{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1}));
    EXPECT_EQ(wave_sizes(waves({"1%", "100%"}), 50), (Sizes{1, 49}));
    EXPECT_TRUE(wave_sizes(waves({"1", "100%"}), 0).empty());
}

TEST(FleetWaves, NextWaveWithNoneFailedOrWithinTheLimit) {
    Limit none;
    EXPECT_TRUE(wave_passes({Result::ok, Result::current, Result::to_deliver, Result::incompatible}, none));
    EXPECT_FALSE(wave_passes({Result::ok, Result::failed}, none));
    // Cut short by an interrupt: no outcome counts as failed.
    EXPECT_FALSE(wave_passes({Result::ok, Result::none}, none));
    // Within --max-failed: where the brake would not hold.
    EXPECT_TRUE(wave_passes({Result::ok, Result::ok, Result::failed}, share(50)));
    EXPECT_FALSE(wave_passes({Result::ok, Result::failed}, share(50)));
    EXPECT_TRUE(wave_passes({Result::failed, Result::ok, Result::ok}, count(2)));
    EXPECT_FALSE(wave_passes({Result::failed, Result::failed, Result::ok}, count(2)));
}

TEST(FleetWindow, InsideAndTheTimeToItsEnds) {
    auto at = [](int h, int m) { return h * 3600L + m * 60L; };
    Window day{true, at(8, 0), at(18, 0), "08:00-18:00"};
    Window night{true, at(22, 0), at(4, 0), "22:00-04:00"};
    struct Case {
        const Window* window;
        long now;
        bool inside;
        long to_open, to_close;
    } cases[] = {
        {&day, at(7, 59), false, 60, at(10, 1)},  {&day, at(8, 0), true, 0, at(10, 0)},
        {&day, at(17, 59), true, 0, 60},          {&day, at(18, 0), false, at(14, 0), at(24, 0) % 86400},
        {&night, at(21, 0), false, 3600, at(7, 0)}, {&night, at(23, 30), true, 0, at(4, 30)},
        {&night, at(0, 0), true, 0, at(4, 0)},    {&night, at(3, 59) + 59, true, 0, 1},
        {&night, at(4, 0), false, at(18, 0), 0},  {&night, at(12, 0), false, at(10, 0), at(16, 0)},
    };
    for (const Case& c : cases) {
        WindowNow w = window_now(*c.window, c.now);
        EXPECT_EQ(w.inside, c.inside) << c.window->text << " at " << c.now;
        EXPECT_EQ(w.to_open, c.to_open) << c.window->text << " at " << c.now;
        EXPECT_EQ(w.to_close, c.to_close) << c.window->text << " at " << c.now;
    }
    EXPECT_TRUE(window_now(Window{}, at(3, 0)).inside);
}

TEST(FleetBrake, ShareCountsFromTheFirstFailure) {
    struct Case {
        Limit limit;
        long finished, failed;
        bool holds;
    } cases[] = {
        {share(50), 0, 0, false}, {share(50), 1, 0, false}, {share(50), 1, 1, true},
        {share(50), 3, 1, false}, {share(50), 4, 2, true},  {share(10), 10, 1, true},
        {share(10), 11, 1, false}, {share(100), 2, 1, false}, {share(100), 2, 2, true},
        {count(1), 5, 0, false},  {count(1), 1, 1, true},   {count(3), 100, 2, false},
        {count(3), 3, 3, true},   {Limit{}, 10, 10, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(brake_holds(c.limit, Tally{c.finished, c.failed}), c.holds)
            << c.limit.text << " with " << c.failed << " of " << c.finished << " failed";
}

TEST(FleetRetry, RunsAllButTheOkAndTheCurrent) {
    std::vector<Result> last{Result::ok,         Result::failed,     Result::current,     Result::not_started,
                             Result::to_deliver, Result::none,       Result::incompatible};
    EXPECT_EQ(retry_places(last), (std::vector<std::size_t>{1, 3, 4, 5}));
    EXPECT_TRUE(retry_places({Result::ok, Result::current}).empty());
}

TEST(FleetResults, NamesReadBackAsTheyAreWritten) {
    for (Result r : {Result::ok, Result::current, Result::to_deliver, Result::incompatible, Result::failed,
                     Result::not_started})
        EXPECT_EQ(result_named(result_name(r)), r);
    EXPECT_EQ(result_named("running"), Result::none);
    EXPECT_EQ(result_named(""), Result::none);
}

}  // namespace
}  // namespace fleet
