// holm-find's merge and what it writes: one printer one line, whatever
// the sources and addresses it was seen by; garbage never listed; values
// made safe in every form.
#include <gtest/gtest.h>

#include <algorithm>

#include "find/ipp_source.h"
#include "find/merge.h"
#include "find/model_filter.h"
#include "find/output.h"

namespace find {
namespace {

const std::string uuid_a = "urn:uuid:0a000000-0000-4000-8000-000000000001";
const std::string uuid_b = "urn:uuid:0b000000-0000-4000-8000-000000000002";

Sighting seen(const std::string& address, const std::string& via, const std::string& uuid,
              const std::string& serial, const std::string& model = "") {
    Sighting s;
    s.address = address;
    s.via = via;
    s.uuid = uuid;
    s.serial = serial;
    s.model = model;
    return s;
}

TEST(FindMerge, OneUuidAtTwoAddressesIsOnePrinterAtItsIppAddress) {
    std::vector<Sighting> all{seen("198.18.1.20", "dns-sd", uuid_a, ""), seen("198.18.1.9", "snmp", "", "SN1"),
                              seen("198.18.1.10", "ipp", uuid_a, "SN1", "HOLM Laser 5100"),
                              seen("198.18.1.9", "ipp", uuid_a, "SN1", "HOLM Laser 5100")};
    std::vector<Printer> p = merge_sightings(all);
    ASSERT_EQ(p.size(), 1u);
    // Both addresses answered IPP: the lower is given, the other noted.
    EXPECT_EQ(p[0].address, "198.18.1.9");
    EXPECT_EQ(p[0].other_addresses, (std::vector<std::string>{"198.18.1.10", "198.18.1.20"}));
    EXPECT_EQ(p[0].via, (std::vector<std::string>{"ipp", "snmp", "dns-sd"}));
    EXPECT_EQ(p[0].serial, "SN1");
}

TEST(FindMerge, IppAddressIsGivenBeforeALowerAddressOfOtherSourcesWhateverTheUuidCase) {
    std::string upper_a = "URN:UUID:0A000000-0000-4000-8000-000000000001";
    std::vector<Sighting> all{seen("198.18.1.2", "dns-sd", upper_a, ""), seen("198.18.1.30", "ipp", uuid_a, ""),
                              seen("198.18.1.31", "dns-sd", "0a000000-0000-4000-8000-000000000001", "")};
    std::vector<Printer> p = merge_sightings(all);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].address, "198.18.1.30");
    EXPECT_EQ(p[0].other_addresses, (std::vector<std::string>{"198.18.1.2", "198.18.1.31"}));
    EXPECT_EQ(p[0].uuid, uuid_a);  // as IPP gives it
}

TEST(FindMerge, KeysAreUuidThenSerialThenAddress) {
    std::vector<Sighting> all{
        // Two uuids at one address stay two printers.
        seen("198.18.1.5", "ipp", uuid_a, "X"), seen("198.18.1.5", "dns-sd", uuid_b, ""),
        // No uuid: the serial finds the printer, wherever it was seen.
        seen("198.18.1.77", "snmp", "", "X"),
        // Neither: the address does.
        seen("198.18.1.5", "snmp", "", ""),
        // A serial no printer has, at the address of a printer without
        // one, is that printer; a printer with another serial is not.
        seen("198.18.2.1", "ipp", uuid_b, ""), seen("198.18.2.1", "snmp", "", "Y"),
        seen("198.18.3.1", "ipp", "", "Z"), seen("198.18.3.1", "snmp", "", "W")};
    std::vector<Printer> p = merge_sightings(all);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].address, "198.18.1.5");
    EXPECT_EQ(p[0].uuid, uuid_a);
    EXPECT_EQ(p[0].other_addresses, (std::vector<std::string>{"198.18.1.77"}));
    EXPECT_EQ(p[0].via, (std::vector<std::string>{"ipp", "snmp"}));
    EXPECT_EQ(p[1].address, "198.18.2.1");  // uuid_b, first seen by DNS-SD at 198.18.1.5
    EXPECT_EQ(p[1].serial, "Y");
    EXPECT_EQ(p[1].other_addresses, (std::vector<std::string>{"198.18.1.5"}));
    EXPECT_EQ(p[2].serial, "Z");
    EXPECT_EQ(p[3].serial, "W");
    EXPECT_EQ(p[3].via, (std::vector<std::string>{"snmp"}));
}

TEST(FindMerge, SightingsWithAProblemAreNeverListed) {
    Sighting bad = seen("198.18.1.1", "ipp", uuid_a, "S", "HOLM Laser");
    bad.problem = "no IPP answer";
    std::vector<Printer> p = merge_sightings({bad, seen("198.18.1.2", "ipp", uuid_b, "", "HOLM Jet")});
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].address, "198.18.1.2");
    EXPECT_TRUE(p[0].other_addresses.empty());
}

