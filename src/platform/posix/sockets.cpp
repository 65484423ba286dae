#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {

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

int sock_shutdown_send(Socket s) { return shutdown(static_cast<int>(s), SHUT_WR) == 0 ? 0 : 1; }

void sock_close(Socket s) { close(static_cast<int>(s)); }

}  // namespace plat
