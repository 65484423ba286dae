// The run's network state and the socket steps every network mode shares.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace net {

extern bool network_ready;
extern std::uint32_t printer_address;  // network byte order
extern plat::Socket print_socket;      // 0 = none
extern plat::Socket console_socket;    // 0 = none

// Starts the socket library and resolves the printer's address once per run;
// ends the run when either cannot be done.
void net_ready();

// A dotted quad or a host name; address_none when neither works, for an
// empty text and for anything that comes out as 0.0.0.0: those would all
// reach this host, never a printer.
std::uint32_t resolve_host(const char* text);

// 0 when connected; the slot then holds the new socket.
int tcp_connect(std::uint32_t address, plat::Socket* slot, std::uint16_t port);
void close_socket(plat::Socket* slot);
// Half-closes, reads until the peer closes or has nothing more to say, then
// closes; for a stream whose last bytes must not be lost to a reset.
void end_stream(plat::Socket* slot);

// 0 when every byte (and the CR when asked) went out.
int send_all(plat::Socket slot, const void* data, std::uint16_t length, bool append_cr);

enum SendResult { send_ok = 0, send_failed = 1, send_stalled = 2 };

// Sets slot's send time-out so that send_all_from_view with this stall_ms
// can tell a peer that has taken nothing for stall_ms.
void bound_send_stall(plat::Socket slot, std::uint32_t stall_ms);

// send_all (no CR) of length bytes of view from offset on, which the
// platform may send straight from the view's file. send_stalled when, on a
// socket bounded by bound_send_stall, no byte moved for stall_ms.
SendResult send_all_from_view(plat::Socket slot, const plat::FileView& view, std::uint32_t offset,
                              std::uint16_t length, std::uint32_t stall_ms);

// Reads byte by byte until pattern has been seen; every byte read is also
// stored in capture while *capture_left allows. 0 when found.
int wait_for_text(plat::Socket slot, const char* pattern, std::uint16_t timeout_s, char* capture,
                  std::uint16_t* capture_left);

}  // namespace net
