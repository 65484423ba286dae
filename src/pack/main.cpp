// holm-pack: makes a bundle, a copy of the holm program with a stored ZIP
// archive of the given files appended, which the program then extracts or
// sends as its payload.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "authenticode.h"
#include "bundle_check.h"
#include "firmware.h"
#include "models.h"
#include "payload/pe_table.h"
#include "platform/platform.h"
#include "tree.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

const char usage[] =
    "Usage: holm-pack -o OUTPUT [-s STUB] [-C DIR] [--for PATTERN]...\n"
    "                 [--firmware [NAME=]VERSION]\n"
    "                 [--sign CERT --sign-key KEY | --sign-pkcs12 FILE]\n"
    "                 [--sign-password-file FILE] [--sign-name NAME] [--sign-url URL]\n"
    "                 [--timestamp URL] [--] FILE...\n"
    "       holm-pack -t BUNDLE [--ca CA.pem]\n"
    "Writes OUTPUT: the holm program STUB followed by a stored ZIP archive of\n"
    "the FILEs, which the program extracts or sends as its payload.\n"
    "\n"
    "  -o OUTPUT  the bundle to write; give it the .exe suffix, since holm\n"
    "             reads its payload from its own name with .exe added\n"
    "  -s STUB    the program to bundle (default: holm beside holm-pack)\n"
    "  -C DIR     find the FILEs in DIR and store their names relative to it\n"
    "  --for PATTERN  the bundle is for printers whose make and model match\n"
    "             PATTERN (shell-style: * ? [...], case ignored); repeatable\n"
    "  --firmware VERSION  the firmware version the bundle installs ([NAME=]VERSION,\n"
    "             as holm-fleet --firmware takes it, which reads it from the bundle)\n"
    "  --sign CERT  sign the bundle with Authenticode (SHA-256) by osslsigncode:\n"
    "             CERT is the certificate (PEM, its chain after it)\n"
    "  --sign-key KEY  the certificate's private key (PEM), with --sign\n"
    "  --sign-pkcs12 FILE  sign with the certificate and key of a PKCS#12 file\n"
    "  --sign-password-file FILE  the password of the key or PKCS#12 file is the\n"
    "             first line of FILE (otherwise $HOLM_SIGN_PASSWORD, if set)\n"
    "  --sign-name NAME  the program's name in the signature (default: OUTPUT's\n"
    "             name without .exe)\n"
    "  --sign-url URL  the program's web address in the signature\n"
    "  --timestamp URL  have the signature time-stamped by this RFC 3161 server\n"
    "  -t BUNDLE  check a bundle: list its entries as the program walks them,\n"
    "             say what a network delivery does with it, check its\n"
    "             Authenticode signature if it has one, report problems\n"
    "  --ca CA.pem  the signature must chain to this CA (with -t)\n"
    "  -h, --help show this help\n"
    "\n"
    "Each FILE is stored under the relative name given, with '/' separators.\n"
    "A FILE that is a folder stands for every file below it, in the order of\n"
    "their names; links, devices and sockets in it are refused.\n"
    "Signing runs osslsigncode over the finished bundle, so the signature\n"
    "covers the program and its archive.\n"
    "OUTPUT is written whole or not at all. -t ends with status 0 when the\n"
    "bundle is sound (a warning leaves it sound), 1 with one line per problem\n"
    "otherwise.\n";

struct Request {
    std::string output;
    std::string stub;
    std::string base;    // -C
    std::string tested;  // -t
    std::vector<std::string> files;
    std::vector<std::string> models;  // --for
    std::string firmware;             // --firmware
    std::vector<pack::Member> members;
    pack::SignRequest sign;
    std::string password_file;  // --sign-password-file
    std::string ca;             // --ca, with -t
};

int fail(const std::string& message) {
    std::fprintf(stderr, "holm-pack: %s\n", message.c_str());
    return 1;
}

// Where this program was started from. A name typed without a directory
// was found by the shell along PATH (on Windows after the current
// directory), so the same search finds it again; when it finds nothing, the
// current directory is the answer, as it was before installed copies.
fs::path own_directory(const fs::path& self) {
    if (self.has_parent_path()) return self.parent_path();
    const bool windows_search = fs::path::preferred_separator == '\\';
    const char list_separator = windows_search ? ';' : ':';
    std::string dirs = windows_search ? std::string(".;") : std::string();
    if (const char* path = std::getenv("PATH")) dirs += path;
    std::error_code ec;
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(list_separator, start);
        if (end == std::string::npos) end = dirs.size();
        fs::path dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        bool found = fs::is_regular_file(dir / self, ec) ||
                     (windows_search && fs::is_regular_file(dir / (self.string() + ".exe"), ec));
        if (found) return dir;
        start = end + 1;
    }
    return fs::path();
}

