#include "query.h"

#include <cstdio>

#include "bundle_check.h"
#include "firmware.h"
#include "ipp_pool.h"
#include "models.h"
#include "model_check.h"
#include "names.h"
#include "platform/platform.h"
#include "text.h"
#include "verdicts.h"

namespace fleet {

namespace {

// The printer's answer, asked in a thread of its own so that a stop signal
// ends the wait at once; false when one came.
bool ask_once(IppPool& pool, const std::string& address, IppAnswer* answer) {
    pool.ask(0, address);
    for (;;) {
        std::vector<IppDone> done = pool.take_done();
        if (!done.empty()) {
            *answer = std::move(done.front().answer);
            return true;
        }
        std::vector<plat::Ended> ended;
        plat::StopRequest stop = plat::StopRequest::none;
        plat::wait_events(-1, ended, &stop);
        if (stop != plat::StopRequest::none) return false;
    }
}

struct Read {
    Verdict verdict;
    std::string model;
    bool stopped = false;
};

Read before(IppPool& pool, const std::string& address, const FleetSettings& s, const std::vector<Bundle>& bundles) {
    Read r;
    r.verdict.result = Result::to_deliver;
    r.verdict.bundle = bundles.empty() ? no_bundle : 0;
    if (s.firmware.empty() && !reads_before(bundles, s)) return r;
    IppAnswer answer;
    r.stopped = !ask_once(pool, address, &answer);
    r.model = answer.make_and_model;
    bool by_model = names_models(bundles) && !s.ignore_model;
    if (!r.stopped) r.verdict = verdict_before(answer, bundles, by_model, s);
    return r;
}

// After a delivery, against the version of the bundle the printer's model
// chooses (the model stays what it was): none while the model cannot be
// read yet (the printer may still be restarting).
Verdict judged_after(const IppAnswer& answer, const FleetSettings& s, const std::vector<Bundle>& bundles) {
    Verdict v;
    if (!bundles.empty() && !s.ignore_model) {
        ModelCheck model = check_model(answer, bundles);
        if (model.verdict == ModelVerdict::unread) return v;
        if (model.verdict == ModelVerdict::other_model) return Verdict{Result::failed, model.message, "", no_bundle};
        v.bundle = model.bundle;
    } else if (!bundles.empty()) {
        v.bundle = 0;
    }
    std::string target = v.bundle == no_bundle ? s.firmware : target_firmware(bundles[v.bundle], s);
    if (target.empty() && v.bundle != no_bundle)
        return Verdict{Result::failed, bundle_name(bundles[v.bundle]) + " records no firmware version to read back",
                       "", v.bundle};
    std::size_t chosen = v.bundle;
    v = verdict_after(answer, target);
    v.bundle = chosen;
    return v;
}

Read after(IppPool& pool, const std::string& address, const FleetSettings& s, const std::vector<Bundle>& bundles) {
    Read r;
    std::uint64_t until = plat::monotonic_ms() + read_after_ms;
    for (;;) {
        IppAnswer answer;
        if (!ask_once(pool, address, &answer)) break;
        r.model = answer.make_and_model;
        r.verdict = judged_after(answer, s, bundles);
        if (r.verdict.result != Result::none) return r;
        if (plat::monotonic_ms() >= until) {
            r.verdict.result = Result::failed;
            r.verdict.message = no_version_after;
            return r;
        }
        if (!plat::pause_unless_stopped(static_cast<int>(read_pause_ms))) break;
    }
    r.stopped = true;
    return r;
}

void print_read(const FleetSettings& s, const Read& r, const std::vector<Bundle>& bundles) {
    std::string bundle = r.verdict.bundle == no_bundle ? "" : bundle_name(bundles[r.verdict.bundle]);
    std::printf("{\"address\": %s, \"when\": %s, \"result\": %s, \"message\": %s, \"version\": %s, \"model\": %s, "
                "\"bundle\": %s}\n",
                json_string(s.read_address).c_str(), json_string(s.read_when).c_str(),
                json_string(result_name(r.verdict.result)).c_str(), json_string(r.verdict.message).c_str(),
                json_string(r.verdict.version).c_str(), json_string(r.model).c_str(), json_string(bundle).c_str());
}

// The bundles as a run's gate reads them, without the copy; the
// refusal, or empty.
std::string read_bundles(const FleetSettings& s, std::vector<Bundle>& bundles) {
    for (const std::string& given : s.bundles) {
        pack::Inspection found = pack::inspect_bundle(given);
        if (!found.unreadable.empty()) return given + ": " + found.unreadable;
        Bundle b;
        b.given = given;
        b.models = pack::models_of(found.directory.comment);
        b.firmware = pack::firmware_of(found.directory.comment);
        bundles.push_back(b);
    }
    std::string refusal = firmware_conflict(bundles, s);
    if (refusal.empty()) refusal = settings_conflict(bundles, s);
    bool known = !s.firmware.empty();
    for (const Bundle& b : bundles) known = known || !b.firmware.empty();
    if (refusal.empty() && s.read_when == "after" && !known)
        refusal = "--read after needs --firmware, or a BUNDLE that records its version";
    return refusal;
}

}  // namespace

int read_printer_state(const FleetSettings& s) {
    std::vector<Bundle> bundles;
    std::string refusal = read_bundles(s, bundles);
    if (!refusal.empty()) {
        std::fprintf(stderr, "holm-fleet: %s\n", refusal.c_str());
        return 2;
    }
    Read r;
    Resolved address = resolve_one(s.read_address);
    if (address.ipv4.empty()) {
        r.verdict = Verdict{Result::failed, address.problem, ""};
    } else {
        plat::wake_open();
        IppPool pool;
        if (!pool.start(1).empty()) {
            std::fprintf(stderr, "holm-fleet: cannot start a thread to read the printer\n");
            return 1;
        }
        r = s.read_when == "before" ? before(pool, address.ipv4, s, bundles) : after(pool, address.ipv4, s, bundles);
    }
    if (r.stopped || plat::stop_asked() != plat::StopRequest::none) {
        std::fprintf(stderr, "holm-fleet: interrupted\n");
        return 1;
    }
    print_read(s, r, bundles);
    return r.verdict.result == Result::failed ? 1 : 0;
}

}  // namespace fleet
