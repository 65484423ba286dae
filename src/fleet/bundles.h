// The bundles of one run, and which of them each printer gets: the first,
// in the order given, whose models match the printer-make-and-model it
// reports; a bundle that names no models matches every printer. The one
// home of that rule, for a run and for --read alike.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "settings.h"

namespace fleet {

struct Bundle {
    std::string given;     // as on the command line
    std::string absolute;  // no link resolved: the name is the payload's
    std::string copy;      // the checked copy, the only one run
    std::string sha256;    // of the copy
    std::vector<std::string> models;  // the patterns it names
    std::string firmware;  // the [NAME=]VERSION it records, empty for none
};

constexpr std::size_t no_bundle = static_cast<std::size_t>(-1);

// The place of the bundle a printer of this model gets, or no_bundle.
std::size_t choose_bundle(const std::string& model, const std::vector<Bundle>& bundles);

// Why a printer of this model gets none of them, naming each bundle's
// patterns.
std::string no_bundle_message(const std::string& model, const std::vector<Bundle>& bundles);

// Whether any bundle names models: only then is a printer's model read.
bool names_models(const std::vector<Bundle>& bundles);

// The base name of a bundle, as it appears in the records.
std::string bundle_name(const Bundle& bundle);

// The version a printer that gets the bundle must report once done: the
// bundle's own, else --firmware's; empty when none is known.
std::string target_firmware(const Bundle& bundle, const FleetSettings& s);

// Whether each printer is read over IPP before its delivery: to choose
// its bundle by its model, or to compare its version with a known one.
bool reads_before(const std::vector<Bundle>& bundles, const FleetSettings& s);

// The refusal of options that the bundles leave without sense: a bundle
// chosen without the printers' models, --plan with nothing to read. Empty
// when none.
std::string settings_conflict(const std::vector<Bundle>& bundles, const FleetSettings& s);

// The refusal of two bundles of the same base name (each reads its payload
// by its own name, so the copies keep them), or empty.
std::string same_names(const std::vector<Bundle>& bundles);

// The refusal of a bundle whose recorded version --firmware contradicts,
// or empty.
std::string firmware_conflict(const std::vector<Bundle>& bundles, const FleetSettings& s);

}  // namespace fleet
