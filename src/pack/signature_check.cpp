#include "signature_check.h"

#include <cinttypes>
#include <cstdio>

#include "payload/pe_table.h"

namespace pack {

namespace {

std::string at(std::uint64_t offset) { return "offset " + std::to_string(offset); }

void judge(SignatureCheck& s, std::vector<std::string>& problems) {
    const Verified& v = s.verified;
    if (!v.ran) {
        problems.push_back(v.said);
        return;
    }
    if (!v.digests) {
        problems.push_back("the Authenticode signature cannot be read" + (v.said.empty() ? "" : ": " + v.said));
        return;
    }
    if (!v.digest_matches)
        problems.push_back("the Authenticode signature does not match the file: the signed bytes were changed after signing");
    else if (!s.ca.empty() && !v.chain_ok)
        problems.push_back("the Authenticode signature does not chain to " + s.ca +
                           (v.said.empty() ? "" : ": " + v.said));
    if (!s.covers_archive)
        problems.push_back("the archive lies outside the bytes the Authenticode signature covers");
}

}  // namespace

SignatureCheck check_signature(const std::string& path, const unsigned char* base, std::uint64_t size,
                               const CentralDirectory& cd, const std::string& ca,
                               std::vector<std::string>& problems) {
    SignatureCheck s;
    s.ca = ca;
    payload::CertificateTable table = payload::find_certificate_table(base, size);
    if (!table.present) {
        if (!ca.empty()) problems.push_back("no Authenticode signature, and a signature that chains to " + ca + " is required");
        return s;
    }
    s.present = true;
    s.offset = table.offset;
    s.length = table.length;
    if (table.offset < 0x40 || table.offset + table.length > size) {
        problems.push_back("the certificate table the program's headers name (at " + at(table.offset) + ", " +
                           std::to_string(table.length) + " bytes) does not lie within the file");
        return s;
    }
    s.after = size - table.offset - table.length;
    if (s.after > 0) {
        // What follows the signature is not hashed: anything could be put
        // there and the signature would still check, so strict checks
        // (Windows among them) refuse such a file.
        problems.push_back(std::to_string(s.after) + " bytes follow the Authenticode signature (which ends at " +
                           at(table.offset + table.length) + "): they lie outside the signed bytes");
        return s;
    }
    s.covers_archive = cd.found && cd.end <= table.offset;
    s.verified = verify_signature(path, ca);
    s.verified_run = true;
    judge(s, problems);
    return s;
}

void print_signature(const SignatureCheck& s) {
    if (!s.present) return;
    std::printf("Authenticode signature: certificate table at offset %" PRIu64 ", %" PRIu64 " bytes\n", s.offset,
                s.length);
    if (s.after > 0) std::printf("  followed by %" PRIu64 " bytes outside the signed bytes\n", s.after);
    if (!s.verified_run) return;
    const Verified& v = s.verified;
    if (!v.digests) {
        std::puts(v.ran ? "  not checked: osslsigncode gave no digest" : "  not checked: osslsigncode could not be run");
        return;
    }
    std::printf("  signer: %s%s%s\n", v.signer.empty() ? "(not named)" : v.signer.c_str(),
                v.issuer.empty() ? "" : ", issued by ", v.issuer.c_str());
    std::printf("  digest: %s, %s\n", v.algorithm.empty() ? "(not named)" : v.algorithm.c_str(),
                v.digest_matches ? "matches the file" : "does not match the file");
    std::printf("  timestamp: %s\n", v.timestamp.empty() ? "none" : v.timestamp.c_str());
    std::printf("  archive: %s\n", s.covers_archive ? "inside the signed bytes" : "outside the signed bytes");
    if (s.ca.empty())
        std::puts("  chain: not checked (give --ca CA.pem)");
    else
        std::printf("  chain: %s %s\n", v.chain_ok ? "verified against" : "does not verify against", s.ca.c_str());
}

}  // namespace pack
