// What a run makes of a printer's IPP answers, before and after its
// delivery: the one home of these rules, for a run and for --read alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundles.h"
#include "ipp.h"
#include "result.h"
#include "settings.h"

namespace fleet {

// Reads after a delivery go on this long while the printer's IPP service
// comes up after its restart, this far apart.
constexpr std::uint64_t read_after_ms = 120000;
constexpr std::uint64_t read_pause_ms = 5000;

struct Verdict {
    Result result = Result::none;
    std::string message;  // why, when failed or incompatible
    std::string version;  // the firmware version that counts, when read
    std::size_t bundle = no_bundle;  // the bundle it gets, or would get
};

// Before a delivery: which bundle the printer gets (by its model when
// by_model, else the first), then, when a version is known for that
// bundle (its own, or --firmware), the version read: incompatible, failed
// (neither could be read), current, or to_deliver (the bundle goes to it,
// but with --plan).
Verdict verdict_before(const IppAnswer& answer, const std::vector<Bundle>& bundles, bool by_model,
                       const FleetSettings& s);

// After a delivery, against the [NAME=]VERSION the printer must now
// report: ok, failed (another version), or none while no version could be
// read (read again, while there is time).
Verdict verdict_after(const IppAnswer& answer, const std::string& target);

// The message of a printer whose version could not be read after its
// delivery in all the time given.
extern const char no_version_after[];

}  // namespace fleet
