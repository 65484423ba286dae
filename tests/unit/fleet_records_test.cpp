// What holm-fleet reads from printers and its own files: the printer list,
// the firmware version that counts in an IPP answer, a bundle's last error
// line, the summary a retry starts from, text fit for JSON in a page.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ipp.h"
#include "bundles.h"
#include "model_check.h"
#include "printer_list.h"
#include "records.h"
#include "summary.h"
#include "text.h"
#include "verdicts.h"

namespace fleet {
namespace {

TEST(FleetPrinterList, FieldsCommentsAndLineEnds) {
    std::vector<ListedPrinter> p;
    std::string text = "# site A\n\n198.18.1.1\r\n  198.18.1.2 admin\n198.18.1.3\troot\ts3#cret \n   \nprinter-4.test";
    ASSERT_EQ(read_printer_list(text, "list.txt", p), "");
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].address, "198.18.1.1");
    EXPECT_EQ(p[0].login, "");
    EXPECT_EQ(p[1].login, "admin");
    EXPECT_EQ(p[2].password, "s3#cret");
    EXPECT_EQ(p[3].address, "printer-4.test");
}

TEST(FleetPrinterList, RefusalsNameTheLineNeverItsPassword) {
    struct Case {
        const char* text;
        const char* refusal;
    } cases[] = {
        {"a\nb root secret extra\n", "l, line 2: more than three fields"},
        {"198.18.1.1/24 root topsecret\n", "l, line 1: not an address: 198.18.1.1/24"},
        {"-x\n", "l, line 1: not an address: -x"},
        {"a\n#b\na root\n", "l, line 3: a is listed twice (first on line 1)"},
    };
    for (const Case& c : cases) {
        std::vector<ListedPrinter> p;
        EXPECT_EQ(read_printer_list(c.text, "l", p), c.refusal);
    }
    std::vector<ListedPrinter> none;
    EXPECT_EQ(read_printer_list("# none\n \t\n", "l", none), "");
    EXPECT_TRUE(none.empty());
}

TEST(FleetFirmware, TheNamedOrTheFirstVersionCounts) {
    IppAnswer two{"", {"boot", "main"}, {"0.9", "2.0"}, "HOLM Laser 5"};
    std::string version, why;
    EXPECT_TRUE(firmware_version(two, "", &version, &why));
    EXPECT_EQ(version, "0.9");
    EXPECT_TRUE(firmware_version(two, "main", &version, &why));
    EXPECT_EQ(version, "2.0");
    EXPECT_FALSE(firmware_version(two, "fax", &version, &why));
    EXPECT_EQ(why, "no firmware named fax");
    IppAnswer unnamed{"", {}, {"1.0"}, ""};
    EXPECT_TRUE(firmware_version(unnamed, "", &version, &why));
    EXPECT_EQ(version, "1.0");
    IppAnswer names_only{"", {"main"}, {}, ""};
    EXPECT_FALSE(firmware_version(names_only, "main", &version, &why));
    EXPECT_EQ(why, "no printer-firmware-string-version");
    IppAnswer silent{"no IPP answer (Host is down)", {}, {}, ""};
    EXPECT_FALSE(firmware_version(silent, "", &version, &why));
    EXPECT_EQ(why, "no IPP answer (Host is down)");
}

Bundle made_for(const std::string& given, std::vector<std::string> models, const std::string& firmware = "") {
    Bundle b;
    b.given = given;
    b.models = std::move(models);
    b.firmware = firmware;
    return b;
}

TEST(FleetModels, OnlyPrintersOfTheBundlesModelsGetIt) {
    std::vector<Bundle> one{made_for("fw.exe", {"HOLM Laser 5*", "HOLM Laser [67]?0"})};
    IppAnswer five{"", {}, {}, "holm laser 5100 MFP"};
    EXPECT_EQ(check_model(five, one).verdict, ModelVerdict::fits);
    EXPECT_EQ(check_model(five, one).bundle, 0u);
    IppAnswer seven{"", {}, {}, "HOLM Laser 720"};
    EXPECT_EQ(check_model(seven, one).verdict, ModelVerdict::fits);
    IppAnswer other{"", {}, {}, "HOLM Laser 820"};
    ModelCheck no = check_model(other, one);
    EXPECT_EQ(no.verdict, ModelVerdict::other_model);
    EXPECT_EQ(no.bundle, no_bundle);
    EXPECT_EQ(no.message, "model HOLM Laser 820 is not one the bundle is for (HOLM Laser 5*, HOLM Laser [67]?0)");
    IppAnswer silent{"no IPP answer (Host is down)", {}, {}, ""};
    EXPECT_EQ(check_model(silent, one).verdict, ModelVerdict::unread);
    EXPECT_EQ(check_model(silent, one).message, "no printer model before the delivery: no IPP answer (Host is down)");
    IppAnswer nameless{"", {"main"}, {"1.0"}, ""};
    EXPECT_EQ(check_model(nameless, one).message, "no printer model before the delivery: no printer-make-and-model");
    // A bundle that names no models is for every printer, read or not.
    std::vector<Bundle> any{made_for("fw.exe", {})};
    EXPECT_EQ(check_model(silent, any).verdict, ModelVerdict::fits);
    EXPECT_EQ(check_model(silent, any).bundle, 0u);
}

