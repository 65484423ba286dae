// Judging one agent's answer to the four GETs: plain values in, a sighting
// out, with no library types, so the rules can be tested on their own.
#pragma once

#include <string>
#include <vector>

#include "sighting.h"

namespace find {

// The order the values are asked in, and so the order of an answer's values.
enum SnmpField { field_sys_descr = 0, field_sys_name = 1, field_device_descr = 2, field_serial = 3, field_count = 4 };

enum class SnmpKind {
    text,    // an OCTET STRING
    absent,  // noSuchObject, noSuchInstance, endOfMibView: the agent has no such value
    other,   // any other type: not what these objects are
};

struct SnmpValue {
    SnmpKind kind = SnmpKind::absent;
    std::string bytes;  // the string's bytes for text
};

struct SnmpAnswer {
    long error_status = 0;
    bool same_objects = true;  // the answer names the objects asked, in order, and no others
    std::vector<SnmpValue> values;  // field_count of them when same_objects
};

// The sighting (via "snmp") an answer from address gives: model from
// hrDeviceDescr, else sysDescr; name from sysName; serial from
// prtGeneralSerialNumber. An answer that is not what was asked (an error
// status, other objects, other types, text with control bytes or not UTF-8)
// gives a sighting with problem set and no values.
Sighting judge_snmp_answer(const std::string& address, const SnmpAnswer& answer);

// The text of one value as shown, or why it cannot be trusted: trailing NUL
// bytes and surrounding spaces go (agents often pad); what remains must be
// UTF-8 without control bytes and at most 255 bytes long (a DisplayString).
// True and *text, or false and *why.
bool snmp_text(const std::string& bytes, std::string* text, std::string* why);

}  // namespace find
