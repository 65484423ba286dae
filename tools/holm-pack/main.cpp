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

#include "zip_writer.h"

namespace fs = std::filesystem;

namespace {

const char usage[] =
    "Usage: holm-pack -o OUTPUT [-s STUB] [--] FILE...\n"
    "Writes OUTPUT: the holm program STUB followed by a stored ZIP archive of\n"
    "the FILEs, which the program extracts or sends as its payload.\n"
    "\n"
    "  -o OUTPUT  the bundle to write; give it the .exe suffix, since holm\n"
    "             reads its payload from its own name with .exe added\n"
    "  -s STUB    the program to bundle (default: holm beside holm-pack)\n"
    "  -h, --help show this help\n"
    "\n"
    "Each FILE is stored under the relative name given, with '/' separators.\n"
    "OUTPUT is written whole or not at all.\n";

struct Request {
    std::string output;
    std::string stub;
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

// An entry name from a path as given: "./" prefixes dropped.
std::string entry_name(std::string path) {
    while (path.rfind("./", 0) == 0) path.erase(0, 2);
    return path;
}

// Parses the command line; returns -1 to go on, otherwise the exit status.
int parse(int argc, char* argv[], Request& r) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        std::string a = argv[i];
        if (a == "--") { ++i; break; }
        if (a == "-h" || a == "--help") { std::fputs(usage, stdout); return 0; }
        if ((a == "-o" || a == "-s") && i + 1 < argc) {
            (a == "-o" ? r.output : r.stub) = argv[++i];
            continue;
        }
        std::fprintf(stderr, "holm-pack: %s: %s\n", a.c_str(),
                     a == "-o" || a == "-s" ? "option requires an argument" : "unknown option");
        std::fputs(usage, stderr);
        return 1;
    }
    if (r.output.empty() || i >= argc) {
        std::fputs(usage, stderr);
        return 1;
    }
    if (r.stub.empty()) r.stub = default_stub(argv[0]);
    for (; i < argc; ++i) r.members.push_back({argv[i], entry_name(argv[i])});
    return -1;
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ignored;
    return fs::equivalent(a, b, ignored);
}

std::string check(const Request& r) {
    std::error_code ec;
    if (!fs::is_regular_file(r.stub, ec)) return r.stub + ": no such program to bundle";
    if (same_file(r.output, r.stub)) return r.output + ": is the stub itself";
    for (const auto& m : r.members) {
        std::string reason = pack::unsafe_name_reason(m.name);
        if (!reason.empty()) return m.path + ": " + reason;
        if (!fs::is_regular_file(m.path, ec)) return m.path + ": not a regular file";
        if (same_file(r.output, m.path)) return m.path + ": is the output itself";
    }
    return "";
}

int write(const Request& r) {
    std::string partial = r.output + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) return fail(partial + ": cannot be created: " + std::strerror(errno));
    std::string problem = pack::write_bundle(out, r.stub, r.members);
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
    std::string problem = check(r);
    return problem.empty() ? write(r) : fail(problem);
}
