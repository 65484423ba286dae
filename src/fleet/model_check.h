// Whether a printer is one the bundle is for, by the model it reports
// over IPP and the patterns the bundle names: decided before anything
// else is sent to it.
#pragma once

#include <string>
#include <vector>

#include "ipp.h"

namespace fleet {

enum class ModelVerdict {
    fits,         // its model matches one of the patterns
    other_model,  // it reports a model none of them matches: it gets nothing
    unread,       // no model could be read: it gets nothing either
};

struct ModelCheck {
    ModelVerdict verdict = ModelVerdict::fits;
    std::string message;  // the printer's message unless it fits
};

// The verdict on an IPP answer against the bundle's patterns (none: every
// printer fits).
ModelCheck check_model(const IppAnswer& answer, const std::vector<std::string>& patterns);

}  // namespace fleet
