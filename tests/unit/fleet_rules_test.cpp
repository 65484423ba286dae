// The scheduling rules of holm-fleet, without a printer: the waves a
// canary makes, when the next wave may start, the brake's arithmetic and
// the printers a retry runs again, the window's instants on the local clock.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

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

// window_at reads the local clock from TZ: each test sets its zone and the
// one the process had comes back afterwards.
class FleetWindowTimes : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        had_zone_ = old != nullptr;
        if (had_zone_) old_zone_ = old;
        zone("Europe/Berlin");
    }
    void TearDown() override {
        if (had_zone_)
            setenv("TZ", old_zone_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void zone(const char* name) {
        setenv("TZ", name, 1);
        tzset();
    }

    // The expected instants, worked out by hand in UTC: Berlin is UTC+1 in
    // winter and UTC+2 in summer; in 2026 its clocks go forward on 29 March
    // at 01:00 UTC and back on 25 October at 01:00 UTC.
    static std::time_t utc(int month, int mday, int hour, int minute) {
        std::tm t{};
        t.tm_year = 2026 - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = mday;
        t.tm_hour = hour;
        t.tm_min = minute;
        return timegm(&t);
    }
    static Window window(int open_h, int open_m, int close_h, int close_m) {
        long open = open_h * 3600L + open_m * 60L, close = close_h * 3600L + close_m * 60L;
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", open_h, open_m, close_h, close_m);
        return Window{true, open, close, text};
    }

    struct Case {
        Window window;
        std::time_t now, opens, closes;
    };
    static void check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            WindowTimes w = window_at(c.window, c.now);
            EXPECT_EQ(w.opens, c.opens) << c.window.text << " at " << c.now << " (" << w.opens - c.opens << " s off)";
            EXPECT_EQ(w.closes, c.closes) << c.window.text << " at " << c.now << " (" << w.closes - c.closes
                                          << " s off)";
        }
    }

private:
    bool had_zone_ = false;
    std::string old_zone_;
};

TEST_F(FleetWindowTimes, OrdinaryDaysInsideBeforeAndAfter) {
    Window office = window(8, 0, 18, 0);
    check({
        // Summer, UTC+2: 08:00-18:00 is 06:00-16:00 UTC.
        {office, utc(6, 10, 8, 0), utc(6, 10, 6, 0), utc(6, 10, 16, 0)},     // 10:00 local, inside
        {office, utc(6, 10, 5, 0), utc(6, 10, 6, 0), utc(6, 10, 16, 0)},     // 07:00, before it opens
        {office, utc(6, 10, 6, 0), utc(6, 10, 6, 0), utc(6, 10, 16, 0)},     // the moment it opens
        {office, utc(6, 10, 15, 59), utc(6, 10, 6, 0), utc(6, 10, 16, 0)},   // the last minute
        {office, utc(6, 10, 16, 0), utc(6, 11, 6, 0), utc(6, 11, 16, 0)},    // closed: tomorrow's
        {office, utc(6, 10, 21, 30), utc(6, 11, 6, 0), utc(6, 11, 16, 0)},   // 23:30 local
        {office, utc(6, 10, 22, 30), utc(6, 11, 6, 0), utc(6, 11, 16, 0)},   // 00:30 local, the next day
        // Winter, UTC+1; and over the end of a month.
        {office, utc(1, 15, 11, 0), utc(1, 15, 7, 0), utc(1, 15, 17, 0)},
        {office, utc(1, 31, 18, 0), utc(2, 1, 7, 0), utc(2, 1, 17, 0)},
    });
}

TEST_F(FleetWindowTimes, AcrossMidnightStartedBeforeAndAfterIt) {
    Window night = window(22, 0, 4, 0);  // 20:00-02:00 UTC in summer
    check({
        {night, utc(6, 10, 21, 0), utc(6, 10, 20, 0), utc(6, 11, 2, 0)},   // 23:00 local
        {night, utc(6, 10, 23, 0), utc(6, 10, 20, 0), utc(6, 11, 2, 0)},   // 01:00 local, the next date
        {night, utc(6, 11, 1, 59), utc(6, 10, 20, 0), utc(6, 11, 2, 0)},   // 03:59 local
        {night, utc(6, 11, 2, 0), utc(6, 11, 20, 0), utc(6, 12, 2, 0)},    // 04:00, closed
        {night, utc(6, 11, 10, 0), utc(6, 11, 20, 0), utc(6, 12, 2, 0)},   // noon, before tonight's
        // Over the end of a year.
        {night, utc(12, 31, 22, 30), utc(12, 31, 21, 0), utc(1, 1, 3, 0) + 365 * 86400L},
    });
}

