// Runs the SNMP source on the addresses given and prints what it saw, one
// tab-separated line a sighting: address, model, firmware, serial, name,
// problem. Options before the addresses: --timeout MS, --retries N,
// --in-flight N, --community TEXT, --stop-after MS (sets the stop flag then,
// from another thread), --hold N (keeps N more files open meanwhile, as the
// other sources of a discovery would). An argument A/N stands for every address of that
// block. The last line on standard error is "elapsed MS".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "snmp.h"

namespace {

std::uint32_t parse_address(const std::string& text) {
    unsigned a, b, c, d;
    char extra;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255) {
        std::fprintf(stderr, "snmp_probe: not an address: %s\n", text.c_str());
        std::exit(2);
    }
    return a << 24 | b << 16 | c << 8 | d;
}

void add_addresses(const std::string& arg, std::vector<std::uint32_t>* addresses) {
    std::size_t slash = arg.find('/');
    if (slash == std::string::npos) {
        addresses->push_back(parse_address(arg));
        return;
    }
    int bits = std::atoi(arg.c_str() + slash + 1);
    std::uint32_t base = parse_address(arg.substr(0, slash));
    std::uint64_t count = 1ull << (32 - bits);
    for (std::uint64_t i = 0; i < count; ++i) addresses->push_back(base + static_cast<std::uint32_t>(i));
}

}  // namespace

int main(int argc, char** argv) {
    find::SnmpBounds bounds;
    std::string community = "public";
    long stop_after = -1;
    int hold = 0;
    std::vector<std::uint32_t> addresses;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--timeout" && has_value) bounds.timeout_ms = std::atoi(argv[++i]);
        else if (arg == "--retries" && has_value) bounds.retries = std::atoi(argv[++i]);
        else if (arg == "--in-flight" && has_value) bounds.in_flight = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--community" && has_value) community = argv[++i];
        else if (arg == "--stop-after" && has_value) stop_after = std::atol(argv[++i]);
        else if (arg == "--hold" && has_value) hold = std::atoi(argv[++i]);
        else add_addresses(arg, &addresses);
    }
    std::vector<std::FILE*> held;
    for (int i = 0; i < hold; ++i) {
        std::FILE* file = std::fopen("/dev/null", "r");
        if (file == nullptr) {
            std::fprintf(stderr, "snmp_probe: could hold only %d files\n", i);
            return 2;
        }
        held.push_back(file);
    }
    std::atomic<bool> stop{false};
    std::thread stopper;
    if (stop_after >= 0)
        stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(stop_after));
            stop = true;
        });
    auto start = std::chrono::steady_clock::now();
    std::vector<find::Sighting> seen = find::snmp_sightings(addresses, community, bounds, stop);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (stopper.joinable()) stopper.join();
    for (std::FILE* file : held) std::fclose(file);
    for (const find::Sighting& s : seen)
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", s.address.c_str(), s.via.c_str(), s.model.c_str(),
                    s.firmware.c_str(), s.serial.c_str(), s.name.c_str(), s.problem.c_str());
    std::fprintf(stderr, "elapsed %lld\n", static_cast<long long>(ms));
    return 0;
}
