#include "gate.h"

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bundle_check.h"
#include "models.h"
#include "platform/platform.h"
#include "text.h"

namespace fs = std::filesystem;

namespace fleet {

namespace {

bool ends_in_exe(const std::string& name) {
    return name.size() >= 4 && (name.compare(name.size() - 4, 4, ".exe") == 0 || name.compare(name.size() - 4, 4, ".EXE") == 0);
}

// minisign's reason, on one line.
std::string said_by(const std::string& capture) {
    std::string text = file_text(capture);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("; ") : std::string(1, c);
    return out;
}

// Through the mapping holm itself reads its archive with: a bundle of
// hundreds of megabytes is not read into memory.
std::string sha256_of(const std::string& path) {
    plat::FileView view;
    if (plat::map_file(path.c_str(), &view) != plat::map_ok) return std::string();
    unsigned char hash[32];
    ssize_t made = cupsHashData("sha2-256", view.base, view.size, hash, sizeof hash);
    plat::unmap_file(&view);
    if (made != static_cast<ssize_t>(sizeof hash)) return std::string();
    char hex[65];
    for (std::size_t i = 0; i < sizeof hash; ++i) std::snprintf(hex + 2 * i, 3, "%02x", hash[i]);
    return std::string(hex, 64);
}

std::string check_signature(const FleetRun& run) {
    std::string minisign = plat::find_program("minisign");
    std::string signature = run.places.bundle_absolute + ".minisig";
    std::vector<std::string> args{minisign, "-V", "-q", "-m", run.places.bundle_copy, "-x", signature, "-p", run.settings.key};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string capture = run.places.private_folder + "/minisign.err";
    int status = plat::run_program(argv.data(), capture.c_str());
    std::string reason = status < 0 ? "minisign could not be run" : said_by(capture);
    std::error_code ec;
    fs::remove(capture, ec);
    if (status == 0) return std::string();
    return run.settings.bundle + " is not signed by the key " + run.settings.key + ": " + reason + " (nothing sent)";
}

}  // namespace

std::string check_bundle_name(FleetRun& run) {
    const std::string& given = run.settings.bundle;
    std::error_code ec;
    fs::file_status status = fs::status(given, ec);
    if (!fs::exists(status)) return "no such BUNDLE: " + given;
    if (!fs::is_regular_file(status) || !plat::may_read(given)) return "BUNDLE is not a readable file: " + given;
    if (!plat::may_run(given)) return "BUNDLE is not executable: " + given;
    if (!ends_in_exe(given)) return "BUNDLE must end in .exe: " + given;
    // No link resolved: the name is the payload's.
    run.places.bundle_absolute = fs::absolute(given, ec).lexically_normal().string();
    return std::string();
}

std::string copy_bundle(FleetRun& run) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    if (plat::make_private_folder(base, &run.places.private_folder) != 0) return "cannot make a temporary folder";
    if (plat::is_noexec(run.places.private_folder))
        return base + " does not let programs run (mounted noexec): set TMPDIR to a folder that does";
    std::string copy = run.places.private_folder + "/" + fs::path(run.places.bundle_absolute).filename().string();
    // One open of BUNDLE: whatever the name stands for from then on, the
    // copy holds what it stood for then.
    int error = plat::copy_file_unless_stopped(run.places.bundle_absolute, copy);
    if (error == -1) return std::string();  // the stop is taken after this step
    if (error != 0) return "cannot copy BUNDLE into " + run.places.private_folder + ": " + std::strerror(error);
    run.places.bundle_copy = copy;
    run.bundle_sha256 = sha256_of(copy);
    return std::string();
}

std::string check_copy(FleetRun& run) {
    pack::Inspection found = pack::inspect_bundle(run.places.bundle_copy);
    if (!pack::is_sound(found)) {
        // In holm-pack's words, with the name the user knows.
        const std::string& name = run.places.bundle_absolute;
        if (!found.unreadable.empty()) std::fprintf(stderr, "holm-pack: %s: %s\n", name.c_str(), found.unreadable.c_str());
        for (const std::string& p : found.problems) std::fprintf(stderr, "holm-pack: %s: %s\n", name.c_str(), p.c_str());
        for (const std::string& w : found.warnings)
            std::fprintf(stderr, "holm-pack: %s: warning: %s\n", name.c_str(), w.c_str());
        return "holm-pack -t does not find " + run.settings.bundle + " sound: nothing sent";
    }
    run.models = pack::models_of(found.directory.comment);
    return run.settings.key.empty() ? std::string() : check_signature(run);
}

}  // namespace fleet
