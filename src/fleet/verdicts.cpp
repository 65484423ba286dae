#include "verdicts.h"

#include "firmware.h"
#include "model_check.h"

namespace fleet {

const char no_version_after[] = "no firmware version after the delivery";

Verdict verdict_before(const IppAnswer& answer, const std::vector<Bundle>& bundles, bool by_model,
                       const FleetSettings& s) {
    Verdict v;
    ModelCheck model;
    if (by_model)
        model = check_model(answer, bundles);
    else
        model.bundle = bundles.empty() ? no_bundle : 0;
    if (model.verdict != ModelVerdict::fits) {
        v.result = model.verdict == ModelVerdict::other_model ? Result::incompatible : Result::failed;
        v.message = model.message;
        return v;
    }
    v.bundle = model.bundle;
    v.result = Result::to_deliver;
    std::string target = v.bundle == no_bundle ? s.firmware : target_firmware(bundles[v.bundle], s);
    std::string name, version, why;
    if (!pack::split_firmware(target, &name, &version)) return v;
    if (!firmware_version(answer, name, &v.version, &why)) {
        v.result = Result::failed;
        v.message = "no firmware version before the delivery: " + why;
    } else if (v.version == version) {
        v.result = Result::current;
    }
    return v;
}

Verdict verdict_after(const IppAnswer& answer, const std::string& target) {
    Verdict v;
    std::string name, version, why;
    pack::split_firmware(target, &name, &version);
    if (!firmware_version(answer, name, &v.version, &why)) return v;
    v.result = v.version == version ? Result::ok : Result::failed;
    if (v.result == Result::failed) v.message = "still " + v.version + " after the delivery";
    return v;
}

}  // namespace fleet
