#include "gate.h"

#include <cups/cups.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bundle_check.h"
#include "firmware.h"
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
std::string said_by(std::string text) {
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

std::string check_signature(const FleetRun& run, const Bundle& bundle) {
    std::string minisign = plat::find_program("minisign");
    std::string signature = bundle.absolute + ".minisig";
    std::vector<std::string> args{minisign, "-V", "-q", "-m", bundle.copy, "-x", signature, "-p", run.settings.key};
    std::string said;
    int status = plat::run_tool(args, std::string(), &said);
    std::string reason = status < 0 ? "minisign could not be run" : said_by(said);
    if (status == 0) return std::string();
    return bundle.given + " is not signed by the key " + run.settings.key + ": " + reason + " (nothing sent)";
}

std::string check_name(Bundle& bundle) {
    const std::string& given = bundle.given;
    std::error_code ec;
    fs::file_status status = fs::status(given, ec);
    if (!fs::exists(status)) return "no such BUNDLE: " + given;
    if (!fs::is_regular_file(status) || !plat::may_read(given)) return "BUNDLE is not a readable file: " + given;
    if (!plat::may_run(given)) return "BUNDLE is not executable: " + given;
    if (!ends_in_exe(given)) return "BUNDLE must end in .exe: " + given;
    // No link resolved: the name is the payload's.
    bundle.absolute = fs::absolute(given, ec).lexically_normal().string();
    return std::string();
}

// One open of BUNDLE: whatever the name stands for from then on, the copy
// holds what it stood for then. -1 when a stop came.
int copy_one(const std::string& folder, Bundle& bundle) {
    std::string copy = folder + "/" + fs::path(bundle.absolute).filename().string();
    int error = plat::copy_file_unless_stopped(bundle.absolute, copy);
    if (error != 0) return error;
    bundle.copy = copy;
    bundle.sha256 = sha256_of(copy);
    return 0;
}

std::string check_one(const FleetRun& run, Bundle& bundle) {
    // The Authenticode signature is checked in the same pass, on the copy.
    pack::Inspection found = pack::inspect_bundle(bundle.copy, run.settings.ca);
    if (!pack::is_sound(found)) {
        // In holm-pack's words, with the name the user knows.
        const std::string& name = bundle.absolute;
        if (!found.unreadable.empty()) std::fprintf(stderr, "holm-pack: %s: %s\n", name.c_str(), found.unreadable.c_str());
        for (const std::string& p : found.problems) std::fprintf(stderr, "holm-pack: %s: %s\n", name.c_str(), p.c_str());
        for (const std::string& w : found.warnings)
            std::fprintf(stderr, "holm-pack: %s: warning: %s\n", name.c_str(), w.c_str());
        std::string check = run.settings.ca.empty() ? "holm-pack -t" : "holm-pack -t --ca " + run.settings.ca;
        return check + " does not find " + bundle.given + " sound: nothing sent";
    }
    bundle.models = pack::models_of(found.directory.comment);
    bundle.firmware = pack::firmware_of(found.directory.comment);
    // Only these modes wait for the printer's restart: the version read
    // after any other could be the one it ran before.
    const char mode = run.settings.mode;
    if (!bundle.firmware.empty() && mode != 0 && mode != 'a' && mode != 'e')
        return bundle.given + " installs firmware " + bundle.firmware +
               ", which needs mode a or e (they wait for the restart), not -m " + std::string(1, mode);
    return run.settings.key.empty() ? std::string() : check_signature(run, bundle);
}

}  // namespace

std::string check_bundle_name(FleetRun& run) {
    for (const std::string& given : run.settings.bundles) {
        run.bundles.push_back(Bundle{});
        run.bundles.back().given = given;
        std::string refusal = check_name(run.bundles.back());
        if (!refusal.empty()) return refusal;
    }
    return same_names(run.bundles);
}

std::string copy_bundle(FleetRun& run) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    if (plat::make_private_folder(base, &run.places.private_folder) != 0) return "cannot make a temporary folder";
    if (plat::is_noexec(run.places.private_folder))
        return base + " does not let programs run (mounted noexec): set TMPDIR to a folder that does";
    for (Bundle& bundle : run.bundles) {
        int error = copy_one(run.places.private_folder, bundle);
        if (error == -1) return std::string();  // the stop is taken after this step
        if (error != 0)
            return "cannot copy " + bundle.given + " into " + run.places.private_folder + ": " + std::strerror(error);
    }
    return std::string();
}

std::string check_copy(FleetRun& run) {
    for (Bundle& bundle : run.bundles) {
        std::string refusal = check_one(run, bundle);
        if (!refusal.empty()) return refusal;
    }
    std::string refusal = firmware_conflict(run.bundles, run.settings);
    return refusal.empty() ? settings_conflict(run.bundles, run.settings) : refusal;
}

}  // namespace fleet
