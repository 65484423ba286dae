#include "model_check.h"

#include "models.h"

namespace fleet {

ModelCheck check_model(const IppAnswer& answer, const std::vector<std::string>& patterns) {
    ModelCheck check;
    if (patterns.empty()) return check;
    if (!answer.problem.empty() || answer.make_and_model.empty()) {
        check.verdict = ModelVerdict::unread;
        check.message = "no printer model before the delivery: " +
                        (answer.problem.empty() ? std::string("no printer-make-and-model") : answer.problem);
        return check;
    }
    for (const std::string& pattern : patterns)
        if (pack::model_matches(pattern, answer.make_and_model)) return check;
    std::string listed;
    for (const std::string& pattern : patterns) listed += (listed.empty() ? "" : ", ") + pattern;
    check.verdict = ModelVerdict::other_model;
    check.message = "model " + answer.make_and_model + " is not one the bundle is for (" + listed + ")";
    return check;
}

}  // namespace fleet
