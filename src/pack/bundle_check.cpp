#include "bundle_check.h"

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "central.h"
#include "firmware.h"
#include "models.h"
#include "payload/image.h"
#include "payload/pe_table.h"
#include "payload/scanner.h"
#include "zip_writer.h"

namespace pack {

namespace {

std::uint32_t crc_of(const unsigned char* data, std::uint32_t length) {
    return static_cast<std::uint32_t>(::crc32(0L, data, length));
}

// The entry the scanner has just handed out, with the header fields it does
// not read itself.
Walked take_entry(bool directory) {
    const unsigned char* header = payload::image.base + payload::cursor.header;
    Walked w;
    w.fields.name.assign(reinterpret_cast<const char*>(header + 30), read16(header + 26));
    w.fields.method = read16(header + 8);
    w.fields.crc = read32(header + 14);
    w.fields.stored_size = payload::current.length;
    w.fields.size = read32(header + 22);
    w.fields.offset = payload::cursor.header;
    w.directory = directory;
    w.image = payload::is_firmware_image();
    w.crc_ok = crc_of(payload::current.start, payload::current.length) == w.fields.crc;
    return w;
}

Walk walk_bundle() {
    Walk walk;
    payload::cursor = {};
    int result;
    while ((result = payload::scan_next_header()) == payload::scan_entry || result == payload::scan_directory)
        walk.entries.push_back(take_entry(result == payload::scan_directory));
    walk.end = result;
    walk.stop = payload::cursor.offset;
    walk.ends_on_image = !walk.entries.empty() && payload::is_firmware_image();
    return walk;
}

// A name fit for a terminal: control bytes written as \xNN.
std::string shown_name(const std::string& name) {
    if (name.empty()) return "(no name)";
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        out += escaped;
    }
    return out;
}

std::string at(std::uint64_t offset) { return "offset " + std::to_string(offset); }

void check_entries(const Walk& walk, std::vector<std::string>& problems) {
    for (const Walked& w : walk.entries) {
        std::string name = shown_name(w.fields.name);
        if (w.fields.method != 0)
            problems.push_back(name + ": compressed (method " + std::to_string(w.fields.method) +
                               "); the program sends its bytes as they stand");
        else if (!w.crc_ok)
            problems.push_back(name + ": CRC mismatch, the data is not what was packed");
        std::string reason = unsafe_name_reason(w.fields.name);
        if (!reason.empty()) problems.push_back(name + ": unsafe name: " + reason);
    }
    if (walk.end == payload::scan_damaged)
        problems.push_back("the entry at " + at(walk.stop) +
                           " is cut by the end of the file; the program stops there with status 1");
    if (walk.end == payload::scan_no_memory) problems.push_back("out of memory");
}

std::string fields_text(const EntryFields& e, std::int64_t shift) {
    char crc[11];
    std::snprintf(crc, sizeof crc, "0x%08" PRIX32, e.crc);
    return shown_name(e.name) + " (method " + std::to_string(e.method) + ", CRC " + crc + ", " +
           std::to_string(e.stored_size) + " bytes stored, " + std::to_string(e.size) + " unpacked, at " +
           at(static_cast<std::uint64_t>(static_cast<std::int64_t>(e.offset) + shift)) + ")";
}

bool same_fields(const EntryFields& a, const EntryFields& b, std::int64_t shift) {
    return a.name == b.name && a.method == b.method && a.crc == b.crc && a.stored_size == b.stored_size &&
           a.size == b.size && static_cast<std::int64_t>(a.offset) == static_cast<std::int64_t>(b.offset) + shift;
}

// Offsets counted from a later point than the start of the file are what
// joining the program and an archive as they stand gives (cat, copy /b): the
// program never reads them, and ZIP readers allow for them, so that is only
// worth a warning. Offsets beyond where the headers stand mean bytes are
// missing.
void check_shift(const CentralDirectory& cd, Inspection& found) {
    if (cd.shift > 0)
        found.warnings.push_back("the central directory counts its offsets from " +
                                 at(static_cast<std::uint64_t>(cd.shift)) +
                                 ", not from the start of the file; the program is not affected, unzip warns of " +
                                 std::to_string(cd.shift) + " extra bytes");
    if (cd.shift < 0)
        found.problems.push_back("the central directory lies " + std::to_string(-cd.shift) +
                                 " bytes before where its end record places it: bytes are missing from the file");
}

void check_against_directory(const Walk& walk, const CentralDirectory& cd, std::vector<std::string>& problems) {
    if (!cd.found) {
        problems.push_back("no central directory: unzip and other ZIP readers cannot read the bundle");
        return;
    }
    if (!cd.problem.empty()) problems.push_back("the central directory is damaged: " + cd.problem);
    // The archive begins at the first header the directory points to; a
    // header the walk finds before it stands in the stub.
    std::int64_t start = static_cast<std::int64_t>(cd.start);
    for (const EntryFields& e : cd.entries) start = std::min(start, static_cast<std::int64_t>(e.offset) + cd.shift);
    std::size_t first = 0;
    for (; first < walk.entries.size() && static_cast<std::int64_t>(walk.entries[first].fields.offset) < start; ++first)
        problems.push_back("the stub holds the archive signature at " + at(walk.entries[first].fields.offset) +
                           "; the program takes a false entry from it");
    bool cut = walk.end != payload::scan_end;
    if (cut && first == walk.entries.size() && static_cast<std::int64_t>(walk.stop) < start)
        problems.push_back("the stub holds the archive signature at " + at(walk.stop));
    std::size_t walked = walk.entries.size() - first;
    for (std::size_t i = 0; i < walked && i < cd.entries.size(); ++i) {
        const EntryFields& local = walk.entries[first + i].fields;
        if (!same_fields(local, cd.entries[i], cd.shift))
            problems.push_back("entry " + std::to_string(i + 1) + ": the walk finds " + fields_text(local, 0) +
                               ", the central directory lists " + fields_text(cd.entries[i], cd.shift));
    }
    if (!cut && walked != cd.entries.size())
        problems.push_back("the walk finds " + std::to_string(walked) + " entries in the archive, the central directory lists " +
                           std::to_string(cd.entries.size()));
}

void print_entries(const Walk& walk) {
    std::printf("%10s  %10s  %-6s  %-3s  %-5s  %s\n", "offset", "size", "stored", "crc", "kind", "name");
    for (const Walked& w : walk.entries) {
        const char* crc = w.fields.method != 0 ? "-" : w.crc_ok ? "ok" : "bad";
        const char* kind = w.directory ? "dir" : w.image ? "image" : "data";
        std::printf("%10" PRIu64 "  %10" PRIu32 "  %-6s  %-3s  %-5s  %s\n", w.fields.offset, w.fields.stored_size,
                    w.fields.method == 0 ? "yes" : "no", crc, kind, shown_name(w.fields.name).c_str());
    }
    if (walk.end != payload::scan_end) std::printf("%10" PRIu32 "  cut by the end of the file\n", walk.stop);
}

// What the run does with -n and no -m: the first file decides the console
// stages, every file goes to port 9100 in one stream, and the entry the
// walk ends on (a directory entry after the last file included) decides
// the restart wait.
void print_delivery(const Walk& walk) {
    std::puts("network delivery (-n ADDRESS, default mode):");
    bool cut = walk.end != payload::scan_end;
    const Walked* first = nullptr;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (const Walked& w : walk.entries) {
        if (w.directory) continue;
        if (first == nullptr) first = &w;
        ++files;
        bytes += w.fields.stored_size;
    }
    if (first == nullptr) {
        std::puts(cut ? "  nothing is sent: the run ends with status 1 at the cut entry"
                      : "  nothing is sent: the bundle holds no file");
        return;
    }
    std::printf("  download mode: %s\n", first->image ? "yes, the first file is a firmware image"
                                                      : "no, the first file is not a firmware image");
    std::printf("  port 9100: %zu %s sent, %" PRIu64 " bytes, in the order above%s\n", files,
                files == 1 ? "file" : "files", bytes, cut ? ", then the run ends with status 1 at the cut entry" : "");
    if (cut) {
        std::puts("  restart wait: no, the run has ended");
        return;
    }
    const Walked& last = walk.entries.back();
    std::printf("  restart wait: %s, the walk ends on %s%s, %s\n", walk.ends_on_image ? "yes" : "no",
                last.directory ? "the directory entry " : "", shown_name(last.fields.name).c_str(),
                walk.ends_on_image ? "a firmware image" : "not a firmware image");
}

// Only for a bundle that names models, so that the report on any other
// stays as it was.
void print_models(const CentralDirectory& cd) {
    std::vector<std::string> patterns = models_of(cd.comment);
    if (patterns.empty()) return;
    std::string shown;
    for (const std::string& pattern : patterns) shown += (shown.empty() ? "" : ", ") + shown_pattern(pattern);
    std::printf("for printer models: %s\n", shown.c_str());
}

// Only for a bundle that records a version, as with the models.
void print_firmware(const CentralDirectory& cd) {
    std::string firmware = firmware_of(cd.comment);
    if (!firmware.empty()) std::printf("installs firmware: %s\n", shown_pattern(firmware).c_str());
}

// A pattern that matches nothing (written by hand, or damaged) would have
// the bundle refused by every printer: better said before it goes out.
void check_models(const CentralDirectory& cd, std::vector<std::string>& problems) {
    for (const std::string& pattern : models_of(cd.comment)) {
        std::string reason = pattern_problem(pattern);
        if (!reason.empty())
            problems.push_back("the archive comment names printer models by " + shown_pattern(pattern) + ": " + reason);
    }
}

// holm-fleet goes by the version recorded: one it cannot take, or two,
// would leave it guessing.
void check_firmware(const CentralDirectory& cd, std::vector<std::string>& problems) {
    if (firmware_lines(cd.comment) > 1) problems.push_back("the archive comment records more than one firmware version");
    std::string firmware = firmware_of(cd.comment), name, version;
    if (firmware_lines(cd.comment) > 0 && !split_firmware(firmware, &name, &version))
        problems.push_back("the archive comment records the firmware version " + shown_pattern(firmware) +
                           ", not [NAME=]VERSION");
}

std::string counted(std::size_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// The verdict on standard output ("sound", or how many problems, and how
// many warnings); each problem and warning on a line of its own on standard
// error, where the other messages of holm-pack go.
void print_verdict(const std::string& path, const Inspection& found) {
    std::string verdict = found.problems.empty() ? "sound" : counted(found.problems.size(), "problem");
    if (!found.warnings.empty()) verdict += ", " + counted(found.warnings.size(), "warning");
    std::printf("%s: %s\n", path.c_str(), verdict.c_str());
    std::fflush(stdout);
    for (const std::string& problem : found.problems)
        std::fprintf(stderr, "holm-pack: %s: %s\n", path.c_str(), problem.c_str());
    for (const std::string& warning : found.warnings)
        std::fprintf(stderr, "holm-pack: %s: warning: %s\n", path.c_str(), warning.c_str());
}

}  // namespace

Inspection inspect_bundle(const std::string& path, const std::string& ca) {
    Inspection found;
    int mapped = payload::map_payload(path.c_str());
    if (mapped != 0) {
        found.unreadable = mapped == 2 ? "4 GiB or larger, more than the program can map" : "cannot be read, or is empty";
        return found;
    }
    found.walk = walk_bundle();
    check_entries(found.walk, found.problems);
    // A certificate table that closes the file ends the archive, for ZIP
    // readers as for the program's walk.
    found.directory = read_central_directory(payload::image.base, payload::archive_limit(payload::image.base, payload::image.size));
    check_against_directory(found.walk, found.directory, found.problems);
    if (found.directory.found) check_shift(found.directory, found);
    found.signature = check_signature(path, payload::image.base, payload::image.size, found.directory, ca, found.problems);
    check_models(found.directory, found.problems);
    check_firmware(found.directory, found.problems);
    payload::unmap_payload();
    return found;
}

bool is_sound(const Inspection& found) { return found.unreadable.empty() && found.problems.empty(); }

int check_bundle(const std::string& path, const std::string& ca) {
    Inspection found = inspect_bundle(path, ca);
    if (!found.unreadable.empty()) {
        std::fprintf(stderr, "holm-pack: %s: %s\n", path.c_str(), found.unreadable.c_str());
        return 1;
    }
    print_entries(found.walk);
    print_delivery(found.walk);
    print_models(found.directory);
    print_firmware(found.directory);
    print_signature(found.signature);
    print_verdict(path, found);
    return is_sound(found) ? 0 : 1;
}

}  // namespace pack
