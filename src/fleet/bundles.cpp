#include "bundles.h"

#include <filesystem>

#include "models.h"

namespace fleet {

std::size_t choose_bundle(const std::string& model, const std::vector<Bundle>& bundles) {
    for (std::size_t i = 0; i < bundles.size(); ++i)
        if (pack::bundle_is_for(bundles[i].models, model)) return i;
    return no_bundle;
}

std::string no_bundle_message(const std::string& model, const std::vector<Bundle>& bundles) {
    std::string listed;
    for (const Bundle& b : bundles) {
        std::string patterns;
        for (const std::string& pattern : b.models) patterns += (patterns.empty() ? "" : ", ") + pattern;
        listed += (listed.empty() ? "" : "; ") + (bundles.size() > 1 ? bundle_name(b) + ": " : "") + patterns;
    }
    return "model " + model + " is not one " + (bundles.size() > 1 ? "any bundle" : "the bundle") + " is for (" +
           listed + ")";
}

bool names_models(const std::vector<Bundle>& bundles) {
    for (const Bundle& b : bundles)
        if (!b.models.empty()) return true;
    return false;
}

std::string bundle_name(const Bundle& bundle) { return std::filesystem::path(bundle.given).filename().string(); }

std::string target_firmware(const Bundle& bundle, const FleetSettings& s) {
    return bundle.firmware.empty() ? s.firmware : bundle.firmware;
}

bool reads_before(const std::vector<Bundle>& bundles, const FleetSettings& s) {
    if (names_models(bundles) && !s.ignore_model) return true;
    for (const Bundle& b : bundles)
        if (!target_firmware(b, s).empty()) return true;
    return false;
}

std::string settings_conflict(const std::vector<Bundle>& bundles, const FleetSettings& s) {
    if (s.ignore_model && bundles.size() > 1 && names_models(bundles))
        return "--ignore-model goes with one BUNDLE only: without the printers' models no bundle can be chosen";
    if (s.plan && !reads_before(bundles, s))
        return "--plan needs --firmware, or a BUNDLE that names models or records its version";
    return std::string();
}

std::string same_names(const std::vector<Bundle>& bundles) {
    for (std::size_t i = 0; i < bundles.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (bundle_name(bundles[j]) == bundle_name(bundles[i]))
                return "two bundles are named " + bundle_name(bundles[i]) + " (" + bundles[j].given + ", " +
                       bundles[i].given + "): each runs under its own name, so the names must differ";
    return std::string();
}

std::string firmware_conflict(const std::vector<Bundle>& bundles, const FleetSettings& s) {
    for (const Bundle& b : bundles)
        if (!b.firmware.empty() && !s.firmware.empty() && b.firmware != s.firmware)
            return b.given + " installs firmware " + b.firmware + ", not --firmware " + s.firmware + ": nothing sent";
    return std::string();
}

}  // namespace fleet
