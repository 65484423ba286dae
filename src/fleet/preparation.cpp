#include "preparation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "rows.h"
#include "text.h"

namespace fs = std::filesystem;

namespace fleet {

const char interrupted_refusal[] = "interrupted before any printer was contacted";

namespace {

// One IPP request at a time a thread, this many threads at most.
constexpr std::size_t most_ipp_threads = 256;
// Open files this process holds besides one socket a request under way:
// its standard streams, the signal and wake-up descriptors, the joblog and
// DIR's lock, a record being written, and the CUPS library's own.
constexpr long own_open_files = 32;
// A retry looks this often whether the bundles of a killed run have ended.
constexpr int old_bundle_look_ms = 500;
// What an earlier run leaves in DIR.
const char* const run_records[] = {"summary.tsv", "joblog", "printers", "firmware", "bundles", "report.html"};

std::string last_firmware(const std::string& dir) {
    std::string text = file_text(dir + "/firmware");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The base names of a run's bundles, one a line, in order.
std::string bundle_list(const FleetRun& run) {
    std::string text;
    for (const Bundle& b : run.bundles) text += bundle_name(b) + "\n";
    return text;
}

// A run written before the bundles were recorded went with one bundle,
// whose name was not kept: any one bundle may go on with it.
std::string same_bundles(const FleetRun& run) {
    std::error_code ec;
    const std::string path = run.settings.dir + "/bundles";
    std::string recorded = file_text(path);
    bool old_run = !fs::exists(path, ec);
    if (old_run ? run.bundles.size() == 1 : recorded == bundle_list(run)) return std::string();
    std::string names = recorded;
    while (!names.empty() && names.back() == '\n') names.pop_back();
    std::replace(names.begin(), names.end(), '\n', ' ');
    return "the last run in " + run.settings.dir + " was made with the bundles " +
           (old_run ? std::string("(one, not recorded)") : names) + "; retry it with the same bundles, in the same order";
}

std::string room_refusal(const FleetRun& run, long want, const char* what, long have, const char* option) {
    return "-j " + std::to_string(run.settings.jobs) + " cannot be reached here: " + std::to_string(run.at_once) +
           " printers at once need about " + std::to_string(want) + " " + what + ", and the limit is " +
           std::to_string(have) + " (" + option + ")";
}

std::string record_of(const std::string& folder, const char* name) {
    std::string text = file_text(folder + "/" + name);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A printer's outcome as its own records have it, where the summary of a
// killed run had not caught up with it: they are flushed when it ends.
void take_recorded_outcome(const std::string& dir, SummaryRow& row) {
    if (!runs_again(result_named(row.result))) return;
    std::string folder = dir + "/printers/" + row.address;
    Result recorded = result_named(record_of(folder, "result"));
    if (recorded == Result::none || recorded == Result::not_started) return;
    row = SummaryRow{row.address,                 result_name(recorded),      record_of(folder, "seconds"),
                     record_of(folder, "message"), record_of(folder, "before"), record_of(folder, "after"),
                     record_of(folder, "bundle")};
}

std::string holds_records(const std::string& dir) {
    std::error_code ec;
    for (const char* name : run_records)
        if (fs::exists(fs::symlink_status(dir + "/" + name, ec)))
            return dir + " holds the records of an earlier run (" + name + "): --retry-failed goes on with it; to "
                   "start over, give another -o DIR or remove this one";
    return std::string();
}

// The printers of todo whose bundle, started by a run that was killed,
// still runs.
std::vector<std::string> still_running(const FleetRun& run) {
    std::vector<std::string> found;
    for (std::size_t place : run.todo) {
        const std::string& address = run.printers[place].listed.address;
        if (plat::output_in_use(run.places.dir + "/printers/" + address + "/stdout")) found.push_back(address);
    }
    return found;
}

// Never two deliveries to one printer at once: a retry starts none of the
// printers a killed run's bundles still run for until they have ended.
bool wait_for_old_bundles(const FleetRun& run) {
    std::vector<std::string> running = still_running(run);
    if (running.empty()) return true;
    std::string list;
    for (std::size_t i = 0; i < running.size() && i < 5; ++i) list += (i ? ", " : "") + running[i];
    if (running.size() > 5) list += ", ...";
    std::fprintf(stderr, "holm-fleet: waiting for %zu bundle%s of the last run, still running for %s\n",
                 running.size(), running.size() == 1 ? "" : "s", list.c_str());
    while (!still_running(run).empty())
        if (!plat::pause_unless_stopped(old_bundle_look_ms)) return false;
    return true;
}

// A killed run leaves its private folder behind, since its bundles may
// still run from it: once they have ended, the retry removes it. Only a
// folder of holm-fleet's own beside this run's qualifies.
void remove_left_folder(const FleetRun& run) {
    fs::path left = record_of(run.places.dir, "private");
    fs::path own = run.places.private_folder;
    if (left.empty() || left == own || left.parent_path() != own.parent_path() ||
        left.filename().string().rfind("holm-fleet.", 0) != 0)
        return;
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(left, ec))) fs::remove_all(left, ec);
}

// DIR, made for a new run (refused when it holds records) or found for a
// retry, and locked.
std::string claim_dir(FleetRun& run) {
    const FleetSettings& s = run.settings;
    std::error_code ec;
    if (!s.retry) {
        std::string refusal = holds_records(s.dir);
        if (!refusal.empty()) return refusal;
        fs::create_directories(s.dir, ec);
        if (ec || !fs::is_directory(s.dir, ec)) return "cannot make DIR: " + s.dir;
    }
    std::string dir = fs::canonical(s.dir, ec).string();
    if (ec) return "cannot write in DIR: " + s.dir;
    run.places.dir = dir;
    run.places.summary = dir + "/summary.tsv";
    if (!plat::may_write(dir)) return "cannot write in DIR: " + dir;
    run.places.lock = dir + "/lock";
    if (!plat::hold_lock(run.places.lock)) return "another holm-fleet runs in " + dir + " now";
    return std::string();
}

}  // namespace

std::string read_printers(FleetRun& run) {
    const std::string& name = run.settings.printers;
    std::string where = name == "-" ? "standard input" : name;
    std::string text;
    if (name == "-") {
        int error = plat::read_standard_input(&text);
        if (error == -1) return interrupted_refusal;
        if (error != 0) return std::string("cannot read standard input: ") + std::strerror(error);
    } else {
        std::error_code ec;
        fs::file_status status = fs::status(name, ec);
        if (!fs::exists(status)) return "no such PRINTERS: " + name;
        if (!fs::is_regular_file(status) || !plat::may_read(name)) return "PRINTERS is not a readable file: " + name;
        text = file_text(name);
    }
    std::vector<ListedPrinter> listed;
    std::string refusal = read_printer_list(text, where, listed);
    if (!refusal.empty()) return refusal;
    if (listed.empty()) return "no printer in " + where;
    for (ListedPrinter& l : listed) {
        run.printers.emplace_back();
        run.printers.back().listed = std::move(l);
    }
    return std::string();
}

std::string choose_printers(FleetRun& run) {
    const FleetSettings& s = run.settings;
    if (!s.retry) {
        for (std::size_t i = 0; i < run.printers.size(); ++i) run.todo.push_back(i);
        return std::string();
    }
    std::vector<SummaryRow> last;
    if (!read_summary(s.dir + "/summary.tsv", last)) return "no earlier run to retry in " + s.dir;
    bool same = last.size() == run.printers.size();
    for (std::size_t i = 0; same && i < last.size(); ++i) same = last[i].address == run.printers[i].listed.address;
    std::string where = s.printers == "-" ? "standard input" : s.printers;
    if (!same) return where + " does not list the printers of the last run in " + s.dir + ", in the same order";
    std::string firmware = last_firmware(s.dir);
    if (firmware != s.firmware)
        return "the last run in " + s.dir + " was made " +
               (firmware.empty() ? std::string("without --firmware") : "with --firmware " + firmware) +
               "; retry it the same way";
    std::string bundles = same_bundles(run);
    if (!bundles.empty()) return bundles;
    std::vector<Result> results;
    for (SummaryRow& row : last) {
        take_recorded_outcome(s.dir, row);
        results.push_back(result_named(row.result));
    }
    run.todo = retry_places(results);
    for (std::size_t i = 0; i < last.size(); ++i) {
        run.printers[i].last = last[i];
        run.printers[i].chosen = false;
    }
    for (std::size_t place : run.todo) run.printers[place].chosen = true;
    return std::string();
}

bool reads_ipp(const FleetRun& run) { return reads_before(run.bundles, run.settings); }

std::size_t ipp_threads(const FleetRun& run) { return reads_ipp(run) ? std::min(run.at_once, most_ipp_threads) : 0; }

std::string check_room(FleetRun& run) {
    std::size_t todo = run.todo.size();
    run.at_once = std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(run.settings.jobs), todo));
    long threads = static_cast<long>(ipp_threads(run));
    long at_once = static_cast<long>(run.at_once);
    long files = plat::raise_open_file_limit();
    if (files != plat::unlimited && files < own_open_files + threads)
        return room_refusal(run, own_open_files + threads, "open files", files, "ulimit -n");
    // Each printer running is one bundle, or one of the IPP threads.
    if (!plat::is_superuser()) {
        long processes = plat::raise_process_limit();
        long want = at_once + threads + plat::user_tasks() + 16;
        if (processes != plat::unlimited && processes < want)
            return room_refusal(run, want, "processes", processes, "ulimit -u");
    }
    long room = plat::cgroup_task_room();
    if (room != plat::unlimited && room < at_once + threads + 16)
        return room_refusal(run, at_once + threads + 16, "more tasks", room, "the control group's pids.max");
    long pid_max = plat::process_id_limit();
    long tasks = plat::system_tasks() + at_once + threads + 16;
    if (pid_max > 0 && tasks > pid_max)
        return "-j " + std::to_string(run.settings.jobs) + " cannot be reached here: the system would need " +
               std::to_string(tasks) + " processes (kernel.pid_max)";
    return std::string();
}

