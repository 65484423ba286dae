#include "rows.h"

#include "platform/platform.h"
#include "text.h"

namespace fleet {

SummaryRow summary_row(const PrinterRun& p) {
    SummaryRow row{p.listed.address, "", "", "", "", "", ""};
    if (!p.chosen) return p.last;
    if (p.stage == Stage::done && p.result != Result::none && p.result != Result::not_started)
        return SummaryRow{p.listed.address, result_name(p.result), seconds_text(p.ended - p.started),
                          p.message,         p.before,               p.after,
                          p.bundle_file};
    // Started and cut short: whatever it was doing has no outcome.
    row.result = result_name(p.started != 0 ? Result::failed : Result::not_started);
    if (p.started != 0) row.message = "no result";
    return row;
}

SummaryRow shown_row(const PrinterRun& p) {
    bool running = p.chosen && p.started != 0 && p.stage != Stage::done;
    if (!running) return summary_row(p);
    return SummaryRow{p.listed.address, "running", "", "", p.before, p.after, p.bundle_file};
}

std::vector<SummaryRow> summary_rows(const FleetRun& run, bool ended) {
    std::vector<SummaryRow> rows;
    for (const PrinterRun& p : run.printers) rows.push_back(ended ? summary_row(p) : shown_row(p));
    return rows;
}

bool write_summary_now(const FleetRun& run) { return write_summary(run.places.summary, summary_rows(run, false)); }

void flush_records(const FleetRun& run) {
    // One flush of the whole file system: far cheaper than one for each
    // file when hundreds of printers end at once.
    plat::flush_file_system(run.places.dir);
}

}  // namespace fleet
