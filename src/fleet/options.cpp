#include "options.h"

#include <cstdio>
#include <vector>

#include "text.h"

namespace fleet {

const char usage_text[] =
    "Usage: holm-fleet [-j N] [-m c] [-d] [--firmware [NAME=]VERSION [--plan]]\n"
    "                  [--canary N] [--max-failed LIMIT] [--key PUBKEY]\n"
    "                  [--retry-failed] -o DIR BUNDLE PRINTERS\n"
    "       holm-fleet --read before|after [--firmware [NAME=]VERSION] ADDRESS\n"
    "Runs BUNDLE -n ADDRESS for every printer of PRINTERS (a file, or - for\n"
    "standard input; one printer a line: ADDRESS [LOGIN [PASSWORD]]), once\n"
    "holm-pack -t has found BUNDLE sound.\n"
    "  -j N              N printers at a time (default 32)\n"
    "  -m c              run the bundle with -m c (a mode letter, a to l)\n"
    "  -d                run the bundle with -d (event characters)\n"
    "  -o DIR            the records: DIR/summary.tsv, DIR/printers/ADDRESS/, DIR/joblog\n"
    "  --firmware [NAME=]VERSION  the firmware version the bundle installs: printers\n"
    "                    that report it over IPP are current and left alone, the\n"
    "                    others must report it after the delivery\n"
    "  --plan            with --firmware: read every printer's version, send nothing else\n"
    "  --canary N        the first N printers alone first; the rest only when all\n"
    "                    ended ok or current\n"
    "  --max-failed LIMIT  start no further printer once LIMIT of the finished\n"
    "                    printers failed: a share (10%) or a count (5)\n"
    "  --key PUBKEY      BUNDLE must carry a signature by this minisign key (BUNDLE.minisig)\n"
    "  --retry-failed    run again only the printers that failed or were not\n"
    "                    started in DIR's last run\n"
    "  --read WHEN       read one printer's firmware over IPP, send nothing, and\n"
    "                    print what a run would make of it as JSON (WHEN: before\n"
    "                    a delivery, or after one, reading for up to 2 minutes)\n"
    "  -h, --help        print this help\n"
    "Exit status: 0 when every printer ended ok (or current, or to deliver with\n"
    "--plan), 1 when any failed or was not started, 2 for bad usage or a bundle\n"
    "refused (nothing sent then).\n";

namespace {

// A whole number from 1 to 999999, as -j and --canary take it.
bool count_value(const std::string& text, long* value) {
    if (text.empty() || text.size() > 6 || text[0] == '0' || !all_digits(text)) return false;
    *value = std::stol(text);
    return true;
}

// 1% to 100%, or a count from 1 to 999999.
bool limit_value(const std::string& text, Limit* limit) {
    bool share = !text.empty() && text.back() == '%';
    std::string number = share ? text.substr(0, text.size() - 1) : text;
    if (number.empty() || number[0] == '0' || !all_digits(number) || number.size() > (share ? 3 : 6)) return false;
    long value = std::stol(number);
    if (share && value > 100) return false;
    *limit = Limit{true, share, value, text};
    return true;
}

// [NAME=]VERSION: neither part empty, one '=' at most, no control bytes.
bool firmware_value(const std::string& text, FleetSettings& s) {
    std::size_t equals = text.find('=');
    std::string name = equals == std::string::npos ? "" : text.substr(0, equals);
    std::string version = equals == std::string::npos ? text : text.substr(equals + 1);
    if (version.empty() || version.find('=') != std::string::npos || (equals != std::string::npos && name.empty()))
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    s.firmware_name = name;
    s.firmware_version = version;
    return true;
}

// The options that take a value, in the order of Given's fields.
const char* const valued[] = {"-j", "-m", "-o", "--canary", "--max-failed", "--key", "--firmware", "--read"};
constexpr std::size_t valued_count = sizeof valued / sizeof valued[0];

// The values as given; an option given an empty value counts as not given,
// but for -j, whose default an empty value does not stand for.
struct Given {
    std::vector<std::string> values = std::vector<std::string>(valued_count);
    bool jobs = false;
    bool read = false;
};

int valued_index(const std::string& option) {
    for (std::size_t i = 0; i < valued_count; ++i)
        if (option == valued[i]) return static_cast<int>(i);
    return -1;
}

Parsed refuse(const std::string& why) { return Parsed{2, why}; }

// The options of the run, checked in the order the help gives them.
Parsed check_values(const Given& given, FleetSettings& s) {
    const std::vector<std::string>& raw = given.values;
    const std::string &jobs = raw[0], &mode = raw[1], &canary = raw[3], &limit = raw[4];
    if (given.jobs && !count_value(jobs, &s.jobs)) return refuse("bad -j: " + jobs + " (a whole number from 1)");
    if (!mode.empty() && (mode.size() != 1 || mode[0] < 'a' || mode[0] > 'l'))
        return refuse("bad -m: " + mode + " (one mode letter, a to l)");
    if (!mode.empty()) s.mode = mode[0];
    if (!canary.empty() && !count_value(canary, &s.canary))
        return refuse("bad --canary: " + canary + " (a whole number from 1)");
    if (!limit.empty() && !limit_value(limit, &s.max_failed))
        return refuse("bad --max-failed: " + limit + " (a share from 1% to 100%, or a count from 1)");
    return Parsed{};
}

Parsed check_firmware(FleetSettings& s) {
    if (s.firmware.empty()) return Parsed{};
    if (!firmware_value(s.firmware, s)) return refuse("bad --firmware: " + s.firmware + " ([NAME=]VERSION)");
    // Only these modes wait for the printer's restart: the version read
    // after any other could be the one it ran before.
    if (s.mode != 0 && s.mode != 'a' && s.mode != 'e')
        return refuse(std::string("--firmware needs mode a or e (they wait for the restart), not -m ") + s.mode);
    return Parsed{};
}

Parsed check_read(const Given& given, const std::vector<std::string>& arguments, FleetSettings& s) {
    const std::vector<std::string>& raw = given.values;
    if (s.read_when != "before" && s.read_when != "after")
        return refuse("bad --read: " + s.read_when + " (before or after)");
    static const char* const run_only[] = {"-j", "-m", "-o", "--canary", "--max-failed", "--key"};
    for (std::size_t i = 0; i < 6; ++i)
        if (!raw[i].empty() || (i == 0 && given.jobs))
            return refuse(std::string(run_only[i]) + " does not go with --read");
    if (s.debug || s.plan || s.retry) return refuse("--read takes no option but --firmware");
    Parsed firmware = check_firmware(s);
    if (firmware.status >= 0) return firmware;
    if (s.firmware.empty()) return refuse("--read needs --firmware");
    if (arguments.size() != 1)
        return refuse("--read expected one argument, ADDRESS, got " + std::to_string(arguments.size()));
    s.read_address = arguments[0];
    return Parsed{};
}

Parsed check_run(const Given& given, const std::vector<std::string>& arguments, FleetSettings& s) {
    Parsed values = check_values(given, s);
    if (values.status >= 0) return values;
    if (s.dir.empty()) return refuse("no -o DIR");
    Parsed firmware = check_firmware(s);
    if (firmware.status >= 0) return firmware;
    if (s.plan && s.firmware.empty()) return refuse("--plan needs --firmware");
    if (arguments.size() != 2)
        return refuse("expected two arguments, BUNDLE and PRINTERS, got " + std::to_string(arguments.size()));
    s.bundle = arguments[0];
    s.printers = arguments[1];
    return Parsed{};
}

}  // namespace

Parsed parse_command_line(int argc, char* argv[], FleetSettings& s) {
    Given given;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-') break;
        if (a == "-h" || a == "--help") {
            std::fputs(usage_text, stdout);
            return Parsed{0, ""};
        }
        int slot = valued_index(a);
        if (slot >= 0) {
            if (i + 1 >= argc) return refuse(a + " needs a value");
            given.values[static_cast<std::size_t>(slot)] = argv[++i];
            given.jobs = given.jobs || slot == 0;
            given.read = given.read || slot == 7;
            continue;
        }
        if (a == "-d") s.debug = true;
        else if (a == "--plan") s.plan = true;
        else if (a == "--retry-failed") s.retry = true;
        else return refuse("unknown option " + a + " (holm-fleet --help tells the usage)");
    }
    std::vector<std::string> arguments(argv + i, argv + argc);
    s.dir = given.values[2];
    s.key = given.values[5];
    s.firmware = given.values[6];
    s.read_when = given.values[7];
    return given.read ? check_read(given, arguments, s) : check_run(given, arguments, s);
}

}  // namespace fleet
