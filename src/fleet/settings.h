// What one run of holm-fleet was asked to do: the command line, checked.
#pragma once

#include <string>
#include <vector>

namespace fleet {

// --max-failed: a share of the finished printers (10%) or a count (5).
struct Limit {
    bool set = false;
    bool share = false;  // a percentage, 1 to 100
    long value = 0;
    std::string text;  // as given, for the messages
};

// One entry of --waves: a count of printers, or a share of the run's.
struct WaveSize {
    bool share = false;
    long value = 0;
};

// --window: the hours in which printers may start, as seconds of the local
// day; open after close when it crosses midnight.
struct Window {
    bool set = false;
    long open = 0;
    long close = 0;
    std::string text;  // as given
};

struct FleetSettings {
    long jobs = 32;                 // -j: printers at once
    char mode = 0;                  // -m: a mode letter for the bundle, 0 for its default
    bool debug = false;             // -d: the bundle prints event characters
    std::string dir;                // -o, as given
    std::string firmware;           // --firmware as given, empty without it
    std::string firmware_name;      // its NAME, empty for the first firmware a printer reports
    std::string firmware_version;   // its VERSION
    bool plan = false;              // --plan: read the versions, send nothing else
    long canary = 0;                // --canary: 0 for none
    std::vector<WaveSize> waves;    // --waves, or --canary N as N,100%; empty for one wave
    std::string waves_text;         // --waves as given
    long pause_seconds = 0;         // --pause between waves
    std::string pause_text;         // as given
    Window window;                  // --window
    Limit max_failed;               // --max-failed
    long timeout_seconds = 3600;    // --timeout: a bundle running longer is ended
    std::string timeout_text = "1h";
    std::string key;                // --key: a minisign public key, empty for none
    std::string ca;                 // --ca: a CA file the Authenticode signature must chain to, or empty
    bool retry = false;             // --retry-failed
    bool ignore_model = false;      // --ignore-model: the bundle's models are not checked
    std::vector<std::string> bundles;  // BUNDLE..., as given, in order
    std::string printers;           // PRINTERS, as given; "-" for standard input
    std::string read_when;          // --read: "before" or "after", empty for a run
    std::string read_address;       // --read's ADDRESS
};

}  // namespace fleet
