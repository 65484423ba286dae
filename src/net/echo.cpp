#include "net/echo.h"

#include <cstdio>

#include "driver/finish.h"
#include "driver/settings.h"
#include "net/sockets.h"
#include "platform/platform.h"

namespace net {

namespace {
bool echo_ready = false;
}

void echo_ready_open() {
    if (echo_ready) return;
    if (plat::echo_open() != 0) {
        std::printf("\nError: Could not initialize icmp.dll\n");
        driver::finish(1);
    }
    echo_ready = true;
}

int echo_probe(std::uint16_t count, std::uint16_t delay_ms) {
    net_ready();
    echo_ready_open();
    for (std::uint16_t attempt = 0; attempt < count; ++attempt) {
        int result = plat::echo_send(printer_address, 5000);
        if (driver::settings.debug) std::printf("p");
        // The pause comes even after an answer: a printer that has just come
        // up needs a moment before its console is usable.
        plat::sleep_ms(delay_ms);
        if (result == 0) return 0;
    }
    return 1;
}

}  // namespace net
