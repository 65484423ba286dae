// holm-find's command line: the forms each option takes, the optional
// SNMP community, and what is refused before anything is asked.
#include <gtest/gtest.h>

#include <initializer_list>

#include "find/options.h"

namespace find {
namespace {

std::string parsed(std::initializer_list<const char*> args, FindSettings& s) {
    std::vector<std::string> words{"holm-find"};
    for (const char* a : args) words.push_back(a);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    return parse_options(static_cast<int>(argv.size()), argv.data(), s);
}

TEST(FindOptions, SnmpTakesTheNextArgumentAsCommunityUnlessAnOption) {
    FindSettings a;
    ASSERT_EQ(parsed({"--snmp", "--range", "198.18.1.0/24"}, a), "");
    EXPECT_TRUE(a.snmp);
    EXPECT_EQ(a.community, "public");
    FindSettings b;
    ASSERT_EQ(parsed({"--range", "198.18.1.0/24", "--snmp", "site-ro"}, b), "");
    EXPECT_EQ(b.community, "site-ro");
    FindSettings c;
    ASSERT_EQ(parsed({"--range=198.18.1.0/24", "--snmp=x y"}, c), "");
    EXPECT_EQ(c.community, "x y");
    FindSettings d;
    EXPECT_EQ(parsed({"--range", "198.18.1.0/24", "--snmp="}, d), "--snmp: the COMMUNITY is empty");
}

TEST(FindOptions, RangesMergedAndLargeAllowsMore) {
    FindSettings s;
    ASSERT_EQ(parsed({"--range", "198.18.0.0/17", "--range=198.18.128.0/17", "--range", "198.18.5.5", "--json"}, s), "");
    ASSERT_EQ(s.ranges.size(), 1u);
    EXPECT_EQ(address_count(s.ranges), 65536u);
    EXPECT_EQ(s.format, Format::json);
    FindSettings big;
    EXPECT_EQ(parsed({"--range", "10.0.0.0/8"}, big),
              "the ranges hold 16777216 addresses, more than a /16 (65536): add --large");
    FindSettings large;
    EXPECT_EQ(parsed({"--large", "--range", "10.0.0.0/8"}, large), "");
}

TEST(FindOptions, OtherSettings) {
    FindSettings s;
    ASSERT_EQ(parsed({"--dns-sd", "--wait", "12", "--for", "HOLM Laser*", "--for=HOLM Jet ?", "--bundle", "a.exe",
                      "--tsv", "--tsv"}, s), "");
    EXPECT_TRUE(s.dns_sd);
    EXPECT_EQ(s.wait_s, 12);
    EXPECT_EQ(s.for_patterns, (std::vector<std::string>{"HOLM Laser*", "HOLM Jet ?"}));
    EXPECT_EQ(s.bundles, (std::vector<std::string>{"a.exe"}));
    EXPECT_EQ(s.format, Format::tsv);
    for (auto args : {std::initializer_list<const char*>{"--dns-sd", "--wait", "5s"}, {"--dns-sd", "--wait", "3601"},
                      {"--dns-sd", "--wait"}}) {
        FindSettings bad;
        EXPECT_EQ(parsed(args, bad), "--wait needs SECONDS, 1 to 3600");
    }
    FindSettings flag;
    EXPECT_EQ(parsed({"--dns-sd=yes"}, flag), "unknown argument: --dns-sd=yes");
    FindSettings help;
    EXPECT_EQ(parsed({"--help"}, help), "");
    EXPECT_TRUE(help.help);
}

}  // namespace
}  // namespace find
