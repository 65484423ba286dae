// A finished bundle walked by the program's own archive scanner, every
// entry checked, the walk held against the central directory that other
// ZIP readers go by, what a network delivery in the default mode does with
// the bundle, and the printer models it is for: holm-pack -t, and
// holm-fleet's gate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "central.h"
#include "signature_check.h"

namespace pack {

// One entry as the program's walk hands it out.
struct Walked {
    EntryFields fields;  // from the local header
    bool directory;
    bool image;   // what the program's image test says of it
    bool crc_ok;  // the stored bytes against the header's CRC
};

struct Walk {
    std::vector<Walked> entries;
    int end = 0;                 // the scanner's last result (payload::scan_end when whole)
    std::uint32_t stop = 0;      // the header the walk stopped on, when cut
    bool ends_on_image = false;  // the restart test, on the entry the walk ends on
};

// What a check found: problems make the bundle unsound (a delivery that
// goes wrong, or a bundle ZIP readers cannot read); warnings leave it sound.
struct Inspection {
    std::string unreadable;  // why the bundle could not be walked at all; empty when it was
    Walk walk;
    CentralDirectory directory;
    SignatureCheck signature;
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
};

// Maps the bundle at path, walks and checks it, and releases it again. Uses
// the payload subsystem's run-wide records, so it must not run beside
// another use of them. With a CA file, the bundle must carry an Authenticode
// signature that chains to it.
Inspection inspect_bundle(const std::string& path, const std::string& ca = std::string());

// True when the bundle can go to printers: it was read and has no problem.
bool is_sound(const Inspection& found);

// holm-pack -t: the report on standard output and one line per problem
// and per warning on standard error; returns the exit status, 0 when the
// bundle is sound.
int check_bundle(const std::string& path, const std::string& ca = std::string());

}  // namespace pack
