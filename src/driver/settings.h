// The options of the run, filled once by the option loop and read everywhere.
#pragma once

namespace driver {

struct RunSettings {
    bool auto_mode = false;      // -a: frame local output with set-up commands
    bool debug = false;          // -d: event characters instead of progress lines
    bool port_output = false;    // -p in any accepted form
    bool use_archive = true;     // cleared when a file is named
    char printer_name[64] = {};  // after -pb; empty means LPT1
    const char* address = nullptr;       // -n, used in place
    const char* payload_path = nullptr;  // own file unless a file is named
    char mode = ' ';                     // -m; blank by default
    const char* login = "root";          // -l
    const char* password = "";           // -w, else HOLM_PASSWORD
};

extern RunSettings settings;

// The mode letter's code as a signed 8-bit value, whatever the compiler's
// char is: bytes 128-255 count as small.
inline int mode_code() { return static_cast<signed char>(settings.mode); }

}  // namespace driver
