// holm-find's command line.
#pragma once

#include <string>
#include <vector>

#include "ranges.h"

namespace find {

enum class Format { printers, tsv, json };

struct FindSettings {
    std::vector<Range> ranges;  // merged
    bool large = false;
    bool dns_sd = false;
    int wait_s = 5;
    bool snmp = false;
    std::string community = "public";
    Format format = Format::printers;
    std::vector<std::string> for_patterns;  // --for, each a pattern
    std::vector<std::string> bundles;       // --bundle
    bool help = false;
};

extern const char usage_text[];

// Fills s from the arguments; empty, or the refusal of the first bad one.
std::string parse_options(int argc, char* argv[], FindSettings& s);

}  // namespace find
