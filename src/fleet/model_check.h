// Which of the run's bundles a printer gets, by the model it reports over
// IPP and the patterns the bundles name: decided before anything else is
// sent to it.
#pragma once

#include <string>
#include <vector>

#include "bundles.h"
#include "ipp.h"

namespace fleet {

enum class ModelVerdict {
    fits,         // a bundle is for its model
    other_model,  // it reports a model no bundle is for: it gets nothing
    unread,       // no model could be read: it gets nothing either
};

struct ModelCheck {
    ModelVerdict verdict = ModelVerdict::fits;
    std::string message;  // the printer's message unless it fits
    std::size_t bundle = no_bundle;  // the place of the bundle it gets, when it fits
};

// The verdict on an IPP answer against the bundles (none naming models:
// every printer fits, and gets the first).
ModelCheck check_model(const IppAnswer& answer, const std::vector<Bundle>& bundles);

}  // namespace fleet
