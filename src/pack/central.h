// The central directory of a bundle, as ZIP readers such as unzip see it:
// the end record found from the end of the file, and the entries it lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

// What an entry's headers say of it, local or central.
struct EntryFields {
    std::string name;  // every stored byte
    unsigned method = 0;
    std::uint32_t crc = 0;
    std::uint32_t stored_size = 0;  // the bytes that stand in the archive
    std::uint32_t size = 0;         // the bytes once unpacked
    std::uint64_t offset = 0;       // of the local header, from the start of the file
};

struct CentralDirectory {
    bool found = false;      // an end record was found
    std::uint64_t start = 0;  // where the directory really begins
    std::uint64_t end = 0;    // just past the end record and its comment
    // Subtracted from where the directory really is, the offset the end
    // record gives: nonzero when the offsets count from elsewhere than the
    // start of the file (an archive appended to a program unadjusted).
    std::int64_t shift = 0;
    std::vector<EntryFields> entries;  // offsets as stored
    std::string comment;               // the archive comment, every stored byte
    std::string problem;               // why the directory could not be read whole
};

// Little-endian fields of the headers.
unsigned read16(const unsigned char* p);
std::uint32_t read32(const unsigned char* p);

CentralDirectory read_central_directory(const unsigned char* base, std::uint64_t size);

}  // namespace pack
