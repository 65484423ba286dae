// The Authenticode signature a bundle may end in: where its certificate
// table stands, whether the archive lies inside the signed bytes, and what
// osslsigncode verify says of it. Used by holm-pack -t and the fleet gate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "authenticode.h"
#include "central.h"

namespace pack {

struct SignatureCheck {
    bool present = false;     // the program's headers name a certificate table
    std::uint64_t offset = 0;  // of the table
    std::uint64_t length = 0;
    std::uint64_t after = 0;   // bytes after the table, outside the signed bytes
    bool verified_run = false;  // osslsigncode verify was run on it
    bool covers_archive = false;
    std::string ca;  // the CA file the chain was checked against, or empty
    Verified verified;
};

// Checks the signature of the bundle at path, mapped at base; with a CA
// file, a bundle without a signature that chains to it is refused. Adds
// one line per problem.
SignatureCheck check_signature(const std::string& path, const unsigned char* base, std::uint64_t size,
                               const CentralDirectory& cd, const std::string& ca,
                               std::vector<std::string>& problems);

// The lines of -t's report on the signature; nothing for a bundle without one.
void print_signature(const SignatureCheck& found);

}  // namespace pack
