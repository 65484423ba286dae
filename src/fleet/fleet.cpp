#include "fleet.h"

#include <cstdio>
#include <filesystem>

#include "closing.h"
#include "gate.h"
#include "loop.h"
#include "names.h"
#include "options.h"
#include "platform/platform.h"
#include "preparation.h"
#include "query.h"

namespace fleet {

namespace {

int refuse(const std::string& why) {
    std::fprintf(stderr, "holm-fleet: %s\n", why.c_str());
    return why == interrupted_refusal ? 1 : 2;
}

std::string check_tools(const FleetRun& run) {
    if (!run.settings.key.empty() && plat::find_program("minisign").empty())
        return "minisign is not installed (Debian package minisign)";
    if (!run.settings.ca.empty() && plat::find_program("osslsigncode").empty())
        return "osslsigncode is not installed (Debian package osslsigncode)";
    return std::string();
}

// The run's steps before any printer is contacted, in order; the first
// refusal, or a stop signal, ends the run there.
std::string prepare(FleetRun& run) {
    using Step = std::string (*)(FleetRun&);
    const Step steps[] = {[](FleetRun& r) { return check_tools(r); },
                          check_bundle_name, read_printers, resolve_printers, choose_printers, copy_bundle, check_copy,
                          check_room, prepare_records};
    for (Step step : steps) {
        if (plat::stop_asked() != plat::StopRequest::none) return interrupted_refusal;
        std::string refusal = step(run);
        if (!refusal.empty()) return refusal;
    }
    return std::string();
}

// The IPP threads, and what every bundle gets. A machine that cannot give
// the threads stops the run before any printer starts.
void start_machinery(FleetRun& run) {
    for (std::string& entry : plat::environment())
        if (entry.rfind("HOLM_PASSWORD=", 0) != 0) run.environment.push_back(std::move(entry));
    run.checks_model = names_models(run.bundles) && !run.settings.ignore_model;
    run.reads_ipp = reads_ipp(run);
    run.waves = wave_sizes(run.settings.waves, run.todo.size());
    plat::wake_open();
    std::string problem = run.reads_ipp ? run.ipp.start(ipp_threads(run)) : std::string();
    if (!problem.empty()) {
        run.machine_problem = problem;
        run.stopped = StopReason::machine;
    }
}

}  // namespace

int run_fleet(int argc, char* argv[], FleetRun& run) {
    Parsed parsed = parse_command_line(argc, argv, run.settings);
    if (parsed.status == 2) return refuse(parsed.refusal);
    if (parsed.status >= 0) return parsed.status;
    if (!run.settings.read_when.empty()) return read_printer_state(run.settings);
    std::string refusal = prepare(run);
    if (!refusal.empty()) return refuse(refusal);
    start_machinery(run);
    run_printers(run);
    return close_run(run);
}

void clean_up(FleetRun& run) {
    if (run.places.joblog != nullptr) std::fclose(run.places.joblog);
    run.places.joblog = nullptr;
    std::error_code ec;
    if (!run.places.private_folder.empty()) std::filesystem::remove_all(run.places.private_folder, ec);
}

}  // namespace fleet
