// holm-fleet's command line: what each option becomes, and the refusals,
// in the order the help gives the options.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "options.h"

namespace fleet {
namespace {

struct Outcome {
    Parsed parsed;
    FleetSettings settings;
};

Outcome parse(std::initializer_list<const char*> args) {
    std::vector<std::string> words{"holm-fleet"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    Outcome out;
    out.parsed = parse_command_line(static_cast<int>(argv.size()), argv.data(), out.settings);
    return out;
}

TEST(FleetOptions, ARunWithEveryOption) {
    Outcome o = parse({"-j", "200", "-m", "e", "-d", "--firmware", "main=2.0", "--canary", "3", "--max-failed", "10%",
                       "--key", "site.pub", "--ca", "site-ca.pem", "--retry-failed", "-o", "run1", "fw.exe", "-"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    const FleetSettings& s = o.settings;
    EXPECT_EQ(s.jobs, 200);
    EXPECT_EQ(s.mode, 'e');
    EXPECT_TRUE(s.debug && s.retry && !s.plan);
    EXPECT_EQ(s.firmware_name, "main");
    EXPECT_EQ(s.firmware_version, "2.0");
    EXPECT_EQ(s.canary, 3);
    EXPECT_TRUE(s.max_failed.set && s.max_failed.share);
    EXPECT_EQ(s.max_failed.value, 10);
    EXPECT_EQ(s.key, "site.pub");
    EXPECT_EQ(s.ca, "site-ca.pem");
    EXPECT_EQ(s.dir, "run1");
    EXPECT_EQ(s.bundles, std::vector<std::string>{"fw.exe"});
    EXPECT_EQ(s.printers, "-");
}

TEST(FleetOptions, DefaultsAndTheEndOfOptions) {
    Outcome o = parse({"-o", "d", "--", "-odd.exe", "p.txt"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(o.settings.jobs, 32);
    EXPECT_EQ(o.settings.mode, 0);
    EXPECT_FALSE(o.settings.max_failed.set);
    EXPECT_EQ(o.settings.bundles, std::vector<std::string>{"-odd.exe"});
    o = parse({"-o", "d", "a.exe", "b.exe", "c.exe", "-"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(o.settings.bundles, (std::vector<std::string>{"a.exe", "b.exe", "c.exe"}));
    EXPECT_EQ(o.settings.printers, "-");
    o = parse({"-o", "d", "--", "a.exe", "-b.exe", "p.txt"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(o.settings.bundles, (std::vector<std::string>{"a.exe", "-b.exe"}));
    EXPECT_EQ(o.settings.printers, "p.txt");
    // An empty value stands for the option not given, but for -j.
    o = parse({"-m", "", "--firmware", "", "--canary", "", "-o", "d", "b.exe", "p"});
    EXPECT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(parse({"-j", "", "-o", "d", "b.exe", "p"}).parsed.refusal, "bad -j:  (a whole number from 1)");
}

TEST(FleetOptions, Refusals) {
    struct Case {
        std::initializer_list<const char*> args;
        const char* refusal;
    } cases[] = {
        {{"-o", "d", "-j"}, "-j needs a value"},
        {{"-x", "-o", "d", "b.exe", "p"}, "unknown option -x (holm-fleet --help tells the usage)"},
        {{"-j", "0", "-o", "d", "b.exe", "p"}, "bad -j: 0 (a whole number from 1)"},
        {{"-j", "1000000", "-o", "d", "b.exe", "p"}, "bad -j: 1000000 (a whole number from 1)"},
        {{"-j", "+5", "-o", "d", "b.exe", "p"}, "bad -j: +5 (a whole number from 1)"},
        {{"-m", "ab", "-o", "d", "b.exe", "p"}, "bad -m: ab (one mode letter, a to l)"},
        {{"-m", "m", "-o", "d", "b.exe", "p"}, "bad -m: m (one mode letter, a to l)"},
        {{"--canary", "01", "-o", "d", "b.exe", "p"}, "bad --canary: 01 (a whole number from 1)"},
        {{"--max-failed", "0%", "-o", "d", "b.exe", "p"},
         "bad --max-failed: 0% (a share from 1% to 100%, or a count from 1)"},
        {{"--max-failed", "101%", "-o", "d", "b.exe", "p"},
         "bad --max-failed: 101% (a share from 1% to 100%, or a count from 1)"},
        {{"--max-failed", "%", "-o", "d", "b.exe", "p"},
         "bad --max-failed: % (a share from 1% to 100%, or a count from 1)"},
        {{"b.exe", "p"}, "no -o DIR"},
        {{"--firmware", "=2.0", "-o", "d", "b.exe", "p"}, "bad --firmware: =2.0 ([NAME=]VERSION)"},
        {{"--firmware", "a=b=c", "-o", "d", "b.exe", "p"}, "bad --firmware: a=b=c ([NAME=]VERSION)"},
        {{"--firmware", "2.0\n", "-o", "d", "b.exe", "p"}, "bad --firmware: 2.0\n ([NAME=]VERSION)"},
        {{"--firmware", "2.0", "-m", "g", "-o", "d", "b.exe", "p"},
         "--firmware needs mode a or e (they wait for the restart), not -m g"},
        {{"--waves", "1,,2", "-o", "d", "b.exe", "p"},
         "bad --waves: 1,,2 (sizes separated by commas: counts from 1, shares from 1% to 100%)"},
        {{"--waves", "0", "-o", "d", "b.exe", "p"},
         "bad --waves: 0 (sizes separated by commas: counts from 1, shares from 1% to 100%)"},
        {{"--pause", "10d", "-o", "d", "b.exe", "p"},
         "bad --pause: 10d (seconds, or minutes or hours: 90, 90s, 10m, 2h; a week at most)"},
        {{"--pause", "169h", "-o", "d", "b.exe", "p"},
         "bad --pause: 169h (seconds, or minutes or hours: 90, 90s, 10m, 2h; a week at most)"},
        {{"--window", "22:00-22:00", "-o", "d", "b.exe", "p"},
         "bad --window: 22:00-22:00 (HH:MM-HH:MM in local time, two different times)"},
        {{"--window", "24:00-02:00", "-o", "d", "b.exe", "p"},
         "bad --window: 24:00-02:00 (HH:MM-HH:MM in local time, two different times)"},
        {{"--window", "9:00-17:00", "-o", "d", "b.exe", "p"},
         "bad --window: 9:00-17:00 (HH:MM-HH:MM in local time, two different times)"},
        {{"--canary", "2", "--waves", "1,100%", "-o", "d", "b.exe", "p"},
         "--canary and --waves do not go together (--canary N is --waves N,100%)"},
        {{"--pause", "10m", "-o", "d", "b.exe", "p"}, "--pause needs --waves or --canary"},
        {{"-o", "d", "b.exe"}, "expected BUNDLE... and PRINTERS, got 1 argument"},
        {{"-o", "d", "b.exe", "p", "-j", "3"}, "option -j after BUNDLE (options go first)"},
        {{"--read", "now", "--firmware", "1", "a"}, "bad --read: now (before or after)"},
        {{"--read", "before", "a"}, "--read needs --firmware, or BUNDLE, or both"},
        {{"--read", "before", "-j", "4", "--firmware", "1", "a"}, "-j does not go with --read"},
        {{"--read", "before", "--ca", "ca.pem", "--firmware", "1", "a"}, "--ca does not go with --read"},
        {{"--read", "after", "--plan", "--firmware", "1", "a"},
         "--read takes no option but --firmware and --ignore-model"},
        {{"--read", "after", "--firmware", "1"}, "--read expected ADDRESS, or BUNDLE... and ADDRESS, got no argument"},
    };
    for (const Case& c : cases) {
        Outcome o = parse(c.args);
        EXPECT_EQ(o.parsed.status, 2) << c.refusal;
        EXPECT_EQ(o.parsed.refusal, c.refusal);
    }
}

TEST(FleetOptions, WavesPauseAndWindow) {
    Outcome o = parse({"--waves", "1,5,20%,100%", "--pause", "10m", "--window", "22:00-04:30:15", "-o", "d", "b.exe", "p"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    ASSERT_EQ(o.settings.waves.size(), 4u);
    EXPECT_FALSE(o.settings.waves[1].share);
    EXPECT_EQ(o.settings.waves[1].value, 5);
    EXPECT_TRUE(o.settings.waves[2].share);
    EXPECT_EQ(o.settings.waves[2].value, 20);
    EXPECT_EQ(o.settings.pause_seconds, 600);
    EXPECT_EQ(o.settings.window.open, 22 * 3600);
    EXPECT_EQ(o.settings.window.close, 4 * 3600 + 30 * 60 + 15);
    o = parse({"--canary", "3", "--pause", "90", "-o", "d", "b.exe", "p"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    ASSERT_EQ(o.settings.waves.size(), 2u);
    EXPECT_EQ(o.settings.waves[0].value, 3);
    EXPECT_TRUE(o.settings.waves[1].share && o.settings.waves[1].value == 100);
    EXPECT_EQ(o.settings.pause_seconds, 90);
}

TEST(FleetOptions, ReadOnePrinter) {
    Outcome o = parse({"--read", "after", "--firmware", "boot=1.2", "198.18.1.4"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(o.settings.read_when, "after");
    EXPECT_EQ(o.settings.read_address, "198.18.1.4");
    EXPECT_EQ(o.settings.firmware_name, "boot");
    EXPECT_EQ(o.settings.firmware_version, "1.2");
    o = parse({"--read", "before", "--ignore-model", "fw.exe", "198.18.1.4"});
    ASSERT_EQ(o.parsed.status, -1) << o.parsed.refusal;
    EXPECT_EQ(o.settings.bundles, std::vector<std::string>{"fw.exe"});
    EXPECT_EQ(o.settings.read_address, "198.18.1.4");
    EXPECT_TRUE(o.settings.ignore_model);
}

}  // namespace
}  // namespace fleet