// The holm program beside this one, with its suffix if this one has one.
std::string default_stub(const char* argv0) {
    fs::path self(argv0);
    bool windows = self.extension() == ".exe" || self.extension() == ".EXE" ||
                   fs::path::preferred_separator == '\\';
    return (own_directory(self) / (windows ? "holm.exe" : "holm")).string();
}

std::string* option_value(Request& r, const std::string& option) {
    if (option == "-o") return &r.output;
    if (option == "-s") return &r.stub;
    if (option == "-C") return &r.base;
    if (option == "-t") return &r.tested;
    if (option == "--firmware") return &r.firmware;
    if (option == "--sign") return &r.sign.certificate;
    if (option == "--sign-key") return &r.sign.key;
    if (option == "--sign-pkcs12") return &r.sign.pkcs12;
    if (option == "--sign-password-file") return &r.password_file;
    if (option == "--sign-name") return &r.sign.name;
    if (option == "--sign-url") return &r.sign.url;
    if (option == "--timestamp") return &r.sign.timestamp;
    if (option == "--ca") return &r.ca;
    return nullptr;
}

bool signs(const Request& r) { return !r.sign.certificate.empty() || !r.sign.pkcs12.empty(); }

std::string signing_problem(const Request& r, bool signing_given) {
    const pack::SignRequest& s = r.sign;
    if (!s.pkcs12.empty() && (!s.certificate.empty() || !s.key.empty()))
        return "--sign-pkcs12 holds the certificate and key: not with --sign or --sign-key";
    if (s.certificate.empty() != s.key.empty()) return "--sign and --sign-key go together: the certificate and its key";
    if (signing_given && !signs(r))
        return "--sign-password-file, --sign-name, --sign-url and --timestamp need --sign or --sign-pkcs12";
    return "";
}

int usage_error() {
    std::fputs(usage, stderr);
    return 1;
}

// Parses the command line; returns -1 to go on, otherwise the exit status.
int parse(int argc, char* argv[], Request& r) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        std::string a = argv[i];
        if (a == "--") { ++i; break; }
        if (a == "-h" || a == "--help") { std::fputs(usage, stdout); return 0; }
        std::string* value = option_value(r, a);
        bool takes_value = value != nullptr || a == "--for";
        if (takes_value && i + 1 < argc) {
            if (value != nullptr)
                *value = argv[++i];
            else
                r.models.push_back(argv[++i]);
            continue;
        }
        std::fprintf(stderr, "holm-pack: %s: %s\n", a.c_str(),
                     takes_value ? "option requires an argument" : "unknown option");
        return usage_error();
    }
    for (; i < argc; ++i) r.files.push_back(argv[i]);
    if (!r.tested.empty() && !r.models.empty())
        return fail("--for names the printer models of a bundle being made (-o), not of one checked (-t)");
    if (!r.tested.empty() && !r.firmware.empty())
        return fail("--firmware names the version a bundle being made (-o) installs, not one checked (-t)");
    bool signing_given = !r.sign.certificate.empty() || !r.sign.key.empty() || !r.sign.pkcs12.empty() ||
                         !r.password_file.empty() || !r.sign.name.empty() || !r.sign.url.empty() ||
                         !r.sign.timestamp.empty();
    if (!r.tested.empty() && signing_given) return fail("the --sign options sign a bundle being made (-o), not one checked (-t)");
    if (r.tested.empty() && !r.ca.empty()) return fail("--ca checks the signature of a bundle checked (-t)");
    if (!r.tested.empty())
        return r.output.empty() && r.stub.empty() && r.base.empty() && r.files.empty() ? -1 : usage_error();
    if (r.output.empty() || r.files.empty()) return usage_error();
    std::string problem = signing_problem(r, signing_given);
    if (!problem.empty()) return fail(problem);
    if (r.stub.empty()) r.stub = default_stub(argv[0]);
    return -1;
}

