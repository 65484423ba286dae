#include "local/spooler.h"

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

// One raw job; 1 only when the spooler took every byte. Each failure undoes
// exactly the steps that succeeded before it, so no handle or half-open
// document is left behind.
int spool_job(const char* name, const void* data, std::uint32_t length) {
    plat::Printer printer = plat::spool_open(name);
    if (printer == 0) {
        std::printf("Could not open printer %s\n", name);
        return 0;
    }
    if (plat::spool_start_doc(printer, "My Document", "RAW") != 0) {
        std::printf("Could not start printer %s\n", name);
        plat::spool_close(printer);
        return 0;
    }
    if (plat::spool_start_page(printer) != 0) {
        std::printf("Could not start page on printer %s\n", name);
        plat::spool_end_doc(printer);
        plat::spool_close(printer);
        return 0;
    }
    std::uint32_t written = 0;
    if (plat::spool_write(printer, data, length, &written) != 0) {
        std::printf("Could not write on printer %s\n", name);
        plat::spool_end_page(printer);
        plat::spool_end_doc(printer);
        plat::spool_close(printer);
        return 0;
    }
    if (plat::spool_end_page(printer) != 0) {
        std::printf("Could not end page on printer %s\n", name);
        plat::spool_end_doc(printer);
        plat::spool_close(printer);
        return 0;
    }
    if (plat::spool_end_doc(printer) != 0) {
        std::printf("Could not end printer %s\n", name);
        plat::spool_close(printer);
        return 0;
    }
    plat::spool_close(printer);
    return written == length ? 1 : 0;
}

void send(const void* data, std::uint32_t length) {
    if (spool_job(driver::settings.printer_name, data, length) == 0) {
        std::printf("\nError: writing to printer\n");
        driver::finish(1);
    }
}

void send_command(const Command& command) { send(command.text, command.length); }

}  // namespace

void download_spooler(bool iterate) {
    if (driver::settings.auto_mode) send_command(auto_download);
    send(payload::current.start, payload::current.length);
    if (iterate) {
        while (payload::next_entry() == 0) send(payload::current.start, payload::current.length);
    }
    if (driver::settings.auto_mode) {
        send_command(capture);
        send_command(config_reset);
    }
    driver::finish(0);
}

}  // namespace local
