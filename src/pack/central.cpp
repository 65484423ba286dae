#include "central.h"

namespace pack {

namespace {

constexpr std::uint64_t end_record_size = 22;
constexpr std::uint64_t central_entry_size = 46;
constexpr std::uint64_t longest_comment = 0xFFFF;

bool has_signature(const unsigned char* p, unsigned third, unsigned fourth) {
    return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

// The last end record whose comment ends within the file, or size.
std::uint64_t find_end_record(const unsigned char* base, std::uint64_t size) {
    if (size < end_record_size) return size;
    std::uint64_t lowest = size > end_record_size + longest_comment ? size - end_record_size - longest_comment : 0;
    for (std::uint64_t at = size - end_record_size + 1; at-- > lowest;)
        if (has_signature(base + at, 5, 6) && at + end_record_size + read16(base + at + 20) <= size) return at;
    return size;
}

}  // namespace

unsigned read16(const unsigned char* p) { return static_cast<unsigned>(p[0] | p[1] << 8); }

std::uint32_t read32(const unsigned char* p) { return read16(p) | static_cast<std::uint32_t>(read16(p + 2)) << 16; }

CentralDirectory read_central_directory(const unsigned char* base, std::uint64_t size) {
    CentralDirectory cd;
    std::uint64_t end = find_end_record(base, size);
    if (end == size) return cd;
    cd.found = true;
    const unsigned char* record = base + end;
    cd.comment.assign(reinterpret_cast<const char*>(record + end_record_size), read16(record + 20));
    cd.end = end + end_record_size + cd.comment.size();
    unsigned count = read16(record + 10);
    std::uint32_t length = read32(record + 12);
    std::uint32_t offset = read32(record + 16);
    if (length > end) {
        cd.problem = "its size runs back past the start of the file";
        return cd;
    }
    cd.start = end - length;
    cd.shift = static_cast<std::int64_t>(cd.start) - static_cast<std::int64_t>(offset);
    std::uint64_t at = cd.start;
    while (at < end) {
        const unsigned char* p = base + at;
        if (at + central_entry_size > end || !has_signature(p, 1, 2)) {
            cd.problem = "no entry header at offset " + std::to_string(at);
            return cd;
        }
        std::uint64_t next = at + central_entry_size + read16(p + 28) + read16(p + 30) + read16(p + 32);
        if (next > end) {
            cd.problem = "the entry at offset " + std::to_string(at) + " runs into the end record";
            return cd;
        }
        EntryFields e;
        e.name.assign(reinterpret_cast<const char*>(p + central_entry_size), read16(p + 28));
        e.method = read16(p + 10);
        e.crc = read32(p + 16);
        e.stored_size = read32(p + 20);
        e.size = read32(p + 24);
        e.offset = read32(p + 42);
        cd.entries.push_back(e);
        at = next;
    }
    if (cd.entries.size() != count)
        cd.problem = "the end record counts " + std::to_string(count) + " entries, the directory holds " +
                     std::to_string(cd.entries.size());
    return cd;
}

}  // namespace pack
