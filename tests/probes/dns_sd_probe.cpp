// Runs holm-find's DNS-SD source once and prints what it gave: one line a
// sighting on standard output (address, name, uuid, model, ipp or -, via,
// problem; tab-separated), then its warnings and its problem on standard
// error. Exit status 1 when there was a problem, else 0.
//
//   holm_dns_sd_probe WAIT_MS [STOP_AFTER_MS]
//
// STOP_AFTER_MS sets the stop flag from another thread after that long.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "dns_sd.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s WAIT_MS [STOP_AFTER_MS]\n", argv[0]);
        return 2;
    }
    std::atomic<bool> stop{false};
    std::thread stopper;
    if (argc == 3) {
        int after = std::atoi(argv[2]);
        stopper = std::thread([&stop, after] {
            std::this_thread::sleep_for(std::chrono::milliseconds(after));
            stop = true;
        });
    }
    find::DnsSdFound found = find::dns_sd_sightings(std::atoi(argv[1]), stop);
    if (stopper.joinable()) stopper.join();
    for (const find::Sighting& s : found.sightings)
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", s.address.c_str(), s.name.c_str(), s.uuid.c_str(),
                    s.model.c_str(), s.has_ipp ? "ipp" : "-", s.via.c_str(), s.problem.c_str());
    for (const std::string& w : found.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    if (!found.problem.empty()) std::fprintf(stderr, "problem: %s\n", found.problem.c_str());
    return found.problem.empty() ? 0 : 1;
}
