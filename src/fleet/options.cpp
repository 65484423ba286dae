#include "options.h"

#include <cstdio>
#include <vector>

#include "values.h"

namespace fleet {

const char usage_text[] =
    "Usage: holm-fleet [-j N] [-m c] [-d] [--firmware [NAME=]VERSION] [--plan]\n"
    "                  [--canary N | --waves LIST] [--pause DURATION]\n"
    "                  [--window HH:MM-HH:MM] [--max-failed LIMIT] [--timeout DURATION]\n"
    "                  [--key PUBKEY] [--ca CA.pem] [--ignore-model] [--retry-failed]\n"
    "                  -o DIR BUNDLE... PRINTERS\n"
    "       holm-fleet --read before|after [--firmware [NAME=]VERSION]\n"
    "                  [--ignore-model] [BUNDLE...] ADDRESS\n"
    "Runs BUNDLE -n ADDRESS for every printer of PRINTERS (a file, or - for\n"
    "standard input; one printer a line: ADDRESS [LOGIN [PASSWORD]]), once\n"
    "holm-pack -t has found every BUNDLE sound. Each printer gets the first\n"
    "BUNDLE, in the order given, made for its model (one made for no model\n"
    "is for all); one that none is for is incompatible.\n"
    "  -j N              N printers at a time (default 32)\n"
    "  -m c              run the bundle with -m c (a mode letter, a to l)\n"
    "  -d                run the bundle with -d (event characters)\n"
    "  -o DIR            the records: DIR/summary.tsv, DIR/printers/ADDRESS/, DIR/joblog\n"
    "  --firmware [NAME=]VERSION  the firmware version the bundle installs: printers\n"
    "                    that report it over IPP are current and left alone, the\n"
    "                    others must report it after the delivery (a bundle made\n"
    "                    with holm-pack --firmware says so itself)\n"
    "  --plan            read every printer's version and model, send nothing else:\n"
    "                    say which printers are current and which bundle each of\n"
    "                    the others would get\n"
    "  --canary N        the first N printers that get the bundle alone first; the\n"
    "                    rest only when all ended ok (or within --max-failed):\n"
    "                    --waves N,100%\n"
    "  --waves LIST      the printers in waves of these sizes, counts or shares of\n"
    "                    the run (1,5,20%,100%; the last repeats), counting those\n"
    "                    that get the bundle; a wave starts once those of the waves\n"
    "                    before it ended with none failed (or within --max-failed)\n"
    "  --pause DURATION  wait this long between waves (90s, 10m, 2h)\n"
    "  --window HH:MM-HH:MM  start printers only between these local times (it may\n"
    "                    cross midnight); at its end the rest are not started\n"
    "  --max-failed LIMIT  start no further printer once LIMIT of the finished\n"
    "                    printers failed: a share (10%) or a count (5)\n"
    "  --timeout DURATION  end a printer's bundle that runs longer (TERM, then KILL\n"
    "                    5 s later): that printer failed (default 1h)\n"
    "  --key PUBKEY      BUNDLE must carry a signature by this minisign key\n"
    "                    (BUNDLE.minisig), every BUNDLE given\n"
    "  --ca CA.pem       BUNDLE must carry an Authenticode signature that chains\n"
    "                    to this CA (holm-pack --sign), every BUNDLE given\n"
    "  --ignore-model    send the bundle without reading each printer's model over\n"
    "                    IPP, for printers whose IPP is off: a bundle made for other\n"
    "                    models may then reach a printer, and leave it unusable\n"
    "  --retry-failed    go on with DIR's last run, even one that was killed: run\n"
    "                    again only the printers that did not end ok, current or\n"
    "                    incompatible (a new run refuses a DIR that holds records)\n"
    "  --read WHEN       read one printer's model and firmware over IPP, send\n"
    "                    nothing, and print what a run would make of it as JSON\n"
    "                    (WHEN: before a delivery, or after one, reading for up\n"
    "                    to 2 minutes; BUNDLE...: the bundle it would get)\n"
    "  -h, --help        print this help\n"
    "Exit status: 0 when every printer ended ok (or current, or to deliver with\n"
    "--plan), 1 when any failed or was not started, 2 for bad usage or a bundle\n"
    "refused (nothing sent then).\n";

namespace {

// The options' values as given. An option given an empty value counts as
// not given, but for -j, whose default an empty value does not stand for,
// and --read, which says what the command is.
struct Given {
    std::string jobs, mode, dir, canary, waves, pause, window, max_failed, key, ca, firmware, read, timeout;
    bool jobs_given = false;
    bool read_given = false;
    bool ended = false;  // "--" ended the options
};

struct Valued {
    const char* name;
    std::string Given::*slot;
};

const Valued valued[] = {{"-j", &Given::jobs},           {"-m", &Given::mode},
                         {"-o", &Given::dir},            {"--canary", &Given::canary},
                         {"--waves", &Given::waves},     {"--pause", &Given::pause},
                         {"--window", &Given::window},   {"--max-failed", &Given::max_failed},
                         {"--key", &Given::key},         {"--firmware", &Given::firmware},
                         {"--read", &Given::read},       {"--timeout", &Given::timeout},
                         {"--ca", &Given::ca}};

const Valued* valued_option(const std::string& option) {
    for (const Valued& v : valued)
        if (option == v.name) return &v;
    return nullptr;
}

Parsed refuse(const std::string& why) { return Parsed{2, why}; }
bool refused(const Parsed& p) { return p.status >= 0; }

Parsed check_sizes(const Given& g, FleetSettings& s) {
    if (g.jobs_given && !count_value(g.jobs, &s.jobs)) return refuse("bad -j: " + g.jobs + " (a whole number from 1)");
    if (!g.mode.empty() && (g.mode.size() != 1 || g.mode[0] < 'a' || g.mode[0] > 'l'))
        return refuse("bad -m: " + g.mode + " (one mode letter, a to l)");
    if (!g.mode.empty()) s.mode = g.mode[0];
    if (!g.canary.empty() && !count_value(g.canary, &s.canary))
        return refuse("bad --canary: " + g.canary + " (a whole number from 1)");
    if (!g.waves.empty() && !waves_value(g.waves, &s.waves))
        return refuse("bad --waves: " + g.waves + " (sizes separated by commas: counts from 1, shares from 1% to 100%)");
    if (!g.pause.empty() && !duration_value(g.pause, &s.pause_seconds))
        return refuse("bad --pause: " + g.pause + " (seconds, or minutes or hours: 90, 90s, 10m, 2h; a week at most)");
    if (!g.window.empty() && !window_value(g.window, &s.window))
        return refuse("bad --window: " + g.window + " (HH:MM-HH:MM in local time, two different times)");
    if (!g.timeout.empty() && !duration_value(g.timeout, &s.timeout_seconds))
        return refuse("bad --timeout: " + g.timeout + " (seconds, or minutes or hours: 90, 90s, 10m, 2h; a week at most)");
    if (!g.timeout.empty()) s.timeout_text = g.timeout;
    if (!g.max_failed.empty() && !limit_value(g.max_failed, &s.max_failed))
        return refuse("bad --max-failed: " + g.max_failed + " (a share from 1% to 100%, or a count from 1)");
    return Parsed{};
}

Parsed check_firmware(FleetSettings& s) {
    if (s.firmware.empty()) return Parsed{};
    if (!firmware_value(s.firmware, &s.firmware_name, &s.firmware_version))
        return refuse("bad --firmware: " + s.firmware + " ([NAME=]VERSION)");
    // Only these modes wait for the printer's restart: the version read
    // after any other could be the one it ran before.
    if (s.mode != 0 && s.mode != 'a' && s.mode != 'e')
        return refuse(std::string("--firmware needs mode a or e (they wait for the restart), not -m ") + s.mode);
    return Parsed{};
}

// How the waves go: --canary N is --waves N,100%.
Parsed check_waves(const Given& g, FleetSettings& s) {
    if (!g.canary.empty() && !g.waves.empty())
        return refuse("--canary and --waves do not go together (--canary N is --waves N,100%)");
    if (s.canary > 0) s.waves = {WaveSize{false, s.canary}, WaveSize{true, 100}};
    s.waves_text = g.waves;
    s.pause_text = g.pause;
    if (s.pause_seconds > 0 && s.waves.empty()) return refuse("--pause needs --waves or --canary");
    return Parsed{};
}

Parsed check_read(const Given& g, const std::vector<std::string>& arguments, FleetSettings& s) {
    if (g.read != "before" && g.read != "after") return refuse("bad --read: " + g.read + " (before or after)");
    for (const Valued& v : valued) {
        bool given = !(g.*v.slot).empty() || (v.slot == &Given::jobs && g.jobs_given);
        if (given && v.slot != &Given::read && v.slot != &Given::firmware)
            return refuse(std::string(v.name) + " does not go with --read");
    }
    if (s.debug || s.plan || s.retry) return refuse("--read takes no option but --firmware and --ignore-model");
    Parsed firmware = check_firmware(s);
    if (refused(firmware)) return firmware;
    if (arguments.empty()) return refuse("--read expected ADDRESS, or BUNDLE... and ADDRESS, got no argument");
    s.bundles.assign(arguments.begin(), arguments.end() - 1);
    if (s.firmware.empty() && s.bundles.empty()) return refuse("--read needs --firmware, or BUNDLE, or both");
    s.read_when = g.read;
    s.read_address = arguments.back();
    return Parsed{};
}

Parsed check_run(const Given& g, const std::vector<std::string>& arguments, FleetSettings& s) {
    Parsed checked = check_sizes(g, s);
    if (refused(checked)) return checked;
    if (s.dir.empty()) return refuse("no -o DIR");
    if (refused(checked = check_firmware(s))) return checked;
    if (refused(checked = check_waves(g, s))) return checked;
    if (arguments.size() < 2)
        return refuse("expected BUNDLE... and PRINTERS, got " + std::to_string(arguments.size()) +
                      (arguments.size() == 1 ? " argument" : " arguments"));
    for (std::size_t i = 0; i + 1 < arguments.size() && !g.ended; ++i)
        if (arguments[i].size() > 1 && arguments[i][0] == '-')
            return refuse("option " + arguments[i] + " after BUNDLE (options go first)");
    s.bundles.assign(arguments.begin(), arguments.end() - 1);
    s.printers = arguments.back();
    return Parsed{};
}

}  // namespace

Parsed parse_command_line(int argc, char* argv[], FleetSettings& s) {
    Given given;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            given.ended = true;
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-') break;
        if (a == "-h" || a == "--help") {
            std::fputs(usage_text, stdout);
            return Parsed{0, ""};
        }
        if (const Valued* option = valued_option(a)) {
            if (i + 1 >= argc) return refuse(a + " needs a value");
            given.*option->slot = argv[++i];
            given.jobs_given = given.jobs_given || option->slot == &Given::jobs;
            given.read_given = given.read_given || option->slot == &Given::read;
            continue;
        }
        if (a == "-d") s.debug = true;
        else if (a == "--plan") s.plan = true;
        else if (a == "--retry-failed") s.retry = true;
        else if (a == "--ignore-model") s.ignore_model = true;
        else return refuse("unknown option " + a + " (holm-fleet --help tells the usage)");
    }
    std::vector<std::string> arguments(argv + i, argv + argc);
    s.dir = given.dir;
    s.key = given.key;
    s.ca = given.ca;
    s.firmware = given.firmware;
    return given.read_given ? check_read(given, arguments, s) : check_run(given, arguments, s);
}

}  // namespace fleet
