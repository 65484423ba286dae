#include "authenticode.h"

#include <vector>

#include "lines.h"
#include "platform/platform.h"

namespace pack {

namespace {

const char tool[] = "osslsigncode";

std::string trimmed(const std::string& s) {
    std::size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r") + 1 - first);
}

// The value after "label:" when the line, trimmed, starts with label.
bool value_of(const std::string& line, const std::string& label, std::string* value) {
    std::string t = trimmed(line);
    if (t.compare(0, label.size(), label) != 0) return false;
    std::size_t colon = t.find(':', label.size());
    if (colon == std::string::npos) return false;
    *value = trimmed(t.substr(colon + 1));
    return true;
}

// The first word of a digest line: osslsigncode puts "MISMATCH!!!" after
// a calculated digest that differs.
std::string first_word(const std::string& s) { return s.substr(0, s.find_first_of(" \t")); }

// osslsigncode's reasons, from the lines that carry them, on one line.
std::string reasons(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        std::string t = trimmed(line), value;
        bool reason = value_of(t, "Error", &value) || t.find("Failed to") == 0 || t.find("Unrecognized") == 0 ||
                      t.find("Corrupt") == 0 || t.find("Unable") == 0 || t.find("Ignoring") != std::string::npos ||
                      t.find("No signature") != std::string::npos || t.find("Warning: ") == 0;
        if (!reason || t.find("PE checksum") != std::string::npos) continue;
        if (out.find(t) == std::string::npos) out += (out.empty() ? "" : "; ") + t;
    }
    return out;
}

std::string password_source() { return plat::standard_input_name(); }

}  // namespace

Verified read_verify_output(const std::string& text, int status) {
    Verified v;
    v.ran = true;
    std::vector<std::string> lines = lines_of(text);
    std::string current, calculated, value;
    bool in_signer = false;
    for (const std::string& line : lines) {
        if (trimmed(line).find("Signer's certificate") == 0) in_signer = true;
        if (value_of(line, "Current message digest", &value)) current = first_word(value);
        if (value_of(line, "Calculated message digest", &value)) calculated = first_word(value);
        if (v.algorithm.empty() && value_of(line, "Message digest algorithm", &value)) v.algorithm = value;
        if (in_signer && v.signer.empty() && value_of(line, "Subject", &value)) v.signer = value;
        if (in_signer && v.issuer.empty() && value_of(line, "Issuer", &value)) v.issuer = value;
        if (v.timestamp.empty() && (value_of(line, "The signature is timestamped", &value) ||
                                    value_of(line, "Timestamp time", &value)))
            v.timestamp = value;
    }
    v.digests = !current.empty() && !calculated.empty();
    v.digest_matches = v.digests && current == calculated;
    v.chain_ok = status == 0 && v.digest_matches;
    v.said = reasons(lines);
    if (v.said.empty() && status != 0 && !lines.empty()) v.said = trimmed(lines.back());
    return v;
}

Verified verify_signature(const std::string& path, const std::string& ca) {
    std::vector<std::string> args{tool, "verify"};
    if (!ca.empty()) {
        args.push_back("-CAfile");
        args.push_back(ca);
    }
    args.push_back("-in");
    args.push_back(path);
    std::string output;
    int status = plat::run_tool(args, std::string(), &output);
    if (status < 0) {
        Verified v;
        v.said = std::string(tool) + " could not be run (" + (output.empty() ? "not found" : output) +
                 "); it is needed to check the Authenticode signature";
        return v;
    }
    return read_verify_output(output, status);
}

std::string sign_bundle(const std::string& in, const std::string& out, const SignRequest& r) {
    std::vector<std::string> args{tool, "sign", "-h", "sha256", "-n", r.name};
    if (!r.url.empty()) args.insert(args.end(), {"-i", r.url});
    if (!r.pkcs12.empty())
        args.insert(args.end(), {"-pkcs12", r.pkcs12});
    else
        args.insert(args.end(), {"-certs", r.certificate, "-key", r.key});
    if (r.has_password) args.insert(args.end(), {"-readpass", password_source()});
    if (!r.timestamp.empty()) args.insert(args.end(), {"-ts", r.timestamp});
    args.insert(args.end(), {"-in", in, "-out", out});
    std::string output;
    int status = plat::run_tool(args, r.has_password ? r.password : std::string(), &output);
    if (status < 0)
        return std::string(tool) + " could not be run (" + (output.empty() ? "not found" : output) +
               "); install it to sign bundles";
    if (status == 0) return std::string();
    std::string why = reasons(lines_of(output));
    if (why.empty()) why = trimmed(output.substr(0, output.find('\n')));
    return "signing failed: " + why;
}

}  // namespace pack
