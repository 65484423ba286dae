#include "merge.h"

#include <algorithm>
#include <map>

#include "ranges.h"
#include "uuid.h"

namespace find {

namespace {

int source_rank(const std::string& via) {
    if (via == "ipp") return 0;
    if (via == "snmp") return 1;
    if (via == "dns-sd") return 2;
    return 3;
}

std::uint32_t address_value(const std::string& text) {
    std::uint32_t value = 0xFFFFFFFFu;
    parse_address(text, &value);
    return value;
}

bool earlier_address(const std::string& a, const std::string& b) { return address_value(a) < address_value(b); }

// One UUID, however a source writes it: upper or lower case hex, with or
// without the "urn:uuid:" a DNS-SD record's UUID key leaves out.
std::string uuid_key(const std::string& uuid) {
    std::string normal = normal_uuid(uuid);
    return normal.empty() ? uuid : normal;
}

using Group = std::vector<const Sighting*>;

std::vector<Group> grouped(const std::vector<Sighting>& sightings) {
    std::vector<Group> groups;
    std::vector<std::string> serial_of;  // a group's serial, once one is known
    std::map<std::string, std::size_t> by_uuid, by_serial, by_address;
    auto note = [&](std::size_t g, const Sighting& s) {
        if (g == groups.size()) groups.emplace_back();
        serial_of.resize(groups.size());
        groups[g].push_back(&s);
        if (!s.serial.empty() && serial_of[g].empty()) serial_of[g] = s.serial;
        if (!s.serial.empty()) by_serial.emplace(s.serial, g);
        by_address.emplace(s.address, g);
    };
    auto found = [&](const std::map<std::string, std::size_t>& index, const std::string& key) {
        auto at = index.find(key);
        return at == index.end() ? groups.size() : at->second;
    };
    // Three passes, strongest key first, so that the weaker keys find the
    // printers the stronger ones made, whatever the order of sightings.
    for (const Sighting& s : sightings) {
        if (!s.problem.empty() || s.uuid.empty()) continue;
        std::size_t g = found(by_uuid, uuid_key(s.uuid));
        if (g == groups.size()) by_uuid.emplace(uuid_key(s.uuid), g);
        note(g, s);
    }
    // A serial no printer has yet joins the one at its address, unless
    // that printer has a serial of its own: then they are two.
    for (const Sighting& s : sightings) {
        if (!s.problem.empty() || !s.uuid.empty() || s.serial.empty()) continue;
        std::size_t g = found(by_serial, s.serial);
        if (g == groups.size()) {
            std::size_t at = found(by_address, s.address);
            if (at < groups.size() && serial_of[at].empty()) g = at;
        }
        note(g, s);
    }
    for (const Sighting& s : sightings)
        if (s.problem.empty() && s.uuid.empty() && s.serial.empty()) note(found(by_address, s.address), s);
    return groups;
}

// The first value a source gives, the sources taken as IPP, SNMP, DNS-SD.
std::string first_of(const Group& group, std::string Sighting::*field) {
    for (const Sighting* s : group)
        if (!(s->*field).empty()) return s->*field;
    return std::string();
}

Printer printer_of(Group group) {
    std::stable_sort(group.begin(), group.end(), [](const Sighting* a, const Sighting* b) {
        int ra = source_rank(a->via), rb = source_rank(b->via);
        return ra != rb ? ra < rb : earlier_address(a->address, b->address);
    });
    Printer p;
    p.address = group.front()->address;
    for (const Sighting* s : group) {
        if (s->address != p.address &&
            std::find(p.other_addresses.begin(), p.other_addresses.end(), s->address) == p.other_addresses.end())
            p.other_addresses.push_back(s->address);
        if (std::find(p.via.begin(), p.via.end(), s->via) == p.via.end()) p.via.push_back(s->via);
    }
    std::sort(p.other_addresses.begin(), p.other_addresses.end(), earlier_address);
    p.model = first_of(group, &Sighting::model);
    p.firmware = first_of(group, &Sighting::firmware);
    p.uuid = first_of(group, &Sighting::uuid);
    p.serial = first_of(group, &Sighting::serial);
    p.name = first_of(group, &Sighting::name);
    return p;
}

}  // namespace

std::vector<Printer> merge_sightings(const std::vector<Sighting>& sightings) {
    std::vector<Printer> printers;
    for (const Group& g : grouped(sightings)) printers.push_back(printer_of(g));
    std::stable_sort(printers.begin(), printers.end(),
              [](const Printer& a, const Printer& b) { return earlier_address(a.address, b.address); });
    return printers;
}

}  // namespace find
