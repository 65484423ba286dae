#include "driver/run.h"

#include <cstdio>
#include <string>

#include "driver/finish.h"
#include "driver/settings.h"
#include "local/port_output.h"
#include "local/spooler.h"
#include "net/diagnostic.h"
#include "net/sequencer.h"
#include "payload/extract.h"
#include "payload/image.h"
#include "payload/fatal.h"

namespace driver {

void download(bool iterate) {
    if (settings.address != nullptr)
        net::download_network(iterate);
    else if (settings.printer_name[0] != '\0')
        local::download_spooler(iterate);
    else
        local::download_port(iterate);
}

namespace {

[[noreturn]] void walk_archive() {
    if (settings.address != nullptr && settings.mode == ' ') settings.mode = 'a';
    while (payload::next_entry() == 0) {
        if (settings.mode != ' ' || settings.port_output)
            download(true);
        else
            payload::extract_entry();
    }
    finish(0);
}

}  // namespace

void run(int argc, char* argv[]) {
    // Lives for the whole run: payload_path points into it.
    static std::string own_file = self_payload_name(argv[0]);
    settings.payload_path = own_file.c_str();
    int first = parse_command_line(argc, argv);
    net::run_diagnostic_mode();
    if (first < argc) {
        settings.payload_path = argv[first];
        settings.use_archive = false;
    }
    payload::open_payload(settings.payload_path);
    if (!settings.use_archive) {
        download(false);
        finish(0);
    }
    walk_archive();
}

}  // namespace driver
