// holm-find's ranges: every form of SPEC, the refusals, the merge of
// overlapping ranges and the count that --large guards.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "find/ranges.h"

namespace find {
namespace {

std::vector<Range> parsed(const std::string& spec) {
    std::vector<Range> r;
    EXPECT_EQ(add_spec(spec, r), "") << spec;
    return r;
}

std::string refusal(const std::string& spec) {
    std::vector<Range> r;
    std::string why = add_spec(spec, r);
    EXPECT_TRUE(r.empty()) << spec;
    return why;
}

TEST(FindRanges, EachFormGivesItsAddresses) {
    std::vector<Range> r = parsed("198.18.4.0/22");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(address_text(r[0].first), "198.18.4.0");
    EXPECT_EQ(address_text(r[0].last), "198.18.7.255");
    r = parsed("198.18.1.250-198.18.2.3");
    EXPECT_EQ(address_count(r), 10u);
    EXPECT_EQ(address_text(addresses_of(r).back()), "198.18.2.3");
    r = parsed("198.18.9.9");
    EXPECT_EQ(r[0].first, r[0].last);
    EXPECT_EQ(address_count(parsed("198.18.9.9/32")), 1u);
    EXPECT_EQ(address_count(parsed("10.0.0.0/8")), 16777216u);
}

TEST(FindRanges, MalformedSpecsAreRefusedByName) {
    EXPECT_EQ(refusal("198.18.1.0/33"), "--range 198.18.1.0/33: not a CIDR block A.B.C.D/N");
    EXPECT_EQ(refusal("198.18.1.5/24"), "--range 198.18.1.5/24: host bits are set (the block begins at 198.18.1.0)");
    EXPECT_EQ(refusal("198.18.2.0-198.18.1.0"), "--range 198.18.2.0-198.18.1.0: the range ends before it begins");
    EXPECT_EQ(refusal("198.18.1"), "--range 198.18.1: not an IPv4 address, A-B range or CIDR block");
    for (const char* bad : {"", "198.18.1.256", "198.18.01.1", "198.18.1.1.", "a.b.c.d", "198.18.1.1-", "-198.18.1.1",
                            "198.18.1.0/", "198.18.1.0/2x", " 198.18.1.1", "1980.18.1.1"})
        EXPECT_NE(refusal(bad), "") << bad;
}

TEST(FindRanges, AddressesThatReachNoSitePrinterAreRefused) {
    EXPECT_EQ(refusal("127.0.0.1"), "--range 127.0.0.1: it holds loopback addresses (127.0.0.0/8)");
    EXPECT_EQ(refusal("126.255.255.0-127.0.0.0"),
              "--range 126.255.255.0-127.0.0.0: it holds loopback addresses (127.0.0.0/8)");
    EXPECT_EQ(refusal("239.255.255.250"), "--range 239.255.255.250: it holds multicast addresses (224.0.0.0/4)");
    EXPECT_EQ(refusal("0.0.0.0/0"), "--range 0.0.0.0/0: it holds loopback addresses (127.0.0.0/8)");
    EXPECT_EQ(refusal("0.1.2.3"), "--range 0.1.2.3: it holds addresses of \"this network\" (0.0.0.0/8)");
    EXPECT_EQ(refusal("255.255.255.255"), "--range 255.255.255.255: it holds the broadcast address 255.255.255.255");
    EXPECT_EQ(refusal("240.0.0.0/4"), "--range 240.0.0.0/4: it holds the broadcast address 255.255.255.255");
    // Just beside the refused blocks is fine.
    EXPECT_EQ(address_count(parsed("126.255.255.255")), 1u);
    EXPECT_EQ(address_count(parsed("128.0.0.0")), 1u);
    EXPECT_EQ(address_count(parsed("223.255.255.255")), 1u);
}

TEST(FindRanges, FileSpecReadsOneRangeALineAndNamesABadLine) {
    std::string path = (std::filesystem::temp_directory_path() / "holm_find_ranges_test.txt").string();
    {
        std::ofstream f(path);
        f << "# the lab\n198.18.1.0/30   # two printers\n\n  198.18.2.7\r\n198.18.3.1-198.18.3.2\n";
    }
    std::vector<Range> r;
    EXPECT_EQ(add_spec("@" + path, r), "");
    EXPECT_EQ(address_count(r), 7u);
    {
        std::ofstream f(path);
        f << "198.18.1.0/30\n# fine\n127.0.0.1\n";
    }
    r.clear();
    EXPECT_EQ(add_spec("@" + path, r),
              "--range @" + path + ", line 3: 127.0.0.1: it holds loopback addresses (127.0.0.0/8)");
    std::filesystem::remove(path);
    EXPECT_EQ(refusal("@" + path), "--range @" + path + ": cannot read " + path);
}

TEST(FindRanges, OverlappingAndTouchingRangesBecomeOne) {
    std::vector<Range> r;
    for (const char* spec : {"198.18.1.128/25", "198.18.1.0/24", "198.18.2.0-198.18.2.9", "198.18.1.200",
                             "198.18.5.5", "198.18.2.5-198.18.2.20"})
        ASSERT_EQ(add_spec(spec, r), "");
    std::vector<Range> m = merged(r);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(address_text(m[0].first), "198.18.1.0");
    EXPECT_EQ(address_text(m[0].last), "198.18.2.20");
    EXPECT_EQ(address_text(m[1].first), "198.18.5.5");
    EXPECT_EQ(address_count(m), 256u + 21u + 1u);
    // The top of the space merges without wrapping round to 0.
    std::vector<Range> top{{0xFFFFFF00u, 0xFFFFFFFEu}, {0xFFFFFF80u, 0xFFFFFFFEu}, {0x01000000u, 0x01000000u}};
    m = merged(top);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(address_count(m), 256u);
}

}  // namespace
}  // namespace find
