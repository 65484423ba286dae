#include "net/sequencer.h"

#include <cstdint>
#include <cstdio>

#include "driver/finish.h"
#include "driver/settings.h"
#include "net/console.h"
#include "net/echo.h"
#include "net/sockets.h"
#include "payload/image.h"
#include "payload/fatal.h"

namespace net {

namespace {

constexpr std::uint32_t send_chunk = 8192;
// A printer that takes no data for this long has stopped for good: without a
// bound its closed window would hold the send for ever.
constexpr std::uint32_t print_stall_s = 60;
constexpr const char* not_alive = "\nError: Destination not alive\n";

// The mode letter is compared as a signed byte, so "up to" also takes in
// digits, capitals and bytes 128-255.
bool mode_up_to(char letter) { return driver::mode_code() <= letter; }

bool mode_is(char letter) { return driver::settings.mode == letter; }

// a, b, the blank default and everything below them.
bool mode_low() { return mode_up_to('b'); }

[[noreturn]] void fail(const char* lines) {
    std::printf("%s", lines);
    driver::finish(1);
}

void progress(const char* line) {
    if (!driver::settings.debug) std::printf("%s", line);
}

void wait_seconds(int count) {
    for (int second = 0; second < count; ++second) {
        if (driver::settings.debug) std::printf("w");
        plat::sleep_ms(1000);
    }
}

void enter_download_mode() {
    progress("\nEntering download mode\n");
    if (console_start_download(driver::settings.login, driver::settings.password) != 0)
        fail("\nError: Could not enter download mode.\n"
             "       Make sure that the telnet user name\n"
             "       and password are correct.\n"
             "       Automatic network downloading may not\n"
             "       work with older printer software.\n");
    // The printer needs these seconds to switch over before it is asked.
    wait_seconds(5);
}

void check_download_mode() {
    if (echo_probe(30, 1000) != 0) fail(not_alive);
    if (console_check_download_mode(driver::settings.login, driver::settings.password) != 0)
        fail("\nError: Not in download mode\n"
             "       Make sure that the printer supports\n"
             "       the telnet 'debug printer download'\n"
             "       command.\n");
}

void prepare_network_download() {
    net_ready();
    if (mode_up_to('g') || mode_is('j') || mode_is('k') || mode_is('l')) echo_ready_open();
    if ((mode_up_to('g') || mode_is('j')) && echo_probe(120, 1000) != 0) fail(not_alive);
    if (mode_is('c') || mode_is('d') || mode_is('h') || (mode_low() && payload::is_firmware_image()))
        enter_download_mode();
    if (mode_is('c') || mode_is('d') || mode_is('e') || mode_is('f') ||
        (mode_low() && payload::is_firmware_image()))
        check_download_mode();
    if ((mode_low() || mode_is('e') || mode_is('f') || mode_is('i') || mode_is('j')) &&
        tcp_connect(printer_address, &print_socket, 9100) != 0)
        fail("\nError: Could not open print socket\n");
    if (print_socket != 0) bound_send_stall(print_socket, print_stall_s * 1000);
}

[[noreturn]] void print_socket_failed(SendResult result) {
    std::printf("\nError: Could not send data to print socket\n");
    if (result == send_stalled)
        std::printf("       The printer took no data for %u seconds\n", static_cast<unsigned>(print_stall_s));
    driver::finish(1);
}

void send_to_print_socket() {
    progress("\nSending data to printer\n");
    const payload::CurrentData& data = payload::current;
    const std::uint32_t start = static_cast<std::uint32_t>(data.start - payload::image.base);
    std::uint32_t offset = 0;
    // Runs once even for an empty entry, so each entry shows one '#'.
    do {
        std::uint32_t left = data.length - offset;
        std::uint32_t chunk = left < send_chunk ? left : send_chunk;
        SendResult sent = send_all_from_view(print_socket, payload::image, start + offset,
                                             static_cast<std::uint16_t>(chunk), print_stall_s * 1000);
        if (sent != send_ok) print_socket_failed(sent);
        if (driver::settings.debug) std::printf("#");
        offset += chunk;
    } while (offset < data.length);
}

void wait_for_restart() {
    progress("\nWaiting for printer to restart after download\n");
    int attempt = 0;
    while (attempt < 500 && echo_probe(1, 1000) == 0) ++attempt;
    if (attempt == 500) fail("\nError: Destination never shut down after download\n");
    wait_seconds(2);
    if (echo_probe(300, 1000) != 0) fail(not_alive);
}

}  // namespace

void download_network(bool iterate) {
    prepare_network_download();
    if (print_socket == 0) return;
    do
        send_to_print_socket();
    while (iterate && payload::next_entry() == 0);
    end_stream(&print_socket);
    if ((mode_is('a') && payload::is_firmware_image()) || mode_is('e')) wait_for_restart();
}

}  // namespace net
