#include "fleet.h"

#include <cstdio>
#include <filesystem>

#include "closing.h"
#include "gate.h"
#include "loop.h"
#include "options.h"
#include "platform/platform.h"
#include "preparation.h"
#include "query.h"

namespace fleet {

namespace {

int refuse(const std::string& why) {
    std::fprintf(stderr, "holm-fleet: %s\n", why.c_str());
    return 2;
}

std::string check_tools(const FleetRun& run) {
    if (!run.settings.key.empty() && plat::find_program("minisign").empty())
        return "minisign is not installed (Debian package minisign)";
    return std::string();
}

// The run's steps before any printer is contacted, in order; the first
// refusal ends the run.
std::string prepare(FleetRun& run) {
    using Step = std::string (*)(FleetRun&);
    const Step steps[] = {[](FleetRun& r) { return check_tools(r); },
                          check_bundle_name, read_printers, choose_printers, copy_bundle, check_bundle, check_room,
                          prepare_records};
    for (Step step : steps) {
        std::string refusal = step(run);
        if (!refusal.empty()) return refusal;
    }
    return std::string();
}

void start_machinery(FleetRun& run) {
    for (std::string& entry : plat::environment())
        if (entry.rfind("HOLM_PASSWORD=", 0) != 0) run.environment.push_back(std::move(entry));
    run.checks_model = !run.models.empty() && !run.settings.ignore_model;
    run.reads_ipp = !run.settings.firmware.empty() || run.checks_model;
    run.waves = wave_sizes(run.settings.waves, run.todo.size());
    plat::wake_open();
    if (run.reads_ipp) run.ipp.start(std::min<std::size_t>(run.at_once, 256));
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
