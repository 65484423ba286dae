#include "names.h"

#include <unordered_map>

#include "platform/platform.h"

namespace fleet {

namespace {

std::string lookup_problem(const std::string& name, const std::string& problem) {
    return "cannot look up " + name + ": " + problem;
}

}  // namespace

Resolved resolve_one(const std::string& name) {
    std::vector<std::string> addresses, problems;
    plat::resolve_ipv4({name}, lookup_ms, addresses, problems);
    return Resolved{addresses[0], addresses[0].empty() ? lookup_problem(name, problems[0]) : std::string()};
}

std::string resolve_printers(FleetRun& run) {
    std::vector<std::string> names, addresses, problems;
    for (const PrinterRun& p : run.printers) names.push_back(p.listed.address);
    plat::resolve_ipv4(names, lookup_ms, addresses, problems);
    std::unordered_map<std::string, std::size_t> first;
    std::string where = run.settings.printers == "-" ? "standard input" : run.settings.printers;
    for (std::size_t i = 0; i < run.printers.size(); ++i) {
        PrinterRun& p = run.printers[i];
        p.ipv4 = addresses[i];
        if (p.ipv4.empty()) {
            p.lookup_problem = lookup_problem(p.listed.address, problems[i]);
            continue;
        }
        auto [seen, fresh] = first.emplace(p.ipv4, i);
        if (!fresh)
            return where + ", line " + std::to_string(p.listed.line) + ": " + p.listed.address + " is " + p.ipv4 +
                   ", as is line " + std::to_string(run.printers[seen->second].listed.line) + " (" +
                   run.printers[seen->second].listed.address + "): one printer listed twice";
    }
    return std::string();
}

}  // namespace fleet
