// The scheduling rules of holm-fleet, without a printer: the waves a
// canary makes, when the next wave may start, the brake's arithmetic and
// the printers a retry runs again.
#include <gtest/gtest.h>

#include "rules.h"

namespace fleet {
namespace {

Limit share(long percent) { return Limit{true, true, percent, std::to_string(percent) + "%"}; }
Limit count(long n) { return Limit{true, false, n, std::to_string(n)}; }

TEST(FleetWaves, CanaryGoesAloneFirstUnlessItCoversTheRun) {
    EXPECT_EQ(wave_sizes(0, 7), (std::vector<std::size_t>{7}));
    EXPECT_EQ(wave_sizes(2, 7), (std::vector<std::size_t>{2, 5}));
    EXPECT_EQ(wave_sizes(7, 7), (std::vector<std::size_t>{7}));
    EXPECT_EQ(wave_sizes(9, 7), (std::vector<std::size_t>{7}));
    EXPECT_EQ(wave_sizes(1, 0), (std::vector<std::size_t>{0}));
}

TEST(FleetWaves, NextWaveOnlyAfterEveryEarlierPrinterSucceeded) {
    EXPECT_TRUE(wave_passes({Result::ok, Result::current, Result::to_deliver}));
    EXPECT_FALSE(wave_passes({Result::ok, Result::failed}));
    // Cut short by an interrupt: no outcome is no success.
    EXPECT_FALSE(wave_passes({Result::ok, Result::none}));
    EXPECT_FALSE(wave_passes({Result::not_started}));
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
    std::vector<Result> last{Result::ok,         Result::failed,      Result::current,
                             Result::not_started, Result::to_deliver, Result::none};
    EXPECT_EQ(retry_places(last), (std::vector<std::size_t>{1, 3, 4, 5}));
    EXPECT_TRUE(retry_places({Result::ok, Result::current}).empty());
}

TEST(FleetResults, NamesReadBackAsTheyAreWritten) {
    for (Result r : {Result::ok, Result::current, Result::to_deliver, Result::failed, Result::not_started})
        EXPECT_EQ(result_named(result_name(r)), r);
    EXPECT_EQ(result_named("running"), Result::none);
    EXPECT_EQ(result_named(""), Result::none);
}

}  // namespace
}  // namespace fleet