TEST(FleetBundles, EachPrinterGetsTheFirstBundleMadeForItsModel) {
    std::vector<Bundle> bundles{made_for("dir/laser5.exe", {"HOLM Laser 5*"}),
                                made_for("laser.exe", {"HOLM Laser *", "HOLM Jet 2"}),
                                made_for("other/jet.exe", {"HOLM Jet ?"})};
    // The order given decides where two bundles are for one model.
    EXPECT_EQ(choose_bundle("HOLM Laser 5100", bundles), 0u);
    EXPECT_EQ(choose_bundle("holm laser 720", bundles), 1u);
    EXPECT_EQ(choose_bundle("HOLM Jet 2", bundles), 1u);
    EXPECT_EQ(choose_bundle("HOLM Jet 3", bundles), 2u);
    EXPECT_EQ(choose_bundle("HOLM Jet 30", bundles), no_bundle);
    EXPECT_EQ(no_bundle_message("HOLM Jet 30", bundles),
              "model HOLM Jet 30 is not one any bundle is for (laser5.exe: HOLM Laser 5*; laser.exe: HOLM Laser *, "
              "HOLM Jet 2; jet.exe: HOLM Jet ?)");
    // A bundle made for no model takes every printer no bundle before it took.
    bundles.insert(bundles.begin() + 1, made_for("all.exe", {}));
    EXPECT_EQ(choose_bundle("HOLM Laser 5100", bundles), 0u);
    EXPECT_EQ(choose_bundle("HOLM Jet 3", bundles), 1u);
    EXPECT_EQ(choose_bundle("", bundles), 1u);
    EXPECT_EQ(choose_bundle("HOLM Jet 3", {}), no_bundle);
}

TEST(FleetBundles, TheVersionOfEachBundleAndTheRefusals) {
    FleetSettings s;
    std::vector<Bundle> bundles{made_for("a/fw.exe", {"HOLM Laser 5*"}, "main=2.0"), made_for("b/jet.exe", {"HOLM Jet*"})};
    EXPECT_EQ(target_firmware(bundles[0], s), "main=2.0");
    EXPECT_EQ(target_firmware(bundles[1], s), "");
    EXPECT_TRUE(reads_before(bundles, s));
    EXPECT_EQ(firmware_conflict(bundles, s), "");
    s.firmware = "2.0";
    EXPECT_EQ(target_firmware(bundles[1], s), "2.0");
    EXPECT_EQ(firmware_conflict(bundles, s), "a/fw.exe installs firmware main=2.0, not --firmware 2.0: nothing sent");
    s.firmware = "main=2.0";
    EXPECT_EQ(firmware_conflict(bundles, s), "");
    EXPECT_EQ(same_names(bundles), "");
    bundles.push_back(made_for("c/fw.exe", {}));
    EXPECT_EQ(same_names(bundles), "two bundles are named fw.exe (a/fw.exe, c/fw.exe): each runs under its own name, "
                                   "so the names must differ");
    // Without the models no choice can be made; --plan needs a read.
    s.ignore_model = true;
    EXPECT_NE(settings_conflict(bundles, s), "");
    FleetSettings plan;
    plan.plan = true;
    std::vector<Bundle> plain{made_for("fw.exe", {})};
    EXPECT_EQ(settings_conflict(plain, plan), "--plan needs --firmware, or a BUNDLE that names models or records its version");
    plain[0].firmware = "3";
    EXPECT_EQ(settings_conflict(plain, plan), "");
}

