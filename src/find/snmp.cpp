// The SNMP source: one net-snmp session (one UDP socket) an address, at most
// a bounded number of them open at once, all waited on with one select over
// a large descriptor set, so that a /16 needs neither a thread nor a
// descriptor per address.
#include "snmp.h"

#include <algorithm>
#include <utility>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>

#include "platform/platform.h"
#include "snmp_answer.h"
#include "snmp_library.h"

namespace find {

namespace {

// sysDescr.0, sysName.0, hrDeviceDescr.1, prtGeneralSerialNumber.1: the
// order of SnmpField.
const oid asked[field_count][13] = {
    {1, 3, 6, 1, 2, 1, 1, 1, 0},
    {1, 3, 6, 1, 2, 1, 1, 5, 0},
    {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1},
    {1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 17, 1},
};
const std::size_t asked_length[field_count] = {9, 9, 12, 12};

// Descriptors kept for the rest of the process (standard streams, the
// other sources' sockets, libraries) when the limit decides how many
// sessions may be open.
constexpr long kept_descriptors = 64;
// Past its tries' time and this, an address is given up whatever the
// library says.
constexpr std::uint64_t give_up_grace_ms = 1000;
// The longest wait between looks at *stop.
constexpr long stop_look_us = 200 * 1000;

enum class Asked { idle, waiting, done };

struct Slot {
    void* session = nullptr;
    std::size_t index = 0;  // of the address
    Asked state = Asked::idle;
    std::uint64_t give_up_ms = 0;  // should the library never call back
    bool answered = false;
    SnmpAnswer answer;
};

std::string dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

SnmpValue value_of(const netsnmp_variable_list* var) {
    SnmpValue value;
    if (var->type == SNMP_NOSUCHOBJECT || var->type == SNMP_NOSUCHINSTANCE || var->type == SNMP_ENDOFMIBVIEW)
        return value;
    if (var->type != ASN_OCTET_STR) {
        value.kind = SnmpKind::other;
        return value;
    }
    value.kind = SnmpKind::text;
    if (var->val.string != nullptr) value.bytes.assign(reinterpret_cast<const char*>(var->val.string), var->val_len);
    return value;
}

SnmpAnswer answer_of(const netsnmp_pdu* pdu) {
    SnmpAnswer answer;
    answer.error_status = pdu->errstat;
    int f = 0;
    for (const netsnmp_variable_list* var = pdu->variables; var != nullptr; var = var->next_variable, ++f) {
        if (f >= field_count || snmp_oid_compare(var->name, var->name_length, asked[f], asked_length[f]) != 0) {
            answer.same_objects = false;
            break;
        }
        answer.values.push_back(value_of(var));
    }
    if (f != field_count) answer.same_objects = false;
    return answer;
}

int on_event(int operation, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
    Slot* slot = static_cast<Slot*>(magic);
    // A report, or anything but a response, is no answer to a GET; the
    // library forgets the request all the same, so the asking ends here.
    if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu != nullptr && pdu->command == SNMP_MSG_RESPONSE) {
        slot->answered = true;
        slot->answer = answer_of(pdu);
    }
    if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || operation == NETSNMP_CALLBACK_OP_TIMED_OUT ||
        operation == NETSNMP_CALLBACK_OP_SEND_FAILED)
        slot->state = Asked::done;
    return 1;
}

// Opens a session to the address and sends the GET: true when it went out
// (the slot then waits), false when no session could be opened.
bool ask(Slot* slot, std::uint32_t address, std::size_t index, const std::string& community,
         const SnmpBounds& bounds) {
    netsnmp_session settings;
    snmp_sess_init(&settings);
    std::string peer = "udp:" + dotted(address) + ":161";
    settings.peername = peer.data();
    settings.version = SNMP_VERSION_2c;
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(community.data()));
    settings.community_len = community.size();
    settings.timeout = static_cast<long>(bounds.timeout_ms) * 1000;
    settings.retries = bounds.retries;
    void* session = snmp_sess_open(&settings);
    if (session == nullptr) return false;
    *slot = Slot();
    slot->session = session;
    slot->index = index;
    slot->state = Asked::waiting;
    slot->give_up_ms = plat::monotonic_ms() + static_cast<std::uint64_t>(bounds.timeout_ms) *
                                                  (static_cast<std::uint64_t>(std::max(0, bounds.retries)) + 1) +
                       give_up_grace_ms;
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    for (int f = 0; f < field_count; ++f) snmp_add_null_var(pdu, asked[f], asked_length[f]);
    if (snmp_sess_async_send(session, pdu, on_event, slot) == 0) {
        // Not sent (no route to it, say): the address is not found.
        snmp_free_pdu(pdu);
        slot->state = Asked::done;
    }
    return true;
}

using Found = std::vector<std::pair<std::size_t, Sighting>>;