TEST(FindIppAnswer, NonsenseIsAProblem) {
    ipp::IppAnswer good{"", {"main"}, {"2.1"}, "HOLM Laser 5100", uuid_a, "lab-1", "S1"};
    Sighting s = sighting_of_answer("198.18.1.4", good);
    EXPECT_EQ(s.problem, "");
    EXPECT_EQ(s.firmware, "2.1");
    EXPECT_EQ(s.name, "lab-1");
    ipp::IppAnswer no_model = good;
    no_model.make_and_model = "";
    EXPECT_EQ(sighting_of_answer("a", no_model).problem, "it gave no printer-make-and-model");
    ipp::IppAnswer long_model = good;
    long_model.make_and_model = std::string(128, 'x');
    EXPECT_EQ(sighting_of_answer("a", long_model).problem, "its printer-make-and-model is longer than 127 bytes");
    for (const char* uuid : {"urn:uuid:0a000000-0000-4000-8000-00000000000", "0a000000-0000-4000-8000-000000000001",
                             "urn:uuid:0a000000+0000-4000-8000-000000000001", "urn:uuid:0a00000g-0000-4000-8000-000000000001"}) {
        ipp::IppAnswer odd = good;
        odd.uuid = uuid;
        EXPECT_EQ(sighting_of_answer("a", odd).problem, std::string("its printer-uuid is not a urn:uuid: ") + uuid);
    }
    ipp::IppAnswer upper = good;
    upper.uuid = "URN:UUID:0A000000-0000-4000-8000-00000000000F";
    EXPECT_EQ(sighting_of_answer("a", upper).problem, "");
    ipp::IppAnswer silent{"no IPP answer (Connection refused)", {}, {}, ""};
    EXPECT_EQ(sighting_of_answer("a", silent).problem, "no IPP answer (Connection refused)");
}

TEST(FindIppAnswer, SerialOfDeviceId) {
    EXPECT_EQ(ipp::serial_of_device_id("MFG:HOLM;MDL:Laser 5100;SN:ABC123;"), "ABC123");
    EXPECT_EQ(ipp::serial_of_device_id("MFG:HOLM; sern : X 9 ;CMD:PCL"), "X 9");
    EXPECT_EQ(ipp::serial_of_device_id("SerialNumber:77"), "77");
    EXPECT_EQ(ipp::serial_of_device_id("MFG:HOLM;SNX:1;DESCRIPTION:SN:2"), "");
    EXPECT_EQ(ipp::serial_of_device_id(""), "");
}

Printer listed(const std::string& model, const std::string& name) {
    Printer p;
    p.address = "198.18.1.3";
    p.model = model;
    p.firmware = "1.0";
    p.uuid = uuid_a;
    p.name = name;
    p.via = {"ipp", "dns-sd"};
    return p;
}

TEST(FindOutput, EveryFormAsWritten) {
    Printer two = listed("HOLM Jet 2", "");
    two.address = "198.18.1.4";
    two.serial = "S2";
    two.other_addresses = {"198.18.1.40", "198.18.1.41"};
    std::vector<Printer> p{listed("HOLM Laser 5", "lab"), two};
    EXPECT_EQ(printers_text(p),
              "# HOLM Laser 5; firmware 1.0; name lab; serial -; via ipp,dns-sd\n198.18.1.3\n"
              "# HOLM Jet 2; firmware 1.0; name -; serial S2; via ipp,dns-sd; also at 198.18.1.40,198.18.1.41\n"
              "198.18.1.4\n");
    EXPECT_EQ(tsv_text(p),
              "address\tmodel\tfirmware\tuuid\tserial\tname\tvia\tother_addresses\n"
              "198.18.1.3\tHOLM Laser 5\t1.0\t" + uuid_a + "\t\tlab\tipp,dns-sd\t\n"
              "198.18.1.4\tHOLM Jet 2\t1.0\t" + uuid_a + "\tS2\t\tipp,dns-sd\t198.18.1.40,198.18.1.41\n");
    EXPECT_EQ(json_text({two}),
              "[\n{\"address\": \"198.18.1.4\", \"model\": \"HOLM Jet 2\", \"firmware\": \"1.0\", \"uuid\": \"" + uuid_a +
                  "\", \"serial\": \"S2\", \"name\": \"\", \"via\": [\"ipp\", \"dns-sd\"], \"other_addresses\": "
                  "[\"198.18.1.40\", \"198.18.1.41\"]}\n]\n");
    EXPECT_EQ(json_text({}), "[]\n");
}

TEST(FindOutput, ControlBytesCannotAddALineOrAField) {
    std::vector<Printer> p{listed("HOLM\nLaser\t5", "a\r\n198.18.9.9\x1b[2J")};
    EXPECT_EQ(printers_text(p), "# HOLM Laser 5; firmware 1.0; name a  198.18.9.9 [2J; serial -; via ipp,dns-sd\n198.18.1.3\n");
    std::string tsv = tsv_text(p);
    EXPECT_EQ(std::count(tsv.begin(), tsv.end(), '\n'), 2);
    EXPECT_EQ(std::count(tsv.begin(), tsv.end(), '\t'), 14);
    EXPECT_NE(json_text(p).find("\"HOLM\\u000aLaser\\u00095\""), std::string::npos);
}

TEST(FindModelFilter, KeepsWhatABundleIsForAsTheFleetChooses) {
    std::vector<Printer> p{listed("HOLM Laser 5100", ""), listed("holm jet 2", ""), listed("", "")};
    auto models = [](const std::vector<Printer>& kept) {
        std::vector<std::string> m;
        for (const Printer& k : kept) m.push_back(k.model);
        return m;
    };
    EXPECT_EQ(models(kept_for(p, {{"HOLM Laser *"}})), (std::vector<std::string>{"HOLM Laser 5100"}));
    EXPECT_EQ(models(kept_for(p, {{"HOLM Laser *"}, {"HOLM Jet ?"}})),
              (std::vector<std::string>{"HOLM Laser 5100", "holm jet 2"}));
    // A bundle that names no model is for every printer, as in a fleet run.
    EXPECT_EQ(kept_for(p, {{}}).size(), 3u);
    EXPECT_EQ(kept_for(p, {}).size(), 3u);
    EXPECT_TRUE(kept_for(p, {{"HOLM Ink*"}}).empty());
}

}  // namespace
}  // namespace find
