// The run-wide records of holm-fleet: what was asked, every printer of the
// list with its state in this run, and where the run stands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "bundles.h"
#include "ipp_pool.h"
#include "printer_list.h"
#include "result.h"
#include "rules.h"
#include "settings.h"
#include "summary.h"

namespace fleet {

// Where one printer is in this run.
enum class Stage {
    waiting,         // not started (yet)
    reading_before,  // its IPP answer before the delivery is awaited
    delivering,      // the bundle runs for it
    pausing,         // between two reads after the delivery
    reading_after,   // its IPP answer after the delivery is awaited
    done,            // it has an outcome, or was cut short
};

struct PrinterRun {
    ListedPrinter listed;
    std::string ipv4;            // the address looked up once, before the run
    std::string lookup_problem;  // why there is none
    SummaryRow last;      // its line of the last run's summary, for a retry
    bool chosen = true;   // it runs in this run (a retry leaves some out)
    Stage stage = Stage::waiting;
    Result result = Result::none;  // once done; none when cut short
    std::string message;
    std::string before;   // firmware versions read
    std::string after;
    std::string model;    // printer-make-and-model, when read
    std::size_t bundle = no_bundle;  // the place of the bundle it gets, or would get
    std::string bundle_file;         // that bundle's base name, for the records
    std::string output;   // the last lines of its records' output, once it has ended (for the report)
    bool output_read = false;
    bool delivered = false;  // its bundle was started
    bool timed_out = false;  // its bundle ran past --timeout and was told to end
    std::string records;  // DIR/printers/ADDRESS
    int pid = 0;          // of its bundle, while it runs
    double started = 0;   // wall-clock seconds; 0 until it starts
    double ended = 0;
    double bundle_started = 0;
    std::uint64_t read_until_ms = 0;  // monotonic: the end of the reads after the delivery
    std::size_t wave = 0;             // 1-based, once started
};

enum class StopReason {
    none,
    canary,       // the printers of --canary did not pass
    wave,         // the waves so far did not pass
    brake,        // --max-failed
    window,       // the end of --window
    interrupted,  // INT or TERM
    machine,      // the control machine could not start a printer's run
};

// The files and programs the run works with.
struct RunPlaces {
    std::string dir;             // DIR, links resolved
    std::string private_folder;  // readable by the owner only, removed at the end
    std::string summary;         // DIR/summary.tsv
    std::FILE* joblog = nullptr;
    std::string lock;            // DIR/lock, held while the run goes
};

// A time in monotonic ms at which something is due for one printer: the
// next read after its delivery, or the end of its bundle's time. Entries
// whose printer has moved on are dropped when they come due.
struct Due {
    std::uint64_t at;
    std::size_t place;
    int pid;  // the bundle it is for; 0 for a read
    bool operator>(const Due& other) const { return at > other.at; }
};
using DueQueue = std::priority_queue<Due, std::vector<Due>, std::greater<>>;

struct FleetRun {
    FleetSettings settings;
    std::vector<PrinterRun> printers;  // in list order
    std::vector<std::size_t> todo;     // the places of the printers this run is for, in order
    std::vector<std::size_t> waves;    // the planned sizes of the waves, for the report
    RunPlaces places;
    std::vector<std::string> environment;  // for every bundle, HOLM_PASSWORD left out
    bool reads_ipp = false;                // a read before every delivery
    bool checks_model = false;             // that read chooses the bundle by the printer's model
    std::size_t at_once = 1;               // printers running at once at most
    IppPool ipp;
    std::unordered_map<int, std::size_t> by_pid;  // running bundles
    DueQueue reads_due;      // printers pausing between reads after their delivery
    DueQueue bundles_due;    // bundles' ends by --timeout, and the KILL after the TERM
    std::size_t next = 0;    // the next place of todo to start
    std::size_t wave = 0;    // the wave under way (0-based)
    // The wave under way counts only printers the bundle went to: those
    // delivered, and those whose read before the delivery is under way
    // (they may yet be delivered).
    std::size_t wave_delivered = 0;
    std::size_t wave_reading = 0;
    long running = 0;
    Tally tally;
    bool ended_this_round = false;  // a printer ended since its records were last flushed
    std::uint64_t hold_until = 0;  // monotonic ms: no printer starts before (a pause, the window)
    bool told_window = false;      // the wait for the window was said
    StopReason stopped = StopReason::none;
    Tally stopped_at;              // the tally behind the stop (the brake's, the waves')
    std::string machine_problem;   // with StopReason::machine
    // For the report: when the run and each wave started, when it stopped.
    double run_started = 0;
    std::vector<double> wave_started;
    double stop_time = 0;
    // The window that the run is in or waits for, in wall-clock seconds;
    // its end fixed once it has opened. 0 without a window.
    double window_opens = 0;
    double window_closes = 0;
    bool window_opened = false;
    std::vector<Bundle> bundles;          // in the order given
    std::uint64_t next_report_ms = 0;     // monotonic ms: the next rewrite of the report and summary
};

}  // namespace fleet
