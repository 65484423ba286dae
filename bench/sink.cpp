// A discarding listener: the printer's raw port as fast as loopback allows,
// so that the sender's own speed is what the figures show.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == -1) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int sink(int argc, char* argv[]) {
    if (argc != 1) return 2;
    int listener = listen_on(std::atoi(argv[0]));
    if (listener == -1) {
        std::perror("sink: listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        int peer = accept(listener, nullptr, nullptr);
        if (peer == -1) continue;
        long long total = 0;
        for (;;) {
            ssize_t n = recv(peer, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            total += n;
        }
        long long ended = monotonic_ns();
        close(peer);
        std::printf("%lld %lld\n", total, ended);
        std::fflush(stdout);
    }
}

}  // namespace bench
