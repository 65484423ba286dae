// The Authenticode signature of a bundle, made and checked by osslsigncode
// run as a separate program: the signature's PKCS#7 is never built or
// parsed here.
#pragma once

#include <cstdint>
#include <string>

namespace pack {

struct SignRequest {
    std::string certificate, key;  // --sign, --sign-key (PEM)
    std::string pkcs12;            // --sign-pkcs12
    std::string password;          // handed over on osslsigncode's standard input
    bool has_password = false;
    std::string name, url;  // shown by Windows as the program's description and link
    std::string timestamp;  // an RFC 3161 time-stamping server, or empty
};

// Signs the finished bundle in into the new file out (SHA-256). The
// problem, in osslsigncode's own words where it gave some, or empty.
std::string sign_bundle(const std::string& in, const std::string& out, const SignRequest& request);

// What osslsigncode verify says of a signed file.
struct Verified {
    bool ran = false;           // it could be started
    bool digests = false;       // it gave the digest the signature holds and the file's own
    bool digest_matches = false;
    bool chain_ok = false;      // it ended in success: with a CA file, the chain to it holds
    std::string signer, issuer, algorithm, timestamp;
    std::string said;  // the line that tells why it failed, or why it could not run
};

// Runs osslsigncode verify on path, against the CA file ca when one is
// given.
Verified verify_signature(const std::string& path, const std::string& ca);

// The report of a verify run read back: exposed for the tests of the
// parser against the texts of the versions in use.
Verified read_verify_output(const std::string& text, int status);

}  // namespace pack
