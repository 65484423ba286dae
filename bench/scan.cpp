// The archive walk timed in process, on images built in memory, so that
// the figures hold the scan alone and not the mapping or the disk.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "payload/image.h"
#include "payload/scanner.h"

namespace bench {

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void put(Bytes& b, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A ZIP record: its four signature bytes ("PK", then third and fourth),
// fixed part of size bytes (zeros but for the fields set later) and name.
std::size_t add_record(Bytes& b, unsigned third, unsigned fourth, std::size_t size, const std::string& name) {
    std::size_t at = b.size();
    b.resize(at + size + name.size());
    b[at] = 'P';
    b[at + 1] = 'K';
    b[at + 2] = static_cast<unsigned char>(third);
    b[at + 3] = static_cast<unsigned char>(fourth);
    std::memcpy(b.data() + at + size, name.data(), name.size());
    return at;
}

void add_local_entry(Bytes& b, const std::string& name, const Bytes& data) {
    std::size_t at = add_record(b, 3, 4, 30, name);
    put(b, at + 18, static_cast<std::uint32_t>(data.size()), 4);
    put(b, at + 22, static_cast<std::uint32_t>(data.size()), 4);
    put(b, at + 26, static_cast<std::uint32_t>(name.size()), 2);
    b.insert(b.end(), data.begin(), data.end());
}

// Breaks every local header signature in bytes, which stand before the
// archive and must not be taken for its start.
void scrub_signatures(Bytes& b) {
    for (std::size_t i = 0; i + 4 <= b.size(); ++i)
        if (b[i] == 'P' && b[i + 1] == 'K' && b[i + 2] == 3 && b[i + 3] == 4) b[i] = 0;
}

void load(const Bytes& b) {
    payload::image = {};
    payload::image.base = b.data();
    payload::image.size = static_cast<std::uint32_t>(b.size());
    payload::cursor.offset = 0;
}

// A program-sized prefix, entries of 100 bytes under names like those of a
// real tree, then the central directory and end record that a real bundle
// carries and the last scan passes over.
Bytes archive_of(int count) {
    Bytes b(64 * 1024, 0);
    std::mt19937 random(1);
    Bytes data(100);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "data/part%03d/file%06d.bin", i / 1000, i);
        names.push_back(name);
        for (auto& byte : data) byte = static_cast<unsigned char>(random());
        add_local_entry(b, name, data);
    }
    for (const std::string& name : names) {
        std::size_t at = add_record(b, 1, 2, 46, name);
        put(b, at + 28, static_cast<std::uint32_t>(name.size()), 2);
    }
    add_record(b, 5, 6, 22, "");
    return b;
}

Bytes prefix_of(const std::string& kind, std::size_t size, const char* file) {
    Bytes b(size, 0);
    if (kind == "random") {
        std::mt19937_64 random(2);
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            std::uint64_t v = random();
            std::memcpy(b.data() + i, &v, 8);
        }
    } else if (kind == "code") {
        std::ifstream in(file, std::ios::binary);
        Bytes program((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (program.empty()) return Bytes();
        for (std::size_t i = 0; i < size; ++i) b[i] = program[i % program.size()];
    } else if (kind != "zeros") {
        return Bytes();
    }
    scrub_signatures(b);
    return b;
}

// The byte value that occurs least often, so that memchr for it runs
// through the bytes with the fewest stops the data allows.
unsigned char rarest_byte(const Bytes& b, std::size_t* occurrences) {
    std::array<std::size_t, 256> counts{};
    for (unsigned char c : b) ++counts[c];
    auto least = std::min_element(counts.begin(), counts.end());
    *occurrences = *least;
    return static_cast<unsigned char>(least - counts.begin());
}

std::size_t memchr_sweep(const unsigned char* p, const unsigned char* end, unsigned char value) {
    std::size_t hits = 0;
    while (p < end) {
        const void* hit = std::memchr(p, value, static_cast<std::size_t>(end - p));
        if (hit == nullptr) break;
        ++hits;
        p = static_cast<const unsigned char*>(hit) + 1;
    }
    return hits;
}

}  // namespace

int scan_entries(int argc, char* argv[]) {
    if (argc != 2) return 2;
    const int count = std::atoi(argv[0]);
    const int reps = std::atoi(argv[1]);
    const Bytes archive = archive_of(count);
    for (int rep = 0; rep < reps; ++rep) {
        load(archive);
        int found = 0;
        Clock::time_point start = Clock::now();
        while (payload::scan_next_entry() == payload::scan_entry) ++found;
        double took = seconds_since(start);
        if (found != count) {
            std::fprintf(stderr, "walk found %d entries of %d\n", found, count);
            return 1;
        }
        std::printf("walk %.9f\n", took);
    }
    return 0;
}

int scan_prefix(int argc, char* argv[]) {
    if (argc < 3) return 2;
    const std::string kind = argv[0];
    const std::size_t prefix = static_cast<std::size_t>(std::atoi(argv[1])) << 20;
    const int reps = std::atoi(argv[2]);
    Bytes image = prefix_of(kind, prefix, argc > 3 ? argv[3] : "");
    if (image.size() != prefix) return 2;
    std::size_t occurrences = 0;
    const unsigned char rare = rarest_byte(image, &occurrences);
    const std::size_t first_bytes = static_cast<std::size_t>(std::count(image.begin(), image.end(), 'P'));
    add_local_entry(image, "image.bin", Bytes(16, 'x'));
    load(image);
    std::printf("stops %zu rarest %u %zu\n", first_bytes, rare, occurrences);
    for (int rep = 0; rep < reps; ++rep) {
        Clock::time_point start = Clock::now();
        std::uint64_t found = payload::find_local_header(0);
        double holm = seconds_since(start);
        start = Clock::now();
        std::size_t hits = memchr_sweep(image.data(), image.data() + prefix, rare);
        double reference = seconds_since(start);
        if (found != prefix || hits != occurrences) {
            std::fprintf(stderr, "header found at %llu, not %zu\n", static_cast<unsigned long long>(found), prefix);
            return 1;
        }
        std::printf("holm %.9f\nmemchr %.9f\n", holm, reference);
    }
    return 0;
}

}  // namespace bench
