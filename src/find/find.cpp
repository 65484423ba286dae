#include "find.h"

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "dns_sd.h"
#include "ipp_source.h"
#include "merge.h"
#include "model_filter.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "snmp.h"

namespace find {

namespace {

constexpr int bad_usage = 2;

struct Found {
    std::vector<Sighting> ipp, snmp, dns_sd;
    DnsSdFound dns_sd_run;
};

// The run never stops early on its own; the sources take a flag all the same.
std::atomic<bool> never{false};

void ask_sources(const FindSettings& s, Found& f) {
    std::vector<std::uint32_t> addresses = addresses_of(s.ranges);
    Progress progress = progress_for(addresses.size());
    std::thread snmp, dns_sd;
    if (s.snmp) {
        show_step(progress, "asking " + std::to_string(addresses.size()) + " addresses over SNMP");
        snmp = std::thread([&] { f.snmp = snmp_sightings(addresses, s.community, SnmpBounds{}, never); });
    }
    if (s.dns_sd) {
        show_step(progress, "browsing DNS-SD for " + std::to_string(s.wait_s) + " s");
        dns_sd = std::thread([&] { f.dns_sd_run = dns_sd_sightings(s.wait_s * 1000, never); });
    }
    if (!addresses.empty())
        f.ipp = ipp_sightings(addresses, IppBounds{}, never, [&](std::size_t done) { show_asked(progress, done); });
    if (snmp.joinable()) snmp.join();
    if (dns_sd.joinable()) dns_sd.join();
    f.dns_sd = f.dns_sd_run.sightings;
}

// DNS-SD names a printer and its address; what it is, the IPP read says.
// Addresses the range scan already read are not read twice.
void read_announced(Found& f) {
    std::set<std::string> read;
    for (const Sighting& s : f.ipp) read.insert(s.address);
    std::vector<std::string> more;
    for (const Sighting& s : f.dns_sd)
        if (s.has_ipp && s.problem.empty() && read.insert(s.address).second) more.push_back(s.address);
    for (Sighting& s : read_addresses(more, IppBounds{}, never)) f.ipp.push_back(std::move(s));
}

// Garbage is said, never listed: a printer that answers nonsense is not
// trusted with a place in the list.
void report_untrusted(const std::vector<Sighting>& sightings) {
    for (const Sighting& s : sightings)
        if (!s.problem.empty())
            std::fprintf(stderr, "holm-find: %s (%s): not listed: %s\n", s.address.c_str(), s.via.c_str(),
                         s.problem.c_str());
}

// What other sources say of an address whose IPP answer is not trusted is
// not trusted either: the device there is not listed at all.
std::vector<Sighting> without_untrusted_addresses(const std::vector<Sighting>& all) {
    std::set<std::string> untrusted;
    for (const Sighting& s : all)
        if (s.via == "ipp" && !s.problem.empty()) untrusted.insert(s.address);
    std::vector<Sighting> kept;
    for (const Sighting& s : all)
        if (s.problem.empty() && !untrusted.count(s.address)) kept.push_back(s);
    return kept;
}

void report_dns_sd(const DnsSdFound& run) {
    if (!run.problem.empty()) std::fprintf(stderr, "holm-find: dns-sd: %s\n", run.problem.c_str());
    for (const std::string& w : run.warnings) std::fprintf(stderr, "holm-find: dns-sd: %s\n", w.c_str());
}

std::string written(const std::vector<Printer>& printers, Format format) {
    if (format == Format::tsv) return tsv_text(printers);
    if (format == Format::json) return json_text(printers);
    return printers_text(printers);
}

int refuse(const std::string& why) {
    std::fprintf(stderr, "holm-find: %s\nTry holm-find --help.\n", why.c_str());
    return bad_usage;
}

}  // namespace

int run_find(int argc, char* argv[]) {
    FindSettings s;
    std::string why = parse_options(argc, argv, s);
    if (!why.empty()) return refuse(why);
    if (s.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    std::vector<std::vector<std::string>> lists;
    if (!s.for_patterns.empty()) lists.push_back(s.for_patterns);
    why = read_bundle_patterns(s.bundles, lists);
    if (!why.empty()) return refuse(why);

    Found f;
    ask_sources(s, f);
    read_announced(f);
    report_dns_sd(f.dns_sd_run);
    std::vector<Sighting> all = f.ipp;
    all.insert(all.end(), f.snmp.begin(), f.snmp.end());
    all.insert(all.end(), f.dns_sd.begin(), f.dns_sd.end());
    report_untrusted(all);
    std::vector<Printer> printers = kept_for(merge_sightings(without_untrusted_addresses(all)), lists);
    std::string text = written(printers, s.format);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return printers.empty() ? 1 : 0;
}

}  // namespace find
