#include "closing.h"

#include <cstdio>
#include <map>

#include "report.h"
#include "rows.h"
#include "text.h"

namespace fleet {

namespace {

bool reads_version(const FleetRun& run) {
    for (const Bundle& b : run.bundles)
        if (!target_firmware(b, run.settings).empty()) return true;
    return false;
}

// With several bundles, what each printer got (or would get with --plan)
// is said beside it.
std::string got_note(const FleetRun& run, const SummaryRow& r) {
    return run.bundles.size() > 1 && !r.bundle.empty() ? ", gets " + r.bundle : "";
}

// How many printers got each bundle, when there are several.
void print_bundle_counts(const FleetRun& run, const std::vector<SummaryRow>& rows) {
    if (run.bundles.size() < 2) return;
    for (const Bundle& b : run.bundles) {
        std::map<std::string, long> counts;
        long all = 0;
        for (const SummaryRow& r : rows)
            if (r.bundle == bundle_name(b)) ++counts[r.result], ++all;
        std::string line;
        for (const auto& [result, count] : counts) line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + result;
        std::printf("%s: %ld %s%s%s\n", bundle_name(b).c_str(), all, all == 1 ? "printer" : "printers",
                    line.empty() ? "" : ": ", line.c_str());
    }
}

std::string outcome_line(const FleetRun& run, std::map<std::string, long>& counts, std::size_t printers) {
    std::string line = std::to_string(printers) + (printers == 1 ? " printer: " : " printers: ");
    auto n = [&](const char* result) { return std::to_string(counts[result]) + " " + result; };
    if (run.settings.plan)
        line += n("current") + ", " + n("to deliver") + ", " + n("failed");
    else if (reads_version(run))
        line += n("ok") + ", " + n("current") + ", " + n("failed");
    else
        line += n("ok") + ", " + n("failed");
    if (counts["incompatible"] > 0) line += ", " + n("incompatible");
    if (counts["not started"] > 0) line += ", " + n("not started");
    return line;
}

std::string within_limit(const FleetRun& run) {
    const Limit& limit = run.settings.max_failed;
    return limit.set ? ", more than --max-failed " + limit.text + " allows" : "";
}

}  // namespace

std::string stop_line(const FleetRun& run) {
    std::string behind = std::to_string(run.stopped_at.failed) + " of " + std::to_string(run.stopped_at.finished);
    switch (run.stopped) {
    case StopReason::canary:
        if (!run.settings.max_failed.set)
            return "Stopped after the canary: not all of the first " + std::to_string(run.settings.canary) +
                   " printers ended ok";
        return "Stopped after the canary: " + behind + " printers failed" + within_limit(run);
    case StopReason::wave:
        return "Stopped after wave " + std::to_string(run.wave + 1) + ": " + behind + " printers of " +
               (run.wave == 0 ? std::string("wave 1") : "waves 1 to " + std::to_string(run.wave + 1)) + " failed" +
               within_limit(run);
    case StopReason::brake:
        return "Stopped by --max-failed " + run.settings.max_failed.text + ": " + behind + " finished printers failed";
    case StopReason::window:
        return "Stopped at the end of the window";
    case StopReason::machine:
        return "Stopped: " + run.machine_problem + " (no further printer started)";
    default:
        return "Interrupted";
    }
}

int close_run(FleetRun& run) {
    std::vector<SummaryRow> rows = summary_rows(run, true);
    bool written = write_summary(run.places.summary, rows);
    std::map<std::string, long> counts;
    std::vector<std::pair<std::string, std::string>> listed;
    std::size_t width = 0;
    for (const SummaryRow& r : rows) {
        ++counts[r.result];
        if (r.result == "failed" || r.result == "incompatible") listed.emplace_back(r.address, r.message);
        if (r.result == "to deliver")
            listed.emplace_back(r.address, "to deliver" + (r.before.empty() ? "" : ", runs " + r.before) + got_note(run, r));
        if (r.result == "current" && run.settings.plan && run.bundles.size() > 1)
            listed.emplace_back(r.address, "current, runs " + r.before + got_note(run, r));
    }
    for (const auto& entry : listed) width = std::max(width, entry.first.size());
    std::printf("%s\n", outcome_line(run, counts, rows.size()).c_str());
    print_bundle_counts(run, rows);
    for (const auto& [address, note] : listed) std::printf("  %-*s  %s\n", static_cast<int>(width), address.c_str(), note.c_str());
    if (counts["not started"] > 0) std::printf("%s\n", stop_line(run).c_str());
    // Not one printer a bundle is for: a wrong bundle, or a wrong list.
    bool none_for_it = counts["incompatible"] == static_cast<long>(rows.size());
    if (none_for_it)
        std::printf("No printer of the list is of a model %s is for\n", run.bundles.size() > 1 ? "any bundle" : "the bundle");
    std::printf("Records: %s\n", run.places.summary.c_str());
    write_report(run, true);
    std::fflush(stdout);
    if (!written) std::fprintf(stderr, "holm-fleet: cannot write %s\n", run.places.summary.c_str());
    return written && counts["failed"] == 0 && counts["not started"] == 0 && !none_for_it ? 0 : 1;
}

}  // namespace fleet
