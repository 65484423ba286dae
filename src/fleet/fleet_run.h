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
    SummaryRow last;      // its line of the last run's summary, for a retry
    bool chosen = true;   // it runs in this run (a retry leaves some out)
    Stage stage = Stage::waiting;
    Result result = Result::none;  // once done; none when cut short
    std::string message;
    std::string before;   // firmware versions read
    std::string after;
    std::string model;    // printer-make-and-model, when read
    std::string output;   // the last lines of its records' output, once it has ended (for the report)
    bool output_read = false;
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
};

// The files and programs the run works with.
struct RunPlaces {
    std::string dir;             // DIR, links resolved
    std::string private_folder;  // readable by the owner only, removed at the end
    std::string bundle_absolute; // BUNDLE, absolute, no link resolved
    std::string bundle_copy;     // the checked copy, the only one run
    std::string summary;         // DIR/summary.tsv
    std::FILE* joblog = nullptr;
};

struct FleetRun {
    FleetSettings settings;
    std::vector<PrinterRun> printers;  // in list order
    std::vector<std::size_t> todo;     // the places of the printers this run is for, in order
    std::vector<std::size_t> waves;    // the sizes of the waves todo goes in
    RunPlaces places;
    std::vector<std::string> environment;  // for every bundle, HOLM_PASSWORD left out
    bool reads_ipp = false;                // a read before every delivery
    bool checks_model = false;             // that read checks the model against the bundle's patterns
    std::size_t at_once = 1;               // printers running at once at most
    IppPool ipp;
    std::unordered_map<int, std::size_t> by_pid;  // running bundles
    // Printers pausing between reads after their delivery: (when, place),
    // the earliest first.
    std::priority_queue<std::pair<std::uint64_t, std::size_t>, std::vector<std::pair<std::uint64_t, std::size_t>>,
                        std::greater<>>
        reads_due;
    std::size_t next = 0;       // the next place of todo to start
    std::size_t wave = 0;       // the wave under way (0-based)
    std::size_t wave_end = 0;   // the end, in todo, of that wave
    long running = 0;
    Tally tally;
    std::uint64_t hold_until = 0;  // steady ms: no printer starts before (a pause, the window)
    bool window_opened = false;    // the window has been open in this run
    bool told_window = false;      // the wait for the window was said
    StopReason stopped = StopReason::none;
    Tally stopped_at;              // the tally behind the stop (the brake's, the waves')
    // For the report: when the run and each wave started, when it stopped.
    double run_started = 0;
    std::vector<double> wave_started;
    double stop_time = 0;
    double window_opens = 0;   // the window's opening and end that the run met; 0 without one
    double window_closes = 0;
    std::string bundle_sha256;            // of the checked copy
    std::vector<std::string> models;      // the patterns the bundle names
    std::uint64_t next_report_ms = 0;     // steady ms: the next rewrite of the report
};

}  // namespace fleet
