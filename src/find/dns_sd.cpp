// The browse runs on Avahi's simple poll, driven in short slices so that a
// stop request is seen within one slice. Every service found (one per name,
// type and domain, whatever interfaces it shows up on) is queued and
// resolved to IPv4 by at most kMaxResolvers resolvers at once; each is freed
// as soon as it answers, so the client stays far below the daemon's limit of
// objects per client (1024 by default).
//
// What is not trusted: a service that does not resolve, resolves to no
// IPv4 address, or to one no printer can have (loopback, multicast, ...)
// gives no sighting but a warning, since there is nothing to list or ask.
// One that resolves but whose name, ty, product or UUID is garbage gives a
// sighting with its problem set (see dns_sd_record.h), so that the printer
// at that address is reported rather than silently dropped.
#include "dns_sd.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <tuple>

#include "dns_sd_record.h"

namespace find {
namespace {

const char* const kTypes[] = {"_ipp._tcp", "_ipps._tcp", "_pdl-datastream._tcp", "_printer._tcp"};
constexpr int kMaxResolvers = 256;
constexpr int kSliceMs = 200;
// Avahi gives up on a service after 5 s; a resolution started just before
// the browse ends gets that long to answer.
constexpr int kResolveGraceMs = 6000;
// Avahi's cache (cache-entries-max, 4096 records an interface by default)
// drops new records once full and tells no client. Each service takes at
// least three records (PTR, SRV, TXT), so this many services may fill it;
// and a full cache shows as services whose resolution times out, since the
// answers that would resolve them are dropped.
constexpr std::size_t kCacheWarnServices = 1000;
constexpr std::size_t kCacheWarnTimeouts = 5;
constexpr std::size_t kNamedFailures = 10;

using Key = std::tuple<std::string, std::string, std::string>;  // name, type, domain

struct Browse {
    AvahiClient* client = nullptr;
    std::set<Key> seen;
    std::deque<Key> queue;
    int outstanding = 0;
    std::map<Key, Sighting> resolved;
    std::vector<std::string> failures;  // "name" (type): why
    std::size_t timeouts = 0;
    std::vector<std::string> warnings;
    bool client_failed = false;
    std::string client_failure;
};

std::string describe(const Key& key) {
    return "\"" + std::get<0>(key) + "\" (" + std::get<1>(key) + ")";
}

std::string client_error(AvahiClient* client) { return avahi_strerror(avahi_client_errno(client)); }

TxtItems txt_items(AvahiStringList* txt) {
    TxtItems items;
    for (AvahiStringList* l = txt; l; l = avahi_string_list_get_next(l))
        items.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(l)),
                           avahi_string_list_get_size(l));
    return items;
}

void start_resolvers(Browse& b);

void on_resolved(const Key& key, const AvahiAddress* address, AvahiStringList* txt, Browse& b) {
    if (!address || address->proto != AVAHI_PROTO_INET) {
        b.failures.push_back(describe(key) + ": no IPv4 address");
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address->data.ipv4.address);
    char text[AVAHI_ADDRESS_STR_MAX];
    avahi_address_snprint(text, sizeof text, address);
    if (!printer_address(bytes)) {
        b.failures.push_back(describe(key) + ": it gives the address " + text + ", which no printer has");
        return;
    }
    b.resolved[key] = dns_sd_sighting(text, std::get<0>(key), std::get<1>(key), txt_items(txt));
}

void resolve_failed(const Key& key, Browse& b) {
    if (avahi_client_errno(b.client) == AVAHI_ERR_TIMEOUT) ++b.timeouts;
    b.failures.push_back(describe(key) + ": " + client_error(b.client));
}

void resolve_callback(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                      const char* name, const char* type, const char* domain, const char*,
                      const AvahiAddress* address, std::uint16_t, AvahiStringList* txt, AvahiLookupResultFlags,
                      void* userdata) {
    Browse& b = *static_cast<Browse*>(userdata);
    Key key{name ? name : "", type ? type : "", domain ? domain : ""};
    if (event == AVAHI_RESOLVER_FOUND)
        on_resolved(key, address, txt, b);
    else
        resolve_failed(key, b);
    avahi_service_resolver_free(r);
    --b.outstanding;
    start_resolvers(b);
}

void start_resolvers(Browse& b) {
    while (b.outstanding < kMaxResolvers && !b.queue.empty()) {
        const Key& key = b.queue.front();
        AvahiServiceResolver* r = avahi_service_resolver_new(
            b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, std::get<0>(key).c_str(), std::get<1>(key).c_str(),
            std::get<2>(key).c_str(), AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), resolve_callback, &b);
        if (!r) {
            int error = avahi_client_errno(b.client);
            // Another client-side object (of a caller, or a lower limit set
            // in the daemon's configuration) may hold the room: wait for one
            // of ours to be freed.
            if (error == AVAHI_ERR_TOO_MANY_OBJECTS && b.outstanding > 0) return;
            b.failures.push_back(describe(key) + ": " + avahi_strerror(error));
        } else {
            ++b.outstanding;
        }
        b.queue.pop_front();
    }
}

void browse_callback(AvahiServiceBrowser*, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event, const char* name,
                     const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    Browse& b = *static_cast<Browse*>(userdata);
    if (event == AVAHI_BROWSER_FAILURE) {
        b.warnings.push_back(std::string("browsing for ") + (type ? type : "services") +
                             " failed: " + client_error(b.client));
        return;
    }
    // CACHE_EXHAUSTED only says the cached records have all been handed
    // out, ALL_FOR_NOW that few more are expected: the browse goes on for
    // the time asked either way, since slow printers answer late.
    if (event != AVAHI_BROWSER_NEW) return;
    Key key{name, type, domain};
    if (!b.seen.insert(key).second) return;
    b.queue.push_back(key);
    start_resolvers(b);
}

