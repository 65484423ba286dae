#include <cstdio>
#include <cstring>

#include "driver/options.h"
#include "driver/run.h"
#include "driver/settings.h"

namespace driver {

namespace {

// -p takes "b", optionally followed by a shared printer's name.
void take_port_option(const char* argv0, const char* value) {
    if (value[0] != 'b') show_usage(1);
    const char* name = value + 1;
    if (std::strlen(name) >= sizeof settings.printer_name) {
        // A cut name would send the job to some other printer.
        std::fprintf(stderr, "%s: printer name longer than %u characters -- %s\n", argv0,
                     static_cast<unsigned>(sizeof settings.printer_name - 1), name);
        show_usage(1);
    }
    std::strcpy(settings.printer_name, name);
    settings.port_output = true;
}

void take_option(int c, const char* argv0) {
    switch (c) {
        case 'a': settings.auto_mode = true; break;
        case 'd': settings.debug = true; break;
        case 'l': settings.login = opt_arg; break;
        case 'w': settings.password = opt_arg; break;
        case 'n': settings.address = opt_arg; break;
        case 'm':
            settings.mode = opt_arg[0];
            if (mode_code() > 'l') show_usage(1);
            break;
        case 'p': take_port_option(argv0, opt_arg); break;
        case 'x': show_usage(2);
        default: show_usage(1);  // 'h' and '?'
    }
}

}  // namespace

int parse_command_line(int argc, char* argv[]) {
    int c;
    while ((c = next_option(argc, argv, "adhl:m:n:p:w:x")) != -1) take_option(c, argv[0]);
    return opt_index;
}

}  // namespace driver
