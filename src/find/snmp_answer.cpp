#include "snmp_answer.h"

#include "models.h"

namespace find {

namespace {

const char* const field_names[field_count] = {"sysDescr", "sysName", "hrDeviceDescr", "prtGeneralSerialNumber"};

Sighting with_problem(Sighting seen, const std::string& why) {
    seen.problem = "the SNMP agent answered garbage: " + why;
    return seen;
}

}  // namespace

bool snmp_text(const std::string& bytes, std::string* text, std::string* why) {
    std::size_t end = bytes.size();
    while (end > 0 && (bytes[end - 1] == '\0' || bytes[end - 1] == ' ')) --end;
    std::size_t begin = 0;
    while (begin < end && bytes[begin] == ' ') ++begin;
    std::string kept = bytes.substr(begin, end - begin);
    if (kept.size() > 255) {
        *why = "a value of " + std::to_string(kept.size()) + " bytes";
        return false;
    }
    for (std::size_t i = 0; i < kept.size();) {
        unsigned char c = static_cast<unsigned char>(kept[i]);
        if (c < 0x20 || c == 0x7F) {
            *why = "a control byte in a value";
            return false;
        }
        std::size_t n = pack::utf8_length(kept, i);
        if (n == 0) {
            *why = "a value that is not UTF-8";
            return false;
        }
        i += n;
    }
    *text = kept;
    return true;
}

Sighting judge_snmp_answer(const std::string& address, const SnmpAnswer& answer) {
    Sighting seen;
    seen.address = address;
    seen.via = "snmp";
    if (answer.error_status != 0) return with_problem(seen, "error status " + std::to_string(answer.error_status));
    if (!answer.same_objects || answer.values.size() != field_count)
        return with_problem(seen, "other objects than those asked");
    std::string text[field_count];
    for (int f = 0; f < field_count; ++f) {
        const SnmpValue& value = answer.values[f];
        if (value.kind == SnmpKind::absent) continue;
        if (value.kind == SnmpKind::other) return with_problem(seen, std::string(field_names[f]) + " is not a string");
        std::string why;
        if (!snmp_text(value.bytes, &text[f], &why)) return with_problem(seen, why + " (" + field_names[f] + ")");
    }
    seen.model = text[field_device_descr].empty() ? text[field_sys_descr] : text[field_device_descr];
    seen.name = text[field_sys_name];
    seen.serial = text[field_serial];
    return seen;
}

}  // namespace find