void client_callback(AvahiClient* client, AvahiClientState state, void* userdata) {
    Browse& b = *static_cast<Browse*>(userdata);
    if (state == AVAHI_CLIENT_FAILURE) {
        b.client_failed = true;
        b.client_failure = client_error(client);
    }
}

using Clock = std::chrono::steady_clock;

// Runs the poll until deadline, *stop, the daemon going away, or done()
// says there is nothing left to wait for.
template <class Done>
void run_until(AvahiSimplePoll* poll, Clock::time_point deadline, const std::atomic<bool>& stop, Browse& b,
               Done done) {
    while (!stop && !b.client_failed && !done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        if (avahi_simple_poll_iterate(poll, static_cast<int>(std::min<long long>(left, kSliceMs))) != 0) return;
    }
}

// A dotted IPv4 address as a number (it has been printed by Avahi).
std::uint32_t address_order(const std::string& dotted) {
    std::uint32_t value = 0, octet = 0;
    for (char c : dotted) {
        if (c == '.') {
            value = value << 8 | octet;
            octet = 0;
        } else {
            octet = octet * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    return value << 8 | octet;
}

std::vector<std::string> failure_warnings(const Browse& b) {
    std::vector<std::string> out;
    std::size_t shown = std::min(b.failures.size(), kNamedFailures);
    for (std::size_t i = 0; i < shown; ++i) out.push_back("could not resolve the DNS-SD service " + b.failures[i]);
    if (b.failures.size() > shown)
        out.push_back("could not resolve " + std::to_string(b.failures.size() - shown) +
                      " more DNS-SD services");
    return out;
}

// In order of address, then name and type, so that runs compare.
std::vector<Sighting> in_order(std::map<Key, Sighting>& resolved) {
    std::vector<Sighting> out;
    for (auto& entry : resolved) out.push_back(std::move(entry.second));
    std::stable_sort(out.begin(), out.end(), [](const Sighting& x, const Sighting& y) {
        return address_order(x.address) < address_order(y.address);
    });
    return out;
}

void finish(Browse& b, DnsSdFound& found) {
    std::size_t unresolved = b.queue.size() + static_cast<std::size_t>(b.outstanding);
    found.sightings = in_order(b.resolved);
    found.warnings = std::move(b.warnings);
    if (b.client_failed)
        found.warnings.push_back("the Avahi daemon went away while browsing (" + b.client_failure +
                                 "): printers may be missing");
    for (std::string& w : failure_warnings(b)) found.warnings.push_back(std::move(w));
    if (unresolved > 0)
        found.warnings.push_back(std::to_string(unresolved) + " DNS-SD services found were not resolved in time");
    if (b.seen.size() >= kCacheWarnServices ||
        b.timeouts >= std::max(kCacheWarnTimeouts, b.seen.size() / 10))
        found.warnings.push_back(
            "Avahi's cache may be full (" + std::to_string(b.seen.size()) + " services seen, " +
            std::to_string(b.timeouts) + " of them not answering in time): it drops new records silently, "
            "so some printers may be missing; raise cache-entries-max in avahi-daemon.conf");
}

std::vector<AvahiServiceBrowser*> start_browsers(Browse& b) {
    std::vector<AvahiServiceBrowser*> browsers;
    for (const char* type : kTypes) {
        AvahiServiceBrowser* browser =
            avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type, nullptr,
                                      static_cast<AvahiLookupFlags>(0), browse_callback, &b);
        if (browser)
            browsers.push_back(browser);
        else
            b.warnings.push_back(std::string("cannot browse for ") + type + ": " + client_error(b.client));
    }
    return browsers;
}

void browse(AvahiSimplePoll* poll, const std::vector<AvahiServiceBrowser*>& browsers, int wait_ms,
            const std::atomic<bool>& stop, Browse& b) {
    run_until(poll, Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0)), stop, b, [] { return false; });
    // No new services from here on; those found get their answers.
    for (AvahiServiceBrowser* browser : browsers) avahi_service_browser_free(browser);
    run_until(poll, Clock::now() + std::chrono::milliseconds(kResolveGraceMs), stop, b,
              [&b] { return b.outstanding == 0 && b.queue.empty(); });
}

}  // namespace

DnsSdFound dns_sd_sightings(int wait_ms, const std::atomic<bool>& stop) {
    DnsSdFound found;
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll) {
        found.problem = "cannot browse DNS-SD: out of memory";
        return found;
    }
    Browse b;
    int error = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0), client_callback, &b,
                                &error);
    if (!b.client) {
        found.problem = std::string("cannot browse DNS-SD: no Avahi daemon could be reached over D-Bus (") +
                        avahi_strerror(error) + "); is avahi-daemon running?";
        avahi_simple_poll_free(poll);
        return found;
    }
    std::vector<AvahiServiceBrowser*> browsers = start_browsers(b);
    if (browsers.empty())
        found.problem = "cannot browse DNS-SD: " + client_error(b.client);
    else
        browse(poll, browsers, wait_ms, stop, b);
    // Frees the resolvers still waiting as well.
    avahi_client_free(b.client);
    avahi_simple_poll_free(poll);
    finish(b, found);
    return found;
}

}  // namespace find
