#include "options.h"

#include "models.h"

namespace find {

const char usage_text[] =
    "Usage: holm-find [--range SPEC]... [--large] [--dns-sd] [--wait SECONDS]\n"
    "                 [--snmp [COMMUNITY]] [--tsv | --json]\n"
    "                 [--for PATTERN]... [--bundle BUNDLE]...\n"
    "Finds a site's printers and writes them as a PRINTERS list for holm-fleet:\n"
    "each printer once, a '#' line saying what it is, then its address. It asks\n"
    "only questions: IPP on port 631, SNMP GETs, DNS-SD queries.\n"
    "  --range SPEC      ask every address of SPEC over IPP: A.B.C.D/N, A-B, one\n"
    "                    address, or @FILE with one of those a line (# comments)\n"
    "  --large           allow ranges of more than 65536 addresses (a /16) in all\n"
    "  --dns-sd          browse for printers through the machine's Avahi daemon,\n"
    "                    then read the ones that offer IPP over it\n"
    "  --wait SECONDS    how long DNS-SD browses (default 5)\n"
    "  --snmp [COMMUNITY]  ask the addresses of the ranges over SNMP v2c too\n"
    "                    (default community public)\n"
    "  --tsv             write a tab-separated inventory with a header line\n"
    "  --json            write the inventory as JSON\n"
    "  --for PATTERN     keep only printers whose model matches PATTERN, as\n"
    "                    holm-pack --for names models\n"
    "  --bundle BUNDLE   keep only printers whose model BUNDLE is for, as\n"
    "                    holm-fleet chooses a printer's bundle\n"
    "  -h, --help        print this help\n"
    "Exit status: 0 when printers were found, 1 when none, 2 for bad usage.\n";

namespace {

bool parse_seconds(const std::string& text, int* seconds) {
    if (text.empty() || text.size() > 4) return false;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    *seconds = n;
    return n >= 1 && n <= 3600;
}

// The value of an option: "--name=VALUE" or the next argument.
bool take_value(int argc, char* argv[], int& i, const std::string& inline_value, bool has_inline, std::string* value) {
    if (has_inline) {
        *value = inline_value;
        return true;
    }
    if (i + 1 >= argc) return false;
    *value = argv[++i];
    return true;
}

std::string check_totals(FindSettings& s) {
    s.ranges = merged(s.ranges);
    std::uint64_t count = address_count(s.ranges);
    if (count > large_count && !s.large)
        return "the ranges hold " + std::to_string(count) + " addresses, more than a /16 (65536): add --large";
    if (s.snmp && s.ranges.empty()) return "--snmp asks the addresses of the ranges: give --range";
    if (s.ranges.empty() && !s.dns_sd) return "nothing to ask: give --range SPEC or --dns-sd";
    return std::string();
}

}  // namespace

std::string parse_options(int argc, char* argv[], FindSettings& s) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        std::string name = arg.substr(0, eq);
        bool has_inline = eq != std::string::npos;
        std::string inline_value = has_inline ? arg.substr(eq + 1) : std::string();
        std::string value;
        auto needs = [&](const char* what) { return name + " needs " + what; };
        if (name == "-h" || name == "--help") {
            s.help = true;
        } else if (name == "--range") {
            if (!take_value(argc, argv, i, inline_value, has_inline, &value)) return needs("a SPEC");
            std::string why = add_spec(value, s.ranges);
            if (!why.empty()) return why;
        } else if (name == "--large" && !has_inline) {
            s.large = true;
        } else if (name == "--dns-sd" && !has_inline) {
            s.dns_sd = true;
        } else if (name == "--wait") {
            if (!take_value(argc, argv, i, inline_value, has_inline, &value) || !parse_seconds(value, &s.wait_s))
                return "--wait needs SECONDS, 1 to 3600";
        } else if (name == "--snmp") {
            s.snmp = true;
            // The community is optional: the next argument is it unless it
            // is an option itself.
            if (has_inline) s.community = inline_value;
            else if (i + 1 < argc && argv[i + 1][0] != '-') s.community = argv[++i];
            if (s.community.empty()) return "--snmp: the COMMUNITY is empty";
        } else if ((name == "--tsv" || name == "--json") && !has_inline) {
            Format f = name == "--tsv" ? Format::tsv : Format::json;
            if (s.format != Format::printers && s.format != f) return "--tsv and --json exclude each other";
            s.format = f;
        } else if (name == "--for") {
            if (!take_value(argc, argv, i, inline_value, has_inline, &value)) return needs("a PATTERN");
            std::string why = pack::pattern_problem(value);
            if (!why.empty()) return "--for " + pack::shown_pattern(value) + ": " + why;
            s.for_patterns.push_back(value);
        } else if (name == "--bundle") {
            if (!take_value(argc, argv, i, inline_value, has_inline, &value)) return needs("a BUNDLE");
            s.bundles.push_back(value);
        } else {
            return "unknown argument: " + arg;
        }
    }
    return s.help ? std::string() : check_totals(s);
}

}  // namespace find
