// Where a Windows program's certificate table (the Authenticode signature,
// the PE security directory) stands in a file.
#pragma once

#include <cstdint>

namespace payload {

struct CertificateTable {
    bool present = false;     // the directory names a table of nonzero size
    std::uint64_t offset = 0;  // where it begins
    std::uint64_t length = 0;  // as the directory gives it
};

// The table the security directory of the PE file at base names, when the
// file is a PE file and names one; its bounds are not checked against size.
CertificateTable find_certificate_table(const unsigned char* base, std::uint64_t size);

// Where the archive of a bundle must end: the start of a certificate table
// that closes the file exactly, as a signing tool leaves it; size
// otherwise, so that a file with anything after its table is read whole,
// as before.
std::uint64_t archive_limit(const unsigned char* base, std::uint64_t size);

}  // namespace payload
