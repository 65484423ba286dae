#include "net/diagnostic.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/finish.h"
#include "driver/settings.h"
#include "net/console.h"
#include "net/echo.h"

namespace net {

namespace {

void require_address_alive() {
    if (driver::settings.address == nullptr) {
        std::printf("\nError: No IP address specified\n");
        driver::finish(1);
    }
    if (echo_probe(3, 1000) != 0) {
        std::printf("\nError: Destination is not alive\n");
        driver::finish(1);
    }
}

// The console answer, at most limit bytes and always terminated; null
// (after printing failure) when the dialogue broke down.
char* query_console(const char* command, const char* failure) {
    constexpr std::uint16_t limit = 1000;
    char* buffer = static_cast<char*>(std::calloc(limit + 1, 1));
    if (buffer == nullptr) driver::finish(1);
    std::uint16_t left = limit;
    if (console_query(driver::settings.login, driver::settings.password, command, buffer, &left) != 0) {
        std::printf("%s", failure);
        std::free(buffer);
        driver::finish(1);
    }
    return buffer;
}

}  // namespace

void run_diagnostic_mode() {
    char mode = driver::settings.mode;
    if (mode != 'g' && mode != 'k' && mode != 'l') return;
    require_address_alive();
    if (mode == 'g') {
        std::printf("\nDevice is alive\n");
        driver::finish(0);
    }
    if (mode == 'k') {
        char* buffer = query_console("lpstat", "\nError: Could not get lpstat\n");
        std::printf("%s", buffer);
        std::free(buffer);
        driver::finish(0);
    }
    char* buffer = query_console("debug snmp logs", "\nError: Could not get snmp logs\n");
    // The printer logs this once all its services are up; before that a
    // download would be lost.
    bool running = std::strstr(buffer, "done creating") != nullptr;
    std::free(buffer);
    if (running) {
        std::printf("\nPrinter is running\n");
        driver::finish(0);
    }
    std::printf("\nPrinter is booting\n");
    driver::finish(1);
}

}  // namespace net
