#include "net/console.h"

#include <cstdio>
#include <cstring>

#include "driver/settings.h"
#include "net/sockets.h"
#include "platform/platform.h"

namespace net {

namespace {

void mark() {
    if (driver::settings.debug) std::printf("t");
}

int fail(const char* message) {
    std::printf("%s", message);
    return 1;
}

int send_line(const char* text) {
    return send_all(console_socket, text, static_cast<std::uint16_t>(std::strlen(text)), true);
}

}  // namespace

int console_login(const char* login, const char* password) {
    // Each login connects anew into the same slot; an earlier connection is
    // left as it was, neither closed nor used again.
    mark();
    if (tcp_connect(printer_address, &console_socket, 23) != 0) return fail("Error: Could not open telnet socket\n");
    mark();
    if (wait_for_text(console_socket, "login: ", 5, nullptr, nullptr) != 0)
        return fail("Error: Did not get telnet login prompt\n");
    mark();
    if (send_line(login) != 0) return fail("Error: Could not send login to telnet socket\n");
    mark();
    if (wait_for_text(console_socket, "word:", 5, nullptr, nullptr) != 0)
        return fail("Error: Did not get telnet password prompt\n");
    mark();
    if (send_line(password) != 0) return fail("Error: Could not send password to telnet socket\n");
    mark();
    if (wait_for_text(console_socket, ">", 5, nullptr, nullptr) != 0)
        return fail("Error: Did not get telnet command prompt\n");
    return 0;
}

int console_start_download(const char* login, const char* password) {
    if (console_login(login, password) != 0) return 1;
    mark();
    if (send_line("debug printer download") != 0)
        return fail("Error: Could not send download command to telnet socket\n");
    return 0;
}

int console_check_download_mode(const char* login, const char* password) {
    if (console_login(login, password) != 0) return 1;
    mark();
    if (send_line("lpstat") != 0) return fail("Error: Could not send lpstat command to telnet socket\n");
    if (wait_for_text(console_socket, "download", 5, nullptr, nullptr) != 0)
        return fail("Error: Did not start printer download\n");
    if (wait_for_text(console_socket, "> ", 5, nullptr, nullptr) != 0)
        return fail("Error: Did not get telnet prompt after lpstat\n");
    return 0;
}

int console_query(const char* login, const char* password, const char* command, char* capture,
                  std::uint16_t* capture_left) {
    if (console_login(login, password) != 0) return 1;
    mark();
    if (send_line(command) != 0) return fail("Error: Could not send command to telnet socket\n");
    if (wait_for_text(console_socket, "> ", 5, capture, capture_left) != 0)
        return fail("Error: Did not get telnet prompt after lpstat\n");
    if (send_line("quit") != 0) return fail("Error: Could not send quit to telnet socket\n");
    plat::net_stop();
    return 0;
}

}  // namespace net
