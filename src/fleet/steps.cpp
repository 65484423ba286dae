#include "steps.h"

#include <cstring>
#include <filesystem>

#include "clock.h"
#include "records.h"
#include "stops.h"
#include "text.h"
#include "verdicts.h"

namespace fleet {

namespace {

// A bundle told to end by --timeout is killed when it has not ended this
// much later.
constexpr std::uint64_t kill_after_ms = 5000;

void finish_printer(FleetRun& run, std::size_t place, Result result, const std::string& message) {
    PrinterRun& p = run.printers[place];
    p.stage = Stage::done;
    p.result = result;
    p.message = message;
    p.ended = wall_seconds();
    if (!message.empty()) write_record(p.records, "message", message);
    write_record(p.records, "seconds", seconds_text(p.ended - p.started));
    // Last: a retry after a crash takes a printer's outcome from it.
    write_record(p.records, "result", result_name(result));
    --run.running;
    ++run.tally.finished;
    if (result == Result::failed) ++run.tally.failed;
    run.ended_this_round = true;
}

// The printer gets nothing after all: a stop came while it was being read,
// or its run could not be started. It is as if it had not started.
void leave_unstarted(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    p.stage = Stage::done;
    p.result = Result::not_started;
    p.started = 0;
    p.model.clear();
    p.before.clear();
    p.bundle = no_bundle;
    p.bundle_file.clear();
    std::error_code ec;
    std::filesystem::remove_all(p.records, ec);
    --run.running;
}

// A failure of the control machine, not of the printer: no further
// printer starts.
void machine_failed(FleetRun& run, std::size_t place, const std::string& problem) {
    if (run.stopped == StopReason::none) run.machine_problem = problem;
    stop(run, StopReason::machine, run.tally);
    leave_unstarted(run, place);
}

// The bundle's command line for the printer: the checked copy, the run's
// options, the login if the list gives one, and the address looked up.
std::vector<std::string> bundle_arguments(const FleetRun& run, const PrinterRun& p) {
    std::vector<std::string> args{run.bundles[p.bundle].copy};
    if (run.settings.mode != 0) args.insert(args.end(), {"-m", std::string(1, run.settings.mode)});
    if (run.settings.debug) args.push_back("-d");
    if (!p.listed.login.empty()) args.insert(args.end(), {"-l", p.listed.login});
    args.insert(args.end(), {"-n", p.ipv4});
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
    if (!may_deliver(run)) {
        leave_unstarted(run, place);
        return;
    }
    std::vector<std::string> args = bundle_arguments(run, p);
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
        machine_failed(run, place, std::string("the bundle could not be started: ") + std::strerror(error));
        return;
    }
    p.stage = Stage::delivering;
    p.delivered = true;
    p.pid = pid;
    ++run.wave_delivered;
    run.by_pid[pid] = place;
    run.bundles_due.push(Due{plat::monotonic_ms() + static_cast<std::uint64_t>(run.settings.timeout_seconds) * 1000,
                             place, pid});
}

void joblog_line(FleetRun& run, std::size_t place, const plat::Ended& ended, double now) {
    const PrinterRun& p = run.printers[place];
    std::vector<std::string> args = bundle_arguments(run, p);
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    std::fprintf(run.places.joblog, "%zu\t:\t%.3f\t%s\t0\t0\t%d\t%d\t%s\n", place + 1, p.bundle_started,
                 seconds_text(now - p.bundle_started).c_str(), ended.exit_status, ended.signal, one_line(command).c_str());
    std::fflush(run.places.joblog);
}

// Why a bundle that did not end with status 0 failed, in its own words
// where it has any.
std::string failure_message(const FleetRun& run, const PrinterRun& p, const plat::Ended& ended) {
    if (p.timed_out) return "timed out after " + run.settings.timeout_text;
    std::string said = last_error_line(file_text(p.records + "/stdout"));
    if (!said.empty()) return said;
    if (ended.signal != 0) return "killed by signal " + std::to_string(ended.signal);
    return "exit status " + std::to_string(ended.exit_status);
}

// The bundle the printer gets, or would get with --plan, in its records.
void assign_bundle(FleetRun& run, std::size_t place, std::size_t bundle) {
    PrinterRun& p = run.printers[place];
    p.bundle = bundle;
    p.bundle_file = bundle_name(run.bundles[bundle]);
    write_record(p.records, "bundle", p.bundle_file);
}

// The version the printer must report after its delivery; empty when none
// is known for its bundle.
std::string target_of(const FleetRun& run, const PrinterRun& p) {
    return target_firmware(run.bundles[p.bundle], run.settings);
}

// The read before the delivery decides which bundle goes to the printer,
// if any: the model, where a bundle names models, then the version.
void answer_before(FleetRun& run, std::size_t place, const IppAnswer& answer) {
    PrinterRun& p = run.printers[place];
    --run.wave_reading;
    Verdict v = verdict_before(answer, run.bundles, run.checks_model, run.settings);
    if (run.checks_model) {
        p.model = answer.make_and_model;
        if (!p.model.empty()) write_record(p.records, "model", p.model);
    }
    if (v.bundle != no_bundle) assign_bundle(run, place, v.bundle);
    if (!v.version.empty()) {
        p.before = v.version;
        write_record(p.records, "before", v.version);
    }
    if (v.result == Result::to_deliver && !run.settings.plan)
        deliver(run, place);
    else
        finish_printer(run, place, v.result, v.message);
}

void version_after(FleetRun& run, std::size_t place, const IppAnswer& answer) {
    PrinterRun& p = run.printers[place];
    Verdict v = verdict_after(answer, target_of(run, p));
    if (!v.version.empty()) {
        p.after = v.version;
        write_record(p.records, "after", v.version);
    }
    if (v.result != Result::none) {
        finish_printer(run, place, v.result, v.message);
    } else if (plat::monotonic_ms() < p.read_until_ms) {
        p.stage = Stage::pausing;
        run.reads_due.push(Due{plat::monotonic_ms() + read_pause_ms, place, 0});
    } else {
        finish_printer(run, place, Result::failed, no_version_after);
    }
}

}  // namespace