std::string prepare_records(FleetRun& run) {
    const FleetSettings& s = run.settings;
    std::string refusal = claim_dir(run);
    if (!refusal.empty()) return refusal;
    const std::string& dir = run.places.dir;
    if (s.retry && !wait_for_old_bundles(run)) return interrupted_refusal;
    if (s.retry) remove_left_folder(run);
    if (plat::write_durably(dir + "/private", run.places.private_folder + "\n") != 0)
        return "cannot write in DIR: " + dir;
    std::error_code ec;
    if (!s.firmware.empty() && plat::write_durably(dir + "/firmware", s.firmware + "\n") != 0)
        return "cannot write in DIR: " + dir;
    if (plat::write_durably(dir + "/bundles", bundle_list(run)) != 0) return "cannot write in DIR: " + dir;
    fs::create_directories(dir + "/printers", ec);
    if (ec || !plat::may_write(dir + "/printers")) return "cannot write in DIR: " + dir;
    bool fresh = !fs::exists(dir + "/joblog", ec);
    run.places.joblog = std::fopen((dir + "/joblog").c_str(), "ae");
    if (run.places.joblog == nullptr) return "cannot write in DIR: " + dir;
    if (fresh) std::fputs("Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n", run.places.joblog);
    std::fflush(run.places.joblog);
    // The records of this run's printers go: each is run anew or not started.
    if (s.retry)
        for (std::size_t place : run.todo) fs::remove_all(dir + "/printers/" + run.printers[place].listed.address, ec);
    // From here on a kill leaves a summary a retry goes on from.
    if (!write_summary_now(run)) return "cannot write in DIR: " + dir;
    return std::string();
}

}  // namespace fleet