TEST_F(FleetWindowTimes, SpringForwardOpensAtTheChangeNotAnHourLater) {
    // 29 March: 02:00 CET (01:00 UTC) jumps to 03:00 CEST; 02:00-03:00 local never happens.
    std::time_t change = utc(3, 29, 1, 0);
    check({
        // 02:30 is skipped: it opens at 03:00 local; 04:00 is 02:00 UTC.
        {window(2, 30, 4, 0), utc(3, 28, 23, 0), change, utc(3, 29, 2, 0)},
        {window(2, 30, 4, 0), utc(3, 29, 1, 30), change, utc(3, 29, 2, 0)},
        // Wholly in the skipped hour: from the change on for its length.
        {window(2, 15, 2, 45), utc(3, 28, 23, 0), change, change + 1800},
        {window(2, 15, 2, 45), change + 1200, change, change + 1800},
        {window(2, 0, 3, 0), utc(3, 28, 23, 0), change, change + 3600},
        // Its end skipped: it closes at the change, shorter by the lost hour.
        {window(23, 0, 2, 30), utc(3, 28, 23, 30), utc(3, 28, 22, 0), change},
        // Around the change: the local times hold, the window is an hour shorter.
        {window(1, 0, 5, 0), utc(3, 28, 23, 30), utc(3, 29, 0, 0), utc(3, 29, 3, 0)},
        // Closed for the day: the next day's, in summer time.
        {window(2, 30, 4, 0), utc(3, 29, 2, 30), utc(3, 30, 0, 30), utc(3, 30, 2, 0)},
        // The day before, still in winter time.
        {window(2, 30, 4, 0), utc(3, 28, 0, 0), utc(3, 28, 1, 30), utc(3, 28, 3, 0)},
    });
}

TEST_F(FleetWindowTimes, FallBackGivesOneOfTheTwoReadingsAndStaysSane) {
    // 25 October: 03:00 CEST (01:00 UTC) goes back to 02:00 CET; 02:00-03:00 local happens twice.
    check({
        // Outside the repeated hour nothing is ambiguous: 01:00 CEST to 05:00 CET is five hours.
        {window(1, 0, 5, 0), utc(10, 24, 22, 0), utc(10, 24, 23, 0), utc(10, 25, 4, 0)},
        {window(1, 0, 5, 0), utc(10, 25, 3, 0), utc(10, 24, 23, 0), utc(10, 25, 4, 0)},
    });
    struct Ambiguous {
        Window window;
        std::time_t now;
        std::time_t first, second;  // the opening in summer time, and in winter time
        std::time_t closes_first, closes_second;
    } cases[] = {
        {window(2, 30, 4, 0), utc(10, 24, 22, 0), utc(10, 25, 0, 30), utc(10, 25, 1, 30), utc(10, 25, 3, 0),
         utc(10, 25, 3, 0)},
        {window(2, 30, 4, 0), utc(10, 25, 2, 50), utc(10, 25, 0, 30), utc(10, 25, 1, 30), utc(10, 25, 3, 0),
         utc(10, 25, 3, 0)},
        {window(2, 15, 2, 45), utc(10, 24, 22, 0), utc(10, 25, 0, 15), utc(10, 25, 1, 15), utc(10, 25, 0, 45),
         utc(10, 25, 1, 45)},
        {window(0, 30, 2, 30), utc(10, 24, 22, 0), utc(10, 24, 22, 30), utc(10, 24, 22, 30), utc(10, 25, 0, 30),
         utc(10, 25, 1, 30)},
    };
    for (const Ambiguous& c : cases) {
        WindowTimes w = window_at(c.window, c.now);
        EXPECT_TRUE(w.opens == c.first || w.opens == c.second) << c.window.text << " opens at " << w.opens;
        EXPECT_TRUE(w.closes == c.closes_first || w.closes == c.closes_second)
            << c.window.text << " closes at " << w.closes;
        EXPECT_LT(w.opens, w.closes) << c.window.text;
        EXPECT_GT(w.closes, c.now) << c.window.text;
    }
}

TEST_F(FleetWindowTimes, InUtcTheLocalTimesAreTheInstants) {
    zone("UTC");
    check({
        {window(8, 0, 18, 0), utc(6, 10, 12, 0), utc(6, 10, 8, 0), utc(6, 10, 18, 0)},
        {window(8, 0, 18, 0), utc(6, 10, 7, 0), utc(6, 10, 8, 0), utc(6, 10, 18, 0)},
        {window(8, 0, 18, 0), utc(6, 10, 18, 0), utc(6, 11, 8, 0), utc(6, 11, 18, 0)},
        {window(22, 0, 4, 0), utc(6, 10, 23, 0), utc(6, 10, 22, 0), utc(6, 11, 4, 0)},
        {window(22, 0, 4, 0), utc(6, 11, 1, 0), utc(6, 10, 22, 0), utc(6, 11, 4, 0)},
        // Berlin's change day is an ordinary day here.
        {window(2, 30, 4, 0), utc(3, 29, 0, 0), utc(3, 29, 2, 30), utc(3, 29, 4, 0)},
    });
}

TEST_F(FleetWindowTimes, WithoutAWindowItIsAlwaysOpen) {
    std::time_t now = utc(6, 10, 12, 0);
    WindowTimes w = window_at(Window{}, now);
    EXPECT_EQ(w.opens, now);
    EXPECT_EQ(w.closes, std::numeric_limits<std::time_t>::max());
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
