#include "net/sockets.h"

#include <cstdio>
#include <cstring>

#include "driver/finish.h"
#include "driver/settings.h"

namespace net {

namespace {

// While a peer takes nothing, a send is woken this often to look at the
// clock, where the socket can be sent on after a time-out. Short, for a call
// that moved some bytes returns only after waiting out a slice or two more,
// and the stall is counted from its return.
constexpr std::uint32_t stall_slice_ms = 250;

// A send may take less than it was given: send(done, left) is called again
// for the rest until all length bytes are out. A send that timed out is
// called again as well while less than stall_ms have gone by since the last
// byte moved: the time counts from there, not from the start of a call, for
// a call that moved some bytes may have waited out its whole time-out after
// them.
template <typename Send>
SendResult send_until_done(int length, std::uint32_t stall_ms, Send send) {
    std::uint64_t moved_at = plat::monotonic_ms();
    for (int done = 0; done < length;) {
        int sent = send(done, length - done);
        if (sent == -1) {
            if (!plat::net_timed_out()) return send_failed;
            if (!plat::send_resumes_after_timeout() || plat::monotonic_ms() - moved_at >= stall_ms)
                return send_stalled;
            continue;
        }
        done += sent;
        moved_at = plat::monotonic_ms();
    }
    return send_ok;
}

}  // namespace

bool network_ready = false;
std::uint32_t printer_address = plat::address_none;
plat::Socket print_socket = 0;
plat::Socket console_socket = 0;

void net_ready() {
    if (network_ready) return;
    if (plat::net_start() != 0) {
        std::printf("\nError: Could not initialize winsock.dll\n");
        driver::finish(1);
    }
    printer_address = resolve_host(driver::settings.address);
    if (printer_address == plat::address_none) {
        std::printf("\nError: Unknown IP address\n");
        driver::finish(1);
    }
    network_ready = true;
}

std::uint32_t resolve_host(const char* text) {
    // The lookup of an empty name answers with this host's own address.
    if (text[0] == '\0') return plat::address_none;
    std::uint32_t address = plat::parse_ipv4(text);
    // 255.255.255.255 parses to the same value as a failure, so it falls
    // through to the lookup and is refused there like any unknown name.
    if (address == plat::address_none) address = plat::lookup_ipv4(text);
    // 0.0.0.0 is this host too; some socket libraries give it for a blank
    // text.
    return address == 0 ? plat::address_none : address;
}

int tcp_connect(std::uint32_t address, plat::Socket* slot, std::uint16_t port) {
    *slot = plat::tcp_socket();
    if (*slot == 0) return 1;
    if (plat::tcp_connect(*slot, address, port) != 0) {
        // The address is printed as the bytes lie in memory, read as a
        // little-endian number, which is how operators know it from the field.
        unsigned char bytes[4];
        std::memcpy(bytes, &address, 4);
        unsigned long shown = static_cast<unsigned long>(bytes[0]) | static_cast<unsigned long>(bytes[1]) << 8 |
                              static_cast<unsigned long>(bytes[2]) << 16 | static_cast<unsigned long>(bytes[3]) << 24;
        std::printf("Socket error for network addr %08lx: %d\n", shown, plat::net_error());
        return 1;
    }
    return 0;
}

void close_socket(plat::Socket* slot) {
    if (*slot != 0) plat::sock_close(*slot);
    *slot = 0;
}

void end_stream(plat::Socket* slot) {
    // Closing with unread bytes in hand turns the close into a reset, and a
    // printer that talked back may then drop the end of the data it still
    // holds. So the stream is ended in order, and whatever the printer still
    // says is read and dropped until it closes, falls silent or runs out of
    // time; a printer that never closes costs at most the total.
    constexpr std::uint64_t quiet_ms = 5000;
    constexpr std::uint64_t total_ms = 30000;
    if (*slot != 0 && plat::sock_shutdown_send(*slot) == 0) {
        std::uint64_t deadline = plat::monotonic_ms() + total_ms;
        char sink[4096];
        for (std::uint64_t now = plat::monotonic_ms(); now < deadline; now = plat::monotonic_ms()) {
            std::uint64_t left = deadline - now;
            plat::sock_set_recv_timeout(*slot, static_cast<std::uint32_t>(left < quiet_ms ? left : quiet_ms));
            if (plat::sock_recv(*slot, sink, sizeof sink) <= 0) break;
        }
    }
    close_socket(slot);
}

void bound_send_stall(plat::Socket slot, std::uint32_t stall_ms) {
    bool sliced = plat::send_resumes_after_timeout() && stall_ms > stall_slice_ms;
    plat::sock_set_send_timeout(slot, sliced ? stall_slice_ms : stall_ms);
}

int send_all(plat::Socket slot, const void* data, std::uint16_t length, bool append_cr) {
    const char* bytes = static_cast<const char*>(data);
    auto send = [&](int done, int left) { return plat::sock_send(slot, bytes + done, left); };
    if (send_until_done(length, 0, send) != send_ok) return 1;
    if (append_cr) {
        const char cr = 13;
        if (plat::sock_send(slot, &cr, 1) == -1) return 1;
    }
    return 0;
}

SendResult send_all_from_view(plat::Socket slot, const plat::FileView& view, std::uint32_t offset,
                              std::uint16_t length, std::uint32_t stall_ms) {
    return send_until_done(length, stall_ms, [&](int done, int left) {
        return plat::sock_send_from_view(slot, &view, offset + static_cast<std::uint32_t>(done), left);
    });
}

int wait_for_text(plat::Socket slot, const char* pattern, std::uint16_t timeout_s, char* capture,
                  std::uint16_t* capture_left) {
    plat::sock_set_recv_timeout(slot, static_cast<std::uint32_t>(timeout_s) * 1000);
    std::size_t length = std::strlen(pattern);
    std::size_t matched = 0;
    while (matched < length) {
        char byte;
        int got = plat::sock_recv(slot, &byte, 1);
        if (got == -1) {
            std::printf("recv failed: %d\n", plat::net_error());
            return 1;
        }
        if (got == 0) {
            // A closed connection would answer every further read at once.
            std::printf("recv failed: %d\n", 0);
            return 1;
        }
        if (capture && capture_left && *capture_left) {
            *capture++ = byte;
            --*capture_left;
        }
        // The printer's prompts never overlap themselves, so a mismatch
        // simply starts over.
        if (byte == pattern[matched])
            ++matched;
        else
            matched = 0;
    }
    return 0;
}

}  // namespace net
