#include "verdicts.h"

#include "model_check.h"

namespace fleet {

const char no_version_after[] = "no firmware version after the delivery";

Verdict verdict_before(const IppAnswer& answer, const std::vector<std::string>& patterns, const FleetSettings& s) {
    Verdict v;
    ModelCheck model = check_model(answer, patterns);
    if (model.verdict != ModelVerdict::fits) {
        v.result = model.verdict == ModelVerdict::other_model ? Result::incompatible : Result::failed;
        v.message = model.message;
        return v;
    }
    v.result = Result::to_deliver;
    if (s.firmware.empty()) return v;
    std::string why;
    if (!firmware_version(answer, s.firmware_name, &v.version, &why)) {
        v.result = Result::failed;
        v.message = "no firmware version before the delivery: " + why;
    } else if (v.version == s.firmware_version) {
        v.result = Result::current;
    }
    return v;
}

Verdict verdict_after(const IppAnswer& answer, const FleetSettings& s) {
    Verdict v;
    std::string why;
    if (!firmware_version(answer, s.firmware_name, &v.version, &why)) return v;
    v.result = v.version == s.firmware_version ? Result::ok : Result::failed;
    if (v.result == Result::failed) v.message = "still " + v.version + " after the delivery";
    return v;
}

}  // namespace fleet
