#include "preparation.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "platform/platform.h"
#include "text.h"

namespace fs = std::filesystem;

namespace fleet {

namespace {

// One IPP request at a time a thread, this many threads at most.
constexpr std::size_t most_ipp_threads = 256;
// Open files this process holds besides one socket a request under way:
// its standard streams, the signal and wake-up descriptors, the joblog,
// a record being written, and the CUPS library's own.
constexpr long own_open_files = 32;

std::string last_firmware(const std::string& dir) {
    std::string text = file_text(dir + "/firmware");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string room_refusal(const FleetRun& run, long want, const char* what, long have, const char* option) {
    return "-j " + std::to_string(run.settings.jobs) + " cannot be reached here: " + std::to_string(run.at_once) +
           " printers at once need about " + std::to_string(want) + " " + what + ", and the limit is " +
           std::to_string(have) + " (ulimit " + option + ")";
}

}  // namespace

std::string read_printers(FleetRun& run) {
    const std::string& name = run.settings.printers;
    std::string where = name == "-" ? "standard input" : name;
    std::string text;
    if (name == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
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
    std::vector<Result> results;
    for (const SummaryRow& row : last) results.push_back(result_named(row.result));
    run.todo = retry_places(results);
    for (std::size_t i = 0; i < last.size(); ++i) {
        run.printers[i].last = last[i];
        run.printers[i].chosen = false;
    }
    for (std::size_t place : run.todo) run.printers[place].chosen = true;
    return std::string();
}

std::string check_room(FleetRun& run) {
    std::size_t todo = run.todo.size();
    run.at_once = std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(run.settings.jobs), todo));
    bool reads_ipp = !run.settings.firmware.empty() || (!run.models.empty() && !run.settings.ignore_model);
    long threads = reads_ipp ? static_cast<long>(std::min(run.at_once, most_ipp_threads)) : 0;
    long at_once = static_cast<long>(run.at_once);
    long files = plat::raise_open_file_limit();
    if (files != plat::unlimited && files < own_open_files + threads)
        return room_refusal(run, own_open_files + threads, "open files", files, "-n");
    // Each printer running is one bundle, or one of the IPP threads.
    if (!plat::is_superuser()) {
        long processes = plat::raise_process_limit();
        long want = at_once + threads + plat::user_tasks() + 16;
        if (processes != plat::unlimited && processes < want) return room_refusal(run, want, "processes", processes, "-u");
    }
    long pid_max = plat::process_id_limit();
    long tasks = plat::system_tasks() + at_once + threads + 16;
    if (pid_max > 0 && tasks > pid_max)
        return "-j " + std::to_string(run.settings.jobs) + " cannot be reached here: the system would need " +
               std::to_string(tasks) + " processes (kernel.pid_max)";
    return std::string();
}

std::string prepare_records(FleetRun& run) {
    const FleetSettings& s = run.settings;
    std::error_code ec;
    if (!s.retry) {
        fs::create_directories(s.dir, ec);
        if (ec || !fs::is_directory(s.dir, ec)) return "cannot make DIR: " + s.dir;
        for (const char* name : {"printers", "joblog", "summary.tsv", "summary.tsv.new", "firmware", "report.html", "report.html.new"})
            fs::remove_all(s.dir + "/" + name, ec);
        if (!s.firmware.empty()) {
            std::FILE* f = std::fopen((s.dir + "/firmware").c_str(), "w");
            bool ok = f != nullptr && std::fprintf(f, "%s\n", s.firmware.c_str()) > 0;
            if (f == nullptr || std::fclose(f) != 0 || !ok) return "cannot write in DIR: " + s.dir;
        }
    }
    std::string dir = fs::canonical(s.dir, ec).string();
    if (ec) return "cannot write in DIR: " + s.dir;
    run.places.dir = dir;
    run.places.summary = dir + "/summary.tsv";
    fs::create_directories(dir + "/printers", ec);
    if (ec || !plat::may_write(dir + "/printers")) return "cannot write in DIR: " + dir;
    bool fresh = !fs::exists(dir + "/joblog", ec);
    run.places.joblog = std::fopen((dir + "/joblog").c_str(), "a");
    if (run.places.joblog == nullptr) return "cannot write in DIR: " + dir;
    if (fresh) std::fputs("Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n", run.places.joblog);
    // The records of this run's printers go: each is run anew or not started.
    if (s.retry)
        for (std::size_t place : run.todo) fs::remove_all(dir + "/printers/" + run.printers[place].listed.address, ec);
    return std::string();
}

}  // namespace fleet
