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

#include "bundle_check.h"
#include "firmware.h"
#include "models.h"
#include "tree.h"
#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

const char usage[] =
    "Usage: holm-pack -o OUTPUT [-s STUB] [-C DIR] [--for PATTERN]...\n"
    "                 [--firmware [NAME=]VERSION] [--] FILE...\n"
    "       holm-pack -t BUNDLE\n"
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
    "  -t BUNDLE  check a bundle: list its entries as the program walks them,\n"
    "             say what a network delivery does with it, report problems\n"
    "  -h, --help show this help\n"
    "\n"
    "Each FILE is stored under the relative name given, with '/' separators.\n"
    "A FILE that is a folder stands for every file below it, in the order of\n"
    "their names; links, devices and sockets in it are refused.\n"
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
    return nullptr;
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
    if (!r.tested.empty())
        return r.output.empty() && r.stub.empty() && r.base.empty() && r.files.empty() ? -1 : usage_error();
    if (r.output.empty() || r.files.empty()) return usage_error();
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
    return pack::collect_members(r.base, r.files, r.output, r.members);
}

int write(const Request& r) {
    std::string partial = r.output + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) return fail(partial + ": cannot be created: " + std::strerror(errno));
    std::string problem = pack::write_bundle(out, r.stub, r.members, comment_of(r));
    if (std::fclose(out) != 0 && problem.empty()) problem = "write failed";
    std::error_code ec;
    if (problem.empty()) fs::permissions(partial, fs::status(r.stub).permissions(), ec);
    if (problem.empty()) fs::rename(partial, r.output, ec);
    if (problem.empty() && ec) problem = r.output + ": " + ec.message();
    if (!problem.empty()) {
        fs::remove(partial, ec);
        return fail(problem);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    Request r;
    int status = parse(argc, argv, r);
    if (status >= 0) return status;
    if (!r.tested.empty()) return pack::check_bundle(r.tested);
    std::string problem = check(r);
    return problem.empty() ? write(r) : fail(problem);
}
