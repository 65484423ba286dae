#include <gtest/gtest.h>

#include <string>

#include "snmp_answer.h"

namespace {

using find::SnmpAnswer;
using find::SnmpKind;
using find::SnmpValue;

SnmpValue text(const std::string& bytes) { return SnmpValue{SnmpKind::text, bytes}; }
SnmpValue absent() { return SnmpValue{}; }

SnmpAnswer answer(SnmpValue descr, SnmpValue name, SnmpValue device, SnmpValue serial) {
    SnmpAnswer a;
    a.values = {descr, name, device, serial};
    return a;
}

TEST(SnmpAnswer, ModelIsDeviceDescriptionElseSystemDescription) {
    auto both = find::judge_snmp_answer("198.18.1.1", answer(text("Kyo OS 2.1"), text("lobby"),
                                                             text("Acme LaserJet 4000"), text("SN123")));
    EXPECT_EQ(both.address, "198.18.1.1");
    EXPECT_EQ(both.via, "snmp");
    EXPECT_EQ(both.model, "Acme LaserJet 4000");
    EXPECT_EQ(both.name, "lobby");
    EXPECT_EQ(both.serial, "SN123");
    EXPECT_EQ(both.firmware, "");
    EXPECT_EQ(both.problem, "");
    auto descr_only = find::judge_snmp_answer("198.18.1.2", answer(text("Acme 9"), absent(), absent(), absent()));
    EXPECT_EQ(descr_only.model, "Acme 9");
    EXPECT_EQ(descr_only.name, "");
    EXPECT_EQ(descr_only.serial, "");
    EXPECT_EQ(descr_only.problem, "");
    // An empty device description is no description.
    auto empty_device = find::judge_snmp_answer("198.18.1.3", answer(text("Acme 9"), absent(), text(""), absent()));
    EXPECT_EQ(empty_device.model, "Acme 9");
}

TEST(SnmpAnswer, PaddingGoesAndTextStaysWhole) {
    auto padded = find::judge_snmp_answer(
        "198.18.1.1", answer(text("x"), text("  front desk "), text(std::string("Acme 5\0\0", 8)),
                             text("Größe ✓")));
    EXPECT_EQ(padded.problem, "");
    EXPECT_EQ(padded.model, "Acme 5");
    EXPECT_EQ(padded.name, "front desk");
    EXPECT_EQ(padded.serial, "Größe ✓");
}

TEST(SnmpAnswer, GarbageIsReportedWithoutValues) {
    struct Case {
        SnmpAnswer answer;
        const char* why;
    };
    SnmpAnswer status = answer(text("a"), text("b"), text("c"), text("d"));
    status.error_status = 5;
    SnmpAnswer other_objects = status;
    other_objects.error_status = 0;
    other_objects.same_objects = false;
    SnmpAnswer short_answer = answer(text("a"), text("b"), text("c"), text("d"));
    short_answer.values.pop_back();
    SnmpAnswer integer = answer(text("a"), text("b"), text("c"), text("d"));
    integer.values[find::field_serial].kind = SnmpKind::other;
    const Case cases[] = {
        {status, "error status 5"},
        {other_objects, "other objects than those asked"},
        {short_answer, "other objects than those asked"},
        {integer, "prtGeneralSerialNumber is not a string"},
        {answer(text("a\x1b[2Jb"), absent(), absent(), absent()), "a control byte in a value (sysDescr)"},
        {answer(text("a"), text("line\nfeed"), absent(), absent()), "a control byte in a value (sysName)"},
        {answer(text("a"), absent(), text(std::string("in\0side", 7)), absent()),
         "a control byte in a value (hrDeviceDescr)"},
        {answer(text("a\x7f"), absent(), absent(), absent()), "a control byte in a value (sysDescr)"},
        {answer(text("caf\xe9"), absent(), absent(), absent()), "a value that is not UTF-8 (sysDescr)"},
        {answer(text("\xc0\xaf"), absent(), absent(), absent()), "a value that is not UTF-8 (sysDescr)"},
        {answer(text("\xed\xa0\x80"), absent(), absent(), absent()), "a value that is not UTF-8 (sysDescr)"},
        {answer(text(std::string(256, 'x')), absent(), absent(), absent()), "a value of 256 bytes (sysDescr)"},
    };
    for (const Case& c : cases) {
        auto seen = find::judge_snmp_answer("198.18.1.9", c.answer);
        EXPECT_EQ(seen.problem, std::string("the SNMP agent answered garbage: ") + c.why);
        EXPECT_EQ(seen.address, "198.18.1.9");
        EXPECT_EQ(seen.via, "snmp");
        EXPECT_EQ(seen.model, "");
        EXPECT_EQ(seen.name, "");
        EXPECT_EQ(seen.serial, "");
    }
    // 255 bytes is the most a DisplayString holds, and is fine.
    EXPECT_EQ(find::judge_snmp_answer("198.18.1.9", answer(text(std::string(255, 'x')), absent(), absent(), absent()))
                  .problem,
              "");
}

}  // namespace
