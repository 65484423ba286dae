#include "steps.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "model_check.h"
#include "records.h"
#include "text.h"

namespace fleet {

namespace {

// Reads after a delivery go on this long while the printer's IPP service
// comes up after its restart, this far apart.
constexpr std::uint64_t read_after_ms = 120000;
constexpr std::uint64_t read_pause_ms = 5000;

void finish_printer(FleetRun& run, std::size_t place, Result result, const std::string& message) {
    PrinterRun& p = run.printers[place];
    p.stage = Stage::done;
    p.result = result;
    p.message = message;
    p.ended = wall_seconds();
    if (!message.empty()) write_record(p.records, "message", message);
    write_record(p.records, "result", result_name(result));
    write_record(p.records, "seconds", seconds_text(p.ended - p.started));
    --run.running;
    ++run.tally.finished;
    if (result == Result::failed) ++run.tally.failed;
}

// The bundle's command line for the printer: the checked copy, the run's
// options, the login if the list gives one, and the address last.
std::vector<std::string> bundle_arguments(const FleetRun& run, const ListedPrinter& printer) {
    std::vector<std::string> args{run.places.bundle_copy};
    if (run.settings.mode != 0) args.insert(args.end(), {"-m", std::string(1, run.settings.mode)});
    if (run.settings.debug) args.push_back("-d");
    if (!printer.login.empty()) args.insert(args.end(), {"-l", printer.login});
    args.insert(args.end(), {"-n", printer.address});
    return args;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& t : texts) list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

void deliver(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    std::vector<std::string> args = bundle_arguments(run, p.listed);
    // Set even when empty, so that none comes from holm-fleet's own
    // environment; nowhere but in the bundle's environment.
    std::vector<std::string> env = run.environment;
    env.push_back("HOLM_PASSWORD=" + p.listed.password);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    std::string out = p.records + "/stdout";
    std::string err = p.records + "/stderr";
    int pid = 0;
    p.bundle_started = wall_seconds();
    int error = plat::start_program(plat::ProgramStart{argv[0], argv.data(), envp.data(), out.c_str(), err.c_str()}, &pid);
    if (error != 0) {
        finish_printer(run, place, Result::failed, std::string("the bundle could not be started: ") + std::strerror(error));
        return;
    }
    p.stage = Stage::delivering;
    p.pid = pid;
    run.by_pid[pid] = place;
}

void joblog_line(FleetRun& run, std::size_t place, const plat::Ended& ended, double now) {
    const PrinterRun& p = run.printers[place];
    std::vector<std::string> args = bundle_arguments(run, p.listed);
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    std::fprintf(run.places.joblog, "%zu\t:\t%.3f\t%s\t0\t0\t%d\t%d\t%s\n", place + 1, p.bundle_started,
                 seconds_text(now - p.bundle_started).c_str(), ended.exit_status, ended.signal, one_line(command).c_str());
    std::fflush(run.places.joblog);
}

// Why a bundle that did not end with status 0 failed, in its own words
// where it has any.
std::string failure_message(const PrinterRun& p, const plat::Ended& ended) {
    std::string said = last_error_line(file_text(p.records + "/stdout"));
    if (!said.empty()) return said;
    if (ended.signal != 0) return "killed by signal " + std::to_string(ended.signal);
    return "exit status " + std::to_string(ended.exit_status);
}

// The read before the delivery: the model first, where the bundle names
// models, then the firmware version; only then, perhaps, the bundle.
void answer_before(FleetRun& run, std::size_t place, const IppAnswer& answer) {
    PrinterRun& p = run.printers[place];
    if (run.checks_model) {
        ModelCheck check = check_model(answer, run.models);
        p.model = answer.make_and_model;
        if (!p.model.empty()) write_record(p.records, "model", p.model);
        if (check.verdict != ModelVerdict::fits) {
            finish_printer(run, place, check.verdict == ModelVerdict::other_model ? Result::incompatible : Result::failed,
                           check.message);
            return;
        }
    }
    if (run.settings.firmware.empty()) {
        deliver(run, place);
        return;
    }
    std::string version, why;
    if (!firmware_version(answer, run.settings.firmware_name, &version, &why)) {
        finish_printer(run, place, Result::failed, "no firmware version before the delivery: " + why);
        return;
    }
    p.before = version;
    write_record(p.records, "before", version);
    if (version == run.settings.firmware_version)
        finish_printer(run, place, Result::current, "");
    else if (run.settings.plan)
        finish_printer(run, place, Result::to_deliver, "");
    else
        deliver(run, place);
}

void version_after(FleetRun& run, std::size_t place, const IppAnswer& answer) {
    PrinterRun& p = run.printers[place];
    std::string version, why;
    if (firmware_version(answer, run.settings.firmware_name, &version, &why)) {
        p.after = version;
        write_record(p.records, "after", version);
        if (version == run.settings.firmware_version)
            finish_printer(run, place, Result::ok, "");
        else
            finish_printer(run, place, Result::failed, "still " + version + " after the delivery");
    } else if (steady_ms() < p.read_until_ms) {
        p.stage = Stage::pausing;
        run.reads_due.emplace(steady_ms() + read_pause_ms, place);
    } else {
        finish_printer(run, place, Result::failed, "no firmware version after the delivery");
    }
}

}  // namespace

double wall_seconds() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

std::uint64_t steady_ms() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void start_printer(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    p.started = wall_seconds();
    p.wave = run.wave + 1;
    p.records = run.places.dir + "/printers/" + p.listed.address;
    ++run.running;
    std::error_code ec;
    std::filesystem::create_directory(p.records, ec);
    if (ec) {
        finish_printer(run, place, Result::failed, "cannot make its records: " + ec.message());
        return;
    }
    if (!run.reads_ipp) {
        deliver(run, place);
        return;
    }
    p.stage = Stage::reading_before;
    run.ipp.ask(place, p.listed.address);
}

void bundle_ended(FleetRun& run, const plat::Ended& ended) {
    auto found = run.by_pid.find(ended.pid);
    if (found == run.by_pid.end()) return;
    std::size_t place = found->second;
    run.by_pid.erase(found);
    PrinterRun& p = run.printers[place];
    p.pid = 0;
    double now = wall_seconds();
    int status = ended.signal != 0 ? 128 + ended.signal : ended.exit_status;
    write_record(p.records, "status", std::to_string(status));
    joblog_line(run, place, ended, now);
    if (p.stage != Stage::delivering) {  // cut short: no outcome
        --run.running;
        return;
    }
    if (status != 0) {
        finish_printer(run, place, Result::failed, failure_message(p, ended));
    } else if (run.settings.firmware.empty()) {
        finish_printer(run, place, Result::ok, "");
    } else {
        // The printer has just restarted: its IPP service may come up later.
        p.stage = Stage::reading_after;
        p.read_until_ms = steady_ms() + read_after_ms;
        run.ipp.ask(place, p.listed.address);
    }
}

void ipp_answered(FleetRun& run, const IppDone& done) {
    Stage stage = run.printers[done.place].stage;
    if (stage == Stage::reading_before) answer_before(run, done.place, done.answer);
    if (stage == Stage::reading_after) version_after(run, done.place, done.answer);
}

void read_again(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    if (p.stage != Stage::pausing) return;
    p.stage = Stage::reading_after;
    run.ipp.ask(place, p.listed.address);
}

void cut_printer(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    switch (p.stage) {
    case Stage::delivering:
        // It runs on until its bundle has ended; bundle_ended sees it cut.
        p.stage = Stage::done;
        if (p.pid != 0) plat::stop_program(p.pid);
        return;
    case Stage::reading_before:
    case Stage::pausing:
    case Stage::reading_after:
        p.stage = Stage::done;
        --run.running;
        return;
    case Stage::waiting:
    case Stage::done:
        return;
    }
}

}  // namespace fleet
