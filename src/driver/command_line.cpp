#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/options.h"
#include "driver/run.h"
#include "driver/settings.h"

namespace driver {

namespace {

// -p takes "b", optionally followed by a shared printer's name.
int take_port_option(const char* argv0, const char* value) {
    if (value[0] != 'b') return 1;
    const char* name = value + 1;
    if (std::strlen(name) >= sizeof settings.printer_name) {
        // A cut name would send the job to some other printer.
        std::fprintf(stderr, "%s: printer name longer than %u characters -- %s\n", argv0,
                     static_cast<unsigned>(sizeof settings.printer_name - 1), name);
        return 1;
    }
    std::strcpy(settings.printer_name, name);
    settings.port_output = true;
    return 0;
}

int take_option(int c, const char* argv0) {
    switch (c) {
        case 'a': settings.auto_mode = true; return 0;
        case 'd': settings.debug = true; return 0;
        case 'l': settings.login = opt_arg; return 0;
        case 'w': settings.password = opt_arg; return 0;
        case 'n': settings.address = opt_arg; return 0;
        case 'm':
            settings.mode = opt_arg[0];
            return mode_code() > 'l' ? 1 : 0;
        case 'p': return take_port_option(argv0, opt_arg);
        case 'x': return 2;
        default: return 1;  // 'h' and '?'
    }
}

}  // namespace

int scan_command_line(int argc, char* argv[]) {
    int c;
    while ((c = next_option(argc, argv, "adhl:m:n:p:w:x")) != -1) {
        int level = take_option(c, argv[0]);
        if (level != 0) return level;
    }
    return 0;
}

int parse_command_line(int argc, char* argv[]) {
    // A command line is shown to every user of the machine, the environment
    // only to its owner. Read first, so that -w still wins; an empty value
    // is the empty password, as when it is not set.
    if (const char* password = std::getenv("HOLM_PASSWORD")) settings.password = password;
    int level = scan_command_line(argc, argv);
    if (level != 0) show_usage(level);
    return opt_index;
}

}  // namespace driver
