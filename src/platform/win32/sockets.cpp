#include "platform/platform.h"

#include <winsock.h>

namespace plat {

int net_start() {
    WSADATA granted;
    if (WSAStartup(0x0101, &granted) != 0) return 1;
    if (LOBYTE(granted.wVersion) != 1 || HIBYTE(granted.wVersion) != 1) {
        WSACleanup();
        return 1;
    }
    return 0;
}

void net_stop() { WSACleanup(); }

int net_error() { return WSAGetLastError(); }

std::uint32_t parse_ipv4(const char* text) { return inet_addr(text); }

std::uint32_t lookup_ipv4(const char* name) {
    hostent* found = gethostbyname(name);
    if (found == nullptr || found->h_addr_list[0] == nullptr) return address_none;
    std::uint32_t address;
    memcpy(&address, found->h_addr_list[0], 4);
    return address;
}

Socket tcp_socket() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? 0 : static_cast<Socket>(s);
}

int tcp_connect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 ? 0 : 1;
}

int sock_send(Socket s, const void* data, int length) {
    int n = send(static_cast<SOCKET>(s), static_cast<const char*>(data), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int sock_send_from_view(Socket s, const FileView* view, std::uint32_t offset, int length) {
    return sock_send(s, view->base + offset, length);
}

int sock_recv(Socket s, void* buffer, int length) {
    int n = recv(static_cast<SOCKET>(s), static_cast<char*>(buffer), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void sock_set_recv_timeout(Socket s, std::uint32_t ms) {
    DWORD limit = ms;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

void sock_set_send_timeout(Socket s, std::uint32_t ms) {
    DWORD limit = ms;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

// A send that timed out may have been cut off at any point, so what the peer
// got is unknown.
bool send_resumes_after_timeout() { return false; }

bool net_timed_out() { return WSAGetLastError() == WSAETIMEDOUT; }

// SD_SEND: the WinSock 1.1 header does not spell it out, only winsock2.h.
constexpr int sd_send = 1;

int sock_shutdown_send(Socket s) { return shutdown(static_cast<SOCKET>(s), sd_send) == 0 ? 0 : 1; }

void sock_close(Socket s) { closesocket(static_cast<SOCKET>(s)); }

}  // namespace plat