void close_slot(Slot* slot, Found* found, const std::vector<std::string>& names) {
    snmp_sess_close(slot->session);
    if (slot->answered) found->emplace_back(slot->index, judge_snmp_answer(names[slot->index], slot->answer));
    slot->session = nullptr;
    slot->state = Asked::idle;
}

// How many sessions may be open at once: the bound asked for, within the
// process's descriptor limit (raised to its hard limit first).
std::size_t session_room(const SnmpBounds& bounds) {
    std::size_t room = std::max<std::size_t>(1, bounds.in_flight);
    long limit = plat::raise_open_file_limit();
    if (limit != plat::unlimited) {
        long spare = std::max(limit / 4, limit - kept_descriptors);
        room = std::min(room, static_cast<std::size_t>(std::max(1L, spare)));
    }
    return room;
}

// Waits for any waiting session's socket to become readable, or for the
// earliest of their time-outs, or stop_look_us; then reads what arrived and
// lets the library resend or give up what timed out.
void wait_and_read(std::vector<Slot>& slots, netsnmp_large_fd_set* readable) {
    NETSNMP_LARGE_FD_ZERO(readable);
    int descriptors = 0;
    timeval wait{0, stop_look_us};
    for (Slot& slot : slots) {
        if (slot.state != Asked::waiting) continue;
        timeval own{0, stop_look_us};
        int block = 0;
        snmp_sess_select_info2_flags(slot.session, &descriptors, readable, &own, &block, NETSNMP_SELECT_NOALARMS);
        if (!block && (own.tv_sec < wait.tv_sec || (own.tv_sec == wait.tv_sec && own.tv_usec < wait.tv_usec)))
            wait = own;
    }
    int ready = netsnmp_large_fd_set_select(descriptors, readable, nullptr, nullptr, &wait);
    for (Slot& slot : slots) {
        if (slot.state != Asked::waiting) continue;
        if (ready > 0) {
            netsnmp_transport* transport = snmp_sess_transport(slot.session);
            if (transport != nullptr && transport->sock >= 0 && netsnmp_large_fd_is_set(transport->sock, readable))
                snmp_sess_read2(slot.session, readable);
        }
        if (slot.state == Asked::waiting) snmp_sess_timeout(slot.session);
        if (slot.state == Asked::waiting && plat::monotonic_ms() > slot.give_up_ms) slot.state = Asked::done;
    }
}

// The asking of one call: its slots, how many of them may be open now, the
// next address to ask and what was found.
struct Asking {
    const std::vector<std::uint32_t>& addresses;
    const std::string& community;
    const SnmpBounds& bounds;
    std::vector<std::string> names;
    std::vector<Slot> slots;
    std::size_t room = 0;
    std::size_t next = 0;
    std::size_t open = 0;
    Found found;
};

// Opens sessions for the next addresses while there is room.
void ask_more(Asking& run) {
    bool refused = false;
    for (Slot& slot : run.slots) {
        if (run.next >= run.addresses.size() || run.open >= run.room) break;
        if (slot.state != Asked::idle) continue;
        if (ask(&slot, run.addresses[run.next], run.next, run.community, run.bounds)) {
            ++run.next;
            ++run.open;
        } else if (run.open > 0) {
            // Out of descriptors (other parts of the process hold some): no
            // more at once than are open now, and the address waits.
            run.room = run.open;
            refused = true;
            break;
        } else {
            ++run.next;  // nothing open and still no socket: it cannot be asked
        }
    }
    // The descriptors others held may come back: room grows again slowly.
    if (!refused && run.room < run.slots.size()) ++run.room;
}

}  // namespace

std::vector<Sighting> snmp_sightings(const std::vector<std::uint32_t>& addresses, const std::string& community,
                                     const SnmpBounds& bounds, const std::atomic<bool>& stop) {
    start_snmp_library();
    Asking run{addresses, community, bounds, {}, {}, 0, 0, 0, {}};
    for (std::uint32_t address : addresses) run.names.push_back(dotted(address));
    run.slots.resize(std::min(session_room(bounds), std::max<std::size_t>(1, addresses.size())));
    run.room = run.slots.size();
    netsnmp_large_fd_set readable;
    netsnmp_large_fd_set_init(&readable, FD_SETSIZE);
    while (!stop.load() && (run.next < addresses.size() || run.open > 0)) {
        ask_more(run);
        if (run.open > 0) wait_and_read(run.slots, &readable);
        for (Slot& slot : run.slots)
            if (slot.state == Asked::done) {
                close_slot(&slot, &run.found, run.names);
                --run.open;
            }
    }
    for (Slot& slot : run.slots)
        if (slot.state != Asked::idle) close_slot(&slot, &run.found, run.names);
    netsnmp_large_fd_set_cleanup(&readable);
    // In the order the addresses were given, whatever order they answered in.
    std::sort(run.found.begin(), run.found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Sighting> sightings;
    for (auto& [index, seen] : run.found) sightings.push_back(std::move(seen));
    return sightings;
}

}  // namespace find
