#include "local/port_output.h"

#include <cstdint>
#include <cstdio>

#include "driver/finish.h"
#include "driver/settings.h"
#include "local/commands.h"
#include "payload/image.h"
#include "payload/fatal.h"
#include "platform/platform.h"

namespace local {

namespace {

// Run-wide so that finish can close it whatever path ends the run.
plat::Device port = 0;

int open_port(int number) {
    // The prefix is empty on purpose: the bare DOS name is what both the
    // Windows device namespace and the POSIX mapping understand.
    char name[32];
    std::snprintf(name, sizeof name, "%sLPT%d", "", number);
    port = plat::open_device(name);
    return port == 0 ? 1 : 0;
}

int write_port(const void* data, std::uint32_t length) {
    return plat::write_device(port, data, length) != 0 ? 1 : 0;
}

int write_command(const Command& command) {
    return write_port(command.text, command.length);
}

[[noreturn]] void port_failed(const char* what) {
    std::printf("\nError: %s LPT1\n", what);
    std::printf("Try typing 'net stop spooler' at command prompt\n");
    driver::finish(1);
}

}  // namespace

void download_port(bool iterate) {
    if (open_port(1) != 0) port_failed("Could not open");
    bool failed = false;
    if (driver::settings.auto_mode) failed = write_command(auto_download) != 0;
    if (!failed) failed = write_port(payload::current.start, payload::current.length) != 0;
    if (iterate) {
        while (!failed && payload::next_entry() == 0)
            failed = write_port(payload::current.start, payload::current.length) != 0;
    }
    if (!failed && driver::settings.auto_mode)
        failed = write_command(capture) != 0 || write_command(config_reset) != 0;
    if (failed) port_failed("Could not send data to");
    close_port();
    driver::finish(0);
}

void close_port() {
    if (port != 0) plat::close_device(port);
    port = 0;
}

}  // namespace local
