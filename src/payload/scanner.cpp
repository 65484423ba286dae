#include "payload/scanner.h"

#include <cstdlib>
#include <cstring>

#include "payload/image.h"
#include "payload/pe_table.h"

namespace payload {

ArchiveCursor cursor;

namespace {

// The signature must never stand in this program as one four-byte value, or
// the scan of our own file would find it in our code before the archive.
// The expected bytes are kept masked by a value the compiler cannot see
// through, so no constant holding them can be folded together.
volatile unsigned char signature_mask = 0x5A;

bool is_signature(const unsigned char* p) {
    unsigned mask = signature_mask;
    unsigned low = static_cast<unsigned>(p[0] | p[1] << 8) ^ (mask | mask << 8);
    unsigned high = static_cast<unsigned>(p[2] | p[3] << 8) ^ (mask | mask << 8);
    return low == (0x4B50u ^ 0x5A5Au) && high == (0x0403u ^ 0x5A5Au);
}

unsigned read16(const unsigned char* p) { return static_cast<unsigned>(p[0] | p[1] << 8); }

std::uint32_t read32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool take_name(const unsigned char* bytes, unsigned length) {
    // Only the newest name is ever used; dropping the old one keeps a walk
    // over many entries from piling up copies.
    std::free(current.name);
    current.name = static_cast<char*>(std::malloc(length + 1u));
    if (current.name == nullptr) return false;
    std::memcpy(current.name, bytes, length);
    current.name[length] = '\0';
    return true;
}

}  // namespace

std::uint64_t find_local_header(std::uint64_t pos) {
    // A signed bundle ends in its certificate table, whose bytes (hashes,
    // signatures, serial numbers) can hold the header signature by chance.
    const std::uint64_t size = archive_limit(image.base, image.size);
    const unsigned char* base = image.base;
    std::uint64_t at = pos + 1;
    while (at + 4 <= size) {
        const void* hit = std::memchr(base + at, 0x50, static_cast<std::size_t>(size - 3 - at));
        if (hit == nullptr) break;
        at = static_cast<std::uint64_t>(static_cast<const unsigned char*>(hit) - base);
        if (is_signature(base + at)) return at;
        ++at;
    }
    return image.size;
}

int scan_next_header() {
    std::uint64_t pos = find_local_header(cursor.offset);
    if (pos >= image.size) return scan_end;
    cursor.offset = static_cast<std::uint32_t>(pos);
    const unsigned char* header = image.base + pos;
    // An entry runs no further than the archive does.
    const std::uint64_t size = archive_limit(image.base, image.size);
    if (pos + 30 > size) return scan_damaged;
    std::uint32_t length = read32(header + 18);
    unsigned name_length = read16(header + 26);
    unsigned extra_length = read16(header + 28);
    std::uint64_t data = pos + 30 + name_length + extra_length;
    if (data + length > size) return scan_damaged;
    if (!take_name(header + 30, name_length)) return scan_no_memory;
    cursor.header = cursor.offset;
    current.start = image.base + data;
    current.length = length;
    if (name_length > 0 && current.name[name_length - 1] == '/') return scan_directory;
    // Never below pos + 29, and below the image size, so it cannot wrap.
    cursor.offset = static_cast<std::uint32_t>(data + length - 1);
    return scan_entry;
}

int scan_next_entry() {
    int result;
    do
        result = scan_next_header();
    while (result == scan_directory);
    return result;
}

}  // namespace payload