void start_printer(FleetRun& run, std::size_t place) {
    PrinterRun& p = run.printers[place];
    p.started = wall_seconds();
    p.wave = run.wave + 1;
    p.records = run.places.dir + "/printers/" + p.listed.address;
    ++run.running;
    std::error_code ec;
    std::filesystem::create_directory(p.records, ec);
    if (ec) {
        machine_failed(run, place, "cannot make a printer's records in " + run.places.dir + ": " + ec.message());
        return;
    }
    if (p.ipv4.empty()) {
        finish_printer(run, place, Result::failed, p.lookup_problem);
        return;
    }
    if (!run.reads_ipp) {
        assign_bundle(run, place, 0);
        deliver(run, place);
        return;
    }
    p.stage = Stage::reading_before;
    ++run.wave_reading;
    run.ipp.ask(place, p.ipv4);
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
        finish_printer(run, place, Result::failed, failure_message(run, p, ended));
    } else if (target_of(run, p).empty()) {
        finish_printer(run, place, Result::ok, "");
    } else {
        // The printer has just restarted: its IPP service may come up later.
        p.stage = Stage::reading_after;
        p.read_until_ms = plat::monotonic_ms() + read_after_ms;
        run.ipp.ask(place, p.ipv4);
    }
}

void ipp_answered(FleetRun& run, const IppDone& done) {
    Stage stage = run.printers[done.place].stage;
    if (stage == Stage::reading_before) answer_before(run, done.place, done.answer);
    if (stage == Stage::reading_after) version_after(run, done.place, done.answer);
}

void read_due(FleetRun& run, const Due& due) {
    PrinterRun& p = run.printers[due.place];
    if (p.stage != Stage::pausing) return;
    p.stage = Stage::reading_after;
    run.ipp.ask(due.place, p.ipv4);
}

void bundle_due(FleetRun& run, const Due& due) {
    PrinterRun& p = run.printers[due.place];
    if (p.pid != due.pid || p.pid == 0) return;  // it has ended since
    if (p.timed_out) {
        plat::kill_program(p.pid);
        return;
    }
    p.timed_out = true;
    plat::stop_program(p.pid);
    run.bundles_due.push(Due{plat::monotonic_ms() + kill_after_ms, due.place, due.pid});
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
        --run.wave_reading;
        leave_unstarted(run, place);
        return;
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
