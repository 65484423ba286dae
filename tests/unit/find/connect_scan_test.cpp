// The connect scan on this machine's loopback: only the addresses that
// listen are reported, in the order given, whatever the number in flight;
// descriptors are reused as connects end without any answer being lost.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/find.h"

namespace {

// A listener on address:port (port 0: any), or -1.
int listen_on(std::uint32_t address, std::uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(*port);
    at.sin_addr.s_addr = htonl(address);
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(at.sin_port);
    return fd;
}

constexpr std::uint32_t loopback(std::uint32_t host) { return 0x7F000000u | host; }

TEST(FindConnectScan, OnlyListeningAddressesInOrder) {
    std::uint16_t port = 0;
    int first = listen_on(loopback(3), &port);
    ASSERT_GE(first, 0);
    int second = listen_on(loopback(7), &port);
    ASSERT_GE(second, 0);
    std::vector<std::uint32_t> asked;
    for (std::uint32_t h = 20; h >= 1; --h) asked.push_back(loopback(h));
    std::atomic<bool> stop{false};
    for (std::size_t in_flight : {1u, 2u, 4096u}) {
        std::size_t last_done = 0;
        plat::ConnectScan scan{port, 1500, in_flight};
        std::vector<std::uint32_t> found =
            plat::accepting_addresses(asked, scan, stop, [&](std::size_t done) { last_done = done; });
        EXPECT_EQ(found, (std::vector<std::uint32_t>{loopback(7), loopback(3)})) << in_flight;
        EXPECT_EQ(last_done, asked.size()) << in_flight;
    }
    close(first);
    close(second);
}

TEST(FindConnectScan, StopEndsAtOnce) {
    std::atomic<bool> stop{true};
    plat::ConnectScan scan{1, 1500, 16};
    EXPECT_TRUE(plat::accepting_addresses({loopback(1)}, scan, stop, nullptr).empty());
}

}  // namespace
