#include "model_filter.h"

#include "bundle_check.h"
#include "models.h"

namespace find {

std::string read_bundle_patterns(const std::vector<std::string>& bundles,
                                 std::vector<std::vector<std::string>>& lists) {
    for (const std::string& bundle : bundles) {
        pack::Inspection found = pack::inspect_bundle(bundle);
        if (!found.unreadable.empty()) return "--bundle " + bundle + ": " + found.unreadable;
        if (!pack::is_sound(found)) return "--bundle " + bundle + ": holm-pack -t does not find it sound";
        lists.push_back(pack::models_of(found.directory.comment));
    }
    return std::string();
}

std::vector<Printer> kept_for(const std::vector<Printer>& printers,
                              const std::vector<std::vector<std::string>>& lists) {
    if (lists.empty()) return printers;
    std::vector<Printer> kept;
    for (const Printer& p : printers)
        for (const std::vector<std::string>& patterns : lists)
            if (pack::bundle_is_for(patterns, p.model)) {
                kept.push_back(p);
                break;
            }
    return kept;
}

}  // namespace find
