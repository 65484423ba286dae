#include "payload/pe_table.h"

namespace payload {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned le16(const unsigned char* p) { return static_cast<unsigned>(p[0] | p[1] << 8); }

// Optional header magic numbers, and where the directory count and the
// directories stand in each kind of optional header.
constexpr unsigned pe32 = 0x10B, pe32_plus = 0x20B;
constexpr std::uint64_t security_entry = 4;

}  // namespace

CertificateTable find_certificate_table(const unsigned char* base, std::uint64_t size) {
    CertificateTable table;
    if (size < 0x40 || base[0] != 'M' || base[1] != 'Z') return table;
    std::uint64_t pe = le32(base + 0x3C);
    if (pe + 24 > size || base[pe] != 'P' || base[pe + 1] != 'E' || base[pe + 2] != 0 || base[pe + 3] != 0)
        return table;
    std::uint64_t optional_size = le16(base + pe + 20);
    std::uint64_t optional = pe + 24;
    if (optional + optional_size > size || optional_size < 2) return table;
    unsigned magic = le16(base + optional);
    if (magic != pe32 && magic != pe32_plus) return table;
    std::uint64_t count_at = optional + (magic == pe32 ? 92 : 108);
    std::uint64_t entry = count_at + 4 + security_entry * 8;
    // The directory must stand inside the optional header the file declares.
    if (entry + 8 > optional + optional_size || le32(base + count_at) <= security_entry) return table;
    table.offset = le32(base + entry);
    table.length = le32(base + entry + 4);
    table.present = table.length != 0;
    return table;
}

std::uint64_t archive_limit(const unsigned char* base, std::uint64_t size) {
    CertificateTable table = find_certificate_table(base, size);
    // A table inside the headers is no signature a signing tool wrote.
    if (!table.present || table.offset < 0x40 || table.offset + table.length != size) return size;
    return table.offset;
}

}  // namespace payload
