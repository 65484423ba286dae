#include "query.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "bundle_check.h"
#include "ipp.h"
#include "model_check.h"
#include "models.h"
#include "result.h"
#include "text.h"

namespace fleet {

namespace {

constexpr auto read_after = std::chrono::minutes(2);
constexpr auto read_pause = std::chrono::seconds(5);

struct Verdict {
    Result result = Result::failed;
    std::string message;
    std::string version;
    std::string model;
};

// Before a delivery: the model, where the bundle names models, then the
// firmware version, as a run decides them; with neither to check, nothing
// is asked of the printer.
Verdict before(const FleetSettings& s, const std::vector<std::string>& patterns) {
    Verdict v;
    v.result = Result::to_deliver;
    if (s.firmware.empty() && patterns.empty()) return v;
    int cancel = 0;
    IppAnswer answer = ask_printer(s.read_address, &cancel);
    v.model = answer.make_and_model;
    ModelCheck model = check_model(answer, patterns);
    if (model.verdict != ModelVerdict::fits) {
        v.result = model.verdict == ModelVerdict::other_model ? Result::incompatible : Result::failed;
        v.message = model.message;
        return v;
    }
    if (s.firmware.empty()) return v;
    v.result = Result::failed;
    std::string why;
    if (!firmware_version(answer, s.firmware_name, &v.version, &why)) {
        v.message = "no firmware version before the delivery: " + why;
        return v;
    }
    v.result = v.version == s.firmware_version ? Result::current : Result::to_deliver;
    return v;
}

Verdict after(const FleetSettings& s) {
    int cancel = 0;
    auto until = std::chrono::steady_clock::now() + read_after;
    for (;;) {
        IppAnswer answer = ask_printer(s.read_address, &cancel);
        Verdict v;
        v.model = answer.make_and_model;
        std::string why;
        if (firmware_version(answer, s.firmware_name, &v.version, &why)) {
            v.result = v.version == s.firmware_version ? Result::ok : Result::failed;
            if (v.result == Result::failed) v.message = "still " + v.version + " after the delivery";
            return v;
        }
        if (std::chrono::steady_clock::now() >= until) {
            v.message = "no firmware version after the delivery";
            return v;
        }
        std::this_thread::sleep_for(read_pause);
    }
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
    Verdict v = s.read_when == "before" ? before(s, patterns) : after(s);
    std::printf("{\"address\": %s, \"when\": %s, \"result\": %s, \"message\": %s, \"version\": %s, \"model\": %s}\n",
                json_string(s.read_address).c_str(), json_string(s.read_when).c_str(),
                json_string(result_name(v.result)).c_str(), json_string(v.message).c_str(),
                json_string(v.version).c_str(), json_string(v.model).c_str());
    return v.result == Result::failed ? 1 : 0;
}

}  // namespace fleet
