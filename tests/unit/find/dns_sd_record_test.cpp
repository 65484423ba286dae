// The TXT keys of a DNS-SD service as holm-find reads them, and what it
// does with records that are garbage.
#include <gtest/gtest.h>

#include "dns_sd_record.h"

namespace find {
namespace {

TEST(DnsSdUuid, NormalForms) {
    const std::string want = "urn:uuid:0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f20";
    for (const char* given : {"0F3A6C1E-55B2-4C1D-9E8A-7B6C5D4E3F20", "urn:uuid:0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f20",
                              "URN:UUID:0F3A6C1E-55B2-4C1D-9E8A-7B6C5D4E3F20", "{0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f20}",
                              "0f3a6c1e55b24c1d9e8a7b6c5d4e3f20", " 0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f20 "})
        EXPECT_EQ(normal_uuid(given), want) << given;
}

TEST(DnsSdUuid, NotUuids) {
    for (const char* given : {"", "not-a-uuid", "0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f2",
                              "0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f200", "0f3a6c1e-55b24-c1d-9e8a-7b6c5d4e3f20",
                              "0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3g20", "0f3a6c1e55b24c1d9e8a7b6c5d4e3f2-",
                              "urn:uuid:"})
        EXPECT_EQ(normal_uuid(given), "") << given;
}

TEST(DnsSdText, ControlCharactersAndBadUtf8) {
    EXPECT_TRUE(clean_text("Maker LaserPro 500"));
    EXPECT_TRUE(clean_text("Dru\xc3\xbc" "cker \xe2\x82\xac \xf0\x9f\x96\xa8"));
    EXPECT_FALSE(clean_text(std::string("A\0B", 3)));
    EXPECT_FALSE(clean_text("tab\there"));
    EXPECT_FALSE(clean_text("del\x7f"));
    EXPECT_FALSE(clean_text("\xc0\xaf"));          // overlong '/'
    EXPECT_FALSE(clean_text("\xed\xa0\x80"));      // a surrogate
    EXPECT_FALSE(clean_text("cut \xe2\x82"));      // cut short
    EXPECT_FALSE(clean_text("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}

TEST(DnsSdTxt, KeysAreCaseInsensitiveAndTheFirstWins) {
    bool found = false;
    TxtItems txt{"txtvers=1", "TY=First", "ty=Second", "flag", "empty="};
    EXPECT_EQ(txt_value(txt, "ty", found), "First");
    EXPECT_TRUE(found);
    EXPECT_EQ(txt_value(txt, "flag", found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(txt_value(txt, "empty", found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(txt_value(txt, "ty=First", found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(txt_value(txt, "t", found), "");
    EXPECT_FALSE(found);
}

TEST(DnsSdAddress, OnlyAddressesAPrinterCanHave) {
    const std::uint8_t good[][4] = {{198, 18, 1, 1}, {10, 0, 0, 1}, {169, 254, 3, 4}, {223, 255, 255, 254}};
    const std::uint8_t bad[][4] = {{0, 0, 0, 0}, {0, 1, 2, 3}, {127, 0, 0, 7}, {224, 0, 0, 251}, {240, 0, 0, 1},
                                   {255, 255, 255, 255}};
    for (const auto& a : good) EXPECT_TRUE(printer_address(a)) << int(a[0]);
    for (const auto& a : bad) EXPECT_FALSE(printer_address(a)) << int(a[0]);
}

TEST(DnsSdSighting, ModelFromTyThenProduct) {
    Sighting s = dns_sd_sighting("198.18.1.1", "Office", "_ipp._tcp",
                                 {"product=(Other)", "ty=Maker LaserPro 500", "UUID=0F3A6C1E-55B2-4C1D-9E8A-7B6C5D4E3F20"});
    EXPECT_EQ(s.model, "Maker LaserPro 500");
    EXPECT_EQ(s.uuid, "urn:uuid:0f3a6c1e-55b2-4c1d-9e8a-7b6c5d4e3f20");
    EXPECT_EQ(s.name, "Office");
    EXPECT_EQ(s.via, "dns-sd");
    EXPECT_EQ(s.address, "198.18.1.1");
    EXPECT_TRUE(s.has_ipp);
    EXPECT_EQ(s.problem, "");
    EXPECT_EQ(dns_sd_sighting("a", "n", "_pdl-datastream._tcp", {"ty=", "product=( Maker P 9 )"}).model, "Maker P 9");
    EXPECT_EQ(dns_sd_sighting("a", "n", "_printer._tcp", {"product=Plain"}).model, "Plain");
    EXPECT_EQ(dns_sd_sighting("a", "n", "_printer._tcp", {}).model, "");
}

TEST(DnsSdSighting, IppOnlyForIppServices) {
    EXPECT_TRUE(dns_sd_sighting("a", "n", "_ipps._tcp", {}).has_ipp);
    EXPECT_FALSE(dns_sd_sighting("a", "n", "_printer._tcp", {}).has_ipp);
    EXPECT_FALSE(dns_sd_sighting("a", "n", "_pdl-datastream._tcp", {}).has_ipp);
    EXPECT_FALSE(dns_sd_sighting("a", "n", "_ipp._tcpx", {}).has_ipp);
}

TEST(DnsSdSighting, GarbageIsNotTrusted) {
    Sighting s = dns_sd_sighting("198.18.1.4", "Junk\x01" "Box", "_ipp._tcp",
                                 {"ty=Fine", "UUID=0F3A6C1E-55B2-4C1D-9E8A-7B6C5D4E3F20"});
    EXPECT_EQ(s.name, "Junk?Box");
    EXPECT_EQ(s.problem, "its DNS-SD instance name holds control characters or is not UTF-8");
    EXPECT_EQ(s.model, "");
    EXPECT_EQ(s.uuid, "");
    s = dns_sd_sighting("198.18.1.4", "Box", "_ipp._tcp", {"ty=Ba\x1b[2Jd", "product=(Good)"});
    EXPECT_EQ(s.problem, "its DNS-SD TXT key ty holds control characters or is not UTF-8");
    EXPECT_EQ(s.model, "");
    s = dns_sd_sighting("198.18.1.4", "Box", "_ipp._tcp", {"product=(\xff)"});
    EXPECT_EQ(s.problem, "its DNS-SD TXT key product holds control characters or is not UTF-8");
    s = dns_sd_sighting("198.18.1.4", "Box", "_ipp._tcp", {"ty=Fine", "UUID=12345"});
    EXPECT_EQ(s.problem, "its DNS-SD TXT key UUID is no UUID");
    EXPECT_EQ(s.model, "");
    // An empty UUID is merely absent.
    s = dns_sd_sighting("198.18.1.4", "Box", "_ipp._tcp", {"ty=Fine", "UUID="});
    EXPECT_EQ(s.problem, "");
    EXPECT_EQ(s.model, "Fine");
}

}  // namespace
}  // namespace find
