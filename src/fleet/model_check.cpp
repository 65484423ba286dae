#include "model_check.h"

namespace fleet {

ModelCheck check_model(const IppAnswer& answer, const std::vector<Bundle>& bundles) {
    ModelCheck check;
    if (!names_models(bundles)) {
        check.bundle = bundles.empty() ? no_bundle : 0;
        return check;
    }
    if (!answer.problem.empty() || answer.make_and_model.empty()) {
        check.verdict = ModelVerdict::unread;
        check.message = "no printer model before the delivery: " +
                        (answer.problem.empty() ? std::string("no printer-make-and-model") : answer.problem);
        return check;
    }
    check.bundle = choose_bundle(answer.make_and_model, bundles);
    if (check.bundle != no_bundle) return check;
    check.verdict = ModelVerdict::other_model;
    check.message = no_bundle_message(answer.make_and_model, bundles);
    return check;
}

}  // namespace fleet
