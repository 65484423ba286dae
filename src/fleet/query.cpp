#include "query.h"

#include <cstdio>

#include "bundle_check.h"
#include "ipp_pool.h"
#include "models.h"
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

Read before(IppPool& pool, const std::string& address, const FleetSettings& s, const std::vector<std::string>& patterns) {
    Read r;
    r.verdict.result = Result::to_deliver;
    if (s.firmware.empty() && patterns.empty()) return r;
    IppAnswer answer;
    r.stopped = !ask_once(pool, address, &answer);
    r.model = answer.make_and_model;
    if (!r.stopped) r.verdict = verdict_before(answer, patterns, s);
    return r;
}

Read after(IppPool& pool, const std::string& address, const FleetSettings& s) {
    Read r;
    std::uint64_t until = plat::monotonic_ms() + read_after_ms;
    for (;;) {
        IppAnswer answer;
        if (!ask_once(pool, address, &answer)) break;
        r.model = answer.make_and_model;
        r.verdict = verdict_after(answer, s);
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

void print_read(const FleetSettings& s, const Read& r) {
    std::printf("{\"address\": %s, \"when\": %s, \"result\": %s, \"message\": %s, \"version\": %s, \"model\": %s}\n",
                json_string(s.read_address).c_str(), json_string(s.read_when).c_str(),
                json_string(result_name(r.verdict.result)).c_str(), json_string(r.verdict.message).c_str(),
                json_string(r.verdict.version).c_str(), json_string(r.model).c_str());
}

}  // namespace

int read_printer_state(const FleetSettings& s) {
    std::vector<std::string> patterns;
    if (!s.bundle.empty() && !s.ignore_model) {
        pack::Inspection found = pack::inspect_bundle(s.bundle);
        if (!found.unreadable.empty()) {
            std::fprintf(stderr, "holm-fleet: %s: %s\n", s.bundle.c_str(), found.unreadable.c_str());
            return 2;
        }
        patterns = pack::models_of(found.directory.comment);
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
        r = s.read_when == "before" ? before(pool, address.ipv4, s, patterns) : after(pool, address.ipv4, s);
    }
    if (r.stopped || plat::stop_asked() != plat::StopRequest::none) {
        std::fprintf(stderr, "holm-fleet: interrupted\n");
        return 1;
    }
    print_read(s, r);
    return r.verdict.result == Result::failed ? 1 : 0;
}

}  // namespace fleet