std::string check_models(const std::vector<std::string>& models) {
    for (const std::string& pattern : models) {
        std::string problem = pack::pattern_problem(pattern);
        if (!problem.empty()) return "--for " + pack::shown_pattern(pattern) + ": " + problem;
    }
    if (pack::models_comment(models).size() > 0xFFFF)
        return "--for: too many patterns, the archive comment that records them holds at most 65535 bytes";
    return "";
}

std::string comment_of(const Request& r) { return pack::models_comment(r.models) + pack::firmware_comment(r.firmware); }

// An archive appended to a signed program lies after its signature,
// outside the signed bytes: strict checks refuse such a file.
std::string stub_signature(const std::string& stub) {
    plat::FileView view;
    if (plat::map_file(stub.c_str(), &view) != plat::map_ok) return "";
    bool signed_stub = payload::find_certificate_table(view.base, view.size).present;
    plat::unmap_file(&view);
    if (!signed_stub) return "";
    return stub + ": carries an Authenticode signature, which the archive would follow outside the signed bytes; "
                  "bundle the unsigned program (osslsigncode remove-signature) and sign the bundle with --sign";
}

// The password: the first line of --sign-password-file, or
// HOLM_SIGN_PASSWORD; never an argument, where other users see it.
std::string signing_setup(Request& r) {
    pack::SignRequest& s = r.sign;
    if (s.name.empty()) {
        fs::path name = fs::path(r.output).filename();
        s.name = name.extension() == ".exe" || name.extension() == ".EXE" ? name.stem().string() : name.string();
    }
    if (!r.password_file.empty()) {
        std::FILE* f = std::fopen(r.password_file.c_str(), "rb");
        if (f == nullptr) return r.password_file + ": cannot be read: " + std::strerror(errno);
        char buffer[4096];
        std::size_t got = std::fread(buffer, 1, sizeof buffer, f);
        std::fclose(f);
        std::string text(buffer, got);
        s.password = text.substr(0, text.find_first_of("\r\n"));
        s.has_password = true;
    } else if (const char* password = std::getenv("HOLM_SIGN_PASSWORD")) {
        s.password = password;
        s.has_password = true;
    }
    for (const std::string* file : {&s.certificate, &s.key, &s.pkcs12}) {
        std::error_code ec;
        if (!file->empty() && !fs::is_regular_file(*file, ec)) return *file + ": no such file";
    }
    return "";
}

std::string check(Request& r) {
    std::string problem = check_models(r.models);
    if (!problem.empty()) return problem;
    std::string name, version;
    if (!r.firmware.empty() && !pack::split_firmware(r.firmware, &name, &version))
        return "--firmware " + pack::shown_pattern(r.firmware) + ": not [NAME=]VERSION (a version, a name before it with '=')";
    if (comment_of(r).size() > 0xFFFF)
        return "--firmware: too long, the archive comment that records it holds at most 65535 bytes";
    std::error_code ec;
    if (!fs::is_regular_file(r.stub, ec)) return r.stub + ": no such program to bundle";
    if (pack::same_file(r.output, r.stub)) return r.output + ": is the stub itself";
    problem = stub_signature(r.stub);
    if (problem.empty() && signs(r)) problem = signing_setup(r);
    if (!problem.empty()) return problem;
    return pack::collect_members(r.base, r.files, r.output, r.members);
}

int write(const Request& r) {
    std::string partial = r.output + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) return fail(partial + ": cannot be created: " + std::strerror(errno));
    std::string problem = pack::write_bundle(out, r.stub, r.members, comment_of(r));
    if (std::fclose(out) != 0 && problem.empty()) problem = "write failed";
    std::error_code ec;
    // Signed, the bundle is osslsigncode's copy of the one just written.
    std::string finished = partial;
    if (problem.empty() && signs(r)) {
        finished = r.output + ".signed.partial";
        problem = pack::sign_bundle(partial, finished, r.sign);
        fs::remove(partial, ec);
    }
    if (problem.empty()) fs::permissions(finished, fs::status(r.stub).permissions(), ec);
    if (problem.empty()) fs::rename(finished, r.output, ec);
    if (problem.empty() && ec) problem = r.output + ": " + ec.message();
    if (!problem.empty()) {
        fs::remove(partial, ec);
        fs::remove(finished, ec);
        return fail(problem);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    Request r;
    int status = parse(argc, argv, r);
    if (status >= 0) return status;
    if (!r.tested.empty()) return pack::check_bundle(r.tested, r.ca);
    std::string problem = check(r);
    return problem.empty() ? write(r) : fail(problem);
}
