#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {

namespace {

// Set once the kernel has refused to send from the file (one on a file
// system it cannot splice from): the rest of the run sends from the view.
bool sendfile_refused = false;

}  // namespace

// BSD sockets need no start-up or clean-up.
int net_start() { return 0; }
void net_stop() {}

int net_error() { return errno; }

std::uint32_t parse_ipv4(const char* text) { return inet_addr(text); }

std::uint32_t lookup_ipv4(const char* name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return address_none;
    std::uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

Socket tcp_socket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd == -1 ? 0 : fd;
}

int tcp_connect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    int result;
    do {
        result = connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    } while (result == -1 && errno == EINTR);
    return result == 0 ? 0 : 1;
}

int sock_send(Socket s, const void* data, int length) {
    ssize_t n;
    do {
        n = send(static_cast<int>(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

int sock_send_from_view(Socket s, const FileView* view, std::uint32_t offset, int length) {
    // Straight from the page cache to the socket: no copy out of the mapping
    // and no fault on its pages. SIGPIPE is ignored since init, so a reset
    // peer is an EPIPE here as it is for send.
    if (view->file != -1 && !sendfile_refused && length > 0) {
        off_t at = offset;
        ssize_t n;
        do {
            n = sendfile(static_cast<int>(s), static_cast<int>(view->file), &at, static_cast<size_t>(length));
        } while (n == -1 && errno == EINTR);
        if (n > 0 || (n == -1 && errno != EINVAL && errno != ENOSYS)) return static_cast<int>(n);
        // 0: the file ended before its view did, and the send below meets
        // that end as it always has.
        if (n == -1) sendfile_refused = true;
    }
    return sock_send(s, view->base + offset, length);
}

int sock_recv(Socket s, void* buffer, int length) {
    ssize_t n;
    do {
        n = recv(static_cast<int>(s), buffer, static_cast<size_t>(length), 0);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

void sock_set_recv_timeout(Socket s, std::uint32_t ms) {
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void sock_set_send_timeout(Socket s, std::uint32_t ms) {
    // Honoured by sendfile as by send: -1 and EAGAIN when nothing went, a
    // short count when part did.
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool send_resumes_after_timeout() { return true; }

bool net_timed_out() { return errno == EAGAIN || errno == EWOULDBLOCK; }

int sock_shutdown_send(Socket s) { return shutdown(static_cast<int>(s), SHUT_WR) == 0 ? 0 : 1; }

void sock_close(Socket s) { close(static_cast<int>(s)); }

}  // namespace plat