TEST(FleetBundles, VerdictsGoByThePrintersOwnBundle) {
    FleetSettings s;
    std::vector<Bundle> bundles{made_for("laser.exe", {"HOLM Laser*"}, "2.0"), made_for("jet.exe", {"HOLM Jet*"})};
    IppAnswer laser_current{"", {"main"}, {"2.0"}, "HOLM Laser 5"};
    Verdict v = verdict_before(laser_current, bundles, true, s);
    EXPECT_EQ((std::pair{v.result, v.bundle}), (std::pair{Result::current, std::size_t{0}}));
    IppAnswer laser_old{"", {"main"}, {"1.0"}, "HOLM Laser 5"};
    v = verdict_before(laser_old, bundles, true, s);
    EXPECT_EQ((std::pair{v.result, v.version}), (std::pair{Result::to_deliver, std::string("1.0")}));
    // The jet bundle records no version: its printers are not read for one.
    IppAnswer jet{"", {"main"}, {"2.0"}, "HOLM Jet 1"};
    v = verdict_before(jet, bundles, true, s);
    EXPECT_EQ((std::pair{v.result, v.bundle}), (std::pair{Result::to_deliver, std::size_t{1}}));
    EXPECT_EQ(v.version, "");
    IppAnswer ink{"", {"main"}, {"2.0"}, "HOLM Ink 1"};
    EXPECT_EQ(verdict_before(ink, bundles, true, s).result, Result::incompatible);
    EXPECT_EQ(verdict_after(laser_current, "2.0").result, Result::ok);
    EXPECT_EQ(verdict_after(laser_old, "main=2.0").message, "still 1.0 after the delivery");
    IppAnswer down{"no IPP answer (Host is down)", {}, {}, ""};
    EXPECT_EQ(verdict_after(down, "2.0").result, Result::none);
}

TEST(FleetRecords, LastErrorLineOfABundle) {
    EXPECT_EQ(last_error_line("pppp\nError: first\r\nmore\nError: Could not open\tprint socket\n"),
              "Could not open print socket");
    EXPECT_EQ(last_error_line("\nError: Destination not alive"), "Destination not alive");
    EXPECT_EQ(last_error_line(" Error: indented\nerror: lower\n"), "");
    EXPECT_EQ(last_error_line(""), "");
}

TEST(FleetRecords, SummaryRoundTripAndFieldsKeptToOneLine) {
    std::string path = (std::filesystem::temp_directory_path() / "holm-fleet-summary-test.tsv").string();
    std::vector<SummaryRow> rows{{"198.18.1.1", "ok", "12.500", "", "1.0", "2.0", "fw.exe"},
                                 {"198.18.1.2", "failed", "", "still\t1.0\nafter", "", "", "b.exe"},
                                 {"198.18.1.3", "not started", "", "", "", "", ""}};
    ASSERT_TRUE(write_summary(path, rows));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
    std::vector<SummaryRow> back;
    ASSERT_TRUE(read_summary(path, back));
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].after, "2.0");
    EXPECT_EQ(back[1].message, "still 1.0 after");
    EXPECT_EQ(back[2].result, "not started");
    EXPECT_EQ(back[1].bundle, "b.exe");
    EXPECT_EQ(file_text(path).substr(0, 51), "address\tresult\tseconds\tmessage\tbefore\tafter\tbundle\n");
    // A summary written before the bundle column reads as empty bundles.
    std::ofstream(path, std::ios::trunc) << "address\tresult\tseconds\tmessage\tbefore\tafter\n198.18.1.1\tok\t1\t\t1.0\t2.0\n";
    back.clear();
    ASSERT_TRUE(read_summary(path, back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ((std::vector<std::string>{back[0].after, back[0].bundle}), (std::vector<std::string>{"2.0", ""}));
    std::remove(path.c_str());
    EXPECT_FALSE(read_summary(path, back));
}

TEST(FleetText, JsonStringsCannotEndAScriptElement) {
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("</script><b>&"), "\"\\u003c/script\\u003e\\u003cb\\u003e\\u0026\"");
    EXPECT_EQ(json_string("tab\there\n"), "\"tab\\u0009here\\u000a\"");
    EXPECT_EQ(json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    EXPECT_EQ(seconds_text(12.3456), "12.346");
    EXPECT_EQ(seconds_text(-1), "0.000");
}

TEST(FleetText, CutsEndOnAWholeCharacter) {
    EXPECT_EQ(cut_text("short", 400), "short");
    EXPECT_EQ(cut_text("abcdef", 6), "abcdef");
    EXPECT_EQ(cut_text("abcdef", 4), "abcd");
    // e-acute is two bytes, the clef four: a cut inside either drops it whole.
    EXPECT_EQ(cut_text("caf\xc3\xa9!", 4), "caf");
    EXPECT_EQ(cut_text("caf\xc3\xa9!", 5), "caf\xc3\xa9");
    std::string clef = "\xf0\x9d\x84\x9e";
    for (std::size_t max = 1; max < 4; ++max) EXPECT_EQ(cut_text("a" + clef + "b", max + 1), "a") << max;
    EXPECT_EQ(cut_text("a" + clef + "b", 5), "a" + clef);
    EXPECT_EQ(cut_text("\x80\x80\x80", 2), "");
    std::string long_text(70000, 'x');
    EXPECT_EQ(cut_text(long_text, kept_text_bytes).size(), kept_text_bytes);
}

}  // namespace
}  // namespace fleet
